#pragma once

#include <cstdint>
#include <utility>
#include <vector>

// Each likelihood record is stored under its own key, one per record, ascending in file
// order: its POS, or one past the key before it when that one has reached POS (records
// that share a position, and the records they push along). The key seeds the record's
// random stream, so it is a function of the file alone; the few keys that differ from
// their record's POS are listed here, so that every record is written at its own POS.
class RecordPositions {
 public:
  // The key of the next record, at pos (ascending); keep: list it when it moves.
  std::uint64_t assign(std::uint64_t pos, bool keep);
  // Starts again, as if no record had been read.
  void restart();

  // The POS of the record stored under key.
  std::uint64_t position_of(std::uint64_t key) const;
  bool moved(std::uint64_t key) const { return position_of(key) != key; }
  // The keys of the records at pos, ascending; keys: every record's key, ascending.
  std::vector<std::uint64_t> keys_at(std::uint64_t pos,
                                     const std::vector<std::uint64_t>& keys) const;
  // Whether no earlier record shares this record's POS.
  bool first_at_position(std::uint64_t key, const std::vector<std::uint64_t>& keys) const;
  std::size_t moved_count() const { return moved_.size(); }
  void shrink_to_fit() { moved_.shrink_to_fit(); }

 private:
  bool any_ = false;
  std::uint64_t last_key_ = 0;
  // (key, POS) of the kept records whose key is not their POS: ascending in both.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> moved_;
};
