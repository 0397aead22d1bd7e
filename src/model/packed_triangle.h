#pragma once

// Kernels over a lower-triangular matrix packed column by column: column j holds rows
// j..n-1, so column j starts at j*n - j*(j-1)/2. Plain pointers in, plain values out.
// Every sum runs in one fixed order whatever the processor, so a run repeats exactly on
// any x86-64 machine while using its widest vectors.

#include <cstddef>

// Entries of a packed n x n lower triangle.
inline std::size_t packed_triangle_size(int n) {
  return static_cast<std::size_t>(n) * static_cast<std::size_t>(n + 1) / 2;
}

// z = R u, R lower triangular (n x n) packed by columns.
void packed_lower_times(const double* packed, int n, const double* u, double* z);

// a . b, summed in four interleaved lanes (entry i goes to lane i mod 4), then
// (lane0 + lane1) + (lane2 + lane3).
double lane_dot(const double* a, const double* b, int n);
