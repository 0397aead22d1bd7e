#include "model/run_moments.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "model/model_window.h"
#include "model/packed_triangle.h"
#include "model/vector_lanes.h"

namespace {

// Adds count * x x' (lower triangle packed by columns) and count * x to the sums.
template <typename Second, typename First>
void add_outer(const double* x, int rows, int count, Second* second, First* first) {
  Second* out = second;
  for (int j = 0; j < rows; ++j) {
    const int length = rows - j;
    if (x[j] != 0.0) {
      first[j] += count;
      for (int i = 0; i < length; ++i) out[i] += x[j + i] != 0.0 ? count : 0;
    }
    out += length;
  }
}

// Sixteen counts and sums: one AVX-512 register of sums, two AVX2 or four SSE2 ones.
typedef std::uint16_t Counts __attribute__((vector_size(16 * sizeof(std::uint16_t))));
typedef std::int32_t Sums __attribute__((vector_size(16 * sizeof(std::int32_t))));

// out += times * (upper - lower), sixteen entries a step; whole numbers, so exact in any
// order and with any vector width.
DORSANE_VECTOR_CLONES
void add_scaled_difference(const std::uint16_t* upper, const std::uint16_t* lower,
                           std::int32_t times, std::size_t count, std::int32_t* out) {
  std::size_t e = 0;
  const Sums factor = Sums{} + times;
  for (; e + 16 <= count; e += 16) {
    Counts a;
    Counts b;
    Sums sum;
    std::memcpy(&a, upper + e, sizeof a);
    std::memcpy(&b, lower + e, sizeof b);
    std::memcpy(&sum, out + e, sizeof sum);
    // Prefix counts only grow, so the difference is a count too and fits 16 bits.
    sum += factor * __builtin_convertvector(a - b, Sums);
    std::memcpy(out + e, &sum, sizeof sum);
  }
  for (; e < count; ++e) out[e] += times * (std::int32_t{upper[e]} - std::int32_t{lower[e]});
}

template <typename T>
void free_vector(std::vector<T>& v) {
  v.clear();
  v.shrink_to_fit();
}

}  // namespace

void RunWeightedMoments::release() {
  for (Order* order : {&left_, &right_}) {
    free_vector(order->prefix_second);
    free_vector(order->prefix_first);
  }
}

void RunWeightedMoments::build(const WindowMatrix& M, const WindowPatterns& patterns, int columns,
                               const std::vector<int>& left_out) {
  if (!supports(columns, static_cast<int>(M.rows()) - 1)) {
    throw std::length_error("RunWeightedMoments: too many columns for the sums");
  }
  rows_ = static_cast<int>(M.rows()) - 1;
  triangle_ = packed_triangle_size(rows_);
  counted_.assign(static_cast<std::size_t>(columns), 1);
  for (const int c : left_out) {
    if (c >= 0 && c < columns) counted_[static_cast<std::size_t>(c)] = 0;
  }
  const int P = patterns.count();
  counts_.assign(static_cast<std::size_t>(P), 0);
  columns_ = 0;
  for (int c = 0; c < columns; ++c) {
    if (!counted_[static_cast<std::size_t>(c)]) continue;
    ++counts_[static_cast<std::size_t>(patterns.of_column[c])];
    ++columns_;
  }
  // Every column weighs at least the short-run weight.
  all_second_.assign(triangle_, 0);
  all_first_.assign(static_cast<std::size_t>(rows_), 0);
  for (int p = 0; p < P; ++p) {
    add_outer(patterns.values.col(p).data(), rows_, counts_[p], all_second_.data(),
              all_first_.data());
  }
  // Windows that share the core (kSharedRunCore sites each side of the middle) add
  // (left - 2) + (right - 2): the left run counts the groups agreeing on the core and on
  // 3, 4, ... sites to the left, and likewise the right run.
  const int middle = rows_ / 2;
  has_core_ = middle >= kSharedRunCore && rows_ - middle >= kSharedRunCore;
  if (!has_core_) return;
  std::vector<int> key;
  for (int i = 0; i < kSharedRunCore; ++i) key.push_back(middle + i);
  for (int i = 1; i <= middle; ++i) key.push_back(middle - i);
  build_order(patterns, key, left_);
  key.clear();
  for (int i = 1; i <= kSharedRunCore; ++i) key.push_back(middle - i);
  for (int i = 0; i < rows_ - middle; ++i) key.push_back(middle + i);
  build_order(patterns, key, right_);
}

void RunWeightedMoments::build_order(const WindowPatterns& patterns,
                                     const std::vector<int>& key_rows, Order& order) {
  const int P = patterns.count();
  const std::size_t T = static_cast<std::size_t>(rows_);
  order.depth = static_cast<int>(key_rows.size());
  auto value = [&](int p, int d) { return patterns.values(key_rows[d], p); };
  std::vector<int> sorted(static_cast<std::size_t>(P));
  std::iota(sorted.begin(), sorted.end(), 0);
  std::sort(sorted.begin(), sorted.end(), [&](int a, int b) {
    for (int d = 0; d < order.depth; ++d) {
      if (value(a, d) != value(b, d)) return value(a, d) < value(b, d);
    }
    return a < b;
  });
  order.position.assign(static_cast<std::size_t>(P), 0);
  order.common.assign(static_cast<std::size_t>(P) + 1, 0);
  for (int k = 0; k < P; ++k) {
    order.position[sorted[k]] = k;
    if (k == 0) continue;
    int d = 0;
    while (d < order.depth && value(sorted[k - 1], d) == value(sorted[k], d)) ++d;
    order.common[k] = d;
  }
  order.prefix_second.assign(static_cast<std::size_t>(P + 1) * triangle_, 0);
  order.prefix_first.assign(static_cast<std::size_t>(P + 1) * T, 0);
  order.prefix_count.assign(static_cast<std::size_t>(P) + 1, 0);
  for (int k = 0; k < P; ++k) {
    const int p = sorted[k];
    std::uint16_t* s = order.prefix_second.data() + static_cast<std::size_t>(k + 1) * triangle_;
    std::int32_t* f = order.prefix_first.data() + static_cast<std::size_t>(k + 1) * T;
    std::copy_n(s - triangle_, triangle_, s);
    std::copy_n(f - T, T, f);
    add_outer(patterns.values.col(p).data(), rows_, counts_[p], s, f);
    order.prefix_count[k + 1] = order.prefix_count[k] + counts_[p];
  }
}

std::int64_t RunWeightedMoments::add_groups(const Order& order, int pattern, std::int32_t* second,
                                            std::int64_t* first) const {
  const int P = static_cast<int>(order.position.size());
  const std::size_t T = static_cast<std::size_t>(rows_);
  const int first_depth = 2 * kSharedRunCore;
  const int k = order.position[static_cast<std::size_t>(pattern)];
  std::int64_t total = 0;
  int lo = k;
  int hi = k + 1;
  int d = order.depth;
  // From the deepest group outwards; a group that stays the same over several depths
  // counts that many times.
  while (d >= first_depth) {
    while (lo > 0 && order.common[lo] >= d) --lo;
    while (hi < P && order.common[hi] >= d) ++hi;
    int next = first_depth - 1;
    if (lo > 0) next = std::max(next, order.common[lo]);
    if (hi < P) next = std::max(next, order.common[hi]);
    const std::int64_t times = d - next;
    const std::uint16_t* upper =
        order.prefix_second.data() + static_cast<std::size_t>(hi) * triangle_;
    const std::uint16_t* lower =
        order.prefix_second.data() + static_cast<std::size_t>(lo) * triangle_;
    add_scaled_difference(upper, lower, static_cast<std::int32_t>(times), triangle_, second);
    const std::int32_t* upper_first = order.prefix_first.data() + static_cast<std::size_t>(hi) * T;
    const std::int32_t* lower_first = order.prefix_first.data() + static_cast<std::size_t>(lo) * T;
    for (std::size_t r = 0; r < T; ++r) first[r] += times * (upper_first[r] - lower_first[r]);
    total += times * (order.prefix_count[hi] - order.prefix_count[lo]);
    d = next;
  }
  return total;
}

std::int64_t RunWeightedMoments::sums(int pattern, std::int32_t* second,
                                      std::int64_t* first) const {
  for (std::size_t e = 0; e < triangle_; ++e) second[e] = kShortSharedRun * all_second_[e];
  for (int r = 0; r < rows_; ++r) first[r] = kShortSharedRun * std::int64_t{all_first_[r]};
  std::int64_t total = kShortSharedRun * std::int64_t{columns_};
  if (has_core_) {
    total += add_groups(left_, pattern, second, first);
    total += add_groups(right_, pattern, second, first);
  }
  return total;
}
