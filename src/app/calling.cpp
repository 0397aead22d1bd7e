#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CallSNP.h"
#include "app/calling_state.h"
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
         record_positions.first_at_position(key, likelihood_alleles.keys());
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
  std::cout << "Families: transmitted haplotypes read from the scaffold in " << counts.read
            << " of " << windows << " family windows; the pedigree's order (each parent's "
            << "first haplotype passed to the child's haplotype of its column) kept in "
            << counts.ties << " where the scaffold could not tell the haplotypes apart and in "
            << counts.conflicts << " with a Mendelian conflict next to the variant" << std::endl;
  if (counts.conflicts > 0) {
    std::cerr << "Warning: " << counts.conflicts
              << " family windows have a Mendelian conflict in the scaffold next to the variant "
                 "(a child's haplotype agrees with neither haplotype of a parent); check the "
                 "pedigree and the scaffold"
              << std::endl;
  }
}

void report_warnings(const CallingCounts& counts) {
  const ModelWarnings& warnings = counts.warnings;
  if (warnings.ridge_windows > 0) {
    std::cerr << "Warning: " << warnings.ridge_windows
              << " window covariances were not positive definite and were inverted after "
                 "adding a ridge to the diagonal"
              << std::endl;
  }
  if (warnings.singular_allele_covariances > 0) {
    std::cerr << "Warning: " << warnings.singular_allele_covariances
              << " multi-allelic conditional covariances were singular and were inverted after "
                 "adding a ridge to the diagonal"
              << std::endl;
  }
  if (counts.uniform_weight_haplotypes > 0) {
    std::cerr << "Warning: " << counts.uniform_weight_haplotypes
              << " haplotypes had no usable all-haplotype weights (no shared run, or one "
                 "haplotype taking all the weight) and weighted the other sample haplotypes "
                 "equally"
              << std::endl;
  }
  if (warnings.nonpositive_variances > 0) {
    std::cerr << "Warning: " << warnings.nonpositive_variances
              << " conditional variances were not positive and were replaced by the penalty"
              << std::endl;
  }
}

// Positions in runs that share one window: each run is analysed by one worker, so the
// window and its models are built once per run whatever the thread count. Positions not
// analysed from likelihoods join the run in hand.
std::vector<std::size_t> window_runs(const CallSNP& run,
                                     const std::vector<std::uint64_t>& positions) {
  std::vector<std::size_t> starts;
  bool have_key = false;
  WindowKey last;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (starts.empty()) starts.push_back(i);
    if (!run.analysed_from_likelihoods(positions[i])) continue;
    const WindowKey key = position_window_key(run, positions[i]);
    if (have_key && key != last) starts.push_back(i);
    have_key = true;
    last = key;
  }
  return starts;
}

}  // namespace

void CallSNP::check_scaffold_size() const {
  const int f = params.numsnps;
  if (static_cast<int>(scaffold_position_list().size()) >= 2 * f) return;
  for (const std::uint64_t p : region_positions()) {
    if (!analysed_from_likelihoods(p)) continue;
    throw FatalError(
        "ERROR! The scaffold holds " + std::to_string(scaffold_position_list().size()) +
        " sites around the region, fewer than the " + std::to_string(2 * f) +
        " a window of --numsnps " + std::to_string(f) + " needs; use a smaller --numsnps");
  }
}

void CallSNP::inference_step(ResultWriter& writer) {
  std::cout << "\n\nINFORMATION\nNumber of variants to impute : " << snps_to_analyse << "\n"
            << std::endl;
  refuse_unsupported_runs();
  check_scaffold_size();

  // Numbered once here; every worker keeps its own copy of the family state.
  FamilyUnits family = number_family_units(pedigree);
  list_trio_children(pedigree, family);
  const int threads = params.threads;
  std::vector<std::unique_ptr<CallingState>> workers;
  LikelihoodSource likelihoods(*this);
  for (int w = 0; w < threads; ++w) {
    workers.push_back(std::make_unique<CallingState>(*this, family, likelihoods));
  }

  const std::vector<std::uint64_t>& positions = region_positions();
  const std::vector<std::size_t> starts = window_runs(*this, positions);
  const int unit_count = static_cast<int>(starts.size());
  const int max_ahead = 4 * threads;
  // Only the units in flight hold results: slot unit % max_ahead.
  std::vector<std::vector<PositionOutcome>> outcomes(static_cast<std::size_t>(max_ahead));
  auto slot = [&](int unit) -> std::vector<PositionOutcome>& {
    return outcomes[static_cast<std::size_t>(unit % max_ahead)];
  };
  auto work = [&](int unit, int worker) {
    const std::size_t end = unit + 1 < unit_count ? starts[unit + 1] : positions.size();
    CallingState& state = *workers[static_cast<std::size_t>(worker)];
    slot(unit) = state.call_positions(positions.data() + starts[unit], positions.data() + end);
  };
  int count_snps_to_analyse = 0;
  auto consume = [&](int unit) {
    for (const PositionOutcome& outcome : slot(unit)) {
      std::cout << outcome.messages;
      if (outcome.has_answer) {
        writer.write(outcome.position, outcome.answer,
                     outcome.pls.empty() ? nullptr : &outcome.pls);
      }
      std::cout << "\rAnalysing variant " << count_snps_to_analyse + 1 << "/" << snps_to_analyse
                << std::flush;
      ++count_snps_to_analyse;
    }
    std::vector<PositionOutcome>().swap(slot(unit));
  };
  run_in_order(unit_count, threads, max_ahead, work, consume);
  std::cout << std::endl;

  CallingCounts counts;
  for (const auto& worker : workers) counts.add(worker->totals());
  report_transmissions(counts.transmissions);
  report_warnings(counts);
}
