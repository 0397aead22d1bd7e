// The sampler at variants with more than two alleles: each haplotype's allele as a vector
// of indicators, normal given the haplotype's window alleles.

#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "chain/model_average.h"
#include "chain/probs.h"
#include "chain/run_chain.h"
#include "model/packed_triangle.h"
#include "model/ridge.h"

namespace {

// Inverts the conditional covariance; a singular one gets the smallest ridge that makes it
// invertible. Returns true when a ridge was needed.
bool invert_with_ridge(const Eigen::MatrixXd& covariance, Eigen::MatrixXd& precision) {
  auto invert = [&precision](const Eigen::MatrixXd& matrix) {
    const Eigen::PartialPivLU<Eigen::MatrixXd> lu(matrix);
    if (!(lu.rcond() > kMinReciprocalCondition)) return false;
    precision = lu.inverse();
    return precision.allFinite();
  };
  const double scale = std::max(1.0, covariance.cwiseAbs().maxCoeff());
  return factorise_with_smallest_ridge(
      covariance, 0.0, scale, "haplotype_allele_probs_multi: conditional covariance", invert);
}

void check_fitted(const HaplotypeModel& model, int n, int size) {
  const std::size_t k = model.selected.size();
  if (n < 1 || model.weights.size() != k || model.pattern_of_selected.size() != k ||
      model.mean.size() != std::size_t(size) + 1 ||
      model.conditioning.size() != std::size_t(size) || model.inverse.rows() != size) {
    throw std::logic_error("haplotype_allele_probs_multi: model not fitted to this window");
  }
}

// The weight unit of a model's sums: run lengths over their total, or for a model given
// weights alone, the weights themselves.
bool has_lengths(const HaplotypeModel& model) {
  return model.lengths.size() == model.selected.size() && model.length_sum > 0.0;
}

double carried_weight(const HaplotypeModel& model, std::size_t i) {
  return has_lengths(model) ? model.lengths[i] : model.weights[i];
}

// Per component, the selected haplotypes carrying its allele: their weights in total and
// at every window row (sums: n rows of T), gathered per window pattern first.
void component_sums(const WindowPatterns& patterns, const HaplotypeModel& model,
                    const std::vector<int>& haplotype_alleles, int a, MultiScratch& scratch,
                    double* totals, double* sums) {
  const int n = a - 1;
  const int size = static_cast<int>(patterns.values.rows());
  std::vector<double>& pattern_weight = scratch.pattern_weight;
  std::vector<int>& touched = scratch.touched;
  touched.clear();
  std::fill_n(totals, n, 0.0);
  std::fill_n(sums, static_cast<std::size_t>(n) * size, 0.0);
  for (std::size_t i = 0; i < model.selected.size(); ++i) {
    const std::size_t column = static_cast<std::size_t>(model.selected[i]);
    if (column >= haplotype_alleles.size()) {
      throw std::logic_error("haplotype_allele_probs_multi: reference haplotype " +
                             std::to_string(column) + " has no allele at the variant");
    }
    const int allele = haplotype_alleles[column];
    if (allele == 0) continue;
    if (allele < 0 || allele >= a) {
      throw std::logic_error("haplotype_allele_probs_multi: allele outside the variant");
    }
    const double w = carried_weight(model, i);
    totals[allele - 1] += w;
    double* weights_of_pattern =
        &pattern_weight[static_cast<std::size_t>(model.pattern_of_selected[i]) * n];
    bool fresh = true;
    for (int j = 0; j < n && fresh; ++j) fresh = weights_of_pattern[j] == 0.0;
    if (fresh) touched.push_back(model.pattern_of_selected[i]);
    weights_of_pattern[allele - 1] += w;
  }
  for (int j = 0; j < n; ++j) {
    Eigen::Map<Eigen::VectorXd> sum(sums + static_cast<std::size_t>(j) * size, size);
    for (const int pattern : touched) {
      const double w = pattern_weight[static_cast<std::size_t>(pattern) * n + j];
      if (w != 0.0) sum += w * patterns.values.col(pattern);
    }
  }
  for (const int pattern : touched) {
    std::fill_n(&pattern_weight[static_cast<std::size_t>(pattern) * n], n, 0.0);
  }
}

// Each component's mean and covariances with the window sites from its sums.
void window_covariances(const HaplotypeModel& model, int n, int size, double correction,
                        const double* totals, const double* sums,
                        std::vector<double>& component_mean,
                        std::vector<std::vector<double>>& covariances) {
  const double unit = has_lengths(model) ? 1.0 / model.length_sum : 1.0;
  const Eigen::Map<const Eigen::VectorXd> window_mean(model.mean.data(), size);
  for (int j = 0; j < n; ++j) {
    component_mean[j] = totals[j] * unit;
    std::vector<double>& cov = covariances[j];
    cov.resize(static_cast<std::size_t>(size));
    const Eigen::Map<const Eigen::VectorXd> sum(sums + static_cast<std::size_t>(j) * size, size);
    Eigen::Map<Eigen::VectorXd>(cov.data(), size) =
        (sum * unit - window_mean * component_mean[j]) / correction;
  }
}

// Variant covariance less the part the window explains, and the conditional mean. Indicators
// of two different alleles never both hold, so their cross moment is 0; off the diagonal
// stays unpenalised.
void conditional_moments(const HaplotypeModel& model, int n, int size, double correction,
                         double theta, const std::vector<double>& component_mean,
                         const std::vector<std::vector<double>>& covariances,
                         std::vector<std::vector<double>>& whitened, Eigen::MatrixXd& covariance,
                         Eigen::VectorXd& conditional_mean) {
  covariance.resize(n, n);
  conditional_mean.resize(n);
  // Q = R'R: every cross term cov_j'Q cov_l is a dot product of whitened covariances.
  whitened.resize(static_cast<std::size_t>(n));
  for (int j = 0; j < n; ++j) {
    whitened[j].resize(static_cast<std::size_t>(size));
    model.inverse.whiten(covariances[j].data(), whitened[j].data());
  }
  for (int j = 0; j < n; ++j) {
    const double mean = component_mean[j];
    const double penalty = (mean > kMultiConfidentHigh || mean < kMultiConfidentLow)
                               ? kConfidentPenalty
                               : model.lambda;
    const double* z_j = whitened[j].data();
    covariance(j, j) = (mean - mean * mean) / correction + penalty - lane_dot(z_j, z_j, size);
    for (int l = j + 1; l < n; ++l) {
      const double cross =
          -component_mean[l] * mean / correction - lane_dot(z_j, whitened[l].data(), size);
      covariance(j, l) = cross;
      covariance(l, j) = cross;
    }
    const double shift = lane_dot(z_j, model.conditioning.data(), size);
    conditional_mean[j] = clamp_indicator_mean((1.0 - theta) * mean + 0.5 * theta + shift);
  }
}

// Log density at each allele's code, then normalised relative to the largest.
void allele_densities(const MultiAlleleTables& tables, const Eigen::VectorXd& conditional_mean,
                      const Eigen::MatrixXd& precision, std::vector<double>& allele_probs) {
  const int a = tables.allele_count;
  const int n = a - 1;
  allele_probs.resize(static_cast<std::size_t>(a));
  double largest = -HUGE_VAL;
  Eigen::VectorXd y(n);
  for (int l = 0; l < a; ++l) {
    for (int j = 0; j < n; ++j) y[j] = tables.allele_codes[l][j] - conditional_mean[j];
    allele_probs[l] = -0.5 * y.dot(precision * y);
    largest = std::max(largest, allele_probs[l]);
  }
  double sum = 0.0;
  for (int l = 0; l < a; ++l) {
    allele_probs[l] = std::exp(allele_probs[l] - largest);
    sum += allele_probs[l];
  }
  for (int l = 0; l < a; ++l) allele_probs[l] /= sum;
}

}  // namespace

void allele_probs_from_component_sums(const HaplotypeModel& model, const double* totals,
                                      const double* sums, const MultiAlleleTables& tables,
                                      double theta, MultiScratch& scratch, ModelWarnings& warnings,
                                      std::vector<double>& allele_probs) {
  const int n = tables.allele_count - 1;
  const int size = model.inverse.rows();
  check_fitted(model, n, size);
  scratch.covariances.resize(static_cast<std::size_t>(n));
  scratch.component_mean.resize(static_cast<std::size_t>(n));
  const double correction = 1.0 - model.v2;
  window_covariances(model, n, size, correction, totals, sums, scratch.component_mean,
                     scratch.covariances);
  conditional_moments(model, n, size, correction, theta, scratch.component_mean,
                      scratch.covariances, scratch.whitened, scratch.covariance,
                      scratch.conditional_mean);
  if (invert_with_ridge(scratch.covariance, scratch.precision)) {
    ++warnings.singular_allele_covariances;
  }
  allele_densities(tables, scratch.conditional_mean, scratch.precision, allele_probs);
}

void haplotype_allele_probs_multi(const WindowPatterns& patterns, const HaplotypeModel& model,
                                  const std::vector<int>& haplotype_alleles,
                                  const MultiAlleleTables& tables, double theta,
                                  MultiScratch& scratch, ModelWarnings& warnings,
                                  std::vector<double>& allele_probs) {
  const int a = tables.allele_count;
  const int n = a - 1;
  const int size = static_cast<int>(patterns.values.rows());
  check_fitted(model, n, size);
  const std::size_t pattern_entries = static_cast<std::size_t>(n) * patterns.count();
  if (scratch.pattern_weight.size() < pattern_entries)
    scratch.pattern_weight.assign(pattern_entries, 0.0);
  scratch.totals.resize(static_cast<std::size_t>(n));
  scratch.sums.resize(static_cast<std::size_t>(n) * size);
  component_sums(patterns, model, haplotype_alleles, a, scratch, scratch.totals.data(),
                 scratch.sums.data());
  allele_probs_from_component_sums(model, scratch.totals.data(), scratch.sums.data(), tables, theta,
                                   scratch, warnings, allele_probs);
}

void class_probabilities_multi(const std::vector<double>& first, const std::vector<double>& second,
                               const double* pl_phred, const MultiAlleleTables& tables,
                               std::vector<double>& log10_scratch, ModelWarnings& warnings,
                               std::vector<double>& class_probs) {
  const std::size_t C = static_cast<std::size_t>(tables.class_count());
  log10_scratch.resize(C);
  class_probs.resize(C);
  std::size_t c = 0;
  for (std::size_t m = 0; m < tables.unordered_genotypes.size(); ++m) {
    const auto [u, t] = tables.unordered_genotypes[m];
    const double likelihood = -pl_phred[m] / 10.0;
    log10_scratch[c++] = likelihood + std::log10(first[u]) + std::log10(second[t]);
    if (u != t) log10_scratch[c++] = likelihood + std::log10(first[t]) + std::log10(second[u]);
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < C; ++i) {
    class_probs[i] = std::pow(10.0, log10_scratch[i]);
    sum += class_probs[i];
  }
  if (sum == 0.0 || !std::isfinite(sum)) {
    // Every weight under- or overflowed; rescaling by the largest keeps the ratios.
    const double largest = *std::max_element(log10_scratch.begin(), log10_scratch.end());
    for (std::size_t i = 0; i < C; ++i) class_probs[i] = std::pow(10.0, log10_scratch[i] - largest);
  }
  const double smallest = *std::min_element(class_probs.begin(), class_probs.end());
  sum = 0.0;
  for (std::size_t i = 0; i < C; ++i) {
    class_probs[i] -= smallest;
    sum += class_probs[i];
  }
  if (sum == 0.0) {
    // All classes equally likely: subtracting the smallest left nothing to share out.
    std::fill(class_probs.begin(), class_probs.end(), 1.0 / static_cast<double>(C));
    return;
  }
  for (std::size_t i = 0; i < C; ++i) class_probs[i] /= sum;
  if (*std::min_element(class_probs.begin(), class_probs.end()) < 0.0)
    ++warnings.probability_errors;
}

void shuffle_units(std::vector<int>& order, RandomSource& random) {
  for (std::size_t x = 1; x < order.size(); ++x) {
    const std::size_t j = static_cast<std::size_t>(random.next_int()) % (x + 1);
    std::swap(order[x], order[j]);
  }
}

namespace {

// The component sums of every model the chain reads (single samples' models), kept current
// as alleles change: a changed haplotype moves its weight from the old allele's component
// to the new one's in every model that selected it. Run lengths are whole numbers, so the
// sums stay exactly what summing afresh would give.
class MultiallelicSums {
 public:
  MultiallelicSums(const WindowPatterns& patterns, const std::vector<SampleModel>& models,
                   const std::vector<std::vector<int>>& pedigree,
                   const std::vector<int>& haplotype_alleles, int allele_count,
                   MultiScratch& scratch)
      : patterns_(patterns), n_(allele_count - 1), size_(static_cast<int>(patterns.values.rows())) {
    const std::size_t model_count = 2 * models.size();
    const std::size_t columns = patterns.of_column.size();
    read_.assign(model_count, 0);
    for (const std::vector<int>& row : pedigree) {
      if (row[0] != 1) continue;
      read_[2 * static_cast<std::size_t>(row[1] - 1)] = 1;
      read_[2 * static_cast<std::size_t>(row[1] - 1) + 1] = 1;
    }
    totals_.assign(model_count * n_, 0.0);
    sums_.assign(model_count * n_ * size_, 0.0);
    ref_start_.assign(columns + 1, 0);
    const std::size_t pattern_entries = static_cast<std::size_t>(n_) * patterns.count();
    if (scratch.pattern_weight.size() < pattern_entries)
      scratch.pattern_weight.assign(pattern_entries, 0.0);
    for (std::size_t m = 0; m < model_count; ++m) {
      if (!read_[m]) continue;
      const HaplotypeModel& model = haplotype(models, m);
      component_sums(patterns, model, haplotype_alleles, n_ + 1, scratch, totals(m), sums(m));
      for (const int column : model.selected) ++ref_start_[static_cast<std::size_t>(column) + 1];
    }
    for (std::size_t c = 0; c < columns; ++c) ref_start_[c + 1] += ref_start_[c];
    ref_model_.resize(ref_start_[columns]);
    ref_weight_.resize(ref_start_[columns]);
    std::vector<int> fill(ref_start_.begin(), ref_start_.end() - 1);
    for (std::size_t m = 0; m < model_count; ++m) {
      if (!read_[m]) continue;
      const HaplotypeModel& model = haplotype(models, m);
      for (std::size_t i = 0; i < model.selected.size(); ++i) {
        const int slot = fill[static_cast<std::size_t>(model.selected[i])]++;
        ref_model_[slot] = static_cast<int>(m);
        ref_weight_[slot] = carried_weight(model, i);
      }
    }
  }

  static const HaplotypeModel& haplotype(const std::vector<SampleModel>& models, std::size_t m) {
    return m % 2 == 0 ? models[m / 2].first : models[m / 2].second;
  }
  // data(), not [0]: with an empty window (--numsnps 0) sums_ holds nothing.
  double* totals(std::size_t m) { return totals_.data() + m * n_; }
  double* sums(std::size_t m) { return sums_.data() + m * n_ * size_; }

  // Haplotype column `column` changed from allele `from` to allele `to`.
  void change(int column, int from, int to) {
    if (from == to) return;
    const auto window = patterns_.values.col(patterns_.of_column[static_cast<std::size_t>(column)]);
    for (int e = ref_start_[column]; e < ref_start_[column + 1]; ++e) {
      const std::size_t m = static_cast<std::size_t>(ref_model_[e]);
      for (const auto& [allele, sign] : {std::pair{from, -1.0}, std::pair{to, 1.0}}) {
        if (allele == 0) continue;
        const double w = sign * ref_weight_[e];
        totals(m)[allele - 1] += w;
        Eigen::Map<Eigen::VectorXd>(sums(m) + static_cast<std::size_t>(allele - 1) * size_,
                                    size_) += w * window;
      }
    }
  }

 private:
  const WindowPatterns& patterns_;
  const std::size_t n_;
  const int size_;
  std::vector<char> read_;
  std::vector<double> totals_;
  std::vector<double> sums_;
  std::vector<int> ref_start_;
  std::vector<int> ref_model_;
  std::vector<double> ref_weight_;
};

}  // namespace

void run_multiallelic_chain(const WindowPatterns& patterns, const std::vector<SampleModel>& models,
                            const std::vector<std::vector<int>>& pedigree,
                            const std::vector<double>& site_pls, const MultiAlleleTables& tables,
                            double theta, const ChainSettings& settings, RandomSource& random,
                            std::vector<int>& row_order, std::vector<int>& haplotype_alleles,
                            MultiScratch& scratch, ModelWarnings& warnings,
                            std::vector<double>& genotype_probs, bool model_average) {
  const std::size_t sample_count = models.size();
  const std::size_t C = static_cast<std::size_t>(tables.class_count());
  const std::size_t G = static_cast<std::size_t>(tables.genotype_count());
  if (tables.allele_count < 2) {
    throw std::logic_error("run_multiallelic_chain: a variant needs at least two alleles");
  }
  if (settings.burnin < 0 || settings.iterations <= settings.burnin) {
    throw std::logic_error("run_multiallelic_chain: burn-in must be below the iteration count");
  }
  if (site_pls.size() < G * sample_count || haplotype_alleles.size() != 2 * sample_count ||
      row_order.size() != pedigree.size()) {
    throw std::logic_error(
        "run_multiallelic_chain: likelihoods, alleles or row order do not "
        "match the samples");
  }
  for (const std::vector<int>& row : pedigree) {
    if (row.size() < 2 || row[1] < 1 || static_cast<std::size_t>(row[1]) > sample_count) {
      throw std::logic_error("run_multiallelic_chain: malformed pedigree row");
    }
  }

  genotype_probs.assign(C * sample_count, 0.0);
  std::vector<double> all_probs(model_average ? C * sample_count : 0, 0.0);
  const double recorded_sweeps = settings.iterations - settings.burnin;
  std::vector<double> first;
  std::vector<double> second;
  std::vector<double> probs;
  MultiallelicSums sums(patterns, models, pedigree, haplotype_alleles, tables.allele_count,
                        scratch);
  for (int sweep = 1; sweep <= settings.iterations; ++sweep) {
    const bool record = sweep > settings.burnin;
    shuffle_units(row_order, random);
    for (const int row_index : row_order) {
      const std::vector<int>& row = pedigree[static_cast<std::size_t>(row_index)];
      if (row[0] != 1) continue;  // families are not updated at multi-allelic variants
      const std::size_t sample = static_cast<std::size_t>(row[1]) - 1;
      const SampleModel& model = models[sample];
      const int previous[2] = {haplotype_alleles[2 * sample], haplotype_alleles[2 * sample + 1]};
      allele_probs_from_component_sums(model.first, sums.totals(2 * sample), sums.sums(2 * sample),
                                       tables, theta, scratch, warnings, first);
      allele_probs_from_component_sums(model.second, sums.totals(2 * sample + 1),
                                       sums.sums(2 * sample + 1), tables, theta, scratch, warnings,
                                       second);
      class_probabilities_multi(first, second, &site_pls[G * sample], tables, scratch.log10_weights,
                                warnings, probs);
      const int drawn = draw_class_multi(probs, random.uniform());
      haplotype_alleles[2 * sample] =
          tables.ordered_genotypes[static_cast<std::size_t>(drawn)].first;
      haplotype_alleles[2 * sample + 1] =
          tables.ordered_genotypes[static_cast<std::size_t>(drawn)].second;
      if (record) {
        for (std::size_t c = 0; c < C; ++c)
          genotype_probs[C * sample + c] += probs[c] / recorded_sweeps;
      }
      if (model_average) {
        // The all-haplotype pass reads the same reference sets, which never hold the sample's
        // own haplotypes, so the k-pass draw leaves its class probabilities as they were;
        // only its draw is its own.
        const int drawn_all = draw_class_multi(probs, random.uniform());
        const auto& pair = tables.ordered_genotypes[static_cast<std::size_t>(drawn_all)];
        haplotype_alleles[2 * sample] = pair.first;
        haplotype_alleles[2 * sample + 1] = pair.second;
        if (record) {
          for (std::size_t c = 0; c < C; ++c)
            all_probs[C * sample + c] += probs[c] / recorded_sweeps;
        }
      }
      for (int h = 0; h < 2; ++h) {
        const int column = static_cast<int>(2 * sample) + h;
        sums.change(column, previous[h], haplotype_alleles[static_cast<std::size_t>(column)]);
      }
    }
  }
  if (model_average) keep_more_certain(genotype_probs, all_probs, static_cast<int>(C));
}
