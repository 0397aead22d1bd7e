#include <algorithm>
#include <array>
#include <iostream>
#include <numeric>
#include <string>

#include "app/CallSNP.h"
#include "chain/family.h"
#include "chain/model_average.h"
#include "chain/run_chain.h"
#include "io/file_formats.h"
#include "io/io.h"
#include "model/model.h"
#include "model/model_window.h"
#include "model/run_moments.h"
#include "util/errors.h"

namespace {

// Longest allele of the record minus one: the bases a variant covers after its position.
int allele_span(const std::vector<std::string>& alleles) {
  std::string alt = alleles[1];
  std::vector<std::string> pieces;
  const int longest_alt = tokenize_semicol_max(alt, pieces);
  return std::max(static_cast<int>(alleles[0].size()), longest_alt) - 1;
}

// One-hot class values (0|0, 1|1, 0|1, 1|0) of every sample at a scaffold site.
std::vector<double> scaffold_site(const std::vector<double>& site_values, int sample_count) {
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

}  // namespace

bool CallSNP::analysed_from_likelihoods(std::uint64_t p) const {
  const auto it = site_likelihoods.find(p);
  if (it == site_likelihoods.end() || it->second.empty()) return false;
  return params.var_multi || scaffold_haplotypes.count(p) == 0;
}

void CallSNP::refuse_unsupported_runs() const {
  for (const std::uint64_t p : region_positions) {
    if (!analysed_from_likelihoods(p)) continue;
    const int a = site_allele_counts.at(p);
    if (a < 2) {
      // The likelihood reader skips records without an ALT allele; nothing to call here.
      throw FatalError("ERROR! Position " + std::to_string(p) + " of " + params.glf_file +
                       " has a single allele; there is no genotype to call");
    }
  }
}

namespace {

// The working state of one calling run, kept from variant to variant: the window and its
// bracket, each sample's models, the chains' scratch, the fallbacks to report at the end.
struct CallingState {
  explicit CallingState(CallSNP& run);

  // One position analysed from its likelihoods: window, initial alleles, models, chain.
  void call_from_likelihoods(std::uint64_t p);
  // One scaffold site outside the likelihoods, passed through as called.
  void pass_scaffold_site(std::uint64_t p);
  void report_transmissions() const;
  void report_warnings() const;

  // Rebuilds the window when the bracket or the panel's use changed (returns whether it
  // did); otherwise only the panel's alleles at the variant are written in.
  bool rebuild_window(std::uint64_t p, bool multi_allelic,
                      const std::vector<std::string>& current_alleles);
  void initial_alleles(std::uint64_t p, const std::vector<double>& site_pls, int allele_count);
  // Every modelled sample's k-haplotype models (and all-haplotype models with --model-avg).
  void fit_models(std::uint64_t p);
  void fit_sample(std::uint64_t p, int s);
  void call_biallelic(std::uint64_t p, const std::vector<double>& site_pls,
                      const std::vector<std::string>& current_alleles);
  void call_multiallelic(std::uint64_t p, const std::vector<double>& site_pls,
                         const std::vector<std::string>& current_alleles);
  void print_probability_errors(std::int64_t errors_before) const;

  CallSNP& run;
  const Parameter& params;
  const int N;
  const int f;
  const int R;
  const int total_haplotypes;
  const int all_haplotype_count;
  const int totalsnps;
  const double theta_k;
  std::vector<std::uint64_t> scaffold_positions;

  WindowMatrix M;
  std::vector<std::uint64_t> window_positions;
  std::vector<std::vector<int>> haplotype_distances;
  std::vector<SampleModel> models;
  std::vector<double> allele_frequencies;
  std::vector<int> initial_haplotypes;
  // Multi-allelic variants: chain state (allele index per sample haplotype), the order in
  // which pedigree rows are visited (kept from variant to variant) and the allele tables.
  std::vector<int> haplotype_alleles;
  std::vector<int> shuffled_rows;
  MultiAlleleTables multi_tables;
  MultiScratch multi_scratch;
  std::vector<double> genotype_probs;
  WindowPatterns patterns;
  FitScratch fit_scratch;
  RunWeightedMoments run_moments;
  bool use_run_moments = false;
  SamplerScratch scratch;
  ModelWarnings warnings;
  CLibraryRandom random;
  const PanelView panel;
  const ChainSettings chain;

  BracketState bracket;
  int analysed = 0;
  bool panel_at_rebuild = false;
  int model_haplotype_count = 0;  // haplotype columns the models of the current window use
  FamilyUnits family;
  const std::vector<std::array<int, 2>> relatives;
  std::vector<int> excluded;
  // The all-haplotype chain of --model-avg; k >= 2 makes 2N - 2 >= 2 reference haplotypes.
  const bool model_average;
  ModelAverage average;
  std::int64_t uniform_weight_haplotypes = 0;
};

CallingState::CallingState(CallSNP& run)
    : run(run),
      params(run.params),
      N(run.sample_count),
      f(params.numsnps),
      R(params.ref_haplotype_count),
      total_haplotypes(2 * N),
      all_haplotype_count(total_haplotypes + R),
      totalsnps(2 * f + 1),
      theta_k(shrinkage_weight(params.k)),
      M(WindowMatrix::Zero(totalsnps, all_haplotype_count)),
      models(static_cast<std::size_t>(N)),
      shuffled_rows(run.pedigree.size()),
      panel{R, &run.ref_panel_haplotypes},
      chain{params.iterations, params.burnin},
      family(number_family_units(run.pedigree)),
      relatives(member_relatives(run.pedigree, N)),
      model_average(params.zflag_modelavg) {
  scaffold_positions.reserve(run.scaffold_haplotypes.size());
  for (const auto& entry : run.scaffold_haplotypes) scaffold_positions.push_back(entry.first);
  std::iota(shuffled_rows.begin(), shuffled_rows.end(), 0);
  scratch.resize(totalsnps - 1);
  if (model_average) {
    average.models.resize(static_cast<std::size_t>(N));
    average.theta_all = shrinkage_weight(total_haplotypes - 2);
  }
}

void CallingState::call_from_likelihoods(std::uint64_t p) {
  const std::vector<double>& site_pls = run.site_likelihoods.at(p);
  const std::vector<std::string>& current_alleles = run.likelihood_alleles.at(p);
  const int allele_count = run.site_allele_counts.at(p);
  const bool multi_allelic = allele_count != 2;
  ++analysed;
  if (static_cast<int>(scaffold_positions.size()) < 2 * f) {
    throw FatalError("ERROR! The scaffold holds " + std::to_string(scaffold_positions.size()) +
                     " sites around the region, fewer than the " + std::to_string(2 * f) +
                     " a window of --numsnps " + std::to_string(f) +
                     " needs; use a smaller --numsnps");
  }
  const bool rebuilt = rebuild_window(p, multi_allelic, current_alleles);
  initial_alleles(p, site_pls, allele_count);
  if (rebuilt) fit_models(p);
  if (!multi_allelic) {
    call_biallelic(p, site_pls, current_alleles);
  } else {
    call_multiallelic(p, site_pls, current_alleles);
  }
}

bool CallingState::rebuild_window(std::uint64_t p, bool multi_allelic,
                                  const std::vector<std::string>& current_alleles) {
  find_bracket(scaffold_positions, p, bracket);
  bool use_panel = false;
  // Panel haplotypes carry no allele at a multi-allelic variant for the chain to read.
  if (params.has_ref_panel && !multi_allelic) {
    const auto alleles = run.ref_panel_alleles.find(p);
    use_panel = alleles != run.ref_panel_alleles.end() && alleles->second == current_alleles;
  }
  const int haplotype_count = use_panel ? all_haplotype_count : total_haplotypes;
  const bool rebuild =
      bracket.r != bracket.previous_r || analysed == 1 || use_panel != panel_at_rebuild;
  if (rebuild) {
    construct_window(scaffold_positions, run.scaffold_haplotypes, bracket.r, f, p,
                     allele_span(current_alleles), N, panel, use_panel, M, window_positions);
    if (params.has_ped_file) {
      // The variant sits among the kept window sites, not always in the middle (the
      // window is clamped at the ends of the scaffold).
      const int rows = static_cast<int>(window_positions.size()) - 1;
      const int split = static_cast<int>(
          std::lower_bound(window_positions.begin(), window_positions.end() - 1, p) -
          window_positions.begin());
      decide_family_transmissions(
          run.pedigree, [this](int c) { return M.col(c).data(); }, rows, split, family);
    }
    panel_at_rebuild = use_panel;
    model_haplotype_count = haplotype_count;
  } else if (use_panel) {
    const std::vector<double>& at_variant = run.ref_panel_haplotypes.at(p);
    for (int c = 0; c < R; ++c) M(totalsnps - 1, total_haplotypes + c) = at_variant[c];
  }
  return rebuild;
}

void CallingState::initial_alleles(std::uint64_t p, const std::vector<double>& site_pls,
                                   int allele_count) {
  if (allele_count == 2) {
    allele_frequencies.assign(2, 0.5);
    initial_genotypes_biallelic(site_pls, N, random, allele_frequencies, initial_haplotypes);
    for (int c = 0; c < total_haplotypes; ++c) M(totalsnps - 1, c) = initial_haplotypes[c];
    return;
  }
  if (multi_tables.allele_count != allele_count) {
    multi_tables = multi_allele_tables(allele_count);
  }
  const auto from_file =
      params.has_initial ? run.initial_genotypes.find(p) : run.initial_genotypes.end();
  if (from_file != run.initial_genotypes.end()) {
    initial_genotypes_from_file(from_file->second, N, multi_tables, haplotype_alleles);
  } else {
    allele_frequencies.assign(static_cast<std::size_t>(allele_count), 1.0 / allele_count);
    initial_genotypes_multiallelic(site_pls, N, multi_tables, random, allele_frequencies,
                                   haplotype_alleles);
  }
}

void CallingState::fit_models(std::uint64_t p) {
  distance_matrix(M, total_haplotypes, model_haplotype_count, haplotype_distances);
  patterns.build(M, model_haplotype_count);
  // Every model selects all columns but its own two: their sums come from the run-weighted
  // moments of the whole window, computed once.
  use_run_moments = params.k == model_haplotype_count - 2 &&
                    RunWeightedMoments::supports(model_haplotype_count, totalsnps - 1);
  if (use_run_moments) run_moments.build(M, patterns, model_haplotype_count);
  for (int s = 0; s < N; ++s) {
    if (relatives[static_cast<std::size_t>(s)][0] < 0) continue;
    fit_sample(p, s);
  }
  if (use_run_moments) run_moments.release();
}

void CallingState::fit_sample(std::uint64_t p, int s) {
  const std::array<int, 2>& pair = relatives[static_cast<std::size_t>(s)];
  // Relatives and trio children would lend the model the very genotypes it is
  // meant to predict for the family. trio_children fills at the first variant's
  // chain, after this first fit.
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
    if (!select_haplotypes(haplotype_distances[2 * s + h], excluded, params.k, haplotype)) {
      throw FatalError("ERROR! Sample " + run.sample_ids[s] + " at position " +
                       std::to_string(p) +
                       " has no usable set of reference haplotypes (their shared runs "
                       "sum to 0 or one haplotype takes all the weight)");
    }
    haplotype.lambda = params.lambda;
    const std::int64_t ridges_before = warnings.ridge_windows;
    if (!use_run_moments ||
        !fit_haplotype_model_from_runs(M, patterns, run_moments, 2 * s + h,
                                       haplotype_distances[2 * s + h], theta_k, haplotype,
                                       warnings, fit_scratch)) {
      fit_haplotype_model(M, patterns, 2 * s + h, theta_k, haplotype, warnings, fit_scratch);
    }
    if (model_average) {
      AllSampleModel& all = average.models[static_cast<std::size_t>(s)];
      AllHaplotypeModel& all_haplotype = h == 0 ? all.first : all.second;
      bool weights_as_k_model = params.k == total_haplotypes - 2 &&
                                model_haplotype_count == total_haplotypes;
      if (!all_haplotype_weights(haplotype_distances[2 * s + h], excluded, total_haplotypes, s,
                                 all_haplotype)) {
        ++uniform_weight_haplotypes;
        weights_as_k_model = false;
      }
      all_haplotype.lambda = params.lambda;
      if (weights_as_k_model) {
        // Every other sample haplotype at its run length: the k-model's fit is this one's.
        reuse_k_model_fit(M, 2 * s + h, average.theta_all, haplotype, all_haplotype);
        warnings.ridge_windows += warnings.ridge_windows - ridges_before;
      } else {
        fit_all_haplotype_model(M, patterns, 2 * s + h, average.theta_all, theta_k, all_haplotype,
                                warnings, fit_scratch);
      }
    }
  }
}

void CallingState::call_biallelic(std::uint64_t p, const std::vector<double>& site_pls,
                                  const std::vector<std::string>& current_alleles) {
  const std::int64_t errors_before = warnings.probability_errors;
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
  run_biallelic_chain(M, patterns, models, run.pedigree, site_pls, chain, random, scratch,
                      warnings, genotype_probs, &family, model_average ? &average : nullptr);
  print_probability_errors(errors_before);
  run.results.emplace(p, Answer{current_alleles[0], current_alleles[1], genotype_probs, 4});
}

void CallingState::call_multiallelic(std::uint64_t p, const std::vector<double>& site_pls,
                                     const std::vector<std::string>& current_alleles) {
  // Trio children leave the reference sets from the first analysed variant on,
  // whatever its allele count.
  if (family.trio_children.empty()) list_trio_children(run.pedigree, family);
  const std::int64_t errors_before = warnings.probability_errors;
  run_multiallelic_chain(patterns, models, run.pedigree, site_pls, multi_tables, theta_k, chain,
                         random, shuffled_rows, haplotype_alleles, multi_scratch, warnings,
                         genotype_probs, model_average);
  print_probability_errors(errors_before);
  run.results.emplace(p, Answer{current_alleles[0], current_alleles[1], genotype_probs,
                                multi_tables.class_count()});
}

void CallingState::print_probability_errors(std::int64_t errors_before) const {
  for (std::int64_t e = errors_before; e < warnings.probability_errors; ++e) {
    std::cout << "Errors in probabilities" << std::endl;
  }
}

void CallingState::pass_scaffold_site(std::uint64_t p) {
  const auto scaffold = run.scaffold_haplotypes.find(p);
  if (scaffold != run.scaffold_haplotypes.end() &&
      (!params.var_multi || run.site_likelihoods.count(p) != 0)) {
    const std::vector<std::string>& current_alleles = run.site_alleles.at(p);
    std::cout << current_alleles[0] << '\n';
    run.results.emplace(p, Answer{current_alleles[0], current_alleles[1],
                                  scaffold_site(scaffold->second, N), 4});
  }
}

void CallingState::report_transmissions() const {
  const TransmissionCounts& counts = family.transmission_counts;
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

void CallingState::report_warnings() const {
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
  if (uniform_weight_haplotypes > 0) {
    std::cerr << "Warning: " << uniform_weight_haplotypes
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

}  // namespace

void CallSNP::inference_step() {
  std::cout << "\n\nINFORMATION\nNumber of variants to impute : " << snps_to_analyse << "\n"
            << std::endl;
  refuse_unsupported_runs();

  CallingState state(*this);
  int count_snps_to_analyse = 0;
  for (const std::uint64_t p : region_positions) {
    if (analysed_from_likelihoods(p)) {
      state.call_from_likelihoods(p);
    } else {
      state.pass_scaffold_site(p);
    }
    std::cout << "\rAnalysing variant " << count_snps_to_analyse + 1 << "/" << snps_to_analyse
              << std::flush;
    ++count_snps_to_analyse;
  }
  std::cout << std::endl;
  state.report_transmissions();
  state.report_warnings();
}
