#include "chain/held_out.h"

#include <algorithm>
#include <cmath>

#include "chain/probs.h"

void score_held_out_alleles(const WindowMatrix& M, const WindowPatterns& patterns,
                            const std::vector<SampleModel>& models,
                            const std::vector<char>& modelled, SamplerScratch& scratch,
                            ModelWarnings& warnings, HeldOutScore& score) {
  const std::vector<double> truth = variant_row(M);
  const int size = static_cast<int>(M.rows()) - 1;
  if (scratch.cov.size() < static_cast<std::size_t>(size)) scratch.resize(size);
  std::vector<double> sums(static_cast<std::size_t>(size));
  std::vector<double> whitened(static_cast<std::size_t>(size));
  for (std::size_t s = 0; s < models.size(); ++s) {
    if (!modelled[s]) continue;
    for (int h = 0; h < 2; ++h) {
      const HaplotypeModel& model = h == 0 ? models[s].first : models[s].second;
      const double carried = carrier_sums(truth.data(), patterns, model, scratch, sums.data());
      const double variant_mean = carried / carrier_unit_total(model);
      whitened_covariance(model, sums.data(), variant_mean, scratch, whitened.data());
      const std::array<double, 2> probs = allele_probs_from_moments(
          moments_from_whitened(model, variant_mean, whitened.data(), warnings));
      const int allele = truth[2 * s + static_cast<std::size_t>(h)] != 0.0 ? 1 : 0;
      const double p = probs[static_cast<std::size_t>(allele)];
      score.log_prob += std::log(std::max(p, kHeldOutFloor));
      score.errors += p < 0.5 ? 1.0 : p == 0.5 ? 0.5 : 0.0;
      ++score.count;
    }
  }
}
