// The all-haplotype model of --model-avg: its statistics kept exact by the incremental
// update, its chain apart from the k-model's, the choice of the more certain model, and
// whole runs on simulated cohorts.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

#include "chain/family.h"
#include "chain/model_average.h"
#include "chain/run_chain.h"
#include "model/model_window.h"
#include "test_util.h"
#include "window_builders.h"

namespace {

const std::string kSource = DORSANE_SOURCE_DIR;

// N samples over a random window of `rows` rows (the last the variant), run lengths drawn
// at random, every model fitted and its variant statistics computed from random alleles.
struct AllModelFixture {
  int N;
  WindowMatrix M;
  WindowPatterns patterns;
  ModelAverage average;
  ModelWarnings warnings;
  FitScratch fit_scratch;

  AllModelFixture(int samples, int rows, unsigned seed)
      : N(samples), M(random_window(rows, 2 * samples, seed)) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> length(0, 30);
    std::bernoulli_distribution allele(0.4);
    patterns.build(M, 2 * N);
    average.models.resize(static_cast<std::size_t>(N));
    average.theta_all = shrinkage_weight(2 * N - 2);
    for (int c = 0; c < 2 * N; ++c) average.alleles.push_back(allele(engine) ? 1.0 : 0.0);
    for (int s = 0; s < N; ++s) {
      for (int h = 0; h < 2; ++h) {
        std::vector<int> lengths(static_cast<std::size_t>(2 * N));
        for (int& l : lengths) l = length(engine);
        lengths[2 * s] = lengths[2 * s + 1] = -1;
        AllHaplotypeModel& model = h == 0 ? average.models[s].first : average.models[s].second;
        EXPECT_TRUE(all_haplotype_weights(lengths, {}, 2 * N, s, model));
        model.lambda = 0.06;
        fit_all_haplotype_model(M, patterns, 2 * s + h, average.theta_all, shrinkage_weight(4),
                                model, warnings, fit_scratch);
        all_model_variant_statistics(M, patterns, average.alleles, model, average.pattern_scratch);
      }
    }
  }

  // Fresh statistics of every model from the chain's current alleles.
  ModelAverage fresh() const {
    ModelAverage copy = average;
    for (AllSampleModel& model : copy.models) {
      for (AllHaplotypeModel* h : {&model.first, &model.second}) {
        all_model_variant_statistics(M, patterns, copy.alleles, *h, copy.pattern_scratch);
      }
    }
    return copy;
  }
};

void expect_statistics_near(const ModelAverage& a, const ModelAverage& b, double tolerance) {
  for (std::size_t s = 0; s < a.models.size(); ++s) {
    const AllHaplotypeModel* left[2] = {&a.models[s].first, &a.models[s].second};
    const AllHaplotypeModel* right[2] = {&b.models[s].first, &b.models[s].second};
    for (int h = 0; h < 2; ++h) {
      EXPECT_NEAR(left[h]->mean.back(), right[h]->mean.back(), tolerance) << s << "/" << h;
      EXPECT_NEAR(left[h]->variance, right[h]->variance, tolerance) << s << "/" << h;
      for (std::size_t r = 0; r < left[h]->covariance.size(); ++r) {
        EXPECT_NEAR(left[h]->covariance[r], right[h]->covariance[r], tolerance) << s << "/" << h;
      }
    }
  }
}

}  // namespace

TEST(AllHaplotypeModel, StatisticsAreTheWeightedMomentsOfAllOtherSampleHaplotypes) {
  AllModelFixture f(6, 7, 3);
  const int T = 6;
  const AllHaplotypeModel& model = f.average.models[2].second;
  double weight_sum = 0.0;
  for (double w : model.weights) weight_sum += w;
  EXPECT_NEAR(weight_sum, 1.0, 1e-12);
  EXPECT_EQ(model.weights[4], 0.0);
  EXPECT_EQ(model.weights[5], 0.0);
  // Moments by definition, over the 2N sample columns.
  double mean = 0.0;
  for (int c = 0; c < 12; ++c) mean += model.weights[c] * f.average.alleles[c];
  EXPECT_NEAR(model.mean[T], mean, 1e-12);
  EXPECT_NEAR(model.variance, (mean - mean * mean) / (1 - model.v2), 1e-12);
  Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(T, T);
  for (int r = 0; r < T; ++r) {
    double row_mean = 0.0, cross = 0.0;
    for (int c = 0; c < 12; ++c) {
      row_mean += model.weights[c] * f.M(r, c);
      cross += model.weights[c] * f.average.alleles[c] * f.M(r, c);
    }
    EXPECT_NEAR(model.mean[r], row_mean, 1e-12);
    EXPECT_NEAR(model.covariance[r], (cross - row_mean * mean) / (1 - model.v2), 1e-12);
    for (int q = 0; q < T; ++q) {
      for (int c = 0; c < 12; ++c) {
        covariance(r, q) +=
            model.weights[c] * (f.M(r, c) - model.mean[r]) * (f.M(q, c) - model.mean[q]);
      }
    }
  }
  covariance = covariance / (1 - model.v2) + 0.06 * Eigen::MatrixXd::Identity(T, T);
  const Eigen::MatrixXd q = dense_inverse(model.inverse);
  EXPECT_TRUE((q * covariance).isIdentity(1e-6));
  // Single samples shrink the window means by the all-model weight, family members by k's.
  for (const auto& [theta, conditioning] :
       {std::pair{f.average.theta_all, model.conditioning},
        std::pair{shrinkage_weight(4), model.family_conditioning}}) {
    Eigen::VectorXd d(T);
    for (int r = 0; r < T; ++r) d[r] = f.M(r, 5) - (1 - theta) * model.mean[r] - 0.5 * theta;
    const Eigen::VectorXd expected = dense_factor(model.inverse) * d;
    for (int r = 0; r < T; ++r) EXPECT_NEAR(conditioning[r], expected[r], 1e-6);
  }
}

TEST(AllHaplotypeModel, IncrementalUpdateEqualsFreshRecomputation) {
  AllModelFixture f(9, 11, 17);
  std::mt19937 engine(5);
  std::uniform_int_distribution<int> column(0, 2 * f.N - 1);
  // Many changes in a row: the running statistics must not drift from the definition.
  for (int change = 0; change < 200; ++change) {
    const int c = column(engine);
    const double previous = f.average.alleles[c];
    f.average.alleles[c] = 1.0 - previous;
    change_all_model_allele(f.average.models, f.M, c, previous, f.average.alleles[c]);
  }
  expect_statistics_near(f.average, f.fresh(), 1e-10);
}

TEST(AllHaplotypeModel, DrawThatKeepsTheAllelesTouchesNoStatistics) {
  AllModelFixture f(5, 6, 8);
  f.average.alleles[4] = f.average.alleles[5] = 0.0;
  f.average = f.fresh();
  const ModelAverage before = f.average;
  const std::vector<double> certain_hom_ref = {0, 255, 255};
  ScriptedRandom random({kDrawHalf});
  AllHaplotypeChain chain(f.average, f.M, f.warnings);
  chain.update_single(2, certain_hom_ref.data(), random);
  EXPECT_EQ(random.used(), 1u);
  EXPECT_EQ(f.average.alleles, before.alleles);
  for (int s = 0; s < f.N; ++s) {
    for (int h = 0; h < 2; ++h) {
      const AllHaplotypeModel& now = h ? f.average.models[s].second : f.average.models[s].first;
      const AllHaplotypeModel& then = h ? before.models[s].second : before.models[s].first;
      EXPECT_EQ(now.mean, then.mean);
      EXPECT_EQ(now.covariance, then.covariance);
      EXPECT_EQ(now.variance, then.variance);
    }
  }
  // A draw that changes both alleles leaves every other sample's statistics exact.
  const std::vector<double> certain_hom_alt = {255, 255, 0};
  ScriptedRandom again({kDrawHalf});
  const std::array<double, 4> probs = chain.update_single(2, certain_hom_alt.data(), again);
  EXPECT_GT(probs[1], 0.999);
  EXPECT_EQ(f.average.alleles[4], 1.0);
  EXPECT_EQ(f.average.alleles[5], 1.0);
  expect_statistics_near(f.average, f.fresh(), 1e-12);
}

TEST(AllHaplotypeModel, FitTakenFromTheKModelWhenTheWeightsAgree) {
  const int N = 6;
  const WindowMatrix M = random_window(11, 2 * N, 21);
  WindowPatterns patterns;
  patterns.build(M, 2 * N);
  std::vector<std::vector<int>> distances;
  distance_matrix(M, 2 * N, 2 * N, distances);
  ModelWarnings warnings;
  FitScratch scratch;
  const double theta_all = shrinkage_weight(2 * N - 2), theta_k = shrinkage_weight(4);
  for (const std::vector<int>& excluded : {std::vector<int>{}, std::vector<int>{6, 7}}) {
    HaplotypeModel k_model;
    k_model.lambda = 0.06;
    ASSERT_TRUE(select_haplotypes(distances[1], excluded, 2 * N - 2, k_model));
    fit_haplotype_model(M, patterns, 1, theta_k, k_model, warnings, scratch);
    AllHaplotypeModel direct;
    ASSERT_TRUE(all_haplotype_weights(distances[1], excluded, 2 * N, 0, direct));
    direct.lambda = 0.06;
    AllHaplotypeModel reused = direct;
    fit_all_haplotype_model(M, patterns, 1, theta_all, theta_k, direct, warnings, scratch);
    reuse_k_model_fit(M, 1, theta_all, k_model, reused);
    EXPECT_LT((dense_inverse(reused.inverse) - dense_inverse(direct.inverse)).cwiseAbs().maxCoeff(),
              1e-9);
    for (std::size_t r = 0; r + 1 < direct.mean.size(); ++r) {
      EXPECT_NEAR(reused.mean[r], direct.mean[r], 1e-12);
      EXPECT_NEAR(reused.conditioning[r], direct.conditioning[r], 1e-9);
      EXPECT_NEAR(reused.family_conditioning[r], direct.family_conditioning[r], 1e-9);
    }
  }
}

TEST(AllHaplotypeModel, WeightsFallBackToEqualWhenNoRunIsShared) {
  AllHaplotypeModel model;
  // Relatives excluded, the rest share nothing: every other unexcluded haplotype alike.
  EXPECT_FALSE(all_haplotype_weights({-1, -1, 0, 0, 5, 5, 0, 0}, {4, 5}, 8, 0, model));
  EXPECT_EQ(model.weights, (std::vector<double>{0, 0, 0.25, 0.25, 0, 0, 0.25, 0.25}));
  EXPECT_DOUBLE_EQ(model.v2, 0.25);
  // One haplotype holding all the weight would leave 1 - v2 = 0.
  EXPECT_FALSE(all_haplotype_weights({0, 0, -1, -1, 7}, {}, 4, 1, model));
  EXPECT_EQ(model.weights, (std::vector<double>{0.5, 0.5, 0, 0}));
  EXPECT_TRUE(all_haplotype_weights({1, 3, -1, -1, 99}, {}, 4, 1, model));
  EXPECT_EQ(model.weights, (std::vector<double>{0.25, 0.75, 0, 0}));  // panel column ignored
}

TEST(ModelAveraging, EachSampleKeepsTheMoreCertainModelTiesToK) {
  const double nan = std::nan("");
  std::vector<double> k_probs = {0.6, 0.2, 0.1,  0.1,  0.7, 0.1, 0.1, 0.1,
                                 0.9, 0.0, 0.05, 0.05, 0.5, 0.5, 0.0, 0.0};
  const std::vector<double> all_probs = {0.1, 0.8, 0.05, 0.05, 0.1, 0.7, 0.1, 0.1,
                                         0.8, 0.2, 0.0,  0.0,  nan, 0.0, 0.0, 0.0};
  keep_more_certain(k_probs, all_probs, 4);
  EXPECT_EQ(k_probs, (std::vector<double>{0.1, 0.8, 0.05, 0.05, 0.7, 0.1, 0.1, 0.1, 0.9, 0.0, 0.05,
                                          0.05, 0.5, 0.5, 0.0, 0.0}));
  std::vector<double> nine(9, 1.0 / 9);
  EXPECT_THROW(keep_more_certain(nine, std::vector<double>(8, 0.0), 9), std::logic_error);
}

TEST(ModelAveraging, ChainsDrawInTurnAndNeverReadEachOther) {
  // Units: a trio (child 3 of 1 and 2), a duo (child 4 of 3) and two singles.
  const int N = 6;
  AllModelFixture f(N, 7, 29);
  std::vector<SampleModel> models(N);
  std::mt19937 engine(2);
  std::uniform_int_distribution<int> length(1, 20);
  for (int s = 0; s < N; ++s) {
    for (int h = 0; h < 2; ++h) {
      std::vector<int> lengths(2 * N);
      for (int& l : lengths) l = length(engine);
      lengths[2 * s] = lengths[2 * s + 1] = -1;
      HaplotypeModel& model = h ? models[s].second : models[s].first;
      model.lambda = 0.06;
      ASSERT_TRUE(select_haplotypes(lengths, {}, 2 * N - 2, model));
      fit_haplotype_model(f.M, f.patterns, 2 * s + h, shrinkage_weight(2 * N - 2), model,
                          f.warnings, f.fit_scratch);
    }
  }
  for (int c = 0; c < 2 * N; ++c) f.M(6, c) = f.average.alleles[c] = 0.0;
  f.average = f.fresh();
  std::vector<std::vector<int>> pedigree = {{3, 3, 1, 2, 0}, {2, 4, 3, 0, 0}, {1, 5}, {1, 6}};
  FamilyUnits family = number_family_units(pedigree);
  const std::vector<double> flat(3 * N, 0.0);
  // Per sweep: trio k (3 draws), trio all (3), duo k (2), duo all (2), then k and all per
  // single. k draws at u = 0 keep class 0; all draws at u = 1 take the last class.
  std::vector<int> draws;
  for (int sweep = 0; sweep < 4; ++sweep) {
    for (int unit : {3, 2, 1, 1}) {
      draws.insert(draws.end(), unit, kDrawZero);
      draws.insert(draws.end(), unit, kDrawOne);
    }
  }
  ScriptedRandom random(draws);
  SamplerScratch scratch;
  std::vector<double> probs;
  run_biallelic_chain(f.M, f.patterns, models, pedigree, flat, {4, 1}, random, scratch, f.warnings,
                      probs, &family, &f.average);
  EXPECT_EQ(random.used(), draws.size());
  for (int c = 0; c < 2 * N; ++c) {
    EXPECT_EQ(f.M(6, c), 0.0) << c;
    EXPECT_EQ(f.average.alleles[c], c % 2 == 0 ? 1.0 : 0.0) << c;  // 1|0
  }
  // The family draws' changes were folded into the others' statistics exactly.
  expect_statistics_near(f.average, f.fresh(), 1e-12);
  ASSERT_EQ(probs.size(), 4u * N);
  ASSERT_EQ(f.average.genotype_probs.size(), 4u * N);
  for (int s = 0; s < N; ++s) {
    const double* k = &probs[4 * s];
    EXPECT_NEAR(k[0] + k[1] + k[2] + k[3], 1.0, 1e-9);
    EXPECT_TRUE(std::isfinite(k[0]) && std::isfinite(k[3]));
  }
}

namespace {

// The simulated cohort with the settings every run here shares.
struct Simulated : SimulatedCohort {
  using SimulatedCohort::SimulatedCohort;
  RunResult run(const std::string& tag, std::vector<std::string> extra) const {
    extra.insert(extra.begin(), {"--numsnps", "8", "--iteration", "40", "--burnin", "8"});
    return SimulatedCohort::run(tag, extra);
  }
  double discordance(const std::string& tag) const {
    return evaluate(tag, {"calls", "all", "discordance"});
  }
};

}  // namespace

TEST(ModelAveraging, EndToEndRepeatableAndAsAccurate) {
  struct Case {
    std::string name, simulation;
    std::vector<std::string> extra;
  };
  const std::vector<Case> cases = {
      {"unrelated", "--seed 31 --samples 50 --sites 200 --coverage 3", {}},
      {"pedigree",
       "--seed 32 --samples 50 --trios 6 --duos 4 --sites 200 --coverage 3",
       {"--ped-file", "family.ped"}},
      {"multi", "--seed 33 --samples 40 --sites 200 --multi 0.1 --coverage 3", {}}};
  for (const Case& c : cases) {
    Simulated sim(c.simulation);
    std::vector<std::string> extra = c.extra;
    if (!extra.empty()) extra[1] = sim.dir.file(extra[1]);
    extra.insert(extra.end(), {"--seed", "9"});
    const RunResult plain = sim.run("plain", extra);
    ASSERT_EQ(plain.status, 0) << c.name << ": " << plain.err;
    extra.push_back("--model-avg");
    const RunResult first = sim.run("avg1", extra);
    ASSERT_EQ(first.status, 0) << c.name << ": " << first.err;
    const RunResult second = sim.run("avg2", extra);
    ASSERT_EQ(second.status, 0) << c.name << ": " << second.err;
    const std::string calls = read_output(sim.dir.file("avg1.vcf"));
    EXPECT_EQ(calls, read_output(sim.dir.file("avg2.vcf"))) << c.name;
    EXPECT_EQ(calls.find("nan"), std::string::npos) << c.name;
    EXPECT_EQ(first.out.find("Errors in probabilities"), std::string::npos) << c.name;
    const double without = sim.discordance("plain");
    const double with = sim.discordance("avg1");
    std::cout << c.name << ": genotype discordance " << with << " with --model-avg, " << without
              << " without" << std::endl;
    EXPECT_LE(with, 1.5 * without) << c.name;
  }
}
