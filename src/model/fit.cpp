// Selection of the k reference haplotypes, their weighted window moments and the sparse
// inverse of the penalised window covariance.

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "model/dense_kernels.h"
#include "model/float_cholesky.h"
#include "model/model.h"
#include "model/model_window.h"
#include "model/packed_triangle.h"
#include "model/ridge.h"
#include "model/run_moments.h"

namespace {

// Cholesky factor of `covariance` (lower triangle read) into `factor`, with the smallest
// ridge beyond its most negative eigenvalue when it is not positive definite. Returns true
// when a ridge was needed; reciprocal_condition receives the factorised matrix's estimate.
bool factorise_with_ridge(const Eigen::MatrixXd& covariance, Eigen::MatrixXd& factor,
                          double& reciprocal_condition) {
  auto factorise = [&factor, &reciprocal_condition](const Eigen::MatrixXd& matrix) {
    factor = matrix;
    Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>> llt(factor);
    if (llt.info() != Eigen::Success) return false;
    reciprocal_condition = llt.rcond();
    return reciprocal_condition > kMinReciprocalCondition;
  };
  if (factorise(covariance)) return false;
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(covariance, Eigen::EigenvaluesOnly);
  const double smallest = eigen.eigenvalues().minCoeff();
  const double scale = std::max(1.0, eigen.eigenvalues().cwiseAbs().maxCoeff());
  return factorise_with_smallest_ridge(covariance, std::max(0.0, -smallest), scale,
                                       "fit_haplotype_model: window covariance", factorise);
}

}  // namespace

void Inverse_Matrix::assign(const Eigen::MatrixXd& lower_inverse, int size, bool single) {
  if (size < 0 || lower_inverse.rows() != size || lower_inverse.cols() != size) {
    throw std::logic_error("Inverse_Matrix::assign: matrix smaller than the window");
  }
  size_ = size;
  const std::size_t entries = size > 0 ? packed_triangle_size(size) : 0;
  // Only the precision in use holds entries; the other keeps no capacity it will not need.
  if (single) {
    packed.resize(entries);
    std::vector<double>().swap(packed_double);
    if (size > 0) pack_lower_tiles(lower_inverse.data(), size, packed.data());
  } else {
    packed_double.resize(entries);
    std::vector<float>().swap(packed);
    if (size > 0) pack_lower_tiles(lower_inverse.data(), size, packed_double.data());
  }
}

void whitened_deviation(const Inverse_Matrix& inverse, const double* own, const double* mean,
                        double theta, std::vector<double>& out) {
  const int size = inverse.rows();
  thread_local std::vector<double> deviation;
  deviation.resize(static_cast<std::size_t>(size));
  for (int s = 0; s < size; ++s) deviation[s] = own[s] - (1.0 - theta) * mean[s] - 0.5 * theta;
  out.resize(static_cast<std::size_t>(size));
  inverse.whiten(deviation.data(), out.data());
}

void Inverse_Matrix::whiten(const double* u, double* z) const {
  if (single_precision()) {
    tiled_lower_times(packed.data(), size_, u, z);
  } else {
    tiled_lower_times(packed_double.data(), size_, u, z);
  }
}

double shrinkage_weight(int k) {
  // k <= 1 leaves the harmonic sum empty; 1 is the limit of the formula as that sum goes
  // to 0 (and such a set is refused by select_haplotypes anyway).
  if (k <= 1) return 1.0;
  double harmonic = 0.0;
  for (int m = 1; m <= k - 1; ++m) harmonic += 1.0 / m;
  const double inverse_harmonic = 1.0 / harmonic;
  return inverse_harmonic / (k + inverse_harmonic);
}

namespace {

// The k columns with the longest runs, longest first, ties by lower column. Run lengths
// are small whole numbers (-1 marks the sample's own columns), so columns are counted
// into one bucket per length in column order: linear, and the same order as a sort.
void longest_runs_first(const std::vector<int>& lengths, int k, int* out) {
  if (k == 0) return;
  const auto [low, high] = std::minmax_element(lengths.begin(), lengths.end());
  const std::size_t span = static_cast<std::size_t>(*high) - static_cast<std::size_t>(*low);
  const std::size_t columns = lengths.size();
  if (span > 4 * columns + 64) {
    // Runs far longer than the columns are many: a sort costs less than the buckets.
    std::vector<int> order(columns);
    std::iota(order.begin(), order.end(), 0);
    std::partial_sort(order.begin(), order.begin() + k, order.end(), [&lengths](int a, int b) {
      return lengths[a] != lengths[b] ? lengths[a] > lengths[b] : a < b;
    });
    std::copy(order.begin(), order.begin() + k, out);
    return;
  }
  // Bucket b holds the length high - b; starts[b] is its first place in the order.
  thread_local std::vector<int> starts;
  starts.assign(span + 2, 0);
  for (const int length : lengths) ++starts[static_cast<std::size_t>(*high - length) + 1];
  for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  for (std::size_t c = 0; c < columns; ++c) {
    const int place = starts[static_cast<std::size_t>(*high - lengths[c])]++;
    if (place < k) out[place] = static_cast<int>(c);
  }
}

}  // namespace

namespace {

template <typename T>
std::size_t vector_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace

std::size_t HaplotypeModel::held_bytes() const {
  return vector_bytes(selected) + vector_bytes(weights) + vector_bytes(lengths) +
         vector_bytes(pattern_of_selected) + vector_bytes(mean) + vector_bytes(inverse.packed) +
         vector_bytes(inverse.packed_double) + vector_bytes(conditioning) +
         vector_bytes(whitened_mean);
}

bool select_haplotypes(const std::vector<int>& run_lengths, const std::vector<int>& excluded, int k,
                       HaplotypeModel& model) {
  const int columns = static_cast<int>(run_lengths.size());
  if (k < 0 || k > columns) {
    throw std::logic_error("select_haplotypes: k = " + std::to_string(k) + " with " +
                           std::to_string(columns) + " haplotype columns");
  }
  std::vector<int> lengths = run_lengths;
  for (int column : excluded) {
    if (column >= 0 && column < columns) lengths[column] = 0;
  }
  model.selected.resize(static_cast<std::size_t>(k));
  longest_runs_first(lengths, k, model.selected.data());
  model.lengths.assign(static_cast<std::size_t>(k), 0);
  for (int j = 0; j < k; ++j) {
    const int length = lengths[model.selected[j]];
    if (length < 0) {
      // Only the sample's own columns carry -1; with k <= H - 2 they are never reached.
      throw std::logic_error("select_haplotypes: selected a column without a run length");
    }
    model.lengths[j] = length;
  }
  return weigh_selected(model);
}

bool weigh_selected(HaplotypeModel& model) {
  const std::size_t k = model.selected.size();
  model.weights.assign(k, 0.0);
  model.v2 = 0.0;
  std::int64_t length_sum = 0;
  for (const int length : model.lengths) length_sum += length;
  model.length_sum = static_cast<double>(length_sum);
  if (length_sum <= 0) return false;
  const double sum = static_cast<double>(length_sum);
  for (std::size_t j = 0; j < k; ++j) {
    const double weight = model.lengths[j] / sum;
    model.weights[j] = weight;
    model.v2 += weight * weight;
  }
  // 1 - v2 divides every covariance: one effective haplotype gives no usable spread.
  return model.v2 < 1.0;
}

void WindowPatterns::build(const WindowMatrix& M, int columns) {
  const Eigen::Index window_rows = M.rows() - 1;
  of_column.assign(static_cast<std::size_t>(columns), 0);
  std::unordered_map<std::string, int> index;
  std::vector<int> first_column;
  const std::size_t bytes = static_cast<std::size_t>(window_rows) * sizeof(double);
  for (int c = 0; c < columns; ++c) {
    std::string key(reinterpret_cast<const char*>(M.col(c).data()), bytes);
    const auto [it, inserted] =
        index.emplace(std::move(key), static_cast<int>(first_column.size()));
    if (inserted) first_column.push_back(c);
    of_column[static_cast<std::size_t>(c)] = it->second;
  }
  values.resize(window_rows, static_cast<Eigen::Index>(first_column.size()));
  for (std::size_t p = 0; p < first_column.size(); ++p) {
    values.col(static_cast<Eigen::Index>(p)) = M.col(first_column[p]).head(window_rows);
  }
  binary = (values.array() == 0.0 || values.array() == 1.0).all();
  masks.clear();
  mask_rows = binary_gram_rows(static_cast<int>(window_rows));
  if (!binary) return;
  masks.resize(static_cast<std::size_t>(mask_rows) * first_column.size(), 0);
  for (std::size_t p = 0; p < first_column.size(); ++p) {
    for (Eigen::Index r = 0; r < window_rows; ++r) {
      masks[p * static_cast<std::size_t>(mask_rows) + static_cast<std::size_t>(r)] =
          values(r, static_cast<Eigen::Index>(p)) != 0.0 ? -1 : 0;
    }
  }
}

void fit_haplotype_model(const WindowMatrix& M, int own_column, double theta, HaplotypeModel& model,
                         ModelWarnings& warnings) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  FitScratch scratch;
  fit_haplotype_model(M, patterns, own_column, theta, model, warnings, scratch);
}

namespace {

// R = L^-1 of the covariance in scratch.covariance (size x size, lower triangle) into
// scratch.factor from the single-precision factorisation. False when that factorisation
// fails or its own condition bound, and failing that its own estimate, does not clear the
// bar for keeping R in floats: the double factorisation then decides, with its own estimate
// and ridge.
bool single_precision_inverse_factor(int size, FitScratch& scratch) {
  if (size == 0) return false;
  const int stride = float_factor_stride(size);
  scratch.single_factor.resize(static_cast<std::size_t>(stride) * static_cast<std::size_t>(size));
  if (!float_cholesky(scratch.covariance.data(), size, scratch.single_factor.data(), stride)) {
    return false;
  }
  scratch.single_block.resize(float_inverse_block_size(size));
  scratch.factor.resize(size, size);
  float_lower_inverse(scratch.single_factor.data(), size, stride, scratch.single_block.data(),
                      scratch.factor.data());
  const double* covariance = scratch.covariance.data();
  const double* inverse_factor = scratch.factor.data();
  // The bound is cheap and never too high; the estimate, as good as the double path's,
  // settles the windows it leaves just short of the bar.
  return reciprocal_condition_bound(covariance, inverse_factor, size) >=
             kSinglePrecisionReciprocalCondition ||
         reciprocal_condition_estimate(covariance, inverse_factor, size) >=
             kSinglePrecisionReciprocalCondition;
}

// Factorises the penalised covariance in scratch.covariance (lower triangle) and stores
// the model's inverse, R d and R mean.
void finish_fit(const WindowMatrix& M, int own_column, double theta, HaplotypeModel& model,
                ModelWarnings& warnings, FitScratch& scratch) {
  const int size = static_cast<int>(M.rows()) - 1;
  if (single_precision_inverse_factor(size, scratch)) {
    model.inverse.assign(scratch.factor, size, true);
  } else {
    double reciprocal_condition = 0.0;
    if (factorise_with_ridge(scratch.covariance, scratch.factor, reciprocal_condition)) {
      ++warnings.ridge_windows;
    }
    // R = L^-1 in place of the identity: one triangular solve, no general inverse.
    Eigen::MatrixXd& inverse_factor = scratch.covariance;
    lower_triangular_inverse(scratch.factor.data(), size, inverse_factor.data());
    model.inverse.assign(inverse_factor, size,
                         reciprocal_condition >= kSinglePrecisionReciprocalCondition);
  }

  whitened_deviation(model.inverse, M.col(own_column).data(), model.mean.data(), theta,
                     model.conditioning);
  model.whitened_mean.resize(static_cast<std::size_t>(size));
  model.inverse.whiten(model.mean.data(), model.whitened_mean.data());
}

void check_fit_inputs(const WindowMatrix& M, const WindowPatterns& patterns, int own_column,
                      const HaplotypeModel& model) {
  const std::size_t k = model.selected.size();
  if (M.rows() < 1 || own_column < 0 || own_column >= M.cols() || model.weights.size() != k ||
      patterns.values.rows() != M.rows() - 1) {
    throw std::logic_error("fit_haplotype_model: inconsistent model or window");
  }
  for (int column : model.selected) {
    if (column < 0 || column >= static_cast<int>(patterns.of_column.size())) {
      throw std::logic_error("fit_haplotype_model: selected column outside the window matrix");
    }
  }
}

// Points the selected haplotypes at their patterns and sets the variant mean.
void variant_mean_and_patterns(const WindowMatrix& M, const WindowPatterns& patterns,
                               HaplotypeModel& model) {
  const Eigen::Index variant_row = M.rows() - 1;
  model.pattern_of_selected.resize(model.selected.size());
  double variant_mean = 0.0;
  for (std::size_t j = 0; j < model.selected.size(); ++j) {
    model.pattern_of_selected[j] = patterns.of_column[static_cast<std::size_t>(model.selected[j])];
    variant_mean += model.weights[j] * M(variant_row, model.selected[j]);
  }
  model.mean.resize(static_cast<std::size_t>(variant_row) + 1);
  model.mean[static_cast<std::size_t>(variant_row)] = variant_mean;
}

// Mean and penalised covariance from the run-weighted sums in scratch.run_second and
// scratch.run_first (whole numbers over model.length_sum), then the fit's factor.
void fit_from_whole_sums(const WindowMatrix& M, int own_column, double theta, HaplotypeModel& model,
                         ModelWarnings& warnings, FitScratch& scratch) {
  const int size = static_cast<int>(M.rows()) - 1;
  const double length_sum = model.length_sum;
  for (int r = 0; r < size; ++r) model.mean[r] = scratch.run_first[r] / length_sum;
  Eigen::MatrixXd& covariance = scratch.covariance;
  covariance.resize(size, size);
  const double inverse_total = 1.0 / length_sum;
  const double inverse_correction = 1.0 / (1.0 - model.v2);
  const std::int32_t* moment = scratch.run_second.data();
  for (int j = 0; j < size; ++j) {
    // Column j from row j down: (sum / L - mean_i mean_j) / (1 - v2).
    covariance_from_sums(moment, model.mean.data() + j, inverse_total, model.mean[j],
                         inverse_correction, &covariance(j, j), size - j);
    moment += size - j;
    covariance(j, j) += model.lambda;
  }
  finish_fit(M, own_column, theta, model, warnings, scratch);
}

// Whether the model's weights are its whole run lengths over their sum and the window is
// 0/1, so its sums can be counted exactly in 32 bits.
bool whole_length_weights(const WindowPatterns& patterns, const HaplotypeModel& model) {
  if (!patterns.binary || model.lengths.size() != model.selected.size() ||
      patterns.masks.size() != static_cast<std::size_t>(patterns.mask_rows) *
                                   static_cast<std::size_t>(patterns.count())) {
    return false;
  }
  std::int64_t sum = 0;
  for (const int length : model.lengths) {
    if (length < 0) return false;
    sum += length;
  }
  return sum > 0 && static_cast<double>(sum) == model.length_sum && sum < (std::int64_t{1} << 31);
}

}  // namespace

void fit_haplotype_model(const WindowMatrix& M, const WindowPatterns& patterns, int own_column,
                         double theta, HaplotypeModel& model, ModelWarnings& warnings,
                         FitScratch& scratch) {
  check_fit_inputs(M, patterns, own_column, model);
  const Eigen::Index window_rows = M.rows() - 1;
  const int size = static_cast<int>(window_rows);
  variant_mean_and_patterns(M, patterns, model);
  if (size > 0 && whole_length_weights(patterns, model)) {
    // Run lengths are whole numbers and the window 0/1: the sums are counted exactly in
    // 32-bit lanes, four times as many per vector as the doubles of a weighted product.
    std::vector<std::int32_t>& pattern_length = scratch.pattern_length;
    pattern_length.assign(static_cast<std::size_t>(patterns.count()), 0);
    for (std::size_t j = 0; j < model.selected.size(); ++j) {
      pattern_length[model.pattern_of_selected[j]] += model.lengths[j];
    }
    scratch.run_second.resize(packed_triangle_size(size));
    scratch.run_first.resize(static_cast<std::size_t>(size));
    weighted_binary_gram(patterns.masks.data(), patterns.mask_rows, size, patterns.count(),
                         pattern_length.data(), scratch.run_second.data(),
                         scratch.run_first.data());
    fit_from_whole_sums(M, own_column, theta, model, warnings, scratch);
    return;
  }

  // Selected haplotypes that share a window pattern share their window moments, so the
  // weights are summed per pattern.
  Eigen::VectorXd& pattern_weight = scratch.pattern_weight;
  pattern_weight.setZero(patterns.count());
  for (std::size_t j = 0; j < model.selected.size(); ++j) {
    pattern_weight[model.pattern_of_selected[j]] += model.weights[j];
  }
  Eigen::Map<Eigen::VectorXd>(model.mean.data(), window_rows).noalias() =
      patterns.values * pattern_weight;
  if (size == 0) {
    model.inverse.assign(Eigen::MatrixXd(), 0, true);
    model.conditioning.clear();
    model.whitened_mean.clear();
    return;
  }

  // Weighted deviations, one column per pattern in use; the covariance is one rank update
  // instead of an outer product per haplotype.
  const Eigen::Map<const Eigen::VectorXd> window_mean(model.mean.data(), window_rows);
  int used = 0;
  for (int p = 0; p < patterns.count(); ++p) used += pattern_weight[p] > 0.0 ? 1 : 0;
  Eigen::MatrixXd& deviations = scratch.deviations;
  deviations.resize(window_rows, used);
  for (int p = 0, column = 0; p < patterns.count(); ++p) {
    if (pattern_weight[p] <= 0.0) continue;
    deviations.col(column++) =
        (patterns.values.col(p) - window_mean) * std::sqrt(pattern_weight[p]);
  }
  Eigen::MatrixXd& covariance = scratch.covariance;
  covariance.resize(window_rows, window_rows);
  // Only the lower triangle is filled: the factorisation reads no other.
  scaled_gram_lower(deviations.data(), size, used, 1.0 / (1.0 - model.v2), covariance.data());
  covariance.diagonal().array() += model.lambda;
  finish_fit(M, own_column, theta, model, warnings, scratch);
}

bool fit_haplotype_model_from_runs(const WindowMatrix& M, const WindowPatterns& patterns,
                                   const RunWeightedMoments& moments, int own_column,
                                   const std::vector<int>& run_lengths, double theta,
                                   HaplotypeModel& model, ModelWarnings& warnings,
                                   FitScratch& scratch) {
  check_fit_inputs(M, patterns, own_column, model);
  const int size = static_cast<int>(M.rows()) - 1;
  const int columns = static_cast<int>(run_lengths.size());
  const int sibling = own_column ^ 1;
  // The sums hold every column at its shared-run length: this fit applies when the model
  // selected all columns but its own two, each at that length or at 0 (a relative).
  if (size == 0 || moments.rows() != size || model.lengths.size() != model.selected.size() ||
      static_cast<int>(model.selected.size()) != columns - 2) {
    return false;
  }
  const int pattern = patterns.of_column[static_cast<std::size_t>(own_column)];
  std::vector<std::int32_t>& second = scratch.run_second;
  std::vector<std::int64_t>& first = scratch.run_first;
  second.resize(packed_triangle_size(size));
  first.resize(static_cast<std::size_t>(size));
  std::int64_t total = moments.sums(pattern, second.data(), first.data());
  // A column the sums hold at a length the model does not give it: the difference comes out,
  // row by row of the packed triangle where the column has a 1.
  auto take_out = [&](int column, std::int64_t length) {
    if (length == 0 || !moments.counted(column)) return;
    const double* x = M.col(column).data();
    const std::int32_t* mask =
        patterns.binary
            ? patterns.masks.data() + static_cast<std::size_t>(patterns.of_column[column]) *
                                          static_cast<std::size_t>(patterns.mask_rows)
            : nullptr;
    const std::int32_t amount = -static_cast<std::int32_t>(length);
    std::int32_t* out = second.data();
    for (int j = 0; j < size; ++j) {
      const int rows_below = size - j;
      if (x[j] != 0.0) {
        first[j] -= length;
        if (mask != nullptr) {
          add_masked(amount, mask + j, out, rows_below);
        } else {
          for (int i = 0; i < rows_below; ++i) out[i] += x[j + i] != 0.0 ? amount : 0;
        }
      }
      out += rows_below;
    }
    total -= length;
  };
  for (std::size_t j = 0; j < model.selected.size(); ++j) {
    const int column = model.selected[j];
    if (column == own_column || column == sibling) return false;
    take_out(column, run_lengths[column] - model.lengths[j]);
  }
  take_out(own_column, shared_run_length(M, own_column, own_column));
  take_out(sibling, shared_run_length(M, own_column, sibling));
  if (static_cast<double>(total) != model.length_sum) return false;

  variant_mean_and_patterns(M, patterns, model);
  fit_from_whole_sums(M, own_column, theta, model, warnings, scratch);
  return true;
}
