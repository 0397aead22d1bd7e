#pragma once

// Kernels over packed lower-triangular matrices. Plain pointers in, plain values out.
// Every sum runs in one fixed order of fused multiply-adds (each rounded once, std::fma)
// whatever the processor, so a run repeats exactly on any x86-64 machine while using its
// widest vectors.

#include <cstddef>
#include <cstdint>

// Entries of a packed n x n lower triangle.
inline std::size_t packed_triangle_size(int n) {
  return static_cast<std::size_t>(n) * static_cast<std::size_t>(n + 1) / 2;
}

// Packs the lower triangle of R (n x n, column-major) for tiled_lower_times, in single or
// double precision, in groups of 16, 8 or 4 rows: per group, one tile (column-major) per block
// of four columns before its diagonal, then per block on its diagonal its 4 x 4 triangle and a
// tile of the rows below; the last n mod 4 rows follow row by row. packed receives
// packed_triangle_size(n) entries.
void pack_lower_tiles(const double* lower, int n, float* packed);
void pack_lower_tiles(const double* lower, int n, double* packed);

// z = R u for R packed by pack_lower_tiles. Each entry z_i takes, per block of four columns,
// z_i = fma(c3, u3, fma(c2, u2, fma(c1, u1, fma(c0, u0, z_i)))) (the columns past row i
// left out), the blocks in column order, z_i held in a register from the first block to the
// last; a block of four zeros in u is skipped. With R in single precision u is rounded to
// floats and each block's sum fma(c3, u3, fma(c2, u2, fma(c1, u1, c0 u0))) is taken in floats
// (eight entries per vector) and added to z_i in double. The columns after the last block
// add c u one at a time the same way.
void tiled_lower_times(const float* packed, int n, const double* u, double* z);
void tiled_lower_times(const double* packed, int n, const double* u, double* z);

// Multiply-adds tiled_lower_times spends on u: the blocks of four columns with a nonzero
// entry, each (n - j) * 4 - 2 for a block starting at column j, and the columns after the
// last whole block.
long tiled_lower_cost(const double* u, int n);

// z = fma(step, a, z), entry by entry.
void add_scaled(double step, const double* a, double* z, int n);
// z += amount where mask is all ones, entry by entry (mask entries 0 or -1): whole-number
// sums of a 0/1 vector, eight to a vector.
void add_masked(std::int32_t amount, const std::int32_t* mask, std::int32_t* z, int n);

// out[i] = fma(sums[i], inverse_total, -(means[i] * mean)) * inverse_correction: a covariance
// with the variant from carrier sums, (sums / total - means * mean) / correction, entry by
// entry; the caller takes the two reciprocals once per model.
void covariance_from_sums(const double* sums, const double* means, double inverse_total,
                          double mean, double inverse_correction, double* out, int n);
// The same from whole-number sums (each converted to double exactly).
void covariance_from_sums(const std::int32_t* sums, const double* means, double inverse_total,
                          double mean, double inverse_correction, double* out, int n);

// a . b, summed in four interleaved lanes (entry i goes to lane i mod 4 by
// lane = fma(a_i, b_i, lane), from 0), then (lane0 + lane1) + (lane2 + lane3).
double lane_dot(const double* a, const double* b, int n);
