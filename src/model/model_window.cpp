#include "model/model_window.h"

#include <algorithm>

int find_bracket(const std::vector<std::uint64_t>& scaffold_positions, std::uint64_t p) {
  // The first index whose position exceeds p; p then lies in [s[a-1], s[a]).
  return static_cast<int>(
      std::upper_bound(scaffold_positions.begin(), scaffold_positions.end(), p) -
      scaffold_positions.begin());
}

namespace {

// Index before the first of the 2f candidate sites of bracket r, clamped at both ends.
int window_start(int r, int f, int n) { return std::clamp(r - f - 1, -1, n - 2 * f - 1); }

}  // namespace

std::pair<std::uint64_t, std::uint64_t> window_span(
    const std::vector<std::uint64_t>& scaffold_positions, std::uint64_t p, int f) {
  const int n = static_cast<int>(scaffold_positions.size());
  const int e = window_start(find_bracket(scaffold_positions, p), f, n);
  return {scaffold_positions[static_cast<std::size_t>(e + 1)],
          scaffold_positions[static_cast<std::size_t>(e + 2 * f)]};
}

WindowKey window_key(const std::vector<std::uint64_t>& scaffold_positions, std::uint64_t p, int f,
                     int span, bool use_panel) {
  const int n = static_cast<int>(scaffold_positions.size());
  WindowKey key;
  key.r = find_bracket(scaffold_positions, p);
  key.use_panel = use_panel;
  const int e = window_start(key.r, f, n);
  const auto first = scaffold_positions.begin() + (e + 1);
  const auto last = scaffold_positions.begin() + (e + 1 + 2 * f);
  const std::uint64_t span_end = p + static_cast<std::uint64_t>(std::max(span, 0));
  key.dropped_begin =
      static_cast<int>(std::lower_bound(first, last, p) - scaffold_positions.begin());
  key.dropped_end =
      static_cast<int>(std::upper_bound(first, last, span_end) - scaffold_positions.begin());
  return key;
}

void construct_window(const SiteRows& scaffold_haplotypes, int r, int f, std::uint64_t p, int span,
                      int sample_count, const PanelView& panel, bool use_panel, WindowMatrix& M,
                      std::vector<std::uint64_t>& window_positions) {
  window_positions.clear();
  M.setZero();
  const std::vector<std::uint64_t>& scaffold_positions = scaffold_haplotypes.positions();
  const int n = static_cast<int>(scaffold_positions.size());
  const int e = window_start(r, f, n);
  const int sample_haplotypes = 2 * sample_count;
  const std::uint64_t span_end = p + static_cast<std::uint64_t>(std::max(span, 0));
  int row = 0;
  for (int j = e + 1; j <= e + 2 * f; ++j) {
    const std::uint64_t q = scaffold_positions[static_cast<std::size_t>(j)];
    if (q >= p && q <= span_end) continue;
    window_positions.push_back(q);
    for (int c = 0; c < sample_haplotypes; ++c) {
      M(row, c) =
          scaffold_haplotypes.allele(static_cast<std::size_t>(j), static_cast<std::size_t>(c));
    }
    if (use_panel) {
      // A window site the panel lacks keeps zeros in the panel columns.
      const auto site = panel.haplotypes->find(q);
      if (site != panel.haplotypes->end()) {
        for (int c = 0; c < panel.haplotype_count; ++c) {
          M(row, sample_haplotypes + c) = site->second[static_cast<std::size_t>(c)];
        }
      }
    }
    ++row;
  }
  window_positions.push_back(p);
  if (use_panel) {
    const std::vector<std::uint8_t>& at_variant = panel.haplotypes->at(p);
    const int variant_row = static_cast<int>(M.rows()) - 1;
    for (int c = 0; c < panel.haplotype_count; ++c) {
      M(variant_row, sample_haplotypes + c) = at_variant[static_cast<std::size_t>(c)];
    }
  }
}

int shared_run_length(const WindowMatrix& M, int a, int b) {
  const int last_window_row = static_cast<int>(M.rows()) - 2;
  const int middle = (static_cast<int>(M.rows()) - 1) / 2;
  const double* x = M.col(a).data();
  const double* y = M.col(b).data();
  int right = 0;
  for (int row = middle; row <= last_window_row && x[row] == y[row]; ++row) ++right;
  int left = 0;
  for (int row = middle - 1; row >= 0 && x[row] == y[row]; --row) ++left;
  return scored_run(right, left);
}

namespace {

// A run of equal alleles from the first bit: the trailing zeros of two columns' XOR.
int equal_run(const std::uint64_t* x, const std::uint64_t* y, int words, int rows) {
  for (int w = 0; w < words; ++w) {
    const std::uint64_t differ = x[w] ^ y[w];
    if (differ != 0) return std::min(rows, 64 * w + __builtin_ctzll(differ));
  }
  return rows;
}

}  // namespace

bool binary_window(const WindowMatrix& M, int columns) {
  for (int c = 0; c < columns; ++c) {
    const double* x = M.col(c).data();
    for (Eigen::Index r = 0; r + 1 < M.rows(); ++r) {
      if (x[r] != 0.0 && x[r] != 1.0) return false;
    }
  }
  return true;
}

void SharedRuns::build(const WindowMatrix& M, int sample_haplotypes, int columns) {
  M_ = &M;
  sample_haplotypes_ = sample_haplotypes;
  columns_ = columns;
  bits_.clear();
  if (!binary_window(M, columns)) return;
  // Bit i of the right side is row middle + i, of the left side row middle - 1 - i.
  const int rows = static_cast<int>(M.rows()) - 1;
  middle_ = rows / 2;
  right_rows_ = rows - middle_;
  right_words_ = (right_rows_ + 63) / 64;
  left_words_ = (middle_ + 63) / 64;
  const std::size_t stride = static_cast<std::size_t>(right_words_ + left_words_);
  bits_.assign(static_cast<std::size_t>(columns) * stride, 0);
  for (int c = 0; c < columns; ++c) {
    std::uint64_t* right = bits_.data() + static_cast<std::size_t>(c) * stride;
    std::uint64_t* left = right + right_words_;
    const double* x = M.col(c).data();
    for (int i = 0; i < right_rows_; ++i) {
      if (x[middle_ + i] != 0.0) right[i / 64] |= std::uint64_t{1} << (i % 64);
    }
    for (int i = 0; i < middle_; ++i) {
      if (x[middle_ - 1 - i] != 0.0) left[i / 64] |= std::uint64_t{1} << (i % 64);
    }
  }
}

void SharedRuns::row(int h, std::vector<int>& out) const {
  out.resize(static_cast<std::size_t>(columns_));
  if (bits_.empty()) {
    for (int l = 0; l < columns_; ++l) out[l] = shared_run_length(*M_, h, l);
  } else {
    // A 0/1 window compares 64 rows per step.
    const std::size_t stride = static_cast<std::size_t>(right_words_ + left_words_);
    const std::uint64_t* x = bits_.data() + static_cast<std::size_t>(h) * stride;
    for (int l = 0; l < columns_; ++l) {
      const std::uint64_t* y = bits_.data() + static_cast<std::size_t>(l) * stride;
      const int right = equal_run(x, y, right_words_, right_rows_);
      const int left = equal_run(x + right_words_, y + right_words_, left_words_, middle_);
      out[l] = scored_run(right, left);
    }
  }
  if (h < sample_haplotypes_) {
    const int own = h - h % 2;
    out[own] = -1;
    if (own + 1 < columns_) out[own + 1] = -1;
  }
}

void distance_matrix(const WindowMatrix& M, int sample_haplotypes, int haplotype_columns,
                     std::vector<std::vector<int>>& distances) {
  SharedRuns runs;
  runs.build(M, sample_haplotypes, haplotype_columns);
  distances.resize(static_cast<std::size_t>(sample_haplotypes));
  for (int k = 0; k < sample_haplotypes; ++k) runs.row(k, distances[static_cast<std::size_t>(k)]);
}

std::vector<double> variant_row(const WindowMatrix& M) {
  std::vector<double> row(static_cast<std::size_t>(M.cols()));
  Eigen::Map<Eigen::RowVectorXd>(row.data(), M.cols()) = M.row(M.rows() - 1);
  return row;
}
