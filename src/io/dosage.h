#pragma once

// Genotype probabilities, ALT dosages and the info score of a site, from the averaged
// phased class probabilities of its samples. Plain data in, plain values out.

#include <vector>

// Unordered genotype probabilities in VCF order, a(a + 1) / 2 of them, from the a * a phased
// classes (bi-allelic order 0|0 1|1 0|1 1|0, else the order of ordered_genotype_pairs).
void unordered_genotype_probabilities(const double* classes, int allele_count, double* gp);

// Per updated sample its genotype probabilities and ALT dosages, from the averaged class
// probabilities the --mp file rounds, and the site's info measure per ALT allele.
struct SiteDosages {
  std::vector<double> gp;      // a(a + 1) / 2 per sample
  std::vector<double> dosage;  // a - 1 per sample
  std::vector<double> info;    // per ALT allele
};
// classes: a * a values per sample; a sample whose values are all 0 (never updated) is left
// out of the info measure and keeps zeros.
void site_dosages(const double* classes, int allele_count, int sample_count, SiteDosages& site);

// The info measure of each ALT allele x over the samples added: with e_i and f_i sample i's
// expected count of x and of its square and theta = sum e_i / 2n,
//   info = 1 - sum (f_i - e_i^2) / (2 n theta (1 - theta)),
// and 1 where theta is 0 or 1 (a monomorphic estimate carries no uncertainty).
class InfoScore {
 public:
  explicit InfoScore(int allele_count);
  // One sample's genotype probabilities (VCF order); dosage receives its a - 1 ALT dosages.
  void add(const double* gp, double* dosage);
  double score(int alt) const;  // alt = 1 .. a - 1

 private:
  int allele_count_;
  int samples_ = 0;
  std::vector<double> dosage_sum_;    // sum e_i per ALT allele
  std::vector<double> variance_sum_;  // sum (f_i - e_i^2) per ALT allele
};
