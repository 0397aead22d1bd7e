#pragma once

// Model settings chosen per aligned block of the chromosome by held-out prediction at the
// block's scaffold sites (chain/held_out.h). The choice depends on the scaffold, the panel
// and the pedigree alone, never on the region, the list, chunks or threads, so a chunked
// run calls every position as one run of the whole region does.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/Parameter.h"
#include "chain/held_out.h"

constexpr std::uint64_t kBlockLength = 1000000;

// Without a reference panel the window follows the haplotypes a model is fitted from: a
// T-site covariance wants several times T haplotypes, and on real cohorts of 40-150 samples
// the best half-width was about one in kHaplotypesPerFlankingSite of them.
constexpr int kHaplotypesPerFlankingSite = 8;
constexpr int kNarrowestDefaultNumsnps = 10;
// --numsnps when the command line gives none: the default width, narrowed without a panel.
int default_numsnps(int k, bool has_ref_panel);
// Scaffold sites scored per block, evenly spaced by their order in the block.
constexpr int kScoredSitesPerBlock = 16;

inline std::uint64_t block_of(std::uint64_t pos) { return pos / kBlockLength; }

struct SettingsScore {
  ModelSettings settings;
  HeldOutScore score;
};

struct BlockChoice {
  std::uint64_t block = 0;
  ModelSettings chosen;
  std::vector<SettingsScore> scores;  // every candidate scored, in the order tried
  int sites = 0;                      // scaffold sites scored
};

// The candidates: window half-widths tried at the default penalty, then penalties tried at
// the best half-width.
struct SettingsGrid {
  std::vector<int> numsnps;
  int default_numsnps = 0;  // a block without a candidate keeps the run's settings
  double default_lambda = 0.0;
  std::vector<double> lambdas;  // besides the default
};
SettingsGrid default_settings_grid(const ModelSettings& run_settings);

// The scaffold sites of the block and the block before it: every run whose region touches
// the block keeps them all, so the widths tried never depend on the region.
int scaffold_sites_around(const std::vector<std::uint64_t>& scaffold_positions,
                          std::uint64_t block);

// Indices into scaffold_positions of the block's sites to score.
std::vector<std::size_t> scored_sites(const std::vector<std::uint64_t>& scaffold_positions,
                                      std::uint64_t block);

// The block's choice: the candidate with the highest mean log probability of the held-out
// alleles (ties to the one tried first), the widths searched outwards from the middle of the
// grid. score(settings) scores the block's sites under a
// candidate; half-widths whose window needs more than scaffold_size sites are skipped.
BlockChoice choose_block_settings(std::uint64_t block, const SettingsGrid& grid, int scaffold_size,
                                  int sites,
                                  const std::function<HeldOutScore(const ModelSettings&)>& score);

// One line per block for standard output, and the VCF header line that records it.
std::string describe_choice(const BlockChoice& choice, const std::string& chromosome);
std::string choice_header_line(const BlockChoice& choice, const std::string& chromosome);
