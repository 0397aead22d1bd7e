#include "app/block_settings.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

// Window half-widths and penalties to try: the fixed default among them, narrower windows
// for cohorts without a panel, wider for dense scaffolds.
constexpr int kNumsnpsGrid[] = {15, 25, 35, 50, 75};
constexpr double kLambdaFactors[] = {0.5, 2.0};

std::string format_settings(const ModelSettings& s) {
  char text[64];
  std::snprintf(text, sizeof text, "--numsnps %d --lambda %g", s.numsnps, s.lambda);
  return text;
}

std::string block_range(std::uint64_t block, const std::string& chromosome) {
  return chromosome + ":" + std::to_string(block * kBlockLength) + "-" +
         std::to_string((block + 1) * kBlockLength - 1);
}

}  // namespace

int default_numsnps(int k, bool has_ref_panel) {
  if (has_ref_panel) return Parameter::kDefaultNumsnps;
  const int follows_k = (k + kHaplotypesPerFlankingSite / 2) / kHaplotypesPerFlankingSite;
  return std::clamp(follows_k, kNarrowestDefaultNumsnps, Parameter::kDefaultNumsnps);
}

SettingsGrid default_settings_grid(const ModelSettings& run_settings) {
  SettingsGrid grid;
  grid.numsnps.assign(std::begin(kNumsnpsGrid), std::end(kNumsnpsGrid));
  grid.default_numsnps = run_settings.numsnps;
  grid.default_lambda = run_settings.lambda;
  for (const double factor : kLambdaFactors) grid.lambdas.push_back(run_settings.lambda * factor);
  return grid;
}

int scaffold_sites_around(const std::vector<std::uint64_t>& scaffold_positions,
                          std::uint64_t block) {
  const std::uint64_t begin = block > 0 ? (block - 1) * kBlockLength : 0;
  const auto first = std::lower_bound(scaffold_positions.begin(), scaffold_positions.end(), begin);
  const auto last = std::lower_bound(first, scaffold_positions.end(), (block + 1) * kBlockLength);
  return static_cast<int>(last - first);
}

std::vector<std::size_t> scored_sites(const std::vector<std::uint64_t>& scaffold_positions,
                                      std::uint64_t block) {
  const auto first =
      std::lower_bound(scaffold_positions.begin(), scaffold_positions.end(), block * kBlockLength);
  const auto last = std::lower_bound(first, scaffold_positions.end(), (block + 1) * kBlockLength);
  const std::size_t begin = static_cast<std::size_t>(first - scaffold_positions.begin());
  const std::size_t count = static_cast<std::size_t>(last - first);
  std::vector<std::size_t> sites;
  const std::size_t wanted = std::min<std::size_t>(count, kScoredSitesPerBlock);
  // The middle of each of `wanted` equal parts of the block's sites.
  for (std::size_t i = 0; i < wanted; ++i)
    sites.push_back(begin + (2 * i + 1) * count / (2 * wanted));
  return sites;
}

BlockChoice choose_block_settings(std::uint64_t block, const SettingsGrid& grid, int scaffold_size,
                                  int sites,
                                  const std::function<HeldOutScore(const ModelSettings&)>& score) {
  BlockChoice choice;
  choice.block = block;
  choice.sites = sites;
  choice.chosen = {grid.default_numsnps, grid.default_lambda};
  const SettingsScore* best = nullptr;
  auto consider = [&](const ModelSettings& settings) {
    choice.scores.push_back({settings, score(settings)});
  };
  auto pick_best = [&]() {
    best = nullptr;
    for (const SettingsScore& s : choice.scores) {
      if (best == nullptr || s.score.mean_log_prob() > best->score.mean_log_prob()) best = &s;
    }
  };
  std::vector<int> widths;
  for (const int numsnps : grid.numsnps) {
    if (2 * numsnps <= scaffold_size) widths.push_back(numsnps);
  }
  // Without a site to score there is nothing to choose by: the block keeps the run's settings.
  if (widths.empty() || sites == 0) return choice;
  // The middle width and its neighbours first, then outwards while the best lies at an end:
  // the widest windows, the dearest fits, are scored only where they may win.
  const int n = static_cast<int>(widths.size());
  int lo = std::max(0, n / 2 - 1);
  int hi = std::min(n - 1, n / 2 + 1);
  for (int i = lo; i <= hi; ++i) consider({widths[i], grid.default_lambda});
  for (;;) {
    pick_best();
    if (best->settings.numsnps == widths[lo] && lo > 0) {
      consider({widths[--lo], grid.default_lambda});
    } else if (best->settings.numsnps == widths[hi] && hi < n - 1) {
      consider({widths[++hi], grid.default_lambda});
    } else {
      break;
    }
  }
  const int numsnps = best->settings.numsnps;
  for (const double lambda : grid.lambdas) consider({numsnps, lambda});
  pick_best();
  choice.chosen = best->settings;
  return choice;
}

std::string describe_choice(const BlockChoice& choice, const std::string& chromosome) {
  std::ostringstream out;
  out << "Settings for " << block_range(choice.block, chromosome) << ": "
      << format_settings(choice.chosen) << " (held-out prediction at " << choice.sites
      << " scaffold sites; candidates:";
  for (const SettingsScore& s : choice.scores) {
    char text[96];
    std::snprintf(text, sizeof text, " [%s: log p %.4f, error %.2f %%]",
                  format_settings(s.settings).c_str(), s.score.mean_log_prob(),
                  100.0 * s.score.error_rate());
    out << text;
  }
  out << ")";
  return out.str();
}

std::string choice_header_line(const BlockChoice& choice, const std::string& chromosome) {
  std::ostringstream out;
  out << "##dorsaneSettings=<Block=" << block_range(choice.block, chromosome)
      << ",numsnps=" << choice.chosen.numsnps << ",lambda=" << choice.chosen.lambda
      << ",scored_sites=" << choice.sites << ",scores=\"";
  for (std::size_t i = 0; i < choice.scores.size(); ++i) {
    const SettingsScore& s = choice.scores[i];
    char text[96];
    std::snprintf(text, sizeof text, "%s%d/%g:%.5f/%.5f", i == 0 ? "" : " ", s.settings.numsnps,
                  s.settings.lambda, s.score.mean_log_prob(), s.score.error_rate());
    out << text;
  }
  out << "\">";
  return out.str();
}
