#include "model/float_cholesky.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "window_builders.h"

namespace {

// A penalised covariance of `columns` random 0/1 haplotypes over n window rows.
Eigen::MatrixXd window_covariance(int n, int columns, double lambda, unsigned seed) {
  const Eigen::MatrixXd x = random_window(n, columns, seed).array() - 0.4;
  Eigen::MatrixXd a = x * x.transpose() / columns;
  a.diagonal().array() += lambda;
  return a;
}

// The kernels' documented order, one entry at a time, in a plain n x n column-major layout.
Eigen::MatrixXf scalar_cholesky(const Eigen::MatrixXd& a) {
  const int n = static_cast<int>(a.rows());
  Eigen::MatrixXf l = Eigen::MatrixXf::Zero(n, n);
  for (int j = 0; j < n; ++j) {
    const int block = j / 4 * 4;
    for (int i = j; i < n; ++i) {
      float sum = 0.0f;
      for (int k = 0; k < block; ++k) sum += l(i, k) * l(j, k);
      float w = static_cast<float>(a(i, j)) - sum;
      for (int k = block; k < j; ++k) w -= l(i, k) * l(j, k);
      l(i, j) = w;
    }
    const float root = std::sqrt(l(j, j));
    for (int i = j + 1; i < n; ++i) l(i, j) /= root;
    l(j, j) = root;
  }
  return l;
}

Eigen::MatrixXf scalar_inverse(const Eigen::MatrixXf& l) {
  const int n = static_cast<int>(l.rows());
  Eigen::MatrixXf r = Eigen::MatrixXf::Zero(n, n);
  for (int j = 0; j < n; ++j) {
    for (int i = j; i < n; ++i) {
      float s = i == j ? 1.0f : 0.0f;
      for (int k = j; k < i; ++k) s -= l(i, k) * r(k, j);
      r(i, j) = s / l(i, i);
    }
  }
  return r;
}

struct FloatFit {
  bool factorised = false;
  Eigen::MatrixXd factor, inverse;  // L and R, n x n
};

FloatFit float_fit(const Eigen::MatrixXd& a) {
  const int n = static_cast<int>(a.rows());
  const int stride = float_factor_stride(n);
  // Garbage in the working space: the kernels must not read what they did not write.
  std::vector<float> l(static_cast<std::size_t>(stride) * n, 7.0f);
  std::vector<float> block(float_inverse_block_size(n), -3.0f);
  FloatFit fit;
  fit.factorised = float_cholesky(a.data(), n, l.data(), stride);
  if (!fit.factorised) return fit;
  const Eigen::Map<const Eigen::MatrixXf, 0, Eigen::OuterStride<>> lower(
      l.data(), n, n, Eigen::OuterStride<>(stride));
  fit.factor = lower.cast<double>();
  for (int j = 0; j < n; ++j) {
    for (int i = n; i < stride; ++i) EXPECT_EQ(l[j * stride + i], 0.0f) << "padding " << n;
  }
  fit.inverse = Eigen::MatrixXd::Constant(n, n, 5.0);
  float_lower_inverse(l.data(), n, stride, block.data(), fit.inverse.data());
  return fit;
}

}  // namespace

// Sizes across the eight-lane and four-column edges, well and badly conditioned.
TEST(FloatCholesky, MatchesDoubleAndItsScalarOrder_BoundBelowAndEstimateNearTrueCondition) {
  for (const int n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 33, 64, 100, 127, 129, 130}) {
    for (const double lambda : {0.06, 1e-3}) {
      const Eigen::MatrixXd a = window_covariance(n, 40, lambda, 17 + n);
      Eigen::MatrixXd stale = a;
      stale.triangularView<Eigen::StrictlyUpper>().setConstant(9.0);  // never read
      const FloatFit fit = float_fit(stale);
      ASSERT_TRUE(fit.factorised) << n;
      if (n == 0) continue;
      const Eigen::MatrixXf l = scalar_cholesky(a);
      EXPECT_EQ(fit.factor, l.cast<double>()) << n << " " << lambda;
      EXPECT_EQ(fit.inverse, scalar_inverse(l).cast<double>()) << n << " " << lambda;

      const Eigen::MatrixXd q = fit.inverse.transpose() * fit.inverse;
      const Eigen::MatrixXd exact = a.inverse();
      const double condition =
          a.cwiseAbs().colwise().sum().maxCoeff() * exact.cwiseAbs().colwise().sum().maxCoeff();
      // Float rounding of A and L, amplified by the condition number.
      EXPECT_LT((q - exact).norm() / exact.norm(), 1e-6 * condition) << n << " " << lambda;
      const double bound = reciprocal_condition_bound(a.data(), fit.inverse.data(), n);
      EXPECT_LE(bound, (1 + 1e-3) / condition) << n << " " << lambda;
      EXPECT_GE(bound, 1 / condition / n / (1 + 1e-3)) << n << " " << lambda;
      const double estimate = reciprocal_condition_estimate(a.data(), fit.inverse.data(), n);
      EXPECT_GE(estimate, (1 - 1e-3) / condition) << n << " " << lambda;
      EXPECT_LE(estimate, 3 / condition) << n << " " << lambda;
    }
  }
}

TEST(FloatCholesky, PivotNotPositiveOrNotFinite_Refused) {
  const Eigen::MatrixXd a = window_covariance(12, 5, 0.06, 3);
  for (const double bad : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(), 1e300}) {
    Eigen::MatrixXd b = a;
    b(9, 9) = bad;
    EXPECT_FALSE(float_fit(b).factorised) << bad;
    if (bad > 0.0 || std::isnan(bad)) {
      b = a;
      b(9, 3) = bad;  // off the diagonal: reaches pivot 9
      EXPECT_FALSE(float_fit(b).factorised) << bad;
    }
  }
  // Rank 5 of 12 with no penalty: a pivot rounds to zero or below.
  EXPECT_FALSE(float_fit(window_covariance(12, 5, 0.0, 3)).factorised);
}

// The fit keeps the float factorisation only where its own bound clears the bar; otherwise
// the double factorisation decides, ridge and precision as before.
TEST(FitHaplotypeModel, IllConditionedWindow_FactorisedInDouble) {
  const WindowMatrix M = random_window(41, 12, 5);
  HaplotypeModel model;
  ASSERT_TRUE(select_haplotypes({-1, -1, 8, 5, 9, 4, 7, 8, 6, 10, 5, 4}, {}, 10, model));
  ModelWarnings warnings;
  for (const double lambda : {0.06, 1e-6}) {
    model.lambda = lambda;
    fit_haplotype_model(M, 0, 0.3, model, warnings);
    const Eigen::MatrixXd covariance = reference_covariance(M, model);
    const double tolerance = lambda > 1e-3 ? 1e-5 : 1e-8;
    EXPECT_LT((covariance * dense_inverse(model.inverse) - Eigen::MatrixXd::Identity(40, 40))
                  .cwiseAbs()
                  .maxCoeff(),
              tolerance)
        << lambda;
    EXPECT_EQ(model.inverse.single_precision(), lambda > 1e-3);
  }
  EXPECT_EQ(warnings.ridge_windows, 0);
}
