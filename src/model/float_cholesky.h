#pragma once

// The Cholesky factor of a window covariance and its inverse in single precision, eight
// floats per vector: twice the entries per instruction of the double factorisation, for the
// windows well conditioned enough that R = L^-1 is kept in floats anyway. Vectors run across
// rows, never along a sum, so every entry is computed in one fixed order on any processor.

#include <cstddef>

// Rows per column of the float factor: n padded to whole vectors.
int float_factor_stride(int n);

// Factorises A (n x n, column-major, only its lower triangle read) as L L' into L (n columns
// of `stride` rows, stride = float_factor_stride(n); zero above the diagonal and in the
// padding). Entry (i, j), i >= j, is float(A(i, j)) minus the products L(i, k) L(j, k) in
// order of k: those with k below j's block of four summed first in floats from zero, then the
// ones within the block subtracted one at a time; a diagonal entry then becomes its square
// root and the others are divided by it. Returns false, L unfinished, at a pivot that is not
// positive and finite.
bool float_cholesky(const double* A, int n, float* L, int stride);

// R = L^-1 for L from float_cholesky, written whole into R (n x n double, column-major: the
// floats widened exactly, zeros above the diagonal). Row i of column j is
// (e_ij - sum over k = j .. i - 1 of L(i, k) R(k, j), subtracted in order of k) / L(i, i).
// block holds float_inverse_block_size(n) floats of working space.
std::size_t float_inverse_block_size(int n);
void float_lower_inverse(const float* L, int n, int stride, float* block, double* R);

// A lower bound of the 1-norm reciprocal condition of A = L L' given R = L^-1:
// |A^-1|_1 = |R'R|_1 <= |R|_inf |R|_1, so 1 / (|A|_1 |R|_1 |R|_inf) never exceeds the true
// value, where an iterative estimate may. A and R are n x n column-major; A's lower triangle
// is read as the symmetric matrix, R's lower triangle as R. 0 for n = 0.
double reciprocal_condition_bound(const double* A, const double* R, int n);

// An estimate of the same reciprocal condition, as the double factorisation's: Hager's
// iteration finds |A^-1 x|_1 over a few x with |x|_1 = 1 (each two products with R), which
// never exceeds |A^-1|_1, so the result is at least the true value, usually within a factor
// of three. For windows just short of the bar under the cheaper bound.
double reciprocal_condition_estimate(const double* A, const double* R, int n);
