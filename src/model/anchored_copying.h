#pragma once

// The copying chain's sides shared by neighbouring windows. A window's forward side starts
// at its first anchor site near its left end rather than at the end itself, and its
// backward side at its last anchor near its right end: windows that start their sides at
// the same anchor then carry one forward side on from the last window's variant, and read
// the backward side at their variant from a few kept at the last backward pass. Anchors are
// array sites picked by their position alone, so every run that holds a window starts its
// sides at the same sites and gets the same posteriors.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/copying_prior.h"

// Whether the array site at position is an anchor: about one site in kCopyingAnchorSpacing.
constexpr int kCopyingAnchorSpacing = 8;
// A side starts at most this many rows in from the window's end: it loses no more than
// that of the window's sites, and most windows lose a few.
constexpr int kCopyingAnchorReach = 2 * kCopyingAnchorSpacing;
bool copying_anchor(std::uint64_t position);

// Where a side starts: forward, the first anchor row among [from, from + reach) before
// limit, else from; backward, one past the last anchor row among [end - reach, end) at or
// past limit, else end.
int forward_start(const std::uint64_t* positions, int from, int limit, int reach);
int backward_end(const std::uint64_t* positions, int end, int limit, int reach);

class AnchoredCopying {
 public:
  // kept_bytes bounds the backward sides kept for the windows to come.
  explicit AnchoredCopying(std::size_t kept_bytes);

  // The posteriors (haplotypes x sources.count, rows not wanted left alone) at the variant
  // between rows split - 1 and split of a window of whole rows, whose rows are consecutive
  // array sites at positions. targets: per haplotype, its alleles at the rows (haplotypes x
  // rows). The same settings on every call, the same sources at the same positions.
  void posteriors(const CopyingSources& sources, const std::uint64_t* positions, int split,
                  const std::uint8_t* targets, const std::vector<bool>& wanted,
                  const CopyingSettings& settings, float* posteriors);

 private:
  void carry_forward(const CopyingSources& sources, const std::uint64_t* positions, int start,
                     int split, const std::uint8_t* targets, const CopyingSettings& settings);
  // The index among the kept backward sides of the one at row split, run anew over rows
  // [split, end) when none is kept.
  std::size_t backward_at(const CopyingSources& sources, const std::uint64_t* positions, int split,
                          int end, const std::uint8_t* targets, const CopyingSettings& settings);

  std::size_t kept_bytes_;
  int haplotypes_ = 0;
  int count_ = 0;
  std::vector<bool> wanted_;
  // Forward sides (haplotypes x count) from the row at forward_from_ through the row at
  // forward_through_, when forward_taken_; none yet taken otherwise.
  std::uint64_t forward_from_ = 0;
  std::uint64_t forward_through_ = 0;
  bool forward_valid_ = false;
  bool forward_taken_ = false;
  std::vector<float> forward_;
  std::vector<float> forward_totals_;
  // Backward sides from the row at backward_from_ down to the rows at backward_rows_ (the
  // k-th kept at backward_[k * haplotypes x count]).
  std::uint64_t backward_from_ = 0;
  std::vector<std::uint64_t> backward_rows_;
  std::vector<float> backward_;
  std::vector<float> backward_totals_;
  std::vector<float> side_forward_;
  std::vector<float> side_backward_;
};
