#include "chain/biallelic_chain.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "model/packed_triangle.h"

namespace {

// Queued changes a model follows one by one before it is whitened anew: each costs two
// T-vector updates against T * T / 2 for a whitening.
constexpr int kMaxQueued = 16;

}  // namespace

std::vector<char> modelled_samples(const std::vector<std::vector<int>>& pedigree,
                                   std::size_t sample_count, const FamilyUnits* family) {
  std::vector<char> modelled(sample_count, 0);
  auto member = [&](int sample) {
    if (sample < 1 || static_cast<std::size_t>(sample) > sample_count) {
      throw std::logic_error("BiallelicChain: unit names sample " + std::to_string(sample));
    }
    modelled[static_cast<std::size_t>(sample) - 1] = 1;
  };
  for (const std::vector<int>& unit : pedigree) {
    const int members = unit.empty() ? 0 : unit[0];
    if (members < 1 || members > 3 || unit.size() < (members == 1 ? 2u : 5u)) {
      throw std::logic_error("BiallelicChain: malformed unit");
    }
    if (members == 1) {
      member(unit[1]);
      continue;
    }
    if (family == nullptr)
      throw std::logic_error("BiallelicChain: duo or trio without family tables");
    const std::size_t holders =
        members == 2 ? family->duo_posteriors.size() : family->trio_posteriors.size();
    if (unit[4] < 0 || static_cast<std::size_t>(unit[4]) >= holders) {
      throw std::logic_error("BiallelicChain: family index out of range");
    }
    if (members == 2) {
      member(unit[1]);
      member(unit[2] >= 1 ? unit[2] : unit[3]);
    } else {
      if (unit[1] < 1 || static_cast<std::size_t>(unit[1]) > sample_count) member(unit[1]);
      member(unit[2]);
      member(unit[3]);
    }
  }
  return modelled;
}

SelectionIndex::SelectionIndex(const std::vector<SampleModel>& models,
                               const std::vector<char>& modelled, int columns) {
  const int model_count = 2 * static_cast<int>(models.size());
  auto model = [&models](int m) -> const HaplotypeModel& {
    const SampleModel& sample = models[static_cast<std::size_t>(m / 2)];
    return m % 2 == 0 ? sample.first : sample.second;
  };
  start.assign(static_cast<std::size_t>(columns) + 1, 0);
  std::size_t references = 0;
  for (int m = 0; m < model_count; ++m) {
    if (!modelled[static_cast<std::size_t>(m / 2)]) continue;
    for (const int column : model(m).selected) ++start[column + 1];
    references += model(m).selected.size();
  }
  for (int c = 0; c < columns; ++c) start[c + 1] += start[c];
  model_of.resize(references);
  length.resize(references);
  std::vector<int> fill(start.begin(), start.end() - 1);
  for (int m = 0; m < model_count; ++m) {
    if (!modelled[static_cast<std::size_t>(m / 2)]) continue;
    const HaplotypeModel& haplotype = model(m);
    const bool has_lengths = haplotype.lengths.size() == haplotype.selected.size();
    for (std::size_t j = 0; j < haplotype.selected.size(); ++j) {
      const int slot = fill[haplotype.selected[j]]++;
      model_of[slot] = m;
      length[slot] = has_lengths ? haplotype.lengths[j] : haplotype.weights[j];
    }
  }
}

BiallelicChain::BiallelicChain(const WindowMatrix& M, const WindowPatterns& patterns,
                               const std::vector<SampleModel>& models,
                               const std::vector<std::vector<int>>& pedigree,
                               const std::vector<double>& site_pls,
                               std::vector<double> initial_alleles, FamilyUnits* family,
                               SamplerScratch& scratch, ModelWarnings& warnings,
                               const SelectionIndex* index)
    : patterns_(patterns),
      models_(models),
      site_pls_(site_pls),
      family_(family),
      scratch_(scratch),
      warnings_(warnings),
      window_rows_(static_cast<int>(M.rows()) - 1),
      alleles_(std::move(initial_alleles)),
      index_(index) {
  const std::size_t sample_count = models.size();
  if (static_cast<std::size_t>(M.cols()) < 2 * sample_count || site_pls.size() < 3 * sample_count ||
      M.rows() < 1 || alleles_.size() != static_cast<std::size_t>(M.cols())) {
    throw std::logic_error("BiallelicChain: window or likelihoods smaller than the samples");
  }
  modelled_ = modelled_samples(pedigree, sample_count, family);
  scratch.resize(window_rows_);
  scratch.resize_patterns(patterns.count());
  if (family != nullptr) set_family_site_weights(pedigree, site_pls, *family);

  // Each model's carrier sums and variant mean, computed once here and then kept current:
  // a drawn allele that changes updates every model that selected its haplotype, instead of
  // every update summing over all selected haplotypes again.
  const int columns = static_cast<int>(patterns.of_column.size());
  const int model_count = 2 * static_cast<int>(sample_count);
  const std::size_t models_size = static_cast<std::size_t>(model_count);
  const std::size_t T = static_cast<std::size_t>(window_rows_);
  whole_sums_ = counts_whole_sums();
  // Whole sums are computed in doubles one model at a time (exact) and kept as int32.
  scratch.carrier_sums.resize(whole_sums_ ? T : models_size * T);
  if (whole_sums_) scratch.whole_carrier_sums.resize(models_size * T);
  variant_sums_.assign(models_size, 0.0);
  variant_means_.assign(models_size, 0.0);
  for (int m = 0; m < model_count; ++m) {
    if (!modelled_[static_cast<std::size_t>(m / 2)]) continue;
    double* sums = whole_sums_ ? scratch.carrier_sums.data() : carrier_sum(m);
    variant_sums_[m] = carrier_sums(alleles_.data(), patterns, model(m), scratch, sums);
    if (!whole_sums_) continue;
    std::int32_t* whole = whole_carrier_sum(m);
    for (std::size_t r = 0; r < T; ++r) whole[r] = static_cast<std::int32_t>(sums[r]);
  }
  if (index_ == nullptr) {
    own_index_ = std::make_unique<SelectionIndex>(models, modelled_, columns);
    index_ = own_index_.get();
  }
  // Every model is whitened from its carrier sums at its first evaluation.
  scratch.model_whitened.resize(models_size * T);
  scratch.pending.resize(models_size * kMaxQueued);
  scratch.pending_count.assign(models_size, -1);
  // Each variant's chain flips its own few haplotypes, so its R x caches start empty; the
  // pool is this chain's own and is freed with it, before the next window's fit.
  cached_pattern_.assign(models_size * kCachedPatterns, -1);
  cached_slot_.assign(models_size * kCachedPatterns, 0);
  cached_count_.assign(models_size, 0);
  // Reserved whole so the sweeps never allocate; the pages are only touched, and so only
  // take memory, as the caches fill. The worker keeps the pool from chain to chain, so its
  // pages are mapped once, not again for every variant.
  std::vector<double>& pool = scratch.pattern_pool;
  pool.clear();
  pool.reserve((models_size * kCachedPatterns + 1) * T);
  pool.assign(T, 0.0);  // the spare vector
  // Multiply-adds of R x per pattern: the blocks of R's columns where x has a 1.
  whitening_cost_.resize(static_cast<std::size_t>(patterns.count()));
  for (int p = 0; p < patterns.count(); ++p) {
    whitening_cost_[p] = tiled_lower_cost(patterns.values.col(p).data(), window_rows_);
  }
  probs_.assign(static_cast<std::size_t>(model_count), {0.0, 0.0});
  stale_.assign(static_cast<std::size_t>(model_count), 1);
  replaced_variance_.assign(static_cast<std::size_t>(model_count), 0);
  // No model is evaluated yet, so every made_at (0) differs from a count after the first.
  evaluations_.assign(sample_count, 0);
  class_probs_.assign(sample_count, {0.0, 0.0, 0.0, 0.0});
  likelihoods_.resize(sample_count);
  for (std::size_t s = 0; s < sample_count; ++s) {
    likelihoods_[s] = genotype_likelihoods(&site_pls[3 * s]);
  }
  class_made_at_.assign(sample_count, 0);
  if (family != nullptr) {
    trio_marginals_.assign(family->trio_posteriors.size(), {});
    duo_marginals_.assign(family->duo_posteriors.size(), {});
  }
  write_allele_ = [this](int column, int allele) { set_allele(column, allele); };
}

const HaplotypeModel& BiallelicChain::model(int model_index) const {
  const SampleModel& sample = models_[static_cast<std::size_t>(model_index / 2)];
  return model_index % 2 == 0 ? sample.first : sample.second;
}

double* BiallelicChain::carrier_sum(int model_index) {
  // data() + offset: with no window rows the vector is empty and has no element to name.
  return scratch_.carrier_sums.data() +
         static_cast<std::size_t>(model_index) * static_cast<std::size_t>(window_rows_);
}

void BiallelicChain::set_allele(int column, int allele) {
  const double change = allele - alleles_[static_cast<std::size_t>(column)];
  if (change == 0.0) return;
  alleles_[static_cast<std::size_t>(column)] = allele;
  const int pattern = patterns_.of_column[column];
  const SelectionIndex& index = *index_;
  for (int e = index.start[column]; e < index.start[column + 1]; ++e) {
    const int m = index.model_of[e];
    const double carried = change * index.length[e];
    // The variant mean follows at the model's next evaluation (haplotype_probs).
    variant_sums_[static_cast<std::size_t>(m)] += carried;
    queue_change(m, pattern, carried);
    stale_[static_cast<std::size_t>(m)] = 1;
  }
}

std::int32_t* BiallelicChain::whole_carrier_sum(int model_index) {
  return scratch_.whole_carrier_sums.data() +
         static_cast<std::size_t>(model_index) * static_cast<std::size_t>(window_rows_);
}

bool BiallelicChain::counts_whole_sums() const {
  if (!patterns_.binary ||
      patterns_.masks.size() != static_cast<std::size_t>(patterns_.mask_rows) *
                                    static_cast<std::size_t>(patterns_.count())) {
    return false;
  }
  for (std::size_t s = 0; s < models_.size(); ++s) {
    if (!modelled_[s]) continue;
    for (const HaplotypeModel* haplotype : {&models_[s].first, &models_[s].second}) {
      // Every carrier sum is at most the sum of the run lengths.
      if (haplotype->lengths.size() != haplotype->selected.size() ||
          !(haplotype->length_sum < 2147483647.0)) {
        return false;
      }
    }
  }
  return true;
}

void BiallelicChain::apply_to_carrier_sum(int model_index, int pattern, double amount) {
  if (whole_sums_) {
    const std::int32_t* mask =
        patterns_.masks.data() +
        static_cast<std::size_t>(pattern) * static_cast<std::size_t>(patterns_.mask_rows);
    add_masked(static_cast<std::int32_t>(amount), mask, whole_carrier_sum(model_index),
               window_rows_);
    return;
  }
  add_scaled(amount, patterns_.values.col(pattern).data(), carrier_sum(model_index), window_rows_);
}

void BiallelicChain::whiten_from_sums(int model_index, double* z) {
  const HaplotypeModel& haplotype = model(model_index);
  const double variant_mean = variant_means_[static_cast<std::size_t>(model_index)];
  if (whole_sums_) {
    whitened_covariance(haplotype, whole_carrier_sum(model_index), variant_mean, scratch_, z);
  } else {
    whitened_covariance(haplotype, carrier_sum(model_index), variant_mean, scratch_, z);
  }
}

void BiallelicChain::queue_change(int model_index, int pattern, double amount) {
  int& count = scratch_.pending_count[static_cast<std::size_t>(model_index)];
  std::pair<int, double>* queue =
      &scratch_.pending[static_cast<std::size_t>(model_index) * kMaxQueued];
  if (count >= 0) {
    for (int i = 0; i < count; ++i) {
      if (queue[i].first == pattern) {
        queue[i].second += amount;  // whole run lengths: exact
        return;
      }
    }
    if (count < kMaxQueued) {
      queue[count++] = {pattern, amount};
      return;
    }
    // Too many to follow one by one: bring the sums up to date; whitened anew at next use.
    for (int i = 0; i < count; ++i)
      apply_to_carrier_sum(model_index, queue[i].first, queue[i].second);
    count = -1;
  }
  apply_to_carrier_sum(model_index, pattern, amount);
}

const double* BiallelicChain::whitened_step(int model_index, int pattern) {
  const std::size_t T = static_cast<std::size_t>(window_rows_);
  const std::size_t first = static_cast<std::size_t>(model_index) * kCachedPatterns;
  const int count = cached_count_[static_cast<std::size_t>(model_index)];
  for (int i = 0; i < count; ++i) {
    if (cached_pattern_[first + i] == pattern) {
      return scratch_.pattern_pool.data() + static_cast<std::size_t>(cached_slot_[first + i]) * T;
    }
  }
  std::size_t slot = 0;  // the spare vector
  if (count < kCachedPatterns) {
    slot = scratch_.pattern_pool.size() / T;
    scratch_.pattern_pool.resize(scratch_.pattern_pool.size() + T);
    cached_pattern_[first + count] = pattern;
    cached_slot_[first + count] = static_cast<int>(slot);
    ++cached_count_[static_cast<std::size_t>(model_index)];
  }
  double* out = scratch_.pattern_pool.data() + slot * T;
  const HaplotypeModel& haplotype = model(model_index);
  haplotype.inverse.whiten(patterns_.values.col(pattern).data(), out);
  // x - 1 * y is x - y exactly, so each later step adds the same bits as from R x and R mean.
  add_scaled(-1.0, haplotype.whitened_mean.data(), out, window_rows_);
  return out;
}

bool BiallelicChain::cached(int model_index, int pattern) const {
  const std::size_t first = static_cast<std::size_t>(model_index) * kCachedPatterns;
  const int count = cached_count_[static_cast<std::size_t>(model_index)];
  for (int i = 0; i < count; ++i) {
    if (cached_pattern_[first + i] == pattern) return true;
  }
  return false;
}

const double* BiallelicChain::current_whitened(int model_index) {
  const std::size_t T = static_cast<std::size_t>(window_rows_);
  // data() + offset: with no window rows the vector is empty and has no element to name.
  double* z = scratch_.model_whitened.data() + static_cast<std::size_t>(model_index) * T;
  int& count = scratch_.pending_count[static_cast<std::size_t>(model_index)];
  if (count < 0 || window_rows_ == 0) {
    whiten_from_sums(model_index, z);
    count = 0;
    return z;
  }
  // Following the queue costs a T-vector update per change plus R x for each pattern not
  // cached yet; whitening anew costs T (T + 1) / 2. Take the cheaper.
  const std::pair<int, double>* queued =
      &scratch_.pending[static_cast<std::size_t>(model_index) * kMaxQueued];
  long follow_cost = 0;
  for (int i = 0; i < count; ++i) {
    follow_cost += window_rows_;
    if (!cached(model_index, queued[i].first)) {
      follow_cost += whitening_cost_[static_cast<std::size_t>(queued[i].first)];
    }
  }
  if (follow_cost > static_cast<long>(packed_triangle_size(window_rows_))) {
    for (int i = 0; i < count; ++i)
      apply_to_carrier_sum(model_index, queued[i].first, queued[i].second);
    whiten_from_sums(model_index, z);
    count = 0;
    return z;
  }
  // cov moves by amount (x - mean) / (L (1 - v2)) per change, so R cov by that times
  // R x - R mean.
  const HaplotypeModel& haplotype = model(model_index);
  const double scale = 1.0 / (carrier_unit_total(haplotype) * (1.0 - haplotype.v2));
  for (int i = 0; i < count; ++i) {
    const auto [pattern, amount] = queued[i];
    if (amount == 0.0) continue;
    apply_to_carrier_sum(model_index, pattern, amount);
    add_scaled(amount * scale, whitened_step(model_index, pattern), z, window_rows_);
  }
  count = 0;
  return z;
}

const std::array<double, 2>& BiallelicChain::haplotype_probs(int model_index) {
  std::array<double, 2>& probs = probs_[static_cast<std::size_t>(model_index)];
  char& stale = stale_[static_cast<std::size_t>(model_index)];
  char& replaced = replaced_variance_[static_cast<std::size_t>(model_index)];
  if (stale) {
    // Unchanged sums give the same moments, so only a stale model is evaluated again.
    const HaplotypeModel& haplotype = model(model_index);
    const std::size_t m = static_cast<std::size_t>(model_index);
    variant_means_[m] = variant_sums_[m] / carrier_unit_total(haplotype);
    const std::int64_t before = warnings_.nonpositive_variances;
    const double* whitened = current_whitened(model_index);
    const ConditionalMoments moments =
        moments_from_whitened(haplotype, variant_means_[m], whitened, warnings_);
    probs = allele_probs_from_moments(moments);
    if (!phase_probs_.empty()) {
      phase_probs_[m] = moments.phase_variance == moments.variance
                            ? probs
                            : allele_probs_from_moments({moments.mean, moments.phase_variance});
    }
    if (copying_ != nullptr && copying_->allele_one[m] >= 0.0) {
      probs = mix_copying_prior(probs, copying_->allele_one[m], copying_->weight);
      if (!phase_probs_.empty()) {
        phase_probs_[m] =
            mix_copying_prior(phase_probs_[m], copying_->allele_one[m], copying_->weight);
      }
    }
    replaced = warnings_.nonpositive_variances != before;
    stale = 0;
    ++evaluations_[m / 2];
  } else if (replaced) {
    ++warnings_.nonpositive_variances;  // counted per use, as when evaluated every time
  }
  return probs;
}

MemberPriors BiallelicChain::member_priors(int sample) {
  member_evaluations(sample);
  return evaluated_priors(sample);
}

std::uint32_t BiallelicChain::member_evaluations(int sample) {
  haplotype_probs(2 * (sample - 1));
  haplotype_probs(2 * (sample - 1) + 1);
  return evaluations_[static_cast<std::size_t>(sample - 1)];
}

MemberPriors BiallelicChain::evaluated_priors(int sample) const {
  const std::array<double, 2>& first = probs_[2 * static_cast<std::size_t>(sample - 1)];
  const std::array<double, 2>& second = probs_[2 * static_cast<std::size_t>(sample - 1) + 1];
  return MemberPriors{first[0], first[1], second[0], second[1]};
}

void BiallelicChain::use_copying_prior(const CopyingPrior* prior) {
  if (prior == nullptr || !prior->used()) return;
  if (prior->allele_one.size() != probs_.size()) {
    throw std::logic_error("use_copying_prior: one probability per sample haplotype expected");
  }
  copying_ = prior;
  std::fill(stale_.begin(), stale_.end(), 1);
}

void BiallelicChain::phase_with_penalty() {
  phase_probs_ = probs_;
  std::fill(stale_.begin(), stale_.end(), 1);
}

void BiallelicChain::settle_confident(double threshold, int updates) {
  settle_threshold_ = threshold;
  settle_updates_ = updates;
  confident_run_.assign(class_probs_.size(), 0);
}

std::array<double, 4> BiallelicChain::update_single(int sample, RandomSource& random) {
  const std::size_t s = static_cast<std::size_t>(sample);
  if (!confident_run_.empty() && confident_run_[s] < 0) return class_probs_[s];
  const std::array<double, 2>& first = haplotype_probs(2 * sample);
  const std::array<double, 2>& second = haplotype_probs(2 * sample + 1);
  // Most updates of a rare variant find both models as they were: the same classes.
  if (class_made_at_[s] != evaluations_[s]) {
    class_probs_[s] = class_probabilities(first, second, likelihoods_[s], &site_pls_[3 * s]);
    if (!phase_probs_.empty()) {
      const std::array<double, 2>& first_phase = phase_probs_[2 * s];
      const std::array<double, 2>& second_phase = phase_probs_[2 * s + 1];
      if (first_phase != first || second_phase != second) {
        split_heterozygote(class_probs_[s], first_phase, second_phase);
      }
    }
    class_made_at_[s] = evaluations_[s];
  }
  const std::array<double, 4> probs = class_probs_[s];
  if (!confident_run_.empty()) {
    const auto top = std::max_element(probs.begin(), probs.end());
    int& run = confident_run_[s];
    run = *top >= settle_threshold_ ? run + 1 : 0;
    if (run >= settle_updates_) {
      run = -1;
      const int kept = static_cast<int>(top - probs.begin());
      set_allele(2 * sample, kFirstAllele[kept]);
      set_allele(2 * sample + 1, kSecondAllele[kept]);
      return probs;
    }
  }
  const int drawn = draw_class(probs, random.uniform());
  set_allele(2 * sample, kFirstAllele[drawn]);
  set_allele(2 * sample + 1, kSecondAllele[drawn]);
  return probs;
}

template <std::size_t Members, typename Unit, std::size_t Configurations>
const UnitMarginals<Members>& BiallelicChain::unit_marginals(
    CachedMarginals<Members>& cached, const Unit& unit, int first, int second,
    std::array<double, Configurations>& joint) {
  const std::array<std::uint32_t, 2> made_at = {member_evaluations(first),
                                                member_evaluations(second)};
  if (cached.made_at != made_at) {
    cached.marginals =
        unit.marginals(evaluated_priors(first), evaluated_priors(second), joint, family_->tables);
    cached.made_at = made_at;
  }
  return cached.marginals;
}

void BiallelicChain::update_trio(const std::vector<int>& unit, RandomSource& random,
                                 double* record) {
  // The joint depends on the parents' models alone (a trio's child is in no model).
  const std::size_t index = static_cast<std::size_t>(unit[4]);
  const UnitMarginals<3>& marginals =
      unit_marginals(trio_marginals_[index], family_->trio_posteriors[index], unit[2], unit[3],
                     family_->trio_joint);
  draw_unit_members<3>({unit[1], unit[2], unit[3]}, marginals, write_allele_, random, record);
}

void BiallelicChain::update_duo(const std::vector<int>& unit, RandomSource& random,
                                double* record) {
  const int parent = unit[2] > 0 ? unit[2] : unit[3];
  const std::size_t index = static_cast<std::size_t>(unit[4]);
  const UnitMarginals<2>& marginals = unit_marginals(
      duo_marginals_[index], family_->duo_posteriors[index], unit[1], parent, family_->duo_joint);
  draw_unit_members<2>({unit[1], parent}, marginals, write_allele_, random, record);
}
