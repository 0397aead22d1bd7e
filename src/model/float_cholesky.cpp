#include "model/float_cholesky.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "model/vector_lanes.h"

using vector_lanes::Lanes;
using vector_lanes::load;
using vector_lanes::store;
using vector_lanes::Wide;
using vector_lanes::wide_load;
using vector_lanes::wide_store;
using vector_lanes::WideDoubles;

namespace {

constexpr int kLanes = 8;         // floats per vector
constexpr int kBlockColumns = 4;  // columns factorised together

// Rows i0 .. i0 + 8 * Vectors - 1 of columns j0 .. j0 + width - 1 of L minus their products
// with the finished columns before j0, the 8 Vectors x 4 sums in registers.
template <int Vectors>
[[gnu::always_inline]] inline void subtract_tile(float* L, std::size_t stride, int i0, int j0,
                                                 int width) {
  Wide sums[kBlockColumns][Vectors] = {};
  const float* column = L + i0;  // rows i0 .. of column k
  const float* row = L + j0;     // rows j0 .. j0 + 3 of column k (padding zeros past n)
  for (int k = 0; k < j0; ++k, column += stride, row += stride) {
    // Unrolled, so the sums stay in registers.
#pragma GCC unroll 2
    for (int v = 0; v < Vectors; ++v) {
      const Wide x = wide_load(column + v * kLanes);
#pragma GCC unroll 4
      for (int t = 0; t < kBlockColumns; ++t) sums[t][v] += x * row[t];
    }
  }
  for (int t = 0; t < width; ++t) {
    float* target = L + static_cast<std::size_t>(j0 + t) * stride + i0;
    for (int v = 0; v < Vectors; ++v) {
      wide_store(target + v * kLanes, wide_load(target + v * kLanes) - sums[t][v]);
    }
  }
}

// Columns j0 .. j0 + width - 1 of L minus their products with the finished columns before
// j0, sixteen rows at a time (two row vectors share each broadcast). Rows above the diagonal
// come out nonzero and are cleared by factorise_block.
[[gnu::always_inline]] inline void subtract_earlier_columns(float* L, int n, std::size_t stride,
                                                            int j0, int width) {
  int i0 = j0 / kLanes * kLanes;
  for (; i0 + 2 * kLanes <= static_cast<int>(stride); i0 += 2 * kLanes) {
    subtract_tile<2>(L, stride, i0, j0, width);
  }
  for (; i0 < n; i0 += kLanes) subtract_tile<1>(L, stride, i0, j0, width);
}

// Finishes columns j0 .. j0 + width - 1, each already short of its products with the columns
// before j0: one column at a time, its pivot's square root divides it and its products are
// taken from the block's later columns. Zeros above the diagonal at the end.
[[gnu::always_inline]] inline bool factorise_block(float* L, std::size_t stride, int j0,
                                                   int width) {
  const int rows = static_cast<int>(stride);
  for (int t = 0; t < width; ++t) {
    const int j = j0 + t;
    float* column = L + static_cast<std::size_t>(j) * stride;
    const float pivot = column[j];
    if (!(pivot > 0.0f && pivot <= std::numeric_limits<float>::max())) return false;
    const float root = std::sqrt(pivot);
    const int first = j / kLanes * kLanes;
    for (int i = first; i < rows; i += kLanes) {
      wide_store(column + i, wide_load(column + i) / root);
    }
    column[j] = root;
    for (int u = t + 1; u < width; ++u) {
      float* later = L + static_cast<std::size_t>(j0 + u) * stride;
      const float factor = column[j0 + u];
      for (int i = (j0 + u) / kLanes * kLanes; i < rows; i += kLanes) {
        wide_store(later + i, wide_load(later + i) - wide_load(column + i) * factor);
      }
    }
  }
  for (int t = 0; t < width; ++t) {
    float* column = L + static_cast<std::size_t>(j0 + t) * stride;
    std::fill(column + j0 / kLanes * kLanes, column + j0 + t, 0.0f);
  }
  return true;
}

}  // namespace

int float_factor_stride(int n) { return (n + kLanes - 1) / kLanes * kLanes; }

std::size_t float_inverse_block_size(int n) {
  return static_cast<std::size_t>(float_factor_stride(n)) * kLanes;
}

DORSANE_VECTOR_CLONES
bool float_cholesky(const double* A, int n, float* L, int stride) {
  const std::size_t rows = static_cast<std::size_t>(stride);
  // The tiles load whole vectors, so the padding rows and the entries above the diagonal
  // they reach must be zeros.
  for (int j = 0; j < n; ++j) {
    float* column = L + static_cast<std::size_t>(j) * rows;
    const double* a = A + static_cast<std::size_t>(j) * static_cast<std::size_t>(n);
    std::fill(column, column + j, 0.0f);
    int i = j;
    for (; i + kLanes <= n; i += kLanes) {
      WideDoubles entries;
      std::memcpy(&entries, a + i, sizeof entries);
      wide_store(column + i, __builtin_convertvector(entries, Wide));
    }
    for (; i < n; ++i) column[i] = static_cast<float>(a[i]);
    std::fill(column + n, column + stride, 0.0f);
  }
  for (int j0 = 0; j0 < n; j0 += kBlockColumns) {
    const int width = std::min(kBlockColumns, n - j0);
    subtract_earlier_columns(L, n, rows, j0, width);
    if (!factorise_block(L, rows, j0, width)) return false;
  }
  return true;
}

DORSANE_VECTOR_CLONES
void float_lower_inverse(const float* L, int n, int stride, float* block, double* R) {
  const std::size_t rows = static_cast<std::size_t>(stride);
  const std::size_t size = static_cast<std::size_t>(n);
  // Eight columns of R at once: forward substitution of L x = e_j with the eight right-hand
  // sides side by side, row i at block + 8 i, so each update is one vector operation.
  for (int j0 = 0; j0 < n; j0 += kLanes) {
    // Rows above j0 are zero for these columns and neither read nor written.
    std::fill(block + static_cast<std::size_t>(j0) * kLanes, block + size * kLanes, 0.0f);
    for (int t = 0; t < kLanes && j0 + t < n; ++t) block[(j0 + t) * kLanes + t] = 1.0f;
    int k = j0;
    // Four rows solved at a time stay in registers while each later row takes their four
    // updates in the same order as one row at a time.
    for (; k + 4 <= n; k += 4) {
      const float* c0 = L + static_cast<std::size_t>(k) * rows;
      const float* c1 = c0 + rows;
      const float* c2 = c1 + rows;
      const float* c3 = c2 + rows;
      float* x_k = block + static_cast<std::size_t>(k) * kLanes;
      const Wide a = wide_load(x_k) / c0[k];
      const Wide b = (wide_load(x_k + kLanes) - a * c0[k + 1]) / c1[k + 1];
      const Wide c = (wide_load(x_k + 2 * kLanes) - a * c0[k + 2] - b * c1[k + 2]) / c2[k + 2];
      const Wide d =
          (wide_load(x_k + 3 * kLanes) - a * c0[k + 3] - b * c1[k + 3] - c * c2[k + 3]) / c3[k + 3];
      wide_store(x_k, a);
      wide_store(x_k + kLanes, b);
      wide_store(x_k + 2 * kLanes, c);
      wide_store(x_k + 3 * kLanes, d);
      for (int i = k + 4; i < n; ++i) {
        float* x_i = block + static_cast<std::size_t>(i) * kLanes;
        wide_store(x_i, wide_load(x_i) - a * c0[i] - b * c1[i] - c * c2[i] - d * c3[i]);
      }
    }
    for (; k < n; ++k) {
      const float* column = L + static_cast<std::size_t>(k) * rows;
      float* x_k = block + static_cast<std::size_t>(k) * kLanes;
      const Wide x = wide_load(x_k) / column[k];
      wide_store(x_k, x);
      for (int i = k + 1; i < n; ++i) {
        float* x_i = block + static_cast<std::size_t>(i) * kLanes;
        wide_store(x_i, wide_load(x_i) - x * column[i]);
      }
    }
    for (int t = 0; t < kLanes && j0 + t < n; ++t) {
      const int j = j0 + t;
      double* column = R + static_cast<std::size_t>(j) * size;
      std::fill(column, column + j, 0.0);
      for (int i = j; i < n; ++i) column[i] = block[static_cast<std::size_t>(i) * kLanes + t];
    }
  }
}

namespace {

// Sum of |x[i]| over count entries, each |x[i]| also added to rows[i].
[[gnu::always_inline]] inline double absolute_sums(const double* x, int count, double* rows) {
  Lanes sum = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    const Lanes v = load(x + i);
    const Lanes magnitude = v < 0.0 ? -v : v;
    sum += magnitude;
    store(rows + i, load(rows + i) + magnitude);
  }
  double total = (sum[0] + sum[1]) + (sum[2] + sum[3]);
  for (; i < count; ++i) {
    total += std::abs(x[i]);
    rows[i] += std::abs(x[i]);
  }
  return total;
}

// |A|_1 of the symmetric A from its lower triangle; rows (n entries) is overwritten.
[[gnu::always_inline]] inline double symmetric_one_norm(const double* A, int n, double* rows) {
  const std::size_t size = static_cast<std::size_t>(n);
  std::fill(rows, rows + n, 0.0);
  double norm = 0.0;
  for (int j = 0; j < n; ++j) {
    const std::size_t diagonal = static_cast<std::size_t>(j) * size + static_cast<std::size_t>(j);
    // Column j: row j left of the diagonal (summed by the columns before), then from the
    // diagonal down.
    const double below = absolute_sums(A + diagonal + 1, n - j - 1, rows + j + 1);
    norm = std::max(norm, rows[j] + std::abs(A[diagonal]) + below);
  }
  return norm;
}

// y = R'(R x) = A^-1 x; w receives R x.
void inverse_times(const double* R, int n, const double* x, double* w, double* y) {
  const std::size_t size = static_cast<std::size_t>(n);
  std::fill(w, w + n, 0.0);
  for (int j = 0; j < n; ++j) {
    const double* column = R + static_cast<std::size_t>(j) * size;
    for (int i = j; i < n; ++i) w[i] += column[i] * x[j];
  }
  for (int j = 0; j < n; ++j) {
    const double* column = R + static_cast<std::size_t>(j) * size;
    double sum = 0.0;
    for (int i = j; i < n; ++i) sum += column[i] * w[i];
    y[j] = sum;
  }
}

double one_norm(const double* y, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += std::abs(y[i]);
  return sum;
}

}  // namespace

DORSANE_VECTOR_CLONES
double reciprocal_condition_bound(const double* A, const double* R, int n) {
  if (n == 0) return 0.0;
  const std::size_t size = static_cast<std::size_t>(n);
  thread_local std::vector<double> row_sums;
  row_sums.resize(size);
  const double a_norm = symmetric_one_norm(A, n, row_sums.data());
  // Row sums of |R| gathered column by column, so every access runs down a column.
  std::fill(row_sums.begin(), row_sums.end(), 0.0);
  double r_columns = 0.0;
  for (int j = 0; j < n; ++j) {
    const std::size_t diagonal = static_cast<std::size_t>(j) * size + static_cast<std::size_t>(j);
    r_columns = std::max(r_columns, absolute_sums(R + diagonal, n - j, row_sums.data() + j));
  }
  const double inverse_norm = r_columns * *std::max_element(row_sums.begin(), row_sums.end());
  if (!(a_norm > 0.0) || !(inverse_norm > 0.0)) return 0.0;
  return 1.0 / a_norm / inverse_norm;
}

double reciprocal_condition_estimate(const double* A, const double* R, int n) {
  if (n == 0) return 0.0;
  const std::size_t size = static_cast<std::size_t>(n);
  thread_local std::vector<double> work;
  work.resize(4 * size);
  double* x = work.data();
  double* w = x + size;
  double* y = w + size;
  double* z = y + size;
  const double a_norm = symmetric_one_norm(A, n, w);
  // Hager's iteration: |A^-1 x|_1 for |x|_1 = 1, moved to the unit vector where the
  // gradient A^-1 sign(A^-1 x) is largest while that raises the estimate.
  std::fill(x, x + n, 1.0 / n);
  inverse_times(R, n, x, w, y);
  double estimate = one_norm(y, n);
  int previous = -1;
  for (int iteration = 0; iteration < 5; ++iteration) {
    for (int i = 0; i < n; ++i) x[i] = y[i] >= 0.0 ? 1.0 : -1.0;
    inverse_times(R, n, x, w, z);
    const int j = static_cast<int>(
        std::max_element(z, z + n, [](double a, double b) { return std::abs(a) < std::abs(b); }) -
        z);
    if (previous >= 0 && std::abs(z[j]) <= z[previous]) break;
    std::fill(x, x + n, 0.0);
    x[j] = 1.0;
    inverse_times(R, n, x, w, y);
    const double next = one_norm(y, n);
    if (next <= estimate) break;
    estimate = next;
    previous = j;
  }
  // An alternating vector catches what the iteration misses on some matrices.
  for (int i = 0; i < n; ++i) {
    x[i] = (i % 2 == 0 ? 1.0 : -1.0) * (1.0 + (n > 1 ? static_cast<double>(i) / (n - 1) : 0.0));
  }
  inverse_times(R, n, x, w, y);
  estimate = std::max(estimate, 2.0 * one_norm(y, n) / (3.0 * n));
  if (!(a_norm > 0.0) || !(estimate > 0.0)) return 0.0;
  return 1.0 / a_norm / estimate;
}
