#pragma once

// How well each sample's scaffold genotypes fit the reads, at the array sites where the
// likelihood file has records: a sample swap, a mislabelled array or a scaffold whose
// columns follow another sample order shows as a scaffold that fits its own sample's reads
// no better than a stranger's, or another sample's better.
//
// At a site, sample j's reads R_j are scored against a genotype g by
//   X_j(g) = log10(((1 - e) P(R_j | g) + e P_j) / P_j),  P_j = sum_g HWE(g) P(R_j | g),
// the evidence that the reads come from g rather than from anyone of the cohort (HWE at
// the scaffold's allele frequency; e allows for array and read errors). A sample's fit is
// the sum of X over the sites at its scaffold genotype, measured in standard deviations
// above what a genotype drawn at random from HWE would score against the same reads:
//   z = (fit - mean) / sd.
// Reads without information add nothing to any of these. The fit expected were the
// scaffold the reads' own genotype (drawn from the reads' posterior) tells whether the
// reads can show a match at all: a sample is judged alone only when it reaches
// kMinExpectedZ.

#include <cstdint>
#include <vector>

struct SampleFit {
  double z_own = 0.0;       // the scaffold's fit to the sample's own reads
  double expected_z = 0.0;  // the fit expected were the scaffold right
  bool judged = false;      // expected_z reaches kMinExpectedZ
  // The other sample whose reads the scaffold fits best (-1: none), and by how many
  // standard deviations that fit exceeds the fit to its own reads, both over the sites
  // compared pairwise; judged_in_pairs as judged, over those sites.
  int best_other = -1;
  double margin_over_own = 0.0;
  bool judged_in_pairs = false;
};

struct ScaffoldFitReport {
  int sites = 0;
  int pair_sites = 0;
  std::vector<SampleFit> samples;
  // All samples' fits taken together, and their expectation: a scaffold whose columns are
  // in another order than the samples' fails here (as a sample does alone) even where each
  // sample has too few reads to be judged alone.
  double cohort_z = 0.0;
  double cohort_expected_z = 0.0;
  // The samples refused (0-based, ascending), each judged alone: fitting their own reads no
  // better than chance, or less than kShareOfExpected of what a right scaffold would (a
  // relative's array), or fitting another sample's reads better by kMarginZ.
  std::vector<int> no_better_than_chance;
  std::vector<int> below_expected;
  std::vector<int> fits_another;
  bool cohort_below_expected = false;
  bool fails() const {
    return cohort_below_expected || !no_better_than_chance.empty() || !below_expected.empty() ||
           !fits_another.empty();
  }
};

// A fit below this many standard deviations above chance is no better than chance.
constexpr double kChanceZ = 3.0;
// A scaffold is judged (alone, or the cohort's together) only where the reads could show a
// match this clearly.
constexpr double kMinExpectedZ = 6.0;
// A right scaffold fits its own reads close to the expectation (at least 0.73 of it in every
// sample of the simulated and real-haplotype cohorts measured); a related person's array
// fits well above chance but far below it.
constexpr double kShareOfExpected = 0.5;
// Another sample's reads must fit by this many standard deviations more than the sample's
// own to name it.
constexpr double kMarginZ = 3.0;
// The share of a read's evidence allowed to be wrong (array and read errors).
constexpr double kFitErrorShare = 0.02;

class ScaffoldFit {
 public:
  explicit ScaffoldFit(int sample_count);

  // One array site: each sample's scaffold genotype (its count of allele 1, 0 to 2), each
  // sample's three Phred likelihoods (0/0, 0/1, 1/1), and the share of allele 1 among the
  // scaffold's haplotypes. compare_pairs keeps the site for the comparison of every sample's
  // scaffold with every other sample's reads.
  void add_site(const std::vector<std::uint8_t>& genotypes, const std::vector<double>& pl_phred,
                double allele_share, bool compare_pairs);

  // The report, with the pairwise comparison spread over threads.
  ScaffoldFitReport finish(int threads) const;

 private:
  int n_;
  int sites_ = 0;
  // Per sample, over every site: the fit, its mean and variance by chance, and its
  // expectation were the scaffold right.
  std::vector<double> fit_, mean_, variance_, expected_;
  // Per pair site: X of every sample's reads at each genotype, [site][genotype][sample];
  // with the scaffold genotypes and the chance mean and variance per sample.
  std::vector<float> pair_scores_;
  std::vector<std::uint8_t> pair_genotypes_;  // [site][sample]
  std::vector<double> pair_mean_, pair_variance_, pair_expected_;
  int pair_sites_ = 0;
};
