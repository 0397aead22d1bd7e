#pragma once

// The run-weighted second moments of whole reference sets, for every window pattern at
// once. A haplotype's k-model with every other haplotype selected weighs each column c
// by the shared-run length l(c) around the variant, so its moments are
//   sum_c l(c) x_c x_c'   and   sum_c l(c) x_c   (x_c the window of column c).
// The run length is 4 unless the two windows agree on the 3 sites each side of the
// middle; then it is the left run plus the right run, and each run is a count of
// nested groups of windows agreeing on ever longer stretches. Sorting the patterns by
// their sites outwards from the middle makes each group a range, so the sums for all
// patterns cost a few range sums each instead of one product per model and pattern.
// Everything is counted in whole numbers, exactly (32 bits suffice while the columns
// times the window rows stay below 2^31 / 2; build refuses larger windows).

#include <cstdint>
#include <vector>

#include "model/model.h"
#include "model/model_window.h"

class RunWeightedMoments {
 public:
  // Whether sums over this many columns and window rows fit the 16-bit prefix sums and the
  // 32-bit sums (a run weighs at most the window's rows).
  static bool supports(int columns, int rows) {
    return columns >= 1 && columns <= 65535 &&
           static_cast<std::int64_t>(columns) * (rows + kShortSharedRun) < (std::int64_t{1} << 31);
  }

  // Prepares the sums over the first `columns` columns of M, grouped by `patterns` (built
  // on the same columns), leaving out the columns in `left_out` (those no model selects at
  // their run length, such as trio children's).
  void build(const WindowMatrix& M, const WindowPatterns& patterns, int columns,
             const std::vector<int>& left_out = {});
  // Frees the prefix sums once the window's models are fitted.
  void release();

  int rows() const { return rows_; }
  // Whether the sums hold the column.
  bool counted(int column) const { return counted_[static_cast<std::size_t>(column)] != 0; }
  // The sums of one pattern: second = sum_c l(p, c) x_c x_c' (lower triangle packed by
  // columns, as Inverse_Matrix), first = sum_c l(p, c) x_c; returns sum_c l(p, c).
  std::int64_t sums(int pattern, std::int32_t* second, std::int64_t* first) const;

 private:
  // The patterns sorted by their sites outwards from the middle on one side, with the
  // prefix sums of their columns' x x', x and counts in that order.
  struct Order {
    std::vector<int> position;  // sorted position of each pattern
    std::vector<int> common;    // key sites shared by sorted patterns k - 1 and k
    std::vector<std::uint16_t> prefix_second;
    std::vector<std::int32_t> prefix_first;
    std::vector<std::int32_t> prefix_count;
    int depth = 0;
  };
  void build_order(const WindowPatterns& patterns, const std::vector<int>& key_rows, Order& order);
  // Adds times * (group sums) for every nested group of the pattern in that order.
  std::int64_t add_groups(const Order& order, int pattern, std::int32_t* second,
                          std::int64_t* first) const;

  int rows_ = 0;
  int columns_ = 0;
  bool has_core_ = false;
  std::size_t triangle_ = 0;
  std::vector<std::int32_t> counts_;  // columns per pattern
  std::vector<char> counted_;         // per column, whether the sums hold it
  std::vector<std::int32_t> all_second_;
  std::vector<std::int32_t> all_first_;
  Order left_;
  Order right_;
};
