#include "chain/probs.h"

#include <algorithm>
#include <cmath>
#include <limits>

std::array<double, 2> allele_probs_from_moments(const ConditionalMoments& moments) {
  const double mu = moments.mean;
  const double sigma2 = moments.variance;
  double p0;
  double p1;
  if (sigma2 > 0.0) {
    const double log_density0 = -0.5 * mu * mu / sigma2;
    const double log_density1 = -0.5 * (1 - mu) * (1 - mu) / sigma2;
    // Relative to the larger density, which is exp(0) = 1: one exp for the other.
    const bool first_larger = log_density0 >= log_density1;
    p0 = first_larger ? 1.0 : std::exp(log_density0 - log_density1);
    p1 = first_larger ? std::exp(log_density1 - log_density0) : 1.0;
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

std::array<double, 3> genotype_likelihoods(const double* pl_phred) {
  const double best = std::min({pl_phred[0], pl_phred[1], pl_phred[2]});
  std::array<double, 3> likelihoods;
  for (int g = 0; g < 3; ++g) likelihoods[g] = std::exp((best - pl_phred[g]) * kLn10PerPhred);
  return likelihoods;
}

namespace {

// The same in log10, rescaled by the largest weight: for weights whose products underflow.
std::array<double, 4> class_probabilities_log10(const std::array<double, 2>& first,
                                                const std::array<double, 2>& second,
                                                const double* pl_phred) {
  const std::array<double, 4> log10_weights = {
      -pl_phred[0] / 10 + std::log10(first[0]) + std::log10(second[0]),
      -pl_phred[2] / 10 + std::log10(first[1]) + std::log10(second[1]),
      -pl_phred[1] / 10 + std::log10(first[0]) + std::log10(second[1]),
      -pl_phred[1] / 10 + std::log10(first[1]) + std::log10(second[0])};
  const double largest = *std::max_element(log10_weights.begin(), log10_weights.end());
  std::array<double, 4> probs;
  for (int c = 0; c < 4; ++c) probs[c] = std::pow(10.0, log10_weights[c] - largest);
  const double sum = probs[0] + probs[1] + probs[2] + probs[3];
  for (int c = 0; c < 4; ++c) probs[c] /= sum;
  return probs;
}

}  // namespace

std::array<double, 4> class_probabilities(const std::array<double, 2>& first,
                                          const std::array<double, 2>& second,
                                          const std::array<double, 3>& likelihoods,
                                          const double* pl_phred) {
  std::array<double, 4> probs = {
      likelihoods[0] * first[0] * second[0], likelihoods[2] * first[1] * second[1],
      likelihoods[1] * first[0] * second[1], likelihoods[1] * first[1] * second[0]};
  const double sum = probs[0] + probs[1] + probs[2] + probs[3];
  // Every factor is at most 1, so nothing overflows; a sum below the normal range has lost
  // digits to underflow.
  if (!(sum >= std::numeric_limits<double>::min())) {
    return class_probabilities_log10(first, second, pl_phred);
  }
  // Divided, not scaled by 1 / sum: x (1 / x) can round below 1, and a certain class must
  // keep probability 1 so that a draw of u = 1 stays in it.
  for (int c = 0; c < 4; ++c) probs[c] /= sum;
  return probs;
}

std::array<double, 4> class_probabilities(const std::array<double, 2>& first,
                                          const std::array<double, 2>& second,
                                          const double* pl_phred) {
  return class_probabilities(first, second, genotype_likelihoods(pl_phred), pl_phred);
}

void split_heterozygote(std::array<double, 4>& class_probs, const std::array<double, 2>& first,
                        const std::array<double, 2>& second) {
  const double heterozygous = class_probs[2] + class_probs[3];
  const double first_carries = first[1] * second[0];
  const double second_carries = first[0] * second[1];
  const double both = first_carries + second_carries;
  if (!(both > 0.0)) return;
  class_probs[2] = heterozygous * (second_carries / both);
  class_probs[3] = heterozygous * (first_carries / both);
}

int draw_class(const std::array<double, 4>& class_probs, double u) {
  if (class_probs[0] >= u) return 0;
  if (u <= class_probs[0] + class_probs[1]) return 1;
  if (u <= class_probs[0] + class_probs[1] + class_probs[2]) return 2;
  return 3;
}

int draw_class_multi(const std::vector<double>& class_probs, double u) {
  const int C = static_cast<int>(class_probs.size());
  double cumulative = C > 0 ? class_probs[0] : 0.0;
  if (u <= cumulative) return 0;
  for (int c = 1; c < C; ++c) {
    cumulative += class_probs[c];
    if (u <= cumulative) return c;
  }
  // u beyond a total that rounding left short of 1.
  for (int c = C - 1; c > 0; --c) {
    if (class_probs[c] > 0.0) return c;
  }
  return 0;
}

double variant_penalty(double variant_mean, double lambda, double band) {
  return (variant_mean > 1.0 - band || variant_mean < band) ? kConfidentPenalty : lambda;
}

double clamp_indicator_mean(double mean) {
  if (mean < 0.0) return kClampLow;
  if (mean > 1.0) return kClampHigh;
  return mean;
}

std::array<double, 2> mix_copying_prior(const std::array<double, 2>& probs, double allele_one,
                                        double weight) {
  const double copied =
      std::clamp(allele_one, kCopiedProbabilityFloor, 1.0 - kCopiedProbabilityFloor);
  const double one = (1.0 - weight) * probs[1] + weight * copied;
  return {1.0 - one, one};
}
