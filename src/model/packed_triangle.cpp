#include "model/packed_triangle.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define DORSANE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define DORSANE_VECTOR_CLONES
#endif

// The vector helpers below are internal and always inlined, so the ABI of passing vectors
// by value between differently compiled objects never arises.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

// Four doubles: two SSE2 registers by default, one AVX register where the clone has it.
// Lane arithmetic is the same either way; products and sums are never fused.
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));

[[gnu::always_inline]] inline Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

DORSANE_VECTOR_CLONES
void packed_lower_times(const double* packed, int n, const double* u, double* z) {
  for (int i = 0; i < n; ++i) z[i] = 0.0;
  const double* column = packed;
  for (int j = 0; j < n; ++j) {
    const int length = n - j;
    const double scale = u[j];
    double* out = z + j;
    if (scale != 0.0) {
      const Lanes s = {scale, scale, scale, scale};
      int i = 0;
      // Eight entries a step: two independent vector updates per iteration.
      for (; i + 8 <= length; i += 8) {
        store(out + i, load(out + i) + load(column + i) * s);
        store(out + i + 4, load(out + i + 4) + load(column + i + 4) * s);
      }
      for (; i + 4 <= length; i += 4) store(out + i, load(out + i) + load(column + i) * s);
      for (; i < length; ++i) out[i] += column[i] * scale;
    }
    column += length;
  }
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
