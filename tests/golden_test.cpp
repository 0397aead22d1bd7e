// Golden runs: one small seeded run per calling path, whose VCF and --mp outputs must
// stay byte-identical, so any change to the sampler's calls or posteriors is seen.
// UPDATE_GOLDEN=1 rewrites the expected files instead.
//
// The inputs in data/golden/input were made once (not at test time: the simulator may
// change) by tools/simulate.py --seed 7 --samples 12 --sites 70 --trios 1 --duos 2
// --trio-phased --panel 10 --multi 0.25 --scaffold-every 4, keeping the gl.vcf records of
// 1000000-1002105 without the multi-allelic ones, and those of 1003000-1004640; init.vcf
// is truth.vcf at four multi-allelic sites.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "test_util.h"

namespace {

const std::string kGolden = std::string(DORSANE_TEST_DATA) + "/golden";
const std::string kCommon =
    "--sample-file samples.txt --glfs gl.vcf --scaffold-file scaffold.txt --numsnps 3 "
    "--iteration 20 --burnin 5 --seed 11 ";
const std::string kBiallelic = "--int 1000000 1002100 ";
const std::string kMulti = "--int 1003000 1004635 ";
// One pass: the calls of the runs these cases were stored from.
const std::string kOnePass = "--passes 1 ";

struct GoldenCase {
  std::string name;
  std::string options;  // file names relative to data/golden/input
};
void PrintTo(const GoldenCase& c, std::ostream* out) { *out << c.name; }

const GoldenCase kCases[] = {
    {"plain", kBiallelic + kOnePass},
    // The default: a second pass copies along every sample's reads, here the cohort's own
    // first-pass haplotypes.
    {"plain_two_passes", kBiallelic},
    // One pass: the copying prior reads the array sites only.
    {"panel", kBiallelic + "--ref-panel panel.txt --passes 1"},
    // The default with a panel: a second pass copies along every sample's reads.
    {"panel_two_passes", kBiallelic + "--ref-panel panel.txt"},
    // The first pass on narrower windows than the second's.
    {"panel_two_passes_narrow_first", kBiallelic + "--ref-panel panel.txt --first-pass-numsnps 2"},
    // The window model alone, without the panel-copying prior: the calls of earlier versions.
    {"panel_window_model", kBiallelic + "--ref-panel panel.txt --copying-weight 0 --settle 0"},
    // The earlier rule at rare variants (band and phase) as well, kept exactly.
    {"panel_earlier_rare_rule", kBiallelic +
                                    "--ref-panel panel.txt --rare-band 0.01 --fixed-rare-phase "
                                    "--copying-weight 0 --settle 0"},
    // Copying along an earlier run's calls between the array sites too.
    {"panel_copying_calls", kBiallelic + "--ref-panel panel.txt --copying-calls ../panel.vcf"},
    {"pedigree", kBiallelic + kOnePass + "--ped-file family.ped --k 10"},
    {"pedigree_two_passes", kBiallelic + "--ped-file family.ped --k 10"},
    {"panel_pedigree", kBiallelic + "--ref-panel panel.txt --ped-file family.ped --passes 1"},
    {"panel_pedigree_two_passes", kBiallelic + "--ref-panel panel.txt --ped-file family.ped"},
    // Every sweep run and drawn in full, as before chains and samples settled.
    {"plain_every_sweep", kBiallelic + kOnePass + "--settle 0"},
    {"pedigree_every_sweep", kBiallelic + kOnePass + "--ped-file family.ped --k 10 --settle 0"},
    {"model_avg_every_sweep", kBiallelic + "--model-avg --settle 0"},
    {"multi", kMulti + kOnePass},
    {"multi_panel", kMulti + "--ref-panel panel.txt --passes 1"},
    {"list_panel", "--list list.txt --ref-panel panel.txt"},
    // Likelihood sites of both kinds, a scaffold site and a position with neither; family
    // members are left uncalled at the multi-allelic ones.
    {"list_pedigree", kOnePass + "--list list.txt --ped-file family.ped"},
    {"var_multi", kBiallelic + kOnePass + "--var-multi"},
    {"model_avg", kBiallelic + "--model-avg"},
    {"model_avg_pedigree", kBiallelic + "--model-avg --ped-file family.ped"},
    {"model_avg_multi", kMulti + "--model-avg --k 10"},
    {"initial", kMulti + kOnePass + "-initial init.vcf"},
    // Without flanking sites the window is empty (the sanitizer build runs these too).
    {"multi_no_flanks", kMulti + kOnePass + "--numsnps 0"},
    {"model_avg_multi_no_flanks", kMulti + "--model-avg --k 10 --numsnps 0"},
};

// "" when equal, else the first differing line of both versions.
std::string first_difference(const std::string& expected, const std::string& actual) {
  std::istringstream e(expected), a(actual);
  std::string le, la;
  for (int line = 1;; ++line) {
    const bool more_e = static_cast<bool>(std::getline(e, le));
    const bool more_a = static_cast<bool>(std::getline(a, la));
    if (!more_e && !more_a) return expected == actual ? "" : "final newline differs";
    if (more_e != more_a || le != la) {
      return "line " + std::to_string(line) + "\n  expected: " + (more_e ? le : "<end of file>") +
             "\n  actual:   " + (more_a ? la : "<end of file>");
    }
  }
}

class Golden : public testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, OutputsMatchStoredRun) {
  const GoldenCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> args;
  std::istringstream words(kCommon + c.options);
  for (std::string word; words >> word;) args.push_back(word);
  args.insert(args.end(), {"--o", dir.file("out.vcf"), "--mp", dir.file("out.mp")});
  const RunResult run = run_dorsane(args, kGolden + "/input");
  ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
  const bool update =
      std::getenv("UPDATE_GOLDEN") && std::string(std::getenv("UPDATE_GOLDEN")) == "1";
  for (const std::string ext : {".vcf", ".mp"}) {
    const std::string actual = read_output(dir.file("out" + ext));
    const std::string golden = kGolden + "/" + c.name + ext;
    if (ext == ".vcf") {
      ASSERT_NE(actual.find("\tPASS\tNUMALT="), std::string::npos) << c.name << ": no calls";
    }
    if (update) {
      std::ofstream out(golden, std::ios::binary);
      EXPECT_TRUE(out << actual) << "cannot write " << golden;
      continue;
    }
    ASSERT_TRUE(file_exists(golden)) << golden << " is missing; run with UPDATE_GOLDEN=1";
    const std::string diff = first_difference(read_file(golden), actual);
    EXPECT_TRUE(diff.empty()) << "case " << c.name << ", " << golden << " differs at " << diff;
  }
}

// A position's records depend on the inputs alone: the same records with two threads, and
// from a region that starts inside a window (whose models are then fitted at another
// position than in the whole run).
TEST_P(Golden, SameRecordsWithTwoThreadsAndFromAPartOfTheRegion) {
  const GoldenCase& c = GetParam();
  std::string options = kCommon + c.options;
  const std::size_t bounds = options.find("--int ");
  if (bounds != std::string::npos) {
    const std::size_t lower = bounds + 6;
    options.replace(lower, 7, std::to_string(std::stoul(options.substr(lower, 7)) + 300));
  }
  TempDir dir;
  std::vector<std::string> args;
  std::istringstream words(options + " --threads 2");
  for (std::string word; words >> word;) args.push_back(word);
  args.insert(args.end(), {"--o", dir.file("out.vcf"), "--mp", dir.file("out.mp")});
  const RunResult run = run_dorsane(args, kGolden + "/input");
  ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
  for (const std::string ext : {".vcf", ".mp"}) {
    const std::string whole = read_file(kGolden + "/" + c.name + ext);
    std::istringstream part(read_file(dir.file("out" + ext)));
    int records = 0;
    for (std::string line; std::getline(part, line);) {
      if (line.empty() || line[0] == '#') continue;
      ++records;
      EXPECT_NE(whole.find(line + "\n"), std::string::npos)
          << c.name << ext << ": not in the whole run: " << line.substr(0, 60);
    }
    EXPECT_GT(records, 0) << c.name << ext;
  }
}

// Options that must not move a record: --k all (every other sample haplotype, at these sizes
// the default's own choice) and a window's models fitted on two threads.
TEST(GoldenVariants, OptionsThatKeepTheStoredRunsByteForByte) {
  for (const std::string extra : {" --k all", " --threads 2 --model-memory 0"}) {
    for (const GoldenCase& c : {kCases[0], kCases[1], kCases[2], kCases[3], kCases[5]}) {
      TempDir dir;
      std::vector<std::string> args;
      std::istringstream words(kCommon + c.options + extra);
      for (std::string word; words >> word;) args.push_back(word);
      args.insert(args.end(), {"--o", dir.file("out.vcf"), "--mp", dir.file("out.mp")});
      const RunResult run = run_dorsane(args, kGolden + "/input");
      ASSERT_EQ(run.status, 0) << c.name << extra << ": " << run.err;
      for (const std::string ext : {".vcf", ".mp"}) {
        const std::string diff = first_difference(read_file(kGolden + "/" + c.name + ext),
                                                  read_output(dir.file("out" + ext)));
        EXPECT_TRUE(diff.empty()) << c.name << ext << " with" << extra << " differs at " << diff;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, Golden, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<GoldenCase>& info) {
                           return info.param.name;
                         });

}  // namespace

// bcftools reads what every mode writes without a warning: the contig (with the length
// the likelihood file's header gives), the field declarations and the provenance lines.
TEST(VcfHeaders, BcftoolsReadsEveryModeWithoutAWarning) {
  TempDir dir;
  const std::string input = kGolden + "/input/";
  std::string likelihoods = read_file(input + "gl.vcf");
  likelihoods.replace(likelihoods.find("##contig=<ID=20>"), 16, "##contig=<ID=20,length=64444167>");
  dir.write("gl.vcf", likelihoods);
  std::vector<std::string> args;
  std::istringstream words(kCommon + kMulti);
  for (std::string word; words >> word;) args.push_back(word == "gl.vcf" ? dir.file(word) : word);
  args.insert(args.end(), {"--o", dir.file("calls.vcf"), "--mp", dir.file("calls.mp"), "--dosage"});
  ASSERT_EQ(run_dorsane(args, input).status, 0);
  const std::string samples = input + "samples.txt";
  ASSERT_EQ(run_dorsane({"-merge-posteriors", dir.file("calls.mp"), dir.file("calls.mp"), "--o",
                         dir.file("merged.vcf"), "--sample-file", samples, "-chr", "20"})
                .status,
            0);
  ASSERT_EQ(run_dorsane({"-decompose-multi", dir.file("calls.vcf"), "--o", dir.file("split.vcf"),
                         "--sample-file", samples})
                .status,
            0);
  const std::string calls = read_file(dir.file("calls.vcf"));
  EXPECT_NE(calls.find("\n##contig=<ID=20,length=64444167>\n"), std::string::npos);
  EXPECT_NE(calls.find("\n##dorsaneCommand="), std::string::npos);
  for (const std::string name : {"calls.vcf", "merged.vcf", "split.vcf"}) {
    const std::string file = "'" + dir.file(name) + "'";
    for (const std::string tool : {"bcftools view ", "bcftools +fill-tags "}) {
      const RunResult read = run_shell(tool + file + " > /dev/null");
      EXPECT_EQ(read.status, 0) << tool << name;
      EXPECT_EQ(read.err, "") << tool << name;
    }
  }
}

// The scaffold sites copied into the calls, and only they, carry INFO/TYPED, which bcftools
// filters on; the readers of earlier calls (-initial, --copying-calls) take such a file.
TEST(VcfHeaders, TypedFlagsExactlyTheCopiedScaffoldSites) {
  const std::string input = kGolden + "/input/";
  std::string scaffold_sites;
  std::istringstream scaffold(read_file(input + "scaffold.txt"));
  for (std::string line; std::getline(scaffold, line);) {
    std::istringstream fields(line);
    std::string chrom, id, pos;
    fields >> chrom >> id >> pos;
    if (std::stol(pos) >= 1000000 && std::stol(pos) <= 1002105) scaffold_sites += pos + "\n";
  }
  const std::string calls = "'" + kGolden + "/plain.vcf'";
  const RunResult typed = run_shell("bcftools query -i 'INFO/TYPED=1' -f '%POS\\n' " + calls);
  EXPECT_EQ(typed.err, "");
  EXPECT_EQ(typed.out, scaffold_sites);
  const RunResult imputed = run_shell("bcftools view -H -e 'INFO/TYPED=1' " + calls + " | wc -l");
  EXPECT_EQ(std::stoi(imputed.out) + std::count(scaffold_sites.begin(), scaffold_sites.end(), '\n'),
            std::stoi(run_shell("bcftools view -H " + calls + " | wc -l").out));
  TempDir dir;
  std::vector<std::string> args = golden_input_args(kCommon + kMulti + "-initial");
  args.insert(args.end(), {kGolden + "/plain.vcf", "--o", dir.file("out.vcf")});
  const RunResult again = run_dorsane(args, input);
  EXPECT_EQ(again.status, 0) << again.err;
}

// Likelihoods from a pipe (gzip or BCF, as "-" or /dev/stdin) and the sample list through
// process substitution give the records of the file run; a scaffold, read twice, may not
// come from a pipe, and says so.
TEST(GoldenVariants, LikelihoodsFromAPipeGiveTheFileRunsRecords) {
  TempDir dir;
  std::string options = kCommon + kBiallelic + kOnePass;
  options.replace(options.find("--glfs gl.vcf"), 13, "--glfs GLFS");
  options.replace(options.find("--sample-file samples.txt"), 25,
                  "--sample-file <(cat samples.txt)");
  const std::string in_input = "cd '" + kGolden + "/input' && ";
  const std::string run = std::string(DORSANE_BINARY) + " --quiet " + options;
  for (const auto& [source, name] :
       {std::pair<std::string, std::string>{"gzip -c gl.vcf", "-"},
        std::pair<std::string, std::string>{"bcftools view -Ob gl.vcf", "/dev/stdin"}}) {
    std::string command = in_input + source + " | " + run + " --o '" + dir.file("out.vcf") + "'";
    command.replace(command.find("GLFS"), 4, name);
    const RunResult piped = run_shell("bash -c \"" + command + "\"");
    ASSERT_EQ(piped.status, 0) << source << ": " << piped.err;
    EXPECT_EQ(read_output(dir.file("out.vcf")), read_file(kGolden + "/plain.vcf")) << source;
  }
  std::string twice = in_input + run + " --o '" + dir.file("x.vcf") + "'";
  twice.replace(twice.find("GLFS"), 4, "gl.vcf");
  twice.replace(twice.find("scaffold.txt"), 12, "<(cat scaffold.txt)");
  const RunResult refused = run_shell("bash -c \"" + twice + "\"");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(" is a pipe or standard input, but it is read twice (its format, then "
                             "its sites): write it to a file first\n"),
            std::string::npos)
      << refused.err;
  // Two passes (the default) read the likelihoods again over the margins.
  std::string two_passes = in_input + "gzip -c gl.vcf | " + run + " --ref-panel panel.txt --o '" +
                           dir.file("y.vcf") + "'";
  two_passes.replace(two_passes.find("GLFS"), 4, "-");
  two_passes.replace(two_passes.find("--passes 1"), 10, "--passes 2");
  EXPECT_NE(run_shell("bash -c \"" + two_passes + "\"")
                .err.find("ERROR! --glfs - is a pipe or standard input, but two passes"),
            std::string::npos);
}
