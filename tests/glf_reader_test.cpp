#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "io/file_formats.h"
#include "util/errors.h"

namespace {

const std::vector<std::string> kSamples = {"S1", "S2", "S3"};
const std::string kHeader = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\tS3\n";

struct Read {
  LikelihoodRecords records;
  std::string out;
  std::string err;
};

Read read_vcf(const std::string& text, std::uint64_t lower = 1, std::uint64_t upper = 1000000,
              bool keep_values = true) {
  std::istringstream in(text);
  std::ostringstream out, err;
  LikelihoodSettings settings;
  settings.file_name = "gl.vcf";
  settings.lower = lower;
  settings.upper = upper;
  settings.keep_values = keep_values;
  Read result;
  read_likelihood_vcf(in, kSamples, settings, result.records, out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

std::string record(const std::string& pos, const std::string& alt, const std::string& format,
                   const std::string& s1, const std::string& s2, const std::string& s3,
                   const std::string& chrom = "20") {
  return chrom + "\t" + pos + "\t.\tA\t" + alt + "\t.\t.\t.\t" + format + "\t" + s1 + "\t" + s2 +
         "\t" + s3 + "\n";
}

std::string error_of(const std::string& text) {
  try {
    read_vcf(text);
  } catch (const FatalError& error) {
    return error.what();
  }
  return "";
}

using Values = std::vector<double>;

}  // namespace

TEST(RecordPositions, KeysAscendOnePerRecordAndMapBackToTheirPos) {
  RecordPositions positions;
  std::vector<std::uint64_t> keys;
  for (const std::uint64_t pos : {100, 100, 100, 100, 102, 106}) {
    keys.push_back(positions.assign(pos, true));
  }
  EXPECT_EQ(keys, (std::vector<std::uint64_t>{100, 101, 102, 103, 104, 106}));
  EXPECT_EQ(positions.position_of(103), 100u);
  EXPECT_EQ(positions.position_of(104), 102u);  // pushed along by the records at 100
  EXPECT_EQ(positions.position_of(106), 106u);
  EXPECT_EQ(positions.keys_at(100, keys), (std::vector<std::uint64_t>{100, 101, 102, 103}));
  EXPECT_EQ(positions.keys_at(102, keys), std::vector<std::uint64_t>{104});
  EXPECT_TRUE(positions.keys_at(101, keys).empty());
  EXPECT_TRUE(positions.first_at_position(104, keys));
  EXPECT_FALSE(positions.first_at_position(101, keys));
  EXPECT_EQ(positions.moved_count(), 4u);

  // Wherever at most three records share a position, the keys are those of the rule that
  // dropped a fourth, so the random streams of such files stay as they were.
  auto earlier_rule = [](const std::vector<std::uint64_t>& taken, std::uint64_t pos) {
    auto is_taken = [&](std::uint64_t k) {
      return std::find(taken.begin(), taken.end(), k) != taken.end();
    };
    std::uint64_t key = pos;
    if (is_taken(pos)) {
      if (!is_taken(pos + 1)) key = pos + 1;
      if (is_taken(key + 1)) key += 2;
    }
    return is_taken(key) ? std::uint64_t{0} : key;
  };
  std::mt19937 generator(5);
  for (int trial = 0; trial < 200; ++trial) {
    RecordPositions fresh;
    std::vector<std::uint64_t> taken;
    std::uint64_t pos = 1000;
    for (int r = 0; r < 40; ++r) {
      pos += generator() % 3;
      const std::uint64_t earlier = earlier_rule(taken, pos);
      if (earlier == 0) break;  // the earlier rule dropped this record
      ASSERT_EQ(fresh.assign(pos, false), earlier);
      taken.push_back(earlier);
    }
  }
}

TEST(LikelihoodReader, RegionBoundsAndStopPastTheRegion) {
  // --int 1000 2000 is stored as 1000 .. 2005.
  const std::string text = "##fileformat=VCFv4.2\n" + kHeader +
                           record("999", "C", "GT:PL", "0,1,2", "0,1,2", "0,1,2") +
                           record("1500", ".", "GT:PL", "0,1,2", "0,1,2", "0,1,2") +
                           record("2003", "C", "GT:PL", "0/1:3,0,9", "./.", "0/0:0,6,60\r") +
                           record("2006", ".", "GT", "x", "y", "z") + "never read\n";
  const Read read = read_vcf(text, 1000, 2005);
  ASSERT_EQ(read.records.site_likelihoods.size(), 1u);
  EXPECT_EQ(read.records.site_likelihoods.at(2003), (Values{3, 0, 9, 0, 0, 0, 0, 6, 60}));
  EXPECT_EQ(read.records.alleles.at(2003).count(), 2);
  EXPECT_EQ(read.records.alleles.at(2003), (SiteAlleles{"A", "C"}));
  EXPECT_EQ(read.records.alleles.keys(), std::vector<std::uint64_t>{2003});
  EXPECT_EQ(read.out, "S1 3 0 9\nS2 0 0 0\nS3 0 6 60\n");
}

TEST(LikelihoodReader, HeaderInAnyOrderGlAndPlGiveOneScale) {
  // The file starts with its #CHROM line; columns are matched by name.
  const std::string header = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS3\tS1\tS2\n";
  const std::string text =
      header + record("10", "C", "GT:GL", "0/1:-0.1,-1.0,-3.0", "0/0:0,-1,-2", "./.") +
      record("11", "C", "GT:PL:DP", "0/1:1,10,30:4", "0/0:0,10,20:3", "./.:.:0") +
      record("12", "C", "PL:GT:GL", "1,2,3:0/1:-9,-9,-9", "4,5,6:0/1:-9,-9,-9", ".:./.:.") +
      record("13", "C", "GL:DP:PL", "-9,-9,-9:1:7,8,9", "-9,-9,-9:1:0,1,2", "./.");
  const Read read = read_vcf(text);
  const auto& l = read.records.site_likelihoods;
  // Samples in sample-list order S1, S2, S3 = columns 2, 3, 1.
  EXPECT_EQ(l.at(10), (Values{-0.0, 10, 20, 0, 0, 0, 1, 10, 30}));
  EXPECT_EQ(l.at(11), (Values{0, 10, 20, 0, 0, 0, 1, 10, 30}));
  EXPECT_EQ(l.at(12), (Values{4, 5, 6, 0, 0, 0, 1, 2, 3}));  // PL wins over GL
  EXPECT_EQ(l.at(13), (Values{0, 1, 2, 0, 0, 0, 7, 8, 9}));
  EXPECT_EQ(read.records.header_samples, (std::vector<std::string>{"S3", "S1", "S2"}));
  // Only PL records print, one line per sample in sample-list order.
  EXPECT_EQ(read.out,
            "S1 0 10 20\nS2 0 0 0\nS3 1 10 30\n"
            "S1 4 5 6\nS2 0 0 0\nS3 1 2 3\n"
            "S1 0 1 2\nS2 0 0 0\nS3 7 8 9\n");
}

TEST(LikelihoodReader, MissingFormsGiveZerosOtherValuesAreRead) {
  const std::string text =
      kHeader +
      // lone genotype; sub-field missing past the key's index; "." and empty values
      record("10", "C", "GT:DP:PL", "./.", "0/1:5", "0/1:5:.") +
      record("11", "C", "GT:PL", "0/1:", "0/1:.,.,.", "0/1:2.5,0,1e2") +
      // a single GL value carries nothing; GL values are scaled by -10
      record("12", "C", "GT:GL", "0/1:-1", "0/1:.", "0/1:-0.25,0,-1.5") +
      // PL as the only key: the lone sub-field is the likelihood, "./." is missing
      record("13", "C", "PL", "5,0,7", "./.", ".");
  const auto& l = read_vcf(text).records.site_likelihoods;
  EXPECT_EQ(l.at(10), Values(9, 0.0));
  EXPECT_EQ(l.at(11), (Values{0, 0, 0, 0, 0, 0, 2.5, 0, 100}));
  EXPECT_EQ(l.at(12), (Values{0, 0, 0, 0, 0, 0, 2.5, -0.0, 15}));
  EXPECT_EQ(l.at(13), (Values{5, 0, 7, 0, 0, 0, 0, 0, 0}));
}

TEST(LikelihoodReader, MultiAllelicStrideAndOwnValuesPrinted) {
  const std::string text =
      kHeader + record("10", "C,T", "PL", "0,1,2,3,4,5", "10,11,12,13,14,15", "./.");
  const Read read = read_vcf(text);
  EXPECT_EQ(read.records.alleles.at(10).count(), 3);
  EXPECT_EQ(read.records.site_likelihoods.at(10).size(), 18u);
  EXPECT_EQ(read.records.site_likelihoods.at(10)[6], 10);
  EXPECT_EQ(read.records.alleles.at(10), (SiteAlleles{"A", "C,T"}));
  EXPECT_EQ(read.out, "S1 0 1 2\nS2 10 11 12\nS3 0 0 0\n");
  // Non-integral values print as a stream prints a double.
  const Read fractions =
      read_vcf(kHeader + record("10", "C", "PL", "0.5,1234567,-0", "1e-7,3,3", "."));
  EXPECT_EQ(fractions.out, "S1 0.5 1.23457e+06 -0\nS2 1e-07 3 3\nS3 0 0 0\n");
}

TEST(LikelihoodReader, RepeatedPositionsAllKeptUnderTheirOwnKeys) {
  const std::string pl = "PL";
  const std::string text =
      kHeader + record("100", "C", pl, "1,0,1", ".", ".") +
      record("100", "G", pl, "2,0,2", ".", ".") + record("100", "T", pl, "3,0,3", ".", ".") +
      record("100", "A", pl, "4,0,4", ".", ".") + record("102", "C", pl, "5,0,5", ".", ".");
  const Read read = read_vcf(text);
  EXPECT_EQ(read.records.alleles.keys(), (std::vector<std::uint64_t>{100, 101, 102, 103, 104}));
  EXPECT_EQ(read.records.alleles.at(103).alt, "A");
  EXPECT_EQ(read.records.site_likelihoods.at(104)[0], 5);
  EXPECT_EQ(read.records.positions.position_of(104), 102u);
  EXPECT_EQ(read.err, "");
  // Without the values the same keys are taken, and nothing is kept per record but its alleles.
  const Read checked = read_vcf(text, 1, 1000000, false);
  EXPECT_EQ(checked.records.alleles.keys(), read.records.alleles.keys());
  EXPECT_EQ(checked.records.alleles.at(104).alt, "C");
  EXPECT_TRUE(checked.records.site_likelihoods.empty());
  // A region starting at 102 counts the records just before it: the same key as the whole.
  const Read region = read_vcf(text, 102, 1000000);
  EXPECT_EQ(region.records.alleles.keys(), std::vector<std::uint64_t>{104});
  EXPECT_EQ(region.records.positions.position_of(104), 102u);
}

TEST(LikelihoodReader, RecordWithoutLikelihoodsKeepsItsKey) {
  const std::string text = kHeader + record("50", "C", "GT:DP", "0/1:3", "0/0:1", "./.") +
                           record("51", "C", "", "", "", "") +
                           record("52", "C", "PL", ".", ".", ".");
  const Read read = read_vcf(text);
  EXPECT_EQ(read.records.alleles.keys(), (std::vector<std::uint64_t>{50, 51, 52}));
  EXPECT_EQ(read.records.keys_without_likelihoods, (std::vector<std::uint64_t>{50, 51}));
  EXPECT_TRUE(read.records.site_likelihoods.at(50).empty());
  EXPECT_EQ(read.records.alleles.at(50).count(), 2);
  // The echo (--echo-likelihoods) on one stream, the warnings on the other.
  EXPECT_EQ(read.out, "S1 0 0 0\nS2 0 0 0\nS3 0 0 0\n");
  EXPECT_EQ(read.err,
            "WARNING! gl.vcf: position 50 has neither GL nor PL; it is not called from "
            "likelihoods\nWARNING! gl.vcf: position 51 has neither GL nor PL; it is not called "
            "from likelihoods\n");
}

TEST(LikelihoodReader, ChromosomeKeptAsText) {
  Read read = read_vcf(kHeader + record("5", "C", "PL", ".", ".", ".", "chr20"));
  EXPECT_TRUE(read.records.has_records);
  EXPECT_EQ(read.records.chromosome_name, "chr20");
  EXPECT_EQ(read.records.chromosome, 0);
  read = read_vcf(kHeader + record("5", "C", "PL", ".", ".", ".", "020"));
  EXPECT_EQ(read.records.chromosome_name, "20");
  EXPECT_EQ(read.records.chromosome, 20);
  // Records outside the region leave the chromosome to -chr.
  read = read_vcf(kHeader + record("5", "C", "PL", ".", ".", ".", "X"), 10, 20);
  EXPECT_FALSE(read.records.has_records);
}

TEST(LikelihoodReader, StructureErrorsNameFileLineAndValue) {
  const std::string ok = record("10", "C", "PL", ".", ".", ".");
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"##meta\n" + ok, "ERROR! gl.vcf:2: a record comes before the #CHROM line"},
      {"#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\n",
       "ERROR! gl.vcf:1: the #CHROM line names 2 samples, the sample file 3"},
      {"#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\tS1\n",
       "ERROR! gl.vcf:1: sample 'S1' is named twice in the #CHROM line"},
      {"#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\tS4\n",
       "ERROR! gl.vcf:1: sample 'S3' of the sample file is not in the #CHROM "
       "line"},
      {kHeader + ok + kHeader, "ERROR! gl.vcf:3: a second #CHROM line"},
      {kHeader + "20\t10\t.\tA\tC\t.\t.\t.\tPL\t1,0,1\t1,0,1\n",
       "ERROR! gl.vcf:2 (20:10): expected 12 tab-separated fields (9 + 3 "
       "samples), found 11"},
      {kHeader + "20\n", "ERROR! gl.vcf:2: expected 12 tab-separated fields, found 1"},
      {kHeader + record("10", "C", "PL", "1,0,1", "1,0", "."),
       "ERROR! gl.vcf:2 (20:10): sample 'S2' has 2 PL values, expected 3"},
      {kHeader + record("10", "C,G", "GT:GL", "0/1:0,-1,-2", ".", "."),
       "ERROR! gl.vcf:2 (20:10): sample 'S1' has 3 GL values, expected 6"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.message);
}

TEST(LikelihoodReader, ValueAndOrderErrors) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {record("10", "C", "PL", "1,0,1", "nan,0,1", "."),
       "ERROR! gl.vcf:2 (20:10): sample 'S2' has the PL value 'nan', which is not a finite number"},
      {record("10", "C", "GL", "0,-inf,-1", ".", "."),
       "ERROR! gl.vcf:2 (20:10): sample 'S1' has the GL value '-inf', which is not a finite "
       "number"},
      {record("10", "C", "GT:GL", "0/1:x", ".", "."),
       "ERROR! gl.vcf:2 (20:10): sample 'S1' has the GL value 'x', which is not a finite number"},
      {record("12x", "C", "PL", ".", ".", "."),
       "ERROR! gl.vcf:2: POS '12x' is not a whole number from 1 to 2147483647"},
      {record("0", "C", "PL", ".", ".", "."),
       "ERROR! gl.vcf:2: POS '0' is not a whole number from 1 to 2147483647"},
      {record("2147483648", "C", "PL", ".", ".", "."),
       "ERROR! gl.vcf:2: POS '2147483648' is not a whole number from 1 to 2147483647"},
      {record("10", "C", "PL", ".", ".", ".") + record("9", ".", "PL", ".", ".", "."),
       "ERROR! gl.vcf:3 (20:9): POS 9 is below POS 10 of the record before; the file must be "
       "sorted by position"},
      {record("10", "C", "PL", ".", ".", ".") + record("11", "C", "PL", ".", ".", ".", "21"),
       "ERROR! gl.vcf:3 (21:11): CHROM '21' differs from '20' of the records before; the file "
       "must hold one chromosome, or --region must name one"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(kHeader + c.text), c.message);
}

namespace {

// A PL VCF of many records made line by line as it is read, so the test itself holds none.
class GeneratedPlVcf : public std::streambuf {
 public:
  GeneratedPlVcf(int samples, int records) : samples_(samples), records_(records) {
    line_ = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
    for (int s = 0; s < samples; ++s) line_ += "\tS" + std::to_string(s);
    line_ += '\n';
    setg(line_.data(), line_.data(), line_.data() + line_.size());
  }

 protected:
  int_type underflow() override {
    if (next_ >= records_) return traits_type::eof();
    line_ = "20\t" + std::to_string(1000 + next_++) + "\t.\tA\tC\t.\t.\t.\tGT:PL";
    for (int s = 0; s < samples_; ++s) line_ += "\t0/1:" + std::to_string(s % 50) + ",0,37";
    line_ += '\n';
    setg(line_.data(), line_.data(), line_.data() + line_.size());
    return traits_type::to_int_type(line_[0]);
  }

 private:
  int samples_;
  int records_;
  int next_ = 0;
  std::string line_;
};

}  // namespace

// Bytes allocated, large blocks (mapped on their own) included.
std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

TEST(LikelihoodPuller, HeapStaysFlatOverALongRegion) {
  constexpr int kSampleCount = 100;
  constexpr int kRecords = 3000;
  GeneratedPlVcf vcf(kSampleCount, kRecords);
  std::istream in(&vcf);
  std::vector<std::string> samples;
  for (int s = 0; s < kSampleCount; ++s) samples.push_back("S" + std::to_string(s));
  LikelihoodSettings settings;
  settings.file_name = "gl.vcf";
  settings.lower = 1;
  settings.upper = 1000000;
  LikelihoodPuller puller(in, samples, settings, [](std::uint64_t) { return true; });
  std::size_t after_warm_up = 0;
  for (int r = 0; r < kRecords; ++r) {
    ASSERT_EQ(puller.take(1000 + r).size(), 3u * kSampleCount);
    if (r == 300) after_warm_up = heap_in_use();
  }
  // Echoing each record's Phred values into a kept buffer grew the heap by ~4 MB here.
  EXPECT_LT(heap_in_use(), after_warm_up + 256 * 1024);
}

// bcftools call -A keeps the symbolic allele beside the real ones: it is dropped with its
// genotypes' values. A record of symbolic ALTs alone (raw mpileup, gVCF blocks) is refused.
TEST(LikelihoodReader, SymbolicAllelesDroppedOrRefused) {
  // A, C, <*>: genotypes AA AC CC A* C* ** in VCF order.
  const Read read =
      read_vcf(kHeader + record("10", "C,<*>", "PL", "0,3,30,4,31,40", ".", "7,0,9,8,9,9") +
               record("11", "<NON_REF>,G", "GL", "0,-1,-2,-3,-4,-5", ".", "."));
  EXPECT_EQ(read.records.alleles.at(10), (SiteAlleles{"A", "C"}));
  EXPECT_EQ(read.records.site_likelihoods.at(10), (Values{0, 3, 30, 0, 0, 0, 7, 0, 9}));
  EXPECT_EQ(read.records.alleles.at(11), (SiteAlleles{"A", "G"}));
  EXPECT_EQ(read.records.site_likelihoods.at(11)[1], 30);  // A/G is the 4th of the 6 GL values
  EXPECT_EQ(read.err,
            "WARNING! gl.vcf: dropped the symbolic ALT allele (<*> or <NON_REF>) and its "
            "likelihoods from 2 records that also carry a real ALT allele\n");
  EXPECT_EQ(error_of(kHeader + record("10", "<*>", "PL", "0,3,30", ".", ".")),
            "ERROR! gl.vcf:2 (20:10): ALT '<*>' holds only a symbolic allele: the file lists "
            "every covered position (raw bcftools mpileup output or a gVCF), not candidate "
            "variants; run bcftools call first (or bcftools view -e 'ALT=\"<*>\"')");
}
