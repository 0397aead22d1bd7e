#include "io/allele_table.h"

#include <algorithm>
#include <stdexcept>

int SiteAlleles::count() const {
  return static_cast<int>(std::count(alt.begin(), alt.end(), ',')) + 2;
}

bool operator==(const SiteAlleles& a, const SiteAlleles& b) {
  return a.ref == b.ref && a.alt == b.alt;
}

bool operator!=(const SiteAlleles& a, const SiteAlleles& b) { return !(a == b); }

bool AlleleTable::insert(std::uint64_t key, std::string_view ref, std::string_view alt) {
  // A tab cannot occur in a tab-separated field, so it marks where REF ends.
  if (keys_.empty() || key > keys_.back()) {
    keys_.push_back(key);
    text_.append(ref).append(1, '\t').append(alt);
    bounds_.push_back(text_.size());
    return true;
  }
  const auto place = std::lower_bound(keys_.begin(), keys_.end(), key);
  if (*place == key) return false;
  // The sites from here on move up by this site's text.
  const std::size_t index = static_cast<std::size_t>(place - keys_.begin());
  const std::uint64_t begin = bounds_[index];
  keys_.insert(place, key);
  text_.insert(begin, std::string(ref).append(1, '\t').append(alt));
  const std::uint64_t added = ref.size() + 1 + alt.size();
  for (std::size_t b = index; b < bounds_.size(); ++b) bounds_[b] += added;
  bounds_.insert(bounds_.begin() + static_cast<std::ptrdiff_t>(index), begin);
  return true;
}

bool AlleleTable::contains(std::uint64_t key) const {
  return std::binary_search(keys_.begin(), keys_.end(), key);
}

std::optional<SiteAlleles> AlleleTable::find(std::uint64_t key) const {
  const auto place = std::lower_bound(keys_.begin(), keys_.end(), key);
  if (place == keys_.end() || *place != key) return std::nullopt;
  return site(static_cast<std::size_t>(place - keys_.begin()));
}

SiteAlleles AlleleTable::at(std::uint64_t key) const {
  const std::optional<SiteAlleles> found = find(key);
  if (!found) throw std::out_of_range("AlleleTable::at: no site " + std::to_string(key));
  return *found;
}

void AlleleTable::clear() {
  keys_.clear();
  bounds_.assign(1, 0);
  text_.clear();
}

void AlleleTable::shrink_to_fit() {
  keys_.shrink_to_fit();
  bounds_.shrink_to_fit();
  text_.shrink_to_fit();
}

SiteAlleles AlleleTable::site(std::size_t index) const {
  const std::string_view text =
      std::string_view(text_).substr(bounds_[index], bounds_[index + 1] - bounds_[index]);
  const std::size_t tab = text.find('\t');
  return {text.substr(0, tab), text.substr(tab + 1)};
}
