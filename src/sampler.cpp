#include "sampler.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include <memory>

#include "biallelic_chain.h"
#include "family.h"
#include "model_average.h"
#include "packed_triangle.h"

namespace {

constexpr double kConfidentHigh = 0.99;
constexpr double kConfidentLow = 0.01;
constexpr double kConfidentPenalty = 0.09;

}  // namespace

namespace {
// Groups the window of M and points the model's selected haplotypes at those groups.
WindowPatterns patterns_for(const WindowMatrix& M, HaplotypeModel& model) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  model.pattern_of_selected.resize(model.selected.size());
  for (std::size_t j = 0; j < model.selected.size(); ++j) {
    model.pattern_of_selected[j] = patterns.of_column.at(static_cast<std::size_t>(model.selected[j]));
  }
  return patterns;
}
}  // namespace

ConditionalMoments conditional_moments(const WindowMatrix& M, HaplotypeModel& model,
                                       SamplerScratch& scratch, ModelWarnings& warnings) {
  const WindowPatterns patterns = patterns_for(M, model);
  return conditional_moments(M, patterns, model, scratch, warnings);
}

void carrier_sums(const WindowMatrix& M, const WindowPatterns& patterns, HaplotypeModel& model,
                  SamplerScratch& scratch) {
  const int size = static_cast<int>(M.rows()) - 1;
  const std::size_t k = model.selected.size();
  if (size < 0 || model.weights.size() != k || model.mean.size() != std::size_t(size) + 1 ||
      model.pattern_of_selected.size() != k || patterns.values.rows() != size) {
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
  const double* variant_row = M.data() + size;
  const Eigen::Index stride = M.rows();
  double* pattern_weight = scratch.pattern_weight.data();
  std::vector<int>& touched = scratch.touched;
  touched.clear();
  for (std::size_t j = 0; j < k; ++j) {
    const double length = has_lengths ? model.lengths[j] : model.weights[j];
    const double carried = length * variant_row[model.selected[j] * stride];
    variant_sum += carried;
    if (carried != 0.0) {
      const int pattern = model.pattern_of_selected[j];
      if (pattern_weight[pattern] == 0.0) touched.push_back(pattern);
      pattern_weight[pattern] += carried;
    }
  }
  if (!has_lengths) {
    model.lengths.clear();
    model.length_sum = 1.0;
  }
  model.carrier_sum.assign(static_cast<std::size_t>(size), 0.0);
  Eigen::Map<Eigen::VectorXd> sums(model.carrier_sum.data(), size);
  for (const int pattern : touched) {
    sums += pattern_weight[pattern] * patterns.values.col(pattern);
    pattern_weight[pattern] = 0.0;
  }
  model.variant_carrier_sum = variant_sum;
  model.mean[static_cast<std::size_t>(size)] = variant_sum / model.length_sum;
}

void whitened_covariance(const HaplotypeModel& model, SamplerScratch& scratch, double* whitened) {
  const int size = static_cast<int>(model.carrier_sum.size());
  if (model.conditioning.size() != std::size_t(size) || model.inverse.rows() != size ||
      model.mean.size() != std::size_t(size) + 1) {
    throw std::logic_error("whitened_covariance: model not fitted to this window");
  }
  if (scratch.cov.size() < static_cast<std::size_t>(size)) scratch.resize(size);
  double* cov = scratch.cov.data();
  const double variant_mean = model.mean[static_cast<std::size_t>(size)];
  const double correction = 1.0 - model.v2;
  for (int s = 0; s < size; ++s) {
    cov[s] = (model.carrier_sum[s] / model.length_sum - model.mean[s] * variant_mean) / correction;
  }
  model.inverse.whiten(cov, whitened);
}

ConditionalMoments moments_from_whitened(const HaplotypeModel& model, const double* whitened,
                                         ModelWarnings& warnings) {
  const int size = model.inverse.rows();
  const double variant_mean = model.mean[static_cast<std::size_t>(size)];
  const double correction = 1.0 - model.v2;
  double variance = (variant_mean - variant_mean * variant_mean) / correction;
  const double penalty = (variant_mean > kConfidentHigh || variant_mean < kConfidentLow)
                             ? kConfidentPenalty
                             : model.lambda;
  variance += penalty;
  // With Q = R'R: cov'Q cov = |R cov|^2 and cov'Q d = (R cov).(R d), R d fixed at fit time.
  const double shift = lane_dot(whitened, model.conditioning.data(), size);
  const double explained = lane_dot(whitened, whitened, size);
  ConditionalMoments moments{variant_mean + shift, variance - explained};
  if (!(moments.variance > 0.0)) {
    ++warnings.nonpositive_variances;
    moments.variance = penalty;
  }
  return moments;
}

ConditionalMoments moments_from_carrier_sums(HaplotypeModel& model, SamplerScratch& scratch,
                                             ModelWarnings& warnings) {
  const int size = static_cast<int>(model.carrier_sum.size());
  if (scratch.whitened.size() < static_cast<std::size_t>(size)) scratch.resize(size);
  whitened_covariance(model, scratch, scratch.whitened.data());
  return moments_from_whitened(model, scratch.whitened.data(), warnings);
}

ConditionalMoments conditional_moments(const WindowMatrix& M, const WindowPatterns& patterns,
                                       HaplotypeModel& model, SamplerScratch& scratch,
                                       ModelWarnings& warnings) {
  carrier_sums(M, patterns, model, scratch);
  return moments_from_carrier_sums(model, scratch, warnings);
}

std::array<double, 2> haplotype_allele_probs(const WindowMatrix& M, HaplotypeModel& model,
                                             SamplerScratch& scratch, ModelWarnings& warnings) {
  const WindowPatterns patterns = patterns_for(M, model);
  return haplotype_allele_probs(M, patterns, model, scratch, warnings);
}

std::array<double, 2> allele_probs_from_moments(const ConditionalMoments& moments) {
  const double mu = moments.mean;
  const double sigma2 = moments.variance;
  double p0;
  double p1;
  if (sigma2 > 0.0) {
    const double log_density0 = -0.5 * mu * mu / sigma2;
    const double log_density1 = -0.5 * (1 - mu) * (1 - mu) / sigma2;
    const double largest = log_density0 >= log_density1 ? log_density0 : log_density1;
    p0 = std::exp(log_density0 - largest);
    p1 = std::exp(log_density1 - largest);
  } else {
    // A zero penalty (--lambda 0) leaves a point mass at mu: the nearer allele takes all,
    // as the densities do when sigma2 shrinks to 0.
    const double distance0 = mu * mu;
    const double distance1 = (1 - mu) * (1 - mu);
    p0 = distance0 <= distance1 ? 1.0 : 0.0;
    p1 = distance1 <= distance0 ? 1.0 : 0.0;
  }
  return {p0 / (p0 + p1), p1 / (p0 + p1)};
}

std::array<double, 2> haplotype_allele_probs(const WindowMatrix& M,
                                             const WindowPatterns& patterns,
                                             HaplotypeModel& model, SamplerScratch& scratch,
                                             ModelWarnings& warnings) {
  return allele_probs_from_moments(conditional_moments(M, patterns, model, scratch, warnings));
}

std::array<double, 4> class_probabilities(const std::array<double, 2>& first,
                                          const std::array<double, 2>& second,
                                          const double* pl_phred) {
  const std::array<double, 4> log10_weights = {
      -pl_phred[0] / 10 + std::log10(first[0]) + std::log10(second[0]),
      -pl_phred[2] / 10 + std::log10(first[1]) + std::log10(second[1]),
      -pl_phred[1] / 10 + std::log10(first[0]) + std::log10(second[1]),
      -pl_phred[1] / 10 + std::log10(first[1]) + std::log10(second[0])};
  std::array<double, 4> probs;
  for (int c = 0; c < 4; ++c) probs[c] = std::pow(10.0, log10_weights[c]);
  double sum = probs[0] + probs[1] + probs[2] + probs[3];
  if (sum == 0.0 || !std::isfinite(sum)) {
    // Every weight under- or overflowed; rescaling by the largest keeps the ratios.
    const double largest = *std::max_element(log10_weights.begin(), log10_weights.end());
    for (int c = 0; c < 4; ++c) probs[c] = std::pow(10.0, log10_weights[c] - largest);
    sum = probs[0] + probs[1] + probs[2] + probs[3];
  }
  for (int c = 0; c < 4; ++c) probs[c] /= sum;
  return probs;
}

int draw_class(const std::array<double, 4>& class_probs, double u) {
  if (class_probs[0] >= u) return 0;
  if (u <= class_probs[0] + class_probs[1]) return 1;
  if (u <= class_probs[0] + class_probs[1] + class_probs[2]) return 2;
  return 3;
}

void run_biallelic_chain(WindowMatrix& M, std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family,
                         ModelAverage* average) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  run_biallelic_chain(M, patterns, models, pedigree, site_pls, settings, random, scratch,
                      warnings, genotype_probs, family, average);
}

void run_biallelic_chain(WindowMatrix& M, const WindowPatterns& patterns,
                         std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family,
                         ModelAverage* average) {
  const std::size_t sample_count = models.size();
  if (settings.burnin < 0 || settings.iterations <= settings.burnin) {
    throw std::logic_error("run_biallelic_chain: burn-in must be below the iteration count");
  }
  BiallelicChain chain(M, patterns, models, pedigree, site_pls, family, scratch, warnings);
  std::unique_ptr<AllHaplotypeChain> all_chain;
  if (average != nullptr) {
    if (average->models.size() != sample_count || average->alleles.size() != 2 * sample_count) {
      throw std::logic_error("run_biallelic_chain: all-haplotype chain does not match the samples");
    }
    for (std::size_t sample = 0; sample < sample_count; ++sample) {
      if (chain.modelled(static_cast<int>(sample)) && !average->models[sample].fitted()) {
        throw std::logic_error("run_biallelic_chain: sample without an all-haplotype model");
      }
    }
    all_chain = std::make_unique<AllHaplotypeChain>(*average, M, warnings);
  }

  genotype_probs.assign(4 * sample_count, 0.0);
  // One sweep's class probabilities: a sample in two units is written twice and keeps the
  // later values, so the sweep is gathered before it is added to the averages.
  std::vector<double> sweep_probs(4 * sample_count, 0.0);
  std::vector<double> sweep_probs_all(average != nullptr ? 4 * sample_count : 0, 0.0);
  if (average != nullptr) average->genotype_probs.assign(4 * sample_count, 0.0);
  const double recorded_sweeps = settings.iterations - settings.burnin;

  for (int sweep = 1; sweep <= settings.iterations; ++sweep) {
    const bool record = sweep > settings.burnin;
    double* const record_to = record ? sweep_probs.data() : nullptr;
    double* const record_all_to = record && average != nullptr ? sweep_probs_all.data() : nullptr;
    if (record) {
      std::fill(sweep_probs.begin(), sweep_probs.end(), 0.0);
      std::fill(sweep_probs_all.begin(), sweep_probs_all.end(), 0.0);
    }
    for (const std::vector<int>& unit : pedigree) {
      if (unit[0] == 3) {
        chain.update_trio(unit, random, record_to);
        if (all_chain) all_chain->update_trio(unit, *family, random, record_all_to);
        continue;
      }
      if (unit[0] == 2) {
        chain.update_duo(unit, random, record_to);
        if (all_chain) all_chain->update_duo(unit, *family, random, record_all_to);
        continue;
      }
      const int sample = unit[1] - 1;
      const std::array<double, 4> probs = chain.update_single(sample, random);
      if (record) std::copy(probs.begin(), probs.end(), &sweep_probs[4 * sample]);
      if (all_chain) {
        const std::array<double, 4> probs_all =
            all_chain->update_single(sample, &site_pls[3 * sample], random);
        if (record) std::copy(probs_all.begin(), probs_all.end(), &sweep_probs_all[4 * sample]);
      }
    }
    if (record) {
      for (std::size_t c = 0; c < sweep_probs.size(); ++c) {
        genotype_probs[c] += sweep_probs[c] / recorded_sweeps;
      }
      for (std::size_t c = 0; c < sweep_probs_all.size(); ++c) {
        average->genotype_probs[c] += sweep_probs_all[c] / recorded_sweeps;
      }
    }
  }
  if (average != nullptr) keep_more_certain(genotype_probs, average->genotype_probs, 4);
}
