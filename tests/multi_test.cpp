// The multi-allelic model: allele tables, class weights and draws, the indicator-vector
// normal model, initial alleles, and calling end to end on a simulated cohort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>
#include <sstream>
#include <tuple>

#include "chain/run_chain.h"
#include "io/file_formats.h"
#include "model/model.h"
#include "test_util.h"
#include "window_builders.h"

namespace {

using Pairs = std::vector<std::pair<int, int>>;

// Three-allele likelihoods: PL 0 for the genotype (x, y), 60 for every other.
std::vector<double> confident_pls(int x, int y) {
  const MultiAlleleTables tables = multi_allele_tables(3);
  std::vector<double> pls(6, 60.0);
  for (std::size_t g = 0; g < 6; ++g) {
    const auto pair = tables.unordered_genotypes[g];
    if ((pair.first == x && pair.second == y) || (pair.first == y && pair.second == x)) pls[g] = 0;
  }
  return pls;
}

}  // namespace

TEST(MultiAlleleTables, ThreeAllelesCodesOrdersAndCounts) {
  const MultiAlleleTables tables = multi_allele_tables(3);
  EXPECT_EQ(tables.allele_codes, (std::vector<std::vector<int>>{{0, 0}, {1, 0}, {0, 1}}));
  const Pairs ordered = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 2}, {2, 0}, {1, 2}, {2, 1}, {2, 2}};
  EXPECT_EQ(tables.ordered_genotypes, ordered);
  EXPECT_EQ(tables.unordered_genotypes, (Pairs{{0, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}, {2, 2}}));
  EXPECT_EQ(tables.class_count(), 9);
  // The writer reads the classes in the same order.
  for (int a : {2, 3, 5}) {
    const MultiAlleleTables t = multi_allele_tables(a);
    EXPECT_EQ(t.ordered_genotypes, ordered_genotype_pairs(a)) << a;
    EXPECT_EQ(t.unordered_genotypes, unordered_genotype_pairs(a)) << a;
  }
  EXPECT_THROW(multi_allele_tables(1), std::logic_error);
}

TEST(MultiClassProbabilities, WalkOrderAndLeastLikelyClassGetsZero) {
  const MultiAlleleTables tables = multi_allele_tables(3);
  // The two haplotypes differ, so a class with its alleles swapped weighs differently.
  const std::vector<double> first = {0.5, 0.3, 0.2};
  const std::vector<double> second = {0.1, 0.6, 0.3};
  const std::vector<double> pls = {10, 0, 20, 5, 30, 40};  // (0,0) (0,1) (1,1) (0,2) (1,2) (2,2)
  std::vector<double> scratch, probs;
  ModelWarnings warnings;
  class_probabilities_multi(first, second, pls.data(), tables, scratch, warnings, probs);
  // Class weights by hand in the order 0|0 0|1 1|0 1|1 0|2 2|0 1|2 2|1 2|2.
  const double pl5 = std::pow(10.0, -0.5);
  const std::vector<double> weights = {0.1 * 0.5 * 0.1,   1.0 * 0.5 * 0.6,   1.0 * 0.3 * 0.1,
                                       0.01 * 0.3 * 0.6,  pl5 * 0.5 * 0.3,   pl5 * 0.2 * 0.1,
                                       0.001 * 0.3 * 0.3, 0.001 * 0.2 * 0.6, 0.0001 * 0.2 * 0.3};
  const double smallest = 0.0001 * 0.2 * 0.3;
  double total = 0.0;
  for (double w : weights) total += w - smallest;
  ASSERT_EQ(probs.size(), 9u);
  for (int c = 0; c < 9; ++c) {
    EXPECT_NEAR(probs[c], (weights[c] - smallest) / total, 1e-12) << "class " << c;
  }
  EXPECT_EQ(probs[8], 0.0);
  EXPECT_NEAR(std::accumulate(probs.begin(), probs.end(), 0.0), 1.0, 1e-12);

  // Likelihoods far beyond double range give the same probabilities as their offsets.
  std::vector<double> shifted = pls;
  for (double& pl : shifted) pl += 4000;
  std::vector<double> probs_shifted;
  class_probabilities_multi(first, second, shifted.data(), tables, scratch, warnings,
                            probs_shifted);
  for (int c = 0; c < 9; ++c) EXPECT_NEAR(probs_shifted[c], probs[c], 1e-9);

  // All classes alike: nothing is left after subtracting the smallest; each gets 1/9.
  const std::vector<double> flat(3, 1.0 / 3);
  const std::vector<double> zero_pls(6, 0.0);
  class_probabilities_multi(flat, flat, zero_pls.data(), tables, scratch, warnings, probs);
  for (double p : probs) EXPECT_DOUBLE_EQ(p, 1.0 / 9);
  EXPECT_EQ(warnings.probability_errors, 0);
}

TEST(MultiDraw, BoundariesFromScriptedDraws) {
  const std::vector<double> probs = {0.25, 0.0, 0.25, 0.5};
  ScriptedRandom random({kDrawZero, kDrawHalf, kDrawOne, 536870913});
  EXPECT_EQ(draw_class_multi(probs, random.uniform()), 0);  // u = 0
  EXPECT_EQ(draw_class_multi(probs, random.uniform()), 2);  // u = 0.5 = S_3: upper bound included
  EXPECT_EQ(draw_class_multi(probs, random.uniform()), 3);  // u = 1
  EXPECT_EQ(draw_class_multi(probs, random.uniform()), 0);  // u = 0.25 = S_1
  EXPECT_EQ(draw_class_multi(probs, 0.2500001), 2);         // the empty class 1 is skipped
  // A total that rounding leaves short of u goes to the last class that can be drawn.
  EXPECT_EQ(draw_class_multi({0.6, 0.4 - 1e-12, 0.0}, 1.0), 1);
}

TEST(MultiDraw, ClampsAndShuffle) {
  EXPECT_EQ(clamp_indicator_mean(-1e-9), 0.00001);
  EXPECT_EQ(clamp_indicator_mean(0.0), 0.0);
  EXPECT_EQ(clamp_indicator_mean(1.0), 1.0);
  EXPECT_EQ(clamp_indicator_mean(1.0 + 1e-9), 0.99999);

  // x = 1: j = 7 mod 2 = 1 (stays); x = 2: j = 5 mod 3 = 2 (stays); x = 3: j = 9 mod 4 = 1.
  std::vector<int> order = {0, 1, 2, 3};
  ScriptedRandom random({7, 5, 9, 2, 0, 3});
  shuffle_units(order, random);
  EXPECT_EQ(order, (std::vector<int>{0, 3, 2, 1}));
  // The next shuffle starts from that order: x = 1: j = 0; x = 2: j = 0; x = 3: j = 3.
  shuffle_units(order, random);
  EXPECT_EQ(order, (std::vector<int>{2, 0, 3, 1}));
  std::vector<int> one = {0};
  shuffle_units(one, random);  // draws nothing
  EXPECT_EQ(random.used(), 6u);
}

TEST(MultiModel, AlleleProbabilitiesMatchDenseConditionalNormal) {
  const int size = 7;
  const WindowMatrix M = random_window(size + 1, 12, 41);
  const std::vector<int> alleles = {0, 2, 1, 0, 2, 2, 1, 0, 0, 1, 2, 0};
  const MultiAlleleTables tables = multi_allele_tables(3);
  HaplotypeModel model;
  model.selected = {4, 1, 9, 6, 10, 2, 7};
  model.weights = {0.2, 0.2, 0.15, 0.15, 0.1, 0.1, 0.1};
  for (double w : model.weights) model.v2 += w * w;
  model.lambda = 0.05;
  const double theta = shrinkage_weight(7);
  ModelWarnings warnings;
  fit_haplotype_model(M, 3, theta, model, warnings);
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  MultiScratch scratch;
  std::vector<double> probs;
  haplotype_allele_probs_multi(patterns, model, alleles, tables, theta, scratch, warnings, probs);

  // The joint normal of (window, indicators) from the weighted moments, conditioned densely.
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
  for (std::size_t i = 0; i < 7; ++i) {
    const int allele = alleles[model.selected[i]];
    if (allele > 0) mean[allele - 1] += model.weights[i];
  }
  Eigen::MatrixXd cross = Eigen::MatrixXd::Zero(size, 2);
  Eigen::Matrix2d variant = Eigen::Matrix2d::Zero();
  for (std::size_t i = 0; i < 7; ++i) {
    const int allele = alleles[model.selected[i]];
    Eigen::Vector2d x = -mean;
    if (allele > 0) x[allele - 1] += 1.0;
    for (int t = 0; t < size; ++t) {
      cross.row(t) += model.weights[i] * (M(t, model.selected[i]) - model.mean[t]) * x.transpose();
    }
    variant += model.weights[i] * x * x.transpose();
  }
  cross /= 1.0 - model.v2;
  variant /= 1.0 - model.v2;
  for (int j = 0; j < 2; ++j) variant(j, j) += model.lambda;  // both means lie in (0.001, 0.999)
  Eigen::VectorXd d(size);
  for (int t = 0; t < size; ++t) d[t] = M(t, 3) - (1 - theta) * model.mean[t] - 0.5 * theta;
  const auto solver = reference_covariance(M, model).ldlt();
  const Eigen::Vector2d conditional = (1 - theta) * mean + Eigen::Vector2d::Constant(0.5 * theta) +
                                      cross.transpose() * solver.solve(d);
  ASSERT_TRUE((conditional.array() > 0).all() && (conditional.array() < 1).all());
  const Eigen::Matrix2d precision = (variant - cross.transpose() * solver.solve(cross)).inverse();
  std::vector<double> expected(3);
  double sum = 0.0;
  for (int l = 0; l < 3; ++l) {
    Eigen::Vector2d y = -conditional;
    if (l > 0) y[l - 1] += 1.0;
    expected[l] = std::exp(-0.5 * y.dot(precision * y));
    sum += expected[l];
  }
  for (int l = 0; l < 3; ++l) EXPECT_NEAR(probs[l], expected[l] / sum, 1e-6) << l;
  EXPECT_EQ(warnings.singular_allele_covariances, 0);
}

TEST(MultiModel, SingularConditionalCovarianceGetsARidge) {
  // No window rows and two equally weighted references carrying alleles 1 and 2, with no
  // penalty: the indicator covariance [[.5, -.5], [-.5, .5]] is singular.
  const WindowMatrix M = window_from_columns({"0", "0", "0"});
  const MultiAlleleTables tables = multi_allele_tables(3);
  HaplotypeModel model;
  model.selected = {1, 2};
  model.weights = {0.5, 0.5};
  model.v2 = 0.5;
  model.lambda = 0.0;
  ModelWarnings warnings;
  fit_haplotype_model(M, 0, 0.2, model, warnings);
  WindowPatterns patterns;
  patterns.build(M, 3);
  MultiScratch scratch;
  std::vector<double> probs;
  haplotype_allele_probs_multi(patterns, model, {0, 1, 2}, tables, 0.2, scratch, warnings, probs);
  EXPECT_EQ(warnings.singular_allele_covariances, 1);
  for (double p : probs) EXPECT_TRUE(std::isfinite(p));
  EXPECT_NEAR(probs[0] + probs[1] + probs[2], 1.0, 1e-12);
  EXPECT_NEAR(probs[1], probs[2], 1e-12);  // the two ALT alleles stand symmetric
}

TEST(MultiChain, SinglesRecordedFamiliesPassedOverRowOrderKept) {
  // Samples 1 and 4 single; sample 2 a duo child of sample 3.
  const std::vector<std::vector<int>> pedigree = {
      {1, 1, 0, 0, 0}, {2, 2, 3, 0, 0}, {1, 4, 0, 0, 0}};
  const WindowMatrix M = random_window(6, 8, 5);
  WindowPatterns patterns;
  patterns.build(M, 8);
  std::vector<SampleModel> models(4);
  ModelWarnings warnings;
  FitScratch fit_scratch;
  for (int s : {0, 3}) {
    for (int h = 0; h < 2; ++h) {
      HaplotypeModel& model = h == 0 ? models[s].first : models[s].second;
      for (int c = 0; c < 8 && model.selected.size() < 4; ++c) {
        if (c / 2 != s) model.selected.push_back(c);
      }
      model.weights = {0.4, 0.3, 0.2, 0.1};
      model.v2 = 0.3;
      model.lambda = 0.05;
      fit_haplotype_model(M, patterns, 2 * s + h, 0.2, model, warnings, fit_scratch);
    }
  }
  const MultiAlleleTables tables = multi_allele_tables(3);
  std::vector<double> pls;
  for (const auto& [x, y] : Pairs{{0, 2}, {1, 1}, {0, 1}, {2, 2}}) {
    const std::vector<double> sample = confident_pls(x, y);
    pls.insert(pls.end(), sample.begin(), sample.end());
  }
  std::vector<int> row_order = {0, 1, 2};
  std::vector<int> alleles = {0, 2, 1, 1, 0, 1, 2, 2};
  const std::vector<int> initial = alleles;
  // Per sweep two shuffle draws and one draw per single sample: 3 sweeps, 12 draws.
  const std::vector<int> draws = {3,         1,         kDrawHalf, kDrawOne, 0,        2,
                                  kDrawZero, kDrawHalf, 5,         4,        kDrawOne, kDrawHalf};
  ScriptedRandom random(draws);
  MultiScratch scratch;
  std::vector<double> probs;
  run_multiallelic_chain(patterns, models, pedigree, pls, tables, 0.2, ChainSettings{3, 1}, random,
                         row_order, alleles, scratch, warnings, probs);
  EXPECT_EQ(random.used(), 12u);
  ASSERT_EQ(probs.size(), 36u);
  for (int s = 0; s < 4; ++s) {
    const double sum = std::accumulate(probs.begin() + 9 * s, probs.begin() + 9 * (s + 1), 0.0);
    EXPECT_NEAR(sum, (s == 0 || s == 3) ? 1.0 : 0.0, 1e-12) << "sample " << s + 1;
  }
  // The duo's alleles are untouched; the singles hold drawn classes.
  EXPECT_EQ(alleles[2], 1);
  EXPECT_EQ(alleles[3], 1);
  EXPECT_EQ(alleles[4], 0);
  EXPECT_EQ(alleles[5], 1);
  // Shuffles from {0, 1, 2}: (3, 1) -> {0, 2, 1}; (0, 2) -> {2, 0, 1}; (5, 4) -> {2, 1, 0}.
  EXPECT_EQ(row_order, (std::vector<int>{2, 1, 0}));

  // The chain keeps its sums current; the same sweeps with every model summed afresh at
  // every update give the same probabilities and alleles. The singles start away from their
  // likelihoods, so their first draws change alleles the other models read.
  std::vector<int> start = initial;
  start[1] = start[6] = start[7] = 0;
  std::vector<int> chain_alleles = start, order = {0, 1, 2};
  ScriptedRandom chain_draws(draws);
  run_multiallelic_chain(patterns, models, pedigree, pls, tables, 0.2, ChainSettings{3, 1},
                         chain_draws, order, chain_alleles, scratch, warnings, probs);
  ScriptedRandom again(draws);
  std::vector<int> fresh = start;
  order = {0, 1, 2};
  std::vector<double> expected(36, 0.0), first, second, classes, log10_scratch;
  for (int sweep = 1; sweep <= 3; ++sweep) {
    shuffle_units(order, again);
    for (const int row : order) {
      if (pedigree[row][0] != 1) continue;
      const int s = pedigree[row][1] - 1;
      haplotype_allele_probs_multi(patterns, models[s].first, fresh, tables, 0.2, scratch, warnings,
                                   first);
      haplotype_allele_probs_multi(patterns, models[s].second, fresh, tables, 0.2, scratch,
                                   warnings, second);
      class_probabilities_multi(first, second, &pls[6 * s], tables, log10_scratch, warnings,
                                classes);
      const auto& pair = tables.ordered_genotypes[draw_class_multi(classes, again.uniform())];
      std::tie(fresh[2 * s], fresh[2 * s + 1]) = pair;
      for (int c = 0; c < 9 && sweep > 1; ++c) expected[9 * s + c] += classes[c] / 2;
    }
  }
  EXPECT_EQ(fresh, chain_alleles);
  EXPECT_NE(fresh, start);
  for (int c = 0; c < 36; ++c) EXPECT_NEAR(probs[c], expected[c], 1e-12) << c;
}

TEST(MultiInitialGenotypes, HardyWeinbergCallsAndPhases) {
  const MultiAlleleTables tables = multi_allele_tables(3);
  std::vector<double> pls;
  for (const auto& [x, y] : Pairs{{0, 2}, {1, 1}, {0, 0}}) {
    const std::vector<double> sample = confident_pls(x, y);
    pls.insert(pls.end(), sample.begin(), sample.end());
  }
  std::vector<double> frequencies(3, 1.0 / 3);
  std::vector<int> haplotypes;
  // u = 1 keeps the genotype's order, u = 0.5 swaps it; every sample takes a draw.
  ScriptedRandom random({kDrawHalf, kDrawOne, kDrawOne});
  initial_genotypes_multiallelic(pls, 3, tables, random, frequencies, haplotypes);
  EXPECT_EQ(haplotypes, (std::vector<int>{2, 0, 1, 1, 0, 0}));
  EXPECT_EQ(random.used(), 3u);
  EXPECT_NEAR(frequencies[0], 0.5, 1e-4);
  EXPECT_NEAR(frequencies[1], 1.0 / 3, 1e-4);
  EXPECT_NEAR(frequencies[2], 1.0 / 6, 1e-4);

  // Likelihoods that underflow every term still call the same genotypes.
  for (double& pl : pls) pl += 5000;
  std::vector<double> far(3, 1.0 / 3);
  ScriptedRandom again({kDrawHalf, kDrawOne, kDrawOne});
  initial_genotypes_multiallelic(pls, 3, tables, again, far, haplotypes);
  EXPECT_EQ(haplotypes, (std::vector<int>{2, 0, 1, 1, 0, 0}));
  for (int l = 0; l < 3; ++l) EXPECT_NEAR(far[l], frequencies[l], 1e-9);
}

TEST(MultiInitialGenotypes, FileAllelesKeepTheirPhase) {
  const MultiAlleleTables tables = multi_allele_tables(3);
  std::vector<int> haplotypes;
  // (2, 1) as given; (3, 0) names an allele the variant lacks and becomes 0|0.
  initial_genotypes_from_file({2, 1, 3, 0, 0, 2}, 3, tables, haplotypes);
  EXPECT_EQ(haplotypes, (std::vector<int>{2, 1, 0, 0, 0, 2}));
}

TEST(MultiCalling, TriAllelicRecordsEndToEnd) {
  TempDir dir;
  const std::string source = DORSANE_SOURCE_DIR;
  const RunResult sim =
      run_shell("python3 '" + source + "/tools/simulate.py' --out '" + dir.path() +
                "' --seed 3 --samples 40 --sites 200 --multi 0.1 --coverage 4");
  ASSERT_EQ(sim.status, 0) << sim.err;
  std::istringstream command(sim.out);
  std::string word, lower, upper;
  while (command >> word) {
    if (word == "--int") command >> lower >> upper;
  }
  const std::vector<std::string> args = {"--sample-file",
                                         dir.file("samples.txt"),
                                         "--glfs",
                                         dir.file("gl.vcf"),
                                         "--scaffold-file",
                                         dir.file("scaffold.txt"),
                                         "--int",
                                         lower,
                                         upper,
                                         "--numsnps",
                                         "8",
                                         "--iteration",
                                         "30",
                                         "--burnin",
                                         "5",
                                         "--seed",
                                         "11"};
  std::vector<std::string> plain = args;
  plain.insert(plain.end(), {"--o", dir.file("out.vcf")});
  const RunResult result = run_dorsane(plain, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;

  std::istringstream vcf(read_file(dir.file("out.vcf")));
  std::string line;
  int tri_allelic = 0;
  std::set<std::string> genotypes;
  while (std::getline(vcf, line)) {
    if (line.empty() || line[0] == '#' || line.find("NUMALT=2") == std::string::npos) continue;
    ++tri_allelic;
    std::istringstream columns(line);
    std::string column;
    for (int c = 0; std::getline(columns, column, '\t'); ++c) {
      if (c == 4) {
        EXPECT_NE(column.find(','), std::string::npos);
      }
      if (c < 9) continue;
      std::istringstream fields(column);
      std::string gt, avgpost, pl;
      std::getline(fields, gt, ':');
      std::getline(fields, avgpost, ':');
      std::getline(fields, pl, ':');
      ASSERT_EQ(gt.size(), 3u) << line;
      EXPECT_EQ(gt[1], '|');
      EXPECT_TRUE(gt[0] >= '0' && gt[0] <= '2' && gt[2] >= '0' && gt[2] <= '2') << gt;
      genotypes.insert(gt);
      const double posterior = std::stod(avgpost);
      EXPECT_TRUE(posterior >= 0.0 && posterior <= 1.0) << avgpost;
      EXPECT_EQ(std::count(pl.begin(), pl.end(), ','), 5) << pl;
    }
  }
  EXPECT_GT(tri_allelic, 5);
  EXPECT_TRUE(genotypes.count("0|2") + genotypes.count("2|0") > 0);
  if (file_exists("/usr/bin/bcftools")) {
    const RunResult view = run_shell("bcftools view '" + dir.file("out.vcf") + "' >/dev/null");
    EXPECT_EQ(view.status, 0) << view.err;
    EXPECT_EQ(view.err.find("rror"), std::string::npos) << view.err;
  }

  // Initial alleles from a file at every site: the run still calls every record.
  std::vector<std::string> seeded = args;
  seeded.insert(seeded.end(), {"--o", dir.file("seeded.vcf"), "-initial", dir.file("truth.vcf")});
  const RunResult with_file = run_dorsane(seeded, dir.path());
  ASSERT_EQ(with_file.status, 0) << with_file.err;
  const std::string seeded_vcf = read_file(dir.file("seeded.vcf"));
  const std::string plain_vcf = read_file(dir.file("out.vcf"));
  EXPECT_EQ(std::count(seeded_vcf.begin(), seeded_vcf.end(), '\n'),
            std::count(plain_vcf.begin(), plain_vcf.end(), '\n'));
}
