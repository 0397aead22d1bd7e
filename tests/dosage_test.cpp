// Dosages, genotype probabilities and the info measure: the kernels on hand-made classes,
// and --dosage end to end against a computation from the --mp file's values.
#include "io/dosage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "io/file_formats.h"
#include "test_util.h"

namespace {

std::vector<std::string> fields_of(const std::string& text, char delimiter) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string field; std::getline(in, field, delimiter);) fields.push_back(field);
  return fields;
}

}  // namespace

TEST(Dosage, GenotypeProbabilitiesDosagesAndInfo) {
  struct Case {
    int alleles;
    std::vector<double> classes;  // one sample
    std::vector<double> gp, dosage;
  };
  const Case cases[] = {
      {2, {0.5, 0.1, 0.2, 0.2}, {0.5, 0.4, 0.1}, {0.6}},
      // Ordered 00 01 10 11 02 20 12 21 22; unordered 00 01 11 02 12 22.
      {3,
       {0.2, 0.1, 0.1, 0.1, 0.1, 0.1, 0.2, 0.1, 0.0},
       {0.2, 0.2, 0.1, 0.2, 0.3, 0.0},
       {0.7, 0.5}},
  };
  for (const Case& c : cases) {
    SiteDosages site;
    site_dosages(c.classes.data(), c.alleles, 1, site);
    for (std::size_t g = 0; g < c.gp.size(); ++g) EXPECT_NEAR(site.gp[g], c.gp[g], 1e-12);
    for (std::size_t x = 0; x < c.dosage.size(); ++x) {
      EXPECT_NEAR(site.dosage[x], c.dosage[x], 1e-12);
    }
  }
  // Two certain samples: no uncertainty, info 1; one of them uncertain lowers it; a sample
  // never updated (all zeros) is left out.
  const std::vector<double> certain = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<double> one_unsure = {0, 0, 1, 0, 0.5, 0, 0.5, 0, 0, 0, 0, 0};
  SiteDosages site;
  site_dosages(certain.data(), 2, 3, site);
  EXPECT_DOUBLE_EQ(site.info[0], 1.0);
  site_dosages(one_unsure.data(), 2, 3, site);
  // Dosages 1 and 0.5, variances 0 and 0.25, theta 0.375: 1 - 0.25 / (4 * 0.375 * 0.625).
  EXPECT_NEAR(site.info[0], 1.0 - 0.25 / (4 * 0.375 * 0.625), 1e-12);
}

TEST(Dosage, FieldsFollowTheMarginalPosteriorsAndLeaveTheRestUnchanged) {
  TempDir dir;
  const std::string input = std::string(DORSANE_TEST_DATA) + "/golden/input/";
  std::vector<std::string> args = golden_input_args(
      "--sample-file samples.txt --glfs gl.vcf --scaffold-file scaffold.txt --numsnps 3 "
      "--iteration 20 --burnin 5 --seed 11 --int 1003000 1004635");
  args.insert(args.end(), {"--mp", dir.file("b.mp")});
  args.insert(args.end(), {"--o", dir.file("a.vcf")});
  ASSERT_EQ(run_dorsane(args, input).status, 0);
  args.back() = dir.file("b.vcf");
  args.push_back("--dosage");
  ASSERT_EQ(run_dorsane(args, input).status, 0);
  std::istringstream with(read_output(dir.file("b.vcf"))), mp(read_file(dir.file("b.mp")));
  std::string stripped;
  int checked = 0;
  for (std::string line, mp_line; std::getline(with, line);) {
    if (line[0] == '#') continue;
    ASSERT_TRUE(std::getline(mp, mp_line));
    const auto columns = fields_of(line, '\t');
    const auto values = fields_of(mp_line, ' ');
    const int a = static_cast<int>(fields_of(columns[4], ',').size()) + 1;
    const std::size_t C = static_cast<std::size_t>(a * a);
    // The --mp classes' allele pairs: 0|0 1|1 0|1 1|0 bi-allelic, else the ordered pairs.
    const std::vector<AllelePair> pairs =
        a == 2 ? std::vector<AllelePair>{{0, 0}, {1, 1}, {0, 1}, {1, 0}}
               : ordered_genotype_pairs(a);
    for (std::size_t j = 0; j + 9 < columns.size(); ++j) {
      const auto subfields = fields_of(columns[9 + j], ':');
      const auto ds = fields_of(subfields[3], ','), gp = fields_of(subfields[4], ',');
      std::vector<double> dosage(static_cast<std::size_t>(a - 1), 0.0), genotype(C, 0.0);
      for (std::size_t c = 0; c < C; ++c) {
        const double p = std::stod(values[3 + C * j + c]);
        const auto [t, s] = std::minmax(pairs[c].first, pairs[c].second);
        genotype[static_cast<std::size_t>(s * (s + 1) / 2 + t)] += p;
        for (const int allele : {t, s}) {
          if (allele > 0) dosage[static_cast<std::size_t>(allele - 1)] += p;
        }
      }
      ASSERT_EQ(ds.size(), dosage.size());
      for (std::size_t x = 0; x < ds.size(); ++x) EXPECT_NEAR(std::stod(ds[x]), dosage[x], 0.006);
      ASSERT_EQ(gp.size(), static_cast<std::size_t>(a * (a + 1) / 2));
      for (std::size_t g = 0; g < gp.size(); ++g) EXPECT_NEAR(std::stod(gp[g]), genotype[g], 0.006);
      ++checked;
    }
    const std::size_t info = line.find(";INFO=");
    ASSERT_NE(info, std::string::npos);
    // Without :DS:GP and each sample's last two subfields: the record without --dosage (AF
    // and INFO are written either way).
    std::string kept = line;
    kept.erase(kept.find(":DS:GP"), 6);
    std::string record;
    for (const std::string& column : fields_of(kept, '\t')) {
      const auto parts = fields_of(column, ':');
      record += (record.empty() ? "" : "\t") +
                (parts.size() == 5 ? parts[0] + ":" + parts[1] + ":" + parts[2] : column);
    }
    stripped += record + "\n";
  }
  EXPECT_GT(checked, 100);
  const std::string without = read_output(dir.file("a.vcf"));
  EXPECT_EQ(without.substr(without.find('\n', without.find("#CHROM")) + 1), stripped);
}
