#pragma once

// How well the models predict alleles they have not seen. At a scaffold site left out of
// its own window, every other haplotype holds its true allele in the variant row, as a
// called variant's alleles are held during the sweeps, and each modelled haplotype's own
// true allele is scored under its model's conditional moments. A model never sees its own
// sample's columns, so nothing it predicts is given to it.

#include <cstdint>
#include <vector>

#include "chain/haplotype_moments.h"
#include "model/model.h"

struct HeldOutScore {
  double log_prob = 0.0;  // sum of the natural logarithms of the true alleles' probabilities
  double errors = 0.0;    // true alleles less probable than the other (a tie counts one half)
  std::int64_t count = 0;

  void add(const HeldOutScore& o) {
    log_prob += o.log_prob;
    errors += o.errors;
    count += o.count;
  }
  double mean_log_prob() const { return count > 0 ? log_prob / static_cast<double>(count) : 0.0; }
  double error_rate() const { return count > 0 ? errors / static_cast<double>(count) : 0.0; }
};

// A probability below this counts as this in the logarithm: one confident miss must not
// outweigh every other prediction of a setting.
constexpr double kHeldOutFloor = 1e-6;

// Scores the models of the samples with modelled[s] set against the variant row of M (its
// last), which holds every haplotype column's true allele (0 or 1).
void score_held_out_alleles(const WindowMatrix& M, const WindowPatterns& patterns,
                            const std::vector<SampleModel>& models,
                            const std::vector<char>& modelled, SamplerScratch& scratch,
                            ModelWarnings& warnings, HeldOutScore& score);
