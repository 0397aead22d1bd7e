#include "model/scaffold_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "util/ordered_parallel.h"

namespace {

// (fit - mean) / sd, or 0 where the reads carry no information.
double z_score(double fit, double mean, double variance) {
  return variance > 0.0 ? (fit - mean) / std::sqrt(variance) : 0.0;
}

}  // namespace

ScaffoldFit::ScaffoldFit(int sample_count)
    : n_(sample_count),
      fit_(static_cast<std::size_t>(sample_count)),
      mean_(fit_.size()),
      variance_(fit_.size()),
      expected_(fit_.size()),
      pair_mean_(fit_.size()),
      pair_variance_(fit_.size()),
      pair_expected_(fit_.size()) {}

void ScaffoldFit::add_site(const std::vector<std::uint8_t>& genotypes,
                           const std::vector<double>& pl_phred, double allele_share,
                           bool compare_pairs) {
  const auto n = static_cast<std::size_t>(n_);
  if (genotypes.size() != n || pl_phred.size() != 3 * n) {
    throw std::logic_error("ScaffoldFit::add_site: one genotype and three values per sample");
  }
  // No share of exactly 0 or 1: a genotype the scaffold does not show is still possible.
  const double floor = 0.5 / (2.0 * static_cast<double>(n_));
  const double f = std::clamp(allele_share, floor, 1.0 - floor);
  const std::array<double, 3> hwe = {(1 - f) * (1 - f), 2 * f * (1 - f), f * f};
  if (compare_pairs) pair_scores_.resize(pair_scores_.size() + 3 * n);
  float* pair_row = compare_pairs ? pair_scores_.data() + pair_scores_.size() - 3 * n : nullptr;
  for (std::size_t j = 0; j < n; ++j) {
    const double* pl = &pl_phred[3 * j];
    const double best = std::min({pl[0], pl[1], pl[2]});
    std::array<double, 3> likelihood{};
    double chance = 0.0;
    for (int g = 0; g < 3; ++g) {
      likelihood[g] = std::pow(10.0, -(pl[g] - best) / 10.0);
      chance += hwe[g] * likelihood[g];
    }
    std::array<double, 3> score{};
    double mean = 0.0, square = 0.0, expected = 0.0;
    for (int g = 0; g < 3; ++g) {
      score[g] =
          std::log10(((1 - kFitErrorShare) * likelihood[g] + kFitErrorShare * chance) / chance);
      mean += hwe[g] * score[g];
      square += hwe[g] * score[g] * score[g];
      expected += hwe[g] * likelihood[g] / chance * score[g];
    }
    const double variance = std::max(0.0, square - mean * mean);
    fit_[j] += score[genotypes[j]];
    mean_[j] += mean;
    variance_[j] += variance;
    expected_[j] += expected;
    if (!compare_pairs) continue;
    for (int g = 0; g < 3; ++g) pair_row[g * n + j] = static_cast<float>(score[g]);
    pair_mean_[j] += mean;
    pair_variance_[j] += variance;
    pair_expected_[j] += expected;
  }
  ++sites_;
  if (compare_pairs) {
    pair_genotypes_.insert(pair_genotypes_.end(), genotypes.begin(), genotypes.end());
    ++pair_sites_;
  }
}

ScaffoldFitReport ScaffoldFit::finish(int threads) const {
  const auto n = static_cast<std::size_t>(n_);
  ScaffoldFitReport report;
  report.sites = sites_;
  report.pair_sites = pair_sites_;
  report.samples.resize(n);
  double fit_sum = 0.0, expected_sum = 0.0, variance_sum = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    SampleFit& sample = report.samples[j];
    sample.z_own = z_score(fit_[j], mean_[j], variance_[j]);
    sample.expected_z = z_score(expected_[j], mean_[j], variance_[j]);
    sample.judged = sample.expected_z >= kMinExpectedZ;
    fit_sum += fit_[j] - mean_[j];
    expected_sum += expected_[j] - mean_[j];
    variance_sum += variance_[j];
  }
  report.cohort_z = z_score(fit_sum, 0.0, variance_sum);
  report.cohort_expected_z = z_score(expected_sum, 0.0, variance_sum);
  report.cohort_below_expected =
      report.cohort_expected_z >= kMinExpectedZ &&
      report.cohort_z < std::max(kChanceZ, kShareOfExpected * report.cohort_expected_z);

  // Every sample's scaffold against every sample's reads, over the pair sites.
  std::vector<std::vector<float>> sums(static_cast<std::size_t>(std::max(threads, 1)));
  parallel_for(n_, threads, [&](int i, int thread) {
    std::vector<float>& sum = sums[static_cast<std::size_t>(thread)];
    sum.assign(n, 0.0F);
    for (int s = 0; s < pair_sites_; ++s) {
      const std::size_t g = pair_genotypes_[static_cast<std::size_t>(s) * n + i];
      const float* row = pair_scores_.data() + (static_cast<std::size_t>(s) * 3 + g) * n;
      for (std::size_t j = 0; j < n; ++j) sum[j] += row[j];
    }
    SampleFit& sample = report.samples[static_cast<std::size_t>(i)];
    const auto own = static_cast<std::size_t>(i);
    const double z_own = z_score(sum[own], pair_mean_[own], pair_variance_[own]);
    double best = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      if (j == own || pair_variance_[j] <= 0.0) continue;
      const double z = z_score(sum[j], pair_mean_[j], pair_variance_[j]);
      if (sample.best_other < 0 || z > best) {
        best = z;
        sample.best_other = static_cast<int>(j);
      }
    }
    sample.margin_over_own = sample.best_other < 0 ? 0.0 : best - z_own;
    sample.judged_in_pairs =
        z_score(pair_expected_[own], pair_mean_[own], pair_variance_[own]) >= kMinExpectedZ;
  });
  for (std::size_t j = 0; j < n; ++j) {
    const SampleFit& sample = report.samples[j];
    if (sample.judged && sample.z_own < kChanceZ) {
      report.no_better_than_chance.push_back(static_cast<int>(j));
    } else if (sample.judged && sample.z_own < kShareOfExpected * sample.expected_z) {
      report.below_expected.push_back(static_cast<int>(j));
    }
    if (sample.judged_in_pairs && sample.margin_over_own > kMarginZ) {
      report.fits_another.push_back(static_cast<int>(j));
    }
  }
  return report;
}
