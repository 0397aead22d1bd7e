#pragma once

// Four-double vectors for the numeric kernels (include from kernel sources only). They are
// two SSE2 registers by default and one AVX register in the clones built for processors
// that have it; lane arithmetic is the same either way and products and sums are never
// fused, so every clone gives the same bits.

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

}  // namespace vector_lanes
