// End-to-end checks of the multi-allelic decomposition mode (-decompose-multi).
#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

namespace {

const std::string kOutHeader =
    std::string("##fileformat=VCFv4.2\n##source=Dorsane\n") + kGtHeaderFields + "\tS1\tS2\n";

// An input VCF for samples S1 and S2; each record is "CHROM POS REF ALT GT1 GT2".
std::string input_vcf(const std::vector<std::vector<std::string>>& records) {
  std::string text =
      "##fileformat=VCFv4.2\n"
      "##INFO=<ID=DP,Number=1,Type=Integer,Description=\"Depth\">\n"
      "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\n";
  for (const auto& r : records) {
    text += r[0] + "\t" + r[1] + "\t.\t" + r[2] + "\t" + r[3] + "\t50\tPASS\tDP=9\tGT:PL\t" + r[4] +
            "\t" + r[5] + "\n";
  }
  return text;
}

std::string record(const std::string& chrom, const std::string& pos, const std::string& ref,
                   const std::string& alt, const std::string& gt1, const std::string& gt2) {
  return chrom + "\t" + pos + "\t.\t" + ref + "\t" + alt + "\t.\tPASS\tNUMALT=1\tGT\t" + gt1 +
         "\t" + gt2 + "\n";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Decompose {
  RunResult result;
  std::string vcf;
};

Decompose decompose(const TempDir& dir, const std::string& vcf, std::vector<std::string> extra = {},
                    const std::string& samples = "S1\nS2\n") {
  dir.write("in.vcf", vcf);
  dir.write("samples.txt", samples);
  std::vector<std::string> args = {
      "-decompose-multi",  dir.file("in.vcf"), "--o",
      dir.file("out.vcf"), "--sample-file",    dir.file("samples.txt")};
  args.insert(args.end(), extra.begin(), extra.end());
  Decompose run{run_dorsane(args, dir.path()), ""};
  run.vcf = read_output(dir.file("out.vcf"));
  return run;
}

}  // namespace

TEST(DecomposeMulti, DocumentedExamples) {
  TempDir dir;
  const Decompose run = decompose(dir, input_vcf({
                                           {"20", "100", "A", "G", "0|1", "1|1:0,3,30"},
                                           {"20", "200", "AC", "GC,AT", "2|1", "0|2"},
                                           {"20", "300", "A", "G,T", "1|2", "1|1"},
                                           {"20", "400", "A", "G,G", "1|2", "2|0"},
                                           {"chr1", "500", "ACG", "A", "1|1", "0|1"},
                                       }));
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "");
  // No input header line is copied; CHROM stays as written.
  EXPECT_EQ(run.vcf, kOutHeader + record("20", "100", "A", "G", "0|1", "1|1") +
                         record("20", "200", "A", "G", "0|1", "0|0") +
                         record("20", "201", "C", "T", "1|0", "0|1") +
                         record("20", "400", "A", "G", "1|1", "1|0"));
}

TEST(DecomposeMulti, IndelAllelesNeverCountAsBases) {
  TempDir dir;
  // AG is a deletion: comparing it base by base would invent C>G at 11. The SNPs of
  // the same-length allele TCC are all found, and a haplotype with the deletion is 0.
  const Decompose run = decompose(dir, input_vcf({
                                           {"chr1", "10", "ACG", "AG", "1|1", "0|1"},
                                           {"chr1", "20", "ACG", "AG,TCC", "1|2", "2|0"},
                                       }));
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.vcf, kOutHeader + record("chr1", "20", "A", "T", "0|1", "1|0") +
                         record("chr1", "22", "G", "C", "0|1", "1|0"));
}

TEST(DecomposeMulti, MissingGenotypesStayMissing) {
  TempDir dir;
  const std::string vcf = input_vcf({
      {"1", "10", "A", "G", "./.", ".|."},
      {"1", "11", "A", "G", ".", ".|1"},
      {"1", "12", "A", "G", "0/1", "1|0:.,.,."},
      {"1", "13", "A", "G", "0/1:12,0,40", "1/0"},
  });
  const Decompose phased = decompose(dir, vcf);
  EXPECT_EQ(phased.result.status, 0) << phased.result.err;
  EXPECT_EQ(phased.vcf, kOutHeader + record("1", "10", "A", "G", "./.", "./.") +
                            record("1", "11", "A", "G", "./.", "./.") +
                            record("1", "12", "A", "G", "./.", "1|0") +
                            record("1", "13", "A", "G", "./.", "./."));

  // -unphased reads the GT subfield at "/"; anything but two pieces is missing.
  const Decompose unphased = decompose(dir, vcf, {"-unphased"});
  EXPECT_EQ(unphased.result.status, 0) << unphased.result.err;
  EXPECT_EQ(unphased.vcf, kOutHeader + record("1", "10", "A", "G", "./.", "./.") +
                              record("1", "11", "A", "G", "./.", "./.") +
                              record("1", "12", "A", "G", "0|1", "./.") +
                              record("1", "13", "A", "G", "0|1", "1|0"));
}

TEST(DecomposeMulti, LayoutVariantsGiveTheSameOutput) {
  TempDir dir;
  const std::string vcf = input_vcf({{"20", "100", "AC", "GC,AT", "2|1", "0|2"}});
  const Decompose plain = decompose(dir, vcf);
  ASSERT_EQ(plain.result.status, 0) << plain.result.err;

  // Trailing tabs, blank lines and CRLF line ends.
  std::string variant;
  for (std::size_t start = 0; start < vcf.size();) {
    const std::size_t end = vcf.find('\n', start);
    variant += vcf.substr(start, end - start) +
               (vcf[start] == '#' && vcf[start + 1] == '#' ? "" : "\t") + "\r\n\n  \n";
    start = end + 1;
  }
  EXPECT_EQ(decompose(dir, variant).vcf, plain.vcf);

  write_gzip(dir.file("in.vcf.gz"), vcf);
  const RunResult gz = run_dorsane({"-decompose-multi", dir.file("in.vcf.gz"), "--o",
                                    dir.file("gz.vcf"), "--sample-file", dir.file("samples.txt")});
  EXPECT_EQ(gz.status, 0) << gz.err;
  EXPECT_EQ(read_output(dir.file("gz.vcf")), plain.vcf);
}

TEST(DecomposeMulti, MalformedInputIsAnError) {
  TempDir dir;
  const std::string chrom_line = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  struct Case {
    std::string vcf, samples, error;
  };
  const std::vector<Case> cases = {
      {input_vcf({{"1", "10x", "A", "G", "0|1", "0|1"}}), "S1\nS2\n",
       "in.vcf:4 (1): POS '10x' is not a whole number from 0 to 2147483647"},
      {input_vcf({{"1", "-5", "A", "G", "0|1", "0|1"}}), "S1\nS2\n", "POS '-5' is not a whole"},
      {input_vcf({{"1", "2147483646", "ACG", "ATG", "0|1", "0|1"}}), "S1\nS2\n",
       "REF of 3 bases from POS 2147483646 reaches past position 2147483647"},
      {chrom_line + "\tS1\tS2\n1\t10\t.\tA\tG\t.\t.\t.\tGT\t0|1\n", "S1\nS2\n",
       "in.vcf:2: expected at least 11 tab-separated fields (9 + 2 samples), found 10"},
      {chrom_line + "\tS1\tS2\tS3\n", "S1\nS2\n",
       "in.vcf:1: the #CHROM line names 3 sample(s), the sample file lists 2"},
      {input_vcf({}), "", "holds no sample ID; decomposing a VCF needs at least one sample"},
  };
  for (const Case& c : cases) {
    dir.write("out.vcf", "previous run\n");
    const Decompose run = decompose(dir, c.vcf, {}, c.samples);
    EXPECT_EQ(run.result.status, 1) << c.error;
    EXPECT_TRUE(contains(run.result.err, c.error)) << run.result.err;
    EXPECT_EQ(run.result.err.find('\n'), run.result.err.size() - 1) << run.result.err;
    EXPECT_EQ(run.vcf, "previous run\n") << c.error;
  }

  std::filesystem::remove(dir.file("out.vcf"));
  dir.write("samples.txt", "S1\nS2\n");
  const RunResult absent = run_dorsane(
      {"-decompose-multi", "absent.vcf", "--o", "out.vcf", "--sample-file", "samples.txt"},
      dir.path());
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.err, "ERROR! Can't open GLs vcf file absent.vcf: No such file or directory\n");
  EXPECT_FALSE(file_exists(dir.file("out.vcf")));
}

TEST(DecomposeMulti, BcftoolsReadsTheOutput) {
  ASSERT_TRUE(file_exists("/usr/bin/bcftools"))
      << "bcftools is missing: run scripts/install-deps.sh";
  TempDir dir;
  const Decompose run = decompose(dir, input_vcf({
                                           {"chr20", "200", "AC", "GC,AT", "2|1", "./."},
                                           {"chr20", "300", "A", "G", "0|1", "1|1"},
                                       }));
  ASSERT_EQ(run.result.status, 0) << run.result.err;
  const RunResult view = run_shell("/usr/bin/bcftools view " + dir.file("out.vcf") + " >/dev/null");
  EXPECT_EQ(view.status, 0) << view.err;
  EXPECT_FALSE(contains(view.err, "[E::")) << view.err;
  const RunResult query = run_shell("/usr/bin/bcftools query -f '%CHROM:%POS %REF>%ALT[ %GT]\\n' " +
                                    dir.file("out.vcf"));
  EXPECT_EQ(query.status, 0) << query.err;
  EXPECT_EQ(query.out, "chr20:200 A>G 0|1 ./.\nchr20:201 C>T 1|0 ./.\nchr20:300 A>G 0|1 1|1\n");
}
