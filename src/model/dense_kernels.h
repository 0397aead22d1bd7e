#pragma once

#include <cstdint>

// Dense kernels of the window fits over column-major arrays. Every entry is summed in one
// fixed order of fused multiply-adds (each rounded once, as std::fma) whatever the processor
// (vectors run across rows, never along a sum), so a run repeats exactly on any x86-64
// machine while using its widest vectors.

// The lower triangle (i >= j) of scale * D D' into C (rows x rows, column-major); D is
// rows x columns, column-major. Entry (i, j) is s = fma(D(i, u), D(j, u), s) over u from 0
// up, times scale. Entries above the diagonal are left as they were.
void scaled_gram_lower(const double* D, int rows, int columns, double scale, double* C);

// Rows of a mask column for weighted_binary_gram: the rows padded to whole vectors.
int binary_gram_rows(int rows);

// For a 0/1 matrix X given as masks (column-major, padded_rows per column, all bits set
// where X has a 1, padding rows 0) and whole column weights w: the lower triangle of
// X diag(w) X' into second (packed by columns, as packed_triangle.h) and X w into first,
// both overwritten. Whole numbers, exact in any order; the caller keeps the sums below 2^31.
void weighted_binary_gram(const std::int32_t* masks, int padded_rows, int rows, int columns,
                          const std::int32_t* weights, std::int32_t* second, std::int64_t* first);

// R = L^-1 for L lower triangular (n x n, column-major; only its lower triangle is read).
// R is written whole: its lower triangle, zeros above. Forward substitution, each update
// x_i = fma(-L(i, k), x_k, x_i) in order of k.
void lower_triangular_inverse(const double* L, int n, double* R);
