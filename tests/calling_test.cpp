// The calling mode end to end on simulated cohorts: repeatable runs, scaffold sites
// copied, outputs that htslib reads, accuracy against the likelihood-only baseline.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_util.h"
#include "util/ordered_parallel.h"

namespace {

const std::string kSource = DORSANE_SOURCE_DIR;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

using Cohort = SimulatedCohort;

std::vector<std::string> data_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

}  // namespace

TEST(CallingMode, SameSeedSameOutputsAndGzipMatchesPlain) {
  Cohort cohort("--seed 5 --samples 30 --sites 150 --coverage 4");
  const std::vector<std::string> extra = {"--numsnps", "8", "--iteration", "30",
                                          "--burnin",  "5", "--seed",      "42"};
  auto run = [&](const std::string& glfs, const std::string& tag) {
    std::vector<std::string> args = cohort.args(glfs, cohort.dir.file(tag + ".vcf"), extra);
    args.insert(args.end(), {"--mp", cohort.dir.file(tag + ".mp")});
    const RunResult result = run_dorsane(args, cohort.dir.path());
    EXPECT_EQ(result.status, 0) << result.err;
    return read_output(cohort.dir.file(tag + ".vcf")) + read_file(cohort.dir.file(tag + ".mp"));
  };
  const std::string first = run(cohort.dir.file("gl.vcf"), "a");
  EXPECT_EQ(run(cohort.dir.file("gl.vcf"), "b"), first);
  write_gzip(cohort.dir.file("gl.vcf.gz"), read_file(cohort.dir.file("gl.vcf")));
  EXPECT_EQ(run(cohort.dir.file("gl.vcf.gz"), "c"), first);
  // Another seed draws other chains.
  std::vector<std::string> args =
      cohort.args(cohort.dir.file("gl.vcf"), cohort.dir.file("d.vcf"),
                  {"--numsnps", "8", "--iteration", "30", "--burnin", "5", "--seed", "43"});
  ASSERT_EQ(run_dorsane(args, cohort.dir.path()).status, 0);
  EXPECT_NE(read_output(cohort.dir.file("d.vcf")), read_output(cohort.dir.file("a.vcf")));
}

TEST(CallingMode, ScaffoldSitesCopiedEveryPositionWrittenOnce) {
  Cohort cohort("--seed 8 --samples 12 --sites 80 --coverage 4 --chrom chr7");
  const RunResult result =
      run_dorsane_loud(cohort.args(cohort.dir.file("gl.vcf"), cohort.dir.file("out.vcf"),
                                   {"--numsnps", "4", "--iteration", "20", "--burnin", "2",
                                    "--seed", "1", "--mp", cohort.dir.file("out.mp")}),
                       cohort.dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  // Standard output carries nothing unasked: no echo, no REF letters, no progress.
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(contains(result.err, "Number of variants to impute : 80\n"));
  EXPECT_TRUE(contains(result.err, "Analysing variant 80/80 (100%), elapsed "));
  EXPECT_TRUE(contains(result.err, "Writing phased genotypes in output files...\n"));

  const auto records = data_lines(read_file(cohort.dir.file("out.vcf")));
  ASSERT_EQ(records.size(), 80u);
  const std::string mp = read_file(cohort.dir.file("out.mp"));
  EXPECT_EQ(data_lines(mp).size(), 80u);
  EXPECT_EQ(mp.substr(mp.size() - 3), " \n\n");  // an empty last line

  // Every scaffold site is written with the scaffold's phased genotypes and posterior 1.
  std::istringstream scaffold(read_file(cohort.dir.file("scaffold.txt")));
  std::string line;
  int checked = 0;
  while (std::getline(scaffold, line)) {
    std::istringstream fields(line);
    std::string chrom, id, pos, a1, a2;
    fields >> chrom >> id >> pos >> a1 >> a2;
    std::string expected =
        "chr7\t" + pos + "\t.\t" + a1 + "\t" + a2 + "\t.\tPASS\tNUMALT=1\tGT:AVGPOST:PL";
    std::string h1, h2;
    while (fields >> h1 >> h2) expected += "\t" + h1 + "|" + h2 + ":1:";
    bool found = false;
    for (const std::string& record : records) {
      if (record.rfind("chr7\t" + pos + "\t", 0) != 0) continue;
      found = true;
      // Compare without the PL values of each sample.
      std::string stripped;
      std::istringstream columns(record);
      std::string column;
      bool first = true;
      while (std::getline(columns, column, '\t')) {
        if (!first) stripped += "\t";
        first = false;
        const std::size_t pl = column.rfind(':');
        stripped += (column.find('|') != std::string::npos && pl != std::string::npos)
                        ? column.substr(0, pl + 1)
                        : column;
      }
      // AF and INFO aside: the scaffold's haplotypes are copied.
      const std::size_t af = stripped.find(";AF=");
      ASSERT_NE(af, std::string::npos);
      stripped.erase(af, stripped.find('\t', af) - af);
      EXPECT_EQ(stripped, expected);
    }
    EXPECT_TRUE(found) << pos;
    ++checked;
  }
  EXPECT_GT(checked, 5);
}

TEST(CallingMode, HtslibReadsTheVcf) {
  ASSERT_TRUE(file_exists("/usr/bin/bcftools"))
      << "bcftools is missing: run scripts/install-deps.sh";
  Cohort cohort("--seed 9 --samples 10 --sites 60 --coverage 4 --chrom chr20");
  ASSERT_EQ(run_dorsane(cohort.args(cohort.dir.file("gl.vcf"), cohort.dir.file("out.vcf"),
                                    {"--numsnps", "4", "--iteration", "20", "--seed", "3"}),
                        cohort.dir.path())
                .status,
            0);
  const RunResult view = run_shell("bcftools view '" + cohort.dir.file("out.vcf") + "' >/dev/null");
  EXPECT_EQ(view.status, 0) << view.err;
  EXPECT_FALSE(contains(view.err, "rror")) << view.err;
  const RunResult query =
      run_shell("bcftools query -f '[%GT %PL %AVGPOST\\n]' '" + cohort.dir.file("out.vcf") + "'");
  ASSERT_EQ(query.status, 0) << query.err;
  // bcftools sees exactly the genotypes, PL and AVGPOST that were written.
  std::string expected;
  for (const std::string& record : data_lines(read_file(cohort.dir.file("out.vcf")))) {
    std::istringstream columns(record);
    std::string column;
    for (int c = 0; std::getline(columns, column, '\t'); ++c) {
      if (c < 9) continue;
      const std::size_t a = column.find(':');
      const std::size_t b = column.find(':', a + 1);
      expected += column.substr(0, a) + " " + column.substr(b + 1) + " " +
                  column.substr(a + 1, b - a - 1) + "\n";
    }
  }
  EXPECT_EQ(query.out, expected);
}

TEST(CallingMode, BeatsTheLikelihoodBaselineAtCommonSites) {
  Cohort cohort("--seed 21 --samples 120 --sites 400 --coverage 4 --gl");
  const RunResult result = run_dorsane(
      cohort.args(cohort.dir.file("gl.vcf"), cohort.dir.file("out.vcf"),
                  {"--numsnps", "10", "--iteration", "60", "--burnin", "10", "--seed", "7"}),
      cohort.dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string glfs = "--glfs " + cohort.dir.file("gl.vcf");
  const double calls = cohort.evaluate("out", {"calls", ">5%", "nonref_discordance"}, glfs);
  const double baseline = cohort.evaluate("out", {"baseline", ">5%", "nonref_discordance"}, glfs);
  std::cout << "non-reference discordance at MAF > 5%: dorsane " << calls << ", baseline "
            << baseline << std::endl;
  EXPECT_LE(calls, baseline / 2);
}

TEST(CallingMode, FailuresLeaveNoOutputAndComeEarly) {
  Cohort cohort("--seed 4 --samples 8 --sites 40 --coverage 4");
  // An output that cannot be created is reported before any input is read.
  RunResult result = run_dorsane(
      cohort.args(cohort.dir.file("gl.vcf"), cohort.dir.file("missing/out.vcf"), {"--seed", "1"}),
      cohort.dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ERROR! Can't open output file: " + cohort.dir.file("missing/out.vcf") +
                            ": No such file or directory\n");
  EXPECT_FALSE(contains(result.out, "Reading sample file"));

  // A scaffold too small for the window: an error, and neither output appears.
  result = run_dorsane(cohort.args(cohort.dir.file("gl.vcf"), cohort.dir.file("out.vcf"),
                                   {"--numsnps", "500", "--mp", cohort.dir.file("out.mp")}),
                       cohort.dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(contains(result.err, "use a smaller --numsnps")) << result.err;
  EXPECT_FALSE(file_exists(cohort.dir.file("out.vcf")));
  EXPECT_FALSE(file_exists(cohort.dir.file("out.mp")));
  EXPECT_EQ(run_shell("ls '" + cohort.dir.path() + "' | grep -c dorsane-tmp").out, "0\n");
}

TEST(CallingMode, EmptyWindowAndZeroPenaltyStillCall) {
  Cohort cohort("--seed 6 --samples 10 --sites 40 --coverage 4");
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--numsnps", "0"},
        std::vector<std::string>{"--numsnps", "3", "--lambda", "0"}}) {
    const RunResult result =
        run_dorsane(cohort.args(cohort.dir.file("gl.vcf"), cohort.dir.file("out.vcf"),
                                {extra.begin(), extra.end()}),
                    cohort.dir.path());
    EXPECT_EQ(result.status, 0) << extra[1] << ": " << result.err;
    EXPECT_EQ(data_lines(read_file(cohort.dir.file("out.vcf"))).size(), 40u);
    EXPECT_FALSE(contains(read_file(cohort.dir.file("out.vcf")), "nan"));
  }
}

TEST(RunInOrder, ResultsInMaxAheadSlotsReachConsumeInOrderAndAFailureStopsThere) {
  constexpr int kUnits = 300;
  constexpr int kMaxAhead = 3;
  for (const int threads : {1, 2, 4}) {
    // Results live in kMaxAhead slots, as the caller keeps them: a unit started too early
    // would overwrite one not yet consumed.
    std::vector<int> slots(kMaxAhead, -1);
    std::vector<int> consumed;
    auto work = [&](int unit, int) {
      if (unit % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (unit == 250) throw std::runtime_error("unit 250");
      slots[unit % kMaxAhead] = unit;
    };
    auto consume = [&](int unit) {
      consumed.push_back(slots[unit % kMaxAhead]);
      slots[unit % kMaxAhead] = -1;
    };
    EXPECT_THROW(run_in_order(kUnits, threads, kMaxAhead, work, consume), std::runtime_error);
    std::vector<int> expected(250);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(consumed, expected) << threads << " threads";
  }
}

TEST(ParallelFor, EveryIndexOnceAndTheLowestFailureReported) {
  for (const int threads : {1, 2, 5}) {
    std::vector<std::atomic<int>> runs(1000);
    parallel_for(1000, threads, [&](int i, int thread) {
      ASSERT_LT(thread, threads);
      ++runs[static_cast<std::size_t>(i)];
    });
    for (const std::atomic<int>& count : runs) EXPECT_EQ(count.load(), 1) << threads;
    // Two failures: whichever thread meets one first, the lower index is the one reported.
    auto failing = [](int i, int) {
      if (i == 700) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (i == 700 || i == 900) throw std::runtime_error(std::to_string(i));
    };
    try {
      parallel_for(1000, threads, failing);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "700") << threads;
    }
  }
}

// Past 400 cohort haplotypes the second pass copies the closest 400 of them (never the
// sample's own): two threads and a run over part of the region give the same records.
TEST(CallingMode, TwoPassesCopyTheClosestOfALargeCohortAlikeOnAnyThreadCount) {
  Cohort cohort("--seed 9 --samples 205 --sites 90 --coverage 2 --scaffold-every 3");
  const std::vector<std::string> extra = {"--numsnps", "5", "--iteration", "8",
                                          "--burnin",  "2", "--seed",      "3"};
  const RunResult one = cohort.run("one", extra);
  ASSERT_EQ(one.status, 0) << one.err;
  std::vector<std::string> threads = extra;
  threads.insert(threads.end(), {"--threads", "2"});
  ASSERT_EQ(cohort.run("two", threads).status, 0);
  EXPECT_EQ(read_output(cohort.dir.file("two.vcf")), read_output(cohort.dir.file("one.vcf")));
  const std::string glfs = "--glfs " + cohort.dir.file("gl.vcf");
  EXPECT_LT(cohort.evaluate("one", {"calls", "all", "nonref_discordance"}, glfs),
            cohort.evaluate("one", {"baseline", "all", "nonref_discordance"}, glfs));
}
