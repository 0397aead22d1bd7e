#include "model/anchored_copying.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// An array of sites with random alleles for 12 sources and 3 targets (targets copy source 2
// with a few errors), and windows of 2 x 20 consecutive sites slid along it.
struct Array {
  static constexpr int kSources = 12;
  static constexpr int kTargets = 3;
  std::vector<std::uint64_t> positions;
  std::vector<std::uint8_t> sources;  // sites x kSources
  std::vector<std::uint8_t> targets;  // kTargets x sites
};

Array random_array(int sites) {
  std::mt19937 engine(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Array a;
  a.targets.resize(static_cast<std::size_t>(Array::kTargets) * sites);
  for (int i = 0; i < sites; ++i) {
    a.positions.push_back(1000 + 37 * static_cast<std::uint64_t>(i) + (i * i) % 11);
    for (int j = 0; j < Array::kSources; ++j) a.sources.push_back(unit(engine) < 0.3);
    for (int t = 0; t < Array::kTargets; ++t) {
      a.targets[t * sites + i] = a.sources[i * Array::kSources + 2] ^ (unit(engine) < 0.05);
    }
  }
  return a;
}

// The window of rows [first, first + rows) of the array.
void window_of(const Array& a, int first, int rows, CopyingSources& sources,
               std::vector<std::uint8_t>& targets) {
  const int sites = static_cast<int>(a.positions.size());
  sources.rows = rows;
  sources.count = Array::kSources;
  sources.alleles.assign(a.sources.begin() + first * Array::kSources,
                         a.sources.begin() + (first + rows) * Array::kSources);
  targets.clear();
  for (int t = 0; t < Array::kTargets; ++t) {
    targets.insert(targets.end(), a.targets.begin() + t * sites + first,
                   a.targets.begin() + t * sites + first + rows);
  }
}

}  // namespace

TEST(AnchoredCopying, SlidingWindowsEqualFreshRunsAndTheChainBetweenTheAnchors) {
  const int sites = 200;
  const int rows = 40;
  const Array a = random_array(sites);
  const CopyingSettings settings{0.01, 0.005};
  const std::vector<bool> wanted{true, false, true};
  // Room for two kept backward sides: the rest are run anew.
  AnchoredCopying sliding(2 * Array::kTargets * Array::kSources * sizeof(float));
  CopyingSources sources;
  std::vector<std::uint8_t> targets;
  std::vector<float> shared(Array::kTargets * Array::kSources);
  std::vector<float> fresh(shared.size());
  std::vector<float> direct(Array::kSources);
  std::vector<float> backward;
  int anchored_windows = 0;
  // Some windows skipped, and the last ones' rows fixed at the array's end, as windows go.
  for (int variant = 0; variant <= sites; variant += variant % 7 == 3 ? 3 : 1) {
    const int first = std::clamp(variant - rows / 2, 0, sites - rows);
    const int split = variant - first;
    window_of(a, first, rows, sources, targets);
    const std::uint64_t* positions = a.positions.data() + first;
    sliding.posteriors(sources, positions, split, targets.data(), wanted, settings, shared.data());
    AnchoredCopying once(0);
    once.posteriors(sources, positions, split, targets.data(), wanted, settings, fresh.data());
    ASSERT_EQ(shared, fresh) << variant;
    // The same as the chain over the window's rows between the two sides' anchors.
    const int from = forward_start(positions, 0, split, kCopyingAnchorReach);
    const int end = backward_end(positions, rows, split, kCopyingAnchorReach);
    anchored_windows += from > 0 || end < rows;
    CopyingSources part;
    window_of(a, first + from, end - from, part, targets);
    for (int t = 0; t < Array::kTargets; ++t) {
      if (!wanted[t]) continue;
      copying_posterior(part, targets.data() + t * (end - from), split - from, settings, backward,
                        direct.data());
      for (int j = 0; j < Array::kSources; ++j) {
        ASSERT_EQ(shared[t * Array::kSources + j], direct[j]) << variant << " " << t << " " << j;
      }
    }
  }
  EXPECT_GT(anchored_windows, 20);
}
