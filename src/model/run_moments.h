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

class RunWeightedMoments {
 public:
  // Sums over the first `columns` columns of M, grouped by `patterns` (built on the same
  // columns).
  void build(const WindowMatrix& M, const WindowPatterns& patterns, int columns);

  int rows() const { return rows_; }
  // sum_c l(p, c) x_c x_c', lower triangle packed by columns (as Inverse_Matrix).
  const std::int32_t* second(int pattern) const;
  // sum_c l(p, c) x_c.
  const std::int64_t* first(int pattern) const;
  // sum_c l(p, c).
  std::int64_t total(int pattern) const { return totals_[static_cast<std::size_t>(pattern)]; }

 private:
  // Adds, for every pattern, count * (sum over its group) for each nested group of the
  // order `key_rows` (sites in sorting order; groups from depth `first_depth` on).
  void add_nested_groups(const WindowPatterns& patterns, const std::vector<int>& key_rows,
                         int first_depth);

  int rows_ = 0;
  std::size_t triangle_ = 0;
  std::vector<std::int64_t> counts_;    // columns per pattern
  std::vector<std::int32_t> second_;    // per pattern, packed triangle
  std::vector<std::int64_t> first_;     // per pattern, rows_ entries
  std::vector<std::int64_t> totals_;
  // Prefix sums over the sorted patterns (scratch of add_nested_groups).
  std::vector<std::int32_t> prefix_second_;
  std::vector<std::int64_t> prefix_first_;
  std::vector<std::int64_t> prefix_count_;
};
