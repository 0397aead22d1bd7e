#pragma once

// Class-probability kernels of the chains and the constants they share. Plain values in,
// plain values out, so every chain (bi-allelic, multi-allelic, family, all-haplotype)
// draws from the same arithmetic.

#include <array>
#include <vector>

// Alleles of the phased classes 0|0, 1|1, 0|1, 1|0.
constexpr int kFirstAllele[4] = {0, 1, 0, 1};
constexpr int kSecondAllele[4] = {0, 1, 1, 0};

// A bi-allelic variant mean closer to 0 or 1 than the model's rare_band takes a fixed
// variance instead of the haplotype's penalty; multi-allelic indicators are held to a
// tighter band.
constexpr double kMultiConfidentHigh = 0.999;
constexpr double kMultiConfidentLow = 0.001;
constexpr double kConfidentPenalty = 0.09;

// Bounds an indicator mean outside the unit interval is clamped to.
constexpr double kClampLow = 0.00001;
constexpr double kClampHigh = 0.99999;

// log10(1 - 1e-8) for a transmitted allele that matches, log10(1e-8) for one that does not.
constexpr double kTransmissionKept = -4.342944862569495e-9;
constexpr double kTransmissionBroken = -8.0;
// Floor of the shift that keeps the joint's powers of ten in range.
constexpr double kJointShiftFloor = -10000.0;

struct ConditionalMoments {
  double mean = 0.0;
  double variance = 0.0;
  // The variance with the haplotype's own penalty even where `variance` takes the fixed one:
  // equal to it inside the confident band.
  double phase_variance = 0.0;
};

// A second prior on each sample haplotype's allele at the variant, mixed into the window
// model's: P(allele 1) per sample haplotype (below 0: none for that haplotype).
struct CopyingPrior {
  double weight = 0.0;
  std::vector<double> allele_one;
  bool used() const { return weight > 0.0 && !allele_one.empty(); }
};
// A copied probability is held this far from 0 and 1, so no allele becomes impossible.
constexpr double kCopiedProbabilityFloor = 1e-4;

// (1 - weight) probs + weight (1 - p, p), p the copied P(allele 1) held off 0 and 1.
std::array<double, 2> mix_copying_prior(const std::array<double, 2>& probs, double allele_one,
                                        double weight);

// (P(allele 0), P(allele 1)) from the conditional normal density at 0 and at 1.
std::array<double, 2> allele_probs_from_moments(const ConditionalMoments& moments);

// ln(10) / 10: 10^(-PL/10) is exp(-PL * kLn10PerPhred).
constexpr double kLn10PerPhred = 0.23025850929940458;

// 10^(-PL/10) for the genotypes 0/0, 0/1, 1/1, scaled so that the likeliest is 1 (the scale
// cancels in any normalised probability, and no product of them overflows).
std::array<double, 3> genotype_likelihoods(const double* pl_phred);

// Normalised probabilities of the classes 0|0, 1|1, 0|1, 1|0 from the two haplotypes'
// allele probabilities and the sample's Phred likelihoods (0/0, 0/1, 1/1): products of
// likelihood and allele probabilities, or in log10 where those products underflow.
// likelihoods: genotype_likelihoods(pl_phred), taken once per site.
std::array<double, 4> class_probabilities(const std::array<double, 2>& first,
                                          const std::array<double, 2>& second,
                                          const std::array<double, 3>& likelihoods,
                                          const double* pl_phred);
// The same, taking the likelihoods from the Phred values.
std::array<double, 4> class_probabilities(const std::array<double, 2>& first,
                                          const std::array<double, 2>& second,
                                          const double* pl_phred);

// Shares the heterozygous mass of class_probs (0|1 plus 1|0) out again in the ratio the
// haplotypes' phase probabilities give it, leaving the genotype's probabilities as they are.
void split_heterozygote(std::array<double, 4>& class_probs, const std::array<double, 2>& first,
                        const std::array<double, 2>& second);

// Class chosen by cumulative comparison with u (ties go to the lower class).
int draw_class(const std::array<double, 4>& class_probs, double u);

// The class c (1 <= c < C) with S_c < u <= S_(c+1), S_c the sum of the first c
// probabilities; u at or below the first probability gives class 0, u beyond the total
// (rounding) the last class with a positive probability.
int draw_class_multi(const std::vector<double>& class_probs, double u);

// The penalty added to a bi-allelic variant's conditional variance: the fixed one where the
// variant mean lies below band or above 1 - band, lambda elsewhere.
double variant_penalty(double variant_mean, double lambda, double band);

// Conditional mean of an indicator clamped into the unit interval: below 0 gives
// kClampLow, above 1 gives kClampHigh.
double clamp_indicator_mean(double mean);
