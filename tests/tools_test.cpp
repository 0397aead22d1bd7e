// The simulator, the evaluator and the call comparison of tools/: the simulated files
// follow dorsane's input layouts, families follow the pedigree's haplotype order, and the
// evaluator's and the comparison's figures are exact on hand-made and altered data.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "io/io.h"
#include "test_util.h"

namespace {

const std::string kSource = DORSANE_SOURCE_DIR;

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

RunResult run_tool(const std::string& script, const std::string& args) {
  return run_shell("python3 " + quote(kSource + "/tools/" + script) + " " + args + " </dev/null");
}

// Lines of a plain or gzip file, read through dorsane's own input stream.
std::vector<std::string> lines_of(const std::string& path) {
  ifile in;
  EXPECT_TRUE(in.open(path)) << path;
  std::vector<std::string> lines;
  std::string line;
  while (in.read_line(line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> split(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::string piece;
  std::istringstream in(text);
  while (std::getline(in, piece, delimiter)) pieces.push_back(piece);
  if (!text.empty() && text.back() == delimiter) pieces.push_back("");
  return pieces;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> pieces;
  std::istringstream in(text);
  std::string w;
  while (in >> w) pieces.push_back(w);
  return pieces;
}

std::vector<std::vector<std::string>> records(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> out;
  for (const std::string& line : lines)
    if (line.rfind("#", 0) != 0) out.push_back(split(line, '\t'));
  return out;
}

std::string header_line(const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    if (line.rfind("#CHROM", 0) == 0) return line;
  return "";
}

// Allele numbers of a genotype such as "0|2".
std::pair<int, int> alleles_of(const std::string& gt) {
  return {std::stoi(gt.substr(0, gt.find_first_of("|/"))),
          std::stoi(gt.substr(gt.find_first_of("|/") + 1))};
}

std::set<long> scaffold_positions(const std::string& path) {
  std::set<long> positions;
  for (const std::string& line : lines_of(path)) positions.insert(std::stol(words(line)[2]));
  return positions;
}

// Runs a tool (the evaluator by default) with --json and returns the values at the
// '/'-separated key paths.
std::vector<std::string> evaluate_json(const std::string& args,
                                       const std::vector<std::string>& keys, const TempDir& dir,
                                       const std::string& tool = "evaluate.py") {
  const RunResult run = run_tool(tool, args + " --json >" + quote(dir.file("eval.json")));
  EXPECT_EQ(run.status, 0) << run.err;
  std::string script = "import json,sys; d=json.load(open(sys.argv[1]))\nfor k in sys.argv[2:]:\n";
  script += "  v=d\n  for p in k.split('/'): v=v[p]\n  print(v)";
  std::string command = "python3 -c " + quote(script) + " " + quote(dir.file("eval.json"));
  for (const std::string& key : keys) command += " " + quote(key);
  std::string printed = run_shell(command).out;
  if (!printed.empty() && printed.back() == '\n') printed.pop_back();
  return split(printed, '\n');
}

}  // namespace

TEST(Simulate, FilesFollowDorsaneInputLayouts) {
  TempDir dir;
  const std::string out = dir.file("sim");
  const RunResult run =
      run_tool("simulate.py", "--out " + quote(out) +
                                  " --samples 9 --sites 80 --trios 1 --duos 2 "
                                  "--multi 0.2 --panel 5 --gzip --seed 3 "
                                  "--scaffold-every 4 --chrom chr20 --start 5000");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::size_t n = 9;

  const std::vector<std::string> samples = lines_of(out + "/samples.txt");
  ASSERT_EQ(samples.size(), n);
  EXPECT_EQ(std::set<std::string>(samples.begin(), samples.end()).size(), n);

  const std::vector<std::string> gl = lines_of(out + "/gl.vcf.gz");
  ASSERT_FALSE(gl.empty());
  EXPECT_EQ(gl[0], "##fileformat=VCFv4.2");
  std::vector<std::string> expected_header = {"#CHROM", "POS",    "ID",   "REF",   "ALT",
                                              "QUAL",   "FILTER", "INFO", "FORMAT"};
  expected_header.insert(expected_header.end(), samples.begin(), samples.end());
  EXPECT_EQ(split(header_line(gl), '\t'), expected_header);

  const auto gl_records = records(gl);
  ASSERT_EQ(gl_records.size(), 80u);
  std::map<long, std::vector<std::string>> site_alleles;
  long last = 0;
  int multi = 0;
  for (const auto& r : gl_records) {
    ASSERT_EQ(r.size(), 9 + n);
    EXPECT_EQ(r[0], "chr20");
    const long pos = std::stol(r[1]);
    EXPECT_GT(pos, last);
    last = pos;
    EXPECT_EQ(r[8], "GT:PL");
    const std::size_t alts = split(r[4], ',').size();
    multi += alts == 2;
    site_alleles[pos] = {r[3], r[4]};
    const std::size_t g = (alts + 1) * (alts + 2) / 2;
    for (std::size_t j = 9; j < r.size(); ++j) {
      const std::vector<std::string> pl = split(split(r[j], ':')[1], ',');
      ASSERT_EQ(pl.size(), g) << r[j];
      int smallest = 1 << 30;
      for (const std::string& v : pl) smallest = std::min(smallest, std::stoi(v));
      EXPECT_EQ(smallest, 0) << r[j];
    }
  }
  EXPECT_GT(multi, 0);
  EXPECT_EQ(std::stol(gl_records.front()[1]), 5000);
  EXPECT_NE(run.out.find("--int 5000 " + std::to_string(last) + " "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("--glfs " + out + "/gl.vcf.gz"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("--ped-file " + out + "/family.ped"), std::string::npos);
  EXPECT_NE(run.out.find("--ref-panel " + out + "/panel.txt"), std::string::npos);

  // Truth: the same sites and alleles, one phased genotype per sample.
  const auto truth = records(lines_of(out + "/truth.vcf"));
  ASSERT_EQ(truth.size(), gl_records.size());
  std::map<long, std::vector<std::pair<int, int>>> genotypes;
  for (const auto& r : truth) {
    ASSERT_EQ(r.size(), 9 + n);
    const long pos = std::stol(r[1]);
    EXPECT_EQ((std::vector<std::string>{r[3], r[4]}), site_alleles[pos]);
    const int alleles = static_cast<int>(split(r[4], ',').size()) + 1;
    std::set<int> present;
    for (std::size_t j = 9; j < r.size(); ++j) {
      ASSERT_EQ(r[j].size(), 3u);
      EXPECT_EQ(r[j][1], '|');
      const auto gt = alleles_of(r[j]);
      EXPECT_LT(std::max(gt.first, gt.second), alleles);
      genotypes[pos].push_back(gt);
      present.insert({gt.first, gt.second});
    }
    // Every ALT allele occurs in the samples: no record is monomorphic for REF.
    for (int a = 1; a < alleles; ++a) EXPECT_EQ(present.count(a), 1u) << "position " << pos;
  }

  // Scaffold: bi-allelic likelihood sites, 5 + 2N fields, haplotypes equal to the truth.
  const std::vector<std::string> scaffold = lines_of(out + "/scaffold.txt");
  EXPECT_GE(scaffold.size(), 2u);
  EXPECT_LE(scaffold.size(), 20u);  // at most one per block of 4 sites
  for (const std::string& line : scaffold) {
    const std::vector<std::string> f = words(line);
    ASSERT_EQ(f.size(), 5 + 2 * n);
    const long pos = std::stol(f[2]);
    ASSERT_EQ(site_alleles.count(pos), 1u) << line;
    EXPECT_EQ((std::vector<std::string>{f[3], f[4]}), site_alleles[pos]);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(std::stoi(f[5 + 2 * i]), genotypes[pos][i].first);
      EXPECT_EQ(std::stoi(f[6 + 2 * i]), genotypes[pos][i].second);
    }
  }

  // Panel: every bi-allelic site, 5 + R fields.
  const std::vector<std::string> panel = lines_of(out + "/panel.txt");
  EXPECT_EQ(panel.size(), gl_records.size() - static_cast<std::size_t>(multi));
  for (const std::string& line : panel) EXPECT_EQ(words(line).size(), 10u) << line;

  // Pedigree: every sample has a line; a child's haplotype in column 3's place comes from the
  // parent in column 3, the other from the parent in column 4.
  const std::vector<std::string> ped = lines_of(out + "/family.ped");
  ASSERT_EQ(ped.size(), n);
  int parent_links = 0;
  for (const std::string& line : ped) {
    const std::vector<std::string> f = words(line);
    ASSERT_EQ(f.size(), 6u);
    const auto child = std::find(samples.begin(), samples.end(), f[1]) - samples.begin();
    for (int column = 0; column < 2; ++column) {
      if (f[2 + column] == "0") continue;
      ++parent_links;
      const auto parent =
          std::find(samples.begin(), samples.end(), f[2 + column]) - samples.begin();
      ASSERT_LT(static_cast<std::size_t>(parent), n);
      for (const auto& [pos, g] : genotypes) {
        const int inherited = column == 0 ? g[child].first : g[child].second;
        EXPECT_TRUE(inherited == g[parent].first || inherited == g[parent].second)
            << "position " << pos << " child " << f[1] << " parent " << f[2 + column];
      }
    }
  }
  EXPECT_EQ(parent_links, 2 + 2);  // one trio, two duos
}

TEST(Simulate, TrioPhasedParentsCarryTheTransmittedAlleleFirst) {
  TempDir dir;
  const std::string out = dir.file("sim");
  const RunResult run = run_tool("simulate.py", "--out " + quote(out) +
                                                    " --samples 8 --sites 120 --trios 2 --duos 1 "
                                                    "--crossovers 3 --trio-phased --seed 4");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> samples = lines_of(out + "/samples.txt");
  std::map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < samples.size(); ++i) index[samples[i]] = i;
  const auto truth = records(lines_of(out + "/truth.vcf"));
  int checked = 0;
  for (const std::string& line : lines_of(out + "/family.ped")) {
    const std::vector<std::string> f = words(line);
    for (int column = 0; column < 2; ++column) {
      if (f[2 + column] == "0") continue;
      const std::size_t child = index.at(f[1]);
      const std::size_t parent = index.at(f[2 + column]);
      for (const auto& r : truth) {
        const auto c = alleles_of(r[9 + child]);
        const auto p = alleles_of(r[9 + parent]);
        ASSERT_EQ(column == 0 ? c.first : c.second, p.first) << "position " << r[1];
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 5 * 120);  // two trios and one duo: five parent links
}

TEST(Simulate, SeedDecidesTheDataAndGlIsLog10) {
  TempDir dir;
  const std::string common = " --samples 6 --sites 30 --gl --coverage 3";
  ASSERT_EQ(run_tool("simulate.py", "--out " + quote(dir.file("a")) + " --seed 11" + common).status,
            0);
  ASSERT_EQ(run_tool("simulate.py", "--out " + quote(dir.file("b")) + " --seed 11" + common).status,
            0);
  ASSERT_EQ(run_tool("simulate.py", "--out " + quote(dir.file("c")) + " --seed 12" + common).status,
            0);
  for (const std::string name : {"gl.vcf", "truth.vcf", "scaffold.txt", "samples.txt"})
    EXPECT_EQ(read_file(dir.file("a/" + name)), read_file(dir.file("b/" + name))) << name;
  EXPECT_NE(read_file(dir.file("a/truth.vcf")), read_file(dir.file("c/truth.vcf")));
  EXPECT_FALSE(file_exists(dir.file("a/family.ped")));
  EXPECT_FALSE(file_exists(dir.file("a/panel.txt")));

  for (const auto& r : records(lines_of(dir.file("a/gl.vcf")))) {
    EXPECT_EQ(r[8], "GT:GL");
    for (std::size_t j = 9; j < r.size(); ++j) {
      double largest = -1e9;
      for (const std::string& v : split(split(r[j], ':')[1], ','))
        largest = std::max(largest, std::stod(v));
      EXPECT_EQ(largest, 0.0) << r[j];
    }
  }
}

TEST(Simulate, BadOptionsExitOneWithoutOutput) {
  TempDir dir;
  RunResult run =
      run_tool("simulate.py", "--out " + quote(dir.file("x")) + " --samples 10 --trios 4");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("--trios 4"), std::string::npos) << run.err;
  EXPECT_FALSE(file_exists(dir.file("x")));
  run = run_tool("simulate.py", "--out " + quote(dir.file("x")) + " --error 0");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("--error"), std::string::npos) << run.err;
}

// A phased VCF with one record of each kind: kept (100, 500, 600, two at 700), multi-allelic
// (200), unphased heterozygote (300), monomorphic (400), outside the region (900). Every kept
// record is heterozygous in every sample, so any cohort of three is polymorphic there.
TEST(Simulate, FromVcfKeepsUsableRecordsAndTheirHaplotypes) {
  TempDir dir;
  const std::string phased =
      dir.write("phased.vcf",
                "##fileformat=VCFv4.2\n#"
                "CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\tC\tD\tE\tF\n"
                "20\t100\trs1\tA\tG\t.\t.\t.\tGT\t0|1\t1|0\t0|1\t0|1\t1|0\t1|0\n"
                "20\t200\t.\tA\tC,G\t.\t.\t.\tGT\t0|1\t1|2\t0|0\t0|0\t0|0\t0|0\n"
                "20\t300\t.\tA\tC\t.\t.\t.\tGT\t0/1\t1|0\t0|0\t0|0\t0|0\t0|0\n"
                "20\t400\t.\tA\tC\t.\t.\t.\tGT\t0|0\t0|0\t0|0\t0|0\t0|0\t0|0\n"
                "20\t500\t.\tC\tT\t.\t.\t.\tGT:DP\t1|0:3\t0|1:3\t1|0:3\t0|1:3\t1|0:3\t0|1:3\n"
                "20\t600\t.\tG\tT\t.\t.\t.\tGT\t0|1\t0|1\t1|0\t1|0\t0|1\t1|0\n"
                "20\t700\t.\tG\tA\t.\t.\t.\tGT\t1|0\t0|1\t0|1\t1|0\t1|0\t0|1\n"
                "20\t700\t.\tG\tGT\t.\t.\t.\tGT\t0|1\t1|0\t1|0\t0|1\t0|1\t1|0\n"
                "20\t900\t.\tG\tT\t.\t.\t.\tGT\t0|1\t0|1\t1|0\t1|0\t0|1\t1|0\n");
  // 500 is an array site with its alleles swapped, 700's SNP shares its position.
  const std::string sites = dir.write("sites.vcf",
                                      "#CHROM\tPOS\tID\tREF\tALT\n20\t100\t.\tA\tG\n"
                                      "20\t500\t.\tT\tC\n20\t600\t.\tG\tT\n20\t700\t.\tG\tA\n");
  const std::string out = dir.file("sim"),
                    common = " --array-sites " + quote(sites) + " --region 20:1-800";
  const RunResult run =
      run_tool("simulate.py", "--out " + quote(out) + " --from-vcf " + quote(phased) + common +
                                  " --samples 3 --panel-samples 3 --seed 5");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("--int 100 700 "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("--ref-panel " + out + "/panel.txt"), std::string::npos) << run.out;

  std::map<std::string, std::map<long, std::vector<std::string>>> source;  // sample, POS: GTs
  const auto source_records = records(lines_of(phased));
  const std::vector<std::string> names = split(header_line(lines_of(phased)), '\t');
  for (const auto& r : source_records)
    for (std::size_t j = 9; j < r.size(); ++j)
      source[names[j]][std::stol(r[1])].push_back(r[j].substr(0, 3));
  const std::vector<std::string> cohort = lines_of(out + "/samples.txt");
  ASSERT_EQ(cohort.size(), 3u);
  const auto truth = records(lines_of(out + "/truth.vcf"));
  EXPECT_EQ(split(header_line(lines_of(out + "/truth.vcf")), '\t').size(), 12u);
  std::vector<long> kept;
  std::map<long, int> seen;
  for (const auto& r : truth) {
    const long pos = std::stol(r[1]);
    kept.push_back(pos);
    for (std::size_t i = 0; i < cohort.size(); ++i)
      EXPECT_EQ(r[9 + i], source[cohort[i]][pos][seen[pos]]) << cohort[i] << " at " << pos;
    ++seen[pos];
  }
  EXPECT_EQ(kept, (std::vector<long>{100, 500, 600, 700, 700}));
  EXPECT_EQ(records(lines_of(out + "/gl.vcf")).size(), truth.size());

  // The scaffold: array sites matching by alleles at a position of one record, as in the truth.
  EXPECT_EQ(scaffold_positions(out + "/scaffold.txt"), (std::set<long>{100, 600}));
  for (const std::string& line : lines_of(out + "/scaffold.txt")) {
    const std::vector<std::string> f = words(line);
    for (std::size_t i = 0; i < cohort.size(); ++i)
      EXPECT_EQ(f[5 + 2 * i] + "|" + f[6 + 2 * i], source[cohort[i]][std::stol(f[2])][0]);
  }
  // The panel: the three other samples, in file order, at every kept record.
  std::vector<std::string> others;
  for (std::size_t j = 9; j < names.size(); ++j)
    if (std::find(cohort.begin(), cohort.end(), names[j]) == cohort.end())
      others.push_back(names[j]);
  const std::vector<std::string> panel = lines_of(out + "/panel.txt");
  ASSERT_EQ(panel.size(), 5u);
  const std::vector<std::string> f = words(panel[0]);
  ASSERT_EQ(f.size(), 11u);
  for (std::size_t i = 0; i < others.size(); ++i)
    EXPECT_EQ(f[5 + 2 * i] + "|" + f[6 + 2 * i], source[others[i]][100][0]);

  // Malformed input and options of the founder simulation fail in one line, writing nothing.
  const std::string bad = dir.write("bad.vcf", read_file(phased) + "20\t950\t.\tA\tC\t.\n");
  RunResult failed =
      run_tool("simulate.py", "--out " + quote(dir.file("x")) + " --from-vcf " + quote(bad) +
                                  " --array-sites " + quote(sites) + " --samples 2");
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("bad.vcf: line 12: 6 fields"), std::string::npos) << failed.err;
  failed = run_tool("simulate.py", "--out " + quote(dir.file("x")) + " --from-vcf " +
                                       quote(phased) + common + " --sites 10");
  EXPECT_NE(failed.err.find("--sites does not apply"), std::string::npos) << failed.err;
  EXPECT_FALSE(file_exists(dir.file("x")));
  // Development figures come from 2.5-4.0 Mb only: the fetch helper refuses any other span.
  failed = run_shell("bash " + quote(kSource + "/tools/real_data.sh") + " " + quote(dir.file("x")) +
                     " 1-2600000");
  EXPECT_EQ(failed.status, 1);
  EXPECT_FALSE(file_exists(dir.file("x")));
}

// Mosaics: more samples than the file holds, each haplotype a few pieces of the haplotypes
// outside the panel (random 0/1 columns would need a piece every three or four records).
TEST(Simulate, FromVcfMosaicsCopyLongSegmentsOfTheSourceOutsideThePanel) {
  TempDir dir;
  std::string text = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\tC\tD\tE\n";
  std::vector<std::string> haps(10);  // one char per record
  std::mt19937 bits(3);
  for (int j = 0; j < 120; ++j) {
    text += "20\t" + std::to_string(1000 + 100 * j) + "\t.\tA\tC\t.\t.\t.\tGT";
    for (int h = 0; h < 10; ++h) haps[h] += static_cast<char>('0' + bits() % 2);
    for (int h = 0; h < 10; h += 2)
      text += std::string("\t") + haps[h].back() + "|" + haps[h + 1].back();
    text += "\n";
  }
  const std::string common = " --from-vcf " + quote(dir.write("phased.vcf", text)) +
                             " --array-sites " +
                             quote(dir.write("sites.vcf", "20\t1000\t.\tA\tC\n")) +
                             " --samples 40 --panel-samples 1 --mosaic-segment 6000 --gl";
  for (const char* name : {"a", "b"})
    ASSERT_EQ(run_tool("simulate.py", "--out " + quote(dir.file(name)) + common).status, 0);
  EXPECT_EQ(read_file(dir.file("a/gl.vcf")), read_file(dir.file("b/gl.vcf")));
  std::vector<bool> in_panel(10, true);  // the panel sample's first haplotype is panel column 1
  for (const std::string& line : lines_of(dir.file("a/panel.txt")))
    for (int h = 0; h < 10; h += 2)
      in_panel[h] =
          in_panel[h] && words(line)[5][0] == haps[h][(std::stol(words(line)[2]) - 1000) / 100];
  std::vector<std::string> sources, mosaic(80, std::string(120, '.'));
  for (int h = 0; h < 10; h += 2)
    if (!in_panel[h]) sources.insert(sources.end(), {haps[h], haps[h + 1]});
  ASSERT_EQ(sources.size(), 8u);
  for (const auto& r : records(lines_of(dir.file("a/truth.vcf"))))
    for (int i = 0; i < 80; ++i)
      mosaic[i][(std::stol(r[1]) - 1000) / 100] = r[9 + i / 2][2 * (i % 2)];
  int most = 0;
  for (const std::string& m : mosaic) {  // greedy longest matches give the fewest pieces
    int pieces = 0;
    for (std::size_t j = 0, longest = 0; j < m.size(); j += longest, ++pieces) {
      longest = 0;
      for (const std::string& h : sources) {
        std::size_t k = j;
        while (k < m.size() && (m[k] == '.' || m[k] == h[k])) ++k;
        longest = std::max(longest, k - j);
      }
      ASSERT_GT(longest, 0u) << "an allele no source carries: " << m;
    }
    most = std::max(most, pieces);
  }
  EXPECT_GT(most, 1);
  EXPECT_LE(most, 12);
}

TEST(Examples, BundledDataMatchesItsGeneratingCommand) {
  TempDir dir;
  const RunResult run =
      run_shell("bash " + quote(kSource + "/examples/run.sh") + " --generate " + quote(dir.path()));
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string name : {"gl.vcf.gz", "truth.vcf", "scaffold.txt", "samples.txt"})
    EXPECT_EQ(lines_of(dir.file(name)), lines_of(kSource + "/examples/" + name)) << name;
}

TEST(Evaluate, TruthAgainstItselfAndAlteredCopy) {
  TempDir dir;
  const std::string out = dir.file("sim");
  ASSERT_EQ(
      run_tool("simulate.py", "--out " + quote(out) +
                                  " --samples 10 --sites 60 --trios 1 --seed 21 --scaffold-every 3"
                                  " --repeated 0.1")  // records that share a position, too
          .status,
      0);
  const std::string base = "--truth " + quote(out + "/truth.vcf") + " --scaffold " +
                           quote(out + "/scaffold.txt") + " --ped " + quote(out + "/family.ped");
  std::vector<std::string> v = evaluate_json(base + " --calls " + quote(out + "/truth.vcf"),
                                             {"calls/all/discordant", "calls/all/missing",
                                              "switch/switches", "mendel/calls/errors", "sites"},
                                             dir);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[0], "0");
  EXPECT_EQ(v[1], "0");
  EXPECT_EQ(v[2], "0");
  EXPECT_EQ(v[3], "0");
  const std::set<long> scaffold = scaffold_positions(out + "/scaffold.txt");
  const std::vector<std::string> lines = lines_of(out + "/truth.vcf");
  const std::size_t sites = records(lines).size() - scaffold.size();
  EXPECT_EQ(v[4], std::to_string(sites));

  // Samples 0-2 are the trio (father, mother, child), 3-9 unrelated. Alter: sample 3 at the
  // first five evaluated sites (discordant), sample 4 missing at two, sample 5's phase flipped
  // from its third heterozygote on (one switch), the child 1|1 where both parents are 0|0.
  std::vector<std::vector<std::string>> rows;
  std::string text;
  for (const std::string& line : lines) {
    if (line.rfind("#", 0) == 0) {
      text += line + "\n";
      continue;
    }
    rows.push_back(split(line, '\t'));
  }
  int discordant = 0, missing = 0, hets = 0, flipped = 0, mendel = 0;
  for (auto& r : rows) {
    if (scaffold.count(std::stol(r[1]))) continue;
    if (discordant < 5) {
      r[12] = r[12] == "0|0" ? "1|1" : "0|0";
      ++discordant;
    }
    if (missing < 2) {
      r[13] = "./.";
      ++missing;
    }
    if (r[14][0] != r[14][2] && ++hets >= 3) {
      std::swap(r[14][0], r[14][2]);
      ++flipped;
    }
    if (mendel < 3 && r[9] == "0|0" && r[10] == "0|0" && r[11] == "0|0") {
      r[11] = "1|1";
      ++mendel;
    }
  }
  ASSERT_EQ(mendel, 3);
  ASSERT_GT(flipped, 0);
  for (const auto& r : rows) {
    std::string line;
    for (const std::string& field : r) line += (line.empty() ? "" : "\t") + field;
    text += line + "\n";
  }
  const std::string altered = dir.write("altered.vcf", text);
  v = evaluate_json(
      base + " --calls " + quote(altered),
      {"calls/all/discordant", "calls/all/nonref_discordant", "calls/all/missing",
       "calls/all/compared", "switch/switches", "switch/phase_flipped", "mendel/calls/errors"},
      dir);
  ASSERT_EQ(v.size(), 7u);
  EXPECT_EQ(v[0], std::to_string(discordant + mendel));
  EXPECT_EQ(v[1], std::to_string(discordant + mendel));
  EXPECT_EQ(v[2], "2");
  EXPECT_EQ(v[3], std::to_string(sites * 10 - 2));
  EXPECT_EQ(v[4], "1");
  EXPECT_EQ(v[5], std::to_string(flipped));
  EXPECT_EQ(v[6], "3");
}

TEST(Evaluate, VcfAndBcfScaffolds_PhaseFiguresOnlyForTheSimulatorsTruth) {
  TempDir dir;
  const std::string out = dir.file("sim");
  ASSERT_EQ(
      run_tool("simulate.py", "--out " + quote(out) + " --samples 6 --sites 40 --seed 5").status,
      0);
  std::vector<std::string> names;
  for (const std::string& line : lines_of(out + "/samples.txt")) names.push_back(line);
  dir.write("scaffold.vcf", phased_vcf_of_layout(read_file(out + "/scaffold.txt"), names, true));
  ASSERT_EQ(run_shell("bcftools view -Ob -o " + quote(dir.file("scaffold.bcf")) + " " +
                      quote(dir.file("scaffold.vcf")))
                .status,
            0);
  std::string calls = " --calls " + quote(out + "/truth.vcf");
  const auto figures = [&](const std::string& truth, const std::string& scaffold) {
    const std::string json = dir.file("eval.json");
    run_tool("evaluate.py", "--json --truth " + quote(truth) + " --scaffold " + quote(scaffold) +
                                calls + " >" + quote(json));
    return read_file(json);
  };
  // Calls whose scaffold sites carry another phase than the truth's (a scaffold phased
  // from unphased genotypes): no switch figures, and the table says why.
  ASSERT_EQ(run_shell("sed '/^#/! { s/0|1/x/g; s/1|0/0|1/g; s/x/1|0/g }' " +
                      quote(out + "/truth.vcf") + " > " + quote(dir.file("flipped.vcf")))
                .status,
            0);
  calls = " --calls " + quote(dir.file("flipped.vcf"));
  EXPECT_EQ(figures(out + "/truth.vcf", out + "/scaffold.txt").find("\"switch\""),
            std::string::npos);
  EXPECT_NE(run_tool("evaluate.py", "--truth " + quote(out + "/truth.vcf") + " --scaffold " +
                                        quote(out + "/scaffold.txt") + calls)
                .out.find("phase figures left out: at the scaffold sites the calls phase 0.00% "),
            std::string::npos);
  calls = " --calls " + quote(out + "/truth.vcf");
  const std::string text = figures(out + "/truth.vcf", out + "/scaffold.txt");
  EXPECT_NE(text.find("\"switch\""), std::string::npos);
  EXPECT_EQ(figures(out + "/truth.vcf", dir.file("scaffold.vcf")), text);
  EXPECT_EQ(figures(out + "/truth.vcf", dir.file("scaffold.bcf")), text);
  // A truth from elsewhere says nothing of the scaffold's phase: no switch figures.
  std::string foreign = read_file(out + "/truth.vcf");
  const std::string source = "##source=dorsane-simulate\n";
  foreign.erase(foreign.find(source), source.size());
  dir.write("truth.vcf", foreign);
  EXPECT_EQ(figures(dir.file("truth.vcf"), dir.file("scaffold.bcf")).find("\"switch\""),
            std::string::npos);
}

TEST(Evaluate, SitesOfTwoChromosomesAtOnePositionStayApart) {
  TempDir dir;
  const std::string truth = dir.write(
      "truth.vcf",
      "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\n"
      "1\t100\t.\tA\tC\t.\tPASS\t.\tGT\t0|1\t1|1\n"
      "2\t100\t.\tA\tC\t.\tPASS\t.\tGT\t0|0\t0|1\n");
  // The scaffold holds chromosome 2's site only; the calls are the truth's.
  const std::string scaffold = dir.write("scaffold.txt", "2 s 100 A C 0 0 0 1\n");
  EXPECT_EQ(
      evaluate_json(
          "--truth " + quote(truth) + " --scaffold " + quote(scaffold) + " --calls " + quote(truth),
          {"sites", "scaffold_sites_excluded", "calls/all/compared", "calls/all/discordant"}, dir),
      (std::vector<std::string>{"1", "1", "2", "0"}));
}

TEST(Evaluate, BaselineAndAlleleMatchingOnHandMadeFiles) {
  TempDir dir;
  const std::string head =
      "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\n";
  const std::string truth =
      dir.write("truth.vcf", head +
                                 "1\t100\t.\tA\tC\t.\tPASS\t.\tGT\t0|0\t1|1\n"
                                 "1\t200\t.\tG\tT\t.\tPASS\t.\tGT\t0|1\t1|1\n"
                                 "1\t300\t.\tG\tT\t.\tPASS\t.\tGT\t0|1\t0|0\n");
  const std::string scaffold = dir.write("scaffold.txt", "1 s 300 G T 0 1 0 0\n");
  // PL: A 0/0 (right), B 0/1 (wrong); A flat (no call), B 1/1 (right). GL says the same.
  const std::string pl =
      dir.write("pl.vcf", head +
                              "1\t100\t.\tA\tC\t.\t.\t.\tGT:PL\t0/0:0,10,20\t0/1:30,0,5\n"
                              "1\t200\t.\tG\tT\t.\t.\t.\tGT:PL\t./.:0,0,0\t1/1:20,10,0\n");
  const std::string gl =
      dir.write("gl.vcf", head +
                              "1\t100\t.\tA\tC\t.\t.\t.\tGT:GL\t0/0:0,-1,-2\t0/1:-3,0,-0.5\n"
                              "1\t200\t.\tG\tT\t.\t.\t.\tGT:GL\t./.\t1/1:-2,-1,0\n");
  // Calls with the samples in another order and REF/ALT swapped at 100: all concordant.
  const std::string calls = dir.write(
      "calls.vcf",
      "##fileformat=VCFv4.0\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tB\tA\n"
      "1\t100\t.\tC\tA\t.\tPASS\tNUMALT=1\tGT:AVGPOST:PL\t0|0:0.9:.\t1|1:0.8:.\n"
      "1\t200\t.\tG\tT\t.\tPASS\tNUMALT=1\tGT:AVGPOST:PL\t1|1:0.9:.\t0|1:0.7:.\n");
  const std::vector<std::string> keys = {
      "baseline/all/compared",          "baseline/all/discordant",
      "baseline/all/missing",           "baseline/all/nonref",
      "baseline/all/nonref_discordant", "sites",
      "calls/all/discordant",           "calls/all/compared"};
  const std::vector<std::string> expected = {"3", "1", "1", "2", "1", "2", "0", "4"};
  for (const std::string& likelihoods : {pl, gl}) {
    EXPECT_EQ(evaluate_json("--truth " + quote(truth) + " --scaffold " + quote(scaffold) +
                                " --glfs " + quote(likelihoods) + " --calls " + quote(calls),
                            keys, dir),
              expected)
        << likelihoods;
  }
}

TEST(Evaluate, MalformedInputExitsOneNamingFileAndLine) {
  TempDir dir;
  const std::string head =
      "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\n";
  const std::string truth = dir.write("truth.vcf", head + "1\t100\t.\tA\tC\t.\tPASS\t.\tGT\t0|1\n");
  const std::string scaffold = dir.write("scaffold.txt", "");
  struct Case {
    std::string name, text, message;
  };
  const std::vector<Case> cases = {
      {"short.vcf", head + "1\t100\t.\tA\tC\t.\tPASS\t.\tGT\n",
       "short.vcf:3: expected 10 tab-separated fields, found 9"},
      {"allele.vcf", head + "1\t100\t.\tA\tC\t.\tPASS\t.\tGT\t0|2\n",
       "allele.vcf:3 (1:100), sample A: genotype '0|2'"},
      {"pl.vcf", head + "1\t100\t.\tA\tC\t.\tPASS\t.\tGT:PL\t0/1:3,0\n",
       "pl.vcf:3 (1:100), sample A: expected 3 PL values, found 2"},
      {"other.vcf",
       "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tZ\n",
       "other.vcf: sample A of the truth is not in this file"},
      {"nohead.vcf", "1\t100\t.\tA\tC\t.\tPASS\t.\tGT\t0|1\n",
       "nohead.vcf:1: data line before the #CHROM header line"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.write(c.name, c.text);
    const std::string option = c.name == "pl.vcf" ? " --glfs " : " --calls ";
    const RunResult run = run_tool("evaluate.py", "--truth " + quote(truth) + " --scaffold " +
                                                      quote(scaffold) + option + quote(path));
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << c.name;
  }
  const RunResult missing =
      run_tool("evaluate.py", "--truth " + quote(dir.file("none.vcf")) + " --scaffold " +
                                  quote(scaffold) + " --calls " + quote(truth));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.vcf: cannot open"), std::string::npos) << missing.err;
}

TEST(Evaluate, PlotIsAnExtraFileThatLeavesTheFiguresAlone) {
  const SimulatedCohort cohort("--seed 5 --samples 20 --sites 60 --scaffold-every 4");
  const RunResult run = cohort.run("calls", {"--numsnps", "5", "--seed", "5"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto options = [&](const std::string& calls) {
    return "--json --truth " + quote(cohort.dir.file("truth.vcf")) + " --scaffold " +
           quote(cohort.dir.file("scaffold.txt")) + " --glfs " + quote(cohort.dir.file("gl.vcf")) +
           " --calls " + quote(cohort.dir.file(calls));
  };
  const std::string png = cohort.dir.file("plot.png");
  const RunResult plain = run_tool("evaluate.py", options("calls.vcf"));
  const RunResult plotted = run_tool("evaluate.py", options("calls.vcf") + " --plot " + quote(png));
  ASSERT_EQ(plotted.status, 0) << plotted.err;
  EXPECT_EQ(plotted.out, plain.out);
  EXPECT_EQ(read_file(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

  // A plot that cannot be drawn or written fails the run before any figure is printed.
  const std::vector<std::pair<std::string, std::string>> failures = {
      {options("calls.vcf") + " --plot " + quote(cohort.dir.path()), "cannot write the plot"},
      {options("truth.vcf") + " --plot " + quote(png), "no record has an AVGPOST field"},
  };
  for (const auto& [args, message] : failures) {
    const RunResult failed = run_tool("evaluate.py", args);
    EXPECT_EQ(failed.status, 1) << args;
    EXPECT_EQ(failed.out, "") << args;
    EXPECT_NE(failed.err.find(message), std::string::npos) << failed.err;
  }
}

TEST(CompareCalls, MatchesRecordsAndSamplesAndCountsIdenticalFields) {
  TempDir dir;
  const std::string head =
      "##fileformat=VCFv4.0\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  const auto row = [](const std::string& site, const std::string& calls) {
    return "1\t" + site + "\t.\tPASS\tNUMALT=1\tGT:AVGPOST:PL\t" + calls + "\n";
  };
  const std::string a =
      dir.write("a.vcf", head + "\tX\tY\n" + row("100\t.\tA\tC", "0|0:0.9:.\t0|1:0.8:.") +
                             row("200\t.\tG\tT", "1|1:1:.\t0|0:0.5:.") +
                             row("300\t.\tG\tT", "0|0:1:.\t0|0:1:."));
  // Samples in the other order; 300 has another ALT, so it and 400 are only in B.
  write_gzip(dir.file("b.vcf.gz"),
             head + "\tY\tX\n" + row("100\t.\tA\tC", "1|0:0.8:.\t0|0:0.9:0,3,30") +
                 row("200\t.\tG\tT", "0|0:0.75:.\t1|1:1.0:.") +
                 row("300\t.\tG\tA", "0|0:1:.\t0|0:1:.") + row("400\t.\tG\tA", "0|0:1:.\t0|0:1:."));
  const std::string files = quote(a) + " " + quote(dir.file("b.vcf.gz"));
  // X agrees at 100 and 200 (1 and 1.0 are one value); Y's GT differs at 100, its
  // AVGPOST at 200.
  EXPECT_EQ(evaluate_json(files,
                          {"records_a", "records_b", "only_in_a", "only_in_b", "fields_compared",
                           "gt_avgpost_share", "gt_share", "max_avgpost_difference",
                           "max_avgpost_difference_at"},
                          dir, "compare_calls.py"),
            (std::vector<std::string>{"3", "4", "1", "2", "4", "0.5", "0.75", "0.25", "1:200 Y"}));
  EXPECT_NE(run_tool("compare_calls.py", files).out.find("GT:AVGPOST identical: 50.000% (2/4)\n"),
            std::string::npos);
  const RunResult bad = run_tool("compare_calls.py", quote(a) + " " + quote(dir.file("none.vcf")));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "compare_calls.py: " + dir.file("none.vcf") +
                         ": cannot open: No such file or directory\n");
}

TEST(Concordance, HandComputedTablesByBinAndSample_MissedSitesHomRef_TypedLeftOut) {
  TempDir dir;
  const std::string head =
      "##fileformat=VCFv4.2\n##contig=<ID=1>\n"
      "##INFO=<ID=AF,Number=A,Type=Float,Description=\"\">\n"
      "##INFO=<ID=TYPED,Number=0,Type=Flag,Description=\"\">\n"
      "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"\">\n"
      "##FORMAT=<ID=DS,Number=A,Type=Float,Description=\"\">\n"
      "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  const auto row = [](const std::string& site, const std::string& info, const std::string& format,
                      const std::string& gts) {
    return "1\t" + site + "\t.\tPASS\t" + info + "\t" + format + "\t" + gts + "\n";
  };
  // Truth MAF: 0.5 at 100, 1/6 at 200, 300 and 400 T, 0 at 400 G, 1/3 at 500.
  const std::string truth = dir.write(
      "truth.vcf", head + "\tA\tB\tC\n" + row("100\t.\tC\tA", ".", "GT", "0|1\t0|0\t1|1") +
                       row("200\t.\tG\tT", ".", "GT", "0|1\t0|0\t0|0") +
                       row("300\t.\tT\tC", ".", "GT", "1|0\t0|0\t0|0") +
                       row("400\t.\tA\tG,T", ".", "GT", "0|2\t0|0\t0|0") +
                       row("500\t.\tA\tG", ".", "GT", "0|1\t0|0\t0|1"));
  // Other sample order; B wrong at 100, C missing at 300, A's phase flipped at 300 only
  // (two switches in three pairs), 400 split with no G record (hom-ref calls), 500 an array
  // site. The calls' AF, wrong on purpose, must not move a site between bins.
  const std::string calls = dir.write(
      "calls.vcf", head + "\tC\tA\tB\n" +
                       row("100\t.\tC\tA", "AF=0.01", "GT:DS", "1|1:1.8\t0|1:1\t0|1:0.9") +
                       row("200\t.\tG\tT", "AF=0", "GT:DS", "0|0:0.1\t0|1:0.9\t0|0:0") +
                       row("300\t.\tT\tC", "AF=0", "GT:DS", ".:.\t0|1:1.1\t0|0:0") +
                       row("400\t.\tA\tT", "AF=0", "GT:DS", "0|0:0\t0|1:1\t0|0:0") +
                       row("500\t.\tA\tG", "AF=0.3;TYPED", "GT:DS", "1|1:2\t1|1:2\t1|1:2"));
  // r² over the fourteen compared pairs: (14·7.6 − 6·6.8)² / ((14·8 − 6²)(14·8.08 − 6.8²)).
  const std::string bins =
      "bin\tsites\tsites_not_called\tgenotypes\tmissing\tdiscordant\tdiscordance\tnonref\t"
      "nonref_discordant\tnonref_discordance\tdosage_r2\tswitch_pairs\tswitches\tswitch_error\n"
      "[0,0.1]\t1\t1\t3\t0\t0\t0\t0\t0\tNA\tNA\tNA\tNA\tNA\n"
      "(0.1,0.5]\t4\t0\t12\t1\t1\t0.0909091\t6\t1\t0.166667\t0.826165\tNA\tNA\tNA\n"
      "all\t5\t1\t15\t1\t1\t0.0714286\t6\t1\t0.166667\t0.846638\t3\t2\t0.666667\n";
  // C by hand: (2, 1.8), (0, 0.1), (0, 0), (0, 0) give 112.36 / (12 · 9.39).
  const std::string samples =
      "sample\tgenotypes\tmissing\tdiscordant\tdiscordance\tnonref\tnonref_discordant\t"
      "nonref_discordance\tdosage_r2\n"
      "A\t5\t0\t0\t0\t4\t0\t0\t0.97561\n"
      "B\t5\t0\t1\t0.2\t1\t1\t1\tNA\n"
      "C\t5\t1\t0\t0\t1\t0\t0\t0.99716\n";
  const std::string args = "--truth " + quote(truth) + " --bins 0,0.1,0.5 --calls ";
  const RunResult text = run_tool("concordance.py", args + quote(calls));
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, bins + "\n" + samples);
  EXPECT_EQ(text.err,
            "concordance.py: MAF from the truth's genotypes\n"
            "concordance.py: 1 truth sites not in the calls counted as hom-ref calls\n"
            "concordance.py: 1 array sites (INFO/TYPED) left out; --keep-typed counts them\n");
  // The calls as BCF give the same tables; each table may go to a file of its own.
  ASSERT_EQ(
      run_shell("bcftools view -Ob -o " + quote(dir.file("calls.bcf")) + " " + quote(calls)).status,
      0);
  const RunResult split =
      run_tool("concordance.py",
               args + quote(dir.file("calls.bcf")) + " --sample-tsv " + quote(dir.file("s.tsv")));
  EXPECT_EQ(split.out, bins);
  EXPECT_EQ(read_file(dir.file("s.tsv")), samples);
  // --keep-typed counts the array site; an unphased truth gives no switch figures.
  EXPECT_NE(run_tool("concordance.py", args + quote(calls) + " --keep-typed")
                .out.find("(0.1,0.5]\t5\t0\t15\t1\t4\t"),
            std::string::npos);
  std::string unphased_text = read_file(truth);
  std::replace(unphased_text.begin(), unphased_text.end(), '|', '/');
  const std::string unphased = dir.write("unphased.vcf", unphased_text);
  const RunResult flat = run_tool(
      "concordance.py", "--truth " + quote(unphased) + " --bins 0,0.1,0.5 --calls " + quote(calls));
  EXPECT_NE(flat.out.find("\t0.846638\tNA\tNA\tNA\n"), std::string::npos) << flat.out;
  // A panel's AF moves 100 into the first bin; a truth sample missing from the calls fails.
  const std::string panel =
      dir.write("panel.vcf", head + "\tP\n1\t100\t.\tC\tA\t.\tPASS\tAF=0.95\tGT\t0|0\n");
  const RunResult by_panel =
      run_tool("concordance.py", args + quote(calls) + " --frequency " + quote(panel));
  EXPECT_NE(by_panel.out.find("[0,0.1]\t1\t0\t3\t0\t1\t0.333333\t3\t1\t0.333333\t"),
            std::string::npos)
      << by_panel.out;
  EXPECT_NE(by_panel.err.find("MAF from the panel " + panel + "\n"), std::string::npos);
  const RunResult bad =
      run_tool("concordance.py", "--truth " + quote(calls) + " --calls " + quote(panel));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "concordance.py: " + panel + ": sample C of the truth is not in this file\n");
}
