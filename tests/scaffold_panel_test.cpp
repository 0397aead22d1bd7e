#include <gtest/gtest.h>

#include <sstream>

#include "io/file_formats.h"
#include "util/errors.h"

namespace {

using Rows = std::map<std::uint64_t, std::vector<std::uint8_t>>;

// Two samples: a scaffold line has 5 + 4 fields.
std::string site(std::int64_t pos, const std::string& alleles = "A C",
                 const std::string& haplotypes = "0 1 1 0") {
  return "20 rs" + std::to_string(pos) + " " + std::to_string(pos) + " " + alleles + " " +
         haplotypes + "\n";
}

ScaffoldData read_scaffold_text(const std::string& text, std::uint64_t lower, std::uint64_t upper,
                                const AlleleTable& likelihood_alleles) {
  std::istringstream in(text);
  ScaffoldSettings settings;
  settings.file_name = "scaffold.txt";
  settings.lower = lower;
  settings.upper = upper;
  settings.sample_count = 2;
  ScaffoldData scaffold;
  read_scaffold_sites(in, settings, likelihood_alleles, scaffold);
  return scaffold;
}

std::vector<std::uint64_t> keys(const SiteRows& rows) { return rows.positions(); }

std::vector<std::uint8_t> row_at(const SiteRows& rows, std::uint64_t position) {
  return rows.contains(position) ? rows.row(rows.index_of(position)) : std::vector<std::uint8_t>{};
}

std::vector<std::uint64_t> keys(const Rows& rows) {
  std::vector<std::uint64_t> result;
  for (const auto& entry : rows) result.push_back(entry.first);
  return result;
}

template <typename Read>
std::string error_of(Read read) {
  try {
    read();
  } catch (const FatalError& error) {
    return error.what();
  }
  return "";
}

}  // namespace

TEST(ScaffoldReader, MarginsClampAtZeroAndDoNotOverflow) {
  AlleleTable alleles;
  const ScaffoldData low =
      read_scaffold_text(site(0) + site(5) + site(3000000) + site(4000000), 1000, 3000000, alleles);
  EXPECT_EQ(low.range, (std::vector<std::int64_t>{0, 4000000}));
  EXPECT_EQ(keys(low.haplotypes), (std::vector<std::uint64_t>{0, 5, 3000000, 4000000}));
  EXPECT_EQ(row_at(low.haplotypes, 5), (std::vector<std::uint8_t>{0, 1, 1, 0}));

  // A site 5,000,000 before the region is kept, one position earlier is not; the
  // upper margin is computed past the 32-bit range.
  const ScaffoldData high =
      read_scaffold_text(site(2100000000 - 5000001) + site(2100000000 - 5000000) + site(2147483647),
                         2100000000, 2147483652, alleles);
  EXPECT_EQ(high.range, (std::vector<std::int64_t>{2095000000, 2148483652}));
  EXPECT_EQ(keys(high.haplotypes), (std::vector<std::uint64_t>{2095000000, 2147483647}));
}

TEST(ScaffoldReader, TwoHundredSitesAfterTheRegionThenStop) {
  // 200 sites after the region inside the margin: the first site past the margin ends reading.
  std::string text = site(1000);
  for (int pos = 1001; pos <= 1200; ++pos) text += site(pos);
  text += site(1001000) + site(1001001) + "garbage\n";
  AlleleTable alleles;
  ScaffoldData full = read_scaffold_text(text, 1000, 1000, alleles);
  EXPECT_EQ(full.haplotypes.size(), 202u);  // 1000 .. 1200 and the margin's last position
  EXPECT_EQ(full.range[1], 1001000);

  // Fewer than 200 after the region: sites far past the margin are kept one by one.
  text = site(1000) + site(1001);
  for (int i = 1; i <= 199; ++i) text += site(5000000 + i);
  text += site(6000000) + "garbage\n";
  alleles.clear();
  full = read_scaffold_text(text, 1000, 1000, alleles);
  EXPECT_EQ(full.haplotypes.size(), 201u);
  EXPECT_FALSE(full.haplotypes.contains(6000000));
  EXPECT_EQ(full.range[1], 5000199);
}

TEST(ScaffoldReader, AllelesReplacedInRangeAddedPastItFirstLineWins) {
  AlleleTable likelihoods;
  likelihoods.insert(9, "C", "G");
  likelihoods.insert(1500, "A", "C,T");
  likelihoods.insert(3000000, "G", "T");
  std::string text = site(1500, "A G", "1 1 0 0") + site(1500, "T T", "0 0 0 0") +
                     site(2000000, "C T") + site(3000000, "G A");
  // 2,000,000 and 3,000,000 lie past the margin: extra sites.
  const ScaffoldData scaffold = read_scaffold_text(text, 1000, 1000, likelihoods);
  EXPECT_EQ(scaffold.alleles.at(1500), (SiteAlleles{"A", "G"}));
  EXPECT_EQ(row_at(scaffold.haplotypes, 1500), (std::vector<std::uint8_t>{1, 1, 0, 0}));
  EXPECT_EQ(scaffold.alleles.at(2000000), (SiteAlleles{"C", "T"}));
  // The extra site keeps the likelihood record's alleles.
  EXPECT_EQ(scaffold.alleles.keys(), (std::vector<std::uint64_t>{1500, 2000000}));
  EXPECT_TRUE(scaffold.haplotypes.contains(3000000));
}

TEST(ScaffoldReader, MalformedLinesAreErrors) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"\n  \t\n" + site(10) + "20 rs\n",
       "ERROR! scaffold.txt:4: expected a position in column 3, found 2 fields"},
      {site(10) + "20 rs 11 A C 0 1 1\n",
       "ERROR! scaffold.txt:2: expected 9 fields (5 + 2 x 2 samples), found 8"},
      {"20 rs 1e3 A C 0 1 1 0\n",
       "ERROR! scaffold.txt:1: position '1e3' is not a whole number from 0 to 2147483647"},
      {site(10, "A C", "0 1 2 0"),
       "ERROR! scaffold.txt:1: haplotype value '2' in column 8 (sample 2) is not 0 or 1"},
      {site(10, "A C", "0 1 1 0.0"),
       "ERROR! scaffold.txt:1: haplotype value '0.0' in column 9 (sample 2) is not 0 or 1"},
      {site(10) + site(9),
       "ERROR! scaffold.txt:2: position 9 is below position 10 of the line before; the file must "
       "be sorted by position"},
  };
  for (const Case& c : cases) {
    AlleleTable alleles;
    EXPECT_EQ(error_of([&] { read_scaffold_text(c.text, 1, 100, alleles); }), c.message);
  }
  // A line before the range needs only its position.
  AlleleTable alleles;
  EXPECT_EQ(
      read_scaffold_text("20 rs 1\n" + site(6000000), 6000000, 6000000, alleles).haplotypes.size(),
      1u);
}

namespace {

// Scaffold sites (no haplotypes) at the given positions.
SiteRows sites_at(const std::vector<std::uint64_t>& positions) {
  SiteRows rows;
  for (const std::uint64_t p : positions) rows.append(p, {});
  return rows;
}

PanelData read_panel_text(const std::string& text, const SiteRows& scaffold,
                          const AlleleTable& likelihoods) {
  std::istringstream in(text);
  PanelData panel;
  read_reference_panel(in, "panel.txt", {100, 1000}, scaffold, likelihoods, RecordPositions(),
                       panel);
  return panel;
}

}  // namespace

TEST(PanelReader, KeepsScaffoldAndLikelihoodSitesInsideTheRange) {
  const SiteRows scaffold = sites_at({99, 100, 500, 1000, 1001});
  AlleleTable likelihoods;
  likelihoods.insert(300, "G", "C");
  const std::string text =
      "20 a 99 A C 1 1 1\n"
      "20 a 100 A C 0 1 0\n"
      "\n"
      "20 a 200 A C 1 1 1\n"  // neither scaffold nor likelihood site
      "20 a 300 G T 1 0 0\n"
      "20 a 300 G A 0 0 0\n"  // repeated: first line wins
      "20 a 1000 A C 1 1 0\n"
      "20 a 1001 A C 1 1 1\n"  // past the range: stop
      "garbage\n";
  const PanelData panel = read_panel_text(text, scaffold, likelihoods);
  EXPECT_EQ(keys(panel.haplotypes), (std::vector<std::uint64_t>{100, 300, 1000}));
  EXPECT_EQ(panel.haplotypes.at(300), (std::vector<std::uint8_t>{1, 0, 0}));
  EXPECT_EQ(panel.alleles.at(300), (SiteAlleles{"G", "T"}));
  EXPECT_EQ(panel.alleles.size(), 3u);
  EXPECT_EQ(panel.haplotype_count, 3);
  EXPECT_EQ(read_panel_text("", scaffold, likelihoods).haplotype_count, 0);
}

TEST(PanelReader, MalformedLinesAreErrors) {
  const SiteRows scaffold = sites_at({100, 200});
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"20 a 100 A C\n",
       "ERROR! panel.txt:1: expected at least 6 fields (5 + the panel haplotypes), found 5"},
      {"20 a 50 A C 0 1\n20 a 100 A C 0 1 1\n",
       "ERROR! panel.txt:2: expected 7 fields like the lines before, found 8"},
      {"20 a 100 A C 0 x\n", "ERROR! panel.txt:1: haplotype value 'x' in column 7 is not 0 or 1"},
      {"20 a -5 A C 0 1\n",
       "ERROR! panel.txt:1: position '-5' is not a whole number from 0 to 2147483647"},
      {"20 a 200 A C 0 1\n20 a 100 A C 0 1\n",
       "ERROR! panel.txt:2: position 100 is below position 200 of the line before; the file must "
       "be sorted by position"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of([&] { read_panel_text(c.text, scaffold, {}); }), c.message);
  }
}
