// Initial genotypes of a bi-allelic variant under Hardy-Weinberg proportions.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "model.h"

namespace {

constexpr int kMaxPasses = 10;
constexpr double kConvergence = 1e-4;

// Posterior genotype probabilities of one sample from its three Phred likelihoods.
std::array<double, 3> hwe_posteriors(const double* pl_phred, const std::array<double, 3>& priors) {
  std::array<double, 3> weights;
  for (int g = 0; g < 3; ++g) weights[g] = std::pow(10.0, -pl_phred[g] / 10.0) * priors[g];
  double sum = weights[0] + weights[1] + weights[2];
  if (sum == 0.0 || !std::isfinite(sum)) {
    // Extreme likelihoods under- or overflow; the ratios survive in log10 relative to the
    // largest term.
    std::array<double, 3> log10_weights;
    for (int g = 0; g < 3; ++g) log10_weights[g] = -pl_phred[g] / 10.0 + std::log10(priors[g]);
    const double largest = *std::max_element(log10_weights.begin(), log10_weights.end());
    for (int g = 0; g < 3; ++g) weights[g] = std::pow(10.0, log10_weights[g] - largest);
    sum = weights[0] + weights[1] + weights[2];
  }
  for (int g = 0; g < 3; ++g) weights[g] /= sum;
  return weights;
}

}  // namespace

void initial_genotypes_biallelic(const std::vector<double>& site_pls, int sample_count,
                                 RandomSource& random, std::vector<double>& allele_frequencies,
                                 std::vector<int>& haplotypes) {
  if (sample_count < 0 || allele_frequencies.size() != 2 ||
      site_pls.size() < 3 * static_cast<std::size_t>(sample_count)) {
    throw std::logic_error("initial_genotypes_biallelic: inconsistent inputs");
  }
  const double haplotype_count = 2.0 * sample_count;
  std::array<double, 3> priors{};
  for (int pass = 1;; ++pass) {
    const double p0 = allele_frequencies[0];
    const double p1 = allele_frequencies[1];
    priors = {p0 * p0, 2 * p0 * p1, p1 * p1};
    double q0 = 0.0;
    double q1 = 0.0;
    for (int j = 0; j < sample_count; ++j) {
      const std::array<double, 3> post = hwe_posteriors(&site_pls[3 * std::size_t(j)], priors);
      q0 += (2 * post[0] + post[1]) / haplotype_count;
      q1 += (post[1] + 2 * post[2]) / haplotype_count;
    }
    const double change = std::fabs(q0 - p0) + std::fabs(q1 - p1);
    allele_frequencies[0] = q0;
    allele_frequencies[1] = q1;
    if (!(change > kConvergence && pass < kMaxPasses)) break;
  }

  // The calls use the priors of the last pass, not the frequencies it produced.
  haplotypes.assign(2 * static_cast<std::size_t>(sample_count), 0);
  for (int j = 0; j < sample_count; ++j) {
    const std::array<double, 3> post = hwe_posteriors(&site_pls[3 * std::size_t(j)], priors);
    int code = 0;
    for (int g = 1; g < 3; ++g) {
      if (post[g] > post[code]) code = g;
    }
    int& first = haplotypes[2 * std::size_t(j)];
    int& second = haplotypes[2 * std::size_t(j) + 1];
    if (code == 2) {
      first = second = 1;
    } else if (code == 1) {
      const bool ref_first = random.uniform() < 0.5;
      first = ref_first ? 0 : 1;
      second = ref_first ? 1 : 0;
    }
  }
}
