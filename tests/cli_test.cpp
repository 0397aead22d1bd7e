// End-to-end checks of the command line: help, summary, option handling, modes.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "app/run_log.h"
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
  // 40 options; --help also as -h, --o as -o and --output, --seed as -s, --threads as -t,
  // --region as -r, --output-type as -O
  EXPECT_EQ(documented.size(), 48u);
  for (const char* option : {"--help", "-h"}) {
    const RunResult result = run_dorsane({option}, dir.path());
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.err, "") << option;
    EXPECT_EQ(result.out, read_file(kData + "/help.txt")) << option;
    EXPECT_EQ(listed_options(result.out, false), documented) << option;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 100u) << line;
  }
  // Help (or the version) among other options wins, before any of their values is checked,
  // but not over an argument that is no option.
  EXPECT_EQ(run_dorsane({"--glfs", "missing.vcf", "--help"}, dir.path()).status, 0);
  EXPECT_EQ(run_dorsane({"--bogus", "--help"}, dir.path()).err,
            "ERROR! unknown option '--bogus'\n");
  const RunResult extra = run_dorsane({"--version", "extra"}, dir.path());
  EXPECT_EQ(extra.status, 1);
  EXPECT_EQ(extra.out, "");
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
  const RunResult result = run_dorsane_loud(
      {"--sample-file", "s", "--glfs", "g", "--scaffold-file", "sc", "--o", "out", "--int", "1000",
       "2000", "--ped-file", "p.ped", "--ref-panel", "r", "--lambda", "0.1", "--seed", "5"},
      dir.path());
  EXPECT_EQ(result.status, 1);
  const std::string golden = read_file(kData + "/summary_with_ped_and_panel.txt");
  EXPECT_EQ(result.err.substr(0, golden.size()), golden);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(
      contains(result.err, "\nERROR! Can't open sample file: s: No such file or directory\n"));
}

TEST(Cli, DefaultsPrintInSummary) {
  TempDir dir;
  const RunResult result = run_dorsane_loud(calling_args(dir, {"--int", "1", "2"}), dir.path());
  EXPECT_TRUE(contains(result.err, "Penalty value lambda                    : 0.06\n"));
  // Without a panel the width follows the cohort, known once the samples are read.
  EXPECT_TRUE(contains(result.err, "Number of flanking sites at either side : from the cohort\n"));
  EXPECT_FALSE(contains(result.err, "Ped file"));
  const RunResult zero =
      run_dorsane_loud(calling_args(dir, {"--int", "1", "2", "--numsnps", "0"}), dir.path());
  EXPECT_TRUE(contains(zero.err, "Number of flanking sites at either side : 0\n"));
}

TEST(Cli, MissingRequiredParametersInOneMessage) {
  TempDir dir;
  RunResult result = run_dorsane({"--k", "3"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Exiting : ERROR! Parameters [ --glfs, --o, --sample-file, --scaffold-file ] and a "
            "region (--region, --int or --list) are required.\n");
  EXPECT_EQ(result.out, "");

  result = run_dorsane({"--sample-file", "s", "--glfs", "g", "--scaffold-file", "sc", "-r", "20"},
                       dir.path());
  EXPECT_EQ(result.err, "Exiting : ERROR! Parameter [ --o ] is required.\n");
  EXPECT_EQ(result.status, 1);

  // ---glfs is no spelling of --glfs.
  result = run_dorsane({"--sample-file", "s", "---glfs", "g", "--scaffold-file", "sc", "--o", "o",
                        "--int", "1", "2"},
                       dir.path());
  EXPECT_EQ(result.err, "ERROR! unknown option '---glfs'; did you mean '--glfs'?\n");
}

TEST(Cli, IntBounds) {
  TempDir dir;
  struct Case {
    std::vector<std::string> extra;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--int", "1000", "2000", "3000"},
       "ERROR! --int needs two bounds, <lower> <upper>, given once\n"},
      {{"--int", "1000"}, "ERROR! --int needs two bounds, <lower> <upper>, given once\n"},
      {{"--int", "1000", "--numsnps", "20"},
       "ERROR! --int needs two bounds, <lower> <upper>, given once\n"},
      {{"--int", "1", "2", "--int", "3", "4"},
       "ERROR! --int needs two bounds, <lower> <upper>, given once\n"},
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
    const RunResult result = run_dorsane_loud(calling_args(dir, ok), dir.path());
    EXPECT_TRUE(contains(result.err, "READING FILES FROM COMMAND LINE")) << ok[2];
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
      {{"--model-memory", "-1"},
       "ERROR! Option --model-memory needs a whole number of MB from 0 to 16777216, got '-1'"},
      {{"--iteration", "10x"},
       "ERROR! Option --iteration needs a whole number in the 32-bit range, got '10x'"},
      {{"--lambda", "nan"}, "ERROR! Option --lambda needs a finite number, got 'nan'"},
      {{"--numsnps", "4294967296"},
       "ERROR! Option --numsnps needs a whole number in the 32-bit range"},
      {{"--lambda", "-0.5"}, "ERROR! --lambda must not be negative, got -0.5"},
      {{"--rare-band", "0.6"}, "ERROR! --rare-band must be from 0 to 0.5, got 0.6"},
      {{"--copying-weight", "1.5"}, "ERROR! --copying-weight must be from 0 to 1, got 1.5"},
      {{"--copying-calls", "calls.vcf"},
       "ERROR! --copying-calls calls.vcf needs --ref-panel and a --copying-weight above 0"},
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
      {{},
       "ERROR! The region to analyse is missing: give --region CHR:START-END, --int <lower> "
       "<upper> or --list <file>"},
      {{"--log", ""}, "ERROR! --log needs a file name, got ''"},
      {{"--region", "20:0-5"},
       "ERROR! --region '20:0-5' is not CHR, CHR:POS, CHR:START-END or CHR:START- (START and END "
       "are whole numbers from 1 to 2147483647)"},
      {{"--region", "20:1-nan"}, "ERROR! --region '20:1-nan' is not CHR, CHR:POS,"},
      {{"--copying-weight", "0.5", "--passes", "1"},
       "ERROR! --copying-weight 0.5 needs --ref-panel or --passes 2: it weighs the prior"},
      {{"--first-pass-numsnps", "20", "--passes", "1"},
       "ERROR! --first-pass-numsnps 20 needs --passes 2: one pass has no first pass to narrow"},
      {{"--first-pass-numsnps", "-3"},
       "ERROR! Option --first-pass-numsnps needs a whole number from 0 to 2147483647"},
      {{"-Oz"},
       "ERROR! -O z asks for bgzipped VCF, but --o " + dir.file("out.vcf") + " names plain VCF"},
      {{"--output-type=u"}, "ERROR! -O u (uncompressed BCF) is not written"},
      {{"--dosage=yes"}, "ERROR! Option --dosage (argument '--dosage=yes') takes no value"},
      {{"--ref-panle=p"}, "ERROR! unknown option '--ref-panle'; did you mean '--ref-panel'?"},
      {{"--region", "20:5-6"},
       "ERROR! --region names the region alone: give it without --int and --list"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> extra = c.extra;
    if (!extra.empty()) extra.insert(extra.end(), {"--int", "1", "2"});
    const RunResult result = run_dorsane(calling_args(dir, extra), dir.path());
    EXPECT_EQ(result.status, 1) << c.error;
    EXPECT_TRUE(contains(result.err, c.error)) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
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
  const RunResult result = run_dorsane_loud(
      {"--sample-file", dir.file("samples-unphased.txt"), "--glfs", dir.file("calls-chr20.vcf.gz"),
       "--scaffold-file", dir.file("data-merge-posteriors"), "--o",
       dir.file("out-decompose-multi.vcf"), "--int", "1", "2"},
      dir.path());
  EXPECT_TRUE(
      contains(result.err, "Genotype Likelihoods file  : " + dir.file("calls-chr20.vcf.gz")));
  EXPECT_TRUE(
      contains(result.err, "ERROR! Can't open sample file: " + dir.file("samples-unphased.txt")));
}

// Options match whole: a misspelt, shortened or lengthened option, a stray word and a
// value-less option are each one line naming the argument, with the nearest option.
TEST(Cli, OptionsMatchWholeOrAreErrors) {
  TempDir dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--ref-panle", "p"}, "unknown option '--ref-panle'; did you mean '--ref-panel'?"},
      {{"--thread", "2"}, "unknown option '--thread'; did you mean '--threads'?"},
      {{"--samples-file", "x"}, "unknown option '--samples-file'; did you mean '--sample-file'?"},
      {{"--iterations", "50"}, "unknown option '--iterations'; did you mean '--iteration'?"},
      {{"--keep-going"}, "unknown option '--keep-going'"},
      {{"--tune"}, "unknown option '--tune'; did you mean '--tune-settings'?"},
      {{"--frobnicate", "stray"}, "unknown option '--frobnicate'"},
      {{"--k", "3", "stray"}, "unexpected argument 'stray'"},
      {{"-T", "2"}, "unknown option '-T'; did you mean '--threads'?"},
      {{"-x"}, "unknown option '-x'\n"},
  };
  for (const auto& [extra, error] : cases) {
    std::vector<std::string> args = {"--int", "1", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult result = run_dorsane(calling_args(dir, args), dir.path());
    EXPECT_EQ(result.status, 1) << extra[0];
    EXPECT_TRUE(contains(result.err, "ERROR! " + error)) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Every single-dash option answers to its double-dash form, and the short forms to the long.
TEST(Cli, DoubleDashFormsAndAliases) {
  TempDir dir;
  const std::string samples = dir.write("s.txt", "S1\n");
  for (const char* merge : {"-merge-posteriors", "--merge-posteriors"}) {
    const RunResult result =
        run_dorsane({merge, "a", "b", "--output", "out", "--sample-file", samples}, dir.path());
    EXPECT_TRUE(contains(result.err, "ERROR! Can't open posterior file: a")) << merge;
  }
  for (const char* decompose : {"-decompose-multi", "--decompose-multi"}) {
    for (const char* unphased : {"-unphased", "--unphased"}) {
      const RunResult result = run_dorsane(
          {decompose, "in", "-o", "out", "--sample-file", samples, unphased}, dir.path());
      EXPECT_TRUE(contains(result.err, "ERROR! Can't open GLs vcf file in")) << result.err;
    }
  }
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--chr", "7", "--initial", "init.vcf", "-t", "2", "-s", "9"},
        std::vector<std::string>{"-chr", "7", "-initial", "init.vcf", "--threads", "2"}}) {
    std::vector<std::string> args = {"--int", "1", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult result = run_dorsane(calling_args(dir, args), dir.path());
    EXPECT_EQ(result.err, "ERROR! Can't open sample file: " + dir.file("samples.txt") +
                              ": No such file or directory\n");
  }
}

TEST(Cli, AuxiliaryModesSkipSummaryAndRequiredChecks) {
  TempDir dir;
  dir.write("s.txt", "S1\n");
  // Merge wins over decomposition when both are given.
  const RunResult both = run_dorsane({"-merge-posteriors", "a", "b", "-decompose-multi", "c", "--o",
                                      "out", "--sample-file", dir.file("s.txt")},
                                     dir.path());
  EXPECT_FALSE(contains(both.err, "Welcome"));
  EXPECT_FALSE(contains(both.err, "is required"));
  EXPECT_TRUE(contains(both.err, "Can't open posterior file: a"));
  EXPECT_FALSE(contains(both.err, "decomposition"));
}

TEST(Cli, PositionListErrors) {
  TempDir dir;
  RunResult result = run_dorsane(calling_args(dir, {"--list", dir.file("absent.txt")}), dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "ERROR! Can't open " + dir.file("absent.txt") + ": No such file or directory\n");

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
  result = run_dorsane_loud(calling_args(dir, {"--list", dir.file("wide.txt")}), dir.path());
  EXPECT_TRUE(contains(result.err, "READING FILES FROM COMMAND LINE"));
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
  quiet.insert(quiet.end(), {"--o", dir.file("b.vcf"), "--quiet", "--log", dir.file("b.log")});
  const RunResult loud = run_dorsane_loud(args, dir.path());
  const RunResult silent = run_dorsane_loud(quiet, dir.path());
  ASSERT_EQ(silent.status, 0) << silent.err;
  // Standard output carries only what was asked for; the banner, progress and closing
  // figures go to standard error, and --quiet keeps them to the log.
  EXPECT_EQ(loud.out, "");
  EXPECT_EQ(silent.out, "");
  EXPECT_EQ(silent.err, "");
  for (const char* part : {"Welcome to  Dorsane", "Seed                                    : 2\n",
                           " s (wall time), ", "Have a nice day!"}) {
    EXPECT_TRUE(contains(loud.err, part)) << part;
    EXPECT_TRUE(contains(read_file(dir.file("b.log")), part)) << part;
  }
  EXPECT_TRUE(contains(loud.err, "Analysing variant "));
  EXPECT_FALSE(contains(read_file(dir.file("b.log")), "Analysing variant "));
  EXPECT_EQ(read_output(dir.file("b.vcf")), read_output(dir.file("a.vcf")));
  // The echo is asked for; the clock seed is printed and recorded with the command.
  args.insert(args.end(), {"--echo-likelihoods", "--o", dir.file("c.vcf")});
  args.erase(std::find(args.begin(), args.end(), "--seed"), args.end() - 3);
  const RunResult echo = run_dorsane_loud(args, dir.path());
  ASSERT_EQ(echo.status, 0) << echo.err;
  EXPECT_EQ(echo.out.rfind("S01 ", 0), 0u) << echo.out.substr(0, 80);
  const std::size_t seed_at = echo.err.find("(from the clock; --seed ");
  ASSERT_NE(seed_at, std::string::npos);
  const std::string seed =
      echo.err.substr(seed_at + 24, echo.err.find(' ', seed_at + 24) - seed_at - 24);
  EXPECT_TRUE(contains(read_file(dir.file("c.vcf")), " --seed " + seed + "\n"));
}

// Away from a terminal a line every 5 percent, the last with no time left; on a terminal
// the line is rewritten in place and ended once.
TEST(Cli, ProgressLinesEveryFivePercentOrRefreshedInPlace) {
  std::ostringstream file;
  ProgressLine lines(file, false, 40);
  for (int i = 0; i < 40; ++i) lines.advance();
  lines.finish();
  const std::string text = file.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20) << text;
  EXPECT_TRUE(contains(text, "Analysing variant 2/40 (5%), elapsed ")) << text;
  EXPECT_TRUE(contains(text, " variants/s, ETA ")) << text;
  EXPECT_TRUE(contains(text, "Analysing variant 40/40 (100%)")) << text;
  EXPECT_FALSE(contains(text.substr(text.rfind("40/40")), "ETA"));
  std::ostringstream terminal;
  ProgressLine refreshed(terminal, true, 3);
  for (int i = 0; i < 3; ++i) refreshed.advance();
  refreshed.finish();
  const std::string shown = terminal.str();
  EXPECT_EQ(shown.rfind("\rAnalysing variant 1/3 (33%)", 0), 0u) << shown;
  EXPECT_TRUE(contains(shown, "\rAnalysing variant 3/3 (100%)"));
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 1);
  EXPECT_EQ(duration_text(3725), "1 h 02 min");
  EXPECT_EQ(duration_text(65.4), "1 min 05 s");
}

// --name=value reads as the two arguments; the short region forms select the records that
// their CHR:START-END spelling does, and the banner gives them as written.
TEST(Cli, AttachedValuesAndShortRegionForms) {
  TempDir dir;
  const std::string common =
      "--sample-file samples.txt --glfs gl.vcf --scaffold-file scaffold.txt --iteration 4 "
      "--burnin 1 --numsnps 3 ";
  std::vector<std::string> attached =
      golden_input_args(common + "--seed=9 -r 20 --o=" + dir.file("a.vcf"));
  std::vector<std::string> spelt =
      golden_input_args(common + "--seed 9 --region 20:1-2147483647 -o " + dir.file("b.vcf"));
  const RunResult a = run_dorsane_loud(attached, dir.path());
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(run_dorsane(spelt, dir.path()).status, 0);
  EXPECT_TRUE(contains(a.err, "Region                                  : 20\n"));
  EXPECT_TRUE(contains(a.err, "Samples                      : 12\n"));
  EXPECT_TRUE(contains(a.err, "Threads                      : 1\n"));
  EXPECT_EQ(read_output(dir.file("a.vcf")), read_output(dir.file("b.vcf")));
  std::vector<std::string> open_end =
      golden_input_args(common + "--seed 9 -r 20:1003000- -Ov -o " + dir.file("c.vcf"));
  ASSERT_EQ(run_dorsane(open_end, dir.path()).status, 0);
  const std::string records = read_output(dir.file("c.vcf"));
  EXPECT_EQ(records.find("\n20\t1002"), std::string::npos);
  EXPECT_NE(records.find("\n20\t1003"), std::string::npos);
}
