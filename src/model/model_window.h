#pragma once

// Placing a variant among the scaffold sites, building its window and the shared-run
// lengths between haplotypes.

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "model/model.h"
#include "util/site_rows.h"

// Index of the first scaffold site to the right of p (p lies in [s[r-1], s[r])), or 0
// when p precedes every site. A variant at or after the last site gets n = the number of
// sites, a bracket of its own whose window is the last 2f sites.
int find_bracket(const std::vector<std::uint64_t>& scaffold_positions, std::uint64_t p);

// What a window depends on besides the scaffold: its bracket, the panel's use, and the
// range [dropped_begin, dropped_end) of scaffold sites that the variant's own alleles
// cover (within [p, p + span]) and that the window leaves out. Positions with equal keys
// share one window and the models fitted on it.
struct WindowKey {
  int r = -1;
  bool use_panel = false;
  int dropped_begin = 0;
  int dropped_end = 0;

  bool operator==(const WindowKey& o) const {
    return r == o.r && use_panel == o.use_panel && dropped_begin == o.dropped_begin &&
           dropped_end == o.dropped_end;
  }
  bool operator!=(const WindowKey& o) const { return !(*this == o); }
};

// The positions of the first and last scaffold sites of the window of variant p.
// Requires scaffold_positions.size() >= 2f.
std::pair<std::uint64_t, std::uint64_t> window_span(
    const std::vector<std::uint64_t>& scaffold_positions, std::uint64_t p, int f);

// Requires scaffold_positions.size() >= 2f.
WindowKey window_key(const std::vector<std::uint64_t>& scaffold_positions, std::uint64_t p, int f,
                     int span, bool use_panel);

// Reference-panel haplotypes as the window needs them.
struct PanelView {
  int haplotype_count = 0;
  const std::map<std::uint64_t, std::vector<std::uint8_t>>* haplotypes = nullptr;
};

// Rebuilds the window of a variant at p with bracket r: the 2f candidate sites around
// it, less those within [p, p + span], fill rows 0.. of M (sample columns from the
// scaffold, panel columns when use_panel); the variant row (last) gets the panel's
// values at p when use_panel. window_positions receives the kept sites then p.
// Requires at least 2f scaffold sites.
void construct_window(const SiteRows& scaffold_haplotypes, int r, int f, std::uint64_t p, int span,
                      int sample_count, const PanelView& panel, bool use_panel, WindowMatrix& M,
                      std::vector<std::uint64_t>& window_positions);

// A shared run counts when it reaches this many sites on each side of the window's middle;
// shorter runs weigh kShortSharedRun.
constexpr int kSharedRunCore = 3;
constexpr int kShortSharedRun = 4;

// The weight of a pair of runs either side of the middle.
inline int scored_run(int right, int left) {
  return (right >= kSharedRunCore && left >= kSharedRunCore) ? right + left : kShortSharedRun;
}

// Whether every window value of the first `columns` columns (all rows but the variant's) is
// 0 or 1, so bits hold the window.
bool binary_window(const WindowMatrix& M, int columns);

// Shared-run length between two columns of M: the left plus the right run of equal alleles
// around the middle of the window when both reach kSharedRunCore, else kShortSharedRun.
int shared_run_length(const WindowMatrix& M, int a, int b);

// The shared-run lengths of the window in hand, one haplotype's row at a time: a model needs
// only its own row, and a table of every pair would grow with the square of the cohort.
class SharedRuns {
 public:
  // Prepares the first `columns` columns of M, the first `sample_haplotypes` of them the
  // samples' (two per sample).
  void build(const WindowMatrix& M, int sample_haplotypes, int columns);
  // Entry l: the shared-run length between sample haplotype h and column l, -1 for the
  // columns of h's own sample.
  void row(int h, std::vector<int>& out) const;

 private:
  const WindowMatrix* M_ = nullptr;
  int sample_haplotypes_ = 0;
  int columns_ = 0;
  // Each column's window as bits outwards from the middle (a 0/1 window), so a run of equal
  // alleles is the count of trailing zeros of two columns' XOR; empty otherwise.
  int middle_ = 0;
  int right_rows_ = 0;
  int right_words_ = 0;
  int left_words_ = 0;
  std::vector<std::uint64_t> bits_;
};

// Shared-run lengths: entry [k][l] for sample haplotype k (0..2N-1) and haplotype column
// l (0..H-1): left + right run of equal alleles around the middle of the window when
// both exceed 2, else 4; -1 between a sample's own haplotypes. The whole table, for small
// windows only.
void distance_matrix(const WindowMatrix& M, int sample_haplotypes, int haplotype_columns,
                     std::vector<std::vector<int>>& distances);
