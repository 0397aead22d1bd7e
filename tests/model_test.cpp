#include "model/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include "model/dense_kernels.h"
#include "model/packed_triangle.h"
#include "window_builders.h"

namespace {
std::vector<int> initial_haplotypes(const std::vector<double>& pls, std::vector<double>& freqs,
                                    std::vector<int> draws = {}) {
  ScriptedRandom random(std::move(draws));
  std::vector<int> haplotypes;
  initial_genotypes_biallelic(pls, static_cast<int>(pls.size() / 3), random, freqs, haplotypes);
  return haplotypes;
}
}  // namespace

TEST(ShrinkageWeight, HarmonicFormulaAndEmptySum) {
  EXPECT_DOUBLE_EQ(shrinkage_weight(2), 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(shrinkage_weight(3), 2.0 / 11.0);  // H = 3/2
  EXPECT_DOUBLE_EQ(shrinkage_weight(1), 1.0);
}

TEST(InitialGenotypes, FlatLikelihoodsAndTies_PhaseDrawAndLowerGenotype) {
  // Flat likelihoods keep p = 0.5 and the heterozygote (prior 0.5) on top; u = 0.5 exactly
  // gives 1|0, u below 0.5 gives 0|1. PLs (0, 100, 0) tie 0/0 with 1/1: 0/0, no draw.
  std::vector<double> freqs = {0.5, 0.5};
  EXPECT_EQ(initial_haplotypes({0, 0, 0, 0, 100, 0, 7, 7, 7}, freqs, {kDrawHalf, 1000000000}),
            (std::vector<int>{1, 0, 0, 0, 0, 1}));
  EXPECT_NEAR(freqs[0], 0.5, 1e-15);
}

TEST(InitialGenotypes, PassLimitAndConvergence) {
  // Without 1/1 each pass maps p1 to p1 / (1 + p1): from 0.5, pass n ends at 1 / (n + 2),
  // moving by more than 1e-4 every time, so exactly ten passes run.
  const std::vector<double> pls = {0, 0, 1e6, 0, 0, 1e6};
  std::vector<double> freqs = {0.5, 0.5};
  // The calls use the last pass's priors (p1 = 1/11): 0/0 for both.
  EXPECT_EQ(initial_haplotypes(pls, freqs), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_NEAR(freqs[1], 1.0 / 12.0, 1e-14);
  EXPECT_NEAR(freqs[0], 11.0 / 12.0, 1e-14);
  // From p1 = 0.001 the first pass moves by ~2e-6 and is the last.
  freqs = {0.999, 0.001};
  initial_haplotypes(pls, freqs);
  EXPECT_NEAR(freqs[1], 0.001 / 1.001, 1e-15);
}

TEST(InitialGenotypes, UnderAndOverflowingLikelihoods_SameAsShiftedOnes) {
  // Shifting a sample's PLs by a constant cannot change its posteriors, even where
  // 10^(-PL/10) underflows (+4990) or overflows (-5000).
  const std::vector<double> plain = {10, 0, 30, 0, 20, 40, 25, 5, 0};
  std::vector<double> f_plain = {0.5, 0.5};
  const std::vector<int> h_plain = initial_haplotypes(plain, f_plain, {kDrawHalf});
  EXPECT_EQ(h_plain, (std::vector<int>{1, 0, 0, 0, 1, 1}));
  for (double shift : {4990.0, -5000.0}) {
    std::vector<double> shifted = plain;
    for (int g = 0; g < 3; ++g) shifted[g] += shift;
    std::vector<double> f_shifted = {0.5, 0.5};
    EXPECT_EQ(initial_haplotypes(shifted, f_shifted, {kDrawHalf}), h_plain) << shift;
    EXPECT_NEAR(f_shifted[1], f_plain[1], 1e-12) << shift;
  }
}

TEST(SelectHaplotypes, LongestRunsFirst_TiesByColumn_ExclusionsCountZero) {
  const std::vector<int> lengths = {-1, -1, 6, 8, 6, 4, 8};
  HaplotypeModel model;
  ASSERT_TRUE(select_haplotypes(lengths, {}, 3, model));
  EXPECT_EQ(model.selected, (std::vector<int>{3, 6, 2}));
  EXPECT_EQ(model.weights, (std::vector<double>{8.0 / 22, 8.0 / 22, 6.0 / 22}));
  EXPECT_DOUBLE_EQ(model.v2, (64.0 + 64.0 + 36.0) / (22.0 * 22.0));
  // Too few positive runs: zero-length columns fill up in column order, with weight 0.
  ASSERT_TRUE(select_haplotypes(lengths, {3, 4}, 5, model));
  EXPECT_EQ(model.selected, (std::vector<int>{6, 2, 5, 3, 4}));
  EXPECT_EQ(model.weights, (std::vector<double>{8.0 / 18, 6.0 / 18, 4.0 / 18, 0, 0}));
}

TEST(SelectHaplotypes, NoUsableReferenceSet_ReturnsFalse) {
  HaplotypeModel model;
  EXPECT_FALSE(select_haplotypes({-1, -1, 5, 7}, {2, 3}, 2, model));  // runs sum to 0
  EXPECT_FALSE(select_haplotypes({-1, -1, 5, 0, 0}, {}, 2, model));   // one weight of 1
  EXPECT_FALSE(select_haplotypes({-1, -1, 5, 7}, {}, 1, model));
  EXPECT_TRUE(select_haplotypes({-1, -1, 5, 7}, {}, 2, model));
}

// The packed kernels against Eigen's dense products, for sizes on both sides of every
// vector width and unroll step.
// z = R u in the kernel's documented order: per block of four columns, z_i takes the block's
// fused multiply-adds in column order (in single precision the block's sum is taken in floats,
// from the first product, and then added in double); the columns after the last block one by
// one. Every processor's clone must give exactly these bits.
namespace {
template <typename Entry>
Eigen::VectorXd ordered_lower_times(const Eigen::MatrixXd& r, const Eigen::VectorXd& u) {
  const int n = static_cast<int>(u.size());
  const auto rn = r.cast<Entry>();
  const auto un = u.cast<Entry>();
  constexpr bool kSingle = std::is_same_v<Entry, float>;
  Eigen::VectorXd z = Eigen::VectorXd::Zero(n);
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    if (un.segment(j, 4).isZero(Entry{0})) continue;
    for (int i = j; i < n; ++i) {
      if (kSingle) {
        Entry sum = rn(i, j) * un[j];
        for (int t = 1; t < 4 && j + t <= i; ++t) sum = std::fma(rn(i, j + t), un[j + t], sum);
        z[i] += sum;
      } else {
        for (int t = 0; t < 4 && j + t <= i; ++t) z[i] = std::fma(r(i, j + t), u[j + t], z[i]);
      }
    }
  }
  for (; j < n; ++j) {
    for (int i = j; i < n; ++i) {
      z[i] = kSingle ? z[i] + rn(i, j) * un[j] : std::fma(r(i, j), u[j], z[i]);
    }
  }
  return z;
}

// Entries uniform in [-1, 1) with full mantissas, so that a product rounded before its sum
// shows in the bits.
Eigen::MatrixXd random_reals(int rows, int columns, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  Eigen::MatrixXd m(rows, columns);
  for (int c = 0; c < columns; ++c) {
    for (int r = 0; r < rows; ++r) m(r, c) = entry(engine);
  }
  return m;
}

// a . b in four interleaved lanes of fused multiply-adds, as lane_dot documents.
double ordered_dot(const Eigen::VectorXd& a, const Eigen::VectorXd& b) {
  double lanes[4] = {0.0, 0.0, 0.0, 0.0};
  for (int i = 0; i < a.size(); ++i) lanes[i % 4] = std::fma(a[i], b[i], lanes[i % 4]);
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}
}  // namespace

TEST(PackedTriangle, ProductsMatchDenseForEverySizeTo130) {
  for (int n = 0; n <= 130; n += (n < 36 ? 1 : 7)) {
    const Eigen::MatrixXd full = random_reals(n, n, 40 + n);
    const Eigen::MatrixXd r = full.triangularView<Eigen::Lower>();
    Eigen::VectorXd u = random_reals(n, 1, 90 + n);
    if (n >= 8) u.segment(4, 4).setZero();  // a block the product skips
    const Eigen::VectorXd v = random_reals(n, 1, 200 + n).array() + 0.3;
    for (const bool single : {true, false}) {
      Inverse_Matrix q;
      q.assign(r, n, single);
      ASSERT_EQ(q.single_precision(), single || n == 0);
      ASSERT_EQ(q.packed.size() + q.packed_double.size(), packed_triangle_size(n));
      Eigen::VectorXd z(n);
      q.whiten(u.data(), z.data());
      EXPECT_LE((z - r * u).norm(), (single ? 1e-6 : 1e-12) * (1 + n)) << n;
      EXPECT_EQ(z, single ? ordered_lower_times<float>(r, u) : ordered_lower_times<double>(r, u))
          << n;
      EXPECT_EQ(dense_factor(q), single ? r.cast<float>().cast<double>() : r) << n;
    }
    EXPECT_NEAR(lane_dot(u.data(), v.data(), n), u.dot(v), 1e-12 * (1 + n)) << n;
    EXPECT_EQ(lane_dot(u.data(), v.data(), n), ordered_dot(u, v)) << n;
    // The entry-by-entry kernels, bit for bit against their plain expressions.
    Eigen::VectorXd step = v, covariance(n);
    add_scaled(0.37, u.data(), step.data(), n);
    const double inverse_total = 1.0 / 3.3, inverse_correction = 1.0 / 0.9;
    covariance_from_sums(u.data(), v.data(), inverse_total, 0.7, inverse_correction,
                         covariance.data(), n);
    EXPECT_LE((covariance - (u / 3.3 - 0.7 * v) / 0.9).norm(), 1e-15 * (1 + n)) << n;
    std::vector<std::int32_t> whole(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) whole[i] = static_cast<std::int32_t>(u[i] * 1e6);
    Eigen::VectorXd from_whole(n);
    covariance_from_sums(whole.data(), v.data(), inverse_total, 0.7, inverse_correction,
                         from_whole.data(), n);
    std::vector<std::int32_t> mask(whole.size()), counted = whole;
    for (int i = 0; i < n; ++i) mask[i] = u[i] > 0.0 ? -1 : 0;
    add_masked(-7, mask.data(), counted.data(), n);
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(counted[i], whole[i] - (u[i] > 0.0 ? 7 : 0)) << n;
      ASSERT_EQ(from_whole[i],
                std::fma(double(whole[i]), inverse_total, -(v[i] * 0.7)) * inverse_correction)
          << n;
      ASSERT_EQ(step[i], std::fma(0.37, u[i], v[i])) << n;
      ASSERT_EQ(covariance[i], std::fma(u[i], inverse_total, -(v[i] * 0.7)) * inverse_correction)
          << n;
    }
  }
}

// The fits' dense kernels against Eigen, for sizes on both sides of the 8 x 4 blocks, and bit
// for bit against their documented order of fused multiply-adds.
TEST(DenseKernels, GramAndTriangularInverseMatchEigen) {
  for (int rows = 0; rows <= 130; rows += (rows < 20 ? 1 : 9)) {
    const int columns = 1 + (rows * 7) % 40;
    const Eigen::MatrixXd d = random_reals(rows, columns, 3 + rows);
    Eigen::MatrixXd c = Eigen::MatrixXd::Constant(rows, rows, 7.0);
    scaled_gram_lower(d.data(), rows, columns, 1.5, c.data());
    const Eigen::MatrixXd expected = 1.5 * d * d.transpose();
    for (int j = 0; j < rows; ++j) {
      for (int i = 0; i < rows; ++i) {
        ASSERT_NEAR(c(i, j), i >= j ? expected(i, j) : 7.0, 1e-12) << rows << " " << i << " " << j;
        double sum = 0.0;
        for (int u = 0; u < columns; ++u) sum = std::fma(d(i, u), d(j, u), sum);
        ASSERT_EQ(c(i, j), i >= j ? sum * 1.5 : 7.0) << rows << " " << i << " " << j;
      }
    }
    Eigen::MatrixXd l = expected + Eigen::MatrixXd::Identity(rows, rows);
    l = Eigen::MatrixXd(l.llt().matrixL());
    l.triangularView<Eigen::StrictlyUpper>().setConstant(5.0);  // never read
    Eigen::MatrixXd r(rows, rows);
    lower_triangular_inverse(l.data(), rows, r.data());
    const Eigen::MatrixXd lower = l.triangularView<Eigen::Lower>();
    if (rows > 0) {
      EXPECT_LT((r * lower - Eigen::MatrixXd::Identity(rows, rows)).cwiseAbs().maxCoeff(), 1e-10);
      EXPECT_EQ(Eigen::MatrixXd(r.triangularView<Eigen::StrictlyUpper>()).cwiseAbs().maxCoeff(),
                0.0);
    }
    // Forward substitution of L x = e_j, one step at a time.
    for (int j = 0; j < rows; ++j) {
      Eigen::VectorXd x = Eigen::VectorXd::Unit(rows, j);
      for (int k = j; k < rows; ++k) {
        x[k] /= l(k, k);
        for (int i = k + 1; i < rows; ++i) x[i] = std::fma(-l(i, k), x[k], x[i]);
      }
      ASSERT_EQ(r.col(j).tail(rows - j), x.tail(rows - j)) << rows << " " << j;
    }
  }
}

TEST(DenseKernels, WeightedBinaryGramCountsExactly) {
  // Window rows across the 16-lane and 8-column block edges; some weights 0.
  for (const auto& [rows, columns] : {std::pair{1, 1}, {3, 2}, {16, 5}, {17, 9}, {101, 37}}) {
    WindowMatrix m = random_window(rows + 1, columns, 5 + rows);
    WindowPatterns patterns;
    patterns.build(m, columns);
    ASSERT_TRUE(patterns.binary);
    std::vector<std::int32_t> weights(static_cast<std::size_t>(patterns.count()));
    for (std::size_t p = 0; p < weights.size(); ++p) weights[p] = p % 4 == 1 ? 0 : 3 + 7 * p;
    const Eigen::VectorXd w =
        Eigen::Map<const Eigen::VectorXi>(weights.data(), patterns.count()).cast<double>();
    const Eigen::MatrixXd expected = patterns.values * w.asDiagonal() * patterns.values.transpose();
    std::vector<std::int32_t> second(packed_triangle_size(rows), -1);
    std::vector<std::int64_t> first(static_cast<std::size_t>(rows), -1);
    weighted_binary_gram(patterns.masks.data(), patterns.mask_rows, rows, patterns.count(),
                         weights.data(), second.data(), first.data());
    const Eigen::VectorXd expected_first = patterns.values * w;
    for (int j = 0, e = 0; j < rows; ++j) {
      EXPECT_EQ(first[j], expected_first[j]) << rows << " " << j;
      for (int i = j; i < rows; ++i, ++e) EXPECT_EQ(second[e], expected(i, j)) << rows << " " << i;
    }
  }
}

TEST(FitHaplotypeModel, InverseTimesCovarianceIsIdentity_ConditioningIsQd) {
  const WindowMatrix M = random_window(9, 14, 11);
  HaplotypeModel model;
  model.lambda = 0.06;
  ASSERT_TRUE(select_haplotypes({-1, -1, 8, 5, 9, 4, 7, 8, 6, 10, 5, 4, 9, 6}, {}, 6, model));
  const double theta = shrinkage_weight(6);
  ModelWarnings warnings;
  fit_haplotype_model(M, 1, theta, model, warnings);
  for (int r = 0; r < 9; ++r) {
    double mean = 0.0;
    for (int j = 0; j < 6; ++j) mean += model.weights[j] * M(r, model.selected[j]);
    EXPECT_NEAR(model.mean[r], mean, 1e-15);
  }
  const Eigen::MatrixXd q = dense_inverse(model.inverse);
  EXPECT_LT(
      (reference_covariance(M, model) * q - Eigen::MatrixXd::Identity(8, 8)).cwiseAbs().maxCoeff(),
      1e-6);  // R is held in single precision
  Eigen::VectorXd d(8);
  for (int s = 0; s < 8; ++s) d[s] = M(s, 1) - (1 - theta) * model.mean[s] - 0.5 * theta;
  // conditioning is R d, so that (R c).(R d) = c'Q d.
  const Eigen::VectorXd rd = dense_factor(model.inverse) * d;
  for (int s = 0; s < 8; ++s) EXPECT_NEAR(model.conditioning[s], rd[s], 1e-6);
  EXPECT_EQ(warnings.ridge_windows, 0);

  // No window sites: empty holder, and the mean is the variant mean alone.
  const WindowMatrix variant_only = M.bottomRows(1);
  fit_haplotype_model(variant_only, 1, theta, model, warnings);
  EXPECT_EQ(model.inverse.rows(), 0);
  EXPECT_TRUE(model.conditioning.empty());
  ASSERT_EQ(model.mean.size(), 1u);
}

TEST(FitHaplotypeModel, CovarianceNotPositiveDefinite_TakesRidge) {
  // Identical selected haplotypes and lambda 0: the covariance is the zero matrix.
  HaplotypeModel model;
  model.selected = {2, 3};
  model.weights = {0.5, 0.5};
  model.v2 = 0.5;
  ModelWarnings warnings;
  fit_haplotype_model(window_from_columns({"01100", "11010", "10110", "10110"}), 0, 0.3, model,
                      warnings);
  EXPECT_EQ(warnings.ridge_windows, 1);
  for (double value : model.inverse.packed_double) EXPECT_TRUE(std::isfinite(value));
  for (double value : model.conditioning) EXPECT_TRUE(std::isfinite(value));

  // Rank 1 of 4: the ridged inverse still inverts the covariance on its range.
  const WindowMatrix two = window_from_columns({"01100", "11010", "10110", "01011"});
  fit_haplotype_model(two, 0, 0.3, model, warnings);
  EXPECT_EQ(warnings.ridge_windows, 2);
  // So ill-conditioned a factor keeps double precision.
  EXPECT_FALSE(model.inverse.single_precision());
  const Eigen::MatrixXd covariance = reference_covariance(two, model);
  const Eigen::MatrixXd q = dense_inverse(model.inverse);
  EXPECT_LT((covariance * q * covariance - covariance).cwiseAbs().maxCoeff(), 1e-6);

  model.lambda = 0.06;  // any penalty keeps the plain factorisation
  fit_haplotype_model(two, 0, 0.3, model, warnings);
  EXPECT_EQ(warnings.ridge_windows, 2);
  EXPECT_TRUE(model.inverse.single_precision());
}
