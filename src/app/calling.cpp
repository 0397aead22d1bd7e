#include <algorithm>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CallSNP.h"
#include "app/calling_state.h"
#include "app/passes.h"
#include "app/run_log.h"
#include "model/packed_triangle.h"
#include "util/errors.h"
#include "util/ordered_parallel.h"

namespace {

// REF and at most 100 ALT alleles, the capacity the multi-allelic model was sized for.
constexpr int kMaxCalledAlleles = 101;

}  // namespace

bool CallSNP::analysed_from_likelihoods(std::uint64_t item) const {
  if (!has_likelihood_values(item)) return false;
  return params.var_multi || !scaffold_record(item);
}

bool CallSNP::has_likelihood_values(std::uint64_t key) const {
  return likelihood_alleles.contains(key) &&
         !std::binary_search(keys_without_likelihoods.begin(), keys_without_likelihoods.end(), key);
}

bool CallSNP::scaffold_record(std::uint64_t key) const {
  return scaffold_haplotypes.contains(record_positions.position_of(key)) &&
         first_at_its_position(key);
}

SiteAlleles CallSNP::site_alleles(std::uint64_t item) const {
  const std::optional<SiteAlleles> scaffold = scaffold_alleles.find(item_position(item));
  return scaffold ? *scaffold : likelihood_alleles.at(item);
}

void CallSNP::refuse_unsupported_runs() const {
  for (const std::uint64_t p : region_positions()) {
    if (!analysed_from_likelihoods(p)) continue;
    const int a = likelihood_alleles.at(p).count();
    const std::string position = std::to_string(item_position(p));
    if (a > kMaxCalledAlleles) {
      // Each sample carries a^2 phased classes and the tables grow faster still, while the
      // samples cannot inform that many alleles.
      throw FatalError("ERROR! Position " + position + " of " + params.glf_file + " has " +
                       std::to_string(a) + " alleles; dorsane calls records of at most " +
                       std::to_string(kMaxCalledAlleles) +
                       " (split it first, e.g. with bcftools norm -m-any)");
    }
    if (a < 2) {
      // The likelihood reader skips records without an ALT allele; nothing to call here.
      throw FatalError("ERROR! Position " + position + " of " + params.glf_file +
                       " has a single allele; there is no genotype to call");
    }
  }
}

namespace {

void report_transmissions(const TransmissionCounts& counts) {
  const std::int64_t windows = counts.read + counts.ties + counts.conflicts;
  if (windows == 0) return;
  info() << "Families: transmitted haplotypes read from the scaffold in " << counts.read << " of "
         << windows << " family windows; the pedigree's order (each parent's "
         << "first haplotype passed to the child's haplotype of its column) kept in " << counts.ties
         << " where the scaffold could not tell the haplotypes apart and in " << counts.conflicts
         << " with a Mendelian conflict next to the variant" << std::endl;
  if (counts.conflicts > 0) {
    std::cerr << "WARNING! " << counts.conflicts
              << " family windows have a Mendelian conflict in the scaffold next to the variant "
                 "(a child's haplotype agrees with neither haplotype of a parent); check the "
                 "pedigree and the scaffold"
              << std::endl;
  }
}

void report_sweeps(const CallingCounts& counts) {
  if (counts.biallelic_chains == 0) return;
  info() << "Sweeps per bi-allelic variant: " << std::fixed << std::setprecision(1)
         << static_cast<double>(counts.sweeps) / static_cast<double>(counts.biallelic_chains)
         << std::defaultfloat << " on average" << std::endl;
}

void report_warnings(const CallingCounts& counts) {
  const ModelWarnings& warnings = counts.warnings;
  if (warnings.ridge_windows > 0) {
    std::cerr << "WARNING! " << warnings.ridge_windows
              << " window covariances were not positive definite and were inverted after "
                 "adding a ridge to the diagonal"
              << std::endl;
  }
  if (warnings.singular_allele_covariances > 0) {
    std::cerr << "WARNING! " << warnings.singular_allele_covariances
              << " multi-allelic conditional covariances were singular and were inverted after "
                 "adding a ridge to the diagonal"
              << std::endl;
  }
  if (counts.uniform_weight_haplotypes > 0) {
    std::cerr << "WARNING! " << counts.uniform_weight_haplotypes
              << " haplotypes had no usable all-haplotype weights (no shared run, or one "
                 "haplotype taking all the weight) and weighted the other sample haplotypes "
                 "equally"
              << std::endl;
  }
  if (warnings.nonpositive_variances > 0) {
    std::cerr << "WARNING! " << warnings.nonpositive_variances
              << " conditional variances were not positive and were replaced by the penalty"
              << std::endl;
  }
}

// The settings of the window at pos in this pass: the run's, narrowed where the pass says so.
ModelSettings pass_settings_at(const CallSNP& run, const PassSettings& pass, std::uint64_t pos) {
  ModelSettings settings = run.settings_at(pos);
  if (pass.numsnps_cap >= 0) settings.numsnps = std::min(settings.numsnps, pass.numsnps_cap);
  return settings;
}

// Positions in runs that share one window: each run is analysed by one worker, so the
// window and its models are built once per run whatever the thread count. Positions not
// analysed from likelihoods join the run in hand.

std::vector<std::size_t> window_runs(const CallSNP& run, const PassSettings& pass,
                                     const std::vector<std::uint64_t>& positions) {
  std::vector<std::size_t> starts;
  bool have_key = false;
  WindowKey last;
  ModelSettings last_settings;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (starts.empty()) starts.push_back(i);
    if (!run.analysed_from_likelihoods(positions[i])) continue;
    const ModelSettings settings = pass_settings_at(run, pass, run.item_position(positions[i]));
    const WindowKey key = position_window_key(run, positions[i], settings.numsnps);
    if (have_key && (key != last || settings != last_settings)) starts.push_back(i);
    have_key = true;
    last = key;
    last_settings = settings;
  }
  return starts;
}

// The bytes of one window's models: per model haplotype its inverse (single precision, as the
// default penalty keeps it), means and whitened vectors, and its selection, held once more in
// the chains' index.
std::size_t window_model_bytes(int sample_count, int k, int numsnps) {
  const std::size_t rows = 2 * static_cast<std::size_t>(numsnps);
  const std::size_t per_model =
      packed_triangle_size(static_cast<int>(rows)) * sizeof(float) +
      3 * (rows + 1) * sizeof(double) +
      static_cast<std::size_t>(k) * (3 * sizeof(int) + 2 * sizeof(double));
  return 2 * static_cast<std::size_t>(sample_count) * per_model;
}

// A worker's calling state for the settings of the run of positions in hand: made anew
// when the settings change (at a block's edge), its counts kept.
struct Worker {
  std::unique_ptr<CallingState> state;
  ModelSettings settings;
  CallingCounts done;
  int fit_threads = 1;

  CallingState& for_settings(const CallSNP& run, const FamilyUnits& family,
                             LikelihoodSource& likelihoods, const ModelSettings& wanted,
                             const PassSettings& pass) {
    if (!state || settings != wanted) {
      if (state) done.add(state->totals());
      state.reset();  // before the next one, so two never hold memory at once
      state = std::make_unique<CallingState>(run, family, likelihoods, wanted, pass);
      state->fit_side_by_side(fit_threads);
      settings = wanted;
    }
    return *state;
  }
  CallingCounts totals() const {
    CallingCounts all = done;
    if (state) all.add(state->totals());
    return all;
  }
};

}  // namespace

FamilyUnits CallSNP::family_units() {
  FamilyUnits family = number_family_units(pedigree);
  list_trio_children(pedigree, family);
  return family;
}

ModelSettings CallSNP::settings_at(std::uint64_t pos) const {
  const ModelSettings fixed{params.numsnps, params.lambda};
  if (!params.tune_settings) return fixed;
  const std::uint64_t block = block_of(pos);
  const auto found =
      std::lower_bound(block_choices.begin(), block_choices.end(), block,
                       [](const BlockChoice& choice, std::uint64_t b) { return choice.block < b; });
  return found != block_choices.end() && found->block == block ? found->chosen : fixed;
}

void CallSNP::choose_settings() {
  if (!params.tune_settings) return;
  std::vector<std::uint64_t> blocks;
  for (const std::uint64_t p : region_positions()) {
    if (!analysed_from_likelihoods(p)) continue;
    const std::uint64_t block = block_of(item_position(p));
    if (blocks.empty() || blocks.back() != block) blocks.push_back(block);
  }
  FamilyUnits family = family_units();
  LikelihoodSource likelihoods(*this);
  const SettingsGrid grid = default_settings_grid({params.numsnps, params.lambda});
  block_choices.assign(blocks.size(), BlockChoice{});
  auto work = [&](int unit, int) {
    const std::uint64_t block = blocks[static_cast<std::size_t>(unit)];
    const std::vector<std::size_t> sites = scored_sites(scaffold_position_list(), block);
    const int scaffold_size = scaffold_sites_around(scaffold_position_list(), block);
    auto score = [&](const ModelSettings& settings) {
      CallingState state(*this, family, likelihoods, settings, PassSettings{});
      HeldOutScore total;
      for (const std::size_t site : sites) total.add(state.score_scaffold_site(site));
      return total;
    };
    block_choices[static_cast<std::size_t>(unit)] =
        choose_block_settings(block, grid, scaffold_size, static_cast<int>(sites.size()), score);
  };
  const std::string& chrom = chromosome_name.empty() ? params.chromosome_name : chromosome_name;
  auto consume = [&](int unit) {
    info() << describe_choice(block_choices[static_cast<std::size_t>(unit)], chrom) << std::endl;
  };
  run_in_order(static_cast<int>(blocks.size()), params.threads, params.threads, work, consume);
}

void CallSNP::check_scaffold_size() const {
  const int sites = static_cast<int>(scaffold_position_list().size());
  for (const std::uint64_t p : region_positions()) {
    if (!analysed_from_likelihoods(p)) continue;
    const int f = settings_at(item_position(p)).numsnps;
    if (sites >= 2 * f) continue;
    throw FatalError("ERROR! The scaffold holds " + std::to_string(sites) +
                     " sites around the region, fewer than the " + std::to_string(2 * f) +
                     " a window of --numsnps " + std::to_string(f) +
                     " needs; use a smaller --numsnps");
  }
}

int windows_side_by_side(const CallSNP& run) {
  const Parameter& params = run.params;
  const std::size_t model_bytes = window_model_bytes(run.sample_count, params.k, params.numsnps);
  // The models of every worker's window stay within --model-memory; past it, fewer windows
  // are in hand at once and each is fitted on the threads left over.
  const std::size_t budget = static_cast<std::size_t>(params.model_memory_mb) << 20;
  return static_cast<int>(std::clamp<std::size_t>(budget / std::max<std::size_t>(model_bytes, 1), 1,
                                                  static_cast<std::size_t>(params.threads)));
}

CallingCounts call_in_order(const CallSNP& run, const FamilyUnits& family,
                            const std::vector<std::uint64_t>& positions, const PassSettings& pass,
                            bool every_record,
                            const std::function<void(PositionOutcome&)>& consume) {
  const Parameter& params = run.params;
  const int threads = windows_side_by_side(run);
  std::vector<Worker> workers(static_cast<std::size_t>(threads));
  for (Worker& worker : workers) worker.fit_threads = params.threads / threads;
  LikelihoodSource likelihoods(run, every_record);

  const std::vector<std::size_t> starts = window_runs(run, pass, positions);
  const int unit_count = static_cast<int>(starts.size());
  const int max_ahead = 4 * threads;
  // Only the units in flight hold results: slot unit % max_ahead.
  std::vector<std::vector<PositionOutcome>> outcomes(static_cast<std::size_t>(max_ahead));
  auto slot = [&](int unit) -> std::vector<PositionOutcome>& {
    return outcomes[static_cast<std::size_t>(unit % max_ahead)];
  };
  auto work = [&](int unit, int worker) {
    const std::size_t end = unit + 1 < unit_count ? starts[unit + 1] : positions.size();
    const std::uint64_t* first = positions.data() + starts[unit];
    const std::uint64_t* last = positions.data() + end;
    const std::uint64_t* analysed = std::find_if(
        first, last, [&run](std::uint64_t p) { return run.analysed_from_likelihoods(p); });
    const ModelSettings settings =
        pass_settings_at(run, pass, analysed != last ? run.item_position(*analysed) : 0);
    CallingState& state = workers[static_cast<std::size_t>(worker)].for_settings(
        run, family, likelihoods, settings, pass);
    slot(unit) = state.call_positions(first, last);
  };
  auto consume_unit = [&](int unit) {
    for (PositionOutcome& outcome : slot(unit)) consume(outcome);
    std::vector<PositionOutcome>().swap(slot(unit));
  };
  run_in_order(unit_count, threads, max_ahead, work, consume_unit);
  CallingCounts counts;
  for (const Worker& worker : workers) counts.add(worker.totals());
  return counts;
}

void report_calling_counts(const CallingCounts& counts) {
  report_transmissions(counts.transmissions);
  report_sweeps(counts);
  report_warnings(counts);
}
