#include "model/called_phase.h"

#include <gtest/gtest.h>

// One sample: its calls face the scaffold the other way up to the array site at 300, then its
// way; the heterozygous call between 300 and 500 cannot be placed.
TEST(CalledPhase, CallsTurnedStretchByStretchAndUnknownWhereThePhaseChangesSides) {
  SiteRows scaffold(2);
  for (const auto& [pos, row] : std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>{
           {100, {0, 1}}, {300, {1, 0}}, {500, {0, 1}}, {700, {0, 0}}}) {
    scaffold.append(pos, row);
  }
  std::map<std::uint64_t, CalledSite> calls;
  const std::pair<std::uint64_t, std::vector<std::uint8_t>> read[] = {
      {100, {1, 0}}, {200, {0, 1}}, {250, {1, 1}}, {300, {0, 1}},
      {400, {1, 0}}, {500, {0, 1}}, {600, {1, 0}}, {700, {1, 1}}};
  for (const auto& [pos, alleles] : read) calls[pos].alleles = alleles;
  const CalledPhaseReport report = align_calls_to_scaffold(scaffold, calls);
  const std::uint8_t u = kUnknownCalledAllele;
  EXPECT_EQ(calls.at(200).alleles, (std::vector<std::uint8_t>{1, 0}));
  EXPECT_EQ(calls.at(250).alleles, (std::vector<std::uint8_t>{1, 1}));
  EXPECT_EQ(calls.at(400).alleles, (std::vector<std::uint8_t>{u, u}));
  EXPECT_EQ(calls.at(600).alleles, (std::vector<std::uint8_t>{1, 0}));
  EXPECT_EQ(report.turned, 1u);
  EXPECT_EQ(report.unresolved, 1u);
  EXPECT_EQ(report.compared, 4u);
  EXPECT_EQ(report.discordant, 1u);  // 1|1 called where the array says 0|0
}
