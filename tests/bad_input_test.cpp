// Inputs a hostile or careless user may give: each is refused with one clean line naming
// what is wrong, or, for out-of-range values, handled as documented.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string kInput = std::string(DORSANE_TEST_DATA) + "/golden/input/";
// Names sample S05 of the file S03 as well.
std::string s03_twice(const std::string& file) {
  return "LC_ALL=C sed -i 's/\tS05\t/\tS03\t/' " + file;
}

struct BadCase {
  std::string name;
  std::string gl_text;             // the likelihood file ("" = the golden one, "<0 bytes>" = empty)
  std::vector<std::string> extra;  // further options
  std::string error;               // expected on stderr (status 1), "" = the run succeeds
  std::string setup = "";          // shell command run first in the directory, which holds
                                   // sc.vcf, the scaffold as a phased VCF
};

std::vector<std::string> args_for(const TempDir& dir, const std::string& glfs,
                                  const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"--sample-file",
                                   kInput + "samples.txt",
                                   "--glfs",
                                   glfs,
                                   "--scaffold-file",
                                   kInput + "scaffold.txt",
                                   "--numsnps",
                                   "3",
                                   "--iteration",
                                   "4",
                                   "--burnin",
                                   "1",
                                   "--o",
                                   dir.file("out.vcf")};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace

TEST(BadInput, RefusedWithOneLineOrHandled) {
  const std::string golden = read_file(kInput + "gl.vcf");
  std::string lone_cr = golden;
  for (char& c : lone_cr) c = c == '\n' ? '\r' : c;
  std::string huge_pl = golden;
  huge_pl.replace(huge_pl.find("0/0:0,6,49"), 10, "0/0:0,6,1e300");
  // The first record with 101 ALT alleles and their 102 * 103 / 2 PL values per sample.
  std::string record = "20\t1000000\t.\tA\tT";
  for (int i = 1; i < 101; ++i) record += ",T" + std::to_string(i);
  record += "\t.\tPASS\t.\tGT:PL";
  std::string pls = "0";
  for (int g = 1; g < 102 * 103 / 2; ++g) pls += ",0";
  for (int j = 0; j < 12; ++j) record += "\t0/0:" + pls;
  std::string many_alleles = golden;
  const std::size_t first = many_alleles.find("\n20\t") + 1;
  many_alleles.replace(first, many_alleles.find('\n', first) - first, record);
  // The records of chromosome 20, then the same as chromosome 21.
  std::string two_chromosomes = golden;
  for (std::size_t at = golden.find("\n20\t"); at != std::string::npos;
       at = golden.find("\n20\t", at + 1)) {
    two_chromosomes += "21" + golden.substr(at + 3, golden.find('\n', at + 1) - at - 2);
  }
  std::string symbolic = golden;
  symbolic.replace(symbolic.find("\tA\tT\t"), 6, "\tA\t<*>\t");
  const std::vector<std::string> region = {"--int", "1000000", "1000100"};
  auto with_region = [&](std::vector<std::string> extra) {
    extra.insert(extra.end(), region.begin(), region.end());
    return extra;
  };
  const std::vector<BadCase> cases = {
      {"0 bytes", "<0 bytes>", with_region({}), "the file is empty, not a VCF"},
      {"blank lines only", "\n\n", with_region({}), "no #CHROM header line"},
      {"lone CR line ends", lone_cr, with_region({}), "lone carriage returns"},
      {"subnormal lambda", "", with_region({"--lambda", "1e-310"}),
       "--lambda must be 0 or at least"},
      {"negative bound",
       "",
       {"--int", "-5", "100"},
       "Bounds of --int must be whole numbers from 0 to 2147483647, got '-5'"},
      {"control character in a value", "", with_region({"--k", "1\r"}), "got '1\\r'"},
      {"102 alleles", many_alleles, with_region({}),
       "has 102 alleles; dorsane calls records of at most 101"},
      {"PL beyond the integer range", huge_pl, with_region({}), ""},
      {"truncated bgzipped scaffold", "", with_region({"--scaffold-file", "sc.vcf.gz"}),
       "sc.vcf.gz is truncated", "bgzip sc.vcf && tabix sc.vcf.gz && truncate -s -100 sc.vcf.gz"},
      {"index of another file", "", with_region({"--scaffold-file", "sc.vcf.gz"}),
       "The index sc.vcf.gz.tbi does not fit sc.vcf.gz",
       "bgzip sc.vcf && bgzip -c \"$IN/gl.vcf\" > gl.gz && tabix -p vcf gl.gz && mv gl.gz.tbi "
       "sc.vcf.gz.tbi"},
      {"records appended after indexing", "", with_region({"--scaffold-file", "sc.vcf.gz"}),
       "The index sc.vcf.gz.tbi does not fit sc.vcf.gz",
       "bgzip -k sc.vcf && tabix sc.vcf.gz && (grep -v ^# sc.vcf | sed s/^20/21/ | bgzip >> "
       "sc.vcf.gz)"},
      {"empty index", "", with_region({"--scaffold-file", "sc.vcf.gz"}),
       "The index sc.vcf.gz.tbi is empty and cannot be used for sc.vcf.gz",
       "bgzip sc.vcf && touch sc.vcf.gz.tbi"},
      {"BCF damaged after its magic", "", with_region({"--scaffold-file", "sc.bcf"}),
       "sc.bcf: its BCF header cannot be read",
       "bcftools view sc.vcf -Ob | bgzip -d > sc.bcf && printf '\\377\\377\\377\\177' | "
       "dd of=sc.bcf bs=1 seek=5 conv=notrunc 2> /dev/null"},
      {"BCF index of another file", "", with_region({"--scaffold-file", "sc.bcf"}),
       "The index sc.bcf.csi does not fit sc.bcf",
       "bcftools view -Ob -o sc.bcf sc.vcf && bcftools view -Ob -o gl.bcf \"$IN/gl.vcf\" && "
       "bcftools index gl.bcf && mv gl.bcf.csi sc.bcf.csi"},
      {"BCF index of a file with more contigs", "", with_region({"--scaffold-file", "sc.bcf"}),
       "The index sc.bcf.csi does not fit sc.bcf",
       "bcftools view -Ob -o sc.bcf sc.vcf && (sed '/^#CHROM/i ##contig=<ID=21>' sc.vcf && "
       "grep -v ^# sc.vcf | sed s/^20/21/) | bcftools view -Ob -o two.bcf && bcftools index "
       "two.bcf && mv two.bcf.csi sc.bcf.csi"},
      {"index path of --o a directory", "", with_region({"--o", "out.vcf.gz", "--mp", "out.mp"}),
       "Can't open output file: out.vcf.gz.tbi (the index of --o)", "mkdir out.vcf.gz.tbi"},
      {"--mp named as the index of --o", "",
       with_region({"--o", "out.vcf.gz", "--mp", "out.vcf.gz.tbi"}),
       "--mp and the index of --o name the same file out.vcf.gz.tbi"},
      // Inputs of other chromosomes than the run's, in every layout.
      {"text scaffold of another chromosome", "", with_region({"--scaffold-file", "sc21.txt"}),
       "gl.vcf names '20', sc21.txt names '21'",
       "sed 's/^20 /21 /' \"$IN/scaffold.txt\" > sc21.txt"},
      {"text scaffold named with chr", "", with_region({"--scaffold-file", "sc.txt"}),
       "sc.txt names 'chr20' (only the 'chr' prefix differs",
       "sed 's/^20 /chr20 /' \"$IN/scaffold.txt\" > sc.txt"},
      {"indexed text scaffold of another chromosome", "",
       with_region({"--scaffold-file", "sc21.txt.gz"}), "sc21.txt.gz names '21'",
       "sed 's/^20 /21 /' \"$IN/scaffold.txt\" | tr ' ' '\\t' | bgzip > sc21.txt.gz && tabix -s1 "
       "-b3 -e3 "
       "sc21.txt.gz"},
      {"text panel without the region's chromosome",
       two_chromosomes,
       {"--region", "21:1000000-1000100", "--scaffold-file", "sc21.txt", "--ref-panel",
        kInput + "panel.txt"},
       "names '21', " + kInput + "panel.txt names '20'",
       "sed 's/^20 /21 /' \"$IN/scaffold.txt\" > sc21.txt"},
      {"--chr that an unindexed file of two chromosomes lacks", two_chromosomes,
       with_region({"--chr", "22"}), "does not hold; it holds 20, 21"},
      {"--chr that an indexed file lacks", "", with_region({"--chr", "22", "--glfs", "two.vcf.gz"}),
       "--chr names chromosome '22', which two.vcf.gz does not hold; its index names 20, 21",
       "(cat \"$IN/gl.vcf\"; grep -v '^#' \"$IN/gl.vcf\" | sed 's/^20/21/') | bgzip > two.vcf.gz "
       "&& tabix two.vcf.gz"},
      {"raw mpileup records", symbolic, with_region({}),
       "holds only a symbolic allele: the file lists every covered position"},
      // A sample named twice, in each way a scaffold or panel is read.
      {"VCF scaffold", "", with_region({"--scaffold-file", "sc.vcf"}),
       "sc.vcf:4: sample 'S03' is named twice in the #CHROM line", s03_twice("sc.vcf")},
      {"indexed VCF scaffold", "", with_region({"--scaffold-file", "sc.vcf.gz"}),
       "sc.vcf.gz (lines read through its index):4: sample 'S03' is named twice",
       s03_twice("sc.vcf") + " && bgzip sc.vcf && tabix sc.vcf.gz"},
      {"BCF scaffold", "", with_region({"--scaffold-file", "sc.bcf"}),
       "sc.bcf: sample 'S03' is named twice",
       "bcftools view sc.vcf -Ob | bgzip -d > sc.bcf && " + s03_twice("sc.bcf")},
      {"VCF panel", "", with_region({"--ref-panel", "sc.vcf"}),
       "sc.vcf:4: sample 'S03' is named twice", s03_twice("sc.vcf")},
  };
  std::vector<std::string> names;
  std::istringstream list(read_file(kInput + "samples.txt"));
  for (std::string id; list >> id;) names.push_back(id);
  const std::string scaffold_vcf =
      phased_vcf_of_layout(read_file(kInput + "scaffold.txt"), names, false);
  for (const BadCase& c : cases) {
    TempDir dir;
    const std::string glfs = c.gl_text.empty()          ? kInput + "gl.vcf"
                             : c.gl_text == "<0 bytes>" ? dir.write("gl.vcf", "")
                                                        : dir.write("gl.vcf", c.gl_text);
    dir.write("sc.vcf", scaffold_vcf);
    const RunResult setup = run_shell("cd '" + dir.path() + "' && IN='" + kInput + "' && " +
                                      (c.setup.empty() ? "true" : c.setup));
    ASSERT_EQ(setup.status, 0) << c.name << ": " << setup.err;
    const RunResult run = run_dorsane(args_for(dir, glfs, c.extra), dir.path());
    if (c.error.empty()) {
      ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
      EXPECT_NE(read_file(dir.file("out.vcf")).find(":0,6,2147483647\t"), std::string::npos)
          << c.name;
      continue;
    }
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << c.name << ": " << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << c.name;
    EXPECT_EQ(run.err.find("unknown option"), std::string::npos) << c.name;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name << ": " << run.err;
    for (const std::string out : {"out.vcf", "out.vcf.gz", "out.mp"}) {
      EXPECT_FALSE(file_exists(dir.file(out))) << c.name << ": " << out;
    }
  }
}

TEST(BadInput, OutputsNeverOverwriteInputsOrEachOther) {
  TempDir dir;
  const std::string gl = dir.write("gl.vcf", read_file(kInput + "gl.vcf"));
  const std::string mp = dir.write("a.mp", "1000000 A T 1 0 0\n");
  const std::string samples = dir.write("s.txt", "S1\n");
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  auto calling = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {
        "--sample-file",   kInput + "samples.txt",  "--glfs", gl,
        "--scaffold-file", kInput + "scaffold.txt", "--int",  "1000000",
        "1000100"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const Case cases[] = {
      {calling({"--o", gl}), "is the input --glfs"},
      {calling({"--o", dir.file("x.vcf"), "--mp", dir.path() + "/./gl.vcf"}),
       "is the input --glfs"},
      {calling({"--o", dir.file("x.vcf"), "--mp", dir.file("x.vcf")}), "name the same file"},
      {calling({"--o", ""}), "--o needs a file name"},
      {{"-merge-posteriors", mp, mp, "--o", mp, "--sample-file", samples}, "is the input"},
      {{"-decompose-multi", gl, "--o", gl, "--sample-file", samples}, "is the input"},
  };
  const std::string before = read_file(gl);
  for (const Case& c : cases) {
    const RunResult run = run_dorsane(c.args, dir.path());
    EXPECT_EQ(run.status, 1) << c.error;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("Reading"), std::string::npos) << c.error << ": read before refusing";
    EXPECT_EQ(read_file(gl), before);
    EXPECT_FALSE(file_exists(dir.file("x.vcf")));
  }
}

TEST(BadInput, AllOutputsOrNone_AlsoWhenInterrupted) {
  TempDir dir;
  // Quiet: the file size limit would also cut the captured standard error.
  std::string command = "'" + std::string(DORSANE_BINARY) + "' --quiet";
  for (const std::string& arg : args_for(
           dir, kInput + "gl.vcf", {"--int", "1000000", "1002100", "--mp", dir.file("out.mp")})) {
    command += " '" + arg + "'";
  }
  // The VCF (6 KB) outgrows a 4 KB file size limit, the --mp file (3.5 KB) does not: neither
  // may appear.
  RunResult run = run_shell("cd '" + dir.path() + "' && ulimit -f 4 && trap '' XFSZ && " + command +
                            " > /dev/null");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Writing output file"), std::string::npos) << run.err;
  EXPECT_FALSE(file_exists(dir.file("out.vcf")));
  EXPECT_FALSE(file_exists(dir.file("out.mp")));
  // SIGTERM while the outputs are being made: the run ends by the signal, leaving nothing,
  // and says so on standard error and in its log.
  run = run_shell("cd '" + dir.path() + "' && (" + command +
                  " --iteration 100000 --settle 0 --log run.log > /dev/null & " +
                  "pid=$!; while ! ls *.dorsane-tmp.* > /dev/null 2>&1; do sleep 0.05; done; " +
                  "kill -TERM $pid; wait $pid; echo status $?); ls");
  EXPECT_NE(run.out.find("status 143"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("dorsane-tmp"), std::string::npos) << run.out;
  const std::string note =
      "ERROR! Interrupted by SIGTERM: the outputs not yet complete are removed\n";
  EXPECT_EQ(run.err.rfind(note, 0), 0u) << run.err;  // the shell's own note may follow
  const std::string log = read_file(dir.file("run.log"));
  EXPECT_EQ(log.substr(log.size() - std::min(log.size(), note.size())), note);
}

// A phased VCF or BCF scaffold (samples in reverse order: S12 first) that breaks the GT rule
// or lacks a sample is refused naming the file, the line or the record's position, the
// sample and the value.
TEST(BadInput, PhasedScaffoldErrorsNameFileLineSampleAndValue) {
  std::vector<std::string> names;
  std::istringstream list(read_file(kInput + "samples.txt"));
  for (std::string id; list >> id;) names.push_back(id);
  const std::string vcf = phased_vcf_of_layout(read_file(kInput + "scaffold.txt"), names, true);
  struct Case {
    std::string from, to;  // the first from in the file replaced by to
    std::string file;      // scaffold.vcf or scaffold.bcf
    std::string error;
  };
  // The first record, on line 5, is at 20:1000160, where S12 has GT 0|1.
  const Case cases[] = {
      {"GT\t0|1\t", "GT\t0/1\t", "scaffold.vcf",
       "scaffold.vcf:5 (20:1000160): sample S12 has GT '0/1'; expected a phased genotype"},
      {"GT\t0|1\t", "GT\t.|0\t", "scaffold.vcf",
       "scaffold.vcf:5 (20:1000160): sample S12 has GT '.|0'"},
      {"GT\t0|1\t", "GT\t0|2\t", "scaffold.vcf",
       "scaffold.vcf:5 (20:1000160): sample S12 has GT '0|2'"},
      {"GT\t0|1\t", "GT\t1\t", "scaffold.bcf", "scaffold.bcf (20:1000160): sample S12 has GT '1'"},
      {"\tGT\t0|1\t", "\tDS\t0|1\t", "scaffold.vcf",
       "scaffold.vcf:5 (20:1000160): FORMAT 'DS' has no GT field"},
      {"\tS12\t", "\tS99\t", "scaffold.vcf",
       "scaffold.vcf:4: sample S12 of the sample list is not among the file's 12 samples"},
      // Allele 1 where the record has no ALT allele.
      {"\tC\tG\t", "\tC\t.\t", "scaffold.vcf",
       "scaffold.vcf:5 (20:1000160): ALT is '.' but sample S01 has GT '1|0', which carries "
       "allele 1"},
      {"\tC\tG\t", "\tC\t.\t", "scaffold.bcf",
       "scaffold.bcf (20:1000160): ALT is '.' but sample S01 has GT '1|0'"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string text = vcf;
    text.replace(text.find(c.from), c.from.size(), c.to);
    dir.write("scaffold.vcf", text);
    if (c.file == "scaffold.bcf") {
      ASSERT_EQ(
          run_shell("cd '" + dir.path() + "' && bcftools view -Ob -o scaffold.bcf scaffold.vcf")
              .status,
          0);
    }
    std::vector<std::string> args =
        args_for(dir, kInput + "gl.vcf", {"--int", "1000000", "1000100"});
    args[5] = dir.file(c.file);
    const RunResult run = run_dorsane(args);
    EXPECT_EQ(run.status, 1) << c.error;
    EXPECT_EQ(run.err.rfind("ERROR! " + dir.file(c.error), 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(file_exists(dir.file("out.vcf"))) << c.error;
  }
}

// A repeated position's line is checked like any other before the first one wins, and a
// phased record without an ALT allele whose genotypes are all 0 is skipped with a warning.
TEST(BadInput, RepeatedLinesCheckedAndAltDotRecordsSkipped) {
  TempDir dir;
  for (const std::string option : {"--scaffold-file", "--ref-panel"}) {
    const std::string source =
        read_file(kInput + (option == "--ref-panel" ? "panel.txt" : "scaffold.txt"));
    const std::string first = source.substr(0, source.find('\n') + 1);
    std::string repeated = first;
    repeated.replace(repeated.rfind(' ') + 1, 1, "2");
    dir.write("repeated.txt", first + repeated + source.substr(first.size()));
    std::vector<std::string> args =
        args_for(dir, kInput + "gl.vcf", {"--int", "1000000", "1000100"});
    if (option == "--ref-panel") {
      args.insert(args.end(), {option, dir.file("repeated.txt")});
    } else {
      args[5] = dir.file("repeated.txt");
    }
    const RunResult run = run_dorsane(args);
    EXPECT_EQ(run.status, 1) << option;
    EXPECT_EQ(run.err.rfind("ERROR! " + dir.file("repeated.txt") + ":2: haplotype value '2'", 0),
              0u)
        << run.err;
  }
  std::vector<std::string> names;
  std::istringstream list(read_file(kInput + "samples.txt"));
  for (std::string id; list >> id;) names.push_back(id);
  std::string vcf = phased_vcf_of_layout(read_file(kInput + "scaffold.txt"), names, false);
  const std::size_t start = vcf.find("\tC\tG\t");
  const std::size_t end = vcf.find('\n', start);
  std::string record = vcf.substr(start, end - start);
  record.replace(0, 6, "\tC\t.\t");
  for (const char* gt : {"0|1", "1|0", "1|1"}) {
    for (std::size_t at; (at = record.find(gt)) != std::string::npos;) record.replace(at, 3, "0|0");
  }
  dir.write("scaffold.vcf", vcf.replace(start, end - start, record));
  std::vector<std::string> args = args_for(dir, kInput + "gl.vcf", {"--int", "1000000", "1000100"});
  args[5] = dir.file("scaffold.vcf");
  const RunResult run = run_dorsane(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "WARNING! " + dir.file("scaffold.vcf") +
                         ": skipped 1 records with ALT '.' (every genotype 0|0)\n");
}

// A compressed input cut at a block boundary decompresses cleanly: only the missing BGZF
// end-of-file block tells, and each reader refuses it naming the file.
TEST(BadInput, FilesWithoutTheirEndOfFileBlockAreTruncated) {
  struct Case {
    std::string option, file, setup;
  };
  const Case cases[] = {
      {"--glfs", "gl.bcf", "bcftools view -Ob -o gl.bcf \"$IN/gl.vcf\""},
      {"--glfs", "gl.bcf", "bcftools view -Ob -o gl.bcf \"$IN/gl.vcf\" && bcftools index gl.bcf"},
      {"--glfs", "gl.vcf.gz", "bgzip -c \"$IN/gl.vcf\" > gl.vcf.gz"},
      {"--glfs", "gl.vcf.gz", "bgzip -c \"$IN/gl.vcf\" > gl.vcf.gz && tabix gl.vcf.gz"},
      {"--scaffold-file", "sc.bcf", "bcftools view -Ob -o sc.bcf sc.vcf"},
      {"--scaffold-file", "sc.txt.gz", "bgzip -c \"$IN/scaffold.txt\" > sc.txt.gz"},
  };
  std::vector<std::string> names;
  std::istringstream list(read_file(kInput + "samples.txt"));
  for (std::string id; list >> id;) names.push_back(id);
  for (const Case& c : cases) {
    TempDir dir;
    dir.write("sc.vcf", phased_vcf_of_layout(read_file(kInput + "scaffold.txt"), names, false));
    ASSERT_EQ(run_shell("cd '" + dir.path() + "' && IN='" + kInput + "' && " + c.setup).status, 0);
    std::vector<std::string> args =
        args_for(dir, kInput + "gl.vcf", {"--int", "1000000", "1000100"});
    args[c.option == "--glfs" ? 3 : 5] = dir.file(c.file);
    // Whole, an indexed BCF reports its records like the other indexed inputs.
    const RunResult whole = run_dorsane_loud(args);
    ASSERT_EQ(whole.status, 0) << c.setup << ": " << whole.err;
    if (c.setup.find("index") != std::string::npos || c.setup.find("tabix") != std::string::npos) {
      EXPECT_NE(whole.err.find("read through its index: "), std::string::npos) << c.setup;
    }
    std::remove(dir.file("out.vcf").c_str());
    // The records' data ends where the 28-byte end-of-file block begins.
    const std::string bytes = read_file(dir.file(c.file));
    dir.write(c.file, bytes.substr(0, bytes.size() - 28));
    const RunResult cut = run_dorsane(args);
    EXPECT_EQ(cut.status, 1) << c.setup;
    EXPECT_EQ(cut.err.rfind("ERROR! " + dir.file(c.file) + " is truncated", 0), 0u)
        << c.setup << ": " << cut.err;
    EXPECT_EQ(std::count(cut.err.begin(), cut.err.end(), '\n'), 1) << cut.err;
    EXPECT_FALSE(file_exists(dir.file("out.vcf")));
  }
}
