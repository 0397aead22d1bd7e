#pragma once

// The k longest shared runs of one haplotype without scoring every column. Each side of a
// 0/1 window, read outwards from the middle, sorts the columns: the columns that share at
// least d rows with a haplotype on that side lie next to it in that side's order, so walking
// outwards from its place meets them longest first. Drawing from both sides' walks until no
// column left unseen can beat the k-th best found settles a model after a few hundred
// columns instead of the whole cohort.

#include <cstdint>
#include <vector>

#include "model/model.h"

// One side of the window: each column's rows as bits outwards from the middle, the columns
// in the lexicographic order of those bits, each column's place in it, the run of equal
// rows between neighbours in the order (adjacent[i]: between order[i] and order[i + 1]) and
// the other side's bits of the columns in this order.
struct SideOrder {
  int rows = 0;
  std::vector<std::uint64_t> bits;
  std::vector<int> order;
  std::vector<int> place;
  std::vector<std::uint8_t> adjacent;
  std::vector<std::uint64_t> other;

  // Sorts the columns by `bits` (set beforehand, `rows` of them each).
  void sort_columns();
};

// Marks and candidates kept across the models of a window.
struct LongestRunsScratch {
  std::vector<std::uint32_t> mark;  // per column: seen or barred in the current selection
  std::uint32_t generation = 0;
  std::vector<std::vector<int>> levels;  // columns above the short weight, by score
  std::vector<int> row;                  // a whole row, when the walks cannot settle a selection
};

class LongestRuns {
 public:
  // The walks stop early only when k is a small share of the columns.
  static bool pays(int k, int columns) { return k >= 1 && 4 * k <= columns; }

  // Sorts the first `columns` columns of M, the first `sample_haplotypes` of them the
  // samples' (two per sample). Leaves it unready when the window is not 0/1 or a side
  // has more rows than a word holds.
  void build(const WindowMatrix& M, int sample_haplotypes, int columns);
  void clear() { ready_ = false; }
  bool ready() const { return ready_; }

  // What select_haplotypes(row, excluded, k, model) gives for sample haplotype h's row of
  // shared-run lengths (SharedRuns::row), field for field; k that does not pay takes the
  // whole row. Requires ready().
  bool select(int h, const std::vector<int>& excluded, int k, HaplotypeModel& model,
              LongestRunsScratch& scratch) const;

 private:
  int score(int h, int column) const;
  // The plain way: h's whole row, then select_haplotypes.
  bool select_from_row(int h, const std::vector<int>& excluded, int k, HaplotypeModel& model,
                       LongestRunsScratch& scratch) const;
  // Into scratch.levels, by score: every column scoring above kShortSharedRun when fewer
  // than k do, else at least the k best. Each column listed is marked `barred`.
  void longest_above_short(int h, int k, std::uint32_t seen, std::uint32_t barred,
                           LongestRunsScratch& scratch) const;

  bool ready_ = false;
  int sample_haplotypes_ = 0;
  int columns_ = 0;
  SideOrder right_;  // rows middle, middle + 1, ...
  SideOrder left_;   // rows middle - 1, middle - 2, ...
};
