// The run-weighted window moments: exact sums against their definition, and the fit from
// them against the direct fit.
#include "model/run_moments.h"

#include <gtest/gtest.h>

#include <random>

#include "model/model_window.h"
#include "model/packed_triangle.h"
#include "window_builders.h"

namespace {

// Haplotypes copied from a few founders with rare miscopies, so that shared runs are long
// and the nested groups have several levels.
WindowMatrix linked_window(int rows, int columns, unsigned seed) {
  std::mt19937 engine(seed);
  const WindowMatrix founders = random_window(rows, 3, seed + 1);
  std::uniform_int_distribution<int> founder(0, 2);
  std::bernoulli_distribution miscopy(0.06);
  WindowMatrix M(rows, columns);
  for (int c = 0; c < columns; ++c) {
    const int f = founder(engine);
    for (int r = 0; r < rows; ++r)
      M(r, c) = miscopy(engine) ? 1.0 - founders(r, f) : founders(r, f);
  }
  return M;
}

}  // namespace

TEST(RunWeightedMoments, SumsEqualTheirDefinitionForEveryPattern) {
  for (const int rows : {3, 7, 13, 21}) {  // no core, then ever deeper groups
    const WindowMatrix M = linked_window(rows, 30, 10 + rows);
    WindowPatterns patterns;
    patterns.build(M, 30);
    RunWeightedMoments moments;
    moments.build(M, patterns, 30);
    const int T = rows - 1;
    for (int c = 0; c < 30; ++c) {
      const int p = patterns.of_column[c];
      std::vector<std::int64_t> second(packed_triangle_size(T), 0), first(T, 0);
      std::vector<std::int32_t> got_second(second.size());
      std::vector<std::int64_t> got_first(first.size());
      const std::int64_t got_total = moments.sums(p, got_second.data(), got_first.data());
      std::int64_t total = 0;
      for (int o = 0; o < 30; ++o) {
        const int l = shared_run_length(M, c, o);
        total += l;
        for (int j = 0, e = 0; j < T; ++j) {
          first[j] += l * static_cast<int>(M(j, o));
          for (int i = j; i < T; ++i, ++e) second[e] += l * static_cast<int>(M(i, o) * M(j, o));
        }
      }
      ASSERT_EQ(got_total, total) << rows << " " << c;
      EXPECT_EQ(got_first, first);
      EXPECT_EQ(std::vector<std::int64_t>(got_second.begin(), got_second.end()), second);
    }
  }
}

TEST(RunWeightedMoments, FitFromRunsEqualsDirectFit_OrDeclines) {
  const int N = 12;
  const WindowMatrix M = linked_window(17, 2 * N, 4);
  WindowPatterns patterns;
  patterns.build(M, 2 * N);
  std::vector<std::vector<int>> distances;
  distance_matrix(M, 2 * N, 2 * N, distances);
  ModelWarnings warnings;
  FitScratch scratch;
  // The sums over every column, and without a trio child's two (20, 21), whom every model
  // then leaves out.
  for (const std::vector<int>& child : {std::vector<int>{}, std::vector<int>{20, 21}}) {
    RunWeightedMoments moments;
    moments.build(M, patterns, 2 * N, child);
    for (int column = 0; column < (child.empty() ? 2 * N : 20); ++column) {
      // Every third haplotype leaves out a relative's two columns (run length 0).
      std::vector<int> excluded = child;
      if (column % 3 == 0) {
        excluded.insert(excluded.end(),
                        {(column + 4) % (2 * N) & ~1, ((column + 4) % (2 * N)) | 1});
      }
      HaplotypeModel direct;
      direct.lambda = 0.06;
      ASSERT_TRUE(select_haplotypes(distances[column], excluded, 2 * N - 2, direct));
      HaplotypeModel from_runs = direct;
      fit_haplotype_model(M, patterns, column, 0.2, direct, warnings, scratch);
      ASSERT_TRUE(fit_haplotype_model_from_runs(M, patterns, moments, column, distances[column],
                                                0.2, from_runs, warnings, scratch));
      for (std::size_t r = 0; r < direct.mean.size(); ++r) {
        EXPECT_NEAR(from_runs.mean[r], direct.mean[r], 1e-13);
      }
      EXPECT_LT(
          (dense_inverse(from_runs.inverse) - dense_inverse(direct.inverse)).cwiseAbs().maxCoeff(),
          1e-8);
      for (std::size_t r = 0; r < direct.conditioning.size(); ++r) {
        EXPECT_NEAR(from_runs.conditioning[r], direct.conditioning[r], 1e-9);
      }
    }
    if (child.empty()) continue;
    // A model that does select the left-out columns is not what the sums hold.
    HaplotypeModel with_child;
    with_child.lambda = 0.06;
    ASSERT_TRUE(select_haplotypes(distances[0], {}, 2 * N - 2, with_child));
    EXPECT_FALSE(fit_haplotype_model_from_runs(M, patterns, moments, 0, distances[0], 0.2,
                                               with_child, warnings, scratch));
  }
  RunWeightedMoments moments;
  moments.build(M, patterns, 2 * N);
  // A selection that leaves out more than the own two columns is not a whole reference set.
  HaplotypeModel partial;
  partial.lambda = 0.06;
  ASSERT_TRUE(select_haplotypes(distances[0], {}, 2 * N - 4, partial));
  EXPECT_FALSE(fit_haplotype_model_from_runs(M, patterns, moments, 0, distances[0], 0.2, partial,
                                             warnings, scratch));
}
