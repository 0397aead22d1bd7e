#include "chain/run_chain.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "chain/biallelic_chain.h"
#include "chain/family.h"
#include "chain/model_average.h"

void run_biallelic_chain(WindowMatrix& M, std::vector<SampleModel>& models,
                         const std::vector<std::vector<int>>& pedigree,
                         const std::vector<double>& site_pls, const ChainSettings& settings,
                         RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                         std::vector<double>& genotype_probs, FamilyUnits* family,
                         ModelAverage* average) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  run_biallelic_chain(M, patterns, models, pedigree, site_pls, settings, random, scratch, warnings,
                      genotype_probs, family, average);
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
  BiallelicChain chain(M, patterns, models, pedigree, site_pls, family, scratch, warnings);
  std::unique_ptr<AllHaplotypeChain> all_chain;
  if (average != nullptr) {
    if (average->models.size() != sample_count || average->alleles.size() != 2 * sample_count) {
      throw std::logic_error("run_biallelic_chain: all-haplotype chain does not match the samples");
    }
    for (std::size_t sample = 0; sample < sample_count; ++sample) {
      if (chain.modelled(static_cast<int>(sample)) && !average->models[sample].fitted()) {
        throw std::logic_error("run_biallelic_chain: sample without an all-haplotype model");
      }
    }
    all_chain = std::make_unique<AllHaplotypeChain>(*average, M, warnings);
  }

  genotype_probs.assign(4 * sample_count, 0.0);
  // One sweep's class probabilities: a sample in two units is written twice and keeps the
  // later values, so the sweep is gathered before it is added to the averages.
  std::vector<double> sweep_probs(4 * sample_count, 0.0);
  std::vector<double> sweep_probs_all(average != nullptr ? 4 * sample_count : 0, 0.0);
  if (average != nullptr) average->genotype_probs.assign(4 * sample_count, 0.0);
  const double recorded_sweeps = settings.iterations - settings.burnin;

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
        chain.update_trio(unit, random, record_to);
        if (all_chain) all_chain->update_trio(unit, *family, random, record_all_to);
        continue;
      }
      if (unit[0] == 2) {
        chain.update_duo(unit, random, record_to);
        if (all_chain) all_chain->update_duo(unit, *family, random, record_all_to);
        continue;
      }
      const int sample = unit[1] - 1;
      const std::array<double, 4> probs = chain.update_single(sample, random);
      if (record) std::copy(probs.begin(), probs.end(), &sweep_probs[4 * sample]);
      if (all_chain) {
        const std::array<double, 4> probs_all =
            all_chain->update_single(sample, &site_pls[3 * sample], random);
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
