#include "chain/held_out.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "app/block_settings.h"
#include "test_util.h"
#include "window_builders.h"

TEST(HeldOut, ScoresEachTrueAlleleUnderItsModelAsADenseSolveDoes) {
  // Five samples; each haplotype's model weighs the eight columns of the other samples.
  const WindowMatrix M = random_window(9, 10, 41);
  const int size = 8;
  WindowPatterns patterns;
  patterns.build(M, 10);
  std::vector<SampleModel> models(5);
  std::vector<char> modelled = {1, 1, 0, 1, 1};  // the third is not scored
  double log_prob = 0.0, errors = 0.0;
  for (int m = 0; m < 10; ++m) {
    if (!modelled[m / 2]) continue;
    HaplotypeModel& model = m % 2 == 0 ? models[m / 2].first : models[m / 2].second;
    ModelWarnings warnings;
    for (int c = 0; c < 10; ++c) {
      if (c / 2 == m / 2) continue;
      model.selected.push_back(c);
      model.weights.push_back(1.0 + c % 3);
      model.pattern_of_selected.push_back(patterns.of_column[c]);
    }
    double total = 0.0;
    for (double w : model.weights) total += w;
    for (double& w : model.weights) {
      w /= total;
      model.v2 += w * w;
    }
    model.lambda = 0.06;
    fit_haplotype_model(M, m, shrinkage_weight(8), model, warnings);
    // The joint normal of (window, variant) from the weighted moments, conditioned densely.
    double mean = 0.0;
    for (std::size_t j = 0; j < 8; ++j) mean += model.weights[j] * M(size, model.selected[j]);
    Eigen::VectorXd cross = Eigen::VectorXd::Zero(size);
    double variance = 0.0;
    for (std::size_t j = 0; j < 8; ++j) {
      const double y = M(size, model.selected[j]) - mean;
      for (int s = 0; s < size; ++s) {
        cross[s] += model.weights[j] * (M(s, model.selected[j]) - model.mean[s]) * y;
      }
      variance += model.weights[j] * y * y;
    }
    cross /= 1.0 - model.v2;
    variance = variance / (1.0 - model.v2) + (mean < 0.01 || mean > 0.99 ? 0.09 : 0.06);
    const double theta = shrinkage_weight(8);
    Eigen::VectorXd d(size);
    for (int s = 0; s < size; ++s) d[s] = M(s, m) - (1 - theta) * model.mean[s] - 0.5 * theta;
    const auto solver = reference_covariance(M, model).ldlt();
    const double mu = mean + cross.dot(solver.solve(d));
    const double sigma2 = variance - cross.dot(solver.solve(cross));
    const double p1 = 1.0 / (1.0 + std::exp((1.0 - 2.0 * mu) / (2.0 * sigma2)));
    const double p = M(size, m) == 1.0 ? p1 : 1.0 - p1;
    log_prob += std::log(std::max(p, kHeldOutFloor));
    errors += p < 0.5 ? 1.0 : 0.0;
  }
  SamplerScratch scratch;
  ModelWarnings warnings;
  HeldOutScore score;
  score_held_out_alleles(M, patterns, models, modelled, scratch, warnings, score);
  EXPECT_EQ(score.count, 8);
  EXPECT_NEAR(score.log_prob, log_prob, 1e-5);  // eight fits factorised in single precision
  EXPECT_EQ(score.errors, errors);
  EXPECT_GT(errors, 0.0);  // the window predicts some alleles wrongly, so errors are counted
}

TEST(BlockSettings, DefaultWidthFollowsTheSelectedHaplotypesOnlyWithoutAPanel) {
  EXPECT_EQ(default_numsnps(198, true), 50);
  EXPECT_EQ(default_numsnps(2, false), 10);  // never below the narrowest
  EXPECT_EQ(default_numsnps(118, false), 15);
  EXPECT_EQ(default_numsnps(198, false), 25);
  EXPECT_EQ(default_numsnps(404, false), 50);  // nor above the panel's width
}

TEST(BlockSettings, BestMeanLogProbabilityThenPenaltiesAtItsWidth) {
  const SettingsGrid grid = default_settings_grid({50, 0.06});
  std::vector<ModelSettings> tried;
  // A made-up landscape peaking at --numsnps 25 and the doubled penalty.
  auto score = [&tried](const ModelSettings& s) {
    tried.push_back(s);
    HeldOutScore h;
    h.count = 10;
    h.log_prob = -std::abs(s.numsnps - 25) - 10.0 * std::abs(s.lambda - 0.12);
    return h;
  };
  const BlockChoice choice = choose_block_settings(3, grid, 100, 24, score);
  EXPECT_EQ(choice.chosen, (ModelSettings{25, 0.12}));
  // 75 needs 150 scaffold sites; from 25, 35 and 50 the search goes down to 15 only, and
  // the penalties are tried at the best width.
  ASSERT_EQ(tried.size(), 6u);
  EXPECT_EQ(tried[0], (ModelSettings{25, 0.06}));
  EXPECT_EQ(tried[3], (ModelSettings{15, 0.06}));
  EXPECT_EQ(tried[4], (ModelSettings{25, 0.03}));
  // No site to score: the run's own settings, nothing tried.
  tried.clear();
  EXPECT_EQ(choose_block_settings(3, grid, 100, 0, score).chosen, (ModelSettings{50, 0.06}));
  EXPECT_TRUE(tried.empty());
  // Scored sites: the middle of equal parts of the block's sites, none outside it.
  const std::vector<std::uint64_t> positions = {999999, 1000000, 1000100, 1999999, 2000000};
  EXPECT_EQ(scored_sites(positions, 1), (std::vector<std::size_t>{1, 2, 3}));
}

TEST(TunedSettings, ChosenFromTheScaffoldAlone_ASubRegionGivesTheWholeRunsRecords) {
  TempDir dir;
  const std::string example = std::string(DORSANE_SOURCE_DIR) + "/examples/";
  auto run = [&](const std::string& name, const std::string& lower, const std::string& upper) {
    return run_dorsane_loud({"--sample-file", example + "samples.txt", "--glfs",
                             example + "gl.vcf.gz", "--scaffold-file", example + "scaffold.txt",
                             "--int", lower, upper, "--iteration", "20", "--burnin", "5", "--seed",
                             "3", "--tune-settings", "--o", dir.file(name)});
  };
  const RunResult whole = run("whole.vcf", "1000000", "1030000");
  ASSERT_EQ(whole.status, 0) << whole.err;
  const RunResult part = run("part.vcf", "1012000", "1020000");
  ASSERT_EQ(part.status, 0) << part.err;
  // 60 scaffold sites: the widths that fit are tried, and the choice is recorded.
  EXPECT_NE(whole.err.find("Settings for 20:1000000-1999999: --numsnps "), std::string::npos);
  auto lines = [&](const std::string& name, bool header) {
    return run_shell("grep " + std::string(header ? "" : "-v ") + "'^##dorsaneSettings\\|^#' '" +
                     dir.file(name) + "' | grep -v '^##dorsaneCommand'")
        .out;
  };
  EXPECT_NE(lines("whole.vcf", true).find("##dorsaneSettings=<Block=20:1000000-1999999,numsnps="),
            std::string::npos);
  EXPECT_EQ(lines("whole.vcf", true), lines("part.vcf", true));
  const std::string part_records = lines("part.vcf", false);
  ASSERT_GT(part_records.size(), 1000u);
  EXPECT_NE(lines("whole.vcf", false).find(part_records), std::string::npos);
}
