// End-to-end checks of the posterior merge mode (-merge-posteriors A B).
#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

namespace {

std::string header(const std::vector<std::string>& samples, const std::string& chromosome = "0") {
  std::string text = "##fileformat=VCFv4.2\n##source=Dorsane\n##contig=<ID=" + chromosome + ">\n" +
                     kGtHeaderFields;
  for (const std::string& s : samples) text += "\t" + s;
  return text + "\n";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool temp_files_left(const TempDir& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (contains(entry.path().filename().string(), "dorsane-tmp")) return true;
  }
  return false;
}

struct Merge {
  RunResult result;
  std::string vcf;
};

// Writes the two posterior files and the sample list, merges them into out.vcf.
Merge merge(const TempDir& dir, const std::string& first, const std::string& second,
            const std::string& samples = "S1\n", std::vector<std::string> extra = {}) {
  dir.write("a.mp", first);
  dir.write("b.mp", second);
  dir.write("samples.txt", samples);
  std::vector<std::string> args = {
      "-merge-posteriors", dir.file("a.mp"), dir.file("b.mp"),       "--o",
      dir.file("out.vcf"), "--sample-file",  dir.file("samples.txt")};
  args.insert(args.end(), extra.begin(), extra.end());
  Merge run{run_dorsane(args, dir.path()), ""};
  run.vcf = read_output(dir.file("out.vcf"));
  return run;
}

}  // namespace

TEST(MergePosteriors, BiallelicExampleAndTies) {
  TempDir dir;
  // The averages 0.2 0.2 0.2 0.2 call the heterozygote, phase tie to 0|1; the
  // second site's averages 0.5 0 0.125 0.375 tie hom-ref with het, which wins.
  const Merge run = merge(dir, "1000 A G 0.1 0.2 0.3 0.4 \n1005 C T 1 0 0 0 \n\n",
                          "1000 A G 0.3 0.2 0.1 0.0 \n1005 C T 0 0 0.25 0.75 \n\n");
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.result.out, "");
  EXPECT_EQ(run.vcf, header({"S1"}) +
                         "0\t1000\t.\tA\tG\t.\tPASS\tNUMALT=1\tGT\t0|1\n"
                         "0\t1005\t.\tC\tT\t.\tPASS\tNUMALT=1\tGT\t0|0\n");
  // The auxiliary modes print the file read and the closing figures, with units.
  const RunResult loud =
      run_dorsane_loud({"-merge-posteriors", dir.file("a.mp"), dir.file("b.mp"), "--o",
                        dir.file("loud.vcf"), "--sample-file", dir.file("samples.txt")},
                       dir.path());
  EXPECT_EQ(loud.err.rfind("Reading sample file : " + dir.file("samples.txt") + "\n\nDone in ", 0),
            0u)
      << loud.err;
  EXPECT_TRUE(contains(loud.err, " s (wall time), "));
  EXPECT_TRUE(contains(loud.err, " s of processor time\n"));
  EXPECT_FALSE(temp_files_left(dir));
}

TEST(MergePosteriors, TriallelicTwoSamplesAndChromosomeText) {
  TempDir dir;
  // Ordered classes 0|0 0|1 1|0 1|1 0|2 2|0 1|2 2|1 2|2. Sample 1: 0/2 carries most
  // mass and 2|0 beats 0|2; sample 2: 1|1 after averaging 1|1 with 1|2.
  const std::string s1 = "0 0 0 0 0.2 0.4 0 0 0.4 ";
  const Merge run =
      merge(dir, "2000 A G,T " + s1 + "0 0 0 1 0 0 0 0 0 \n",
            "2000 A G,T " + s1 + "0 0 0 0.6 0 0 0.4 0 0 \n", "S1\nS2\n", {"-chr", "chr20"});
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.vcf, header({"S1", "S2"}, "chr20") +
                         "chr20\t2000\t.\tA\tG,T\t.\tPASS\tNUMALT=2\tGT\t2|0\t1|1\n");

  const Merge numeric = merge(dir, "7 A G 0 1 0 0 \n", "7 A G 0 1 0 0 \n", "S1\n", {"-chr", "007"});
  EXPECT_EQ(numeric.vcf, header({"S1"}, "7") + "7\t7\t.\tA\tG\t.\tPASS\tNUMALT=1\tGT\t1|1\n");
}

TEST(MergePosteriors, ToleratedLayouts) {
  TempDir dir;
  // Empty files: header only.
  Merge run = merge(dir, "", "");
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.vcf, header({"S1"}));

  // A second-file line of 3 fields or fewer skips the pair; trailing blank lines,
  // CRLF line ends and a missing trailing blank are all read.
  run = merge(dir, "10 A G 0 1 0 0 \r\n20 A G 1 0 0 0\r\n\n\n\n", "10 A G\r\n20 A G 1 0 0 0 \r\n");
  EXPECT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.vcf, header({"S1"}) + "0\t20\t.\tA\tG\t.\tPASS\tNUMALT=1\tGT\t0|0\n");
}

TEST(MergePosteriors, InputsThatDoNotPairUpAreErrors) {
  TempDir dir;
  struct Case {
    std::string first, second, samples, error;
  };
  const std::string ok = "10 A G 1 0 0 0 \n";
  const std::vector<Case> cases = {
      {ok, "11 A G 1 0 0 0 \n", "S1\n", "a.mp:1 and " + dir.file("b.mp") + ":1: positions differ"},
      {ok, "10 C G 1 0 0 0 \n", "S1\n", "REF alleles differ ('A' vs 'C')"},
      {ok, "10 A T 1 0 0 0 \n", "S1\n", "ALT alleles differ ('G' vs 'T')"},
      {ok, "10 A G 1 0 0 0 0 \n", "S1\n", "(position 10): value counts differ (4 vs 5)"},
      {"\n", ok, "S1\n", "a.mp:1: expected a position, REF, ALT and values"},
      {"10 A G 1 0 0 0 1 \n", "10 A G 1 0 0 0 1 \n", "S1\nS2\n",
       "a.mp:1 (position 10): 5 values do not divide among 2 samples"},
      {"10 A G 1 0 0 \n", "10 A G 1 0 0 \n", "S1\n", "3 values per sample; expected a*a"},
      {"10 A G 1 \n", "10 A G 1 \n", "S1\n", "1 values per sample; expected a*a"},
      {"10 A G \n", "10 A G \n", "S1\n", "0 values per sample; expected a*a"},
      {ok, "10 A G 1 0 x 0 \n", "S1\n", "b.mp:1 (position 10): value 'x' is not a finite number"},
      {"10 A G 1 nan 0 0 \n", ok, "S1\n", "value 'nan' is not a finite number"},
      {"10 A G 1 0  0 \n", "10 A G 1 0 0 0 \n", "S1\n", "value '' is not a finite number"},
      {"1x A G 1 0 0 0 \n", "1x A G 1 0 0 0 \n", "S1\n", "position '1x' is not a whole number"},
      {ok + "\n" + ok, ok, "S1\n",
       "a.mp:3: line left after " + dir.file("b.mp") + " ended at line 1"},
      {ok, ok + ok, "S1\n", "b.mp:2: line left after " + dir.file("a.mp") + " ended at line 1"},
      {ok, ok, "", "holds no sample ID; merging posteriors needs at least one sample"},
  };
  for (const Case& c : cases) {
    dir.write("out.vcf", "previous run\n");
    const Merge run = merge(dir, c.first, c.second, c.samples);
    EXPECT_EQ(run.result.status, 1) << c.error;
    EXPECT_TRUE(contains(run.result.err, c.error)) << run.result.err;
    EXPECT_EQ(run.result.err.find('\n'), run.result.err.size() - 1) << run.result.err;
    EXPECT_EQ(run.vcf, "previous run\n") << c.error;  // never replaced by partial output
    EXPECT_FALSE(temp_files_left(dir));
  }
}

TEST(MergePosteriors, UnreadableFilesAreReportedBeforeOutput) {
  TempDir dir;
  dir.write("s.txt", "S1\n");
  dir.write("a.mp", "10 A G 1 0 0 0 \n");
  std::filesystem::create_directory(dir.file("folder"));
  struct Case {
    std::string first, second, output, error;
  };
  const std::vector<Case> cases = {
      {"absent.mp", "a.mp", "out.vcf",
       "ERROR! Can't open posterior file: absent.mp: No such file or directory\n"},
      {"a.mp", "absent.mp", "out.vcf",
       "ERROR! Can't open posterior file: absent.mp: No such file or directory\n"},
      {"folder", "a.mp", "out.vcf", "ERROR! Can't open posterior file: folder: Is a directory\n"},
      {"a.mp", "a.mp", "no/such/dir/out.vcf",
       "ERROR! Can't open output file: no/such/dir/out.vcf: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = run_dorsane(
        {"-merge-posteriors", c.first, c.second, "--o", c.output, "--sample-file", "s.txt"},
        dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.error);
    EXPECT_FALSE(file_exists(dir.file("out.vcf"))) << c.error;
  }
  const RunResult blank_chr = run_dorsane({"-merge-posteriors", "a.mp", "a.mp", "--o", "out.vcf",
                                           "--sample-file", "s.txt", "-chr", "chr 1"},
                                          dir.path());
  EXPECT_EQ(blank_chr.err,
            "ERROR! --chr needs a chromosome name without blanks or tabs, got 'chr 1'\n");
  const RunResult no_output =
      run_dorsane({"-merge-posteriors", "a.mp", "a.mp", "--sample-file", "s.txt"}, dir.path());
  EXPECT_EQ(no_output.status, 1);
  EXPECT_EQ(no_output.err, "ERROR! Can't open output file: no --o <file> was given\n");
}

TEST(MergePosteriors, BcftoolsReadsTheOutput) {
  ASSERT_TRUE(file_exists("/usr/bin/bcftools"))
      << "bcftools is missing: run scripts/install-deps.sh";
  TempDir dir;
  const std::string tri = "0 0 0 0 0 1 0 0 0 ";
  const Merge run = merge(dir, "100 A G 0 0 1 0 0 0 0 1 \n200 A G,T " + tri + tri + "\n\n",
                          "100 A G 0 0 1 0 0 0 0 1 \n200 A G,T " + tri + tri + "\n\n", "S1\nS2\n",
                          {"-chr", "chr2"});
  ASSERT_EQ(run.result.status, 0) << run.result.err;
  const RunResult view = run_shell("/usr/bin/bcftools view " + dir.file("out.vcf") + " >/dev/null");
  EXPECT_EQ(view.status, 0) << view.err;
  EXPECT_FALSE(contains(view.err, "[E::")) << view.err;
  const RunResult query = run_shell("/usr/bin/bcftools query -f '%CHROM:%POS %REF>%ALT[ %GT]\\n' " +
                                    dir.file("out.vcf"));
  EXPECT_EQ(query.status, 0) << query.err;
  EXPECT_EQ(query.out, "chr2:100 A>G 0|1 1|0\nchr2:200 A>G,T 2|0 2|0\n");
}
