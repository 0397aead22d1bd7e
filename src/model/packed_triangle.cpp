#include "model/packed_triangle.h"

#include <cstdint>
#include <cstring>

#include "model/vector_lanes.h"

using vector_lanes::broadcast;
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

// One 8 x 4 tile of R: out[r] += (c0 u0 + c1 u1) + (c2 u2 + c3 u3) for its eight rows, the
// products and the block's sum in R's precision; s0..s3 hold u0..u3 in every lane.
[[gnu::always_inline]] inline void add_tile(const float* p, Wide s0, Wide s1, Wide s2, Wide s3,
                                            double* out) {
  wide_add(out, (wide_load(p) * s0 + wide_load(p + 8) * s1) +
                    (wide_load(p + 16) * s2 + wide_load(p + 24) * s3));
}

[[gnu::always_inline]] inline void add_tile(const double* p, Lanes s0, Lanes s1, Lanes s2, Lanes s3,
                                            double* out) {
  for (int half = 0; half < 8; half += 4) {
    const double* q = p + half;
    const Lanes sum = (load(q) * s0 + load(q + 8) * s1) + (load(q + 16) * s2 + load(q + 24) * s3);
    store(out + half, load(out + half) + sum);
  }
}

template <typename Entry>
[[gnu::always_inline]] inline void lower_times(const Entry* packed, int n, const double* u,
                                               double* z) {
  for (int i = 0; i < n; ++i) z[i] = 0.0;
  const Entry* p = packed;
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    const Entry u0 = static_cast<Entry>(u[j]), u1 = static_cast<Entry>(u[j + 1]);
    const Entry u2 = static_cast<Entry>(u[j + 2]), u3 = static_cast<Entry>(u[j + 3]);
    const int length = n - j - 3;
    if (u0 == 0 && u1 == 0 && u2 == 0 && u3 == 0) {
      // Nothing to add: a 0/1 window skips its blocks of zeros.
      p += 6 + 4 * length;
      continue;
    }
    z[j] += p[0] * u0;
    z[j + 1] += p[1] * u0 + p[2] * u1;
    z[j + 2] += (p[3] * u0 + p[4] * u1) + p[5] * u2;
    p += 6;
    double* out = z + j + 3;
    const auto s0 = splat(u0), s1 = splat(u1), s2 = splat(u2), s3 = splat(u3);
    int i = 0;
    for (; i + 8 <= length; i += 8, p += 32) add_tile(p, s0, s1, s2, s3, out + i);
    for (; i < length; ++i, p += 4) {
      out[i] += (p[0] * u0 + p[1] * u1) + (p[2] * u2 + p[3] * u3);
    }
  }
  for (; j < n; ++j) {
    const Entry uj = static_cast<Entry>(u[j]);
    for (int i = j; i < n; ++i) z[i] += *p++ * uj;
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
  for (; i + 4 <= n; i += 4) store(z + i, load(z + i) + factor * load(a + i));
  for (; i < n; ++i) z[i] += step * a[i];
}

namespace {

[[gnu::always_inline]] inline Lanes widen(const double* p) { return load(p); }
[[gnu::always_inline]] inline Lanes widen(const std::int32_t* p) {
  return Lanes{static_cast<double>(p[0]), static_cast<double>(p[1]), static_cast<double>(p[2]),
               static_cast<double>(p[3])};
}

template <typename Sum>
[[gnu::always_inline]] inline void covariance_entries(const Sum* sums, const double* means,
                                                      double total, double mean, double correction,
                                                      double* out, int n) {
  const Lanes total_lanes = broadcast(total), mean_lanes = broadcast(mean);
  const Lanes correction_lanes = broadcast(correction);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    store(out + i,
          (widen(sums + i) / total_lanes - load(means + i) * mean_lanes) / correction_lanes);
  }
  for (; i < n; ++i) out[i] = (static_cast<double>(sums[i]) / total - means[i] * mean) / correction;
}

}  // namespace

DORSANE_VECTOR_CLONES
void covariance_from_sums(const double* sums, const double* means, double total, double mean,
                          double correction, double* out, int n) {
  covariance_entries(sums, means, total, mean, correction, out, n);
}

DORSANE_VECTOR_CLONES
void covariance_from_sums(const std::int32_t* sums, const double* means, double total, double mean,
                          double correction, double* out, int n) {
  covariance_entries(sums, means, total, mean, correction, out, n);
}

DORSANE_VECTOR_CLONES
double lane_dot(const double* a, const double* b, int n) {
  Lanes sum = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
  for (; i + 4 <= n; i += 4) sum += load(a + i) * load(b + i);
  double tail[4] = {0.0, 0.0, 0.0, 0.0};
  for (int lane = 0; i < n; ++i, ++lane) tail[lane] = a[i] * b[i];
  sum += load(tail);
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}
