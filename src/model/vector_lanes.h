#pragma once

// Four-double vectors (and eight-float ones) for the numeric kernels (include from kernel sources
// only). They are two SSE2 registers by default and one AVX register in the clones built for
// processors that have it. The compiler never fuses on its own (-ffp-contract=off); the kernels
// ask for each fused multiply-add explicitly with fma(), which every clone rounds once, as the
// hardware instruction in the x86-64-v3 (AVX2 and FMA) and x86-64-v4 (AVX-512) clones and as
// the library's fma in the default one, so every clone gives the same bits.

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// Whole instruction-set levels: a clone per feature ("avx2") would leave out FMA, and a clone
// per processor ("arch=haswell") is picked only on that very processor.
#define DORSANE_VECTOR_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
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

// Zero plus x compiles to one broadcast, where the lane list {x, x, ...} became a chain of
// inserts; it makes -0 into +0, which no kernel tells apart.
[[gnu::always_inline]] inline Lanes broadcast(double x) { return Lanes{} + x; }

// a * b + c in each lane, rounded once. Lane by lane, so the FMA clones pack it into one
// vfmadd and the default clone calls the correctly rounded library fma.
[[gnu::always_inline]] inline Lanes fma(Lanes a, Lanes b, Lanes c) {
  Lanes out;
  for (int lane = 0; lane < 4; ++lane) out[lane] = __builtin_fma(a[lane], b[lane], c[lane]);
  return out;
}

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

[[gnu::always_inline]] inline Wide wide_broadcast(float x) { return Wide{} + x; }

[[gnu::always_inline]] inline Wide fma(Wide a, Wide b, Wide c) {
  Wide out;
  for (int lane = 0; lane < 8; ++lane) out[lane] = __builtin_fmaf(a[lane], b[lane], c[lane]);
  return out;
}

// Four floats, for the last four rows of a tile.
typedef float Quad __attribute__((vector_size(4 * sizeof(float))));

[[gnu::always_inline]] inline Quad quad_load(const float* p) {
  Quad v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline Quad fma(Quad a, Quad b, Quad c) {
  Quad out;
  for (int lane = 0; lane < 4; ++lane) out[lane] = __builtin_fmaf(a[lane], b[lane], c[lane]);
  return out;
}

[[gnu::always_inline]] inline void wide_store(float* p, Wide v) { std::memcpy(p, &v, sizeof v); }

// out[0..8) += v, each float widened exactly.
[[gnu::always_inline]] inline void wide_add(double* out, Wide v) {
  const WideDoubles d = __builtin_convertvector(v, WideDoubles);
  store(out, load(out) + __builtin_shufflevector(d, d, 0, 1, 2, 3));
  store(out + 4, load(out + 4) + __builtin_shufflevector(d, d, 4, 5, 6, 7));
}

}  // namespace vector_lanes
