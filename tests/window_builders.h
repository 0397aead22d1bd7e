#pragma once

// Builders shared by the model and sampler tests.

#include <Eigen/Dense>
#include <cstddef>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "chain/haplotype_moments.h"
#include "model/model.h"
#include "util/random_source.h"

// One string per haplotype column, read from window row 0 down to the variant row.
inline WindowMatrix window_from_columns(const std::vector<std::string>& columns) {
  WindowMatrix M(static_cast<Eigen::Index>(columns.at(0).size()),
                 static_cast<Eigen::Index>(columns.size()));
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (std::size_t r = 0; r < columns[c].size(); ++r) {
      M(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = columns[c][r] == '1';
    }
  }
  return M;
}

inline WindowMatrix random_window(int rows, int columns, unsigned seed) {
  std::mt19937 engine(seed);
  std::bernoulli_distribution allele(0.4);
  WindowMatrix M(rows, columns);
  for (int c = 0; c < columns; ++c) {
    for (int r = 0; r < rows; ++r) M(r, c) = allele(engine) ? 1.0 : 0.0;
  }
  return M;
}

// Replays a fixed list of rand() values and fails loudly when asked for one more.
class ScriptedRandom final : public RandomSource {
 public:
  explicit ScriptedRandom(std::vector<int> values) : values_(std::move(values)) {}
  int next_int() override {
    if (used_ >= values_.size()) throw std::runtime_error("scripted draws exhausted");
    return values_[used_++];
  }
  std::size_t used() const { return used_; }

 private:
  std::vector<int> values_;
  std::size_t used_ = 0;
};

// rand() values whose uniform() is exactly 0, 0.5 and 1.
constexpr int kDrawZero = 0;
constexpr int kDrawHalf = 1 << 30;
constexpr int kDrawOne = 2147483647;

// R (lower triangular, Q = R'R) and Q as dense matrices from the packed holder.
inline Eigen::MatrixXd dense_factor(const Inverse_Matrix& q) {
  const int n = q.rows();
  Eigen::MatrixXd r(n, n);
  for (int j = 0; j < n; ++j) {
    const Eigen::VectorXd unit = Eigen::VectorXd::Unit(n, j);
    q.whiten(unit.data(), r.col(j).data());  // column j of R
  }
  return r;
}
inline Eigen::MatrixXd dense_inverse(const Inverse_Matrix& q) {
  const Eigen::MatrixXd r = dense_factor(q);
  return r.transpose() * r;
}

// The penalised weighted covariance of the window rows, summed term by term as documented.
inline Eigen::MatrixXd reference_covariance(const WindowMatrix& M, const HaplotypeModel& model) {
  const int size = static_cast<int>(M.rows()) - 1;
  Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(size, size);
  for (std::size_t j = 0; j < model.selected.size(); ++j) {
    for (int r = 0; r < size; ++r) {
      for (int c = 0; c < size; ++c) {
        covariance(r, c) += model.weights[j] * (M(r, model.selected[j]) - model.mean[r]) *
                            (M(c, model.selected[j]) - model.mean[c]);
      }
    }
  }
  covariance /= 1.0 - model.v2;
  covariance.diagonal().array() += model.lambda;
  return covariance;
}

// A model's conditional moments computed afresh from M's variant row, as the chain
// computes them when it whitens anew; the patterns are those of M's window.
inline ConditionalMoments conditional_moments(const WindowMatrix& M, HaplotypeModel& model,
                                              SamplerScratch& scratch, ModelWarnings& warnings) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  model.pattern_of_selected.resize(model.selected.size());
  for (std::size_t j = 0; j < model.selected.size(); ++j) {
    model.pattern_of_selected[j] =
        patterns.of_column.at(static_cast<std::size_t>(model.selected[j]));
  }
  const int rows = static_cast<int>(M.rows()) - 1;
  std::vector<double> alleles(static_cast<std::size_t>(M.cols()));
  for (Eigen::Index c = 0; c < M.cols(); ++c) alleles[c] = M(rows, c);
  std::vector<double> sums(static_cast<std::size_t>(rows)), whitened(sums.size());
  const double variant_mean = carrier_sums(alleles.data(), patterns, model, scratch, sums.data()) /
                              carrier_unit_total(model);
  whitened_covariance(model, sums.data(), variant_mean, scratch, whitened.data());
  return moments_from_whitened(model, variant_mean, whitened.data(), warnings);
}

inline std::array<double, 2> haplotype_allele_probs(const WindowMatrix& M, HaplotypeModel& model,
                                                    SamplerScratch& scratch,
                                                    ModelWarnings& warnings) {
  return allele_probs_from_moments(conditional_moments(M, model, scratch, warnings));
}
