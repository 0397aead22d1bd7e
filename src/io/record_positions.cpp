#include "io/record_positions.h"

#include <algorithm>

std::uint64_t RecordPositions::assign(std::uint64_t pos, bool keep) {
  const std::uint64_t key = any_ && last_key_ >= pos ? last_key_ + 1 : pos;
  any_ = true;
  last_key_ = key;
  if (keep && key != pos) moved_.emplace_back(key, pos);
  return key;
}

void RecordPositions::restart() {
  any_ = false;
  last_key_ = 0;
  moved_.clear();
}

std::uint64_t RecordPositions::position_of(std::uint64_t key) const {
  const auto it =
      std::lower_bound(moved_.begin(), moved_.end(), key,
                       [](const auto& entry, std::uint64_t k) { return entry.first < k; });
  return it != moved_.end() && it->first == key ? it->second : key;
}

std::vector<std::uint64_t> RecordPositions::keys_at(std::uint64_t pos,
                                                    const std::vector<std::uint64_t>& keys) const {
  std::vector<std::uint64_t> found;
  // A record at pos under its own POS comes first: any other at pos was pushed past it.
  if (std::binary_search(keys.begin(), keys.end(), pos) && !moved(pos)) found.push_back(pos);
  auto it = std::lower_bound(moved_.begin(), moved_.end(), pos,
                             [](const auto& entry, std::uint64_t p) { return entry.second < p; });
  for (; it != moved_.end() && it->second == pos; ++it) found.push_back(it->first);
  return found;
}

bool RecordPositions::first_at_position(std::uint64_t key,
                                        const std::vector<std::uint64_t>& keys) const {
  const std::uint64_t pos = position_of(key);
  if (pos == key) return true;
  const std::vector<std::uint64_t> at = keys_at(pos, keys);
  return !at.empty() && at.front() == key;
}
