#pragma once

// A sample haplotype's conditional normal model at the variant: the carrier sums of its
// selected haplotypes, the conditional mean and variance, the allele probabilities.

#include <array>
#include <utility>
#include <vector>

#include "chain/probs.h"
#include "model/model.h"

// Scratch space reused across calls so the inner loop allocates nothing.
struct SamplerScratch {
  std::vector<double> cov;             // T entries
  std::vector<double> pattern_weight;  // weighted variant alleles summed per pattern
  std::vector<int> touched;            // patterns with a nonzero pattern_weight
  // Chain state kept across variants for its capacity only (see BiallelicChain).
  std::vector<double> model_whitened;
  std::vector<std::pair<int, double>> pending;
  std::vector<int> pending_count;
  void resize(int window_rows) { cov.assign(static_cast<std::size_t>(window_rows), 0.0); }
  void resize_patterns(int patterns) {
    pattern_weight.assign(static_cast<std::size_t>(patterns), 0.0);
    touched.clear();
    touched.reserve(static_cast<std::size_t>(patterns));
  }
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
