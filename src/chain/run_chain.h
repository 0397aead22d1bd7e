#pragma once

// The chain drivers: the sweeps of one variant's chain over the pedigree rows, bi-allelic
// and multi-allelic, with the family and all-haplotype updates woven in.

#include <vector>

#include "chain/haplotype_moments.h"
#include "model/model.h"
#include "util/random_source.h"

struct FamilyUnits;
struct ModelAverage;
struct SelectionIndex;

// Sweeps between two looks at whether a chain's posteriors have settled.
inline constexpr int kSettleSweeps = 5;
// Updates in a row that an unrelated sample's most likely class must keep a probability of
// at least 1 - settle_tolerance before the sample settles on it.
inline constexpr int kSettleUpdates = 5;

struct ChainSettings {
  int iterations = 100;
  int burnin = 10;
  // An unrelated sample's heterozygote is phased with its haplotypes' own penalty where the
  // genotype takes the fixed variance of a variant near 0 or 1 (see split_heterozygote).
  bool phase_with_penalty = false;
  // Past the burn-in, every kSettleSweeps recorded sweeps, a chain stops once no sample's
  // running genotype posterior moved by more than this since the last look (the first look
  // only sets the mark); and an unrelated sample settles on a class that kept a probability
  // of at least 1 minus this for kSettleUpdates updates (BiallelicChain::settle_confident)
  // when settle_samples. 0: every iteration runs and every sample draws in each.
  double settle_tolerance = 0.0;
  bool settle_samples = false;
};

// Runs the chain for one bi-allelic variant: `iterations` sweeps over the units in row
// order, each single-sample unit updated from its models and likelihoods, each duo and
// trio (rows of 5 slots, slot 4 numbered by number_family_units) jointly when family is
// given; after the burn-in the class probabilities are averaged into genotype_probs
// (4 per sample; a sample in two units keeps its later unit's values of each sweep), over
// the sweeps run when the chain settled early (settle_tolerance).
// M's variant row holds the initial alleles and receives the final ones. A trio child has
// no model of its own.
// With average (--model-avg), every unit's update is followed by the same update under the
// all-haplotype model, on that model's own chain, drawn right after the k-model's; each
// sample then keeps the result of the more certain model. Returns the sweeps run.
int run_biallelic_chain(WindowMatrix& M, const WindowPatterns& patterns,
                        const std::vector<SampleModel>& models,
                        const std::vector<std::vector<int>>& pedigree,
                        const std::vector<double>& site_pls, const ChainSettings& settings,
                        RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                        std::vector<double>& genotype_probs, FamilyUnits* family = nullptr,
                        ModelAverage* average = nullptr);
// The same, grouping the window's patterns first.
int run_biallelic_chain(WindowMatrix& M, const std::vector<SampleModel>& models,
                        const std::vector<std::vector<int>>& pedigree,
                        const std::vector<double>& site_pls, const ChainSettings& settings,
                        RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                        std::vector<double>& genotype_probs, FamilyUnits* family = nullptr,
                        ModelAverage* average = nullptr);

// One bi-allelic variant's chain among several on one window: everything its chain owns.
struct ChainTask {
  const std::vector<double>* site_pls = nullptr;
  std::vector<double> initial_alleles;  // per haplotype column of M
  RandomSource* random = nullptr;
  SamplerScratch* scratch = nullptr;
  FamilyUnits* family = nullptr;  // this variant's own copy, or null without duos and trios
  ModelWarnings warnings;
  std::vector<double> genotype_probs;
  CopyingPrior copying;  // unused when empty
  int sweeps = 0;        // run, filled by run_biallelic_chains
};

// The chains of several bi-allelic variants that share a window and its models, run side
// by side: each sample is updated in every chain before the next, so a model's inverse
// is read once for all of them. Each chain draws from its own stream and touches only its
// own state, so every task gets exactly what run_biallelic_chain gives it alone.
// index: the window's SelectionIndex (biallelic_chain.h), shared by the chains; null, each
// chain builds its own.
void run_biallelic_chains(const WindowMatrix& M, const WindowPatterns& patterns,
                          const std::vector<SampleModel>& models,
                          const std::vector<std::vector<int>>& pedigree,
                          const ChainSettings& settings, std::vector<ChainTask>& tasks,
                          const SelectionIndex* index = nullptr);

// ---- Multi-allelic variants (multiallelic_chain.cpp) ----
// The chain state is one allele index per sample haplotype (2N entries); allele l stands
// for the indicator vector allele_codes[l] of MultiAlleleTables.

// Working space of the multi-allelic model, reused across haplotypes.
struct MultiScratch {
  std::vector<std::vector<double>> covariances;  // per component: T window covariances
  std::vector<std::vector<double>> whitened;     // per component: R times its covariances
  std::vector<double> component_mean;            // per component: weighted indicator mean
  std::vector<double> totals;                    // per component: carried weight
  std::vector<double> sums;                      // per component: T carried window sums
  std::vector<double> pattern_weight;            // components by window patterns
  std::vector<int> touched;                      // patterns with a nonzero pattern_weight
  Eigen::MatrixXd covariance;                    // (a-1) x (a-1): variant covariance
  Eigen::MatrixXd precision;                     // its conditional inverse
  Eigen::VectorXd conditional_mean;
  std::vector<double> log10_weights;  // per class
};

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

// The same from a model's component sums (per component, the weights of its selected
// haplotypes carrying that allele in total and at every window row, in run-length units
// when the model has run lengths), as the chain keeps them current.
void allele_probs_from_component_sums(const HaplotypeModel& model, const double* totals,
                                      const double* sums, const MultiAlleleTables& tables,
                                      double theta, MultiScratch& scratch, ModelWarnings& warnings,
                                      std::vector<double>& allele_probs);

// Class probabilities in ordered_genotypes order from the two haplotypes' allele
// probabilities and the sample's G Phred likelihoods: each class weighted by
// 10^(-PL/10) P1[first] P2[second], the smallest weight subtracted from all (so the
// least likely class gets 0), then normalised.
void class_probabilities_multi(const std::vector<double>& first, const std::vector<double>& second,
                               const double* pl_phred, const MultiAlleleTables& tables,
                               std::vector<double>& log10_scratch, ModelWarnings& warnings,
                               std::vector<double>& class_probs);

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
