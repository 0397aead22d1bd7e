#include "model/copying_prior.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <stdexcept>

#include "model/vector_lanes.h"

namespace {

// Sums are taken in this many interleaved partial sums, added up in a fixed order at the
// end: independent additions that vectors can take side by side, the same bits on every
// processor.
constexpr int kLanes = 8;
// Below this total the probabilities are scaled up, so a long run of mismatches never
// underflows a float.
constexpr float kRescaleBelow = 1e-20F;

float lane_total(const float (&lanes)[kLanes]) {
  float total = 0.0F;
  for (const float x : lanes) total += x;
  return total;
}

// One site of the chain: v <- (stay v + jump_share total) * emission, total = the sum of v
// before the step; returns the sum after it. v is scaled only when that sum grows small:
// only the ratios of its entries matter.
DORSANE_VECTOR_CLONES float advance(float* v, int count, float total, const std::uint8_t* site,
                                    std::uint8_t allele, float stay, float jump_share, float match,
                                    float miss) {
  const float jump = jump_share * total;
  float lanes[kLanes] = {};
  int j = 0;
  for (; j + kLanes <= count; j += kLanes) {
    for (int l = 0; l < kLanes; ++l) {
      v[j + l] = (stay * v[j + l] + jump) * (site[j + l] == allele ? match : miss);
      lanes[l] += v[j + l];
    }
  }
  for (int l = 0; j < count; ++j, ++l) {
    v[j] = (stay * v[j] + jump) * (site[j] == allele ? match : miss);
    lanes[l] += v[j];
  }
  float after = lane_total(lanes);
  if (after < kRescaleBelow) {
    const float scale = 1.0F / after;
    for (int i = 0; i < count; ++i) v[i] *= scale;
    after = 1.0F;
  }
  return after;
}

// The last step to the variant, without an emission, with v scaled to sum 1 first so that
// the product of the two sides stays well inside the float range.
void step_to_variant(float* v, int count, float total, float stay, float jump_share) {
  const float scale = 1.0F / total;
  for (int j = 0; j < count; ++j) v[j] = stay * (v[j] * scale) + jump_share;
}

}  // namespace

void copying_posterior(const CopyingSources& sources, const std::uint8_t* target, int split,
                       const CopyingSettings& settings, std::vector<float>& backward,
                       float* posterior, const float* target_miss) {
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
  float forward_total = 1.0F;
  // A row's chances that the copied allele is matched and missed; both 1 where the target's
  // allele is unknown.
  auto fit = [&](int r, float& row_match, float& row_miss) {
    row_match = target_miss != nullptr ? 1.0F - target_miss[r] : match;
    row_miss = target_miss != nullptr ? target_miss[r] : miss;
    if (target[r] == kUnknownTarget) row_match = row_miss = 1.0F;
  };
  float row_match = match;
  float row_miss = miss;
  for (int r = 0; r < split; ++r) {
    fit(r, row_match, row_miss);
    forward_total = advance(forward, count, forward_total, sources.row(r), target[r], stay,
                            jump_share, row_match, row_miss);
  }
  step_to_variant(forward, count, forward_total, stay, jump_share);
  backward.assign(static_cast<std::size_t>(count), uniform);
  float backward_total = 1.0F;
  for (int r = sources.rows - 1; r >= split; --r) {
    fit(r, row_match, row_miss);
    backward_total = advance(backward.data(), count, backward_total, sources.row(r), target[r],
                             stay, jump_share, row_match, row_miss);
  }
  step_to_variant(backward.data(), count, backward_total, stay, jump_share);
  float lanes[kLanes] = {};
  for (int j = 0; j < count; ++j) {
    posterior[j] = forward[j] * backward[static_cast<std::size_t>(j)];
    lanes[j % kLanes] += posterior[j];
  }
  const float inverse = 1.0F / lane_total(lanes);
  for (int j = 0; j < count; ++j) posterior[j] *= inverse;
}

int merge_called_sites(const std::uint64_t* row_positions, int rows, int split,
                       const std::vector<std::uint64_t>& called, std::vector<CopyingSite>& sites) {
  sites.clear();
  if (rows == 0) return 0;
  const std::uint64_t gap_from = split > 0 ? row_positions[split - 1] : 0;
  const std::uint64_t gap_to = split < rows ? row_positions[split] : UINT64_MAX;
  auto next = called.begin();
  int left = 0;
  for (int r = 0; r < rows; ++r) {
    const std::uint64_t at = row_positions[r];
    for (; next != called.end() && *next <= at; ++next) {
      const bool in_gap = *next >= gap_from && *next <= gap_to;
      if (r == 0 || *next == at || in_gap) continue;
      sites.push_back({*next, -1 - static_cast<int>(next - called.begin())});
      if (*next < gap_from) left = static_cast<int>(sites.size());
    }
    sites.push_back({at, r});
    if (r < split) left = static_cast<int>(sites.size());
  }
  return left;
}

double copied_allele_probability(const float* posterior, const std::uint8_t* source_alleles,
                                 int count) {
  double p = 0.0;
  for (int j = 0; j < count; ++j) {
    if (source_alleles[j] != 0) p += posterior[j];
  }
  return p;
}

void closest_sources(const int* runs, int count, int wanted, std::vector<int>& order, int* chosen) {
  order.resize(static_cast<std::size_t>(count));
  std::iota(order.begin(), order.end(), 0);
  std::nth_element(order.begin(), order.begin() + wanted, order.end(),
                   [runs](int a, int b) { return runs[a] != runs[b] ? runs[a] > runs[b] : a < b; });
  std::sort(order.begin(), order.begin() + wanted);
  std::copy(order.begin(), order.begin() + wanted, chosen);
}

void gather_sources(const CopyingSources& all, const int* chosen, int wanted, CopyingSources& out) {
  out.rows = all.rows;
  out.count = wanted;
  out.alleles.resize(static_cast<std::size_t>(all.rows) * static_cast<std::size_t>(wanted));
  for (int r = 0; r < all.rows; ++r) {
    const std::uint8_t* from = all.row(r);
    std::uint8_t* to = out.alleles.data() + static_cast<std::size_t>(r) * wanted;
    for (int j = 0; j < wanted; ++j) to[j] = from[chosen[j]];
  }
}
