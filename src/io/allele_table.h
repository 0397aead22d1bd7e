#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// REF and ALT of one site, viewed in the table that holds them: valid while the table is
// not changed.
struct SiteAlleles {
  std::string_view ref;
  std::string_view alt;  // every ALT allele, comma-separated

  // REF plus every comma-separated ALT allele.
  int count() const;
};
bool operator==(const SiteAlleles& a, const SiteAlleles& b);
bool operator!=(const SiteAlleles& a, const SiteAlleles& b);

// REF and ALT of sites by key (position, or the record's key for likelihood records): sorted keys
// and one flat text. A site costs 17 bytes beyond its alleles, where a map of string
// vectors took hundreds, so the tables of a region barely add to the run's memory.
class AlleleTable {
 public:
  // Adds the site unless its key is in the table already: the first entry wins. Keys
  // arrive in ascending order from the readers and are appended; others are put in place.
  bool insert(std::uint64_t key, std::string_view ref, std::string_view alt);
  bool contains(std::uint64_t key) const;
  std::optional<SiteAlleles> find(std::uint64_t key) const;
  // Throws std::out_of_range when the key is not in the table.
  SiteAlleles at(std::uint64_t key) const;
  const std::vector<std::uint64_t>& keys() const { return keys_; }
  std::size_t size() const { return keys_.size(); }
  bool empty() const { return keys_.empty(); }
  // Keeps the storage for the next sites.
  void clear();
  // Drops the spare room left by growth, for a table kept through the run.
  void shrink_to_fit();

 private:
  SiteAlleles site(std::size_t index) const;

  std::vector<std::uint64_t> keys_;  // ascending
  // Site i is text_[bounds_[i], bounds_[i + 1]): its REF, a tab, its ALT.
  std::vector<std::uint64_t> bounds_{0};
  std::string text_;
};
