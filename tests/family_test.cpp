#include "chain/family.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "chain/run_chain.h"
#include "test_util.h"
#include "window_builders.h"

namespace {

const std::string kSource = DORSANE_SOURCE_DIR;

const FamilyTables kTables = build_family_tables();

double broken_count_weight(int broken) {
  return broken * kTransmissionBroken + (2 - broken) * kTransmissionKept;
}

// Records every allele write in order.
struct WriteLog {
  std::vector<std::pair<int, int>> writes;
  AlleleWriter writer() {
    return [this](int column, int allele) { writes.emplace_back(column, allele); };
  }
};

const MemberPriors kFlat = {0.5, 0.5, 0.5, 0.5};

}  // namespace

TEST(FamilyTables, RowsClassListsAndTransmissionMatchHandCounts) {
  EXPECT_EQ(kTables.duo_configurations[13], (std::array<int, 6>{1, 1, 0, 1, 2, 1}));
  EXPECT_EQ(kTables.trio_configurations[41], (std::array<int, 9>{1, 0, 1, 0, 0, 1, 1, 1, 1}));
  EXPECT_EQ(kTables.Dchild_gen[2], (std::array<int, 4>{4, 5, 6, 7}));   // child 0|1
  EXPECT_EQ(kTables.Dpar1_gen[3], (std::array<int, 4>{2, 6, 10, 14}));  // parent 1|0
  std::array<int, 16> child_10, parent_b_01;
  for (int i = 0; i < 16; ++i) {
    child_10[i] = 32 + i;
    parent_b_01[i] = 4 * i + 1;
  }
  EXPECT_EQ(kTables.Tchild_gen[3], child_10);
  EXPECT_EQ(kTables.Tpar2_gen[2], parent_b_01);
  EXPECT_EQ(kTables.Tpar1_gen[1][0], 12);  // a1 = a2 = 1, everything else 0
}

TEST(FamilySiteWeights, TransmissionFollowsTheWindowsAssignment) {
  // Flat likelihoods leave only the transmission terms: 1e-8 per broken transmission,
  // between the child's haplotype and the parent's haplotype that the assignment names.
  const std::vector<double> flat(9, 0.0);
  for (const Transmission& t : {Transmission{0, 0, 0}, Transmission{1, 1, 0}}) {
    Post_trio trio;
    trio.transmission = t;
    trio.set_site_weights(kTables, flat, 3, 1, 2);
    Post_duo duo;
    duo.transmission = t;
    duo.set_site_weights(kTables, flat, 1, 2);
    for (int j = 0; j < 64; ++j) {
      const auto& r = kTables.trio_configurations[j];
      const int broken = (r[t.child_from_a] != r[2 + t.a_transmits]) +
                         (r[1 - t.child_from_a] != r[4 + t.b_transmits]);
      EXPECT_DOUBLE_EQ(trio.site_weights[j], broken_count_weight(broken)) << j;
    }
    for (int j = 0; j < 16; ++j) {
      const auto& r = kTables.duo_configurations[j];
      EXPECT_EQ(duo.site_weights[j], r[t.child_from_a] == r[2 + t.a_transmits]
                                         ? kTransmissionKept
                                         : kTransmissionBroken);
    }
  }
}

TEST(FamilyUnits, DuosAndTriosNumberedSeparatelyInRowOrder) {
  std::vector<std::vector<int>> pedigree = {
      {3, 3, 1, 2, 0}, {2, 5, 4, 0, 0}, {3, 8, 6, 7, 0}, {1, 9, 0, 0}, {2, 11, 0, 10, 0}};
  const FamilyUnits family = number_family_units(pedigree);
  EXPECT_EQ(pedigree[0][4], 0);
  EXPECT_EQ(pedigree[1][4], 0);
  EXPECT_EQ(pedigree[2][4], 1);
  EXPECT_EQ(pedigree[3], (std::vector<int>{1, 9, 0, 0, 0}));
  EXPECT_EQ(pedigree[4][4], 1);
  EXPECT_EQ(family.trio_posteriors.size(), 2u);
  EXPECT_EQ(family.duo_posteriors.size(), 2u);
}

TEST(FamilyUnits, RelativesOfEachModelledMember_LaterRowWins) {
  // Trio 3 of 1 and 2; duo 4 with parent 3 in slot 3; single 5; trio 6 of 4 and 5.
  const std::vector<std::vector<int>> pedigree = {
      {3, 3, 1, 2, 0}, {2, 4, 0, 3, 0}, {1, 5, 0, 0, 0}, {3, 6, 4, 5, 1}};
  const std::vector<std::array<int, 2>> relatives = member_relatives(pedigree, 7);
  const std::vector<std::array<int, 2>> expected = {{3, 2}, {3, 1},   {4, 0},  {6, 5},
                                                    {6, 4}, {-1, -1}, {-1, -1}};
  EXPECT_EQ(relatives, expected);
}

TEST(PostDuo, ParentInSlotThreeMirrorsParentInSlotTwo) {
  // Child 1 and parent 2; distinct likelihoods and priors so any mix-up shows.
  const std::vector<double> pls = {12, 0, 25, 3, 0, 40};
  Post_duo a_duo, b_duo;
  b_duo.transmission.child_from_a = 1;
  a_duo.set_site_weights(kTables, pls, 1, 2);
  b_duo.set_site_weights(kTables, pls, 1, 2);
  // Child 0|1 with parent 1|1: transmission broken in slot 2 (c1 != p1), kept in slot 3.
  EXPECT_DOUBLE_EQ(a_duo.site_weights[0b0111], kTransmissionBroken - (0.0 + 4.0));
  EXPECT_DOUBLE_EQ(b_duo.site_weights[0b0111], kTransmissionKept - (0.0 + 4.0));

  // Swapping the child's haplotypes (and its priors) turns one layout into the other.
  const MemberPriors child = {0.9, 0.1, 0.3, 0.7};
  const MemberPriors swapped = {child[2], child[3], child[0], child[1]};
  const MemberPriors parent = {0.2, 0.8, 0.6, 0.4};
  std::array<double, 16> joint_a{}, joint_b{};
  ScriptedRandom random(std::vector<int>(6, kDrawHalf));
  WriteLog log;
  a_duo.compute_probs_duos(child, parent, 1, 2, joint_a, kTables, log.writer(), random, nullptr);
  b_duo.compute_probs_duos(swapped, parent, 1, 2, joint_b, kTables, log.writer(), random, nullptr);
  EXPECT_NEAR(std::accumulate(joint_a.begin(), joint_a.end(), 0.0), 1.0, 1e-12);
  for (int j = 0; j < 16; ++j) {
    const int mirrored = (j & 0b0011) | ((j & 0b1000) >> 1) | ((j & 0b0100) << 1);
    EXPECT_NEAR(joint_a[j], joint_b[mirrored], 1e-12) << j;
  }
  // The child's transmitted haplotype takes no prior of its own: the A-duo's joint does not
  // move when the child's first-haplotype prior does.
  MemberPriors other_first = child;
  other_first[0] = 0.01;
  other_first[1] = 0.99;
  std::array<double, 16> joint_c{};
  a_duo.compute_probs_duos(other_first, parent, 1, 2, joint_c, kTables, log.writer(), random,
                           nullptr);
  for (int j = 0; j < 16; ++j) EXPECT_DOUBLE_EQ(joint_c[j], joint_a[j]);
}

TEST(PostTrio, DrawsChildThenParentsWithCumulativeBoundaries) {
  // Flat priors and likelihoods: each member's four classes are almost equally likely.
  Post_trio trio;
  trio.set_site_weights(kTables, std::vector<double>(9, 0.0), 3, 1, 2);
  std::array<double, 64> joint{};
  ScriptedRandom random({kDrawZero, kDrawOne, 1288490189 /* 0.6 */});
  WriteLog log;
  std::vector<double> record(12, -1.0);
  trio.compute_probs_trios(3, 1, 2, kFlat, kFlat, joint, kTables, log.writer(), random,
                           record.data());
  EXPECT_EQ(random.used(), 3u);
  // Child (columns 4, 5) 0|0, parent A (0, 1) 1|0, parent B (2, 3) 0|1.
  EXPECT_EQ(log.writes,
            (std::vector<std::pair<int, int>>{{4, 0}, {5, 0}, {0, 1}, {1, 0}, {2, 0}, {3, 1}}));
  for (int c = 0; c < 12; ++c) EXPECT_NEAR(record[c], 0.25, 1e-7) << c;

  // A certain trio (all 0|0): u = 1 equals the first cumulative sum and keeps class 0.
  Post_trio certain;
  certain.set_site_weights(kTables, {0, 1000, 1000, 0, 1000, 1000, 0, 1000, 1000}, 3, 1, 2);
  ScriptedRandom ones({kDrawOne, kDrawOne, kDrawOne});
  WriteLog certain_log;
  certain.compute_probs_trios(3, 1, 2, kFlat, kFlat, joint, kTables, certain_log.writer(), ones,
                              nullptr);
  EXPECT_EQ(certain_log.writes,
            (std::vector<std::pair<int, int>>{{4, 0}, {5, 0}, {0, 0}, {1, 0}, {2, 0}, {3, 0}}));
}

TEST(PostTrio, JointFarBelowTheShiftFloorStillNormalises) {
  // Likelihoods and priors so far apart that every product underflows: the joint is taken
  // in log10, where the likelihoods win.
  Post_trio trio;
  trio.set_site_weights(kTables, {0, 3000, 6000, 0, 3000, 6000, 0, 3000, 6000}, 3, 1, 2);
  const MemberPriors deep = {1e-160, 1.0, 1e-160, 1.0};
  std::array<double, 64> joint{};
  ScriptedRandom random({kDrawHalf, kDrawHalf, kDrawHalf});
  WriteLog log;
  std::vector<double> record(12, 0.0);
  trio.compute_probs_trios(3, 1, 2, deep, deep, joint, kTables, log.writer(), random,
                           record.data());
  EXPECT_NEAR(std::accumulate(joint.begin(), joint.end(), 0.0), 1.0, 1e-12);
  for (double p : record) EXPECT_TRUE(std::isfinite(p));
  // Every member hom-ref by likelihood, against its priors.
  for (int s = 0; s < 3; ++s) EXPECT_GT(record[4 * s], 0.99) << s;
}

// The joint as products against the log10 formula (log10 priors plus site weights, through
// normalise_joint), from everyday likelihoods to ones whose products under- or overflow.
TEST(FamilyJoint, ProductsMatchTheLog10Formula_ExtremeLikelihoodsIncluded) {
  std::mt19937 engine(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto priors = [&](bool tiny) {
    MemberPriors p;
    for (int h = 0; h < 2; ++h) {
      const double one = tiny ? std::pow(10.0, -300.0 * unit(engine)) : unit(engine);
      p[2 * h] = 1.0 - one;
      p[2 * h + 1] = one;
    }
    return p;
  };
  for (const double pl_scale : {30.0, 3000.0, 30000.0}) {
    for (int trial = 0; trial < 12; ++trial) {
      std::vector<double> pls(9);
      // Every third sample far below 0, as unscaled log likelihoods can be.
      for (double& pl : pls) pl = pl_scale * unit(engine) - (trial % 3 == 0 ? 20000.0 : 0.0);
      const Transmission t{trial % 2, (trial / 2) % 2, (trial / 4) % 2};
      const MemberPriors a = priors(trial % 2 == 1), b = priors(trial % 4 == 1);
      Post_trio trio;
      trio.transmission = t;
      trio.set_site_weights(kTables, pls, 3, 1, 2);
      std::array<double, 64> joint{}, expected{}, scores{};
      trio.marginals(a, b, joint, kTables);
      for (int j = 0; j < 64; ++j) {
        const auto& r = kTables.trio_configurations[j];
        scores[j] = std::log10(a[r[2]]) + std::log10(a[2 + r[3]]) + std::log10(b[r[4]]) +
                    std::log10(b[2 + r[5]]) + trio.site_weights[j];
      }
      normalise_joint(scores.data(), 64, expected.data());
      for (int j = 0; j < 64; ++j) ASSERT_NEAR(joint[j], expected[j], 1e-10) << pl_scale << j;

      Post_duo duo;
      duo.transmission = t;
      duo.set_site_weights(kTables, pls, 1, 2);
      std::array<double, 16> duo_joint{}, duo_expected{}, duo_scores{};
      duo.marginals(a, b, duo_joint, kTables);
      for (int j = 0; j < 16; ++j) {
        const auto& r = kTables.duo_configurations[j];
        const double untransmitted = t.child_from_a == 0 ? a[2 + r[1]] : a[r[0]];
        duo_scores[j] = std::log10(untransmitted) + std::log10(b[r[2]]) + std::log10(b[2 + r[3]]) +
                        duo.site_weights[j];
      }
      normalise_joint(duo_scores.data(), 16, duo_expected.data());
      for (int j = 0; j < 16; ++j) {
        ASSERT_NEAR(duo_joint[j], duo_expected[j], 1e-10) << pl_scale << j;
      }
    }
  }
}

TEST(FamilyChain, SampleInTwoUnitsKeepsItsLaterUnitsValuesEachSweep) {
  // Trio: child 3 of parents 1 and 2 (both certain 0/0), so as a child 3 must be 0|0.
  // Duo: 3 is the slot-2 parent of 4 (certain 1/1), so as a parent its first allele is 1.
  WindowMatrix M = random_window(5, 10, 11);
  std::vector<SampleModel> models(4);
  ModelWarnings warnings;
  for (int hap = 0; hap < 8; ++hap) {
    std::vector<int> lengths = {8, 6, 7, 6, 5, 8, 4, 6, 3, 5};
    lengths[hap - hap % 2] = lengths[hap - hap % 2 + 1] = -1;
    HaplotypeModel& h = hap % 2 ? models[hap / 2].second : models[hap / 2].first;
    h.lambda = 0.06;
    ASSERT_TRUE(select_haplotypes(lengths, {}, 4, h));
    fit_haplotype_model(M, hap, shrinkage_weight(4), h, warnings);
  }
  std::vector<std::vector<int>> pedigree = {{3, 3, 1, 2, 0}, {2, 4, 3, 0, 0}};
  FamilyUnits family = number_family_units(pedigree);
  const std::vector<double> pls = {0, 200, 200, 0, 200, 200, 0, 0, 0, 200, 200, 0};
  ScriptedRandom random(std::vector<int>(25, kDrawHalf));
  SamplerScratch scratch;
  std::vector<double> probs;
  run_biallelic_chain(M, models, pedigree, pls, {5, 2}, random, scratch, warnings, probs, &family);
  EXPECT_EQ(random.used(), 25u);  // three trio and two duo draws per sweep
  EXPECT_EQ(family.trio_children, std::vector<int>{3});
  ASSERT_EQ(probs.size(), 16u);
  for (int s = 0; s < 4; ++s) {
    EXPECT_NEAR(probs[4 * s] + probs[4 * s + 1] + probs[4 * s + 2] + probs[4 * s + 3], 1.0, 1e-9);
  }
  EXPECT_LT(probs[8], 0.01);              // not the trio's 0|0
  EXPECT_GT(probs[9] + probs[11], 0.99);  // the duo's first allele 1
  EXPECT_GT(probs[13], 0.999);            // the duo child 1|1
  EXPECT_GT(probs[0], 0.999);             // parents 0|0
}

TEST(ChainsSideBySide, EveryVariantGetsWhatItsChainGivesAlone) {
  // Three variants on one window with a trio, a duo and a single: each with its own
  // likelihoods, initial alleles and stream.
  const WindowMatrix M = random_window(5, 12, 17);
  std::vector<SampleModel> models(6);
  ModelWarnings fit_warnings;
  for (int hap = 0; hap < 12; ++hap) {
    std::vector<int> lengths = {8, 6, 7, 6, 5, 8, 4, 6, 3, 5, 7, 2};
    lengths[hap - hap % 2] = lengths[hap - hap % 2 + 1] = -1;
    HaplotypeModel& h = hap % 2 ? models[hap / 2].second : models[hap / 2].first;
    h.lambda = 0.06;
    ASSERT_TRUE(select_haplotypes(lengths, {}, 6, h));
    fit_haplotype_model(M, hap, shrinkage_weight(6), h, fit_warnings);
  }
  std::vector<std::vector<int>> pedigree = {{3, 3, 1, 2}, {2, 5, 4, 0}, {1, 6, 0, 0}};
  const FamilyUnits family = number_family_units(pedigree);
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  // Every sweep, and chains that settle after different numbers of sweeps.
  for (const ChainSettings settings : {ChainSettings{20, 5}, ChainSettings{60, 5, false, 0.02}}) {
    std::mt19937 engine(5);
    constexpr int kVariants = 3;
    std::vector<std::vector<double>> pls(kVariants), alleles(kVariants), alone(kVariants);
    std::vector<int> alone_sweeps(kVariants);
    std::vector<FamilyUnits> families(kVariants, family);
    std::vector<std::unique_ptr<PositionRandom>> streams;
    std::vector<SamplerScratch> scratches(kVariants);
    std::vector<ChainTask> tasks(kVariants);
    for (int v = 0; v < kVariants; ++v) {
      for (int i = 0; i < 18; ++i) pls[v].push_back(engine() % 40);
      for (int c = 0; c < 12; ++c) alleles[v].push_back(engine() % 2);
      WindowMatrix own = M;
      own.row(4) = Eigen::Map<const Eigen::RowVectorXd>(alleles[v].data(), 12);
      FamilyUnits own_family = family;
      PositionRandom random(11, 1000 + v);
      SamplerScratch scratch;
      ModelWarnings warnings;
      alone_sweeps[v] = run_biallelic_chain(own, patterns, models, pedigree, pls[v], settings,
                                            random, scratch, warnings, alone[v], &own_family);
      streams.push_back(std::make_unique<PositionRandom>(11, 1000 + v));
      tasks[v] = {&pls[v], alleles[v], streams[v].get(), &scratches[v], &families[v], {}, {}, {}};
    }
    run_biallelic_chains(M, patterns, models, pedigree, settings, tasks);
    for (int v = 0; v < kVariants; ++v) {
      EXPECT_EQ(tasks[v].genotype_probs, alone[v]) << v;
      EXPECT_EQ(tasks[v].sweeps, alone_sweeps[v]) << v;
    }
    EXPECT_NE(alone[0], alone[1]);
    if (settings.settle_tolerance > 0.0) {
      EXPECT_FALSE(alone_sweeps[0] == alone_sweeps[1] && alone_sweeps[1] == alone_sweeps[2])
          << "the chains should stop after different numbers of sweeps";
    }
  }
}

TEST(FamilyCalling, PedigreeOnAnUnorderedScaffoldLowersMendelianErrorsAndDiscordance) {
  // The simulator phases parents without regard to transmission, with crossovers.
  const SimulatedCohort cohort(
      "--seed 3 --samples 60 --trios 10 --duos 6 --sites 300 --coverage 2 --crossovers 2");
  auto figures = [&](const std::string& tag, std::vector<std::string> extra) {
    extra.insert(extra.end(), {"--numsnps", "15", "--seed", "3"});
    const RunResult run = cohort.run(tag, extra);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string ped = "--ped " + cohort.dir.file("family.ped");
    return std::make_pair(cohort.evaluate(tag, {"mendel", "calls", "rate"}, ped),
                          cohort.evaluate(tag, {"calls", "all", "nonref_discordance"}, ped));
  };
  const auto with_pedigree = figures("ped", {"--ped-file", cohort.dir.file("family.ped")});
  const auto without = figures("plain", {});
  EXPECT_LT(with_pedigree.first, without.first);
  EXPECT_LT(with_pedigree.first, 0.005);
  EXPECT_LE(with_pedigree.second, without.second);
}

namespace {

std::vector<double> haplotype(const std::string& alleles) {
  std::vector<double> h;
  for (const char a : alleles) h.push_back(a == '1' ? 1.0 : 0.0);
  return h;
}

struct TransmissionCase {
  const char* name;
  std::array<const char*, 6> haplotypes;  // child 1, 2, parent A 1, 2, parent B 1, 2 ("" = duo)
  int split;
  int fallback_child;  // duo: the pedigree's child haplotype from its parent
  Transmission expected;
  TransmissionOutcome outcome;
};

}  // namespace

TEST(Transmission, ReadFromTheRunsAroundTheVariant) {
  using O = TransmissionOutcome;
  // Parent A's haplotypes differ at every row, so the run tells them apart.
  const TransmissionCase cases[] = {
      {"first transmitted",
       {"00110011", "11110000", "00110011", "11001100", "11110000", "01010101"},
       4,
       0,
       {0, 0, 0},
       O::kRead},
      {"second transmitted, child's haplotypes swapped",
       {"01010101", "11001100", "00110011", "11001100", "11110000", "01010101"},
       4,
       0,
       {1, 1, 1},
       O::kRead},
      // A crossover between rows 5 and 6: the child's haplotype is A's first up to row 5,
      // its second from row 6 on; the variant's side of the crossover decides.
      {"before a crossover",
       {"00110000", "11110000", "00110011", "11001100", "11110000", "01010101"},
       3,
       0,
       {0, 0, 0},
       O::kRead},
      {"after a crossover",
       {"00110000", "11110000", "00110011", "11001100", "11110000", "01010101"},
       7,
       0,
       {0, 1, 0},
       O::kRead},
      // Parent B's two haplotypes are equal: its choice keeps the first.
      {"parent B's haplotypes equal",
       {"11001100", "10101010", "00110011", "11001100", "10101010", "10101010"},
       4,
       0,
       {0, 1, 0},
       O::kTie},
      // No parental haplotype agrees with the child's next to the variant.
      {"Mendelian conflict",
       {"00011000", "11110000", "00100111", "11100111", "11110000", "01010101"},
       4,
       0,
       {0, 0, 0},
       O::kConflict},
      // Duos: one parent, listed in column 4 (fallback: the child's second haplotype).
      {"duo, parent's second to the child's first",
       {"00110011", "01010101", "11001100", "00110011", "", ""},
       4,
       1,
       {0, 1, 0},
       O::kRead},
      {"duo, child's haplotypes equal",
       {"00110011", "00110011", "11001100", "00110011", "", ""},
       4,
       1,
       {1, 1, 0},
       O::kTie},
  };
  for (const TransmissionCase& c : cases) {
    std::vector<std::vector<double>> h;
    for (const char* alleles : c.haplotypes) h.push_back(haplotype(alleles));
    const int rows = static_cast<int>(h[0].size());
    const HaplotypePair child{h[0].data(), h[1].data()}, a{h[2].data(), h[3].data()};
    const TransmissionDecision d =
        h[4].empty()
            ? decide_duo_transmission(child, a, rows, c.split, c.fallback_child)
            : decide_trio_transmission(child, a, {h[4].data(), h[5].data()}, rows, c.split);
    EXPECT_EQ(d.transmission, c.expected) << c.name;
    EXPECT_EQ(d.outcome, c.outcome) << c.name;
  }
}
