#pragma once

// One worker's state for calling positions: the window in hand and the models fitted on
// it, the chains' scratch, and the counts to report at the end. Positions are handed to it
// in runs that share a window; nothing but that window and its models passes from one
// position to the next, so a position's calls do not depend on which worker had it.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/CallSNP.h"
#include "app/copying_state.h"
#include "chain/biallelic_chain.h"
#include "chain/family.h"
#include "chain/held_out.h"
#include "chain/model_average.h"
#include "chain/run_chain.h"
#include "io/file_formats.h"
#include "model/longest_runs.h"
#include "model/model.h"
#include "model/model_window.h"
#include "model/run_moments.h"
#include "util/random_source.h"

// What the end of the run reports, summed over the workers.
struct CallingCounts {
  ModelWarnings warnings;
  std::int64_t uniform_weight_haplotypes = 0;
  TransmissionCounts transmissions;
  std::int64_t biallelic_chains = 0;  // and the sweeps they ran
  std::int64_t sweeps = 0;

  void add(const CallingCounts& o);
};

// One position's outcome: its record (when it has one), the PL values it is written with
// (empty: none), and its lines for standard output.
struct PositionOutcome {
  std::uint64_t position = 0;
  std::uint64_t key = 0;
  bool from_likelihoods = false;  // analysed from its likelihoods, not passed through
  bool has_answer = false;
  Answer answer;
  std::vector<double> pls;
  std::string messages;
};

// The likelihood values of the run's positions, read a second time in file order as the
// workers ask for them (or, from a stream, kept from the first reading); any thread may
// call take. every_record: all the records read, not only the --list positions'.
class LikelihoodSource {
 public:
  explicit LikelihoodSource(const CallSNP& run, bool every_record = false);
  // The values of a record the first reading found; each is handed out once.
  std::vector<double> take(std::uint64_t key);

 private:
  std::mutex mutex_;
  const CallSNP& run_;
  LikelihoodSettings settings_;
  std::unique_ptr<std::istream> in_;
  std::unique_ptr<LikelihoodPuller> puller_;
};

// The window a record needs (see WindowKey), from the run's inputs alone: it lies at the
// record's own POS.
WindowKey position_window_key(const CallSNP& run, std::uint64_t key, int numsnps);

class CallingState {
 public:
  // family: the run's numbered units with the trio children listed.
  CallingState(const CallSNP& run, const FamilyUnits& family, LikelihoodSource& likelihoods,
               const ModelSettings& settings, const PassSettings& pass);

  // The outcomes of a run of positions, in order: each analysed from its likelihoods
  // (window, initial alleles, models, chain) or, a scaffold site outside them, passed
  // through as called. The chains of bi-allelic positions that share a window run side by
  // side, a few at a time.
  std::vector<PositionOutcome> call_positions(const std::uint64_t* first,
                                              const std::uint64_t* last);

  // The counts of every position this worker analysed.
  CallingCounts totals() const;

  // Fits a window's models on this many threads (1: on the calling one). The models do not
  // depend on it.
  void fit_side_by_side(int threads) { fit_threads = threads; }

  // Held-out prediction at a scaffold site (chain/held_out.h): its window without it, the
  // models fitted with every haplotype's true allele there in the variant row. The window in
  // hand is given up.
  HeldOutScore score_scaffold_site(std::size_t site);

 private:
  CallingCounts counts;
  // Builds the window unless the one in hand has the same key; returns whether it did.
  bool rebuild_window(std::uint64_t p, const WindowKey& key, const SiteAlleles& current_alleles);
  void initial_alleles(std::uint64_t record, const std::vector<double>& site_pls, int allele_count,
                       RandomSource& random);
  // Every modelled sample's k-haplotype models (and all-haplotype models with --model-avg).
  void fit_models(std::uint64_t p);
  // What one fitting thread works with, and the counts it adds up.
  struct FitWorker {
    FitScratch scratch;
    std::vector<int> run_row;   // the shared-run lengths of the haplotype being fitted
    std::vector<int> excluded;  // columns the sample's models must not lend from
    LongestRunsScratch longest_runs_scratch;
    ModelWarnings warnings;
    std::int64_t uniform_weight_haplotypes = 0;
  };
  void fit_sample(std::uint64_t p, int s, FitWorker& worker);
  // Analyses the record under this key, or queues its chain to run with the next ones on
  // the same window.
  void call_from_likelihoods(std::uint64_t record, std::vector<PositionOutcome>& outcomes);
  PositionOutcome pass_scaffold_site(std::uint64_t item);
  void queue_biallelic(std::vector<double> site_pls, std::unique_ptr<PositionRandom> random,
                       std::size_t outcome_index, std::uint64_t p);
  bool has_family_units() const {
    return !family.duo_posteriors.empty() || !family.trio_posteriors.empty();
  }
  // Runs the queued chains and completes their outcomes.
  void run_queued_chains(std::vector<PositionOutcome>& outcomes);
  void call_biallelic(const std::vector<double>& site_pls, RandomSource& random);
  void call_multiallelic(const std::vector<double>& site_pls, RandomSource& random);

  const CallSNP& run;
  LikelihoodSource& likelihoods;
  const Parameter& params;
  const int N;
  const int f;
  const double lambda;
  const int R;
  const int total_haplotypes;
  const int all_haplotype_count;
  const int totalsnps;
  const double theta_k;

  WindowMatrix M;
  WindowKey window_in_hand;  // r = -1: none yet
  std::vector<std::uint64_t> window_positions;
  SharedRuns shared_runs;  // of the window in hand
  // The window's sides in sorted order, when the models need their k longest runs only.
  LongestRuns longest_runs;
  std::vector<SampleModel> models;
  std::vector<double> allele_frequencies;
  std::vector<int> initial_haplotypes;
  // Multi-allelic variants: chain state (allele index per sample haplotype), the order in
  // which pedigree rows are visited (from the row order at every position) and the tables.
  std::vector<int> haplotype_alleles;
  std::vector<int> shuffled_rows;
  MultiAlleleTables multi_tables;
  MultiScratch multi_scratch;
  std::vector<double> genotype_probs;
  // The panel-copying prior of the window in hand.
  void fit_copying(std::uint64_t p);
  WindowPatterns patterns;
  std::vector<FitWorker> fit_workers;
  int fit_threads = 1;
  RunWeightedMoments run_moments;
  bool use_run_moments = false;
  SamplerScratch scratch;
  // Bi-allelic positions of the window in hand whose chains wait to run side by side: their
  // outcomes' places, likelihoods, streams and tasks; a scratch per chain.
  struct QueuedChains {
    std::vector<std::size_t> outcome_index;
    std::vector<std::vector<double>> site_pls;
    std::vector<std::unique_ptr<PositionRandom>> random;
    std::vector<FamilyUnits> family;  // each position's own, with duos or trios
    std::vector<ChainTask> tasks;
  } queued;
  std::vector<SamplerScratch> chain_scratch;
  std::size_t chains_side_by_side = 1;              // chains queued before they run
  std::unique_ptr<SelectionIndex> selection_index;  // of the models in hand, once needed
  const PanelView panel;
  const ChainSettings chain;

  int model_haplotype_count = 0;  // haplotype columns the models of the current window use
  FamilyUnits family;
  const std::vector<std::array<int, 2>> relatives;
  CopyingState copying;
  // The all-haplotype chain of --model-avg; k >= 2 makes 2N - 2 >= 2 reference haplotypes.
  const bool model_average;
  ModelAverage average;
};
