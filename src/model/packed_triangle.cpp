#include "model/packed_triangle.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "model/vector_lanes.h"

using vector_lanes::broadcast;
using vector_lanes::fma;
using vector_lanes::IntLanes;
using vector_lanes::Lanes;
using vector_lanes::load;
using vector_lanes::Quad;
using vector_lanes::quad_load;
using vector_lanes::store;
using vector_lanes::Wide;
using vector_lanes::wide_load;

namespace {

// R is walked in groups of rows, each z_i summed in registers over every block of four columns
// that reaches row i, so z is written once. The groups start at multiples of four: sixteen rows
// while they fit in the whole blocks, then eight, then four; the last n mod 4 rows stand alone.
// A group's blocks are whole tiles up to its diagonal; each block on its diagonal is the 4 x 4
// triangle on the diagonal and a tile of the rows below. Sixteen rows keep four sums apart, so
// their additions, one per block each, overlap.
struct RowGroup {
  int first;   // its first row
  int height;  // 16, 8 or 4 (rows below the whole blocks stand alone)
};

// The group after `group` (or the first when height is 0); height 0 past the whole blocks.
inline RowGroup next_group(RowGroup group, int n) {
  const int first = group.first + group.height;
  const int rows = n / 4 * 4;
  if (first + 16 <= rows) return {first, 16};
  if (first + 8 <= rows) return {first, 8};
  if (first + 4 <= rows) return {first, 4};
  return {first, 0};
}

// Layout (the order pack_tiles writes and lower_times reads), per group: the blocks before its
// diagonal, one tile each, column-major (column t at t * height); then per block on its
// diagonal, the 4 x 4 triangle column by column (4, 3, 2 and 1 entries) and a tile of the rows
// below it; then each last row alone, four entries per block and its entries in the last
// n mod 4 columns.
template <typename Entry>
void pack_tiles(const double* lower, int n, Entry* packed) {
  auto at = [lower, n](int i, int j) {
    return static_cast<Entry>(lower[static_cast<std::size_t>(j) * n + i]);
  };
  auto tile = [&](int first_row, int end_row, int first_column) {
    for (int t = 0; t < 4; ++t) {
      for (int i = first_row; i < end_row; ++i) *packed++ = at(i, first_column + t);
    }
  };
  RowGroup g = next_group({0, 0}, n);
  for (; g.height > 0; g = next_group(g, n)) {
    const int end = g.first + g.height;
    for (int j = 0; j < g.first; j += 4) tile(g.first, end, j);
    for (int j = g.first; j < end; j += 4) {
      for (int t = 0; t < 4; ++t) {
        for (int i = t; i < 4; ++i) *packed++ = at(j + i, j + t);
      }
      tile(j + 4, end, j);
    }
  }
  for (int i = g.first; i < n; ++i) {
    for (int j = 0; j <= i; ++j) *packed++ = at(i, j);
  }
}

}  // namespace

void pack_lower_tiles(const double* lower, int n, float* packed) { pack_tiles(lower, n, packed); }

void pack_lower_tiles(const double* lower, int n, double* packed) { pack_tiles(lower, n, packed); }

namespace {

// Entry t of a block in every lane: broadcast as whole numbers, since a float broadcast
// compiles to an addition of zero first (it must turn -0 into +0).
[[gnu::always_inline]] inline Wide splat8(const float* u) {
  std::int32_t bits;
  std::memcpy(&bits, u, sizeof bits);
  const IntLanes lanes = IntLanes{} + bits;
  Wide out;
  std::memcpy(&out, &lanes, sizeof out);
  return out;
}

[[gnu::always_inline]] inline Quad splat4(const float* u) {
  const Wide lanes = splat8(u);
  return Quad{lanes[0], lanes[1], lanes[2], lanes[3]};
}

// Eight rows of a tile take one block (column t at p + stride t, u its four entries): in
// single precision the block's sum fma(c3, u3, fma(c2, u2, fma(c1, u1, c0 u0))) in floats,
// then added in double to lo (rows 0-3) and hi (rows 4-7); in double the four fused
// multiply-adds go straight into the sums.
[[gnu::always_inline]] inline void add_tile8(const float* p, int stride, const float* u, Lanes& lo,
                                             Lanes& hi) {
  const Wide sum = fma(wide_load(p + 3 * stride), splat8(u + 3),
                       fma(wide_load(p + 2 * stride), splat8(u + 2),
                           fma(wide_load(p + stride), splat8(u + 1), wide_load(p) * splat8(u))));
  // Lane by lane, which compiles to one conversion per half.
  lo += Lanes{sum[0], sum[1], sum[2], sum[3]};
  hi += Lanes{sum[4], sum[5], sum[6], sum[7]};
}

[[gnu::always_inline]] inline void add_tile8(const double* p, int stride, const double* u,
                                             Lanes& lo, Lanes& hi) {
  for (int t = 0; t < 4; ++t) {
    const Lanes x = broadcast(u[t]);
    lo = fma(load(p + stride * t), x, lo);
    hi = fma(load(p + stride * t + 4), x, hi);
  }
}

// The same for four rows.
[[gnu::always_inline]] inline void add_tile4(const float* p, int stride, const float* u,
                                             Lanes& sums) {
  const Quad sum = fma(quad_load(p + 3 * stride), splat4(u + 3),
                       fma(quad_load(p + 2 * stride), splat4(u + 2),
                           fma(quad_load(p + stride), splat4(u + 1), quad_load(p) * splat4(u))));
  sums += Lanes{sum[0], sum[1], sum[2], sum[3]};
}

[[gnu::always_inline]] inline void add_tile4(const double* p, int stride, const double* u,
                                             Lanes& sums) {
  for (int t = 0; t < 4; ++t) sums = fma(load(p + stride * t), broadcast(u[t]), sums);
}

// The 4 x 4 triangle on the diagonal (column t: rows t..3 at p + 0, 4, 7, 9) into the sums of
// its four rows. Column t is loaded from p + 0, 3, 5, 6, which puts its rows in lanes t..3, and
// the lanes before are cleared: their 0 * u leaves a block sum as it is (but for the sign of a
// zero, which z, never -0, does not keep).
template <typename Vector, typename Whole, typename Entry>
[[gnu::always_inline]] inline Vector lanes_from(const Entry* p, int first_lane) {
  static_assert(sizeof(Whole) == sizeof(Entry), "the lanes' bits as whole numbers");
  typedef Whole Bits __attribute__((vector_size(4 * sizeof(Whole))));
  Bits bits;
  std::memcpy(&bits, p, sizeof bits);
  const Bits lane = {0, 1, 2, 3};
  bits &= lane >= first_lane;
  Vector out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}
[[gnu::always_inline]] inline Quad lanes_from(const float* p, int first_lane) {
  return lanes_from<Quad, std::int32_t>(p, first_lane);
}
[[gnu::always_inline]] inline Lanes lanes_from(const double* p, int first_lane) {
  return lanes_from<Lanes, std::int64_t>(p, first_lane);
}

[[gnu::always_inline]] inline void add_triangle(const float* p, const float* u, Lanes& sums) {
  const Quad sum = fma(lanes_from(p + 6, 3), splat4(u + 3),
                       fma(lanes_from(p + 5, 2), splat4(u + 2),
                           fma(lanes_from(p + 3, 1), splat4(u + 1), quad_load(p) * splat4(u))));
  sums += Lanes{sum[0], sum[1], sum[2], sum[3]};
}

[[gnu::always_inline]] inline void add_triangle(const double* p, const double* u, Lanes& sums) {
  sums = fma(load(p), broadcast(u[0]), sums);
  sums = fma(lanes_from(p + 3, 1), broadcast(u[1]), sums);
  sums = fma(lanes_from(p + 5, 2), broadcast(u[2]), sums);
  sums = fma(lanes_from(p + 6, 3), broadcast(u[3]), sums);
}

// One row of a block of `count` (1 to 4) columns: the same sums entry by entry.
// Unrolled whole: a loop over the few columns costs more than the row's arithmetic.
[[gnu::always_inline]] inline void add_row(const float* p, const float* u, int count, double* out) {
  float sum = p[0] * u[0];
#pragma GCC unroll 4
  for (int t = 1; t < count; ++t) sum = std::fma(p[t], u[t], sum);
  *out += sum;
}

[[gnu::always_inline]] inline void add_row(const double* p, const double* u, int count,
                                           double* out) {
  double sum = *out;
#pragma GCC unroll 4
  for (int t = 0; t < count; ++t) sum = std::fma(p[t], u[t], sum);
  *out = sum;
}

// u in R's precision: rounded to floats for a float R, four at a time.
[[gnu::always_inline]] inline const float* entries_of(const double* u, int n,
                                                      std::vector<float>& buffer) {
  buffer.resize(static_cast<std::size_t>(n));
  float* out = buffer.data();
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    const Lanes x = load(u + j);
    const Quad rounded = {static_cast<float>(x[0]), static_cast<float>(x[1]),
                          static_cast<float>(x[2]), static_cast<float>(x[3])};
    std::memcpy(out + j, &rounded, sizeof rounded);
  }
  for (; j < n; ++j) out[j] = static_cast<float>(u[j]);
  return out;
}
[[gnu::always_inline]] inline const double* entries_of(const double* u, int, std::vector<double>&) {
  return u;
}

// A group's rows, z[first .. first + height), from its tiles at p. A 0/1 window skips its
// blocks of zeros. Returns the packed entries read.
template <typename Entry>
[[gnu::always_inline]] inline const Entry* group_times(const Entry* p, RowGroup g, const Entry* v,
                                                       const char* nonzero, double* z) {
  constexpr int kTriangle = 10;
  const int diagonal = g.first / 4;  // the first block on the group's diagonal
  const Entry* u = v + g.first;      // its entries
  if (g.height == 16) {
    Lanes a{}, b{}, c{}, d{};
    for (int k = 0; k < diagonal; ++k, p += 64) {
      if (!nonzero[k]) continue;
      add_tile8(p, 16, v + 4 * k, a, b);
      add_tile8(p + 8, 16, v + 4 * k, c, d);
    }
    if (nonzero[diagonal]) {
      add_triangle(p, u, a);
      add_tile4(p + kTriangle, 12, u, b);
      add_tile8(p + kTriangle + 4, 12, u, c, d);
    }
    p += kTriangle + 48;
    if (nonzero[diagonal + 1]) {
      add_triangle(p, u + 4, b);
      add_tile8(p + kTriangle, 8, u + 4, c, d);
    }
    p += kTriangle + 32;
    if (nonzero[diagonal + 2]) {
      add_triangle(p, u + 8, c);
      add_tile4(p + kTriangle, 4, u + 8, d);
    }
    p += kTriangle + 16;
    if (nonzero[diagonal + 3]) add_triangle(p, u + 12, d);
    p += kTriangle;
    store(z + g.first, a);
    store(z + g.first + 4, b);
    store(z + g.first + 8, c);
    store(z + g.first + 12, d);
  } else if (g.height == 8) {
    Lanes a{}, b{};
    for (int k = 0; k < diagonal; ++k, p += 32) {
      if (nonzero[k]) add_tile8(p, 8, v + 4 * k, a, b);
    }
    if (nonzero[diagonal]) {
      add_triangle(p, u, a);
      add_tile4(p + kTriangle, 4, u, b);
    }
    p += kTriangle + 16;
    if (nonzero[diagonal + 1]) add_triangle(p, u + 4, b);
    p += kTriangle;
    store(z + g.first, a);
    store(z + g.first + 4, b);
  } else {
    Lanes a{};
    for (int k = 0; k < diagonal; ++k, p += 16) {
      if (nonzero[k]) add_tile4(p, 4, v + 4 * k, a);
    }
    if (nonzero[diagonal]) add_triangle(p, u, a);
    p += kTriangle;
    store(z + g.first, a);
  }
  return p;
}

template <typename Entry>
[[gnu::always_inline]] inline void lower_times(const Entry* packed, int n, const double* u,
                                               double* z) {
  thread_local std::vector<Entry> buffer;
  thread_local std::vector<char> nonzero;
  const Entry* v = entries_of(u, n, buffer);
  const int blocks = n / 4;
  nonzero.resize(static_cast<std::size_t>(blocks));
  for (int k = 0; k < blocks; ++k) {
    nonzero[k] = v[4 * k] != 0 || v[4 * k + 1] != 0 || v[4 * k + 2] != 0 || v[4 * k + 3] != 0;
  }
  const Entry* p = packed;
  RowGroup g = next_group({0, 0}, n);
  for (; g.height > 0; g = next_group(g, n)) p = group_times(p, g, v, nonzero.data(), z);
  // The last n mod 4 rows: every block whole, then the last columns one at a time.
  for (int i = g.first; i < n; ++i) {
    double sum = 0.0;
    for (int k = 0; k < blocks; ++k, p += 4) {
      if (nonzero[k]) add_row(p, v + 4 * k, 4, &sum);
    }
    for (int j = 4 * blocks; j <= i; ++j) add_row(p++, v + j, 1, &sum);
    z[i] = sum;
  }
}

}  // namespace

DORSANE_VECTOR_CLONES
void tiled_lower_times(const float* packed, int n, const double* u, double* z) {
  lower_times(packed, n, u, z);
}

DORSANE_VECTOR_CLONES
void tiled_lower_times(const double* packed, int n, const double* u, double* z) {
  lower_times(packed, n, u, z);
}

long tiled_lower_cost(const double* u, int n) {
  long cost = 0;
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    if (u[j] != 0.0 || u[j + 1] != 0.0 || u[j + 2] != 0.0 || u[j + 3] != 0.0) {
      cost += 4L * (n - j) - 6;
    }
  }
  for (; j < n; ++j) cost += n - j;
  return cost;
}

DORSANE_VECTOR_CLONES
void add_masked(std::int32_t amount, const std::int32_t* mask, std::int32_t* z, int n) {
  const IntLanes amounts = {amount, amount, amount, amount, amount, amount, amount, amount};
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    IntLanes sums, masks;
    std::memcpy(&sums, z + i, sizeof sums);
    std::memcpy(&masks, mask + i, sizeof masks);
    sums += masks & amounts;
    std::memcpy(z + i, &sums, sizeof sums);
  }
  for (; i < n; ++i) z[i] += mask[i] & amount;
}

DORSANE_VECTOR_CLONES
void add_scaled(double step, const double* a, double* z, int n) {
  const Lanes factor = broadcast(step);
  int i = 0;
  for (; i + 4 <= n; i += 4) store(z + i, fma(factor, load(a + i), load(z + i)));
  for (; i < n; ++i) z[i] = std::fma(step, a[i], z[i]);
}

namespace {

[[gnu::always_inline]] inline Lanes widen(const double* p) { return load(p); }
[[gnu::always_inline]] inline Lanes widen(const std::int32_t* p) {
  return Lanes{static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2]),
               static_cast<double>(p[3])};
}

template <typename Sum>
[[gnu::always_inline]] inline void covariance_entries(const Sum* sums, const double* means,
                                                      double inverse_total, double mean,
                                                      double inverse_correction, double* out,
                                                      int n) {
  const Lanes total_lanes = broadcast(inverse_total), mean_lanes = broadcast(mean);
  const Lanes correction_lanes = broadcast(inverse_correction);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const Lanes product = load(means + i) * mean_lanes;
    store(out + i, fma(widen(sums + i), total_lanes, -product) * correction_lanes);
  }
  for (; i < n; ++i) {
    out[i] = std::fma(static_cast<double>(sums[i]), inverse_total, -(means[i] * mean)) *
             inverse_correction;
  }
}

}  // namespace

DORSANE_VECTOR_CLONES
void covariance_from_sums(const double* sums, const double* means, double inverse_total,
                          double mean, double inverse_correction, double* out, int n) {
  covariance_entries(sums, means, inverse_total, mean, inverse_correction, out, n);
}

DORSANE_VECTOR_CLONES
void covariance_from_sums(const std::int32_t* sums, const double* means, double inverse_total,
                          double mean, double inverse_correction, double* out, int n) {
  covariance_entries(sums, means, inverse_total, mean, inverse_correction, out, n);
}

DORSANE_VECTOR_CLONES
double lane_dot(const double* a, const double* b, int n) {
  Lanes sum = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
  for (; i + 4 <= n; i += 4) sum = fma(load(a + i), load(b + i), sum);
  // The last entries in their lanes; 0 * 0 + s is s, so the lanes past the end keep theirs.
  double tail_a[4] = {0.0, 0.0, 0.0, 0.0};
  double tail_b[4] = {0.0, 0.0, 0.0, 0.0};
  for (int lane = 0; i < n; ++i, ++lane) {
    tail_a[lane] = a[i];
    tail_b[lane] = b[i];
  }
  sum = fma(load(tail_a), load(tail_b), sum);
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}
