#include <gtest/gtest.h>

#include <random>

#include "model/longest_runs.h"
#include "model/model_window.h"

namespace {

// Scaffold sites 100, 200, ..., 1000 of one sample; at site i its two haplotypes carry
// bits 0 and 1 of i.
struct Scaffold {
  std::vector<std::uint64_t> positions;
  SiteRows haplotypes{2};
  Scaffold() {
    for (std::uint8_t i = 1; i <= 10; ++i) {
      positions.push_back(100u * i);
      haplotypes.append(100u * i,
                        {static_cast<std::uint8_t>(i & 1), static_cast<std::uint8_t>(i >> 1 & 1)});
    }
  }
};

std::vector<std::uint64_t> window_for(const Scaffold& s, std::uint64_t p, int span,
                                      WindowMatrix* out = nullptr) {
  WindowMatrix M = WindowMatrix::Constant(5, 2, 9.0);
  std::vector<std::uint64_t> window;
  construct_window(s.haplotypes, find_bracket(s.positions, p), 2, p, span, 1, PanelView{}, false, M,
                   window);
  if (out != nullptr) *out = M;
  return window;
}

WindowMatrix from_rows(const std::vector<std::vector<double>>& rows) {
  WindowMatrix M(rows.size(), rows.front().size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[r].size(); ++c) M(r, c) = rows[r][c];
  }
  return M;
}

}  // namespace

TEST(Bracket, IndexOfFirstSiteToTheRight) {
  const Scaffold s;
  EXPECT_EQ(find_bracket(s.positions, 450), 4);
  EXPECT_EQ(find_bracket(s.positions, 500), 5);    // at a site: the next index
  EXPECT_EQ(find_bracket(s.positions, 50), 0);     // before the first site
  EXPECT_EQ(find_bracket(s.positions, 1000), 10);  // at or after the last site: its own
  EXPECT_EQ(find_bracket(s.positions, 5000), 10);
}

TEST(Bracket, KeyChangesWithTheSitesAVariantCovers) {
  // Sites 100..1000, f = 2: a SNP and a deletion in one bracket need different windows
  // only when the deletion covers a candidate site.
  const Scaffold s;
  const WindowKey snp = window_key(s.positions, 450, 2, 0, false);
  EXPECT_EQ(snp, window_key(s.positions, 480, 2, 10, false));             // covers no site
  const WindowKey deletion = window_key(s.positions, 450, 2, 60, false);  // covers 500
  EXPECT_NE(snp, deletion);
  EXPECT_EQ(deletion.dropped_end - deletion.dropped_begin, 1);
  EXPECT_NE(snp, window_key(s.positions, 450, 2, 0, true));
  EXPECT_NE(snp, window_key(s.positions, 550, 2, 0, false));
}

TEST(Window, ClampsAtBothEndsAndDropsCoveredSites) {
  const Scaffold s;
  EXPECT_EQ(window_for(s, 450, 0), (std::vector<std::uint64_t>{300, 400, 500, 600, 450}));
  EXPECT_EQ(window_for(s, 150, 0), (std::vector<std::uint64_t>{100, 200, 300, 400, 150}));
  EXPECT_EQ(window_for(s, 250, 0), (std::vector<std::uint64_t>{100, 200, 300, 400, 250}));
  EXPECT_EQ(window_for(s, 950, 0), (std::vector<std::uint64_t>{700, 800, 900, 1000, 950}));
  EXPECT_EQ(window_for(s, 50, 0), (std::vector<std::uint64_t>{100, 200, 300, 400, 50}));
  // After the last site: the last four sites, not the first four.
  EXPECT_EQ(window_for(s, 1200, 0), (std::vector<std::uint64_t>{700, 800, 900, 1000, 1200}));

  WindowMatrix M;
  EXPECT_EQ(window_for(s, 500, 0, &M), (std::vector<std::uint64_t>{400, 600, 700, 500}));
  EXPECT_EQ(M.row(0), Eigen::RowVector2d(0, 0));  // site 4
  EXPECT_EQ(M.row(1), Eigen::RowVector2d(0, 1));  // site 6
  EXPECT_EQ(M.row(2), Eigen::RowVector2d(1, 1));  // site 7
  EXPECT_EQ(M.row(3), Eigen::RowVector2d(0, 0));  // the dropped site leaves a zero row
  EXPECT_EQ(M.row(4),
            Eigen::RowVector2d(0, 0));  // the variant row is cleared for the initial genotypes

  // A deletion at 480 of length 30 covers 500.
  EXPECT_EQ(window_for(s, 480, 29), (std::vector<std::uint64_t>{300, 400, 600, 480}));
}

TEST(Window, PanelColumnsAtWindowSitesAndVariant) {
  const Scaffold s;
  std::map<std::uint64_t, std::vector<std::uint8_t>> panel = {
      {300, {1, 0, 1}}, {500, {0, 1, 1}}, {600, {1, 1, 0}}, {450, {1, 1, 1}}};
  PanelView view{3, &panel};
  WindowMatrix M(5, 5);
  std::vector<std::uint64_t> window;
  construct_window(s.haplotypes, 4, 2, 450, 0, 1, view, true, M, window);
  EXPECT_EQ(M.row(0).tail(3), Eigen::RowVector3d(1, 0, 1));
  EXPECT_EQ(M.row(1).tail(3), Eigen::RowVector3d(0, 0, 0));  // 400 is not in the panel
  EXPECT_EQ(M.row(2).tail(3), Eigen::RowVector3d(0, 1, 1));
  EXPECT_EQ(M.row(4).tail(3), Eigen::RowVector3d(1, 1, 1));
  EXPECT_EQ(M.row(0).head(2), Eigen::RowVector2d(1, 1));  // site 3
}

TEST(DistanceMatrix, RunLengthsAroundTheMiddle) {
  // f = 4: rows 0..3 left of the middle, rows 4..7 right, row 8 the variant.
  const WindowMatrix M = from_rows({
      {0, 0, 0, 0, 1, 0},
      {1, 1, 1, 1, 1, 1},
      {0, 0, 0, 0, 0, 0},
      {1, 1, 1, 0, 1, 1},
      {0, 0, 0, 0, 1, 0},
      {1, 1, 1, 1, 1, 1},
      {0, 0, 1, 0, 0, 0},
      {1, 1, 1, 1, 1, 1},
      {1, 0, 1, 0, 1, 0},  // the variant row never counts
  });
  std::vector<std::vector<int>> d;
  distance_matrix(M, 4, 6, d);
  EXPECT_EQ(d[0][2], 4);  // right run 2 (differs at row 6): scored 4
  EXPECT_EQ(d[0][5], 8);  // identical over the whole window: 2f
  EXPECT_EQ(d[2][0], 4);  // symmetric
  EXPECT_EQ(d[0][3], 4);  // differs at row m - 1
  EXPECT_EQ(d[0][4], 4);  // differs at row m
  EXPECT_EQ(d[0][0], -1);
  EXPECT_EQ(d[0][1], -1);  // a sample's own haplotypes
  EXPECT_EQ(d[3][2], -1);
  EXPECT_EQ(d[2][5], 4);
  EXPECT_EQ(d.size(), 4u);
  EXPECT_EQ(d[0].size(), 6u);
}

// Windows wider than a 64-bit word on each side, with runs that end anywhere: the matrix
// (bits for a 0/1 window) against the run length of the columns themselves.
TEST(DistanceMatrix, EveryEntryIsTheSharedRunOfItsColumns) {
  std::mt19937 engine(5);
  for (const int rows : {8, 130, 300}) {
    WindowMatrix M = WindowMatrix::Zero(rows, 12);
    std::uniform_int_distribution<int> row(0, rows - 2);
    for (int c = 1; c < 12; ++c) {
      M.col(c) = M.col(c - 1);
      const int changed = row(engine);  // one row, anywhere
      M(changed, c) = 1.0 - M(changed, c);
    }
    for (const bool binary : {true, false}) {
      if (!binary) M(0, 11) = 0.5;  // a value bits cannot hold
      std::vector<std::vector<int>> d;
      distance_matrix(M, 8, 12, d);
      for (int k = 0; k < 8; ++k) {
        for (int l = 0; l < 12; ++l) {
          if (l / 2 == k / 2) continue;  // a sample's own pair is -1
          ASSERT_EQ(d[k][l], shared_run_length(M, k, l)) << rows << " " << k << " " << l;
        }
      }
    }
  }
}

namespace {

// A window of a few patterns, each a copy of an earlier one with rows changed near the
// middle, so runs end anywhere and many columns tie.
WindowMatrix tied_window(int window_rows, int columns, std::mt19937& engine) {
  std::vector<std::vector<double>> patterns(1, std::vector<double>(window_rows + 1));
  std::bernoulli_distribution allele(0.5);
  for (double& x : patterns[0]) x = allele(engine);
  std::geometric_distribution<int> offset(4.0 / window_rows);
  for (int p = 1; p < 6; ++p) {
    patterns.push_back(patterns[std::uniform_int_distribution<int>(0, p - 1)(engine)]);
    for (int change = 0; change < 2; ++change) {
      const int o = std::min(offset(engine), window_rows / 2 - 1);
      const int row = allele(engine) ? window_rows / 2 + o : window_rows / 2 - 1 - o;
      patterns.back()[row] = 1.0 - patterns.back()[row];
    }
  }
  WindowMatrix M(window_rows + 1, columns);
  std::uniform_int_distribution<int> pick(0, 5);
  for (int c = 0; c < columns; ++c) {
    M.col(c) = Eigen::Map<const Eigen::VectorXd>(patterns[pick(engine)].data(), window_rows + 1);
  }
  return M;
}

}  // namespace

// The walks over the sorted sides give what the whole row gives, field for field, with
// panels, relatives excluded (a few, or so many that they must fill the selection), any k.
TEST(LongestRuns, SelectsWhatTheWholeRowSelects) {
  std::mt19937 engine(17);
  LongestRunsScratch scratch;
  for (const int window_rows : {8, 60, 100, 101, 128}) {
    for (const int columns : {40, 64}) {
      const WindowMatrix M = tied_window(window_rows, columns, engine);
      SharedRuns runs;
      runs.build(M, 40, columns);
      LongestRuns longest;
      longest.build(M, 40, columns);
      ASSERT_TRUE(longest.ready());
      for (const int excluded_count : {0, 3, columns * 3}) {
        std::vector<int> excluded;
        std::uniform_int_distribution<int> column(0, columns - 1);
        for (int e = 0; e < excluded_count; ++e) excluded.push_back(column(engine));
        for (const int k : {1, 2, 3, columns / 8, columns / 4, columns / 2, columns - 2}) {
          for (int h = 0; h < 40; ++h) {
            std::vector<int> row;
            runs.row(h, row);
            HaplotypeModel expected, got;
            const bool usable = select_haplotypes(row, excluded, k, expected);
            ASSERT_EQ(longest.select(h, excluded, k, got, scratch), usable);
            const std::string where = std::to_string(window_rows) + " " + std::to_string(columns) +
                                      " " + std::to_string(k) + " " +
                                      std::to_string(excluded_count) + " " + std::to_string(h);
            ASSERT_EQ(got.selected, expected.selected) << where;
            ASSERT_EQ(got.lengths, expected.lengths) << where;
            ASSERT_EQ(got.weights, expected.weights) << where;
            ASSERT_EQ(got.length_sum, expected.length_sum) << where;
            ASSERT_EQ(got.v2, expected.v2) << where;
          }
        }
      }
    }
  }
  // A side beyond one word, or a value bits cannot hold, leaves the row path.
  LongestRuns longest;
  longest.build(tied_window(130, 40, engine), 40, 40);
  EXPECT_FALSE(longest.ready());
  WindowMatrix M = tied_window(60, 40, engine);
  M(3, 7) = 0.5;
  longest.build(M, 40, 40);
  EXPECT_FALSE(longest.ready());
}
