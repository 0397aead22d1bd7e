#pragma once

// A sample haplotype's conditional normal model at the variant: the carrier sums of its
// selected haplotypes, the conditional mean and variance, the allele probabilities.

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "chain/probs.h"
#include "model/model.h"

// Scratch space reused across calls so the inner loop allocates nothing.
struct SamplerScratch {
  std::vector<double> cov;             // T entries
  std::vector<double> pattern_weight;  // weighted variant alleles summed per pattern
  std::vector<int> touched;            // patterns with a nonzero pattern_weight
  // A chain's per-model state, kept across variants for its capacity only (see
  // BiallelicChain): carrier sums (T per model), R cov (T per model), queued changes.
  std::vector<double> carrier_sums;
  std::vector<std::int32_t> whole_carrier_sums;  // the same counted in whole run lengths
  std::vector<double> model_whitened;
  std::vector<std::pair<int, double>> pending;
  std::vector<int> pending_count;
  std::vector<double> pattern_pool;  // the cached R x vectors
  void resize(int window_rows) { cov.assign(static_cast<std::size_t>(window_rows), 0.0); }
  void resize_patterns(int patterns) {
    pattern_weight.assign(static_cast<std::size_t>(patterns), 0.0);
    touched.clear();
    touched.reserve(static_cast<std::size_t>(patterns));
  }
};

// The unit of a model's carrier sums: its run lengths, or for a model made without them
// its weights, which sum to 1.
inline double carrier_unit_total(const HaplotypeModel& model) {
  return model.lengths.size() == model.selected.size() ? model.length_sum : 1.0;
}

// Per window row, the weighted window alleles of the model's selected haplotypes that carry
// allele 1 at the variant, into carrier_sum (T entries), from the variant alleles of every
// haplotype column (0.0 / 1.0); returns the weight carrying allele 1 at the variant. Both
// in the units of carrier_unit_total.
double carrier_sums(const double* variant_alleles, const WindowPatterns& patterns,
                    const HaplotypeModel& model, SamplerScratch& scratch, double* carrier_sum);
// R cov (Q = R'R), cov the covariances of the window rows with the variant from a model's
// carrier sums and variant mean; whitened receives T entries.
void whitened_covariance(const HaplotypeModel& model, const double* carrier_sum,
                         double variant_mean, SamplerScratch& scratch, double* whitened);
void whitened_covariance(const HaplotypeModel& model, const std::int32_t* carrier_sum,
                         double variant_mean, SamplerScratch& scratch, double* whitened);
// Conditional mean and variance from a whitened covariance and the model's variant mean. A
// variance that is not positive is replaced by the penalty alone and counted.
ConditionalMoments moments_from_whitened(const HaplotypeModel& model, double variant_mean,
                                         const double* whitened, ModelWarnings& warnings);
