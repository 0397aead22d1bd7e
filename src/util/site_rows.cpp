#include "util/site_rows.h"

#include <algorithm>
#include <stdexcept>

bool SiteRows::append(std::uint64_t position, const std::vector<std::uint8_t>& row) {
  if (row.size() != width_) throw std::logic_error("SiteRows::append: row of another width");
  if (!positions_.empty() && position <= positions_.back()) return false;
  positions_.push_back(position);
  bits_.resize(bits_.size() + stride_, 0);
  std::uint8_t* out = bits_.data() + bits_.size() - stride_;
  for (std::size_t c = 0; c < width_; ++c) {
    if (row[c] != 0) out[c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
  }
  return true;
}

std::size_t SiteRows::index_of(std::uint64_t position) const {
  const auto it = std::lower_bound(positions_.begin(), positions_.end(), position);
  return it != positions_.end() && *it == position
             ? static_cast<std::size_t>(it - positions_.begin())
             : npos;
}

std::vector<std::uint8_t> SiteRows::row(std::size_t site) const {
  std::vector<std::uint8_t> values(width_);
  for (std::size_t c = 0; c < width_; ++c) values[c] = static_cast<std::uint8_t>(allele(site, c));
  return values;
}

void SiteRows::shrink_to_fit() {
  positions_.shrink_to_fit();
  bits_.shrink_to_fit();
}
