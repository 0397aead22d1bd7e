#include "model/copying_prior.h"

#include <stdexcept>

namespace {

// One site of the chain: v <- (stay v + jump total(v) / count) * emission, then scaled to
// sum 1 (returned sum before scaling is not needed: only ratios matter).
void advance(float* v, int count, const std::uint8_t* site, std::uint8_t allele, float stay,
             float jump_share, float match, float miss) {
  float total = 0.0F;
  for (int j = 0; j < count; ++j) total += v[j];
  const float jump = jump_share * total;
  float scaled = 0.0F;
  for (int j = 0; j < count; ++j) {
    v[j] = (stay * v[j] + jump) * (site[j] == allele ? match : miss);
    scaled += v[j];
  }
  const float inverse = 1.0F / scaled;
  for (int j = 0; j < count; ++j) v[j] *= inverse;
}

// The last step to the variant, without an emission.
void step_to_variant(float* v, int count, float stay, float jump_share) {
  float total = 0.0F;
  for (int j = 0; j < count; ++j) total += v[j];
  const float jump = jump_share * total;
  for (int j = 0; j < count; ++j) v[j] = stay * v[j] + jump;
}

}  // namespace

void copying_posterior(const CopyingSources& sources, const std::uint8_t* target, int split,
                       const CopyingSettings& settings, std::vector<float>& backward,
                       float* posterior) {
  const int count = sources.count;
  if (count <= 0 || split < 0 || split > sources.rows) {
    throw std::logic_error("copying_posterior: no sources, or the variant outside the window");
  }
  const float stay = static_cast<float>(1.0 - settings.switch_rate);
  const float jump_share = static_cast<float>(settings.switch_rate / count);
  const float match = static_cast<float>(1.0 - settings.mismatch);
  const float miss = static_cast<float>(settings.mismatch);
  const float uniform = 1.0F / static_cast<float>(count);
  float* forward = posterior;
  for (int j = 0; j < count; ++j) forward[j] = uniform;
  for (int r = 0; r < split; ++r) {
    advance(forward, count, sources.row(r), target[r], stay, jump_share, match, miss);
  }
  step_to_variant(forward, count, stay, jump_share);
  backward.assign(static_cast<std::size_t>(count), uniform);
  for (int r = sources.rows - 1; r >= split; --r) {
    advance(backward.data(), count, sources.row(r), target[r], stay, jump_share, match, miss);
  }
  step_to_variant(backward.data(), count, stay, jump_share);
  float total = 0.0F;
  for (int j = 0; j < count; ++j) {
    posterior[j] = forward[j] * backward[static_cast<std::size_t>(j)];
    total += posterior[j];
  }
  const float inverse = 1.0F / total;
  for (int j = 0; j < count; ++j) posterior[j] *= inverse;
}

double copied_allele_probability(const float* posterior, const std::uint8_t* source_alleles,
                                 int count) {
  double p = 0.0;
  for (int j = 0; j < count; ++j) {
    if (source_alleles[j] != 0) p += posterior[j];
  }
  return p;
}
