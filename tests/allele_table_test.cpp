#include "io/allele_table.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Site {
  std::uint64_t key;
  std::string ref;
  std::string alt;
};

}  // namespace

TEST(AlleleTable, LooksUpTheFirstEntryOfEachKeyWhateverTheOrder) {
  const std::vector<std::vector<Site>> cases = {
      {{5, "A", "C"}, {9, "GT", "G,GTT"}, {12, "", ""}},
      {{12, "C", "T"}, {5, "A", "C"}, {9, "GT", "G"}, {7, "TTT", "A"}},
      {{9, "G", "A"}, {9, "T", "C"}, {3, "C", "G,T"}, {9, "A", "A"}, {3, "A", "A"}},
      {{1, "A", "C"}, {0, "G", "T"}, {0, "C", "C"}, {2, "ACGT", "A"}},
  };
  for (const std::vector<Site>& sites : cases) {
    AlleleTable table;
    std::map<std::uint64_t, std::pair<std::string, std::string>> expected;
    for (const Site& s : sites) {
      const bool added = expected.emplace(s.key, std::make_pair(s.ref, s.alt)).second;
      EXPECT_EQ(table.insert(s.key, s.ref, s.alt), added) << s.key;
    }
    ASSERT_EQ(table.size(), expected.size());
    std::vector<std::uint64_t> keys;
    for (const auto& [key, alleles] : expected) {
      keys.push_back(key);
      EXPECT_EQ(table.at(key), (SiteAlleles{alleles.first, alleles.second})) << key;
      EXPECT_NE(table.at(key), (SiteAlleles{alleles.first, alleles.second + "X"})) << key;
      EXPECT_FALSE(table.contains(key + 1000));
      EXPECT_FALSE(table.find(key + 1000));
    }
    EXPECT_EQ(table.keys(), keys);
    EXPECT_THROW(table.at(4), std::out_of_range);
    table.clear();
    EXPECT_TRUE(table.empty());
    EXPECT_FALSE(table.find(sites.front().key));
  }
}

TEST(AlleleTable, CountsRefAndEveryAltAllele) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"C", 2}, {"C,T", 3}, {"C,T,<DEL>", 4}, {",", 3}};
  for (const auto& [alt, count] : cases) EXPECT_EQ((SiteAlleles{"A", alt}.count()), count) << alt;
}
