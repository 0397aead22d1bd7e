#include "sampler.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "family.h"
#include "model_average.h"

namespace {

constexpr double kConfidentHigh = 0.99;
constexpr double kConfidentLow = 0.01;
constexpr double kConfidentPenalty = 0.09;

}  // namespace

namespace {
// Groups the window of M and points the model's selected haplotypes at those groups.
WindowPatterns patterns_for(const WindowMatrix& M, HaplotypeModel& model) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  model.pattern_of_selected.resize(model.selected.size());
  for (std::size_t j = 0; j < model.selected.size(); ++j) {
    model.pattern_of_selected[j] = patterns.of_column.at(static_cast<std::size_t>(model.selected[j]));
  }
  return patterns;
}
}  // namespace

ConditionalMoments conditional_moments(const WindowMatrix& M, HaplotypeModel& model,
                                       SamplerScratch& scratch, ModelWarnings& warnings) {
  const WindowPatterns patterns = patterns_for(M, model);
  return conditional_moments(M, patterns, model, scratch, warnings);
}

void carrier_sums(const WindowMatrix& M, const WindowPatterns& patterns, HaplotypeModel& model,
                  SamplerScratch& scratch) {
  const int size = static_cast<int>(M.rows()) - 1;
  const std::size_t k = model.selected.size();
  if (size < 0 || model.weights.size() != k || model.mean.size() != std::size_t(size) + 1 ||
      model.pattern_of_selected.size() != k || patterns.values.rows() != size) {
    throw std::logic_error("carrier_sums: model not fitted to this window");
  }
  if (scratch.pattern_weight.size() < static_cast<std::size_t>(patterns.count())) {
    scratch.resize_patterns(patterns.count());
  }
  // Per window row, the run lengths of the selected haplotypes carrying allele 1 at the
  // variant and at that row, gathered per window pattern first; whole numbers, so the sums
  // are exact in any order. A hand-made model without lengths uses its weights.
  const bool has_lengths = model.lengths.size() == k;
  double variant_sum = 0.0;
  const double* variant_row = M.data() + size;
  const Eigen::Index stride = M.rows();
  double* pattern_weight = scratch.pattern_weight.data();
  std::vector<int>& touched = scratch.touched;
  touched.clear();
  for (std::size_t j = 0; j < k; ++j) {
    const double length = has_lengths ? model.lengths[j] : model.weights[j];
    const double carried = length * variant_row[model.selected[j] * stride];
    variant_sum += carried;
    if (carried != 0.0) {
      const int pattern = model.pattern_of_selected[j];
      if (pattern_weight[pattern] == 0.0) touched.push_back(pattern);
      pattern_weight[pattern] += carried;
    }
  }
  if (!has_lengths) {
    model.lengths.clear();
    model.length_sum = 1.0;
  }
  model.carrier_sum.assign(static_cast<std::size_t>(size), 0.0);
  Eigen::Map<Eigen::VectorXd> sums(model.carrier_sum.data(), size);
  for (const int pattern : touched) {
    sums += pattern_weight[pattern] * patterns.values.col(pattern);
    pattern_weight[pattern] = 0.0;
  }
  model.variant_carrier_sum = variant_sum;
  model.mean[static_cast<std::size_t>(size)] = variant_sum / model.length_sum;
}

ConditionalMoments moments_from_carrier_sums(HaplotypeModel& model, SamplerScratch& scratch,
                                             ModelWarnings& warnings) {
  const int size = static_cast<int>(model.carrier_sum.size());
  if (model.conditioning.size() != std::size_t(size) || model.inverse.rows() != size ||
      model.mean.size() != std::size_t(size) + 1) {
    throw std::logic_error("moments_from_carrier_sums: model not fitted to this window");
  }
  if (scratch.cov.size() < static_cast<std::size_t>(size)) scratch.resize(size);
  double* cov = scratch.cov.data();
  const double variant_mean = model.mean[static_cast<std::size_t>(size)];
  const double correction = 1.0 - model.v2;
  for (int s = 0; s < size; ++s) {
    cov[s] = (model.carrier_sum[s] / model.length_sum - model.mean[s] * variant_mean) / correction;
  }
  double variance = (variant_mean - variant_mean * variant_mean) / correction;
  const double penalty = (variant_mean > kConfidentHigh || variant_mean < kConfidentLow)
                             ? kConfidentPenalty
                             : model.lambda;
  variance += penalty;

  // cov'Q d = cov . (Q d), with Q d fixed for the window at fit time.
  double shift = 0.0;
  for (int s = 0; s < size; ++s) shift += cov[s] * model.conditioning[s];
  const double explained = model.inverse.quadratic_form(cov, cov);
  ConditionalMoments moments{variant_mean + shift, variance - explained};
  if (!(moments.variance > 0.0)) {
    ++warnings.nonpositive_variances;
    moments.variance = penalty;
  }
  return moments;
}

ConditionalMoments conditional_moments(const WindowMatrix& M, const WindowPatterns& patterns,
                                       HaplotypeModel& model, SamplerScratch& scratch,
                                       ModelWarnings& warnings) {
  carrier_sums(M, patterns, model, scratch);
  return moments_from_carrier_sums(model, scratch, warnings);
}

std::array<double, 2> haplotype_allele_probs(const WindowMatrix& M, HaplotypeModel& model,
                                             SamplerScratch& scratch, ModelWarnings& warnings) {
  const WindowPatterns patterns = patterns_for(M, model);
  return haplotype_allele_probs(M, patterns, model, scratch, warnings);
}

std::array<double, 2> allele_probs_from_moments(const ConditionalMoments& moments) {
  const double mu = moments.mean;
  const double sigma2 = moments.variance;
  double p0;
  double p1;
  if (sigma2 > 0.0) {
    const double log_density0 = -0.5 * mu * mu / sigma2;
    const double log_density1 = -0.5 * (1 - mu) * (1 - mu) / sigma2;
    const double largest = log_density0 >= log_density1 ? log_density0 : log_density1;
    p0 = std::exp(log_density0 - largest);
    p1 = std::exp(log_density1 - largest);
  } else {
    // A zero penalty (--lambda 0) leaves a point mass at mu: the nearer allele takes all,
    // as the densities do when sigma2 shrinks to 0.
    const double distance0 = mu * mu;
    const double distance1 = (1 - mu) * (1 - mu);
    p0 = distance0 <= distance1 ? 1.0 : 0.0;
    p1 = distance1 <= distance0 ? 1.0 : 0.0;
  }
  return {p0 / (p0 + p1), p1 / (p0 + p1)};
}

std::array<double, 2> haplotype_allele_probs(const WindowMatrix& M,
                                             const WindowPatterns& patterns,
                                             HaplotypeModel& model, SamplerScratch& scratch,
                                             ModelWarnings& warnings) {
  return allele_probs_from_moments(conditional_moments(M, patterns, model, scratch, warnings));
}

std::array<double, 4> class_probabilities(const std::array<double, 2>& first,
                                          const std::array<double, 2>& second,
                                          const double* pl_phred) {
  const std::array<double, 4> log10_weights = {
      -pl_phred[0] / 10 + std::log10(first[0]) + std::log10(second[0]),
      -pl_phred[2] / 10 + std::log10(first[1]) + std::log10(second[1]),
      -pl_phred[1] / 10 + std::log10(first[0]) + std::log10(second[1]),
      -pl_phred[1] / 10 + std::log10(first[1]) + std::log10(second[0])};
  std::array<double, 4> probs;
  for (int c = 0; c < 4; ++c) probs[c] = std::pow(10.0, log10_weights[c]);
  double sum = probs[0] + probs[1] + probs[2] + probs[3];
  if (sum == 0.0 || !std::isfinite(sum)) {
    // Every weight under- or overflowed; rescaling by the largest keeps the ratios.
    const double largest = *std::max_element(log10_weights.begin(), log10_weights.end());
    for (int c = 0; c < 4; ++c) probs[c] = std::pow(10.0, log10_weights[c] - largest);
    sum = probs[0] + probs[1] + probs[2] + probs[3];
  }
  for (int c = 0; c < 4; ++c) probs[c] /= sum;
  return probs;
}

int draw_class(const std::array<double, 4>& class_probs, double u) {
  if (class_probs[0] >= u) return 0;
  if (u <= class_probs[0] + class_probs[1]) return 1;
  if (u <= class_probs[0] + class_probs[1] + class_probs[2]) return 2;
  return 3;
}

void run_biallelic_chain(WindowMatrix& M, std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family,
                         ModelAverage* average) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  run_biallelic_chain(M, patterns, models, pedigree, site_pls, settings, random, scratch,
                      warnings, genotype_probs, family, average);
}

void run_biallelic_chain(WindowMatrix& M, const WindowPatterns& patterns,
                         std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family,
                         ModelAverage* average) {
  const std::size_t sample_count = models.size();
  if (settings.burnin < 0 || settings.iterations <= settings.burnin) {
    throw std::logic_error("run_biallelic_chain: burn-in must be below the iteration count");
  }
  if (static_cast<std::size_t>(M.cols()) < 2 * sample_count || site_pls.size() < 3 * sample_count ||
      M.rows() < 1) {
    throw std::logic_error("run_biallelic_chain: window or likelihoods smaller than the samples");
  }
  // Samples whose models the chain reads: everyone in a unit but a trio's child.
  std::vector<char> modelled(sample_count, 0);
  auto check_member = [&](int sample) {
    if (sample < 1 || static_cast<std::size_t>(sample) > sample_count) {
      throw std::logic_error("run_biallelic_chain: unit names sample " + std::to_string(sample));
    }
  };
  for (const std::vector<int>& unit : pedigree) {
    const int members = unit.empty() ? 0 : unit[0];
    if (members < 1 || members > 3 || unit.size() < (members == 1 ? 2u : 5u)) {
      throw std::logic_error("run_biallelic_chain: malformed unit");
    }
    if (members == 1) {
      check_member(unit[1]);
      modelled[static_cast<std::size_t>(unit[1]) - 1] = 1;
      continue;
    }
    if (family == nullptr) {
      throw std::logic_error("run_biallelic_chain: duo or trio without family tables");
    }
    const std::size_t holders =
        members == 2 ? family->duo_posteriors.size() : family->trio_posteriors.size();
    if (unit[4] < 0 || static_cast<std::size_t>(unit[4]) >= holders) {
      throw std::logic_error("run_biallelic_chain: family index out of range");
    }
    check_member(unit[1]);
    if (members == 2) {
      const int parent = unit[2] >= 1 ? unit[2] : unit[3];
      check_member(parent);
      modelled[static_cast<std::size_t>(unit[1]) - 1] = 1;
      modelled[static_cast<std::size_t>(parent) - 1] = 1;
    } else {
      check_member(unit[2]);
      check_member(unit[3]);
      modelled[static_cast<std::size_t>(unit[2]) - 1] = 1;
      modelled[static_cast<std::size_t>(unit[3]) - 1] = 1;
    }
  }
  if (average != nullptr) {
    if (average->models.size() != sample_count || average->alleles.size() != 2 * sample_count) {
      throw std::logic_error("run_biallelic_chain: all-haplotype chain does not match the samples");
    }
    for (std::size_t sample = 0; sample < sample_count; ++sample) {
      if (modelled[sample] && !average->models[sample].fitted()) {
        throw std::logic_error("run_biallelic_chain: sample without an all-haplotype model");
      }
    }
  }
  const Eigen::Index variant_row = M.rows() - 1;
  scratch.resize(static_cast<int>(variant_row));
  scratch.resize_patterns(patterns.count());
  if (family != nullptr) set_family_site_weights(pedigree, site_pls, *family);

  // Each model's carrier sums and variant mean, computed once here and then kept current:
  // a drawn allele that changes updates every model that selected its haplotype, instead of
  // every update summing over all selected haplotypes again. A sample in two units is
  // indexed once.
  const int columns = static_cast<int>(patterns.of_column.size());
  std::vector<int>& ref_start = scratch.ref_start;
  std::vector<HaplotypeModel*>& ref_model = scratch.ref_model;
  std::vector<double>& ref_length = scratch.ref_length;
  ref_start.assign(static_cast<std::size_t>(columns) + 1, 0);
  std::size_t references = 0;
  for (std::size_t sample = 0; sample < sample_count; ++sample) {
    if (!modelled[sample]) continue;
    SampleModel& model = models[sample];
    for (HaplotypeModel* haplotype : {&model.first, &model.second}) {
      carrier_sums(M, patterns, *haplotype, scratch);
      for (const int column : haplotype->selected) ++ref_start[column + 1];
      references += haplotype->selected.size();
    }
  }
  for (int c = 0; c < columns; ++c) ref_start[c + 1] += ref_start[c];
  ref_model.resize(references);
  ref_length.resize(references);
  std::vector<int>& fill = scratch.touched;
  fill.assign(ref_start.begin(), ref_start.end() - 1);
  for (std::size_t sample = 0; sample < sample_count; ++sample) {
    if (!modelled[sample]) continue;
    SampleModel& model = models[sample];
    for (HaplotypeModel* haplotype : {&model.first, &model.second}) {
      for (std::size_t j = 0; j < haplotype->selected.size(); ++j) {
        const int slot = fill[haplotype->selected[j]]++;
        ref_model[slot] = haplotype;
        ref_length[slot] = haplotype->lengths.empty() ? haplotype->weights[j]
                                                      : haplotype->lengths[j];
      }
    }
  }
  fill.clear();

  auto set_allele = [&](Eigen::Index column, int allele) {
    const double change = allele - M(variant_row, column);
    if (change == 0.0) return;
    M(variant_row, column) = allele;
    const auto window = patterns.values.col(patterns.of_column[column]);
    for (int e = ref_start[column]; e < ref_start[column + 1]; ++e) {
      HaplotypeModel& model = *ref_model[e];
      const double carried = change * ref_length[e];
      Eigen::Map<Eigen::VectorXd>(model.carrier_sum.data(), variant_row) += carried * window;
      model.variant_carrier_sum += carried;
      model.mean[variant_row] = model.variant_carrier_sum / model.length_sum;
    }
  };
  const AlleleWriter write_allele = [&](int column, int allele) {
    set_allele(static_cast<Eigen::Index>(column), allele);
  };
  auto haplotype_probs = [&](HaplotypeModel& haplotype) {
    return allele_probs_from_moments(moments_from_carrier_sums(haplotype, scratch, warnings));
  };
  auto member_priors = [&](int sample) {
    SampleModel& model = models[static_cast<std::size_t>(sample) - 1];
    const std::array<double, 2> first = haplotype_probs(model.first);
    const std::array<double, 2> second = haplotype_probs(model.second);
    return MemberPriors{std::log10(first[0]), std::log10(first[1]), std::log10(second[0]),
                        std::log10(second[1])};
  };

  genotype_probs.assign(4 * sample_count, 0.0);
  // One sweep's class probabilities: a sample in two units is written twice and keeps the
  // later values, so the sweep is gathered before it is added to the averages.
  std::vector<double> sweep_probs(4 * sample_count, 0.0);
  std::vector<double> sweep_probs_all(average != nullptr ? 4 * sample_count : 0, 0.0);
  if (average != nullptr) average->genotype_probs.assign(4 * sample_count, 0.0);
  const double recorded_sweeps = settings.iterations - settings.burnin;
  static constexpr int kFirstAllele[4] = {0, 1, 0, 1};
  static constexpr int kSecondAllele[4] = {0, 1, 1, 0};

  // The all-model family draws change its chain only; the other samples' statistics follow
  // once all members are drawn, haplotype by haplotype in member order.
  std::vector<std::array<double, 3>> all_changes;
  const AlleleWriter write_all_allele = [&](int column, int allele) {
    double& current = average->alleles[static_cast<std::size_t>(column)];
    all_changes.push_back({static_cast<double>(column), current, static_cast<double>(allele)});
    current = allele;
  };
  auto apply_all_changes = [&]() {
    for (const std::array<double, 3>& change : all_changes) {
      if (std::fabs(change[2] - change[1]) > 0.1) {
        change_all_model_allele(average->models, M, static_cast<int>(change[0]), change[1],
                                change[2]);
      }
    }
    all_changes.clear();
  };
  auto all_priors = [&](int sample) {
    return all_model_member_priors(average->models[static_cast<std::size_t>(sample) - 1],
                                   warnings);
  };

  for (int sweep = 1; sweep <= settings.iterations; ++sweep) {
    const bool record = sweep > settings.burnin;
    double* const record_to = record ? sweep_probs.data() : nullptr;
    double* const record_all_to = record && average != nullptr ? sweep_probs_all.data() : nullptr;
    if (record) {
      std::fill(sweep_probs.begin(), sweep_probs.end(), 0.0);
      std::fill(sweep_probs_all.begin(), sweep_probs_all.end(), 0.0);
    }
    for (const std::vector<int>& unit : pedigree) {
      if (unit[0] == 3) {
        const MemberPriors priors_a = member_priors(unit[2]);
        const MemberPriors priors_b = member_priors(unit[3]);
        Post_trio& trio = family->trio_posteriors[static_cast<std::size_t>(unit[4])];
        family->trio_joint.fill(0.0);
        trio.compute_probs_trios(unit[1], unit[2], unit[3], priors_a, priors_b, family->trio_joint,
                                 family->tables, write_allele, random, record_to);
        if (average != nullptr) {
          trio.compute_probs_trios(unit[1], unit[2], unit[3], all_priors(unit[2]),
                                   all_priors(unit[3]), family->trio_joint, family->tables,
                                   write_all_allele, random, record_all_to);
          apply_all_changes();
        }
        continue;
      }
      if (unit[0] == 2) {
        const bool parent_is_a = unit[2] > 0;
        const int parent = parent_is_a ? unit[2] : unit[3];
        const MemberPriors priors_child = member_priors(unit[1]);
        const MemberPriors priors_parent = member_priors(parent);
        Post_duo& duo = family->duo_posteriors[static_cast<std::size_t>(unit[4])];
        family->duo_joint.fill(0.0);
        duo.compute_probs_duos(parent_is_a, priors_child, priors_parent, unit[1], parent,
                               family->duo_joint, family->tables, write_allele, random, record_to);
        if (average != nullptr) {
          duo.compute_probs_duos(parent_is_a, all_priors(unit[1]), all_priors(parent), unit[1],
                                 parent, family->duo_joint, family->tables, write_all_allele,
                                 random, record_all_to);
          apply_all_changes();
        }
        continue;
      }
      const std::size_t sample = static_cast<std::size_t>(unit[1]) - 1;
      SampleModel& model = models[sample];
      const std::array<double, 2> first = haplotype_probs(model.first);
      const std::array<double, 2> second = haplotype_probs(model.second);
      const std::array<double, 4> probs = class_probabilities(first, second, &site_pls[3 * sample]);
      const int drawn = draw_class(probs, random.uniform());
      set_allele(static_cast<Eigen::Index>(2 * sample), kFirstAllele[drawn]);
      set_allele(static_cast<Eigen::Index>(2 * sample + 1), kSecondAllele[drawn]);
      if (record) std::copy(probs.begin(), probs.end(), &sweep_probs[4 * sample]);
      if (average != nullptr) {
        const std::array<double, 4> probs_all = compute_probs_all(
            static_cast<int>(sample), &site_pls[3 * sample], M, *average, random, warnings);
        if (record) std::copy(probs_all.begin(), probs_all.end(), &sweep_probs_all[4 * sample]);
      }
    }
    if (record) {
      for (std::size_t c = 0; c < sweep_probs.size(); ++c) {
        genotype_probs[c] += sweep_probs[c] / recorded_sweeps;
      }
      for (std::size_t c = 0; c < sweep_probs_all.size(); ++c) {
        average->genotype_probs[c] += sweep_probs_all[c] / recorded_sweeps;
      }
    }
  }
  if (average != nullptr) keep_more_certain(genotype_probs, average->genotype_probs, 4);
}
