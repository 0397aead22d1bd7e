// Indexed inputs and compressed, indexed outputs, end to end on the golden inputs: the same
// records as plain files, and an index that does not fit its file refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "app/Parameter.h"
#include "test_util.h"
#include "util/errors.h"

namespace {

const std::string kInput = std::string(DORSANE_TEST_DATA) + "/golden/input";

std::string q(const std::string& path) { return "'" + path + "'"; }

void shell(const std::string& command) {
  const RunResult r = run_shell(command);
  ASSERT_EQ(r.status, 0) << command << "\n" << r.err;
}

// The golden plain run's options with the likelihood and scaffold files replaced.
std::vector<std::string> run_args(const std::string& glfs, const std::string& scaffold,
                                  const std::string& out) {
  return {"--sample-file",   kInput + "/samples.txt",
          "--glfs",          glfs,
          "--scaffold-file", scaffold,
          "--numsnps",       "3",
          "--iteration",     "20",
          "--burnin",        "5",
          "--seed",          "11",
          "--passes",        "1",
          "--int",           "1000000",
          "1002100",         "--o",
          out + ".vcf.gz",   "--mp",
          out + ".mp.gz"};
}

}  // namespace

TEST(IndexedFiles, SameRecordsAsPlainFilesAndAnIndexedCompressedOutput) {
  TempDir dir;
  // Likelihoods indexed twice (tabix and CSI); the scaffold tab-separated and tabix-indexed.
  for (const std::string name : {"tbi.vcf.gz", "csi.vcf.gz"}) {
    shell("bgzip -c " + q(kInput + "/gl.vcf") + " > " + q(dir.file(name)));
  }
  shell("tabix -p vcf " + q(dir.file("tbi.vcf.gz")) + " && bcftools index " +
        q(dir.file("csi.vcf.gz")));
  shell("tr ' ' '\\t' < " + q(kInput + "/scaffold.txt") + " | bgzip > " + q(dir.file("s.gz")) +
        " && tabix -s1 -b3 -e3 " + q(dir.file("s.gz")));
  const std::string golden_vcf = read_file(std::string(DORSANE_TEST_DATA) + "/golden/plain.vcf");
  const std::string golden_mp = read_file(std::string(DORSANE_TEST_DATA) + "/golden/plain.mp");
  for (const std::string name : {"tbi", "csi"}) {
    const RunResult run = run_dorsane_loud(
        run_args(dir.file(name + ".vcf.gz"), dir.file("s.gz"), dir.file("out_" + name)));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("read through its index"), std::string::npos);
    EXPECT_EQ(without_command_line(run_shell("zcat " + q(dir.file("out_" + name + ".vcf.gz"))).out),
              golden_vcf)
        << name;
    EXPECT_EQ(run_shell("zcat " + q(dir.file("out_" + name + ".mp.gz"))).out, golden_mp) << name;
  }
  // The output's own index serves a region query.
  const RunResult region =
      run_shell("bcftools view -H -r 20:1000100-1000300 " + q(dir.file("out_tbi.vcf.gz")));
  ASSERT_EQ(region.status, 0) << region.err;
  std::istringstream lines(region.out);
  int records = 0;
  for (std::string line; std::getline(lines, line); ++records) {
    EXPECT_NE(golden_vcf.find(line + "\n"), std::string::npos) << line.substr(0, 40);
  }
  EXPECT_GT(records, 0);
}

TEST(IndexedFiles, AnIndexThatDoesNotFitItsFileIsAnError) {
  TempDir dir;
  shell("bgzip -c " + q(kInput + "/gl.vcf") + " > " + q(dir.file("gl.vcf.gz")) + " && head -40 " +
        q(kInput + "/gl.vcf") + " | bgzip > " + q(dir.file("short.vcf.gz")) + " && tabix -p vcf " +
        q(dir.file("short.vcf.gz")));
  struct Case {
    std::string index_command;
    std::string error;
  };
  const Case cases[] = {
      {"cp " + q(dir.file("short.vcf.gz.tbi")) + " " + q(dir.file("gl.vcf.gz.tbi")),
       "does not fit"},
      {"echo garbage > " + q(dir.file("gl.vcf.gz.tbi")), "cannot be used for"},
  };
  for (const Case& c : cases) {
    shell(c.index_command);
    const RunResult run =
        run_dorsane(run_args(dir.file("gl.vcf.gz"), kInput + "/scaffold.txt", dir.file("out")));
    EXPECT_EQ(run.status, 1) << c.error;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(dir.file("gl.vcf.gz.tbi")), std::string::npos) << run.err;
    EXPECT_FALSE(file_exists(dir.file("out.vcf.gz")));
  }
}

TEST(IndexedFiles, EveryInputMayBeGzipped) {
  TempDir dir;
  for (const std::string name :
       {"samples.txt", "gl.vcf", "scaffold.txt", "list.txt", "family.ped"}) {
    shell("gzip -c " + q(kInput + "/" + name) + " > " + q(dir.file(name)));
  }
  const RunResult run = run_dorsane({"--sample-file",
                                     dir.file("samples.txt"),
                                     "--glfs",
                                     dir.file("gl.vcf"),
                                     "--scaffold-file",
                                     dir.file("scaffold.txt"),
                                     "--list",
                                     dir.file("list.txt"),
                                     "--ped-file",
                                     dir.file("family.ped"),
                                     "--numsnps",
                                     "3",
                                     "--iteration",
                                     "20",
                                     "--burnin",
                                     "5",
                                     "--seed",
                                     "11",
                                     "--passes",
                                     "1",
                                     "--o",
                                     dir.file("out.vcf")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_output(dir.file("out.vcf")),
            read_file(std::string(DORSANE_TEST_DATA) + "/golden/list_pedigree.vcf"));
}

// Phased VCF and BCF scaffolds and panels, read whole or through their index, give the text
// layout's calls: the scaffold's samples are matched by name (its columns are in reverse
// order) and a multi-allelic record and one of another chromosome are skipped.
TEST(PhasedFiles, VcfAndBcfGiveTheTextLayoutsCalls) {
  TempDir dir;
  std::vector<std::string> samples;
  std::istringstream list(read_file(kInput + "/samples.txt"));
  for (std::string id; list >> id;) samples.push_back(id);
  std::string scaffold = phased_vcf_of_layout(read_file(kInput + "/scaffold.txt"), samples, true);
  std::string multi = "20\t1000200\t.\tA\tC,T\t.\tPASS\t.\tGT";
  std::string other = "21\t5\t.\tA\tC\t.\tPASS\t.\tGT";
  for (std::size_t s = 0; s < samples.size(); ++s) multi += "\t1|2", other += "\t0|1";
  scaffold.insert(scaffold.find("20\t1000245\t"), multi + "\n");
  scaffold.insert(scaffold.find("##FORMAT"), "##contig=<ID=21>\n");
  dir.write("s.vcf", scaffold + other + "\n");
  dir.write("p.vcf", phased_vcf_of_layout(read_file(kInput + "/panel.txt"),
                                          {"P1", "P2", "P3", "P4", "P5"}, false));
  for (const std::string name : {"s", "p"}) {
    const std::string vcf = q(dir.file(name + ".vcf"));
    shell("bgzip -c " + vcf + " > " + vcf + ".gz && tabix -p vcf " + vcf + ".gz && " +
          "bcftools view -Ob -o " + q(dir.file(name + ".bcf")) + " " + vcf);
  }
  shell("bcftools index " + q(dir.file("s.bcf")));
  struct Case {
    std::string scaffold, panel, golden;
  };
  const Case cases[] = {{"s.vcf", "", "plain"},
                        {"s.vcf.gz", "", "plain"},
                        {"s.bcf", "", "plain"},
                        {"", "p.vcf.gz", "panel"},
                        {"", "p.bcf", "panel"}};
  for (const Case& c : cases) {
    const std::string scaffold_file =
        c.scaffold.empty() ? kInput + "/scaffold.txt" : dir.file(c.scaffold);
    std::vector<std::string> args = run_args(kInput + "/gl.vcf", scaffold_file, dir.file("out"));
    if (!c.panel.empty()) args.insert(args.end(), {"--ref-panel", dir.file(c.panel)});
    const RunResult run = run_dorsane(args);
    const std::string label = c.scaffold + c.panel;
    ASSERT_EQ(run.status, 0) << label << ": " << run.err;
    const std::string golden = std::string(DORSANE_TEST_DATA) + "/golden/" + c.golden;
    EXPECT_EQ(without_command_line(run_shell("zcat " + q(dir.file("out.vcf.gz"))).out),
              read_file(golden + ".vcf"))
        << label;
    EXPECT_EQ(run_shell("zcat " + q(dir.file("out.mp.gz"))).out, read_file(golden + ".mp"))
        << label;
    if (!c.scaffold.empty()) {
      // Through its index a file is read for the run's chromosome alone.
      const std::string other = c.scaffold == "s.vcf" ? "1" : "0";
      EXPECT_NE(run.err.find(": skipped 1 multi-allelic records and " + other +
                             " records of other chromosomes than 20\n"),
                std::string::npos)
          << label << ": " << run.err;
    }
  }
}

// --region is 1-based and inclusive: END is the last position, where --int adds 5.
TEST(Regions, ParsedAsBcftoolsReadsThem) {
  const Region region = parse_region("chr20:1,000-2,000");
  EXPECT_EQ(region.chromosome, "chr20");
  EXPECT_EQ(region.start, 1000u);
  EXPECT_EQ(region.end, 2000u);
  EXPECT_EQ(parse_region("HLA-A*01:01:5-5").chromosome, "HLA-A*01:01");
  // The shorter forms: the whole chromosome, one position, an open end or start.
  const std::pair<const char*, std::pair<std::uint64_t, std::uint64_t>> forms[] = {
      {"20", {1, 2147483647}},
      {"20:1,000,000-", {1000000, 2147483647}},
      {"20:5", {5, 5}},
      {"20:-5", {1, 5}}};
  for (const auto& [text, bounds] : forms) {
    const Region parsed = parse_region(text);
    EXPECT_EQ(parsed.chromosome, "20") << text;
    EXPECT_EQ(std::make_pair(parsed.start, parsed.end), bounds) << text;
  }
  EXPECT_EQ(parse_region("20").text(), "20");
  EXPECT_EQ(parse_region("20:7-").text(), "20:7-");
  for (const char* bad :
       {"", "20:", "20:-", "20:0-5", "20:6-5", ":1-2", "20:1-2x", "20:1-2147483648", "20 x:1-2"}) {
    EXPECT_THROW(parse_region(bad), FatalError) << bad;
  }
}

// An indexed likelihood file of two chromosomes is read for the region's alone, and gives
// the records of the one-chromosome file; names that differ are one line naming both.
TEST(Regions, MultiChromosomeIndexedInputAndNameMismatch) {
  TempDir dir;
  const std::string gl = q(kInput + "/gl.vcf");
  shell("(grep '^#' " + gl + "; grep -v '^#' " + gl + "; grep -v '^#' " + gl +
        " | sed 's/^20\t/21\t/') | bgzip > " + q(dir.file("multi.vcf.gz")) + " && tabix -p vcf " +
        q(dir.file("multi.vcf.gz")));
  std::vector<std::string> args =
      run_args(dir.file("multi.vcf.gz"), kInput + "/scaffold.txt", dir.file("multi"));
  const auto at = std::find(args.begin(), args.end(), "--int");
  args.erase(at, at + 3);
  args.insert(args.end(), {"--region", "20:1000000-1002105"});
  args[args.size() - 5] = dir.file("out.vcf.gz");  // --o
  args[args.size() - 3] = dir.file("out.mp");      // --mp
  const RunResult run = run_dorsane(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(without_command_line(run_shell("zcat " + q(dir.file("out.vcf.gz"))).out),
            read_file(std::string(DORSANE_TEST_DATA) + "/golden/plain.vcf"));

  args.end()[-1] = "chr20:1000000-1002105";
  const RunResult prefixed = run_dorsane(args);
  EXPECT_EQ(prefixed.status, 1);
  EXPECT_EQ(prefixed.err,
            "ERROR! The chromosome names differ: --region names 'chr20', " +
                dir.file("multi.vcf.gz") +
                " names '20' (only the 'chr' prefix differs; rename one, e.g. with bcftools "
                "annotate --rename-chrs)\n");
  // A phased scaffold of chr20 beside likelihoods of 20.
  std::vector<std::string> names;
  for (int i = 1; i <= 12; ++i) names.push_back((i < 10 ? "S0" : "S") + std::to_string(i));
  std::istringstream lines(read_file(kInput + "/scaffold.txt"));
  std::string layout;
  for (std::string line; std::getline(lines, line);) layout += "chr" + line + "\n";
  dir.write("chr.vcf", phased_vcf_of_layout(layout, names, false));
  std::vector<std::string> scaffold =
      run_args(kInput + "/gl.vcf", dir.file("chr.vcf"), dir.file("chr"));
  const RunResult renamed = run_dorsane(scaffold);
  EXPECT_EQ(renamed.status, 1);
  EXPECT_EQ(renamed.err, "ERROR! The chromosome names differ: " + kInput + "/gl.vcf names '20', " +
                             dir.file("chr.vcf") +
                             " names 'chr20' (only the 'chr' prefix differs; rename one, e.g. "
                             "with bcftools annotate --rename-chrs)\n");
  EXPECT_FALSE(file_exists(dir.file("chr.vcf.gz")));
}

// --chr picks its chromosome's records from an unindexed file of two, plain or bgzipped:
// the records of the stored run, renamed.
TEST(Regions, ChrPicksTheRecordsOfAnUnindexedFileOfTwoChromosomes) {
  TempDir dir;
  const std::string gl = q(kInput + "/gl.vcf");
  shell("(grep '^#' " + gl + "; grep -v '^#' " + gl + " | sed 's/^20\t/21\t/'; grep -v '^#' " + gl +
        ") > " + q(dir.file("two.vcf")) + " && bgzip -k " + q(dir.file("two.vcf")) +
        " && sed 's/^20 /21 /' " + q(kInput + "/scaffold.txt") + " > " + q(dir.file("s21.txt")));
  std::string expected;
  std::istringstream golden(read_file(std::string(DORSANE_TEST_DATA) + "/golden/plain.vcf"));
  for (std::string line; std::getline(golden, line);) {
    if (line.rfind("20\t", 0) == 0) line = "21" + line.substr(2);
    if (line == "##contig=<ID=20>") line = "##contig=<ID=21>";
    expected += line + "\n";
  }
  for (const std::string input : {"two.vcf", "two.vcf.gz"}) {
    std::vector<std::string> args = run_args(dir.file(input), dir.file("s21.txt"), dir.file("o"));
    args.insert(args.end(), {"--chr", "21"});
    const RunResult run = run_dorsane(args);
    ASSERT_EQ(run.status, 0) << input << ": " << run.err;
    EXPECT_EQ(without_command_line(run_shell("zcat " + q(dir.file("o.vcf.gz"))).out), expected)
        << input;
  }
}

// BCF in and out: likelihoods from a BCF (with and without its index) give the text VCF's
// records; NAME.bcf is BCF with a CSI index that bcftools reads and queries; "-" writes the
// same VCF to standard output; AF is the calls' ALT frequency, as bcftools computes it.
TEST(Formats, BcfInAndOutRoundTripAndAlleleFrequency) {
  TempDir dir;
  shell("bcftools view -Ob -o " + q(dir.file("gl.bcf")) + " " + q(kInput + "/gl.vcf"));
  shell("bcftools view -Ob -o " + q(dir.file("gl_indexed.bcf")) + " " + q(kInput + "/gl.vcf") +
        " && bcftools index " + q(dir.file("gl_indexed.bcf")));
  auto args = [&](const std::string& glfs, const std::string& out) {
    std::vector<std::string> a = run_args(glfs, kInput + "/scaffold.txt", "x");
    a.resize(a.size() - 4);  // no --o, --mp
    a.insert(a.end(), {"--o", out});
    return a;
  };
  ASSERT_EQ(run_dorsane(args(kInput + "/gl.vcf", dir.file("text.vcf"))).status, 0);
  for (const std::string input : {"gl.bcf", "gl_indexed.bcf"}) {
    const RunResult run = run_dorsane(args(dir.file(input), dir.file("out.bcf")));
    ASSERT_EQ(run.status, 0) << input << ": " << run.err;
    ASSERT_TRUE(file_exists(dir.file("out.bcf.csi"))) << input;
    const RunResult bcf =
        run_shell("bcftools view -H -r 20:1000000-1002105 " + q(dir.file("out.bcf")));
    EXPECT_EQ(bcf.err, "") << input;
    EXPECT_EQ(bcf.out, run_shell("bcftools view -H " + q(dir.file("text.vcf"))).out) << input;
  }
  const RunResult piped = run_dorsane(args(kInput + "/gl.vcf", "-"));
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(without_command_line(piped.out), read_output(dir.file("text.vcf")));

  const RunResult ours = run_shell("bcftools query -f '%INFO/AF\\n' " + q(dir.file("text.vcf")));
  const RunResult tools = run_shell("bcftools +fill-tags " + q(dir.file("text.vcf")) +
                                    " -- -t AF | bcftools query -f '%INFO/AF\\n'");
  ASSERT_EQ(tools.status, 0) << tools.err;
  std::istringstream a(ours.out), b(tools.out);
  int sites = 0;
  for (double x, y; a >> x && b >> y; ++sites) EXPECT_NEAR(x, y, 5e-5);
  EXPECT_EQ(sites, 21);
}
