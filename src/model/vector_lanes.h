#pragma once

// Four-double vectors (and eight-float ones) for the numeric kernels (include from kernel sources
// only). They are two SSE2 registers by default and one AVX register in the clones built for
// processors that have it; lane arithmetic is the same either way and products and sums are never
// fused, so every clone gives the same bits.

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define DORSANE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define DORSANE_VECTOR_CLONES
#endif

// The helpers are internal and always inlined, so passing vectors by value never meets
// another object's ABI.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vector_lanes {

typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));

[[gnu::always_inline]] inline Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline Lanes broadcast(double x) { return Lanes{x, x, x, x}; }

// Eight 32-bit whole numbers, for sums counted exactly.
typedef std::int32_t IntLanes __attribute__((vector_size(8 * sizeof(std::int32_t))));

// Eight floats for the single-precision products; summed into doubles four lanes at a time.
typedef float Wide __attribute__((vector_size(8 * sizeof(float))));
typedef double WideDoubles __attribute__((vector_size(8 * sizeof(double))));

[[gnu::always_inline]] inline Wide wide_load(const float* p) {
  Wide v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline Wide wide_broadcast(float x) { return Wide{x, x, x, x, x, x, x, x}; }

[[gnu::always_inline]] inline void wide_store(float* p, Wide v) { std::memcpy(p, &v, sizeof v); }

// out[0..8) += v, each float widened exactly.
[[gnu::always_inline]] inline void wide_add(double* out, Wide v) {
  const WideDoubles d = __builtin_convertvector(v, WideDoubles);
  store(out, load(out) + __builtin_shufflevector(d, d, 0, 1, 2, 3));
  store(out + 4, load(out + 4) + __builtin_shufflevector(d, d, 4, 5, 6, 7));
}

}  // namespace vector_lanes
