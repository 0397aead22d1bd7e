#include <gtest/gtest.h>

#include "io/file_formats.h"

namespace {
std::string call(double p00, double p11, double p01, double p10, double& posterior) {
  return genotype_vcf(p00, p11, p01, p10, posterior);
}
}  // namespace

TEST(GenotypeVcf, CallRulesAndTies) {
  double posterior = 0;
  EXPECT_EQ(call(0.4, 0.2, 0.2, 0.2, posterior), "0|0");  // het ties hom-ref
  EXPECT_DOUBLE_EQ(posterior, 0.4);
  EXPECT_EQ(call(0.3, 0.1, 0.3, 0.3, posterior), "0|1");
  EXPECT_DOUBLE_EQ(posterior, 0.6);
  EXPECT_EQ(call(0.25, 0.5, 0.125, 0.125, posterior), "1|1");
  EXPECT_DOUBLE_EQ(posterior, 0.5);
  EXPECT_EQ(call(0.3, 0.3, 0.2, 0.2, posterior), "0|1");  // phases tie
  EXPECT_DOUBLE_EQ(posterior, 0.4);
  EXPECT_EQ(call(0.1, 0.1, 0.3, 0.5, posterior), "1|0");
  EXPECT_EQ(call(0.5, 0.5, 0.0, 0.0, posterior), "0|0");  // hom-alt must be strictly larger
  EXPECT_EQ(call(0.2, 0.4, 0.2, 0.2, posterior), "0|1");  // het 0.4 ties hom-alt
}

TEST(GenotypePairs, OrderedAndUnorderedOrders) {
  const std::vector<AllelePair> ordered3 = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 2},
                                            {2, 0}, {1, 2}, {2, 1}, {2, 2}};
  EXPECT_EQ(ordered_genotype_pairs(3), ordered3);
  const std::vector<AllelePair> unordered3 = {{0, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}, {2, 2}};
  EXPECT_EQ(unordered_genotype_pairs(3), unordered3);
  EXPECT_EQ(ordered_genotype_pairs(1).size(), 1u);
}

TEST(GenotypeVcfMulti, SumsPhasesPicksFirstMaximumAndPhase) {
  const auto ordered = ordered_genotype_pairs(3);
  const auto unordered = unordered_genotype_pairs(3);
  double posterior = 0;
  // Sample 1 of two: 0/2 (0.2 + 0.3) beats 1/1 (0.4); 2|0 has more mass than 0|2.
  std::vector<double> probs(18, 0.0);
  probs[9 + 3] = 0.4;
  probs[9 + 4] = 0.2;
  probs[9 + 5] = 0.3;
  probs[9 + 0] = 0.1;
  int called = genotype_vcf_multi(probs, 1, 9, ordered, unordered, posterior);
  EXPECT_EQ(ordered[called], AllelePair(2, 0));
  EXPECT_DOUBLE_EQ(posterior, 0.5);
  // A phase tie goes to the pair with the larger allele first.
  std::vector<double> tie = {0, 0.5, 0.5, 0, 0, 0, 0, 0, 0};
  called = genotype_vcf_multi(tie, 0, 9, ordered, unordered, posterior);
  EXPECT_EQ(ordered[called], AllelePair(1, 0));
  // Equal unordered sums keep the first genotype.
  std::vector<double> flat = {0.5, 0, 0, 0.5, 0, 0, 0, 0, 0};
  called = genotype_vcf_multi(flat, 0, 9, ordered, unordered, posterior);
  EXPECT_EQ(ordered[called], AllelePair(0, 0));
}
