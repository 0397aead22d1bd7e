// Initial genotypes of a variant under Hardy-Weinberg proportions.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "model/model.h"

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

namespace {

constexpr int kMaxPassesMulti = 20;

// Posteriors of one sample's G genotypes from its Phred likelihoods and the priors,
// written into posteriors.
void hwe_posteriors_multi(const double* pl_phred, const std::vector<double>& priors,
                          std::vector<double>& posteriors) {
  const std::size_t G = priors.size();
  posteriors.resize(G);
  double sum = 0.0;
  for (std::size_t g = 0; g < G; ++g) {
    posteriors[g] = std::pow(10.0, pl_phred[g] / -10.0) * priors[g];
    sum += posteriors[g];
  }
  if (sum == 0.0 || !std::isfinite(sum)) {
    // Extreme likelihoods under- or overflow; the ratios survive in log10 relative to the
    // largest term.
    double largest = -HUGE_VAL;
    for (std::size_t g = 0; g < G; ++g) {
      posteriors[g] = -pl_phred[g] / 10.0 + std::log10(priors[g]);
      largest = std::max(largest, posteriors[g]);
    }
    sum = 0.0;
    for (std::size_t g = 0; g < G; ++g) {
      posteriors[g] = std::pow(10.0, posteriors[g] - largest);
      sum += posteriors[g];
    }
  }
  for (std::size_t g = 0; g < G; ++g) posteriors[g] /= sum;
}

}  // namespace

MultiAlleleTables multi_allele_tables(int allele_count) {
  if (allele_count < 2) {
    throw std::logic_error("multi_allele_tables: a variant needs at least two alleles");
  }
  MultiAlleleTables tables;
  const int a = allele_count;
  tables.allele_count = a;
  tables.allele_codes.assign(static_cast<std::size_t>(a), std::vector<int>(a - 1, 0));
  for (int l = 1; l < a; ++l) tables.allele_codes[l][l - 1] = 1;
  tables.ordered_genotypes.reserve(static_cast<std::size_t>(a) * a);
  tables.unordered_genotypes.reserve(static_cast<std::size_t>(tables.genotype_count()));
  for (int s = 0; s < a; ++s) {
    for (int t = 0; t <= s; ++t) {
      tables.ordered_genotypes.emplace_back(t, s);
      if (t != s) tables.ordered_genotypes.emplace_back(s, t);
      tables.unordered_genotypes.emplace_back(t, s);
    }
  }
  return tables;
}

void initial_genotypes_multiallelic(const std::vector<double>& site_pls, int sample_count,
                                    const MultiAlleleTables& tables, RandomSource& random,
                                    std::vector<double>& allele_frequencies,
                                    std::vector<int>& haplotypes) {
  const int a = tables.allele_count;
  const std::size_t G = static_cast<std::size_t>(tables.genotype_count());
  if (sample_count < 0 || a < 2 || allele_frequencies.size() != static_cast<std::size_t>(a) ||
      site_pls.size() < G * static_cast<std::size_t>(sample_count)) {
    throw std::logic_error("initial_genotypes_multiallelic: inconsistent inputs");
  }
  const double haplotype_count = 2.0 * sample_count;
  std::vector<double> priors(G);
  std::vector<double> posteriors;
  std::vector<double> updated(static_cast<std::size_t>(a));
  for (int pass = 1;; ++pass) {
    for (std::size_t g = 0; g < G; ++g) {
      const auto [x, y] = tables.unordered_genotypes[g];
      priors[g] = allele_frequencies[x] * allele_frequencies[y] * (x != y ? 2.0 : 1.0);
    }
    std::fill(updated.begin(), updated.end(), 0.0);
    for (int j = 0; j < sample_count; ++j) {
      hwe_posteriors_multi(&site_pls[G * std::size_t(j)], priors, posteriors);
      // Each genotype adds its posterior to its two alleles' counts (twice to a homozygote's).
      for (std::size_t g = 0; g < G; ++g) {
        const auto [x, y] = tables.unordered_genotypes[g];
        if (x == y) {
          updated[x] += 2 * posteriors[g] / haplotype_count;
        } else {
          updated[x] += posteriors[g] / haplotype_count;
          updated[y] += posteriors[g] / haplotype_count;
        }
      }
    }
    double change = 0.0;
    for (int l = 0; l < a; ++l) change += std::fabs(updated[l] - allele_frequencies[l]);
    allele_frequencies = updated;
    if (!(pass < kMaxPassesMulti && change > kConvergence)) break;
  }

  // The calls use the priors of the last pass, not the frequencies it produced.
  haplotypes.assign(2 * static_cast<std::size_t>(sample_count), 0);
  for (int j = 0; j < sample_count; ++j) {
    hwe_posteriors_multi(&site_pls[G * std::size_t(j)], priors, posteriors);
    std::size_t best = 0;
    for (std::size_t g = 1; g < G; ++g) {
      if (posteriors[g] > posteriors[best]) best = g;
    }
    const auto [x, y] = tables.unordered_genotypes[best];
    const bool keep_order = random.uniform() > 0.5;
    haplotypes[2 * std::size_t(j)] = keep_order ? x : y;
    haplotypes[2 * std::size_t(j) + 1] = keep_order ? y : x;
  }
}

void initial_genotypes_from_file(const std::vector<int>& file_alleles, int sample_count,
                                 const MultiAlleleTables& tables, std::vector<int>& haplotypes) {
  if (sample_count < 0 || file_alleles.size() < 2 * static_cast<std::size_t>(sample_count)) {
    throw std::logic_error("initial_genotypes_from_file: fewer alleles than samples");
  }
  haplotypes.resize(2 * static_cast<std::size_t>(sample_count), 0);
  for (int j = 0; j < sample_count; ++j) {
    const std::pair<int, int> pair{file_alleles[2 * std::size_t(j)],
                                   file_alleles[2 * std::size_t(j) + 1]};
    if (pair.first < 0 || pair.second < 0) continue;
    std::size_t found = 0;
    for (std::size_t c = 0; c < tables.ordered_genotypes.size(); ++c) {
      if (tables.ordered_genotypes[c] == pair) found = c;
    }
    haplotypes[2 * std::size_t(j)] = tables.ordered_genotypes[found].first;
    haplotypes[2 * std::size_t(j) + 1] = tables.ordered_genotypes[found].second;
  }
}
