#include "model/packed_triangle.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "model/vector_lanes.h"

using vector_lanes::broadcast;
using vector_lanes::fma;
using vector_lanes::IntLanes;
using vector_lanes::Lanes;
using vector_lanes::load;
using vector_lanes::store;
using vector_lanes::Wide;
using vector_lanes::wide_add;
using vector_lanes::wide_broadcast;
using vector_lanes::wide_load;

namespace {

template <typename Entry>
void pack_tiles(const double* lower, int n, Entry* packed) {
  auto at = [lower, n](int i, int j) {
    return static_cast<Entry>(lower[static_cast<std::size_t>(j) * n + i]);
  };
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    for (int i = 0; i < 3; ++i) {
      for (int t = 0; t <= i; ++t) *packed++ = at(j + i, j + t);
    }
    int i = j + 3;
    for (; i + 8 <= n; i += 8) {
      for (int t = 0; t < 4; ++t) {
        for (int r = 0; r < 8; ++r) *packed++ = at(i + r, j + t);
      }
    }
    for (; i < n; ++i) {
      for (int t = 0; t < 4; ++t) *packed++ = at(i, j + t);
    }
  }
  for (; j < n; ++j) {
    for (int i = j; i < n; ++i) *packed++ = at(i, j);
  }
}

}  // namespace

void pack_lower_tiles(const double* lower, int n, float* packed) { pack_tiles(lower, n, packed); }

void pack_lower_tiles(const double* lower, int n, double* packed) { pack_tiles(lower, n, packed); }

namespace {

// u_j in every lane of the vector type of R's precision.
[[gnu::always_inline]] inline Wide splat(float x) { return wide_broadcast(x); }
[[gnu::always_inline]] inline Lanes splat(double x) { return broadcast(x); }

// One 8 x 4 tile of R for its eight rows, s0..s3 holding u0..u3 in every lane. In single
// precision the block's sum c0 u0 + c1 u1 + c2 u2 + c3 u3 is taken in floats, one product and
// three fused multiply-adds in that order, then added to out in double; in double precision
// the four fused multiply-adds go straight into out.
[[gnu::always_inline]] inline void add_tile(const float* p, Wide s0, Wide s1, Wide s2, Wide s3,
                                            double* out) {
  wide_add(out, fma(wide_load(p + 24), s3,
                    fma(wide_load(p + 16), s2, fma(wide_load(p + 8), s1, wide_load(p) * s0))));
}

[[gnu::always_inline]] inline void add_tile(const double* p, Lanes s0, Lanes s1, Lanes s2, Lanes s3,
                                            double* out) {
  for (int half = 0; half < 8; half += 4) {
    const double* q = p + half;
    const Lanes sum = fma(load(q), s0, load(out + half));
    store(out + half, fma(load(q + 24), s3, fma(load(q + 16), s2, fma(load(q + 8), s1, sum))));
  }
}

// The same for one row of a block of `count` (1 to 4) columns.
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

template <typename Entry>
[[gnu::always_inline]] inline void lower_times(const Entry* packed, int n, const double* u,
                                               double* z) {
  for (int i = 0; i < n; ++i) z[i] = 0.0;
  const Entry* p = packed;
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    const Entry block[4] = {static_cast<Entry>(u[j]), static_cast<Entry>(u[j + 1]),
                            static_cast<Entry>(u[j + 2]), static_cast<Entry>(u[j + 3])};
    const int length = n - j - 3;
    if (block[0] == 0 && block[1] == 0 && block[2] == 0 && block[3] == 0) {
      // Nothing to add: a 0/1 window skips its blocks of zeros.
      p += 6 + 4 * length;
      continue;
    }
    // The block's small triangle: row j + t takes its first t + 1 columns.
    add_row(p, block, 1, z + j);
    add_row(p + 1, block, 2, z + j + 1);
    add_row(p + 3, block, 3, z + j + 2);
    p += 6;
    double* out = z + j + 3;
    const auto s0 = splat(block[0]), s1 = splat(block[1]), s2 = splat(block[2]),
               s3 = splat(block[3]);
    int i = 0;
    for (; i + 8 <= length; i += 8, p += 32) add_tile(p, s0, s1, s2, s3, out + i);
    for (; i < length; ++i, p += 4) add_row(p, block, 4, out + i);
  }
  for (; j < n; ++j) {
    const Entry uj = static_cast<Entry>(u[j]);
    for (int i = j; i < n; ++i) add_row(p++, &uj, 1, z + i);
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
