#pragma once

// Dense kernels of the window fits over column-major arrays. Every entry is summed in one
// fixed order whatever the processor (vectors run across rows, never along a sum), so a
// run repeats exactly on any x86-64 machine while using its widest vectors.

// The lower triangle (i >= j) of scale * D D' into C (rows x rows, column-major); D is
// rows x columns, column-major. Entries above the diagonal are left as they were.
void scaled_gram_lower(const double* D, int rows, int columns, double scale, double* C);

// R = L^-1 for L lower triangular (n x n, column-major; only its lower triangle is read).
// R is written whole: its lower triangle, zeros above.
void lower_triangular_inverse(const double* L, int n, double* R);
