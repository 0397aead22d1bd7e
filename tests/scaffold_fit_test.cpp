// The scaffold checked against the reads before any work. A right scaffold passes at 0.5x,
// 1x and 4x, on simulated haplotypes and on real ones (tests/data/real_haplotypes: 40
// samples of chr20 3.0-3.5 Mb of the shapeit4 example, reads simulated by tools/simulate.py
// --from-vcf --seed 2, the records at the 270 array sites kept). A reversed sample list, two
// swapped samples and an unrelated person's array stop the run in one line naming them;
// --no-scaffold-check makes that a warning.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string kReal = std::string(DORSANE_TEST_DATA) + "/real_haplotypes/";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// The index-th white-space separated field of a line.
std::string field(const std::string& line, int index) {
  std::istringstream in(line);
  std::string value;
  for (int f = 0; f <= index; ++f) in >> value;
  return value;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// A cohort's files, with only the likelihood records at the array sites: nothing is called
// then, so a run takes a moment.
struct Cohort {
  TempDir dir;
  std::vector<std::string> samples;
  std::vector<std::string> scaffold;  // text layout lines
  std::vector<std::string> stranger;  // an unrelated person's two haplotypes per array site
  std::string lower, upper;

  Cohort(const std::string& gl_text, const std::string& scaffold_text,
         const std::string& samples_text, const std::string& stranger_text)
      : samples(lines_of(samples_text)),
        scaffold(lines_of(scaffold_text)),
        stranger(lines_of(stranger_text)) {
    std::set<std::string> positions;
    for (const std::string& line : scaffold) positions.insert(field(line, 2));
    std::string kept;
    for (const std::string& line : lines_of(gl_text)) {
      if (line[0] == '#' || positions.count(field(line, 1)) != 0) kept += line + "\n";
    }
    dir.write("gl.vcf", kept);
    lower = field(scaffold.front(), 2);
    upper = field(scaffold.back(), 2);
  }

  RunResult run(const std::vector<std::string>& sample_list,
                const std::vector<std::string>& scaffold_lines,
                std::vector<std::string> extra = {}) const {
    std::vector<std::string> args;
    std::istringstream words("--sample-file " + dir.write("s.txt", joined(sample_list)) +
                             " --glfs " + dir.file("gl.vcf") + " --scaffold-file " +
                             dir.write("sc.txt", joined(scaffold_lines)) + " --int " + lower + " " +
                             upper + " --numsnps 3 --iteration 2 --burnin 1 --o " +
                             dir.file("out.vcf"));
    for (std::string word; words >> word;) args.push_back(word);
    args.insert(args.end(), extra.begin(), extra.end());
    std::remove(dir.file("out.vcf").c_str());
    return run_dorsane(args);
  }

  // The scaffold with sample 30's array replaced by the stranger's.
  std::vector<std::string> with_stranger() const {
    std::vector<std::string> lines = scaffold;
    for (std::size_t s = 0; s < lines.size(); ++s) {
      std::istringstream in(lines[s]);
      std::vector<std::string> fields;
      for (std::string field; in >> field;) fields.push_back(field);
      std::istringstream other(stranger[s]);
      other >> fields[5 + 60] >> fields[5 + 61];
      lines[s].clear();
      for (const std::string& field : fields) lines[s] += field + " ";
    }
    return lines;
  }

  void expect_stopped(const RunResult& run, const std::vector<std::string>& parts,
                      const std::string& label) const {
    EXPECT_EQ(run.status, 1) << label;
    EXPECT_EQ(run.err.rfind("ERROR! The scaffold " + dir.file("sc.txt") +
                                " does not fit the reads of " + dir.file("gl.vcf"),
                            0),
              0u)
        << label << ": " << run.err;
    for (const std::string& part : parts) {
      EXPECT_NE(run.err.find(part), std::string::npos) << label << ": " << part;
    }
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << label;
    EXPECT_FALSE(file_exists(dir.file("out.vcf"))) << label;
  }

  // The right pairing passes; a reversed list stops, and with swaps_judged two swapped
  // samples and a stranger's array do too.
  void check(const std::string& label, bool swaps_judged) const {
    const RunResult right = run(samples, scaffold);
    EXPECT_EQ(right.status, 0) << label << ": " << right.err;
    EXPECT_EQ(right.err.find("scaffold"), std::string::npos) << label << ": " << right.err;

    std::vector<std::string> reversed(samples.rbegin(), samples.rend());
    expect_stopped(run(reversed, scaffold), {"taken together"}, label + " reversed");
    const RunResult warned = run(reversed, scaffold, {"--no-scaffold-check"});
    EXPECT_EQ(warned.status, 0) << label;
    EXPECT_EQ(warned.err.rfind("WARNING! The scaffold ", 0), 0u) << label << ": " << warned.err;
    EXPECT_TRUE(file_exists(dir.file("out.vcf"))) << label;
    if (!swaps_judged) return;

    std::vector<std::string> swapped = samples;
    std::swap(swapped[10], swapped[20]);
    expect_stopped(run(swapped, scaffold),
                   {"better than its own: " + samples[20] + " (" + samples[10] + "'s), " +
                    samples[10] + " (" + samples[20] + "'s)"},
                   label + " swapped");
    expect_stopped(run(samples, with_stranger()), {"fitting its own reads ", ": " + samples[30]},
                   label + " stranger");
  }
};

}  // namespace

TEST(ScaffoldFit, SimulatedCohortsPassAndTheirMistakesStop) {
  for (const std::string coverage : {"0.5", "1", "4"}) {
    SimulatedCohort sim("--samples 40 --sites 1500 --panel 2 --seed 5 --coverage " + coverage);
    // The panel's first person is the stranger.
    std::map<std::string, std::string> panel;
    for (const std::string& row : lines_of(read_file(sim.dir.file("panel.txt")))) {
      panel[field(row, 2)] = field(row, 5) + " " + field(row, 6);
    }
    std::string stranger;
    for (const std::string& line : lines_of(read_file(sim.dir.file("scaffold.txt")))) {
      stranger += panel.at(field(line, 2)) + "\n";
    }
    const Cohort cohort(read_file(sim.dir.file("gl.vcf")), read_file(sim.dir.file("scaffold.txt")),
                        read_file(sim.dir.file("samples.txt")), stranger);
    cohort.check("simulated " + coverage + "x", coverage != "0.5");
  }
}

TEST(ScaffoldFit, RealHaplotypesPassAndTheirMistakesStop) {
  const std::string scaffold = run_shell("zcat '" + kReal + "scaffold.txt.gz'").out;
  const std::string stranger = run_shell("zcat '" + kReal + "stranger.txt.gz'").out;
  for (const std::string coverage : {"0.5", "1", "4"}) {
    const Cohort cohort(run_shell("zcat '" + kReal + "gl_" + coverage + "x.vcf.gz'").out, scaffold,
                        read_file(kReal + "samples.txt"), stranger);
    cohort.check("real " + coverage + "x", coverage != "0.5");
  }
}
