#pragma once

// The chain of one bi-allelic variant: the alleles of every haplotype column at the variant
// (from M's last row at the start, then its own) and, per model, its carrier sums, its
// whitened covariance R cov (Q = R'R) and allele probabilities. The models and the window
// are only read, so the chains of several variants sharing a window can run side by side. An allele
// change is queued on every model that selected the haplotype; a model's next evaluation moves R
// cov along R x - R mean for each queued change (x the changed window, R x - R mean cached per
// model and pattern), so a sweep costs O(T) per change and model instead of a T x T product per
// evaluation; where that would cost more, the model is whitened anew.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "chain/family.h"
#include "chain/haplotype_moments.h"
#include "chain/probs.h"
#include "model/model.h"
#include "util/random_source.h"

// Samples whose models a chain reads: everyone in a unit but a trio's child. Checks the
// rows on the way.
std::vector<char> modelled_samples(const std::vector<std::vector<int>>& pedigree,
                                   std::size_t sample_count, const FamilyUnits* family);

// Per haplotype column, the models (2 * sample + haplotype) that selected it and its run
// length there (its weight in a model made without lengths):
// model_of[start[c] .. start[c + 1]). The same for every variant of a window.
struct SelectionIndex {
  SelectionIndex(const std::vector<SampleModel>& models, const std::vector<char>& modelled,
                 int columns);
  std::vector<int> start;
  std::vector<int> model_of;
  std::vector<double> length;

  std::size_t held_bytes() const {
    return start.capacity() * sizeof(int) + model_of.capacity() * sizeof(int) +
           length.capacity() * sizeof(double);
  }
};

class BiallelicChain {
 public:
  // Window patterns whose R x a model keeps: the haplotypes that flip in a chain are few.
  static constexpr int kCachedPatterns = 16;

  // Computes every modelled sample's carrier sums from the initial alleles (one per
  // haplotype column of M). index: the window's SelectionIndex, shared by chains that run
  // side by side; null, the chain builds its own.
  BiallelicChain(const WindowMatrix& M, const WindowPatterns& patterns,
                 const std::vector<SampleModel>& models,
                 const std::vector<std::vector<int>>& pedigree, const std::vector<double>& site_pls,
                 std::vector<double> initial_alleles, FamilyUnits* family, SamplerScratch& scratch,
                 ModelWarnings& warnings, const SelectionIndex* index = nullptr);

  // From now on, phases an unrelated sample's heterozygote with its haplotypes' own penalty
  // (ChainSettings::phase_with_penalty).
  void phase_with_penalty();

  // From now on, mixes the copying prior into every model's allele probabilities; prior
  // outlives the chain.
  void use_copying_prior(const CopyingPrior* prior);

  // From now on, an unrelated sample whose most likely class reached `threshold` in
  // `updates` updates in a row keeps that class and its last class probabilities: it is
  // neither evaluated nor drawn again.
  void settle_confident(double threshold, int updates);

  // One unrelated sample (0-based): class probabilities, one draw, alleles written.
  std::array<double, 4> update_single(int sample, RandomSource& random);
  // A duo or trio row, drawn jointly; record (4 per sample) receives the marginals.
  void update_duo(const std::vector<int>& unit, RandomSource& random, double* record);
  void update_trio(const std::vector<int>& unit, RandomSource& random, double* record);

  // Sets a haplotype column's allele at the variant and brings the sums of every model
  // that selected it up to date.
  void set_allele(int column, int allele);
  // Allele probabilities of a family member (1-based) under its models.
  MemberPriors member_priors(int sample);
  // The current allele of every haplotype column (M's columns) at the variant.
  const std::vector<double>& alleles() const { return alleles_; }
  // Whether the chain models this 0-based sample (everyone in a unit but a trio's child).
  bool modelled(int sample) const { return modelled_[static_cast<std::size_t>(sample)] != 0; }

 private:
  const std::array<double, 2>& haplotype_probs(int model_index);
  // Brings a member's (1-based) two models up to date; returns its evaluations_ count.
  std::uint32_t member_evaluations(int sample);
  // Allele probabilities of a member whose models are up to date.
  MemberPriors evaluated_priors(int sample) const;
  // R cov of the model with every queued change applied.
  const double* current_whitened(int model_index);
  // R x - R mean for a window pattern x, from the model's cache (filled on first use) or,
  // when the cache is full, computed into a spare vector. Valid until the next call.
  const double* whitened_step(int model_index, int pattern);
  bool cached(int model_index, int pattern) const;
  void queue_change(int model_index, int pattern, double amount);
  void apply_to_carrier_sum(int model_index, int pattern, double amount);
  double* carrier_sum(int model_index);
  std::int32_t* whole_carrier_sum(int model_index);
  // R cov of the model from its carrier sums, into z.
  void whiten_from_sums(int model_index, double* z);
  // Whether every model's carrier sums are whole run lengths of 0/1 windows, counted in
  // 32-bit whole numbers (scratch_.whole_carrier_sums) instead of doubles.
  bool counts_whole_sums() const;
  const HaplotypeModel& model(int model_index) const;

  const WindowPatterns& patterns_;
  const std::vector<SampleModel>& models_;
  const std::vector<double>& site_pls_;
  FamilyUnits* family_;
  SamplerScratch& scratch_;
  ModelWarnings& warnings_;
  int window_rows_;
  bool whole_sums_ = false;
  std::vector<double> alleles_;  // per haplotype column: its allele at the variant
  std::vector<char> modelled_;
  // Per model, in the units of carrier_unit_total: the weight carrying allele 1 at the
  // variant, and the variant mean it gave at the model's last evaluation. The carrier sums
  // (T per model) live in scratch_.carrier_sums or scratch_.whole_carrier_sums.
  std::vector<double> variant_sums_;
  std::vector<double> variant_means_;
  const SelectionIndex* index_;
  std::unique_ptr<SelectionIndex> own_index_;
  // Per model, its allele probabilities and whether an allele change made them stale.
  std::vector<std::array<double, 2>> probs_;
  // The same with the penalty in place of a fixed variance; empty unless phase_with_penalty.
  std::vector<std::array<double, 2>> phase_probs_;
  std::vector<char> stale_;
  const CopyingPrior* copying_ = nullptr;
  std::vector<char> replaced_variance_;  // its variance was replaced by the penalty
  // Per sample, how often either of its models was evaluated anew; what was computed from
  // its models is kept with the count it was made at, and stays valid while that holds.
  std::vector<std::uint32_t> evaluations_;
  std::vector<std::array<double, 4>> class_probs_;  // at its last single update
  std::vector<std::array<double, 3>> likelihoods_;  // genotype_likelihoods at the variant
  std::vector<std::uint32_t> class_made_at_;
  // settle_confident: per sample, its updates in a row at the threshold (-1: settled).
  double settle_threshold_ = 2.0;
  int settle_updates_ = 0;
  std::vector<int> confident_run_;
  // Per duo and trio (slot 4 of its row), its members' marginals at its last update.
  template <std::size_t Members>
  struct CachedMarginals {
    UnitMarginals<Members> marginals{};
    std::array<std::uint32_t, 2> made_at{};  // of the two members whose models count
  };
  std::vector<CachedMarginals<3>> trio_marginals_;
  std::vector<CachedMarginals<2>> duo_marginals_;
  // A duo's or trio's marginals, from the cache while the models of first and second (the
  // members whose models count, 1-based) were not evaluated anew.
  template <std::size_t Members, typename Unit, std::size_t Configurations>
  const UnitMarginals<Members>& unit_marginals(CachedMarginals<Members>& cached, const Unit& unit,
                                               int first, int second,
                                               std::array<double, Configurations>& joint);
  AlleleWriter write_allele_;
  std::vector<long> whitening_cost_;  // per window pattern
  // Per model, the window patterns whose R x it keeps and where: R x of pattern
  // cached_pattern_[m * kCachedPatterns + i] at scratch_.pattern_pool[cached_slot_[...] * T]. The
  // pool belongs to this variant's chain and grows with the patterns that flip; its last
  // vector serves a model whose cache is full.
  std::vector<int> cached_pattern_;
  std::vector<int> cached_slot_;
  std::vector<unsigned char> cached_count_;
};
