#include "app/calling_state.h"

#include <algorithm>
#include <numeric>
#include <optional>
#include <sstream>

#include "chain/biallelic_chain.h"
#include "io/io.h"
#include "model/packed_triangle.h"
#include "util/errors.h"
#include "util/ordered_parallel.h"

namespace {

// Longest allele of the record minus one: the bases a variant covers after its position.
int allele_span(const SiteAlleles& alleles) {
  std::string alt(alleles.alt);
  std::vector<std::string> pieces;
  const int longest_alt = tokenize_semicol_max(alt, pieces);
  return std::max(static_cast<int>(alleles.ref.size()), longest_alt) - 1;
}

// One-hot class values (0|0, 1|1, 0|1, 1|0) of every sample at a scaffold site.
std::vector<double> scaffold_site(const std::vector<std::uint8_t>& site_values, int sample_count) {
  std::vector<double> probs(static_cast<std::size_t>(4) * sample_count, 0.0);
  for (int s = 0; s < sample_count; ++s) {
    const double a = site_values[2 * s];
    const double b = site_values[2 * s + 1];
    int cls = 3;
    if (a == 0 && b == 0) {
      cls = 0;
    } else if (a == 1 && b == 1) {
      cls = 1;
    } else if (a == 0 && b == 1) {
      cls = 2;
    }
    probs[4 * s + cls] = 1.0;
  }
  return probs;
}

// Appends one "Errors in probabilities" line per negative class weight since errors_before.
void note_probability_errors(std::int64_t errors_before, const ModelWarnings& warnings,
                             std::string& messages) {
  for (std::int64_t e = errors_before; e < warnings.probability_errors; ++e) {
    messages += "Errors in probabilities\n";
  }
}

// Per sample, whether its haplotypes are modelled: members a pedigree leaves unmodelled
// have no relatives row.
std::vector<char> modelled_flags(const std::vector<std::array<int, 2>>& relatives) {
  std::vector<char> modelled(relatives.size());
  for (std::size_t s = 0; s < relatives.size(); ++s) modelled[s] = relatives[s][0] >= 0;
  return modelled;
}

bool panel_used_at(const CallSNP& run, std::uint64_t p, const SiteAlleles& current_alleles) {
  // Panel haplotypes carry no allele at a multi-allelic variant for the chain to read.
  if (!run.params.has_ref_panel || current_alleles.count() != 2) return false;
  const std::optional<SiteAlleles> alleles = run.ref_panel_alleles.find(p);
  return alleles && *alleles == current_alleles;
}

// Bi-allelic chains of one window run side by side when the window's inverses outgrow the
// processor's last-level cache (taken as 16 MB: half of a common 32 MB, the rest holding the
// chains' own state). Each inverse is then read from memory once for three chains instead
// of once for each (1.3-1.5x less CPU at 500 samples); three keep the chains' added state
// below the memory that shorter runs saved. Where the inverses fit, one chain at a time
// keeps its own state in the faster caches.
constexpr std::size_t kChainsSideBySide = 3;
constexpr std::size_t kCachedInverseBytes = std::size_t{16} << 20;

}  // namespace

void CallingCounts::add(const CallingCounts& o) {
  warnings.add(o.warnings);
  uniform_weight_haplotypes += o.uniform_weight_haplotypes;
  transmissions.read += o.transmissions.read;
  transmissions.ties += o.transmissions.ties;
  transmissions.conflicts += o.transmissions.conflicts;
  biallelic_chains += o.biallelic_chains;
  sweeps += o.sweeps;
}

WindowKey position_window_key(const CallSNP& run, std::uint64_t key, int numsnps) {
  const SiteAlleles alleles = run.likelihood_alleles.at(key);
  const std::uint64_t pos = run.item_position(key);
  return window_key(run.scaffold_position_list(), pos, numsnps, allele_span(alleles),
                    panel_used_at(run, pos, alleles));
}

LikelihoodSource::LikelihoodSource(const CallSNP& run, bool every_record)
    : run_(run), settings_(run.likelihood_settings()) {
  // The run outlives this source; its lists answer which records are called.
  auto wanted = [&run, every_record](std::uint64_t key) {
    return run.has_likelihood_values(key) &&
           (every_record || !run.params.has_list || run.listed(run.item_position(key)));
  };
  if (run.likelihoods_streamed) return;
  in_ = run.open_likelihoods(settings_);
  puller_ = std::make_unique<LikelihoodPuller>(*in_, run.sample_ids, settings_, wanted);
}

std::vector<double> LikelihoodSource::take(std::uint64_t key) {
  if (run_.likelihoods_streamed) {
    const auto kept = run_.streamed_likelihoods.find(key);
    return kept != run_.streamed_likelihoods.end() ? kept->second : std::vector<double>();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<double> values = puller_->take(key);
  // Every position asks for values the first reading found: none means the file changed.
  if (values.empty()) {
    throw FatalError("ERROR! " + settings_.file_name +
                     " changed while dorsane was reading it: "
                     "the likelihoods of position " +
                     std::to_string(run_.item_position(key)) + " are gone");
  }
  return values;
}

CallingState::CallingState(const CallSNP& run, const FamilyUnits& family_units,
                           LikelihoodSource& likelihoods, const ModelSettings& settings,
                           const PassSettings& pass)
    : run(run),
      likelihoods(likelihoods),
      params(run.params),
      N(run.sample_count),
      f(settings.numsnps),
      lambda(settings.lambda),
      R(params.ref_haplotype_count),
      total_haplotypes(2 * N),
      all_haplotype_count(total_haplotypes + R),
      totalsnps(2 * f + 1),
      theta_k(shrinkage_weight(params.k)),
      M(WindowMatrix::Zero(totalsnps, all_haplotype_count)),
      models(static_cast<std::size_t>(N)),
      shuffled_rows(run.pedigree.size()),
      panel{R, &run.ref_panel_haplotypes},
      chain{params.iterations, params.burnin, !params.fixed_rare_phase, pass.settle_tolerance,
            R > 0},
      family(family_units),
      relatives(member_relatives(run.pedigree, N)),
      copying(run, relatives, pass),
      model_average(params.zflag_modelavg) {
  const std::size_t inverse_bytes = static_cast<std::size_t>(total_haplotypes) *
                                    packed_triangle_size(totalsnps - 1) *
                                    sizeof(decltype(Inverse_Matrix::packed)::value_type);
  chains_side_by_side = inverse_bytes > kCachedInverseBytes ? kChainsSideBySide : 1;
  scratch.resize(totalsnps - 1);
  if (model_average) {
    average.models.resize(static_cast<std::size_t>(N));
    average.theta_all = shrinkage_weight(total_haplotypes - 2);
  }
}

CallingCounts CallingState::totals() const {
  CallingCounts all = counts;
  all.transmissions = family.transmission_counts;
  return all;
}

std::vector<PositionOutcome> CallingState::call_positions(const std::uint64_t* first,
                                                          const std::uint64_t* last) {
  std::vector<PositionOutcome> outcomes;
  for (const std::uint64_t* p = first; p != last; ++p) {
    if (run.analysed_from_likelihoods(*p)) {
      call_from_likelihoods(*p, outcomes);
    } else {
      outcomes.push_back(pass_scaffold_site(*p));
    }
  }
  run_queued_chains(outcomes);
  return outcomes;
}

void CallingState::call_from_likelihoods(std::uint64_t record,
                                         std::vector<PositionOutcome>& outcomes) {
  std::vector<double> site_pls = likelihoods.take(record);
  const SiteAlleles current_alleles = run.likelihood_alleles.at(record);
  const int allele_count = current_alleles.count();
  // The stream follows the record's key, the window its own POS.
  auto random = std::make_unique<PositionRandom>(params.seed, record);
  const std::uint64_t p = run.item_position(record);
  const WindowKey key = position_window_key(run, record, f);
  // The queued chains read the window and models in hand.
  if (key != window_in_hand) run_queued_chains(outcomes);
  const bool rebuilt = rebuild_window(p, key, current_alleles);
  initial_alleles(record, site_pls, allele_count, *random);
  // The held-out scores of --tune-settings use the window model alone: only calling fits
  // the copying prior.
  if (rebuilt) {
    fit_models(p);
    fit_copying(p);
  }
  PositionOutcome outcome;
  outcome.position = p;
  outcome.key = record;
  outcome.from_likelihoods = true;
  outcome.has_answer = true;
  outcome.answer = Answer{std::string(current_alleles.ref),
                          std::string(current_alleles.alt),
                          {},
                          allele_count == 2 ? 4 : multi_tables.class_count()};
  if (allele_count == 2 && !model_average) {
    outcomes.push_back(std::move(outcome));
    queue_biallelic(std::move(site_pls), std::move(random), outcomes.size() - 1, p);
    if (queued.tasks.size() >= chains_side_by_side) run_queued_chains(outcomes);
    return;
  }
  const std::int64_t errors_before = counts.warnings.probability_errors;
  if (allele_count == 2) {
    call_biallelic(site_pls, *random);
  } else {
    call_multiallelic(site_pls, *random);
  }
  outcome.answer.probabilities = genotype_probs;
  outcome.pls = std::move(site_pls);
  note_probability_errors(errors_before, counts.warnings, outcome.messages);
  outcomes.push_back(std::move(outcome));
}

void CallingState::queue_biallelic(std::vector<double> site_pls,
                                   std::unique_ptr<PositionRandom> random,
                                   std::size_t outcome_index, std::uint64_t p) {
  queued.outcome_index.push_back(outcome_index);
  queued.site_pls.push_back(std::move(site_pls));
  queued.random.push_back(std::move(random));
  // Chains side by side each write their own family site weights and joint tables; one at a
  // time, the worker's serve.
  if (chains_side_by_side > 1 && has_family_units()) queued.family.push_back(family);
  ChainTask task;
  task.initial_alleles = variant_row(M);
  task.copying = copying.at_variant(M, p);
  queued.tasks.push_back(std::move(task));
}

void CallingState::run_queued_chains(std::vector<PositionOutcome>& outcomes) {
  const std::size_t count = queued.tasks.size();
  if (count == 0) return;
  if (chain_scratch.size() < count) chain_scratch.resize(count);
  for (std::size_t t = 0; t < count; ++t) {
    ChainTask& task = queued.tasks[t];
    task.site_pls = &queued.site_pls[t];
    task.random = queued.random[t].get();
    task.scratch = &chain_scratch[t];
    task.family = !queued.family.empty() ? &queued.family[t]
                  : has_family_units()   ? &family
                                         : nullptr;
  }
  if (!selection_index) {
    // The same for every position of the window: built at its first chain.
    selection_index = std::make_unique<SelectionIndex>(
        models, modelled_samples(run.pedigree, models.size(), queued.tasks[0].family),
        static_cast<int>(patterns.of_column.size()));
  }
  run_biallelic_chains(M, patterns, models, run.pedigree, chain, queued.tasks,
                       selection_index.get());
  for (std::size_t t = 0; t < count; ++t) {
    ChainTask& task = queued.tasks[t];
    PositionOutcome& outcome = outcomes[queued.outcome_index[t]];
    outcome.answer.probabilities = std::move(task.genotype_probs);
    outcome.pls = std::move(queued.site_pls[t]);
    note_probability_errors(0, task.warnings, outcome.messages);
    counts.warnings.add(task.warnings);
    ++counts.biallelic_chains;
    counts.sweeps += task.sweeps;
  }
  queued.outcome_index.clear();
  queued.site_pls.clear();
  queued.random.clear();
  queued.family.clear();
  queued.tasks.clear();
}

bool CallingState::rebuild_window(std::uint64_t p, const WindowKey& key,
                                  const SiteAlleles& current_alleles) {
  if (key == window_in_hand) {
    if (key.use_panel) {
      const std::vector<std::uint8_t>& at_variant = run.ref_panel_haplotypes.at(p);
      for (int c = 0; c < R; ++c) M(totalsnps - 1, total_haplotypes + c) = at_variant[c];
    }
    return false;
  }
  construct_window(run.scaffold_haplotypes, key.r, f, p, allele_span(current_alleles), N, panel,
                   key.use_panel, M, window_positions);
  if (params.has_ped_file) {
    // The variant sits among the kept window sites, not always in the middle (the window
    // is clamped at the ends of the scaffold).
    const int rows = static_cast<int>(window_positions.size()) - 1;
    const int split =
        static_cast<int>(std::lower_bound(window_positions.begin(), window_positions.end() - 1, p) -
                         window_positions.begin());
    decide_family_transmissions(
        run.pedigree, [this](int c) { return M.col(c).data(); }, rows, split, family);
  }
  window_in_hand = key;
  model_haplotype_count = key.use_panel ? all_haplotype_count : total_haplotypes;
  return true;
}

void CallingState::initial_alleles(std::uint64_t record, const std::vector<double>& site_pls,
                                   int allele_count, RandomSource& random) {
  if (allele_count == 2) {
    allele_frequencies.assign(2, 0.5);
    initial_genotypes_biallelic(site_pls, N, random, allele_frequencies, initial_haplotypes);
    for (int c = 0; c < total_haplotypes; ++c) M(totalsnps - 1, c) = initial_haplotypes[c];
    return;
  }
  if (multi_tables.allele_count != allele_count) {
    multi_tables = multi_allele_tables(allele_count);
  }
  // The file's line at a position belongs to the first record there.
  const bool from_file_possible = params.has_initial && run.first_at_its_position(record);
  const auto from_file = from_file_possible ? run.initial_genotypes.find(run.item_position(record))
                                            : run.initial_genotypes.end();
  const bool file_calls_all = from_file != run.initial_genotypes.end() &&
                              std::none_of(from_file->second.begin(), from_file->second.end(),
                                           [](int allele) { return allele == kMissingAllele; });
  if (file_calls_all) {
    initial_genotypes_from_file(from_file->second, N, multi_tables, haplotype_alleles);
  } else {
    // Samples the file leaves uncalled start from their likelihoods, like a position the
    // file does not have.
    allele_frequencies.assign(static_cast<std::size_t>(allele_count), 1.0 / allele_count);
    initial_genotypes_multiallelic(site_pls, N, multi_tables, random, allele_frequencies,
                                   haplotype_alleles);
    if (from_file != run.initial_genotypes.end()) {
      initial_genotypes_from_file(from_file->second, N, multi_tables, haplotype_alleles);
    }
  }
}

void CallingState::fit_models(std::uint64_t p) {
  selection_index.reset();  // of the models about to be replaced
  // The chains' cached R x vectors serve the window's variants; freed before the fit, they
  // do not add to the fit's own peak.
  std::vector<double>().swap(scratch.pattern_pool);
  for (SamplerScratch& chain : chain_scratch) std::vector<double>().swap(chain.pattern_pool);
  shared_runs.build(M, total_haplotypes, model_haplotype_count);
  patterns.build(M, model_haplotype_count);
  // Every model selects all columns but its own two: their sums come from the run-weighted
  // moments of the whole window, computed once.
  use_run_moments = params.k == model_haplotype_count - 2 &&
                    RunWeightedMoments::supports(model_haplotype_count, totalsnps - 1);
  if (use_run_moments) {
    // Trio children lend no model their haplotypes: the sums leave them out once, instead of
    // every model taking them out again.
    std::vector<int> left_out;
    if (params.has_ped_file) {
      for (const int u : family.trio_children)
        left_out.insert(left_out.end(), {2 * u - 2, 2 * u - 1});
    }
    run_moments.build(M, patterns, model_haplotype_count, left_out);
  }
  // Without a whole row to keep, a small k is found from the sorted sides of the window.
  if (!use_run_moments && !model_average && LongestRuns::pays(params.k, model_haplotype_count)) {
    longest_runs.build(M, total_haplotypes, model_haplotype_count);
  } else {
    longest_runs.clear();
  }
  fit_workers.resize(static_cast<std::size_t>(std::max(1, fit_threads)));
  parallel_for(N, fit_threads, [&](int s, int thread) {
    if (relatives[static_cast<std::size_t>(s)][0] < 0) return;
    fit_sample(p, s, fit_workers[static_cast<std::size_t>(thread)]);
  });
  for (FitWorker& worker : fit_workers) {
    counts.warnings.add(worker.warnings);
    counts.uniform_weight_haplotypes += worker.uniform_weight_haplotypes;
    worker.warnings = ModelWarnings{};
    worker.uniform_weight_haplotypes = 0;
  }
  if (use_run_moments) run_moments.release();
}

void CallingState::fit_copying(std::uint64_t p) {
  copying.fit({M, window_positions, shared_runs, total_haplotypes,
               model_haplotype_count != total_haplotypes},
              p);
}

void CallingState::fit_sample(std::uint64_t p, int s, FitWorker& worker) {
  std::vector<int>& excluded = worker.excluded;
  std::vector<int>& run_row = worker.run_row;
  ModelWarnings& warnings = worker.warnings;
  const std::array<int, 2>& pair = relatives[static_cast<std::size_t>(s)];
  // Relatives and trio children would lend the model the very genotypes it is
  // meant to predict for the family.
  excluded.clear();
  if (params.has_ped_file) {
    for (const int u : {pair[0], pair[1]}) {
      if (u > 0) excluded.insert(excluded.end(), {2 * u - 2, 2 * u - 1});
    }
    for (const int u : family.trio_children) {
      excluded.insert(excluded.end(), {2 * u - 2, 2 * u - 1});
    }
  }
  SampleModel& model = models[static_cast<std::size_t>(s)];
  for (int h = 0; h < 2; ++h) {
    HaplotypeModel& haplotype = h == 0 ? model.first : model.second;
    bool usable;
    if (longest_runs.ready()) {
      usable = longest_runs.select(2 * s + h, excluded, params.k, haplotype,
                                   worker.longest_runs_scratch);
    } else {
      shared_runs.row(2 * s + h, run_row);
      usable = select_haplotypes(run_row, excluded, params.k, haplotype);
    }
    if (!usable) {
      throw FatalError("ERROR! Sample " + run.sample_ids[s] + " at position " + std::to_string(p) +
                       " has no usable set of reference haplotypes (their shared runs "
                       "sum to 0 or one haplotype takes all the weight)");
    }
    haplotype.lambda = lambda;
    haplotype.rare_band = params.rare_band;
    const std::int64_t ridges_before = warnings.ridge_windows;
    if (!use_run_moments ||
        !fit_haplotype_model_from_runs(M, patterns, run_moments, 2 * s + h, run_row, theta_k,
                                       haplotype, warnings, worker.scratch)) {
      fit_haplotype_model(M, patterns, 2 * s + h, theta_k, haplotype, warnings, worker.scratch);
    }
    if (model_average) {
      AllSampleModel& all = average.models[static_cast<std::size_t>(s)];
      AllHaplotypeModel& all_haplotype = h == 0 ? all.first : all.second;
      bool weights_as_k_model =
          params.k == total_haplotypes - 2 && model_haplotype_count == total_haplotypes;
      if (!all_haplotype_weights(run_row, excluded, total_haplotypes, s, all_haplotype)) {
        ++worker.uniform_weight_haplotypes;
        weights_as_k_model = false;
      }
      all_haplotype.lambda = lambda;
      all_haplotype.rare_band = params.rare_band;
      if (weights_as_k_model) {
        // Every other sample haplotype at its run length: the k-model's fit is this one's.
        reuse_k_model_fit(M, 2 * s + h, average.theta_all, haplotype, all_haplotype);
        warnings.ridge_windows += warnings.ridge_windows - ridges_before;
      } else {
        fit_all_haplotype_model(M, patterns, 2 * s + h, average.theta_all, theta_k, all_haplotype,
                                warnings, worker.scratch);
      }
    }
  }
}

void CallingState::call_biallelic(const std::vector<double>& site_pls, RandomSource& random) {
  if (model_average) {
    // The all-model chain starts from the same initial alleles; its variant statistics
    // follow them whether or not the window was rebuilt.
    average.alleles.assign(initial_haplotypes.begin(),
                           initial_haplotypes.begin() + total_haplotypes);
    for (AllSampleModel& all : average.models) {
      if (!all.fitted()) continue;
      all_model_variant_statistics(M, patterns, average.alleles, all.first,
                                   average.pattern_scratch);
      all_model_variant_statistics(M, patterns, average.alleles, all.second,
                                   average.pattern_scratch);
    }
  }
  ++counts.biallelic_chains;
  counts.sweeps += run_biallelic_chain(M, patterns, models, run.pedigree, site_pls, chain, random,
                                       scratch, counts.warnings, genotype_probs, &family,
                                       model_average ? &average : nullptr);
}

void CallingState::call_multiallelic(const std::vector<double>& site_pls, RandomSource& random) {
  // Every position's shuffles start from the pedigree's row order.
  std::iota(shuffled_rows.begin(), shuffled_rows.end(), 0);
  run_multiallelic_chain(patterns, models, run.pedigree, site_pls, multi_tables, theta_k, chain,
                         random, shuffled_rows, haplotype_alleles, multi_scratch, counts.warnings,
                         genotype_probs, model_average);
}

HeldOutScore CallingState::score_scaffold_site(std::size_t site) {
  const std::uint64_t p = run.scaffold_position_list()[site];
  const std::optional<SiteAlleles> alleles = run.scaffold_alleles.find(p);
  const bool use_panel = alleles && panel_used_at(run, p, *alleles);
  // A span of 0 drops exactly the site itself from its window.
  const WindowKey key = window_key(run.scaffold_position_list(), p, f, 0, use_panel);
  construct_window(run.scaffold_haplotypes, key.r, f, p, 0, N, panel, use_panel, M,
                   window_positions);
  window_in_hand = WindowKey{};
  model_haplotype_count = use_panel ? all_haplotype_count : total_haplotypes;
  for (int c = 0; c < total_haplotypes; ++c) {
    M(totalsnps - 1, c) = run.scaffold_haplotypes.allele(site, static_cast<std::size_t>(c));
  }
  // The fits' warnings are about calling: scoring leaves the counts as they were.
  const CallingCounts before = counts;
  fit_models(p);
  const std::vector<char> modelled = modelled_flags(relatives);
  HeldOutScore score;
  score_held_out_alleles(M, patterns, models, modelled, scratch, counts.warnings, score);
  counts = before;
  return score;
}

PositionOutcome CallingState::pass_scaffold_site(std::uint64_t item) {
  PositionOutcome outcome;
  const std::uint64_t p = run.item_position(item);
  outcome.position = p;
  const bool record = run.is_record(item);
  // A likelihood record at the site lends its PL when its alleles are the site's.
  std::vector<double> record_pls;
  if (run.has_likelihood_values(item)) record_pls = likelihoods.take(item);
  const std::size_t scaffold = run.scaffold_haplotypes.index_of(p);
  // Later records at the site's POS are not the site: the site is written once.
  const bool site_record = record ? run.first_at_its_position(item) : !params.var_multi;
  if (scaffold != SiteRows::npos && site_record) {
    const SiteAlleles current_alleles = run.site_alleles(item);
    outcome.has_answer = true;
    outcome.answer = Answer{std::string(current_alleles.ref), std::string(current_alleles.alt),
                            scaffold_site(run.scaffold_haplotypes.row(scaffold), N), 4, true};
    const std::optional<SiteAlleles> record_alleles =
        record ? run.likelihood_alleles.find(item) : std::nullopt;
    // The writer checks the value count against the record's genotypes.
    if (record_alleles && *record_alleles == current_alleles) {
      outcome.pls = std::move(record_pls);
    }
  }
  return outcome;
}
