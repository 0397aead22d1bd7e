#pragma once

// The copying prior of the window in hand (model/copying_prior.h): which sources each
// modelled haplotype copies, along which sites, and its posterior over them at the window's
// variants. Fitted once per window; asked for the prior at each variant of it.
//
// The sources are the panel's haplotypes; in a second pass without a panel, the cohort's
// own first-pass haplotypes (never the target's sample's, nor its relatives'). The sites
// are the window's array rows; in a second pass also every first-pass site of the
// window's span, where the target is what its sample's reads say (weighed by the first
// pass), the variant's own gap read per variant; with --copying-calls, the file's calls.

#include <array>
#include <cstdint>
#include <vector>

#include "app/CallSNP.h"
#include "chain/probs.h"
#include "model/anchored_copying.h"
#include "model/copying_prior.h"
#include "model/model.h"
#include "model/model_window.h"

// What the copying chain reads of the window in hand.
struct CopyingWindow {
  const WindowMatrix& M;
  const std::vector<std::uint64_t>& positions;  // the rows' positions, then the variant's
  const SharedRuns& shared_runs;
  int sample_haplotypes = 0;
  bool panel_in_window = false;  // whether M's columns past the samples' are the panel's
};

// What sets one pass apart: its copying prior's weight, in a second pass what the first one
// left, and when its sweeps stop (--settle).
struct PassSettings {
  double weight = 0.0;
  const FirstPassSites* along = nullptr;
  double settle_tolerance = 0.0;
  // Whether windows share their chain's sides (model/anchored_copying.h): the first of two
  // passes, which only feeds the second.
  bool shared_sides = false;
  // The pass's windows at most this many array sites either side (-1: the run's width).
  int numsnps_cap = -1;
};

class CopyingState {
 public:
  // relatives: per sample, the two relatives whose haplotypes its models may not use
  // (member_relatives); a sample with none modelled gets no prior.
  CopyingState(const CallSNP& run, std::vector<std::array<int, 2>> relatives,
               const PassSettings& pass);

  // The posteriors of every modelled haplotype at the variant p of the window.
  void fit(const CopyingWindow& window, std::uint64_t p);
  // The prior at the variant v in hand (its panel alleles in M's last row); empty when none.
  CopyingPrior at_variant(const WindowMatrix& M, std::uint64_t v);

 private:
  // Into sources: the sources' alleles at the copying chain's sites, the window's rows with
  // the called sites of its span merged in, but for the variant's gap; returns the sites
  // left of the variant.
  int gather_sites(const CopyingWindow& window, int rows, int split);
  // Into called_positions: the sites between the window's ends that it copies along besides
  // its rows, from --copying-calls or the first pass.
  void list_called(const std::vector<std::uint64_t>& positions, int rows);
  // target and target_miss of haplotype h at the sites of a window with calls.
  void targets_with_calls(const WindowMatrix& M, int h);
  // The same with the first pass's emissions.
  void targets_along(const WindowMatrix& M, int h);
  // Into gap_positions: with the first pass, its sites in the variant's gap.
  void list_gap(const std::vector<std::uint64_t>& positions, int rows, int split);
  // Into gap_sources: the sources' alleles at the gap's sites, of those haplotype h copies
  // (any h when it copies every source).
  void gap_rows(int h);
  // The cohort's first-pass alleles at a first-pass site, into row: width of them, those of
  // the haplotypes listed in from (all when null).
  void cohort_alleles(std::size_t along, const int* from, int width, std::uint8_t* row) const;
  // The sources haplotype h copies, ascending, or null when it copies every source.
  const int* chosen_of(int h) const;
  // Into own: the columns of haplotype h's own sample and its relatives among the sources.
  void list_own_columns(int h);
  // P(allele 1) of haplotype h at v from its posterior over the cohort's sources.
  double cohort_prior(const float* posterior, int h, std::uint64_t v) const;
  // The prior at v from the two sides kept at the gap, carried over the gap's sites.
  CopyingPrior prior_along(const WindowMatrix& M, std::uint64_t v);
  // An empty prior of the pass's weight, with the panel's alleles at the variant read.
  CopyingPrior start_prior(const WindowMatrix& M);
  // P(allele 1) of haplotype h from its posterior over the panel (or its chosen part).
  double panel_prior(const float* posterior, int h);
  // gap_target and gap_miss: what haplotype h's reads say at the gap's sites.
  void gap_targets(int h);
  // Whether the window's rows are consecutive array sites, as shared sides need.
  bool consecutive_rows(const std::vector<std::uint64_t>& positions, int rows) const;
  // The posteriors from the sides that the windows share.
  void fit_shared(const CopyingWindow& window, int rows, int split);
  // Into chosen's slot of haplotype h: the count panel haplotypes with the longest shared
  // runs with it (ties to the lower column), in column order.
  void choose_sources(const CopyingWindow& window, int h);

  const CallSNP& run;
  const std::vector<std::array<int, 2>> relatives;
  bool modelled(int h) const { return relatives[static_cast<std::size_t>(h / 2)][0] >= 0; }
  const PassSettings pass;
  const int R;
  const bool cohort;  // the cohort's first-pass haplotypes copied too
  int own[6] = {};
  int own_count = 0;
  int total_haplotypes = 0;
  // The window's panel alleles site by site, and each modelled haplotype's posterior over
  // the sources at the window's variants (2N x count, empty when the window leaves the panel
  // out or the prior is off).
  CopyingSources sources;
  // Per modelled haplotype, the panel haplotypes it copies from in column order (count
  // each), when the panel holds more than it may copy from; else empty.
  std::vector<int> chosen;
  int count = 0;
  CopyingSources chosen_sources;
  std::vector<int> run_row;
  std::vector<int> order;
  std::vector<std::uint8_t> chosen_alleles;  // the chosen sources' alleles at the variant
  std::vector<float> posteriors;
  std::vector<float> backward;
  std::vector<std::uint8_t> target;
  std::vector<float> target_miss;
  std::vector<std::uint8_t> panel_variant_alleles;
  std::vector<CopyingSite> sites;
  std::vector<std::uint64_t> called_positions;
  std::vector<const CalledSite*> called;
  std::vector<std::size_t> along_sites;  // the first pass's sites of called_positions
  CopyingSettings settings;              // the chain's, for the window in hand
  std::vector<float> backward_sides;     // with the first pass: 2N x count
  std::vector<float> forward_totals;     // the kept forward sides' sums
  std::vector<std::uint64_t> gap_positions;
  std::vector<std::size_t> gap_along;
  int forward_through = 0;      // the gap's sites the kept forward sides have taken
  bool gap_rows_ready = false;  // gap_sources hold the window's gap rows for every haplotype
  CopyingSources gap_sources;
  std::vector<std::uint8_t> gap_target;
  std::vector<float> gap_miss;
  std::vector<float> side_forward;
  std::vector<float> side_backward;
  std::vector<float> variant_posterior;
  AnchoredCopying anchored;
  std::vector<std::uint8_t> window_targets;  // haplotypes x rows
  std::vector<bool> wanted;
};
