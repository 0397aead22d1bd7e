// Records that share a position, as `bcftools norm -m-any` writes them: each is written at its
// own POS with its own REF and ALT, in the input's order, whatever the region or the list.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string kInput = std::string(DORSANE_TEST_DATA) + "/golden/input/";

// The record line at pos with POS, REF and ALT replaced.
std::string moved_record(const std::string& vcf, const std::string& pos, const std::string& to,
                         const std::string& ref, const std::string& alt) {
  const std::size_t begin = vcf.find("\n20\t" + pos + "\t") + 1;
  std::string line = vcf.substr(begin, vcf.find('\n', begin) - begin);
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  fields[1] = to;
  fields[3] = ref;
  fields[4] = alt;
  std::string out;
  for (const std::string& field : fields) out += (out.empty() ? "" : "\t") + field;
  return out + "\n";
}

// (POS, REF, ALT) of each record line: VCF data lines, or --mp lines.
std::vector<std::string> site_list(const std::string& text, bool vcf) {
  std::vector<std::string> sites;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string chrom, pos, id, ref, alt;
    if (vcf) {
      fields >> chrom >> pos >> id >> ref >> alt;
    } else {
      fields >> pos >> ref >> alt;
    }
    sites.push_back(pos + " " + ref + " " + alt);
  }
  return sites;
}

struct Repeated {
  // Three records at 1000168 (a SNP, an insertion, a second SNP), records at 1000169 and
  // 1000170 that the repeats used to push along, and an insertion beside the scaffold site
  // 1000245.
  Repeated() {
    std::string vcf = read_file(kInput + "gl.vcf");
    const std::string extra_168 = moved_record(vcf, "1000168", "1000168", "G", "GT") +
                                  moved_record(vcf, "1000168", "1000168", "G", "A") +
                                  moved_record(vcf, "1000168", "1000169", "C", "T") +
                                  moved_record(vcf, "1000168", "1000170", "A", "G");
    const std::string extra_245 = moved_record(vcf, "1000245", "1000245", "A", "AT");
    vcf.insert(vcf.find("\n20\t1000245\t") + 1, extra_168);
    vcf.insert(vcf.find("\n20\t1000291\t") + 1, extra_245);
    input = vcf;
    dir.write("gl.vcf", vcf);
  }
  RunResult run(const std::string& tag, const std::vector<std::string>& extra) const {
    std::vector<std::string> args = {"--sample-file",
                                     kInput + "samples.txt",
                                     "--glfs",
                                     dir.file("gl.vcf"),
                                     "--scaffold-file",
                                     kInput + "scaffold.txt",
                                     "--numsnps",
                                     "3",
                                     "--iteration",
                                     "20",
                                     "--burnin",
                                     "5",
                                     "--seed",
                                     "11",
                                     "--o",
                                     dir.file(tag + ".vcf"),
                                     "--mp",
                                     dir.file(tag + ".mp")};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_dorsane(args);
  }
  std::string input;
  TempDir dir;
};

}  // namespace

TEST(RepeatedPositions, EveryRecordKeepsItsPosRefAndAltInEveryOutput) {
  const Repeated data;
  const RunResult whole = data.run("whole", {"--int", "1000000", "1002100"});
  ASSERT_EQ(whole.status, 0) << whole.err;
  // Every input record of the region but the scaffold-only ones, in the input's order.
  std::vector<std::string> expected;
  for (const std::string& site : site_list(data.input, true)) {
    if (std::stoul(site.substr(0, site.find(' '))) <= 1002105) expected.push_back(site);
  }
  const std::vector<std::string> written = site_list(read_file(data.dir.file("whole.vcf")), true);
  EXPECT_EQ(written, expected);
  EXPECT_EQ(site_list(read_file(data.dir.file("whole.mp")), false), expected);

  // A region starting right after the repeats and a list of their position give the same
  // records as the whole run: the keys that seed them do not depend on where reading starts.
  const RunResult part = data.run("part", {"--int", "1000169", "1002100"});
  ASSERT_EQ(part.status, 0) << part.err;
  const std::string whole_vcf = read_output(data.dir.file("whole.vcf"));
  const std::string part_vcf = read_output(data.dir.file("part.vcf"));
  const std::string tail = whole_vcf.substr(whole_vcf.find("\n20\t1000169\t") + 1);
  EXPECT_EQ(part_vcf.substr(part_vcf.find("\n20\t1000169\t") + 1), tail);
  data.dir.write("list.txt", "1000168\n1000245\n");
  const RunResult listed = data.run("list", {"--list", data.dir.file("list.txt")});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const std::string list_vcf = read_output(data.dir.file("list.vcf"));
  EXPECT_EQ(site_list(list_vcf, true),
            (std::vector<std::string>{"1000168 G T", "1000168 G GT", "1000168 G A", "1000245 A C",
                                      "1000245 A AT"}));
  const std::size_t first = whole_vcf.find("\n20\t1000168\t") + 1;
  EXPECT_NE(list_vcf.find(whole_vcf.substr(first, whole_vcf.find("\n20\t1000169\t") - first)),
            std::string::npos);
}
