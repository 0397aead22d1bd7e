#include "io/dosage.h"

#include <algorithm>

void unordered_genotype_probabilities(const double* classes, int allele_count, double* gp) {
  if (allele_count == 2) {
    gp[0] = classes[0];
    gp[1] = classes[2] + classes[3];
    gp[2] = classes[1];
    return;
  }
  // Unordered (t, s), t <= s, sits at s(s + 1) / 2 + t; the ordered pairs of largest
  // allele s start at s^2, with (t, s) and (s, t) at s^2 + 2t and s^2 + 2t + 1.
  for (int s = 0; s < allele_count; ++s) {
    for (int t = 0; t <= s; ++t) {
      const int forward = s * s + 2 * t;
      gp[s * (s + 1) / 2 + t] = t == s ? classes[forward] : classes[forward] + classes[forward + 1];
    }
  }
}

InfoScore::InfoScore(int allele_count)
    : allele_count_(allele_count),
      dosage_sum_(static_cast<std::size_t>(std::max(allele_count - 1, 0)), 0.0),
      variance_sum_(dosage_sum_.size(), 0.0) {}

void InfoScore::add(const double* gp, double* dosage) {
  for (int x = 1; x < allele_count_; ++x) {
    double expected = 0.0, square = 0.0;
    for (int s = 0; s < allele_count_; ++s) {
      for (int t = 0; t <= s; ++t) {
        const int copies = (t == x ? 1 : 0) + (s == x ? 1 : 0);
        const double p = gp[s * (s + 1) / 2 + t];
        expected += copies * p;
        square += copies * copies * p;
      }
    }
    dosage[x - 1] = expected;
    dosage_sum_[static_cast<std::size_t>(x - 1)] += expected;
    variance_sum_[static_cast<std::size_t>(x - 1)] += square - expected * expected;
  }
  ++samples_;
}

double InfoScore::score(int alt) const {
  if (samples_ == 0) return 1.0;
  const double chromosomes = 2.0 * samples_;
  const double theta = dosage_sum_[static_cast<std::size_t>(alt - 1)] / chromosomes;
  const double expected_variance = chromosomes * theta * (1.0 - theta);
  if (!(expected_variance > 1e-12)) return 1.0;
  return 1.0 - variance_sum_[static_cast<std::size_t>(alt - 1)] / expected_variance;
}

void site_dosages(const double* classes, int allele_count, int sample_count, SiteDosages& site) {
  const std::size_t C = static_cast<std::size_t>(allele_count) * allele_count;
  const std::size_t G = static_cast<std::size_t>(allele_count) * (allele_count + 1) / 2;
  const std::size_t alts = static_cast<std::size_t>(allele_count - 1);
  site.gp.assign(G * sample_count, 0.0);
  site.dosage.assign(alts * sample_count, 0.0);
  InfoScore score(allele_count);
  for (std::size_t j = 0; j < static_cast<std::size_t>(sample_count); ++j) {
    const double* p = classes + C * j;
    if (std::all_of(p, p + C, [](double v) { return v == 0.0; })) continue;
    unordered_genotype_probabilities(p, allele_count, site.gp.data() + G * j);
    score.add(site.gp.data() + G * j, site.dosage.data() + alts * j);
  }
  site.info.resize(alts);
  for (std::size_t x = 1; x <= alts; ++x) site.info[x - 1] = score.score(static_cast<int>(x));
}
