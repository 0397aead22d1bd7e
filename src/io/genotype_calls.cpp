#include <algorithm>

#include "io/file_formats.h"

std::vector<AllelePair> ordered_genotype_pairs(int allele_count) {
  std::vector<AllelePair> pairs;
  pairs.reserve(static_cast<std::size_t>(allele_count) * allele_count);
  for (int s = 0; s < allele_count; ++s) {
    for (int t = 0; t <= s; ++t) {
      pairs.emplace_back(t, s);
      if (t != s) pairs.emplace_back(s, t);
    }
  }
  return pairs;
}

std::vector<AllelePair> unordered_genotype_pairs(int allele_count) {
  std::vector<AllelePair> pairs;
  pairs.reserve(static_cast<std::size_t>(allele_count) * (allele_count + 1) / 2);
  for (int s = 0; s < allele_count; ++s) {
    for (int t = 0; t <= s; ++t) pairs.emplace_back(t, s);
  }
  return pairs;
}

std::string genotype_vcf(double& p00, double& p11, double& p01, double& p10, double& posterior) {
  const double hom_ref = p00;
  const double het = p01 + p10;
  const double hom_alt = p11;
  posterior = hom_ref;
  bool het_flag = false;
  if (het > hom_ref) {
    posterior = het;
    het_flag = true;
  }
  if (hom_alt > posterior) {
    posterior = hom_alt;
    return "1|1";
  }
  if (!het_flag) return "0|0";
  return p01 >= p10 ? "0|1" : "1|0";
}

int genotype_vcf_multi(const std::vector<double>& probabilities, int sample, int class_count,
                       const std::vector<AllelePair>& ordered,
                       const std::vector<AllelePair>& unordered, double& posterior) {
  const std::size_t base = static_cast<std::size_t>(class_count) * sample;
  // The place of (first, second) in ordered_genotype_pairs: the pairs of largest allele s
  // start at s^2, (t, s) and (s, t) at s^2 + 2t and s^2 + 2t + 1, (s, s) at s^2 + 2s.
  // A formula instead of a search keeps a record's work quadratic in its allele count.
  (void)ordered;
  auto class_of = [](int first, int second) {
    const int s = std::max(first, second);
    const int t = std::min(first, second);
    return s * s + 2 * t + (first > second ? 1 : 0);
  };
  int best = 0;
  double best_sum = 0.0;
  for (std::size_t g = 0; g < unordered.size(); ++g) {
    const auto [t, s] = unordered[g];
    double sum = probabilities[base + class_of(t, s)];
    if (t != s) sum += probabilities[base + class_of(s, t)];
    if (g == 0 || sum > best_sum) {
      best = static_cast<int>(g);
      best_sum = sum;
    }
  }
  posterior = best_sum;
  const auto [t, s] = unordered[best];
  if (t == s) return class_of(t, t);
  const int forward = class_of(t, s);
  const int reverse = class_of(s, t);
  return probabilities[base + forward] > probabilities[base + reverse] ? forward : reverse;
}
