#include "model/longest_runs.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "model/model_window.h"

namespace {

constexpr int kWordRows = 64;

// Bit i moved to bit 63 - i: the outward-first rows become the most significant, so
// comparing the reversed words compares the rows lexicographically.
std::uint64_t reversed(std::uint64_t x) {
  x = (x >> 1 & 0x5555555555555555ULL) | (x & 0x5555555555555555ULL) << 1;
  x = (x >> 2 & 0x3333333333333333ULL) | (x & 0x3333333333333333ULL) << 2;
  x = (x >> 4 & 0x0F0F0F0F0F0F0F0FULL) | (x & 0x0F0F0F0F0F0F0F0FULL) << 4;
  return __builtin_bswap64(x);
}

// Rows equal from the first bit on: the trailing zeros of the XOR.
int equal_run(std::uint64_t x, std::uint64_t y, int rows) {
  const std::uint64_t differ = x ^ y;
  return differ == 0 ? rows : __builtin_ctzll(differ);
}

// The places of a side's order outwards from one place, longest run with it first: the run
// with a column further off is the least run between neighbours on the way there.
class Walk {
 public:
  Walk(const SideOrder& side, int place) : side_(side), up_(place + 1), down_(place - 1) {
    const int n = static_cast<int>(side.order.size());
    up_run_ = up_ < n ? side.adjacent[place] : -1;
    down_run_ = down_ >= 0 ? side.adjacent[down_] : -1;
  }
  // The run with the next column, -1 when none is left.
  int next_run() const { return std::max(up_run_, down_run_); }
  // The next place, its run into `run`. Requires next_run() >= 0.
  int next(int& run) {
    if (up_run_ >= down_run_) {
      run = up_run_;
      const int place = up_++;
      const bool more = up_ < static_cast<int>(side_.order.size());
      up_run_ = more ? std::min<int>(up_run_, side_.adjacent[place]) : -1;
      return place;
    }
    run = down_run_;
    const int place = down_--;
    down_run_ = down_ >= 0 ? std::min<int>(down_run_, side_.adjacent[down_]) : -1;
    return place;
  }

 private:
  const SideOrder& side_;
  int up_;
  int down_;
  int up_run_;
  int down_run_;
};

}  // namespace

void SideOrder::sort_columns() {
  const int n = static_cast<int>(bits.size());
  std::vector<std::pair<std::uint64_t, int>> keyed(static_cast<std::size_t>(n));
  for (int c = 0; c < n; ++c) keyed[c] = {reversed(bits[c]), c};
  std::sort(keyed.begin(), keyed.end());
  order.resize(static_cast<std::size_t>(n));
  place.resize(static_cast<std::size_t>(n));
  adjacent.assign(static_cast<std::size_t>(std::max(n - 1, 0)), 0);
  for (int i = 0; i < n; ++i) {
    order[i] = keyed[i].second;
    place[order[i]] = i;
    if (i == 0) continue;
    adjacent[i - 1] =
        static_cast<std::uint8_t>(equal_run(bits[order[i - 1]], bits[order[i]], rows));
  }
}

void LongestRuns::build(const WindowMatrix& M, int sample_haplotypes, int columns) {
  const int rows = static_cast<int>(M.rows()) - 1;
  const int middle = rows / 2;
  ready_ = rows - middle <= kWordRows && binary_window(M, columns);
  if (!ready_) return;
  sample_haplotypes_ = sample_haplotypes;
  columns_ = columns;
  right_.rows = rows - middle;
  left_.rows = middle;
  right_.bits.assign(static_cast<std::size_t>(columns), 0);
  left_.bits.assign(static_cast<std::size_t>(columns), 0);
  for (int c = 0; c < columns; ++c) {
    const double* x = M.col(c).data();
    for (int i = 0; i < right_.rows; ++i) {
      if (x[middle + i] != 0.0) right_.bits[c] |= std::uint64_t{1} << i;
    }
    for (int i = 0; i < left_.rows; ++i) {
      if (x[middle - 1 - i] != 0.0) left_.bits[c] |= std::uint64_t{1} << i;
    }
  }
  right_.sort_columns();
  left_.sort_columns();
  // A walk reads its columns' other side in its own order, not all over memory.
  right_.other.resize(static_cast<std::size_t>(columns));
  left_.other.resize(static_cast<std::size_t>(columns));
  for (int i = 0; i < columns; ++i) {
    right_.other[i] = left_.bits[right_.order[i]];
    left_.other[i] = right_.bits[left_.order[i]];
  }
}

int LongestRuns::score(int h, int column) const {
  return scored_run(equal_run(right_.bits[h], right_.bits[column], right_.rows),
                    equal_run(left_.bits[h], left_.bits[column], left_.rows));
}

void LongestRuns::longest_above_short(int h, int k, std::uint32_t seen, std::uint32_t barred,
                                      LongestRunsScratch& scratch) const {
  // One list per score: no heap to keep, and the lists above a score count what beats it.
  std::vector<std::vector<int>>& levels = scratch.levels;
  levels.resize(static_cast<std::size_t>(right_.rows + left_.rows + 1));
  for (std::vector<int>& level : levels) level.clear();
  int counted_from = static_cast<int>(levels.size());  // `above` sums the lists from here up
  int above = 0;
  Walk right(right_, right_.place[h]);
  Walk left(left_, left_.place[h]);
  bool from_right = true;
  for (;;) {
    // No column either walk has yet to meet scores above this; an equal score may still
    // belong to a lower column, so only k columns strictly above it settle the choice.
    const int bound = scored_run(right.next_run(), left.next_run());
    if (bound <= kShortSharedRun) break;
    for (; counted_from > bound + 1; --counted_from) {
      above += static_cast<int>(levels[counted_from - 1].size());
    }
    if (above >= k) break;
    const SideOrder& side = from_right ? right_ : left_;
    const SideOrder& other = from_right ? left_ : right_;
    int run;
    const int place = from_right ? right.next(run) : left.next(run);
    from_right = !from_right;
    const int column = side.order[place];
    if (scratch.mark[column] >= seen) continue;
    const int s = scored_run(run, equal_run(other.bits[h], side.other[place], other.rows));
    if (s <= kShortSharedRun) {
      scratch.mark[column] = seen;
      continue;
    }
    scratch.mark[column] = barred;
    levels[s].push_back(column);
    if (s >= counted_from) ++above;
  }
}

bool LongestRuns::select(int h, const std::vector<int>& excluded, int k, HaplotypeModel& model,
                         LongestRunsScratch& scratch) const {
  if (!pays(k, columns_)) return select_from_row(h, excluded, k, model, scratch);
  std::vector<std::uint32_t>& mark = scratch.mark;
  if (mark.size() != static_cast<std::size_t>(columns_) ||
      scratch.generation > std::numeric_limits<std::uint32_t>::max() - 2) {
    mark.assign(static_cast<std::size_t>(columns_), 0);
    scratch.generation = 0;
  }
  const std::uint32_t seen = scratch.generation + 1;
  const std::uint32_t barred = scratch.generation + 2;
  scratch.generation = barred;
  // The sample's own columns and the excluded never score; marked first, no walk scores them.
  const int own = h < sample_haplotypes_ ? h - h % 2 : -1;
  if (own >= 0) {
    mark[own] = barred;
    if (own + 1 < columns_) mark[own + 1] = barred;
  }
  for (const int column : excluded) {
    if (column >= 0 && column < columns_) mark[column] = barred;
  }
  longest_above_short(h, k, seen, barred, scratch);
  model.selected.resize(static_cast<std::size_t>(k));
  model.lengths.resize(static_cast<std::size_t>(k));
  int taken = 0;
  for (int score = static_cast<int>(scratch.levels.size()) - 1; score >= 0 && taken < k; --score) {
    std::vector<int>& level = scratch.levels[score];
    std::sort(level.begin(), level.end());
    for (auto c = level.begin(); c != level.end() && taken < k; ++c) {
      model.selected[taken] = *c;
      model.lengths[taken++] = score;
    }
  }
  // Fewer than k above the short weight: every other column not barred scores it, and
  // the lower columns come first.
  for (int c = 0; c < columns_ && taken < k; ++c) {
    if (mark[c] == barred) continue;
    model.selected[taken] = c;
    model.lengths[taken++] = kShortSharedRun;
  }
  if (taken == k) return weigh_selected(model);
  // Excluded columns (at 0) would be needed.
  return select_from_row(h, excluded, k, model, scratch);
}

bool LongestRuns::select_from_row(int h, const std::vector<int>& excluded, int k,
                                  HaplotypeModel& model, LongestRunsScratch& scratch) const {
  std::vector<int>& row = scratch.row;
  row.resize(static_cast<std::size_t>(columns_));
  for (int c = 0; c < columns_; ++c) row[c] = score(h, c);
  if (h < sample_haplotypes_) {
    const int own = h - h % 2;
    row[own] = -1;
    if (own + 1 < columns_) row[own + 1] = -1;
  }
  return select_haplotypes(row, excluded, k, model);
}
