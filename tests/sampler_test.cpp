#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "chain/biallelic_chain.h"
#include "chain/run_chain.h"
#include "io/file_formats.h"
#include "model/model_window.h"
#include "util/random_source.h"
#include "window_builders.h"

namespace {

HaplotypeModel fitted(const WindowMatrix& M, int own_column, std::vector<int> selected,
                      std::vector<double> weights, double lambda) {
  HaplotypeModel model;
  model.selected = std::move(selected);
  model.weights = std::move(weights);
  for (double w : model.weights) model.v2 += w * w;
  model.lambda = lambda;
  ModelWarnings warnings;
  fit_haplotype_model(M, own_column, shrinkage_weight(static_cast<int>(model.selected.size())),
                      model, warnings);
  return model;
}

// P(1) / P(0) of a normal density with this mean and variance.
double density_ratio(double mu, double sigma2) { return std::exp((2 * mu - 1) / (2 * sigma2)); }

}  // namespace

TEST(ConditionalMoments, MatchDenseSolveOfTheSameNormalModel) {
  const WindowMatrix M = random_window(9, 14, 23);
  const int size = 8;
  const std::vector<int> selected = {5, 0, 9, 12, 7, 10};
  const std::vector<double> weights = {0.25, 0.2, 0.2, 0.15, 0.1, 0.1};
  const double theta = shrinkage_weight(6);
  HaplotypeModel model = fitted(M, 2, selected, weights, 0.06);
  SamplerScratch scratch;
  ModelWarnings warnings;
  const ConditionalMoments moments = conditional_moments(M, model, scratch, warnings);

  // Joint normal of (window, variant) from the weighted moments, conditioned densely.
  double variant_mean = 0.0;
  for (int j = 0; j < 6; ++j) variant_mean += weights[j] * M(size, selected[j]);
  ASSERT_TRUE(variant_mean > 0.01 && variant_mean < 0.99);  // penalty lambda
  Eigen::VectorXd cross = Eigen::VectorXd::Zero(size);
  double variance = 0.0;
  for (int j = 0; j < 6; ++j) {
    const double y = M(size, selected[j]) - variant_mean;
    for (int s = 0; s < size; ++s) cross[s] += weights[j] * (M(s, selected[j]) - model.mean[s]) * y;
    variance += weights[j] * y * y;
  }
  cross /= 1.0 - model.v2;
  variance = variance / (1.0 - model.v2) + 0.06;
  Eigen::VectorXd d(size);
  for (int s = 0; s < size; ++s) d[s] = M(s, 2) - (1 - theta) * model.mean[s] - 0.5 * theta;
  const auto solver = reference_covariance(M, model).ldlt();
  // Factor and R in single precision: the moments agree to about 1e-6 of their size.
  EXPECT_NEAR(moments.mean, variant_mean + cross.dot(solver.solve(d)), 1e-6);
  EXPECT_NEAR(moments.variance, variance - cross.dot(solver.solve(cross)), 1e-6);
  EXPECT_DOUBLE_EQ(model.mean[size], variant_mean);

  const std::array<double, 2> probs = haplotype_allele_probs(M, model, scratch, warnings);
  EXPECT_NEAR(probs[0] + probs[1], 1.0, 1e-15);
  EXPECT_NEAR(probs[1] / probs[0], density_ratio(moments.mean, moments.variance), 1e-9);
  EXPECT_EQ(warnings.nonpositive_variances, 0);

  // The other haplotype of the sample is conditioned on its own column.
  HaplotypeModel other = fitted(M, 3, selected, weights, 0.06);
  ASSERT_NE(M.col(2).head(size), M.col(3).head(size));
  EXPECT_NE(conditional_moments(M, other, scratch, warnings).mean, moments.mean);
}

TEST(ConditionalMoments, PenaltyRule_StrictBoundsAtPointZeroOneAndPointNineNine) {
  // Empty window: the moments are the variant mean and the penalised variance.
  const WindowMatrix M = window_from_columns({"0", "0", "1", "0"});
  SamplerScratch scratch;
  ModelWarnings warnings;
  const double lambda = 0.5;
  const double cases[][2] = {{0.01, lambda}, {0.0099, 0.09}, {0.99, lambda}, {0.9901, 0.09}};
  for (const auto& c : cases) {
    HaplotypeModel model = fitted(M, 0, {2, 3}, {c[0], 1 - c[0]}, lambda);
    const ConditionalMoments moments = conditional_moments(M, model, scratch, warnings);
    EXPECT_EQ(moments.mean, c[0]);
    EXPECT_DOUBLE_EQ(moments.variance, (c[0] - c[0] * c[0]) / (1 - model.v2) + c[1]) << c[0];
    // The phase keeps the haplotype's own penalty on both sides of the bounds.
    EXPECT_DOUBLE_EQ(moments.phase_variance, (c[0] - c[0] * c[0]) / (1 - model.v2) + lambda);
    // A narrower band leaves these means to the penalty.
    model.rare_band = 0.003;
    EXPECT_DOUBLE_EQ(conditional_moments(M, model, scratch, warnings).variance,
                     (c[0] - c[0] * c[0]) / (1 - model.v2) + lambda);
  }
}

TEST(ConditionalMoments, NonPositiveVariance_UsesPenaltyAlone) {
  // A hand-made inverse with a huge entry pushes cov'Q cov above the variance.
  const WindowMatrix M = window_from_columns({"00", "00", "11", "00"});
  HaplotypeModel model;
  model.selected = {2, 3};
  model.weights = {0.5, 0.5};
  model.v2 = 0.5;
  model.lambda = 0.2;
  model.mean = {0.5, 0.0};
  model.inverse.assign(Eigen::MatrixXd::Constant(1, 1, 1e3), 1, false);  // Q = 1e6
  model.conditioning = {1e-4};                                           // R d: Q d = 0.1
  SamplerScratch scratch;
  ModelWarnings warnings;
  const ConditionalMoments moments = conditional_moments(M, model, scratch, warnings);
  EXPECT_DOUBLE_EQ(moments.mean, 0.55);  // 0.5 + cov 0.5 * 0.1
  EXPECT_EQ(moments.variance, 0.2);
  std::array<double, 2> probs = haplotype_allele_probs(M, model, scratch, warnings);
  EXPECT_NEAR(probs[1] / probs[0], density_ratio(0.55, 0.2), 1e-12);
  EXPECT_EQ(warnings.nonpositive_variances, 2);

  HaplotypeModel confident = model;  // variant mean above 0.99: 0.09, not lambda
  confident.weights = {0.995, 0.005};
  confident.v2 = 0.995 * 0.995 + 0.005 * 0.005;
  confident.mean = {0.995, 0.0};
  EXPECT_EQ(conditional_moments(M, confident, scratch, warnings).variance, 0.09);

  // With --lambda 0 the density collapses onto mu: the nearer allele takes it all.
  model.lambda = 0.0;
  probs = haplotype_allele_probs(M, model, scratch, warnings);
  EXPECT_EQ(probs, (std::array<double, 2>{0.0, 1.0}));
  model.conditioning = {0.0};
  probs = haplotype_allele_probs(M, model, scratch, warnings);
  EXPECT_EQ(probs, (std::array<double, 2>{0.5, 0.5}));
}

TEST(ClassProbabilities, HandValues_HeterozygousLikelihoodServesBothPhases) {
  const double pls[3] = {10, 0, 20};
  const std::array<double, 4> probs = class_probabilities({0.3, 0.7}, {0.6, 0.4}, pls);
  const double weights[4] = {0.1 * 0.3 * 0.6, 0.01 * 0.7 * 0.4, 0.3 * 0.4, 0.7 * 0.6};
  const double sum = weights[0] + weights[1] + weights[2] + weights[3];
  for (int c = 0; c < 4; ++c) EXPECT_NEAR(probs[c], weights[c] / sum, 1e-14);
  // Flat likelihoods give the normalised products of the allele probabilities.
  const double flat[3] = {0, 0, 0};
  EXPECT_NEAR(class_probabilities({0.25, 0.75}, {0.5, 0.5}, flat)[1], 0.375, 1e-15);
}

TEST(ClassProbabilities, SplitHeterozygote_KeepsTheGenotypeAndTakesThePhaseRatio) {
  const double pls[3] = {10, 0, 20};
  std::array<double, 4> probs = class_probabilities({0.99, 0.01}, {0.995, 0.005}, pls);
  const std::array<double, 4> before = probs;
  split_heterozygote(probs, {0.9, 0.1}, {0.999, 0.001});
  EXPECT_EQ(probs[0], before[0]);
  EXPECT_EQ(probs[1], before[1]);
  EXPECT_NEAR(probs[2] + probs[3], before[2] + before[3], 1e-17);
  EXPECT_NEAR(probs[3] / probs[2], (0.1 * 0.999) / (0.9 * 0.001), 1e-9);
  // The same probabilities as the classes' give the classes back; no carrier, no change.
  std::array<double, 4> same = before;
  split_heterozygote(same, {0.99, 0.01}, {0.995, 0.005});
  for (int c = 0; c < 4; ++c) EXPECT_NEAR(same[c], before[c], 1e-15);
  std::array<double, 4> none = before;
  split_heterozygote(none, {1.0, 0.0}, {1.0, 0.0});
  EXPECT_EQ(none, before);
}

TEST(ClassProbabilities, UnderAndOverflowingWeights_SameAsShiftedLikelihoods) {
  const double plain[3] = {10, 0, 20};
  const std::array<double, 4> expected = class_probabilities({0.3, 0.7}, {0.6, 0.4}, plain);
  for (double shift : {4000.0, -4000.0}) {
    const double shifted[3] = {10 + shift, shift, 20 + shift};
    const std::array<double, 4> probs = class_probabilities({0.3, 0.7}, {0.6, 0.4}, shifted);
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(probs[c], expected[c], 1e-12) << shift;
  }
  // An impossible allele gives its classes weight 0, rescaled or not.
  const double huge[3] = {4000, 4010, 4020};
  const std::array<double, 4> probs = class_probabilities({1.0, 0.0}, {0.5, 0.5}, huge);
  EXPECT_EQ(probs[1], 0.0);
  EXPECT_EQ(probs[3], 0.0);
  EXPECT_NEAR(probs[0], 1.0 / 1.1, 1e-12);
  // Products that all underflow take the log10 path: 0|0 at 10^-400, the others at 10^-500.
  const double far[3] = {0, 3000, 5000};
  const std::array<double, 4> deep = class_probabilities({1e-200, 1.0}, {1e-200, 1.0}, far);
  EXPECT_NEAR(deep[0], 1.0, 1e-12);
  for (int c = 1; c < 4; ++c) EXPECT_NEAR(deep[c] / 1e-100, 1.0, 1e-9) << c;
}

TEST(PositionRandom, SeedPlusKeyGivesTheCLibrarysSequenceForThatSeed) {
  // (seed + key) wraps at 2^32; the stream is srand/rand's for the sum.
  for (const auto& [seed, key] :
       {std::pair<std::uint32_t, std::uint64_t>{11, 1000160}, {4294967295u, 2}}) {
    PositionRandom stream(seed, key);
    std::srand(static_cast<unsigned int>((seed + key) % 4294967296ULL));
    for (int i = 0; i < 50; ++i) ASSERT_EQ(stream.next_int(), std::rand()) << i;
  }
}

TEST(DrawClass, CumulativeBoundariesGoToTheLowerClass) {
  const std::array<double, 4> probs = {0.125, 0.25, 0.5, 0.125};
  EXPECT_EQ(draw_class(probs, 0.125), 0);
  EXPECT_EQ(draw_class(probs, 0.1250001), 1);
  EXPECT_EQ(draw_class(probs, 0.375), 1);
  EXPECT_EQ(draw_class(probs, 0.875), 2);
  EXPECT_EQ(draw_class(probs, 0.8750001), 3);
  EXPECT_EQ(draw_class(probs, 1.0), 3);
}

namespace {

// Three samples and two panel columns over a random window of 4 sites; every haplotype
// draws on the other samples' haplotypes, so the class probabilities follow the chain.
struct SmallChain {
  WindowMatrix M = random_window(5, 8, 5);
  std::vector<SampleModel> models{3};
  std::vector<std::vector<int>> pedigree = {{1, 1, 0, 0}, {1, 2, 0, 0}, {1, 3, 0, 0}};

  SmallChain() {
    ModelWarnings warnings;
    for (int hap = 0; hap < 6; ++hap) {
      std::vector<int> lengths = {8, 6, 7, 6, 5, 8, 4, 6};
      lengths[hap - hap % 2] = lengths[hap - hap % 2 + 1] = -1;
      HaplotypeModel& h = hap % 2 ? models[hap / 2].second : models[hap / 2].first;
      h.lambda = 0.06;
      EXPECT_TRUE(select_haplotypes(lengths, {}, 4, h));
      fit_haplotype_model(M, hap, shrinkage_weight(4), h, warnings);
    }
  }

  std::vector<double> run(int iterations, int burnin, ScriptedRandom& random) {
    SamplerScratch scratch;
    ModelWarnings warnings;
    std::vector<double> probs;
    const std::vector<double> pls = {0, 10, 30, 20, 0, 20, 40, 12, 0};
    run_biallelic_chain(M, models, pedigree, pls, {iterations, burnin}, random, scratch, warnings,
                        probs);
    return probs;
  }
};

const std::vector<int> kDraws = {kDrawZero,  kDrawOne,  700000000, kDrawOne, kDrawZero,
                                 1500000000, kDrawHalf, kDrawOne,  kDrawZero};

}  // namespace

TEST(BiallelicChain, BurnInSweepsLeaveNoTrace_RecordedSweepsAveraged) {
  SmallChain whole;
  ScriptedRandom random_whole(kDraws);
  const std::vector<double> last_only = whole.run(3, 2, random_whole);
  EXPECT_EQ(random_whole.used(), 9u);  // one draw per sample and sweep

  // The same chain one sweep at a time: M's variant row carries the state between calls.
  SmallChain stepwise;
  ScriptedRandom random_steps(kDraws);
  const std::vector<double> sweep1 = stepwise.run(1, 0, random_steps);
  const std::vector<double> sweep2 = stepwise.run(1, 0, random_steps);
  const std::vector<double> sweep3 = stepwise.run(1, 0, random_steps);
  // A chain follows its whitened covariances change by change, a fresh one whitens them
  // anew: equal up to rounding.
  ASSERT_EQ(last_only.size(), sweep3.size());
  for (std::size_t c = 0; c < sweep3.size(); ++c) EXPECT_NEAR(last_only[c], sweep3[c], 1e-12);
  EXPECT_EQ(stepwise.M.row(4), whole.M.row(4));
  EXPECT_NE(sweep1, sweep3);  // the state really moved

  SmallChain two_recorded;
  ScriptedRandom random_two(kDraws);
  const std::vector<double> averaged = two_recorded.run(3, 1, random_two);
  ASSERT_EQ(averaged.size(), 12u);
  for (int c = 0; c < 12; ++c) EXPECT_NEAR(averaged[c], sweep2[c] / 2 + sweep3[c] / 2, 1e-12);
}

TEST(BiallelicChain, UnitsInRowOrder_DrawnAllelesWrittenToVariantRow) {
  // Empty window; every haplotype draws on two panel columns (alleles 1 and 0), so with
  // flat likelihoods all four classes have probability 0.25.
  WindowMatrix M = window_from_columns({"1", "1", "1", "1", "1", "0"});
  std::vector<SampleModel> models(2);
  for (SampleModel& model : models) {
    model.first = model.second = fitted(M, 0, {4, 5}, {0.5, 0.5}, 0.06);
  }
  ScriptedRandom random({kDrawZero, kDrawOne});
  SamplerScratch scratch;
  ModelWarnings warnings;
  std::vector<double> probs;
  run_biallelic_chain(M, models, {{1, 2, 0, 0}, {1, 1, 0, 0}}, std::vector<double>(6, 0.0), {1, 0},
                      random, scratch, warnings, probs);
  // Sample 2 took the first draw (0|0), sample 1 the second (1|0).
  EXPECT_EQ(M.row(0).head(4), Eigen::RowVector4d(1, 0, 0, 0));
  EXPECT_EQ(probs, std::vector<double>(8, 0.25));

  SmallChain chain;  // family units belong to another update
  chain.pedigree = {{1, 1, 0, 0}, {2, 2, 3, 0, 0}};
  ScriptedRandom unused(kDraws);
  EXPECT_THROW(chain.run(3, 1, unused), std::logic_error);
  EXPECT_EQ(unused.used(), 0u);
}

// Sample 1 is all but certain (0|0); sample 2's classes stay at 0.25 whatever the state, so
// no average ever moves and the chain stops at its first chance.
TEST(BiallelicChain, SettledChainStopsEarlyAndCertainSampleStopsDrawing) {
  WindowMatrix M = window_from_columns({"1", "1", "1", "1", "1", "0"});
  std::vector<SampleModel> models(2);
  for (SampleModel& model : models) {
    model.first = model.second = fitted(M, 0, {4, 5}, {0.5, 0.5}, 0.06);
  }
  const std::vector<double> pls = {0, 200, 200, 0, 0, 0};
  const std::vector<std::vector<int>> pedigree = {{1, 1, 0, 0}, {1, 2, 0, 0}};
  ScriptedRandom random(std::vector<int>(200, kDrawHalf));
  SamplerScratch scratch;
  ModelWarnings warnings;
  std::vector<double> probs;
  const ChainSettings settle{40, 2, false, 0.01, true};
  const int sweeps =
      run_biallelic_chain(M, models, pedigree, pls, settle, random, scratch, warnings, probs);
  EXPECT_EQ(sweeps, 2 + 2 * kSettleSweeps);
  // Sample 2 draws in every sweep run; sample 1 in the burn-in and its recorded updates
  // before the kSettleUpdates-th, which settles it on 0|0.
  EXPECT_EQ(random.used(), static_cast<std::size_t>(sweeps + 2 + kSettleUpdates - 1));
  EXPECT_EQ(M.row(0).head(2), Eigen::RowVector2d(0, 0));
  // Averaged over the sweeps run, not over all 38 a full run records.
  ASSERT_EQ(probs.size(), 8u);
  EXPECT_NEAR(probs[0], 1.0, 1e-12);
  for (int c = 4; c < 8; ++c) EXPECT_NEAR(probs[c], 0.25, 1e-12);

  ScriptedRandom every(std::vector<int>(200, kDrawHalf));
  EXPECT_EQ(run_biallelic_chain(M, models, pedigree, pls, {40, 2}, every, scratch, warnings, probs),
            40);
  EXPECT_EQ(every.used(), 80u);
}

TEST(BiallelicChain, CachedProbabilitiesAfterAlleleChangesEqualFreshOnes) {
  SmallChain small;
  WindowPatterns patterns;
  patterns.build(small.M, static_cast<int>(small.M.cols()));
  const std::vector<double> pls(9, 0.0);
  SamplerScratch scratch, fresh_scratch;
  ModelWarnings warnings;
  BiallelicChain chain(small.M, patterns, small.models, small.pedigree, pls, variant_row(small.M),
                       nullptr, scratch, warnings);
  std::mt19937 engine(3);
  for (int step = 0; step < 300; ++step) {
    // Queries between changes fill the caches; changes must make exactly the right ones stale.
    chain.set_allele(static_cast<int>(engine() % 6), static_cast<int>(engine() % 2));
    const int sample = static_cast<int>(engine() % 3) + 1;
    const MemberPriors cached = chain.member_priors(sample);
    BiallelicChain fresh(small.M, patterns, small.models, small.pedigree, pls, chain.alleles(),
                         nullptr, fresh_scratch, warnings);
    const MemberPriors expected = fresh.member_priors(sample);
    for (int i = 0; i < 4; ++i) ASSERT_NEAR(cached[i], expected[i], 1e-12) << step;
  }
}

// A 2,000-sample window at the default cap: its models and the chains' index hold memory in
// proportion to N·k and N·T², never to N times the haplotype columns.
TEST(ModelMemory, TwoThousandSampleWindowStaysWithinItsNkBound) {
  constexpr int kSamples = 2000;
  constexpr int kRows = 20;
  constexpr int kK = kDefaultHaplotypeCap;
  constexpr int kColumns = 2 * kSamples;
  const WindowMatrix M = random_window(kRows + 1, kColumns, 7);
  WindowPatterns patterns;
  patterns.build(M, kColumns);
  SharedRuns runs;
  runs.build(M, kColumns, kColumns);
  std::vector<SampleModel> models(kSamples);
  std::vector<int> row;
  ModelWarnings warnings;
  FitScratch scratch;
  std::size_t held = 0;
  for (int m = 0; m < kColumns; ++m) {
    HaplotypeModel& model = m % 2 == 0 ? models[m / 2].first : models[m / 2].second;
    runs.row(m, row);
    ASSERT_TRUE(select_haplotypes(row, {}, kK, model));
    model.lambda = 0.06;
    fit_haplotype_model(M, patterns, m, shrinkage_weight(kK), model, warnings, scratch);
    held += model.held_bytes();
  }
  const SelectionIndex index(models, std::vector<char>(kSamples, 1), kColumns);
  held += index.held_bytes();
  // Per model: each selected column's number, length, weight and pattern, and its place in
  // the index; the packed inverse (in double at most) and a few vectors of the window rows.
  const std::size_t per_model = kK * (4 * sizeof(int) + 2 * sizeof(double)) +
                                kRows * (kRows + 1) / 2 * sizeof(double) +
                                4 * (kRows + 1) * sizeof(double) + sizeof(int);
  EXPECT_LE(held, kColumns * per_model);
  EXPECT_GT(held, kColumns * per_model / 2);  // the bound is not loose enough to hide a table
}
