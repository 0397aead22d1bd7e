#include <gtest/gtest.h>

#include <sstream>

#include "io/file_formats.h"
#include "util/errors.h"

namespace {

template <typename Read>
std::string error_of(Read read) {
  try {
    read();
  } catch (const FatalError& error) {
    return error.what();
  }
  return "";
}

const std::vector<std::string> kSamples = {"C", "F", "M", "D", "X"};

PedigreeRows units(const std::string& text, PedigreeCounts* counts_out = nullptr) {
  std::istringstream in(text);
  PedigreeCounts counts;
  PedigreeRows rows = read_pedigree_units(in, "fam.ped", kSamples, counts);
  if (counts_out != nullptr) *counts_out = counts;
  return rows;
}

}  // namespace

TEST(SettleK, DefaultAndBounds) {
  std::ostringstream out;
  EXPECT_EQ(settle_k(4, false, 0, out), 6);
  EXPECT_EQ(settle_k(4, true, 6, out), 6);
  EXPECT_EQ(settle_k(4, true, 2, out), 2);
  EXPECT_EQ(settle_k(4, true, kAllHaplotypes, out), 6);
  // A large cohort's default stops at the cap; --k all and an explicit k pass it.
  const int large = kDefaultHaplotypeCap;
  EXPECT_EQ(settle_k(large, false, 0, out), kDefaultHaplotypeCap);
  EXPECT_EQ(settle_k(large, true, kAllHaplotypes, out), 2 * large - 2);
  EXPECT_EQ(settle_k(large, true, kDefaultHaplotypeCap + 1, out), kDefaultHaplotypeCap + 1);
  EXPECT_EQ(settle_k(kDefaultHaplotypeCap / 2 + 1, false, 0, out), kDefaultHaplotypeCap);
  EXPECT_EQ(settle_k(kDefaultHaplotypeCap / 2, false, 0, out), kDefaultHaplotypeCap - 2);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(error_of([&] { settle_k(4, true, 7, out); }),
            "ERROR! --k 7 is greater than the maximum 2N - 2 = 6 for 4 samples");
  EXPECT_EQ(out.str(), " k value greater than maximum \n");
  EXPECT_EQ(error_of([&] { settle_k(4, true, 1, out); }), "ERROR! --k must be at least 2, got 1");
  EXPECT_EQ(error_of([&] { settle_k(4, true, -3, out); }), "ERROR! --k must be at least 2, got -3");
}

TEST(PedigreeReader, NoFileGivesOneUnitPerSample) {
  EXPECT_EQ(single_sample_units(3),
            (PedigreeRows{{1, 1, 0, 0, 0}, {1, 2, 0, 0, 0}, {1, 3, 0, 0, 0}}));
}

TEST(PedigreeReader, TrioDropsParentRowsAndUnnamedSamplesGetUnits) {
  // Sex and phenotype columns (1, 2) never name members.
  const PedigreeRows rows = units(
      "fam F 0 0 1 2\n"
      "fam M -9 -9 2 1\n"
      "\n"
      "fam C F M 1 2\r\n");
  EXPECT_EQ(rows, (PedigreeRows{{3, 1, 2, 3, 0}, {1, 4, 0, 0, 0}, {1, 5, 0, 0, 0}}));
}

TEST(PedigreeReader, DuosKeepTheParentSlotOfItsColumn) {
  EXPECT_EQ(units("f C 0 M\nf D F -9 0 -9\n"),
            (PedigreeRows{{2, 1, 0, 3, 0}, {2, 4, 2, 0, 0}, {1, 5, 0, 0, 0}}));
  // A parent who is a child of a further pair keeps its own unit as well.
  EXPECT_EQ(units("f C F M\nf F D X\n"), (PedigreeRows{{3, 1, 2, 3, 0}, {3, 2, 4, 5, 0}}));
}

TEST(PedigreeReader, PeopleNotSequencedAreMissingOrSkipped) {
  PedigreeCounts counts;
  // Z is not in the sample list: C's trio becomes a duo, Q's line is skipped.
  const PedigreeRows rows = units("f C F Z\nf Q F M\nf D Z Z2\n", &counts);
  EXPECT_EQ(rows,
            (PedigreeRows{{2, 1, 2, 0, 0}, {1, 4, 0, 0, 0}, {1, 3, 0, 0, 0}, {1, 5, 0, 0, 0}}));
  EXPECT_EQ(counts.skipped_lines, 1);
  EXPECT_EQ(counts.missing_parents, 3);
}

TEST(PedigreeReader, MalformedLinesAreErrors) {
  EXPECT_EQ(
      error_of([] { units("f C F M\nf D F\n"); }),
      "ERROR! fam.ped:2: expected at least 4 fields (family, individual, two parents), found 3");
  EXPECT_EQ(error_of([] { units("f C F F\n"); }), "ERROR! fam.ped:1: sample 'F' is named twice");
  EXPECT_EQ(error_of([] { units("f C C 0\n"); }), "ERROR! fam.ped:1: sample 'C' is named twice");
  EXPECT_EQ(error_of([] { units("f 0 F M\n"); }),
            "ERROR! fam.ped:1: no individual named in column 2 ('0')");
}

TEST(PedigreeReader, PedigreesThatCannotBeAreErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"f C F M\nf C F M\n",
       "ERROR! fam.ped:2: individual 'C' is already on line 1 (a repeated line)"},
      {"f C F M\ng C D X\n",
       "ERROR! fam.ped:2: individual 'C' is already on line 1 with other parents (a child in two "
       "families)"},
      {"f C F M\nf F C 0\n", "its own ancestor"},
      {"f C F M\nf F D 0\nf D X 0\nf X C 0\n", "its own ancestor"},
  };
  for (const auto& [text, error] : cases) {
    EXPECT_NE(error_of([&] { units(text); }).find(error), std::string::npos) << text;
  }
  EXPECT_EQ(error_of([] { units("f C F M\nf F D 0\nf M D 0\n"); }), "");  // a shared grandparent
}

namespace {

std::map<std::uint64_t, std::vector<int>> initial(const std::string& text,
                                                  std::uint64_t lower = 100,
                                                  std::uint64_t upper = 200) {
  std::istringstream in(text);
  InitialSettings settings;
  settings.file_name = "init.vcf";
  settings.lower = lower;
  settings.upper = upper;
  settings.sample_count = 2;
  std::map<std::uint64_t, std::vector<int>> genotypes;
  read_initial_genotypes(in, settings, genotypes);
  return genotypes;
}

std::string line(const std::string& pos, const std::string& alt, const std::string& format,
                 const std::string& s1, const std::string& s2) {
  return "20\t" + pos + "\t.\tA\t" + alt + "\t.\t.\t.\t" + format + "\t" + s1 + "\t" + s2 + "\n";
}

}  // namespace

TEST(InitialReader, PhasedGenotypesOfTheRegionFirstLineWins) {
  const std::string text =
      "##fileformat=VCFv4.2\n#CHROM\tPOS\n" +
      line("99", "C", "GT", "x", "x") +  // before the region: not read
      line("100", "C,T", "GT:DP", "1|0:3", "2|2:1") + line("150", ".", "GT", "0|1", "0|1") +
      line("150", "C", "DP:GT", "5:0|1", "7:1|1") + line("150", "C", "GT", "1|1", "1|1") +
      line("201", "C", "GT", "1|1", "1|1") +
      "20\t180\t.\tA\tG\t.\t.\t.\tGT:GT\t0|0:1|0\t1|1:0|1\textra\n";
  const auto genotypes = initial(text);
  ASSERT_EQ(genotypes.size(), 3u);
  EXPECT_EQ(genotypes.at(100), (std::vector<int>{1, 0, 2, 2}));
  EXPECT_EQ(genotypes.at(150), (std::vector<int>{0, 1, 1, 1}));
  EXPECT_EQ(genotypes.at(180), (std::vector<int>{1, 0, 0, 1}));  // the last GT key counts
}

// The calls the copying prior follows: one byte per haplotype, kept where the caller wants
// them, alleles above 1 unknown, and 1 - AVGPOST per sample where the record has it.
TEST(InitialReader, CalledHaplotypesAsBytesWhereKept) {
  const std::string text = "#CHROM\tPOS\n" + line("100", "C,T", "GT", "1|0", "2|0") +
                           line("120", "C", "GT", "1|1", "0|1") +
                           line("150", "C", "GT:AVGPOST", "0|1:0.75", "1|0:.") +
                           line("150", "T", "GT", "1|1", "1|1");
  InitialSettings settings;
  settings.file_name = "calls.vcf";
  settings.lower = 100;
  settings.upper = 200;
  settings.sample_count = 2;
  std::map<std::uint64_t, CalledSite> calls;
  std::istringstream in(text);
  read_called_haplotypes(
      in, settings, [](std::uint64_t pos) { return pos != 120; }, calls);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls.at(100).alleles, (std::vector<std::uint8_t>{1, 0, kUnknownCalledAllele, 0}));
  EXPECT_TRUE(calls.at(100).doubt.empty());
  EXPECT_EQ(calls.at(150).alleles, (std::vector<std::uint8_t>{0, 1, 1, 0}));  // first line wins
  EXPECT_EQ(calls.at(150).doubt, (std::vector<float>{0.25F, 1.0F}));          // '.' is no trust
  for (const std::string bad : {"1.5", "x", "nan"}) {
    std::istringstream wrong("#CHROM\n" + line("110", "C", "GT:AVGPOST", "0|1:0.9", "0|0:" + bad));
    calls.clear();
    try {
      read_called_haplotypes(
          wrong, settings, [](std::uint64_t) { return true; }, calls);
      ADD_FAILURE() << bad;
    } catch (const FatalError& e) {
      EXPECT_EQ(std::string(e.what()), "ERROR! calls.vcf:2: AVGPOST '" + bad +
                                           "' of sample 2 (column 11) is not a number from 0 to 1");
    }
  }
}

TEST(InitialReader, MalformedLinesAreErrors) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string not_phased =
      "' of sample 2 (column 11) is not two allele numbers joined by '|'";
  const std::vector<Case> cases = {
      {line("150", "C", "GT", "0|1", "0/1"), "ERROR! init.vcf:1: genotype '0/1" + not_phased},
      {line("150", "C", "GT", "0|1", "1"), "ERROR! init.vcf:1: genotype '1" + not_phased},
      {line("150", "C", "GT", "0|1", "1|-1"), "ERROR! init.vcf:1: genotype '1|-1" + not_phased},
      {line("150", "C", "GT", "0|1", "1|0|1"), "ERROR! init.vcf:1: genotype '1|0|1" + not_phased},
      {line("150", "C", "DP:GT", "3:0|1", "3"), "ERROR! init.vcf:1: genotype '" + not_phased},
      {line("150", "C", "DP", "3", "3"), "ERROR! init.vcf:1: FORMAT 'DP' has no GT key"},
      {"20\t150\t.\tA\tC\t.\t.\t.\tGT\t0|1\n",
       "ERROR! init.vcf:1: expected at least 11 tab-separated fields (9 + 2 samples), found 10"},
      {line("15o", "C", "GT", "0|1", "0|1"),
       "ERROR! init.vcf:1: POS '15o' is not a whole number from 1 to 2147483647"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of([&] { initial(c.text); }), c.message);
}
