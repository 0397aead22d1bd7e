#include "model/copying_prior.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "chain/probs.h"

namespace {

// The posterior at the variant by summing over every path of copied sources (site states
// 0..rows-1 with the variant's state between split - 1 and split), in double.
std::vector<double> posterior_over_all_paths(const CopyingSources& sources,
                                             const std::vector<std::uint8_t>& target, int split,
                                             const CopyingSettings& settings,
                                             const std::vector<float>& row_miss = {},
                                             const std::vector<int>& excluded = {}) {
  const int k = sources.count;
  const int states = sources.rows + 1;  // the sites and the variant
  std::vector<double> posterior(static_cast<std::size_t>(k), 0.0);
  std::vector<int> path(static_cast<std::size_t>(states), 0);
  for (;;) {
    double p = 1.0 / k;
    for (const int e : excluded) {
      if (std::find(path.begin(), path.end(), e) != path.end()) p = 0.0;
    }
    for (int t = 0; t < states; ++t) {
      if (t > 0) {
        p *= (path[t] == path[t - 1] ? 1.0 - settings.switch_rate : 0.0) + settings.switch_rate / k;
      }
      if (t == split) continue;  // the variant emits nothing
      const int row = t < split ? t : t - 1;
      if (target[static_cast<std::size_t>(row)] == kUnknownTarget) continue;
      const bool same = sources.row(row)[path[t]] == target[static_cast<std::size_t>(row)];
      const double miss =
          row_miss.empty() ? settings.mismatch : row_miss[static_cast<std::size_t>(row)];
      p *= same ? 1.0 - miss : miss;
    }
    posterior[static_cast<std::size_t>(path[split])] += p;
    int t = 0;
    while (t < states && ++path[t] == k) path[t++] = 0;
    if (t == states) break;
  }
  double total = 0.0;
  for (const double x : posterior) total += x;
  for (double& x : posterior) x /= total;
  return posterior;
}

}  // namespace

TEST(CopyingPrior, PosteriorEqualsTheSumOverEveryPathOfCopiedSources) {
  // Three sources over five sites; the target matches source 1 on the left, source 2 on
  // the right, so the variant's copied source depends on where it lies.
  CopyingSources sources;
  sources.rows = 5;
  sources.count = 3;
  sources.alleles = {0, 1, 1,  //
                     1, 0, 1,  //
                     0, 0, 1,  //
                     1, 1, 0,  //
                     0, 1, 0};
  const std::vector<std::uint8_t> target = {0, 1, 0, 1, 0};
  const CopyingSettings settings{0.05, 0.01};
  std::vector<float> backward;
  std::vector<float> posterior(3);
  // The passes over `taken` (sources, or the same rows taken lazily) against the direct sum.
  auto expect_direct = [&](const CopyingSources& taken, const std::vector<std::uint8_t>& t,
                           int split, const std::vector<float>& row_miss,
                           const std::vector<int>& excluded = {}) {
    copying_posterior(taken, t.data(), split, settings, backward, posterior.data(),
                      row_miss.empty() ? nullptr : row_miss.data(), excluded.data(),
                      static_cast<int>(excluded.size()));
    const std::vector<double> direct =
        posterior_over_all_paths(sources, t, split, settings, row_miss, excluded);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(posterior[j], direct[j], 2e-6) << split << " " << j;
  };
  for (int split = 0; split <= sources.rows; ++split) expect_direct(sources, target, split, {});
  // A site where the target's allele is unknown fits every source alike.
  const std::vector<std::uint8_t> unknown_at_2 = {0, 1, kUnknownTarget, 1, 0};
  for (const int split : {1, 4}) expect_direct(sources, unknown_at_2, split, {});
  // Rows of their own mismatch chance: a call less certain than an array genotype.
  const std::vector<float> row_miss = {0.01F, 0.3F, 0.2F, 0.01F, 0.5F};
  for (const int split : {0, 2, 5}) expect_direct(sources, target, split, row_miss);
  // Every row taken lazily (a few sources set apart) gives the same posteriors.
  CopyingSources lazy = sources;
  list_minority_sources(lazy);
  EXPECT_EQ(lazy.minority, (std::vector<int>{0, 1, 2, 2, 1}));
  for (const int split : {0, 3, 5}) expect_direct(lazy, unknown_at_2, split, row_miss);
  // A source the target may not copy (its own haplotype) takes no part, whole or lazily.
  for (const int split : {0, 2, 5}) {
    expect_direct(sources, target, split, row_miss, {1});
    expect_direct(lazy, unknown_at_2, split, row_miss, {2});
    EXPECT_EQ(posterior[2], 0.0F);
  }
  // In parts, as the second pass reads a variant's gap: the window without rows 2 and 3,
  // its sides carried on through row 2 (forward) and row 3 (backward) and joined.
  CopyingSources window = sources;
  window.rows = 3;
  window.alleles = {0, 1, 1, 1, 0, 1, 0, 1, 0};
  CopyingSources gap = sources;
  gap.rows = 2;
  gap.alleles = {0, 0, 1, 1, 1, 0};
  for (const bool lazily : {false, true}) {
    if (lazily) list_minority_sources(window);
    const std::uint8_t window_target[] = {0, 1, 0};
    const std::uint8_t gap_target[] = {0, 1};
    const float window_miss[] = {0.01F, 0.3F, 0.5F};
    const float gap_miss[] = {0.2F, 0.01F};
    std::vector<float> forward(3), back(3);
    copying_sides(window, window_target, 2, settings, forward.data(), back.data(), window_miss,
                  nullptr, 0);
    float forward_total = 1.0F;
    float back_total = 1.0F;
    copying_extend(gap, 0, 1, gap_target, settings, false, forward.data(), forward_total, gap_miss);
    copying_extend(gap, 1, 2, gap_target, settings, true, back.data(), back_total, gap_miss);
    copying_join(forward.data(), forward_total, back.data(), back_total, 3, settings,
                 posterior.data());
    const std::vector<double> direct =
        posterior_over_all_paths(sources, target, 3, settings, row_miss);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(posterior[j], direct[j], 2e-6) << lazily << j;
  }
  const std::uint8_t at_variant[] = {0, 1, 1};
  copying_posterior(sources, target.data(), 3, settings, backward, posterior.data());
  EXPECT_NEAR(copied_allele_probability(posterior.data(), at_variant, 3),
              posterior[1] + posterior[2], 1e-7);
}

// What the reads say of one haplotype, the other weighed by its chance: e(a) = sum_b
// L(a + b) P(b), kept in a byte within the quantisation's step.
TEST(CopyingPrior, ReadEmissionWeighsTheOtherHaplotypeAndSurvivesItsByte) {
  const double het[] = {30.0, 0.0, 30.0};  // a clear heterozygote
  const ReadEmission other_ref = read_emission(het, 0.001);
  EXPECT_EQ(other_ref.allele, 1);
  EXPECT_NEAR(other_ref.miss, (0.999e-3 + 0.001) / (0.999e-3 + 0.001 + 0.999 + 0.001e-3), 1e-6);
  EXPECT_EQ(read_emission(het, 0.999).allele, 0);
  // Without reads, or with the other haplotype at one half on a heterozygote, nothing.
  const double none[] = {0.0, 0.0, 0.0};
  EXPECT_EQ(read_emission(none, 0.3).allele, kUnknownTarget);
  EXPECT_EQ(read_emission(het, 0.5).allele, kUnknownTarget);
  EXPECT_EQ(decode_emission(encode_emission(read_emission(none, 0.3))).allele, kUnknownTarget);
  for (const double miss : {0.0001, 0.005, 0.02, 0.3, 0.49}) {
    const ReadEmission back = decode_emission(encode_emission({0, static_cast<float>(miss)}));
    EXPECT_EQ(back.allele, 0);
    const double held = std::max(miss, static_cast<double>(kReadMissFloor));
    EXPECT_NEAR(std::log(back.miss), std::log(held), 0.02) << miss;
  }
  EXPECT_EQ(decode_emission(encode_emission({1, 0.1F})).allele, 1);
}

TEST(CopyingPrior, MixWithOneSideOffIsThatSideAlone) {
  const std::array<double, 2> window = {0.7, 0.3};
  EXPECT_EQ(mix_copying_prior(window, 0.9, 0.0), window);
  const std::array<double, 2> copied = mix_copying_prior(window, 0.9, 1.0);
  EXPECT_DOUBLE_EQ(copied[1], 0.9);
  EXPECT_DOUBLE_EQ(copied[0] + copied[1], 1.0);
  // A copied certainty never makes the other allele impossible.
  EXPECT_GT(mix_copying_prior(window, 1.0, 1.0)[0], 0.0);
  EXPECT_GT(mix_copying_prior(window, 0.0, 1.0)[1], 0.0);
  EXPECT_DOUBLE_EQ(mix_copying_prior(window, 0.5, 0.4)[1], 0.6 * 0.3 + 0.4 * 0.5);
}

// A large panel is copied from the sources closest to the target: the longest runs, ties to
// the lower source, in source order; their window alleles follow them.
TEST(CopyingPrior, ClosestSourcesAgainstASortOfTheRuns) {
  std::mt19937 engine(3);
  std::uniform_int_distribution<int> run(4, 9);  // few values: many ties
  for (const int wanted : {1, 5, 17, 40}) {
    std::vector<int> runs(40);
    for (int& r : runs) r = run(engine);
    std::vector<int> sorted(40);
    std::iota(sorted.begin(), sorted.end(), 0);
    std::stable_sort(sorted.begin(), sorted.end(), [&](int a, int b) { return runs[a] > runs[b]; });
    sorted.resize(static_cast<std::size_t>(wanted));
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> order, chosen(static_cast<std::size_t>(wanted));
    closest_sources(runs.data(), 40, wanted, order, chosen.data());
    EXPECT_EQ(chosen, sorted) << wanted;
  }
  CopyingSources all;
  all.rows = 2;
  all.count = 4;
  all.alleles = {0, 1, 0, 1, 1, 1, 0, 0};
  CopyingSources out;
  const int chosen[] = {1, 2};
  gather_sources(all, chosen, 2, out);
  EXPECT_EQ(out.alleles, (std::vector<std::uint8_t>{1, 0, 1, 0}));
  EXPECT_EQ(out.count, 2);
}

// Called sites join the window's rows in position order inside the window's span, never in
// the variant's own gap and never on top of a row.
TEST(CopyingPrior, CalledSitesMergeIntoTheWindowOutsideTheVariantsGap) {
  const std::uint64_t rows[] = {100, 200, 300, 400};
  const std::vector<std::uint64_t> called = {50, 100, 150, 250, 260, 300, 350, 400, 450};
  std::vector<CopyingSite> sites;
  auto positions = [&]() {
    std::vector<std::uint64_t> out;
    for (const CopyingSite& s : sites) out.push_back(s.position);
    return out;
  };
  // The variant between rows 1 and 2 (200 and 300): 250 and 260 are its neighbours.
  EXPECT_EQ(merge_called_sites(rows, 4, 2, called, sites), 3);
  EXPECT_EQ(positions(), (std::vector<std::uint64_t>{100, 150, 200, 300, 350, 400}));
  EXPECT_EQ(sites[1].row, -3);  // called[2]
  EXPECT_EQ(sites[3].row, 2);
  // Before every row and after every row: the gap lies outside the span.
  const std::vector<std::uint64_t> span = {100, 150, 200, 250, 260, 300, 350, 400};
  EXPECT_EQ(merge_called_sites(rows, 4, 0, called, sites), 0);
  EXPECT_EQ(positions(), span);
  EXPECT_EQ(merge_called_sites(rows, 4, 4, called, sites), 8);
  EXPECT_EQ(positions(), span);
  // No calls: the rows alone, as before.
  EXPECT_EQ(merge_called_sites(rows, 4, 3, {}, sites), 3);
  EXPECT_EQ(positions(), (std::vector<std::uint64_t>{100, 200, 300, 400}));
}

// On a larger window with rare and common rows, the rows taken lazily give the posteriors of
// the rows taken whole.
TEST(CopyingPrior, LazyRowsMatchWholeRowsOnALongWindow) {
  std::mt19937 engine(5);
  CopyingSources whole;
  whole.rows = 300;
  whole.count = 64;
  whole.alleles.resize(300 * 64);
  std::vector<std::uint8_t> target(300);
  std::vector<float> row_miss(300);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int r = 0; r < 300; ++r) {
    const double frequency = r % 3 == 0 ? 0.4 : 0.03;
    for (int j = 0; j < 64; ++j) whole.alleles[r * 64 + j] = unit(engine) < frequency;
    target[r] = r % 17 == 0 ? kUnknownTarget : whole.alleles[r * 64 + 5] ^ (unit(engine) < 0.02);
    row_miss[r] = r % 3 == 0 ? 0.005F : static_cast<float>(0.005 + 0.2 * unit(engine));
  }
  CopyingSources lazy = whole;
  list_minority_sources(lazy);
  std::vector<float> backward, expected(64), actual(64);
  const CopyingSettings settings{0.002, 0.005};
  // Three sources carry the rare allele at every row, and so does the target: it misses
  // every other source at every row, and the lazy form must be renewed before it underflows.
  CopyingSources clade = whole;
  for (int r = 0; r < 300; ++r) {
    for (int j = 0; j < 64; ++j) clade.alleles[r * 64 + j] = j < 3;
  }
  CopyingSources lazy_clade = clade;
  list_minority_sources(lazy_clade);
  const std::vector<std::uint8_t> carrier(300, 1);
  const std::vector<float> sure(300, 0.005F);
  for (const int split : {0, 150, 300}) {
    copying_posterior(whole, target.data(), split, settings, backward, expected.data(),
                      row_miss.data());
    copying_posterior(lazy, target.data(), split, settings, backward, actual.data(),
                      row_miss.data());
    for (int j = 0; j < 64; ++j) ASSERT_NEAR(actual[j], expected[j], 1e-5) << split << " " << j;
    copying_posterior(clade, carrier.data(), split, settings, backward, expected.data(),
                      sure.data());
    copying_posterior(lazy_clade, carrier.data(), split, settings, backward, actual.data(),
                      sure.data());
    for (int j = 0; j < 64; ++j) ASSERT_NEAR(actual[j], expected[j], 1e-5) << split << " " << j;
  }
}
