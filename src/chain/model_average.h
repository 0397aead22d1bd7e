#pragma once

// The all-haplotype model of --model-avg: every sample haplotype is also predicted from all
// other sample haplotypes, weighted by shared run length, with a chain of its own beside the
// k-haplotype chain; each sample keeps the result of the model more certain for it.
// Its chain state (one allele per sample haplotype at the variant) is kept apart from M's
// variant row: the two chains never read each other's alleles at the variant.

#include <array>
#include <vector>

#include "chain/family.h"
#include "chain/probs.h"
#include "model/model.h"
#include "util/random_source.h"

// The all-haplotype model of one sample haplotype. The window part (means at the window
// rows, inverse, conditioning) is rebuilt with the window; the variant part (mean[T],
// covariance, variance) follows the all-model chain.
struct AllHaplotypeModel {
  std::vector<double> weights;  // per sample haplotype column (2N); 0 for the own two
  double v2 = 0.0;              // sum of squared weights
  double lambda = 0.0;
  double rare_band = kConfidentLow;  // as HaplotypeModel::rare_band
  std::vector<double> mean;          // weighted mean at rows 0..T of M; entry T from the chain
  std::vector<double> covariance;    // T: weighted covariance of each window row with the variant
  double variance = 0.0;             // weighted variance at the variant
  Inverse_Matrix inverse;            // inverse of the penalised window covariance
  // Q d for the two shrinkage weights in use: single samples shrink the window means by
  // the all-model weight, family members by the k-model weight.
  std::vector<double> conditioning;
  std::vector<double> family_conditioning;
  std::vector<double> whitened;  // scratch: R covariance
};

struct AllSampleModel {
  AllHaplotypeModel first;
  AllHaplotypeModel second;
  bool fitted() const { return !first.weights.empty(); }
};

// The all-haplotype chain of one run.
struct ModelAverage {
  std::vector<AllSampleModel> models;  // per sample; unfitted for a trio child without a unit
  std::vector<double> alleles;         // M_ALL: the chain's allele of every sample haplotype
  double theta_all = 0.0;              // shrinkage weight of 2N - 2 reference haplotypes
  std::vector<double> genotype_probs;  // the chain's averaged class probabilities
  std::vector<double> pattern_scratch;
};

// Weights every other sample haplotype by its shared run length (columns in `excluded`
// count 0), normalised over the sample columns (the first sample_columns entries of
// run_lengths). When those lengths sum to 0 or one haplotype takes all the weight, every
// other non-excluded sample haplotype (or, with fewer than two, every other one) gets an
// equal weight and false is returned.
bool all_haplotype_weights(const std::vector<int>& run_lengths, const std::vector<int>& excluded,
                           int sample_columns, int own_sample, AllHaplotypeModel& model);

// Fills the window part of a model whose weights are set: window means, the sparse inverse
// of the penalised weighted window covariance (a ridge when it is not positive definite)
// and both conditionings.
void fit_all_haplotype_model(const WindowMatrix& M, const WindowPatterns& patterns, int own_column,
                             double theta_all, double theta_k, AllHaplotypeModel& model,
                             ModelWarnings& warnings, FitScratch& scratch);

// The same window part taken from the k-model of the same haplotype, for weights that
// equal the k-model's (k = 2N - 2, no panel): its means and inverse, its conditioning as
// the family one and the single samples' from theta_all.
void reuse_k_model_fit(const WindowMatrix& M, int own_column, double theta_all,
                       const HaplotypeModel& k_model, AllHaplotypeModel& model);

// Recomputes mean[T], covariance and variance from the chain's alleles.
void all_model_variant_statistics(const WindowMatrix& M, const WindowPatterns& patterns,
                                  const std::vector<double>& chain_alleles,
                                  AllHaplotypeModel& model, std::vector<double>& pattern_scratch);

// After sample haplotype `column`'s chain allele changed from previous to current, brings
// every other sample's variant statistics up to date in O(N T): the exact change of the
// weighted mean, variance and window covariances.
void change_all_model_allele(std::vector<AllSampleModel>& models, const WindowMatrix& M, int column,
                             double previous, double current);

// Conditional mean and variance at the variant given the haplotype's window alleles. A
// variance that is not positive is replaced by the penalty and counted.
ConditionalMoments all_model_moments(AllHaplotypeModel& model, bool family_member,
                                     ModelWarnings& warnings);

// The all-haplotype chain of one variant: its own alleles (average.alleles), drawn after
// the k-model's draw of each unit, with each model's allele probabilities cached until a
// change of another sample's allele makes them stale.
class AllHaplotypeChain {
 public:
  AllHaplotypeChain(ModelAverage& average, const WindowMatrix& M, ModelWarnings& warnings);

  // One unrelated sample (0-based): class probabilities from its all-haplotype models and
  // likelihoods, one draw written into the chain's alleles, then the other samples'
  // statistics for each of its two haplotypes that changed, first then second.
  std::array<double, 4> update_single(int sample, const double* pl_phred, RandomSource& random);
  // A duo or trio row under the family tables; the other samples' statistics follow once
  // all members are drawn, haplotype by haplotype in member order.
  void update_trio(const std::vector<int>& unit, FamilyUnits& family, RandomSource& random,
                   double* record);
  void update_duo(const std::vector<int>& unit, FamilyUnits& family, RandomSource& random,
                  double* record);

 private:
  const std::array<double, 2>& haplotype_probs(int model_index, bool family_member);
  MemberPriors member_priors(int sample);  // 1-based
  void change_allele(int column, double previous, double current);
  void apply_family_changes();

  ModelAverage& average_;
  const WindowMatrix& M_;
  ModelWarnings& warnings_;
  // Per model and use (single sample 0, family member 1): cached probabilities.
  std::array<std::vector<std::array<double, 2>>, 2> probs_;
  std::array<std::vector<char>, 2> stale_;
  std::array<std::vector<char>, 2> replaced_variance_;
  std::vector<std::array<double, 3>> family_changes_;  // column, previous, drawn
  AlleleWriter write_allele_;
};

// Per sample, keeps the k-model's class_count values when their largest is at least the
// all-model's largest (ties to the k-model), else takes the all-model's.
void keep_more_certain(std::vector<double>& genotype_probs, const std::vector<double>& all_probs,
                       int class_count);
