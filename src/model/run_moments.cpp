#include "model/run_moments.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "model/model_window.h"
#include "model/packed_triangle.h"

namespace {

constexpr int kCoreRun = kSharedRunCore;
constexpr int kShortRunWeight = kShortSharedRun;

// Adds count * x x' (lower triangle packed by columns) and count * x to the sums.
void add_outer(const double* x, int rows, std::int32_t count, std::int32_t* second,
               std::int64_t* first) {
  std::int32_t* out = second;
  for (int j = 0; j < rows; ++j) {
    const int length = rows - j;
    if (x[j] != 0.0) {
      first[j] += count;
      for (int i = 0; i < length; ++i) out[i] += x[j + i] != 0.0 ? count : 0;
    }
    out += length;
  }
}

}  // namespace

const std::int32_t* RunWeightedMoments::second(int pattern) const {
  return second_.data() + static_cast<std::size_t>(pattern) * triangle_;
}

const std::int64_t* RunWeightedMoments::first(int pattern) const {
  return first_.data() + static_cast<std::size_t>(pattern) * static_cast<std::size_t>(rows_);
}

void RunWeightedMoments::build(const WindowMatrix& M, const WindowPatterns& patterns, int columns) {
  rows_ = static_cast<int>(M.rows()) - 1;
  triangle_ = packed_triangle_size(rows_);
  const int P = patterns.count();
  const std::size_t T = static_cast<std::size_t>(rows_);
  counts_.assign(static_cast<std::size_t>(P), 0);
  for (int c = 0; c < columns; ++c) ++counts_[static_cast<std::size_t>(patterns.of_column[c])];

  // Every column weighs at least the short-run weight.
  if (static_cast<std::int64_t>(columns) * (rows_ + kShortRunWeight) >= (std::int64_t{1} << 30)) {
    throw std::length_error("RunWeightedMoments: window too large for 32-bit sums");
  }
  std::vector<std::int32_t> all_second(triangle_, 0);
  std::vector<std::int64_t> all_first(T, 0);
  for (int p = 0; p < P; ++p) {
    add_outer(patterns.values.col(p).data(), rows_, static_cast<std::int32_t>(counts_[p]),
              all_second.data(), all_first.data());
  }
  second_.resize(static_cast<std::size_t>(P) * triangle_);
  first_.resize(static_cast<std::size_t>(P) * T);
  totals_.assign(static_cast<std::size_t>(P), kShortRunWeight * static_cast<std::int64_t>(columns));
  for (int p = 0; p < P; ++p) {
    std::int32_t* s = second_.data() + static_cast<std::size_t>(p) * triangle_;
    std::int64_t* f = first_.data() + static_cast<std::size_t>(p) * T;
    for (std::size_t e = 0; e < triangle_; ++e) s[e] = kShortRunWeight * all_second[e];
    for (std::size_t r = 0; r < T; ++r) f[r] = kShortRunWeight * all_first[r];
  }

  const int middle = rows_ / 2;
  const int left_rows = middle;
  const int right_rows = rows_ - middle;
  if (left_rows < kCoreRun || right_rows < kCoreRun) return;
  // Patterns that share the core (3 sites each side) add (left - 2) + (right - 2): the
  // left run counts the groups agreeing on the core and on 3, 4, ... sites to the left.
  std::vector<int> left_key;
  for (int i = 0; i < kCoreRun; ++i) left_key.push_back(middle + i);
  for (int i = 1; i <= left_rows; ++i) left_key.push_back(middle - i);
  add_nested_groups(patterns, left_key, 2 * kCoreRun);
  std::vector<int> right_key;
  for (int i = 1; i <= kCoreRun; ++i) right_key.push_back(middle - i);
  for (int i = 0; i < right_rows; ++i) right_key.push_back(middle + i);
  add_nested_groups(patterns, right_key, 2 * kCoreRun);
}

void RunWeightedMoments::add_nested_groups(const WindowPatterns& patterns,
                                           const std::vector<int>& key_rows, int first_depth) {
  const int P = patterns.count();
  const std::size_t T = static_cast<std::size_t>(rows_);
  const int depth = static_cast<int>(key_rows.size());
  auto value = [&](int p, int d) { return patterns.values(key_rows[d], p); };
  std::vector<int> order(static_cast<std::size_t>(P));
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    for (int d = 0; d < depth; ++d) {
      if (value(a, d) != value(b, d)) return value(a, d) < value(b, d);
    }
    return a < b;
  });
  // common[k]: sites shared by the key prefixes of sorted patterns k - 1 and k.
  std::vector<int> common(static_cast<std::size_t>(P) + 1, 0);
  for (int k = 1; k < P; ++k) {
    int d = 0;
    while (d < depth && value(order[k - 1], d) == value(order[k], d)) ++d;
    common[k] = d;
  }
  prefix_second_.assign(static_cast<std::size_t>(P + 1) * triangle_, 0);
  prefix_first_.assign(static_cast<std::size_t>(P + 1) * T, 0);
  prefix_count_.assign(static_cast<std::size_t>(P) + 1, 0);
  for (int k = 0; k < P; ++k) {
    const int p = order[k];
    std::int32_t* s = prefix_second_.data() + static_cast<std::size_t>(k + 1) * triangle_;
    std::int64_t* f = prefix_first_.data() + static_cast<std::size_t>(k + 1) * T;
    std::copy_n(s - triangle_, triangle_, s);
    std::copy_n(f - T, T, f);
    add_outer(patterns.values.col(p).data(), rows_, static_cast<std::int32_t>(counts_[p]), s, f);
    prefix_count_[k + 1] = prefix_count_[k] + counts_[p];
  }
  // For each pattern, walk from the deepest group outwards; a group that stays the same
  // over several depths counts that many times.
  for (int k = 0; k < P; ++k) {
    const int p = order[k];
    std::int32_t* s = second_.data() + static_cast<std::size_t>(p) * triangle_;
    std::int64_t* f = first_.data() + static_cast<std::size_t>(p) * T;
    int lo = k;
    int hi = k + 1;
    int d = depth;
    while (d >= first_depth) {
      while (lo > 0 && common[lo] >= d) --lo;
      while (hi < P && common[hi] >= d) ++hi;
      // The group [lo, hi) holds for every depth down to the deepest break around it.
      int next = first_depth - 1;
      if (lo > 0) next = std::max(next, common[lo]);
      if (hi < P) next = std::max(next, common[hi]);
      const std::int32_t times = d - next;
      const std::int32_t* upper_s = prefix_second_.data() + static_cast<std::size_t>(hi) * triangle_;
      const std::int32_t* lower_s = prefix_second_.data() + static_cast<std::size_t>(lo) * triangle_;
      for (std::size_t e = 0; e < triangle_; ++e) s[e] += times * (upper_s[e] - lower_s[e]);
      const std::int64_t* upper_f = prefix_first_.data() + static_cast<std::size_t>(hi) * T;
      const std::int64_t* lower_f = prefix_first_.data() + static_cast<std::size_t>(lo) * T;
      for (std::size_t r = 0; r < T; ++r) f[r] += times * (upper_f[r] - lower_f[r]);
      totals_[static_cast<std::size_t>(p)] += times * (prefix_count_[hi] - prefix_count_[lo]);
      d = next;
    }
  }
}
