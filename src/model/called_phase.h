#pragma once

// Earlier calls (--copying-calls) made by another tool, or from another scaffold, need not
// carry the scaffold's phase: their first haplotype may be the scaffold's second, and may
// change sides between any two heterozygous sites. The calls carry the array sites too, so
// each sample's haplotypes are turned to the scaffold's there, stretch by stretch.

#include <cstdint>
#include <map>
#include <vector>

#include "io/file_formats.h"
#include "util/site_rows.h"

struct CalledPhaseReport {
  std::uint64_t compared = 0;      // sample genotypes compared at array sites
  std::uint64_t discordant = 0;    // of them, another genotype than the scaffold's
  std::uint64_t turned = 0;        // heterozygous calls whose haplotypes were swapped
  std::uint64_t unresolved = 0;    // heterozygous calls left unknown: the phase changes sides
                                   // somewhere between the array sites around them
  int samples_without_anchor = 0;  // no heterozygous array site to turn them by: kept as read
  // Samples (0-based) whose calls disagree with their scaffold genotype at more than
  // kSampleDiscordanceLimit of at least kMinSampleSites array sites: another person's calls.
  std::vector<int> discordant_samples;
  // Whether the calls of all samples together disagree at more than kCallDiscordanceLimit of
  // at least kMinComparedGenotypes: another cohort's calls, or another sample order.
  bool discordant_file() const {
    return compared >= kMinComparedGenotypes &&
           static_cast<double>(discordant) > kCallDiscordanceLimit * static_cast<double>(compared);
  }
  static constexpr double kCallDiscordanceLimit = 0.3;
  static constexpr std::uint64_t kMinComparedGenotypes = 20;
  // A caller that errs at one genotype in ten at common sites stays below the sample limit;
  // two people's genotypes at such sites differ about half the time.
  static constexpr double kSampleDiscordanceLimit = 0.4;
  static constexpr std::uint64_t kMinSampleSites = 30;
};

// Turns every sample's heterozygous calls between the array sites to the scaffold's phase:
// at each array site where both the call and the scaffold are heterozygous, the call's
// orientation is read; the calls between two array sites of one orientation take it (those
// before the first and after the last take the nearest), and those between sites of
// opposite orientations become unknown. calls holds the array sites' calls as well.
CalledPhaseReport align_calls_to_scaffold(const SiteRows& scaffold,
                                          std::map<std::uint64_t, CalledSite>& calls);
