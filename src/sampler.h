#pragma once

// The MCMC sampler of one bi-allelic variant over unrelated samples.

#include <array>
#include <vector>

#include "model.h"
#include "random_source.h"

struct FamilyUnits;

// Per-sample models of the k-haplotype model.
struct SampleModel {
  HaplotypeModel first;
  HaplotypeModel second;
};

// Scratch space reused across calls so the inner loop allocates nothing.
struct SamplerScratch {
  std::vector<double> cov;             // T entries
  std::vector<double> pattern_weight;  // weighted variant alleles summed per pattern
  std::vector<int> touched;            // patterns with a nonzero pattern_weight
  // For each haplotype column, the models that selected it and its run length there.
  std::vector<int> ref_start;
  std::vector<HaplotypeModel*> ref_model;
  std::vector<double> ref_length;
  void resize(int window_rows) { cov.assign(static_cast<std::size_t>(window_rows), 0.0); }
  void resize_patterns(int patterns) {
    pattern_weight.assign(static_cast<std::size_t>(patterns), 0.0);
    touched.clear();
    touched.reserve(static_cast<std::size_t>(patterns));
  }
};

struct ConditionalMoments {
  double mean = 0.0;
  double variance = 0.0;
};

// Fills model.carrier_sum (per window row, the weighted window alleles of the selected
// haplotypes carrying allele 1 at the variant) and model.mean[T] from M's variant row.
void carrier_sums(const WindowMatrix& M, const WindowPatterns& patterns, HaplotypeModel& model,
                  SamplerScratch& scratch);
// Conditional mean and variance from the model's current carrier sums and variant mean.
ConditionalMoments moments_from_carrier_sums(HaplotypeModel& model, SamplerScratch& scratch,
                                             ModelWarnings& warnings);
// (P(allele 0), P(allele 1)) from the conditional normal density at 0 and at 1.
std::array<double, 2> allele_probs_from_moments(const ConditionalMoments& moments);

// Mean and variance of one sample haplotype's allele at the variant given its window
// alleles, under its k-haplotype normal model. Refreshes model.mean[T] from the current
// variant row of M. A variance that is not positive is replaced by the penalty alone and
// counted in warnings.
ConditionalMoments conditional_moments(const WindowMatrix& M, const WindowPatterns& patterns,
                                       HaplotypeModel& model, SamplerScratch& scratch,
                                       ModelWarnings& warnings);
ConditionalMoments conditional_moments(const WindowMatrix& M, HaplotypeModel& model,
                                       SamplerScratch& scratch, ModelWarnings& warnings);

// Probabilities (allele 0, allele 1) of one sample haplotype at the variant from its
// conditional normal density given its window alleles. Refreshes model.mean[T] from the
// current variant row of M.
std::array<double, 2> haplotype_allele_probs(const WindowMatrix& M,
                                             const WindowPatterns& patterns,
                                             HaplotypeModel& model, SamplerScratch& scratch,
                                             ModelWarnings& warnings);
std::array<double, 2> haplotype_allele_probs(const WindowMatrix& M, HaplotypeModel& model,
                                             SamplerScratch& scratch, ModelWarnings& warnings);

// Normalised probabilities of the classes 0|0, 1|1, 0|1, 1|0 from the two haplotypes'
// allele probabilities and the sample's Phred likelihoods (0/0, 0/1, 1/1).
std::array<double, 4> class_probabilities(const std::array<double, 2>& first,
                                          const std::array<double, 2>& second,
                                          const double* pl_phred);

// Class chosen by cumulative comparison with u (ties go to the lower class).
int draw_class(const std::array<double, 4>& class_probs, double u);

struct ChainSettings {
  int iterations = 100;
  int burnin = 10;
};

// Runs the chain for one bi-allelic variant: `iterations` sweeps over the units in row
// order, each single-sample unit updated from its models and likelihoods, each duo and
// trio (rows of 5 slots, slot 4 numbered by number_family_units) jointly when family is
// given; after the burn-in the class probabilities are averaged into genotype_probs
// (4 per sample; a sample in two units keeps its later unit's values of each sweep).
// M's variant row holds the initial alleles and is updated in place. A trio child has
// no model of its own.
void run_biallelic_chain(WindowMatrix& M, const WindowPatterns& patterns,
                         std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family = nullptr);
// The same, grouping the window's patterns first.
void run_biallelic_chain(WindowMatrix& M, std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family = nullptr);
