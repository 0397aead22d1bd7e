#include "model/dense_kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "model/vector_lanes.h"

using vector_lanes::broadcast;
using vector_lanes::fma;
using vector_lanes::Lanes;
using vector_lanes::load;
using vector_lanes::store;

namespace {

constexpr int kRowBlock = 8;
constexpr int kColumnBlock = 4;

// Sixteen whole numbers: one AVX-512 register, two AVX2 or four SSE2 ones.
constexpr int kIntLanes = 16;
constexpr int kIntColumnBlock = 8;
typedef std::int32_t Ints __attribute__((vector_size(kIntLanes * sizeof(std::int32_t))));

}  // namespace

DORSANE_VECTOR_CLONES
void scaled_gram_lower(const double* D, int rows, int columns, double scale, double* C) {
  // Rows padded with zeros to whole blocks, so every block loads full vectors.
  const int padded = (rows + kRowBlock - 1) / kRowBlock * kRowBlock;
  thread_local std::vector<double> buffer;
  buffer.assign(static_cast<std::size_t>(padded) * static_cast<std::size_t>(columns), 0.0);
  for (int u = 0; u < columns; ++u) {
    std::copy_n(D + static_cast<std::size_t>(u) * rows, rows,
                buffer.data() + static_cast<std::size_t>(u) * padded);
  }
  const double* P = buffer.data();
  const Lanes factor = broadcast(scale);
  for (int s0 = 0; s0 < rows; s0 += kColumnBlock) {
    for (int r0 = s0 / kRowBlock * kRowBlock; r0 < rows; r0 += kRowBlock) {
      // An 8 x 4 block of sums in registers, one vector of rows per column of the block.
      Lanes a0 = {}, b0 = {}, a1 = {}, b1 = {}, a2 = {}, b2 = {}, a3 = {}, b3 = {};
      const double* column = P;
      for (int u = 0; u < columns; ++u, column += padded) {
        const Lanes upper = load(column + r0);
        const Lanes lower = load(column + r0 + 4);
        const Lanes x0 = broadcast(column[s0]);
        const Lanes x1 = broadcast(column[s0 + 1]);
        const Lanes x2 = broadcast(column[s0 + 2]);
        const Lanes x3 = broadcast(column[s0 + 3]);
        a0 = fma(upper, x0, a0);
        b0 = fma(lower, x0, b0);
        a1 = fma(upper, x1, a1);
        b1 = fma(lower, x1, b1);
        a2 = fma(upper, x2, a2);
        b2 = fma(lower, x2, b2);
        a3 = fma(upper, x3, a3);
        b3 = fma(lower, x3, b3);
      }
      const Lanes sums[kColumnBlock][2] = {{a0, b0}, {a1, b1}, {a2, b2}, {a3, b3}};
      for (int t = 0; t < kColumnBlock && s0 + t < rows; ++t) {
        double block[kRowBlock];
        store(block, sums[t][0] * factor);
        store(block + 4, sums[t][1] * factor);
        const int s = s0 + t;
        for (int i = std::max(r0, s); i < std::min(r0 + kRowBlock, rows); ++i) {
          C[static_cast<std::size_t>(s) * rows + i] = block[i - r0];
        }
      }
    }
  }
}

int binary_gram_rows(int rows) { return (rows + kIntLanes - 1) / kIntLanes * kIntLanes; }

DORSANE_VECTOR_CLONES
void weighted_binary_gram(const std::int32_t* masks, int padded_rows, int rows, int columns,
                          const std::int32_t* weights, std::int32_t* second, std::int64_t* first) {
  if (padded_rows != binary_gram_rows(rows)) {
    throw std::logic_error("weighted_binary_gram: mask rows not padded to whole vectors");
  }
  // The columns of nonzero weight, each also weighted (w where X has a 1), so a product
  // of two entries times w is one AND of a mask and a weighted entry.
  thread_local std::vector<int> kept;
  thread_local std::vector<std::int32_t> weighted;
  kept.clear();
  for (int u = 0; u < columns; ++u) {
    if (weights[u] != 0) kept.push_back(u);
  }
  const std::size_t padded = static_cast<std::size_t>(padded_rows);
  weighted.resize(kept.size() * padded);
  std::fill_n(first, rows, std::int64_t{0});
  for (std::size_t v = 0; v < kept.size(); ++v) {
    const std::int32_t* mask = masks + static_cast<std::size_t>(kept[v]) * padded;
    std::int32_t* weight = weighted.data() + v * padded;
    const std::int32_t w = weights[kept[v]];
    for (std::size_t r = 0; r < padded; r += kIntLanes) {
      Ints lanes;
      std::memcpy(&lanes, mask + r, sizeof lanes);
      lanes &= w;
      std::memcpy(weight + r, &lanes, sizeof lanes);
    }
    for (int r = 0; r < rows; ++r) first[r] += weight[r];
  }
  for (int s0 = 0; s0 < rows; s0 += kIntColumnBlock) {
    for (int r0 = s0 / kIntLanes * kIntLanes; r0 < rows; r0 += kIntLanes) {
      // A 16 x 8 block of sums in registers, one vector of rows per column of the block;
      // columns past the last read padding zeros.
      Ints a0 = {}, a1 = {}, a2 = {}, a3 = {}, a4 = {}, a5 = {}, a6 = {}, a7 = {};
      for (std::size_t v = 0; v < kept.size(); ++v) {
        Ints rows_in;
        std::memcpy(&rows_in, masks + static_cast<std::size_t>(kept[v]) * padded + r0,
                    sizeof rows_in);
        const std::int32_t* weight = weighted.data() + v * padded + s0;
        a0 += rows_in & weight[0];
        a1 += rows_in & weight[1];
        a2 += rows_in & weight[2];
        a3 += rows_in & weight[3];
        a4 += rows_in & weight[4];
        a5 += rows_in & weight[5];
        a6 += rows_in & weight[6];
        a7 += rows_in & weight[7];
      }
      const Ints sums[kIntColumnBlock] = {a0, a1, a2, a3, a4, a5, a6, a7};
      for (int t = 0; t < kIntColumnBlock && s0 + t < rows; ++t) {
        const int s = s0 + t;
        std::int32_t* column = second + static_cast<std::size_t>(s) * rows -
                               static_cast<std::size_t>(s) * (s - 1) / 2 - s;
        for (int i = std::max(r0, s); i < std::min(r0 + kIntLanes, rows); ++i) {
          column[i] = sums[t][i - r0];
        }
      }
    }
  }
}

DORSANE_VECTOR_CLONES
void lower_triangular_inverse(const double* L, int n, double* R) {
  const std::size_t size = static_cast<std::size_t>(n);
  // Above the diagonal R is zero; the rest is written below.
  for (int j = 1; j < n; ++j) std::fill_n(R + static_cast<std::size_t>(j) * size, j, 0.0);
  // Four columns of R at once: forward substitution of L x = e_j, the four right-hand
  // sides side by side in a row-major block so each update is one vector operation.
  thread_local std::vector<double> block;
  block.resize(size * kColumnBlock);
  for (int j0 = 0; j0 < n; j0 += kColumnBlock) {
    // Rows above j0 are neither read nor written for these columns.
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(j0) * kColumnBlock, block.end(), 0.0);
    for (int t = 0; t < kColumnBlock && j0 + t < n; ++t) block[(j0 + t) * kColumnBlock + t] = 1.0;
    int k = j0;
    // Four steps of the substitution at a time: their four solved rows stay in registers
    // while each later row takes the four updates in the same order as one step at a time.
    for (; k + 4 <= n; k += 4) {
      const double* c0 = L + static_cast<std::size_t>(k) * n;
      const double* c1 = c0 + n;
      const double* c2 = c1 + n;
      const double* c3 = c2 + n;
      double* x_k = &block[static_cast<std::size_t>(k) * kColumnBlock];  // rows k .. k + 3
      const Lanes a = load(x_k) / broadcast(c0[k]);
      const Lanes b =
          fma(-broadcast(c0[k + 1]), a, load(x_k + kColumnBlock)) / broadcast(c1[k + 1]);
      const Lanes c = fma(-broadcast(c1[k + 2]), b,
                          fma(-broadcast(c0[k + 2]), a, load(x_k + 2 * kColumnBlock))) /
                      broadcast(c2[k + 2]);
      const Lanes d = fma(-broadcast(c2[k + 3]), c,
                          fma(-broadcast(c1[k + 3]), b,
                              fma(-broadcast(c0[k + 3]), a, load(x_k + 3 * kColumnBlock)))) /
                      broadcast(c3[k + 3]);
      store(x_k, a);
      store(x_k + kColumnBlock, b);
      store(x_k + 2 * kColumnBlock, c);
      store(x_k + 3 * kColumnBlock, d);
      for (int i = k + 4; i < n; ++i) {
        double* x_i = &block[static_cast<std::size_t>(i) * kColumnBlock];
        const Lanes after_ab = fma(-broadcast(c1[i]), b, fma(-broadcast(c0[i]), a, load(x_i)));
        store(x_i, fma(-broadcast(c3[i]), d, fma(-broadcast(c2[i]), c, after_ab)));
      }
    }
    for (; k < n; ++k) {
      const double* column = L + static_cast<std::size_t>(k) * n;
      double* x_k = &block[static_cast<std::size_t>(k) * kColumnBlock];
      const Lanes x = load(x_k) / broadcast(column[k]);
      store(x_k, x);
      for (int i = k + 1; i < n; ++i) {
        double* x_i = &block[static_cast<std::size_t>(i) * kColumnBlock];
        store(x_i, fma(-broadcast(column[i]), x, load(x_i)));
      }
    }
    for (int t = 0; t < kColumnBlock && j0 + t < n; ++t) {
      const int j = j0 + t;
      for (int i = j; i < n; ++i)
        R[static_cast<std::size_t>(j) * n + i] =
            block[static_cast<std::size_t>(i) * kColumnBlock + t];
    }
  }
}
