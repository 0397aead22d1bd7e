#include "model/anchored_copying.h"

#include <algorithm>
#include <stdexcept>

namespace {

void start_side(float* side, int count, float& total) {
  std::fill_n(side, count, 1.0F / static_cast<float>(count));
  total = 1.0F;
}

}  // namespace

bool copying_anchor(std::uint64_t position) {
  // The bits of the position well mixed (a SplitMix64 step), so anchors fall evenly
  // whatever the array's spacing.
  std::uint64_t z = position + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return z % kCopyingAnchorSpacing == 0;
}

int forward_start(const std::uint64_t* positions, int from, int limit, int reach) {
  for (int r = from; r < std::min(from + reach, limit); ++r) {
    if (copying_anchor(positions[r])) return r;
  }
  return from;
}

int backward_end(const std::uint64_t* positions, int end, int limit, int reach) {
  for (int r = end - 1; r >= std::max(end - reach, limit); --r) {
    if (copying_anchor(positions[r])) return r + 1;
  }
  return end;
}

AnchoredCopying::AnchoredCopying(std::size_t kept_bytes) : kept_bytes_(kept_bytes) {}

void AnchoredCopying::posteriors(const CopyingSources& sources, const std::uint64_t* positions,
                                 int split, const std::uint8_t* targets,
                                 const std::vector<bool>& wanted, const CopyingSettings& settings,
                                 float* posteriors) {
  if (sources.lazy() || sources.count <= 0 || split < 0 || split > sources.rows) {
    throw std::logic_error("anchored copying: lazy rows, no sources or the variant outside");
  }
  const int haplotypes = static_cast<int>(wanted.size());
  if (haplotypes != haplotypes_ || sources.count != count_ || wanted != wanted_) {
    haplotypes_ = haplotypes;
    count_ = sources.count;
    wanted_ = wanted;
    forward_valid_ = false;
    backward_rows_.clear();
  }
  const std::size_t side_size = static_cast<std::size_t>(haplotypes) * count_;
  forward_.resize(side_size);
  forward_totals_.resize(static_cast<std::size_t>(haplotypes));
  const int rows = sources.rows;
  carry_forward(sources, positions, forward_start(positions, 0, split, kCopyingAnchorReach), split,
                targets, settings);
  const int end = backward_end(positions, rows, split, kCopyingAnchorReach);
  const std::size_t kept =
      end > split ? backward_at(sources, positions, split, end, targets, settings) : 0;
  side_forward_.resize(static_cast<std::size_t>(count_));
  side_backward_.resize(static_cast<std::size_t>(count_));
  for (int h = 0; h < haplotypes; ++h) {
    if (!wanted[static_cast<std::size_t>(h)]) continue;
    const std::size_t at = static_cast<std::size_t>(h) * count_;
    std::copy_n(forward_.data() + at, count_, side_forward_.data());
    float backward_total = 1.0F;
    if (end > split) {
      std::copy_n(backward_.data() + kept * side_size + at, count_, side_backward_.data());
      backward_total = backward_totals_[kept * haplotypes + h];
    } else {
      start_side(side_backward_.data(), count_, backward_total);
    }
    copying_join(side_forward_.data(), forward_totals_[static_cast<std::size_t>(h)],
                 side_backward_.data(), backward_total, count_, settings, posteriors + at);
  }
}

void AnchoredCopying::carry_forward(const CopyingSources& sources, const std::uint64_t* positions,
                                    int start, int split, const std::uint8_t* targets,
                                    const CopyingSettings& settings) {
  bool keep = forward_valid_ && forward_from_ == positions[start];
  int next = start;
  if (keep && forward_taken_) {
    // The kept sides carry on where they stopped, a row of this window before the variant.
    const std::uint64_t* through =
        std::lower_bound(positions + start, positions + split, forward_through_);
    keep = through != positions + split && *through == forward_through_;
    next = static_cast<int>(through - positions) + 1;
  }
  if (!keep) {
    next = start;
    forward_from_ = positions[start];
    forward_taken_ = false;
    forward_valid_ = true;
  }
  for (int h = 0; h < haplotypes_; ++h) {
    if (!wanted_[static_cast<std::size_t>(h)]) continue;
    float* side = forward_.data() + static_cast<std::size_t>(h) * count_;
    float& total = forward_totals_[static_cast<std::size_t>(h)];
    if (!keep) start_side(side, count_, total);
    copying_extend(sources, next, split, targets + static_cast<std::size_t>(h) * sources.rows,
                   settings, false, side, total);
  }
  if (split > next) {
    forward_through_ = positions[split - 1];
    forward_taken_ = true;
  }
}

std::size_t AnchoredCopying::backward_at(const CopyingSources& sources,
                                         const std::uint64_t* positions, int split, int end,
                                         const std::uint8_t* targets,
                                         const CopyingSettings& settings) {
  if (backward_from_ == positions[end - 1]) {
    const auto at = std::find(backward_rows_.begin(), backward_rows_.end(), positions[split]);
    if (at != backward_rows_.end()) return static_cast<std::size_t>(at - backward_rows_.begin());
  }
  // The sides at the variant's row and at the next rows, as far as the bytes allow: the
  // windows to come that end at the same anchor read them.
  const std::size_t side_size = static_cast<std::size_t>(haplotypes_) * count_;
  const std::size_t affordable =
      std::max<std::size_t>(1, kept_bytes_ / (side_size * sizeof(float)));
  const int kept = static_cast<int>(
      std::min<std::size_t>({affordable, static_cast<std::size_t>(kCopyingAnchorReach),
                             static_cast<std::size_t>(end - split)}));
  backward_from_ = positions[end - 1];
  backward_rows_.assign(positions + split, positions + split + kept);
  backward_.resize(static_cast<std::size_t>(kept) * side_size);
  backward_totals_.resize(static_cast<std::size_t>(kept) * haplotypes_);
  for (int h = 0; h < haplotypes_; ++h) {
    if (!wanted_[static_cast<std::size_t>(h)]) continue;
    const std::uint8_t* target = targets + static_cast<std::size_t>(h) * sources.rows;
    const std::size_t at = static_cast<std::size_t>(h) * count_;
    float* side = backward_.data() + static_cast<std::size_t>(kept - 1) * side_size + at;
    float total = 1.0F;
    start_side(side, count_, total);
    copying_extend(sources, split + kept - 1, end, target, settings, true, side, total);
    backward_totals_[static_cast<std::size_t>(kept - 1) * haplotypes_ + h] = total;
    for (int k = kept - 2; k >= 0; --k) {
      float* below = backward_.data() + static_cast<std::size_t>(k) * side_size + at;
      std::copy_n(side, count_, below);
      copying_extend(sources, split + k, split + k + 1, target, settings, true, below, total);
      backward_totals_[static_cast<std::size_t>(k) * haplotypes_ + h] = total;
      side = below;
    }
  }
  return 0;
}
