// End-to-end checks of the command line: help, summary, option handling, modes.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "test_util.h"

namespace {

const std::string kData = DORSANE_TEST_DATA;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A calling-mode command line with every required file; extra arguments appended.
std::vector<std::string> calling_args(const TempDir& dir, std::vector<std::string> extra) {
  std::vector<std::string> args = {
      "--sample-file",   dir.file("samples.txt"),  "--glfs", dir.file("gl.vcf"),
      "--scaffold-file", dir.file("scaffold.txt"), "--o",    dir.file("out.vcf")};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace

TEST(Cli, NoArgumentsPrintsHelpOnly) {
  TempDir dir;
  const RunResult result = run_dorsane({}, dir.path());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, read_file(kData + "/help.txt"));
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// The options in the first column of docs/usage.md's option tables, or of the help's option
// lines: every "-name" token outside the <value> placeholders.
std::set<std::string> listed_options(const std::string& text, bool markdown) {
  std::set<std::string> options;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (markdown ? line.rfind("| `-", 0) != 0 : line.rfind("  -", 0) != 0) continue;
    const std::string column = markdown ? line.substr(0, line.find('|', 1)) : line.substr(0, 28);
    bool in_value = false;
    for (std::size_t i = 0; i < column.size(); ++i) {
      in_value = column[i] == '<' || (in_value && column[i] != '>');
      const bool starts = column[i] == '-' &&
                          (i == 0 || std::string(" `,").find(column[i - 1]) != std::string::npos);
      if (in_value || !starts) continue;
      std::size_t end = column.find_first_not_of("-abcdefghijklmnopqrstuvwxyz", i);
      options.insert(column.substr(i, end - i));
      i = end - 1;
    }
  }
  return options;
}

TEST(Cli, HelpAndShortHelpPrintEveryDocumentedOption) {
  TempDir dir;
  const std::set<std::string> documented =
      listed_options(read_file(std::string(DORSANE_SOURCE_DIR) + "/docs/usage.md"), true);
  EXPECT_EQ(documented.size(), 32u);  // 31 options, --help also as -h
  for (const char* option : {"--help", "-h"}) {
    const RunResult result = run_dorsane({option}, dir.path());
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.err, "") << option;
    EXPECT_EQ(result.out, read_file(kData + "/help.txt")) << option;
    EXPECT_EQ(listed_options(result.out, false), documented) << option;
  }
  // Help among other options wins, before any of them is checked.
  EXPECT_EQ(run_dorsane({"--glfs", "missing.vcf", "--help"}, dir.path()).status, 0);
}

// Colours only on a terminal (script gives the run one) and never with NO_COLOR.
TEST(Cli, HelpColoursOnlyOnATerminalWithoutNoColor) {
  const std::string binary = DORSANE_BINARY;
  const RunResult tty = run_shell("unset NO_COLOR; script -qec '" + binary + " -h' /dev/null");
  const RunResult no_color = run_shell("NO_COLOR=1 script -qec '" + binary + " -h' /dev/null");
  EXPECT_TRUE(contains(tty.out, "\x1b[1m")) << tty.out;
  EXPECT_FALSE(contains(no_color.out, "\x1b[")) << no_color.out;
  EXPECT_FALSE(contains(read_file(kData + "/help.txt"), "\x1b["));
}

TEST(Cli, SummaryMatchesGolden) {
  TempDir dir;
  const RunResult result = run_dorsane(
      {"--sample-file", "s", "--glfs", "g", "--scaffold-file", "sc", "--o", "out", "--int", "1000",
       "2000", "--ped-file", "p.ped", "--ref-panel", "r", "--lambda", "0.1"},
      dir.path());
  EXPECT_EQ(result.status, 1);
  const std::string golden = read_file(kData + "/summary_with_ped_and_panel.txt");
  EXPECT_EQ(result.out.substr(0, golden.size()), golden);
  EXPECT_EQ(result.err, "ERROR! Can't open sample file: s\n");
}

TEST(Cli, DefaultsPrintInSummary) {
  TempDir dir;
  const RunResult result = run_dorsane(calling_args(dir, {"--int", "1", "2"}), dir.path());
  EXPECT_TRUE(contains(result.out, "Penalty value lambda                    : 0.06\n"));
  // Without a panel the width follows the cohort, known once the samples are read.
  EXPECT_TRUE(contains(result.out, "Number of flanking sites at either site : from the cohort\n"));
  EXPECT_FALSE(contains(result.out, "Ped file"));
  const RunResult zero =
      run_dorsane(calling_args(dir, {"--int", "1", "2", "--numsnps", "0"}), dir.path());
  EXPECT_TRUE(contains(zero.out, "Number of flanking sites at either site : 0\n"));
}

TEST(Cli, MissingRequiredParameterInKeyOrder) {
  TempDir dir;
  RunResult result = run_dorsane({"x"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Exiting : ERROR! Parameter [ --glfs ] is required.\n");
  EXPECT_EQ(result.out, "");

  result = run_dorsane({"--sample-file", "s", "--glfs", "g", "--scaffold-file", "sc"}, dir.path());
  EXPECT_EQ(result.err, "Exiting : ERROR! Parameter [ --o ] is required.\n");
  EXPECT_EQ(result.status, 1);

  // ---glfs stores the file name but marks its own key, so --glfs is still missing.
  result = run_dorsane({"--sample-file", "s", "---glfs", "g", "--scaffold-file", "sc", "--o", "o",
                        "--int", "1", "2"},
                       dir.path());
  EXPECT_EQ(result.err, "Exiting : ERROR! Parameter [ --glfs ] is required.\n");
}

TEST(Cli, IntBounds) {
  TempDir dir;
  struct Case {
    std::vector<std::string> extra;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--int", "1000", "2000", "3000"}, "Two bounds are in need for '--int'.\n"},
      {{"--int", "1000"}, "Two bounds are in need for '--int'.\n"},
      {{"--int", "1000", "--numsnps", "20"}, "Two bounds are in need for '--int'.\n"},
      {{"--int", "1", "2", "--int", "3", "4"}, "Two bounds are in need for '--int'.\n"},
      {{"--int", "3000", "2000"},
       "ERROR! The lower bound 3000 of --int is above the upper bound 2000 (+5)\n"},
      {{"--int", "10", "2147483648"},
       "ERROR! Bounds of --int must be whole numbers from 0 to 2147483647, got '2147483648'\n"},
      {{"--int", "1x", "20"},
       "ERROR! Bounds of --int must be whole numbers from 0 to 2147483647, got '1x'\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = run_dorsane(calling_args(dir, c.extra), dir.path());
    EXPECT_EQ(result.status, 1) << c.extra[1];
    EXPECT_EQ(result.err, c.error);
  }
  // 998 + 5 is not below 1000; the upper bound near the top of the range does not wrap.
  for (const std::vector<std::string>& ok :
       {std::vector<std::string>{"--int", "1000", "998"},
        std::vector<std::string>{"--int", "0", "2147483647"}}) {
    const RunResult result = run_dorsane(calling_args(dir, ok), dir.path());
    EXPECT_TRUE(contains(result.out, "READING FILES FROM COMMAND LINE")) << ok[2];
    EXPECT_TRUE(contains(result.err, "Can't open sample file")) << ok[2];
  }
}

TEST(Cli, BadValuesAreErrors) {
  TempDir dir;
  struct Case {
    std::vector<std::string> extra;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--k", "abc"}, "ERROR! Option --k needs a whole number in the 32-bit range, got 'abc'"},
      {{"--iteration", "10x"},
       "ERROR! Option --iteration needs a whole number in the 32-bit range, got '10x'"},
      {{"--lambda", "nan"}, "ERROR! Option --lambda needs a finite number, got 'nan'"},
      {{"--numsnps", "4294967296"},
       "ERROR! Option --numsnps needs a whole number in the 32-bit range"},
      {{"--lambda", "-0.5"}, "ERROR! --lambda must not be negative, got -0.5"},
      {{"--rare-band", "0.6"}, "ERROR! --rare-band must be from 0 to 0.5, got 0.6"},
      {{"--copying-weight", "1.5"}, "ERROR! --copying-weight must be from 0 to 1, got 1.5"},
      {{"--numsnps", "-1"}, "ERROR! --numsnps must not be negative, got -1"},
      {{"--iteration", "0"}, "ERROR! --iteration must be at least 1, got 0"},
      {{"--burnin", "-1"}, "ERROR! --burnin must not be negative, got -1"},
      {{"--iteration", "10", "--burnin", "10"},
       "ERROR! --burnin (10) must be below --iteration (10)"},
      {{"--burnin", "100"}, "ERROR! --burnin (100) must be below --iteration (100)"},
      {{"--seed", "x"}, "ERROR! Option --seed needs a whole number"},
      {{"--threads", "0"}, "ERROR! Option --threads needs a whole number from 1 to 1024, got '0'"},
      {{"--threads", "-2"},
       "ERROR! Option --threads needs a whole number from 1 to 1024, got '-2'"},
      {{"--threads", "two"}, "ERROR! Option --threads needs a whole number from 1 to 1024"},
      {{}, "ERROR! The region to analyse is missing: give --int <lower> <upper> or --list <file>"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> extra = c.extra;
    if (!extra.empty()) extra.insert(extra.end(), {"--int", "1", "2"});
    const RunResult result = run_dorsane(calling_args(dir, extra), dir.path());
    EXPECT_EQ(result.status, 1) << c.error;
    EXPECT_TRUE(contains(result.err, c.error)) << result.err;
    EXPECT_FALSE(contains(result.out, "READING FILES")) << c.error;
  }
}

TEST(Cli, ValueMissingAtTheEnd) {
  TempDir dir;
  RunResult result = run_dorsane(calling_args(dir, {"--int", "1", "2", "--k"}), dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ERROR! Option --k (argument '--k') needs 1 value after it\n");
  result = run_dorsane({"-merge-posteriors", "a"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(contains(result.err, "-merge-posteriors"));
}

TEST(Cli, FileNamesNeverSelectOptions) {
  TempDir dir;
  // Values that contain option texts stay values; the calling mode runs.
  const RunResult result = run_dorsane(
      {"--sample-file", dir.file("samples-unphased.txt"), "--glfs", dir.file("calls-chr20.vcf.gz"),
       "--scaffold-file", dir.file("data-merge-posteriors"), "--o",
       dir.file("out-decompose-multi.vcf"), "--int", "1", "2"},
      dir.path());
  EXPECT_TRUE(
      contains(result.out, "Genotype Likelihoods file  : " + dir.file("calls-chr20.vcf.gz")));
  EXPECT_TRUE(
      contains(result.err, "ERROR! Can't open sample file: " + dir.file("samples-unphased.txt")));
}

TEST(Cli, UnknownDashArgumentsWarnOthersAreIgnored) {
  TempDir dir;
  const RunResult result =
      run_dorsane(calling_args(dir, {"--int", "1", "2", "--frobnicate", "stray"}), dir.path());
  EXPECT_TRUE(contains(result.err, "Warning: unknown option '--frobnicate' is ignored\n"));
  EXPECT_FALSE(contains(result.err, "stray"));
  EXPECT_TRUE(contains(result.out, "READING FILES FROM COMMAND LINE"));
}

TEST(Cli, SubstringMatchingStillWorks) {
  TempDir dir;
  // --chr contains -chr, --initial contains -initial: both keep working.
  const RunResult result = run_dorsane(
      calling_args(dir, {"--int", "1", "2", "--chr", "7", "--initial", "init.vcf"}), dir.path());
  EXPECT_TRUE(contains(result.out, "READING FILES FROM COMMAND LINE"));
  EXPECT_FALSE(contains(result.err, "Warning"));
}

TEST(Cli, AuxiliaryModesSkipSummaryAndRequiredChecks) {
  TempDir dir;
  dir.write("s.txt", "S1\n");
  // Merge wins over decomposition when both are given.
  const RunResult both = run_dorsane({"-merge-posteriors", "a", "b", "-decompose-multi", "c", "--o",
                                      "out", "--sample-file", dir.file("s.txt")},
                                     dir.path());
  EXPECT_FALSE(contains(both.out, "Welcome"));
  EXPECT_FALSE(contains(both.err, "is required"));
  EXPECT_TRUE(contains(both.out, "Reading sample file : " + dir.file("s.txt")));
  EXPECT_FALSE(contains(both.err, "decomposition"));
}

TEST(Cli, PositionListErrors) {
  TempDir dir;
  RunResult result = run_dorsane(calling_args(dir, {"--list", dir.file("absent.txt")}), dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ERROR! Can't open " + dir.file("absent.txt") + "\n");

  dir.write("bad.txt", "100\n\n200 x7\n");
  result = run_dorsane(calling_args(dir, {"--list", dir.file("bad.txt")}), dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ERROR! " + dir.file("bad.txt") +
                            ":3: position 'x7' is not a whole number from 0 to 2147483647\n");

  dir.write("empty.txt", "\n \n");
  result = run_dorsane(calling_args(dir, {"--list", dir.file("empty.txt")}), dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(contains(result.err, "holds no position"));

  // A list that spans two billion positions needs no memory for the gap.
  dir.write("wide.txt", "1 2000000000\n");
  result = run_dorsane(calling_args(dir, {"--list", dir.file("wide.txt")}), dir.path());
  EXPECT_TRUE(contains(result.out, "READING FILES FROM COMMAND LINE"));
  EXPECT_TRUE(contains(result.err, "Can't open sample file"));
}

TEST(Cli, VersionAndQuiet) {
  TempDir dir;
  const RunResult version = run_dorsane({"--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("dorsane ") + DORSANE_VERSION + "\n");
  // --quiet writes nothing to standard output and the same files.
  std::vector<std::string> args = golden_input_args(
      "--sample-file samples.txt --glfs gl.vcf --scaffold-file scaffold.txt --numsnps 3 "
      "--iteration 4 --burnin 1 --int 1000000 1000300 --seed 2");
  std::vector<std::string> quiet = args;
  args.insert(args.end(), {"--o", dir.file("a.vcf")});
  quiet.insert(quiet.end(), {"--o", dir.file("b.vcf"), "--quiet"});
  const RunResult loud = run_dorsane(args, dir.path());
  const RunResult silent = run_dorsane(quiet, dir.path());
  ASSERT_EQ(silent.status, 0) << silent.err;
  EXPECT_FALSE(loud.out.empty());
  EXPECT_EQ(silent.out, "");
  EXPECT_EQ(silent.err, loud.err);
  EXPECT_EQ(read_output(dir.file("b.vcf")), read_output(dir.file("a.vcf")));
}
