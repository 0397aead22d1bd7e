// The readers inside the calling mode: what the caller holds after them, and
// their fatal errors through the built binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/CallSNP.h"
#include "app/calling_state.h"
#include "test_util.h"
#include "util/errors.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

const std::string kVcf =
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS2\tS1\tS3\n"
    "chr20\t1500\t.\tA\tC,T\t.\t.\t.\tGT:PL\t0/1:0,1,2,3,4,5\t./.\t1/1:9,9,0,9,9,9\n"
    "chr20\t1700\t.\tG\tA\t.\t.\t.\tGT:PL\t0/1:5,0,5\t0/0:0,9,90\t./.\n"
    "chr20\t1700\t.\tG\tT\t.\t.\t.\tGT:PL\t0/1:6,0,6\t0/0:0,8,80\t./.\n";
const std::string kScaffold =
    "chr20 a 900 C G 0 1 1 1 0 0\n"
    "chr20 b 1500 A C 1 0 0 0 1 1\n"
    "chr20 c 2500 T G 0 0 0 0 0 0\n";

// A directory holding a consistent set of input files for three samples.
struct Inputs {
  Inputs() {
    dir.write("samples.txt", "S1\nS2\nS3\n");
    dir.write("gl.vcf", kVcf);
    dir.write("scaffold.txt", kScaffold);
    dir.write("fam.ped", "f S3 S1 S2 1 2\n");
    dir.write("init.vcf", "#CHROM\nchr20\t1500\t.\tA\tC,T\t.\t.\t.\tGT\t0|2\t1|0\t0|0\n");
    dir.write("panel.txt", "chr20 a 1500 A C 1 0 1 1\nchr20 a 1600 A C 1 1 1 1\n");
  }
  std::vector<std::string> args(std::vector<std::string> extra) const {
    std::vector<std::string> all = {
        "--sample-file",   dir.file("samples.txt"),  "--glfs", dir.file("gl.vcf"),
        "--scaffold-file", dir.file("scaffold.txt"), "--o",    dir.file("out.vcf")};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }
  TempDir dir;
};

// A VCF text with the sample columns of its #CHROM line and records in reverse order.
std::string with_sample_columns_reversed(const std::string& vcf) {
  std::istringstream lines(vcf);
  std::string reversed;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("##", 0) != 0 && line.find('\t') != std::string::npos) {
      std::vector<std::string> fields;
      std::istringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      std::reverse(fields.begin() + 9, fields.end());
      line = fields[0];
      for (std::size_t f = 1; f < fields.size(); ++f) line += "\t" + fields[f];
    }
    reversed += line + "\n";
  }
  return reversed;
}

// A caller that has read the sample list, the likelihoods, the pedigree and the scaffold.
struct ReadCaller {
  explicit ReadCaller(std::vector<std::string> args) : argv(std::move(args)) {
    argv.insert(argv.begin(), {"dorsane", "--quiet"});
    // Keeps the summary and the PL lines out of the test log, also when a read throws.
    std::ostringstream quiet;
    const std::unique_ptr<std::streambuf, void (*)(std::streambuf*)> restore(
        std::cout.rdbuf(quiet.rdbuf()), [](std::streambuf* saved) { std::cout.rdbuf(saved); });
    caller = std::make_unique<CallSNP>(static_cast<int>(argv.size()), argv);
    caller->read_sample();
    caller->read_glf_file();
    caller->read_pedigree();
    caller->read_scaffold();
  }
  std::vector<std::string> argv;
  std::unique_ptr<CallSNP> caller;
};

}  // namespace

TEST(CallerReaders, ScaffoldAllelesNeverReplaceTheLikelihoodRecords) {
  Inputs inputs;
  const ReadCaller read(inputs.args({"--int", "1000", "2000", "-chr", "chr20"}));
  const CallSNP& c = *read.caller;
  EXPECT_EQ(c.site_alleles(1500), (SiteAlleles{"A", "C"}));
  EXPECT_EQ(c.likelihood_alleles.at(1500), (SiteAlleles{"A", "C,T"}));
  EXPECT_EQ(c.likelihood_alleles.at(1500).count(), 3);
  // The values are not kept after the first reading; the second hands each out once.
  LikelihoodSource values(c);
  EXPECT_EQ(values.take(1500).size(), 18u);
  const std::vector<double> repeated = values.take(1701);  // the second record at 1700
  ASSERT_EQ(repeated.size(), 9u);
  EXPECT_EQ(repeated[0], 0);                    // S1
  EXPECT_EQ(repeated[3], 6);                    // S2
  EXPECT_THROW(values.take(1500), FatalError);  // handed out once
  EXPECT_EQ(c.site_alleles(900), (SiteAlleles{"C", "G"}));
  EXPECT_FALSE(c.likelihood_alleles.contains(900));
  EXPECT_EQ(c.region_positions(), (std::vector<std::uint64_t>{1500, 1700, 1701}));
  EXPECT_EQ(c.snps_to_analyse, 3);
  EXPECT_EQ(c.chromosome_name, "chr20");
  EXPECT_EQ(c.chromosome, 0);
  EXPECT_EQ(c.params.k, 4);
  EXPECT_TRUE(c.params.has_k);
  EXPECT_EQ(c.pedigree,
            (std::vector<std::vector<int>>{{1, 1, 0, 0, 0}, {1, 2, 0, 0, 0}, {1, 3, 0, 0, 0}}));
  EXPECT_EQ(c.pedigree_size, 3);
  EXPECT_EQ(c.scaffold_range, (std::vector<std::int64_t>{0, 1002005}));
  EXPECT_EQ(c.scaffold_haplotypes.row(c.scaffold_haplotypes.index_of(1500)),
            (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 1}));
}

TEST(CallerReaders, ListKeepsItsPositionsAndChrNamesTheChromosomeWithoutRecords) {
  Inputs inputs;
  inputs.dir.write("list.txt", "1700\n1500 1700\n");
  const ReadCaller listed(inputs.args({"--list", inputs.dir.file("list.txt")}));
  // Both records at 1700 are listed by their position (the second one's key is 1701).
  EXPECT_EQ(listed.caller->region_positions(), (std::vector<std::uint64_t>{1500, 1700, 1701}));
  EXPECT_EQ(listed.caller->snps_to_analyse, 3);
  EXPECT_EQ(listed.caller->likelihood_alleles.size(), 3u);

  // Likelihoods without records, and a scaffold of chromosome 7.
  inputs.dir.write("gl.vcf", kVcf.substr(0, kVcf.find("\nchr20") + 1));
  std::string scaffold7 = kScaffold;
  for (std::size_t at; (at = scaffold7.find("chr20")) != std::string::npos;) {
    scaffold7.replace(at, 5, "7");
  }
  inputs.dir.write("scaffold.txt", scaffold7);
  const ReadCaller empty(inputs.args({"--int", "3000", "4000", "-chr", "7"}));
  EXPECT_TRUE(empty.caller->likelihood_alleles.empty());
  EXPECT_EQ(empty.caller->chromosome_name, "7");
  EXPECT_EQ(empty.caller->chromosome, 7);
}

TEST(ReadersCli, AllReadersRunInOrderBeforeTheAnalysis) {
  Inputs inputs;
  const RunResult result = run_dorsane_loud(
      inputs.args({"--int", "1000", "2000", "--ped-file", inputs.dir.file("fam.ped"), "-initial",
                   inputs.dir.file("init.vcf"), "--ref-panel", inputs.dir.file("panel.txt")}),
      inputs.dir.path());
  EXPECT_EQ(result.status, 1);
  // The readers ran and accepted the trio; the analysis then finds the scaffold too short.
  EXPECT_TRUE(contains(
      result.err,
      "\nERROR! The scaffold holds 3 sites around the region, fewer than the 100 a window of "
      "--numsnps 50 needs; use a smaller --numsnps\n"));
  const std::vector<std::string> order = {
      "Reading sample file : ",
      "Reading vcf file:  " + inputs.dir.file("gl.vcf") + "\n",
      "Reading ped file : " + inputs.dir.file("fam.ped") + "\n",
      "Reading haplotype scaffold file : " + inputs.dir.file("scaffold.txt") + "\n",
      "Reading initialization file:  " + inputs.dir.file("init.vcf") + "\n",
      "Reading external reference panel file : " + inputs.dir.file("panel.txt") + "\n"};
  std::size_t at = 0;
  for (const std::string& part : order) {
    const std::size_t found = result.err.find(part, at);
    ASSERT_NE(found, std::string::npos) << part;
    at = found + part.size();
  }
}

TEST(ReadersCli, GzipAndPlainLikelihoodFilesReadAlike) {
  Inputs inputs;
  write_gzip(inputs.dir.file("gl.vcf.gz"), kVcf, {100});
  const RunResult plain =
      run_dorsane(inputs.args({"--int", "1000", "2000", "--echo-likelihoods"}), inputs.dir.path());
  std::vector<std::string> args = inputs.args({"--int", "1000", "2000", "--echo-likelihoods"});
  args[3] = inputs.dir.file("gl.vcf.gz");
  const RunResult gzip = run_dorsane(args, inputs.dir.path());
  const std::size_t from = plain.out.find("S1 ");
  ASSERT_NE(from, std::string::npos);
  EXPECT_EQ(gzip.out.substr(gzip.out.find("S1 ")), plain.out.substr(from));
  EXPECT_EQ(gzip.err, plain.err);

  // A cut gzip file is an error, never a short read.
  const std::string bytes = read_file(inputs.dir.file("gl.vcf.gz"));
  inputs.dir.write("cut.vcf.gz", bytes.substr(0, bytes.size() - 12));
  args[3] = inputs.dir.file("cut.vcf.gz");
  const RunResult cut = run_dorsane(args, inputs.dir.path());
  EXPECT_EQ(cut.status, 1);
  EXPECT_TRUE(contains(cut.err, "ERROR! " + args[3] + " is corrupt or truncated")) << cut.err;
}

TEST(ReadersCli, FatalInputErrors) {
  struct Case {
    std::string file;
    std::string text;
    std::vector<std::string> extra;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"samples.txt", "S1\n", {}, "holds 1 sample; calling genotypes needs at least 2"},
      {"gl.vcf",
       "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2\tS3\n20\t1500\t.\tA\tC\t.\t."
       "\t.\tPL\t0,1,2\tinf,0,1\t.\n",
       {},
       ":2 (20:1500): sample 'S2' has the PL value 'inf', which is not a finite number"},
      {"gl.vcf", "", {"--glfs", "absent.vcf"}, "ERROR! Can't open GLs vcf file absent.vcf"},
      {"scaffold.txt",
       "",
       {"--scaffold-file", "absent.txt"},
       "ERROR! Can't open haplotype scaffold file: absent.txt"},
      {"fam.ped", "", {"--ped-file", "absent.ped"}, "ERROR! Can't open ped file: absent.ped"},
      {"panel.txt",
       "",
       {"--ref-panel", "absent.txt"},
       "ERROR! Can't open external panel file: absent.txt"},
      {"samples.txt", "S1\nS2\nS3\n", {"--k", "1"}, "ERROR! --k must be at least 2, got 1"},
      {"samples.txt",
       "S1\nS2\nS3\n",
       {"--k", "5"},
       "ERROR! --k 5 is greater than the maximum 2N - 2 = 4 for 3 samples"},
  };
  for (const Case& c : cases) {
    Inputs inputs;
    inputs.dir.write(c.file, c.text);
    std::vector<std::string> extra = {"--int", "1000", "2000"};
    extra.insert(extra.end(), c.extra.begin(), c.extra.end());
    const RunResult result = run_dorsane(inputs.args(extra), inputs.dir.path());
    EXPECT_EQ(result.status, 1) << c.error;
    EXPECT_TRUE(contains(result.err, c.error)) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_FALSE(contains(result.err, "not yet available")) << c.error;
  }
  Inputs inputs;
  const RunResult big_k =
      run_dorsane_loud(inputs.args({"--int", "1000", "2000", "--k", "5"}), inputs.dir.path());
  EXPECT_TRUE(contains(big_k.err, "\n k value greater than maximum \n"));
  EXPECT_FALSE(contains(big_k.err, "Reading ped file"));
  const RunResult panel = run_dorsane_loud(
      inputs.args({"--int", "1000", "2000", "--ref-panel", "absent.txt"}), inputs.dir.path());
  EXPECT_FALSE(contains(panel.err, "Reading external reference panel file"));
}

TEST(ReadersCli, UnreadableInitializationFileIsNotFatalPedigreeGapsWarn) {
  Inputs inputs;
  inputs.dir.write("fam.ped", "f S3 S1 Z\nf Q S1 S2\n");
  const RunResult result = run_dorsane(
      inputs.args({"--int", "1000", "2000", "-initial", "absent.vcf", "--ped-file", "fam.ped"}),
      inputs.dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "WARNING! fam.ped: 1 line(s) whose individual is not in the sample list skipped, 1 "
            "parent(s) not in the sample list counted as missing\n"
            "WARNING! Can't open initialization file absent.vcf: No such file or directory; the "
            "run goes on without it\n"
            "ERROR! The scaffold holds 3 sites around the region, fewer than the 20 a window of "
            "--numsnps 10 needs; use a smaller --numsnps\n");
  const RunResult loud = run_dorsane_loud(
      inputs.args({"--int", "1000", "2000", "-initial", "absent.vcf", "--ped-file", "fam.ped"}),
      inputs.dir.path());
  EXPECT_TRUE(contains(loud.err, "Reading initialization file:  absent.vcf\n"));
}

// What dorsane writes it reads back: a trio run's calls (members './.' at multi-allelic
// records) as -initial and as --copying-calls, its sample columns placed by name.
TEST(ReadersCli, OwnCallsReadBackAsInitialAndCopyingCallsInAnyColumnOrder) {
  TempDir dir;
  auto run = [&](const std::string& options, const std::string& out) {
    std::vector<std::string> args = golden_input_args(
        "--sample-file samples.txt --glfs gl.vcf --scaffold-file scaffold.txt --numsnps 3 "
        "--iteration 20 --burnin 5 --seed 11 --list list.txt " +
        options);
    args.insert(args.end(), {"--o", dir.file(out)});
    const RunResult result = run_dorsane(args);
    EXPECT_EQ(result.status, 0) << options << ": " << result.err;
    return read_output(dir.file(out));
  };
  const std::string trio = run("--ped-file family.ped", "trio.vcf");
  ASSERT_NE(trio.find("\t./.:.:"), std::string::npos);
  dir.write("reversed.vcf", with_sample_columns_reversed(trio));
  for (const std::string options : {"--ped-file family.ped -initial ",
                                    "--ref-panel panel.txt "
                                    "--copying-calls "}) {
    EXPECT_EQ(run(options + dir.file("trio.vcf"), "a.vcf"),
              run(options + dir.file("reversed.vcf"), "b.vcf"))
        << options;
  }
}

// Calls phased elsewhere are turned to the scaffold's phase at the array sites: with every
// genotype's haplotypes swapped they give the stored run's records. Calls of another
// chromosome, or of samples not in the list, or in another order without names, are refused.
TEST(ReadersCli, CopyingCallsTurnedToTheScaffoldAndCheckedAgainstIt) {
  TempDir dir;
  const std::string golden = std::string(DORSANE_TEST_DATA) + "/golden/";
  const std::string calls = read_file(golden + "panel.vcf");
  auto run = [&](const std::string& text) {
    std::vector<std::string> args = golden_input_args(
        "--sample-file samples.txt --glfs gl.vcf --scaffold-file scaffold.txt --numsnps 3 "
        "--iteration 20 --burnin 5 --seed 11 --int 1000000 1002100 --ref-panel panel.txt "
        "--mp " +
        dir.file("out.mp"));
    args.insert(args.end(),
                {"--copying-calls", dir.write("calls.vcf", text), "--o", dir.file("out.vcf")});
    return run_dorsane(args);
  };
  std::string swapped = calls;
  for (std::size_t at = 0; (at = swapped.find('|', at)) != std::string::npos; ++at) {
    std::swap(swapped[at - 1], swapped[at + 1]);
  }
  const RunResult turned = run(swapped);
  ASSERT_EQ(turned.status, 0) << turned.err;
  EXPECT_EQ(read_output(dir.file("out.vcf")), read_file(golden + "panel_copying_calls.vcf"));

  std::string other_chromosome = calls;
  for (std::size_t at = 0; (at = other_chromosome.find("\n20\t", at)) != std::string::npos;) {
    other_chromosome.replace(++at, 2, "21");
  }
  std::string renamed = calls;
  renamed.replace(renamed.find("\tS05\t"), 5, "\tX05\t");
  std::string unnamed = calls;
  const std::size_t header = unnamed.find("#CHROM");
  unnamed.replace(header, unnamed.find('\n', header) - header, "#CHROM");
  const std::string reversed = with_sample_columns_reversed(unnamed);
  const std::pair<std::string, std::string> refused[] = {
      {other_chromosome, "names '20', " + dir.file("calls.vcf") + " names '21'"},
      {renamed, "calls.vcf:11: sample 'S05' of the sample file is not in the #CHROM line"},
      {reversed, ": the calls of all samples together differ from the scaffold's genotypes"},
  };
  for (const auto& [text, error] : refused) {
    std::remove(dir.file("out.vcf").c_str());
    const RunResult run_result = run(text);
    EXPECT_EQ(run_result.status, 1) << error;
    EXPECT_NE(run_result.err.find(error), std::string::npos) << run_result.err;
    EXPECT_FALSE(file_exists(dir.file("out.vcf")));
  }
}
