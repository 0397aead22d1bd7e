#pragma once

// The MCMC sampler of one bi-allelic variant over unrelated samples.

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "model.h"
#include "random_source.h"

struct FamilyUnits;
struct ModelAverage;

// Per-sample models of the k-haplotype model.
struct SampleModel {
  HaplotypeModel first;
  HaplotypeModel second;
};

// Scratch space reused across calls so the inner loop allocates nothing.
struct SamplerScratch {
  std::vector<double> cov;             // T entries
  std::vector<double> whitened;        // T entries: R cov
  std::vector<double> pattern_weight;  // weighted variant alleles summed per pattern
  std::vector<int> touched;            // patterns with a nonzero pattern_weight
  // For each haplotype column, the models that selected it and its run length there.
  std::vector<int> ref_start;
  std::vector<HaplotypeModel*> ref_model;
  std::vector<double> ref_length;
  // Chain state kept across variants for its capacity only (see BiallelicChain).
  std::vector<double> model_whitened;
  std::vector<std::vector<double>> pattern_whitened;  // per model: R x of its cached patterns
  std::vector<std::vector<int>> cached_pattern;       // per model: those patterns
  std::vector<std::pair<int, double>> pending;
  std::vector<int> pending_count;
  void resize(int window_rows) {
    cov.assign(static_cast<std::size_t>(window_rows), 0.0);
    whitened.assign(static_cast<std::size_t>(window_rows), 0.0);
  }
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
// R cov (Q = R'R), cov the covariances of the window rows with the variant from the
// model's current carrier sums and variant mean; whitened receives T entries.
void whitened_covariance(const HaplotypeModel& model, SamplerScratch& scratch, double* whitened);
// Conditional mean and variance from a whitened covariance and the model's variant mean. A
// variance that is not positive is replaced by the penalty alone and counted.
ConditionalMoments moments_from_whitened(const HaplotypeModel& model, const double* whitened,
                                         ModelWarnings& warnings);
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
// With average (--model-avg), every unit's update is followed by the same update under the
// all-haplotype model, on that model's own chain, drawn right after the k-model's; each
// sample then keeps the result of the more certain model.
void run_biallelic_chain(WindowMatrix& M, const WindowPatterns& patterns,
                         std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family = nullptr,
                         ModelAverage* average = nullptr);
// The same, grouping the window's patterns first.
void run_biallelic_chain(WindowMatrix& M, std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family = nullptr,
                         ModelAverage* average = nullptr);

// ---- Multi-allelic variants (sampler_multi.cpp) ----
// The chain state is one allele index per sample haplotype (2N entries); allele l stands
// for the indicator vector allele_codes[l] of MultiAlleleTables.

// Working space of the multi-allelic model, reused across haplotypes.
struct MultiScratch {
  std::vector<std::vector<double>> covariances;  // per component: T window covariances
  std::vector<std::vector<double>> whitened;     // per component: R times its covariances
  std::vector<double> component_mean;            // per component: weighted indicator mean
  std::vector<double> pattern_weight;            // components by window patterns
  std::vector<int> touched;                      // patterns with a nonzero pattern_weight
  Eigen::MatrixXd covariance;                    // (a-1) x (a-1): variant covariance
  Eigen::MatrixXd precision;                     // its conditional inverse
  Eigen::VectorXd conditional_mean;
  std::vector<double> log10_weights;             // per class
};

// Conditional mean of an indicator clamped into the unit interval: below 0 gives
// 0.00001, above 1 gives 0.99999.
double clamp_indicator_mean(double mean);

// Probability of each of the a alleles for one sample haplotype: the indicator vector's
// normal model conditioned on the haplotype's window alleles, its density evaluated at
// each allele's code and normalised. haplotype_alleles is the chain state; theta the
// shrinkage weight. A singular conditional covariance is inverted after the smallest
// ridge that makes it invertible, counted in warnings.
void haplotype_allele_probs_multi(const WindowPatterns& patterns, const HaplotypeModel& model,
                                  const std::vector<int>& haplotype_alleles,
                                  const MultiAlleleTables& tables, double theta,
                                  MultiScratch& scratch, ModelWarnings& warnings,
                                  std::vector<double>& allele_probs);

// Class probabilities in ordered_genotypes order from the two haplotypes' allele
// probabilities and the sample's G Phred likelihoods: each class weighted by
// 10^(-PL/10) P1[first] P2[second], the smallest weight subtracted from all (so the
// least likely class gets 0), then normalised.
void class_probabilities_multi(const std::vector<double>& first, const std::vector<double>& second,
                               const double* pl_phred, const MultiAlleleTables& tables,
                               std::vector<double>& log10_scratch, ModelWarnings& warnings,
                               std::vector<double>& class_probs);

// The class c (1 <= c < C) with S_c < u <= S_(c+1), S_c the sum of the first c
// probabilities; u at or below the first probability gives class 0, u beyond the total
// (rounding) the last class with a positive probability.
int draw_class_multi(const std::vector<double>& class_probs, double u);

// Shuffles order in place: for x = 1..n-1, j = rand() mod (x + 1), swap entries x and j.
void shuffle_units(std::vector<int>& order, RandomSource& random);

// Runs the chain of one multi-allelic variant: in every sweep the pedigree rows are
// visited in a freshly shuffled row_order (kept for the next variant); single-sample rows
// are updated, duos and trios passed over (their members record nothing). After the
// burn-in the class probabilities are averaged into genotype_probs (a*a per sample).
// With model_average, each sample's update is followed by a second draw for the
// all-haplotype pass, recorded apart; each sample keeps the more certain result. That pass
// reads the k-haplotype reference sets (all other haplotypes with the default k = 2N - 2).
void run_multiallelic_chain(const WindowPatterns& patterns, const std::vector<SampleModel>& models,
                            const std::vector<std::vector<int>>& pedigree,
                            const std::vector<double>& site_pls, const MultiAlleleTables& tables,
                            double theta, const ChainSettings& settings, RandomSource& random,
                            std::vector<int>& row_order, std::vector<int>& haplotype_alleles,
                            MultiScratch& scratch, ModelWarnings& warnings,
                            std::vector<double>& genotype_probs, bool model_average = false);
