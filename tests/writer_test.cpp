#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "io/file_formats.h"
#include "util/errors.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

Results two_sites() {
  Results results;
  results[1000] = Answer{"A", "G", {0.3, 0.1, 0.3, 0.3, 0.25, 0.5, 0.125, 0.125}, 4};
  std::vector<double> tri(18, 0.0);
  tri[5] = 0.7;  // sample 1: 2|0
  tri[4] = 0.2;
  tri[0] = 0.1;
  // sample 2 never updated: all zero
  results[2000] = Answer{"C", "T,G", tri, 9};
  return results;
}

}  // namespace

TEST(CalledVcf, HeaderRecordsAndPl) {
  Results results = two_sites();
  results[2000].typed = true;
  std::map<std::uint64_t, std::vector<double>> pls = {
      {1000, {0, 3.4, 12345.5, 20, 0.5, 7}}, {2000, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}};
  std::map<std::uint64_t, std::vector<std::string>> alleles = {{1000, {"A", "G"}},
                                                               {2000, {"C", "T,G"}}};
  std::ostringstream out;
  write_called_vcf(out, results, {"S1", "S2"}, "chr20", PlSource{&pls, &alleles},
                   VcfProvenance{"dorsane --o 'a b.vcf'", {"ID=chr20,length=64444167"}, {}});
  const auto lines = lines_of(out.str());
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines[0], "##fileformat=VCFv4.2");
  EXPECT_EQ(lines[2], "##dorsaneVersion=" DORSANE_VERSION);
  EXPECT_EQ(lines[3], "##dorsaneCommand=dorsane --o 'a b.vcf'");
  EXPECT_EQ(lines[4], "##contig=<ID=chr20,length=64444167>");
  EXPECT_EQ(lines[7],
            "##FORMAT=<ID=AVGPOST,Number=1,Type=Float,Description=\"Average posterior "
            "probability from Dorsane\">");
  EXPECT_EQ(lines[8],
            "##FORMAT=<ID=PL,Number=G,Type=Integer,Description=\"Phred-scaled Genotype "
            "Likelihoods\">");
  EXPECT_EQ(lines[9].rfind("##INFO=<ID=AF,Number=A,Type=Float,", 0), 0u);
  EXPECT_EQ(lines[10].rfind("##INFO=<ID=INFO,Number=A,Type=Float,", 0), 0u);
  EXPECT_EQ(lines[11].rfind("##INFO=<ID=TYPED,Number=0,Type=Flag,", 0), 0u);
  EXPECT_EQ(lines[12], "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2");
  // AF from the calls: 3 of 4 alleles; at 2000 only S1 is called, one G in two alleles. INFO
  // at 1000 by hand: e = 0.8, 1.25; f - e^2 = 0.36, 0.6875; theta = 0.5125, so
  // 1 - 1.0475 / (4 theta (1 - theta)) = -0.048.
  EXPECT_EQ(lines[13],
            "chr20\t1000\t.\tA\tG\t.\tPASS\tNUMALT=1;AF=0.75;INFO=-0.048\tGT:AVGPOST:PL\t"
            "0|1:0.6:0,3,12346\t1|1:0.5:20,1,7");
  // A scaffold site copied into the calls ends its INFO with the TYPED flag.
  EXPECT_NE(lines[14].find(";TYPED\tGT:AVGPOST:PL\t"), std::string::npos);
  EXPECT_EQ(lines[14].substr(0, lines[14].find(";INFO=")),
            "chr20\t2000\t.\tC\tT,G\t.\tPASS\tNUMALT=2;AF=0,0.5");
  EXPECT_EQ(lines[14].substr(lines[14].find('\t', lines[14].find(";INFO="))),
            "\tGT:AVGPOST:PL\t2|0:0.9:0,1,2,3,4,5\t./.:.:6,7,8,9,10,11");
}

TEST(CalledVcf, PlOnlyFromTheSameRecord) {
  const Results results = two_sites();
  // Wrong stride at 1000 (a tri-allelic record's values), other alleles at 2000.
  std::map<std::uint64_t, std::vector<double>> pls = {{1000, std::vector<double>(12, 1.0)},
                                                      {2000, std::vector<double>(12, 1.0)}};
  std::map<std::uint64_t, std::vector<std::string>> alleles = {{1000, {"A", "G,T"}},
                                                               {2000, {"C", "T"}}};
  std::ostringstream out;
  write_called_vcf(out, results, {"S1", "S2"}, "20", PlSource{&pls, &alleles});
  const auto lines = lines_of(out.str());
  EXPECT_EQ(lines[11].substr(lines[11].find("GT:AVGPOST:PL")),
            "GT:AVGPOST:PL\t0|1:0.6:.\t1|1:0.5:.");
  std::ostringstream none;
  write_called_vcf(none, results, {"S1", "S2"}, "20", PlSource{});
  EXPECT_NE(none.str().find("2|0:0.9:.\t./.:.:."), std::string::npos);
}

TEST(CalledVcf, NonFiniteValuesAreInternalErrors) {
  Results results;
  results[7] = Answer{"A", "G", {0.5, std::nan(""), 0.25, 0.25}, 4};
  std::ostringstream out;
  EXPECT_THROW(write_called_vcf(out, results, {"S1"}, "1", PlSource{}), FatalError);
  EXPECT_THROW(write_marginal_posteriors(out, results, 1), FatalError);
}

TEST(MarginalPosteriors, RoundedValuesAndRemainder) {
  Results results;
  results[5] = Answer{"A", "G", {0.12345, 0.4565, 0.2, 0.22005, 0, 0, 0, 0}, 4};
  std::ostringstream out;
  write_marginal_posteriors(out, results, 2);
  // 0.123 + 0.457 + 0.2 = 0.78: the last value is 1 minus that sum.
  EXPECT_EQ(out.str(), "5 A G 0.123 0.457 0.2 0.22 0 0 0 0 \n\n");
  std::ostringstream empty;
  write_marginal_posteriors(empty, Results{}, 2);
  EXPECT_EQ(empty.str(), "\n");
}
