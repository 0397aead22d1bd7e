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

namespace {

void check_settings(const ChainSettings& settings) {
  if (settings.burnin < 0 || settings.iterations <= settings.burnin) {
    throw std::logic_error("run_biallelic_chain: burn-in must be below the iteration count");
  }
}

// One variant's chain during its sweeps: the k-model chain, the all-haplotype chain when
// models are averaged, and the class probabilities of the sweep in hand. A sample in two
// units is written twice in a sweep and keeps the later values, so a sweep is gathered
// before it is added to the averages.
struct SweepState {
  BiallelicChain* chain = nullptr;
  AllHaplotypeChain* all_chain = nullptr;
  FamilyUnits* family = nullptr;
  const std::vector<double>* site_pls = nullptr;
  RandomSource* random = nullptr;
  std::vector<double>* genotype_probs = nullptr;
  std::vector<double>* all_genotype_probs = nullptr;  // with all_chain
  std::vector<double> sweep_probs;
  std::vector<double> sweep_probs_all;
  int recorded = 0;          // sweeps added so far
  bool settled = false;      // stopped early: no more sweeps
  std::vector<double> mark;  // running posteriors at the last look (settle_tolerance)

  void start(std::size_t sample_count) {
    genotype_probs->assign(4 * sample_count, 0.0);
    sweep_probs.assign(4 * sample_count, 0.0);
    if (all_chain == nullptr) return;
    sweep_probs_all.assign(4 * sample_count, 0.0);
    all_genotype_probs->assign(4 * sample_count, 0.0);
  }

  void update(const std::vector<int>& unit, bool record) {
    double* const record_to = record ? sweep_probs.data() : nullptr;
    double* const record_all_to = record && all_chain ? sweep_probs_all.data() : nullptr;
    if (unit[0] == 3) {
      chain->update_trio(unit, *random, record_to);
      if (all_chain) all_chain->update_trio(unit, *family, *random, record_all_to);
      return;
    }
    if (unit[0] == 2) {
      chain->update_duo(unit, *random, record_to);
      if (all_chain) all_chain->update_duo(unit, *family, *random, record_all_to);
      return;
    }
    const int sample = unit[1] - 1;
    const std::array<double, 4> probs = chain->update_single(sample, *random);
    if (record) std::copy(probs.begin(), probs.end(), &sweep_probs[4 * sample]);
    if (all_chain) {
      const std::array<double, 4> probs_all =
          all_chain->update_single(sample, &(*site_pls)[3 * sample], *random);
      if (record) std::copy(probs_all.begin(), probs_all.end(), &sweep_probs_all[4 * sample]);
    }
  }

  void add_sweep(double recorded_sweeps) {
    for (std::size_t c = 0; c < sweep_probs.size(); ++c) {
      (*genotype_probs)[c] += sweep_probs[c] / recorded_sweeps;
    }
    for (std::size_t c = 0; c < sweep_probs_all.size(); ++c) {
      (*all_genotype_probs)[c] += sweep_probs_all[c] / recorded_sweeps;
    }
    ++recorded;
  }

  // The sums are divided by every recorded sweep of a full run, so a chain that ran them
  // all keeps its bits; one that settled early is scaled to the sweeps it ran.
  double scale_to_run(double recorded_sweeps) const { return recorded_sweeps / recorded; }

  // Whether no running posterior moved by more than tolerance since the last look; the
  // current ones become the mark.
  bool settles(double tolerance, double recorded_sweeps) {
    const double scale = scale_to_run(recorded_sweeps);
    const std::size_t size = genotype_probs->size();
    const bool first_look = mark.empty();
    mark.resize(size + (all_chain ? size : 0));
    double moved = 0.0;
    for (std::size_t c = 0; c < mark.size(); ++c) {
      const double now =
          (c < size ? (*genotype_probs)[c] : (*all_genotype_probs)[c - size]) * scale;
      moved = std::max(moved, std::abs(now - mark[c]));
      mark[c] = now;
    }
    return !first_look && moved <= tolerance;
  }

  void finish(double recorded_sweeps) {
    if (recorded == 0 || recorded == recorded_sweeps) return;
    const double scale = scale_to_run(recorded_sweeps);
    for (double& p : *genotype_probs) p *= scale;
    if (all_chain == nullptr) return;
    for (double& p : *all_genotype_probs) p *= scale;
  }
};

// The sweeps of every chain in states, unit by unit: each unit is updated in every chain
// before the next unit.
void run_sweeps(std::vector<SweepState>& states, const std::vector<std::vector<int>>& pedigree,
                const ChainSettings& settings) {
  const double recorded_sweeps = settings.iterations - settings.burnin;
  std::size_t running = states.size();
  for (int sweep = 1; sweep <= settings.iterations && running > 0; ++sweep) {
    const bool record = sweep > settings.burnin;
    if (sweep == settings.burnin + 1 && settings.settle_tolerance > 0.0 &&
        settings.settle_samples) {
      // Past the burn-in a confident sample stops drawing.
      for (SweepState& state : states) {
        state.chain->settle_confident(1.0 - settings.settle_tolerance, kSettleUpdates);
      }
    }
    if (record) {
      for (SweepState& state : states) {
        std::fill(state.sweep_probs.begin(), state.sweep_probs.end(), 0.0);
        std::fill(state.sweep_probs_all.begin(), state.sweep_probs_all.end(), 0.0);
      }
    }
    for (const std::vector<int>& unit : pedigree) {
      for (SweepState& state : states) {
        if (!state.settled) state.update(unit, record);
      }
    }
    if (!record) continue;
    for (SweepState& state : states) {
      if (state.settled) continue;
      state.add_sweep(recorded_sweeps);
      if (settings.settle_tolerance > 0.0 && sweep < settings.iterations &&
          state.recorded % kSettleSweeps == 0 &&
          state.settles(settings.settle_tolerance, recorded_sweeps)) {
        state.settled = true;
        --running;
      }
    }
  }
  for (SweepState& state : states) state.finish(recorded_sweeps);
}

}  // namespace

int run_biallelic_chain(WindowMatrix& M, const std::vector<SampleModel>& models,
                        const std::vector<std::vector<int>>& pedigree,
                        const std::vector<double>& site_pls, const ChainSettings& settings,
                        RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                        std::vector<double>& genotype_probs, FamilyUnits* family,
                        ModelAverage* average) {
  WindowPatterns patterns;
  patterns.build(M, static_cast<int>(M.cols()));
  return run_biallelic_chain(M, patterns, models, pedigree, site_pls, settings, random, scratch,
                             warnings, genotype_probs, family, average);
}

int run_biallelic_chain(WindowMatrix& M, const WindowPatterns& patterns,
                        const std::vector<SampleModel>& models,
                        const std::vector<std::vector<int>>& pedigree,
                        const std::vector<double>& site_pls, const ChainSettings& settings,
                        RandomSource& random, SamplerScratch& scratch, ModelWarnings& warnings,
                        std::vector<double>& genotype_probs, FamilyUnits* family,
                        ModelAverage* average) {
  const std::size_t sample_count = models.size();
  check_settings(settings);
  BiallelicChain chain(M, patterns, models, pedigree, site_pls, variant_row(M), family, scratch,
                       warnings);
  if (settings.phase_with_penalty) chain.phase_with_penalty();
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
  std::vector<SweepState> states(1);
  SweepState& state = states[0];
  state.chain = &chain;
  state.all_chain = all_chain.get();
  state.family = family;
  state.site_pls = &site_pls;
  state.random = &random;
  state.genotype_probs = &genotype_probs;
  state.all_genotype_probs = average != nullptr ? &average->genotype_probs : nullptr;
  state.start(sample_count);
  run_sweeps(states, pedigree, settings);
  if (average != nullptr) keep_more_certain(genotype_probs, average->genotype_probs, 4);
  M.row(M.rows() - 1) = Eigen::Map<const Eigen::RowVectorXd>(chain.alleles().data(), M.cols());
  return settings.burnin + state.recorded;
}

void run_biallelic_chains(const WindowMatrix& M, const WindowPatterns& patterns,
                          const std::vector<SampleModel>& models,
                          const std::vector<std::vector<int>>& pedigree,
                          const ChainSettings& settings, std::vector<ChainTask>& tasks,
                          const SelectionIndex* index) {
  check_settings(settings);
  if (tasks.empty()) return;
  std::vector<std::unique_ptr<BiallelicChain>> chains;
  std::vector<SweepState> states(tasks.size());
  for (std::size_t t = 0; t < tasks.size(); ++t) {
    ChainTask& task = tasks[t];
    chains.push_back(std::make_unique<BiallelicChain>(M, patterns, models, pedigree, *task.site_pls,
                                                      std::move(task.initial_alleles), task.family,
                                                      *task.scratch, task.warnings, index));
    if (settings.phase_with_penalty) chains.back()->phase_with_penalty();
    chains.back()->use_copying_prior(&task.copying);
    SweepState& state = states[t];
    state.chain = chains.back().get();
    state.family = task.family;
    state.site_pls = task.site_pls;
    state.random = task.random;
    state.genotype_probs = &task.genotype_probs;
    state.start(models.size());
  }
  run_sweeps(states, pedigree, settings);
  for (std::size_t t = 0; t < tasks.size(); ++t)
    tasks[t].sweeps = settings.burnin + states[t].recorded;
}
