#include "chain/haplotype_moments.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "model/packed_triangle.h"

double carrier_sums(const double* variant_alleles, const WindowPatterns& patterns,
                    const HaplotypeModel& model, SamplerScratch& scratch, double* carrier_sum) {
  const int size = static_cast<int>(patterns.values.rows());
  const std::size_t k = model.selected.size();
  if (model.weights.size() != k || model.mean.size() != std::size_t(size) + 1 ||
      model.pattern_of_selected.size() != k) {
    throw std::logic_error("carrier_sums: model not fitted to this window");
  }
  if (scratch.pattern_weight.size() < static_cast<std::size_t>(patterns.count())) {
    scratch.resize_patterns(patterns.count());
  }
  // Per window row, the run lengths of the selected haplotypes carrying allele 1 at the
  // variant and at that row, gathered per window pattern first; whole numbers, so the sums
  // are exact in any order. A hand-made model without lengths uses its weights.
  const bool has_lengths = model.lengths.size() == k;
  double variant_sum = 0.0;
  double* pattern_weight = scratch.pattern_weight.data();
  std::vector<int>& touched = scratch.touched;
  touched.clear();
  for (std::size_t j = 0; j < k; ++j) {
    const double length = has_lengths ? model.lengths[j] : model.weights[j];
    const double carried = length * variant_alleles[model.selected[j]];
    variant_sum += carried;
    if (carried != 0.0) {
      const int pattern = model.pattern_of_selected[j];
      if (pattern_weight[pattern] == 0.0) touched.push_back(pattern);
      pattern_weight[pattern] += carried;
    }
  }
  Eigen::Map<Eigen::VectorXd> sums(carrier_sum, size);
  sums.setZero();
  for (const int pattern : touched) {
    sums += pattern_weight[pattern] * patterns.values.col(pattern);
    pattern_weight[pattern] = 0.0;
  }
  return variant_sum;
}

namespace {

template <typename Sum>
void whiten_covariance(const HaplotypeModel& model, const Sum* carrier_sum, double variant_mean,
                       SamplerScratch& scratch, double* whitened) {
  const int size = model.inverse.rows();
  if (model.conditioning.size() != std::size_t(size) ||
      model.mean.size() != std::size_t(size) + 1) {
    throw std::logic_error("whitened_covariance: model not fitted to this window");
  }
  if (scratch.cov.size() < static_cast<std::size_t>(size)) scratch.resize(size);
  double* cov = scratch.cov.data();
  covariance_from_sums(carrier_sum, model.mean.data(), 1.0 / carrier_unit_total(model),
                       variant_mean, 1.0 / (1.0 - model.v2), cov, size);
  model.inverse.whiten(cov, whitened);
}

}  // namespace

void whitened_covariance(const HaplotypeModel& model, const double* carrier_sum,
                         double variant_mean, SamplerScratch& scratch, double* whitened) {
  whiten_covariance(model, carrier_sum, variant_mean, scratch, whitened);
}

void whitened_covariance(const HaplotypeModel& model, const std::int32_t* carrier_sum,
                         double variant_mean, SamplerScratch& scratch, double* whitened) {
  whiten_covariance(model, carrier_sum, variant_mean, scratch, whitened);
}

ConditionalMoments moments_from_whitened(const HaplotypeModel& model, double variant_mean,
                                         const double* whitened, ModelWarnings& warnings) {
  const int size = model.inverse.rows();
  const double correction = 1.0 - model.v2;
  const double variance = (variant_mean - variant_mean * variant_mean) / correction;
  const double penalty = variant_penalty(variant_mean, model.lambda, model.rare_band);
  // With Q = R'R: cov'Q cov = |R cov|^2 and cov'Q d = (R cov).(R d), R d fixed at fit time.
  const double shift = lane_dot(whitened, model.conditioning.data(), size);
  const double explained = lane_dot(whitened, whitened, size);
  ConditionalMoments moments{variant_mean + shift, (variance + penalty) - explained,
                             (variance + model.lambda) - explained};
  if (!(moments.variance > 0.0)) {
    ++warnings.nonpositive_variances;
    moments.variance = penalty;
  }
  if (!(moments.phase_variance > 0.0)) moments.phase_variance = model.lambda;
  return moments;
}
