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
  return (right >= kSharedRunCore && left >= kSharedRunCore) ? right + left : kShortSharedRun;
}

void distance_matrix(const WindowMatrix& M, int sample_haplotypes, int haplotype_columns,
                     std::vector<std::vector<int>>& distances) {
  distances.assign(static_cast<std::size_t>(sample_haplotypes),
                   std::vector<int>(static_cast<std::size_t>(haplotype_columns), -1));
  auto shared_run = [&M](int k, int l) { return shared_run_length(M, k, l); };
  for (int k = 0; k < sample_haplotypes; ++k) {
    std::vector<int>& row = distances[static_cast<std::size_t>(k)];
    for (int l = 0; l < haplotype_columns; ++l) {
      // The run length is symmetric: reuse the mirrored entry between sample haplotypes.
      row[static_cast<std::size_t>(l)] =
          (l < k) ? distances[static_cast<std::size_t>(l)][static_cast<std::size_t>(k)]
                  : shared_run(k, l);
    }
  }
  for (int k = 0; k + 1 < sample_haplotypes; k += 2) {
    distances[k][k] = distances[k][k + 1] = -1;
    distances[k + 1][k] = distances[k + 1][k + 1] = -1;
  }
}

std::vector<double> variant_row(const WindowMatrix& M) {
  std::vector<double> row(static_cast<std::size_t>(M.cols()));
  Eigen::Map<Eigen::RowVectorXd>(row.data(), M.cols()) = M.row(M.rows() - 1);
  return row;
}
