#include "chain/model_average.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "model/packed_triangle.h"

namespace {

void change_haplotype_statistics(AllHaplotypeModel& model, const double* window, double weight,
                                 double previous, double current) {
  if (weight == 0.0) return;  // a zero weight changes nothing
  const std::size_t T = model.covariance.size();
  const double correction = 1.0 - model.v2;
  const double old_mean = model.mean[T];
  model.mean[T] = old_mean - previous * weight + weight * current;
  model.variance +=
      ((current - previous) * weight + old_mean * old_mean - model.mean[T] * model.mean[T]) /
      correction;
  for (std::size_t s = 0; s < T; ++s) {
    model.covariance[s] += (previous - current) * weight * (model.mean[s] - window[s]) / correction;
  }
}

}  // namespace

bool all_haplotype_weights(const std::vector<int>& run_lengths, const std::vector<int>& excluded,
                           int sample_columns, int own_sample, AllHaplotypeModel& model) {
  if (sample_columns < 2 || static_cast<int>(run_lengths.size()) < sample_columns ||
      own_sample < 0 || 2 * own_sample + 1 >= sample_columns) {
    throw std::logic_error("all_haplotype_weights: run lengths do not cover the samples");
  }
  const std::size_t columns = static_cast<std::size_t>(sample_columns);
  std::vector<char> is_excluded(columns, 0);
  for (const int c : excluded) {
    if (c >= 0 && c < sample_columns) is_excluded[static_cast<std::size_t>(c)] = 1;
  }
  is_excluded[2 * own_sample] = is_excluded[2 * own_sample + 1] = 2;
  model.weights.assign(columns, 0.0);
  double sum = 0.0;
  for (std::size_t c = 0; c < columns; ++c) {
    if (is_excluded[c] == 0) sum += std::max(0, run_lengths[c]);
  }
  auto finish = [&]() {
    model.v2 = 0.0;
    for (std::size_t c = 0; c < columns; ++c) {
      model.weights[c] /= sum;
      model.v2 += model.weights[c] * model.weights[c];
    }
  };
  if (sum > 0.0) {
    for (std::size_t c = 0; c < columns; ++c) {
      if (is_excluded[c] == 0) model.weights[c] = std::max(0, run_lengths[c]);
    }
    finish();
    if (model.v2 < 1.0) return true;
  }
  // No spread to learn from: the other haplotypes count alike.
  std::size_t usable = 0;
  for (std::size_t c = 0; c < columns; ++c) usable += is_excluded[c] == 0 ? 1 : 0;
  const char allowed = usable >= 2 ? 0 : 1;
  sum = 0.0;
  for (std::size_t c = 0; c < columns; ++c) {
    model.weights[c] = is_excluded[c] <= allowed ? 1.0 : 0.0;
    sum += model.weights[c];
  }
  finish();
  return false;
}

void fit_all_haplotype_model(const WindowMatrix& M, const WindowPatterns& patterns, int own_column,
                             double theta_all, double theta_k, AllHaplotypeModel& model,
                             ModelWarnings& warnings, FitScratch& scratch) {
  // The window part is the k-model's fit over every weighted sample haplotype.
  HaplotypeModel fit;
  for (std::size_t c = 0; c < model.weights.size(); ++c) {
    if (model.weights[c] == 0.0) continue;
    fit.selected.push_back(static_cast<int>(c));
    fit.weights.push_back(model.weights[c]);
  }
  fit.v2 = model.v2;
  fit.lambda = model.lambda;
  fit_haplotype_model(M, patterns, own_column, theta_all, fit, warnings, scratch);
  const std::size_t T = static_cast<std::size_t>(M.rows()) - 1;
  model.mean = std::move(fit.mean);
  model.inverse = std::move(fit.inverse);
  model.conditioning = std::move(fit.conditioning);
  model.conditioning.resize(T, 0.0);
  whitened_deviation(model.inverse, M.col(own_column).data(), model.mean.data(), theta_k,
                     model.family_conditioning);
  model.covariance.assign(T, 0.0);
}

void reuse_k_model_fit(const WindowMatrix& M, int own_column, double theta_all,
                       const HaplotypeModel& k_model, AllHaplotypeModel& model) {
  const std::size_t T = static_cast<std::size_t>(M.rows()) - 1;
  if (k_model.mean.size() != T + 1 || k_model.inverse.rows() != static_cast<int>(T)) {
    throw std::logic_error("reuse_k_model_fit: k-model not fitted to this window");
  }
  model.mean = k_model.mean;
  model.inverse = k_model.inverse;
  model.family_conditioning = k_model.conditioning;
  whitened_deviation(model.inverse, M.col(own_column).data(), model.mean.data(), theta_all,
                     model.conditioning);
  model.covariance.assign(T, 0.0);
}

void all_model_variant_statistics(const WindowMatrix& M, const WindowPatterns& patterns,
                                  const std::vector<double>& chain_alleles,
                                  AllHaplotypeModel& model, std::vector<double>& pattern_scratch) {
  const Eigen::Index T = M.rows() - 1;
  const std::size_t columns = model.weights.size();
  if (chain_alleles.size() < columns || model.mean.size() != static_cast<std::size_t>(T) + 1 ||
      patterns.of_column.size() < columns) {
    throw std::logic_error("all_model_variant_statistics: model not fitted to this window");
  }
  pattern_scratch.assign(static_cast<std::size_t>(patterns.count()), 0.0);
  double mean = 0.0;
  for (std::size_t c = 0; c < columns; ++c) {
    const double carried = model.weights[c] * chain_alleles[c];
    mean += carried;
    pattern_scratch[static_cast<std::size_t>(patterns.of_column[c])] += carried;
  }
  const double correction = 1.0 - model.v2;
  model.mean[static_cast<std::size_t>(T)] = mean;
  model.covariance.assign(static_cast<std::size_t>(T), 0.0);
  Eigen::Map<Eigen::VectorXd> cross(model.covariance.data(), T);
  for (int p = 0; p < patterns.count(); ++p) {
    const double w = pattern_scratch[static_cast<std::size_t>(p)];
    if (w != 0.0) cross += w * patterns.values.col(p);
  }
  for (Eigen::Index s = 0; s < T; ++s) {
    model.covariance[s] = (model.covariance[s] - model.mean[s] * mean) / correction;
  }
  // Alleles are 0 or 1, so the weighted second moment is the mean.
  model.variance = (mean - mean * mean) / correction;
}

void change_all_model_allele(std::vector<AllSampleModel>& models, const WindowMatrix& M, int column,
                             double previous, double current) {
  const int owner = column / 2;
  const double* window = M.col(column).data();
  for (int j = 0; j < static_cast<int>(models.size()); ++j) {
    AllSampleModel& model = models[static_cast<std::size_t>(j)];
    if (j == owner || !model.fitted()) continue;
    change_haplotype_statistics(model.first, window,
                                model.first.weights[static_cast<std::size_t>(column)], previous,
                                current);
    change_haplotype_statistics(model.second, window,
                                model.second.weights[static_cast<std::size_t>(column)], previous,
                                current);
  }
}

ConditionalMoments all_model_moments(AllHaplotypeModel& model, bool family_member,
                                     ModelWarnings& warnings) {
  const std::size_t T = model.covariance.size();
  const std::vector<double>& conditioning =
      family_member ? model.family_conditioning : model.conditioning;
  if (model.mean.size() != T + 1 || conditioning.size() != T ||
      model.inverse.rows() != static_cast<int>(T)) {
    throw std::logic_error("all_model_moments: model not fitted to this window");
  }
  const double variant_mean = model.mean[T];
  const double penalty = variant_penalty(variant_mean, model.lambda, model.rare_band);
  // Q = R'R: cov'Q d = (R cov).(R d) and cov'Q cov = |R cov|^2.
  std::vector<double>& whitened = model.whitened;
  whitened.resize(T);
  model.inverse.whiten(model.covariance.data(), whitened.data());
  const int size = static_cast<int>(T);
  const double shift = lane_dot(whitened.data(), conditioning.data(), size);
  const double explained = lane_dot(whitened.data(), whitened.data(), size);
  ConditionalMoments moments{variant_mean + shift, model.variance + penalty - explained};
  if (!(moments.variance > 0.0)) {
    ++warnings.nonpositive_variances;
    moments.variance = penalty;
  }
  return moments;
}

AllHaplotypeChain::AllHaplotypeChain(ModelAverage& average, const WindowMatrix& M,
                                     ModelWarnings& warnings)
    : average_(average), M_(M), warnings_(warnings) {
  const std::size_t model_count = 2 * average.models.size();
  for (int use = 0; use < 2; ++use) {
    probs_[use].assign(model_count, {0.0, 0.0});
    stale_[use].assign(model_count, 1);
    replaced_variance_[use].assign(model_count, 0);
  }
  write_allele_ = [this](int column, int allele) {
    double& current = average_.alleles[static_cast<std::size_t>(column)];
    family_changes_.push_back({static_cast<double>(column), current, static_cast<double>(allele)});
    current = allele;
  };
}

const std::array<double, 2>& AllHaplotypeChain::haplotype_probs(int model_index,
                                                                bool family_member) {
  std::array<double, 2>& probs = probs_[family_member][static_cast<std::size_t>(model_index)];
  char& stale = stale_[family_member][static_cast<std::size_t>(model_index)];
  char& replaced = replaced_variance_[family_member][static_cast<std::size_t>(model_index)];
  if (stale) {
    AllSampleModel& sample = average_.models[static_cast<std::size_t>(model_index / 2)];
    AllHaplotypeModel& model = model_index % 2 == 0 ? sample.first : sample.second;
    const std::int64_t before = warnings_.nonpositive_variances;
    probs = allele_probs_from_moments(all_model_moments(model, family_member, warnings_));
    replaced = warnings_.nonpositive_variances != before;
    stale = 0;
  } else if (replaced) {
    ++warnings_.nonpositive_variances;  // counted per use, as when evaluated every time
  }
  return probs;
}

void AllHaplotypeChain::change_allele(int column, double previous, double current) {
  change_all_model_allele(average_.models, M_, column, previous, current);
  // Every other sample's statistics may have moved (a zero weight leaves them as they were,
  // and evaluating them again gives the same values).
  const int owner = column / 2;
  for (int use = 0; use < 2; ++use) {
    std::vector<char>& stale = stale_[use];
    for (std::size_t m = 0; m < stale.size(); ++m) {
      if (static_cast<int>(m / 2) != owner) stale[m] = 1;
    }
  }
}

MemberPriors AllHaplotypeChain::member_priors(int sample) {
  const std::array<double, 2>& first = haplotype_probs(2 * (sample - 1), true);
  const std::array<double, 2>& second = haplotype_probs(2 * (sample - 1) + 1, true);
  return {first[0], first[1], second[0], second[1]};
}

std::array<double, 4> AllHaplotypeChain::update_single(int sample, const double* pl_phred,
                                                       RandomSource& random) {
  const std::array<double, 2> first = haplotype_probs(2 * sample, false);
  const std::array<double, 2> second = haplotype_probs(2 * sample + 1, false);
  const std::array<double, 4> probs = class_probabilities(first, second, pl_phred);
  if (*std::min_element(probs.begin(), probs.end()) < 0.0) ++warnings_.probability_errors;
  const std::size_t column = 2 * static_cast<std::size_t>(sample);
  const double previous_first = average_.alleles[column];
  const double previous_second = average_.alleles[column + 1];
  const int drawn = draw_class(probs, random.uniform());
  average_.alleles[column] = kFirstAllele[drawn];
  average_.alleles[column + 1] = kSecondAllele[drawn];
  if (std::fabs(previous_first - average_.alleles[column]) > 0.1) {
    change_allele(static_cast<int>(column), previous_first, average_.alleles[column]);
  }
  if (std::fabs(previous_second - average_.alleles[column + 1]) > 0.1) {
    change_allele(static_cast<int>(column) + 1, previous_second, average_.alleles[column + 1]);
  }
  return probs;
}

void AllHaplotypeChain::apply_family_changes() {
  for (const std::array<double, 3>& change : family_changes_) {
    if (std::fabs(change[2] - change[1]) > 0.1) {
      change_allele(static_cast<int>(change[0]), change[1], change[2]);
    }
  }
  family_changes_.clear();
}

void AllHaplotypeChain::update_trio(const std::vector<int>& unit, FamilyUnits& family,
                                    RandomSource& random, double* record) {
  const Post_trio& trio = family.trio_posteriors[static_cast<std::size_t>(unit[4])];
  trio.compute_probs_trios(unit[1], unit[2], unit[3], member_priors(unit[2]),
                           member_priors(unit[3]), family.trio_joint, family.tables, write_allele_,
                           random, record);
  apply_family_changes();
}

void AllHaplotypeChain::update_duo(const std::vector<int>& unit, FamilyUnits& family,
                                   RandomSource& random, double* record) {
  const int parent = unit[2] > 0 ? unit[2] : unit[3];
  const Post_duo& duo = family.duo_posteriors[static_cast<std::size_t>(unit[4])];
  duo.compute_probs_duos(member_priors(unit[1]), member_priors(parent), unit[1], parent,
                         family.duo_joint, family.tables, write_allele_, random, record);
  apply_family_changes();
}

void keep_more_certain(std::vector<double>& genotype_probs, const std::vector<double>& all_probs,
                       int class_count) {
  if (class_count < 1 || all_probs.size() != genotype_probs.size() ||
      genotype_probs.size() % static_cast<std::size_t>(class_count) != 0) {
    throw std::logic_error("keep_more_certain: the two models' results differ in size");
  }
  const std::size_t C = static_cast<std::size_t>(class_count);
  for (std::size_t start = 0; start < genotype_probs.size(); start += C) {
    const double k_best = *std::max_element(&genotype_probs[start], &genotype_probs[start] + C);
    const double all_best = *std::max_element(&all_probs[start], &all_probs[start] + C);
    // Ties, and an all-model result that is not a number, stay with the k-model.
    if (all_best > k_best) std::copy_n(&all_probs[start], C, &genotype_probs[start]);
  }
}
