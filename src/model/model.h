#pragma once

// Per-variant model: the window of flanking scaffold sites, the shared-run lengths
// between haplotypes, and each sample haplotype's k-haplotype normal model.
// Everything here works on plain data; nothing reads files or prints.

#include <Eigen/Dense>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/random_source.h"

// Window matrix M: `totalsnps` rows (the window's scaffold sites in position order,
// the variant row last) by 2N + R haplotype columns holding allele values 0.0 / 1.0.
// Column-major, so one haplotype's window is contiguous.
using WindowMatrix = Eigen::MatrixXd;

// M's variant row (its last), one allele per haplotype column.
std::vector<double> variant_row(const WindowMatrix& M);

// The inverse Q of a penalised window covariance, kept whole as R = L^-1, L the Cholesky
// factor of the covariance (covariance = L L', so Q = R'R): c'Qc = |Rc|^2 and
// c'Qd = (Rc).(Rd), one triangular product per vector and no entry dropped. R is held in
// single precision when the covariance is well conditioned (as the default penalty keeps
// the windows of typical settings): half the memory and twice the entries per vector of the
// products that dominate the sweeps. Such a covariance is also factorised and inverted in
// single precision (float_cholesky.h): the rounding of the float factor is amplified by the
// condition number, so the moments move by about 1e-6 of their size. An ill-conditioned one
// (a small --lambda) would amplify it further, so it is factorised in double and, below the
// bar, keeps R in double.
class Inverse_Matrix {
 public:
  // Keeps the lower triangle of `lower_inverse` (size x size) packed for the whitening
  // kernel (see pack_lower_tiles), in single precision when `single`.
  void assign(const Eigen::MatrixXd& lower_inverse, int size, bool single);
  // z = R u; u and z hold rows() entries.
  void whiten(const double* u, double* z) const;
  int rows() const { return size_; }
  bool single_precision() const { return packed_double.empty(); }

  std::vector<float> packed;          // R in the tile order of pack_lower_tiles, or empty
  std::vector<double> packed_double;  // the same in double when not single, else empty

 private:
  int size_ = 0;
};

// The distinct window haplotypes: columns of M that agree at every window row share a
// pattern. Windows of linked sites hold far fewer patterns than haplotypes, so moments
// summed per pattern cost a fraction of those summed per haplotype.
struct WindowPatterns {
  std::vector<int> of_column;  // pattern index of each haplotype column in use
  Eigen::MatrixXd values;      // window rows (T) by patterns: the alleles of each pattern
  bool binary = true;          // every value 0 or 1, so weighted sums are whole numbers
  // When binary: each pattern as whole-number masks (all bits set where it has a 1), rows
  // padded with zeros to mask_rows, for weighted_binary_gram.
  std::vector<std::int32_t> masks;
  int mask_rows = 0;

  // Groups the first `columns` columns of M by their window rows (all rows but the last).
  void build(const WindowMatrix& M, int columns);
  int count() const { return static_cast<int>(values.cols()); }
};

// Variant means below this or above 1 minus it take a fixed variance at the variant instead
// of the penalty (the models' default; --rare-band sets a run's).
constexpr double kConfidentLow = 0.01;

// The k-haplotype model of one sample haplotype, rebuilt whenever the window is.
struct HaplotypeModel {
  std::vector<int> selected;             // 0-based haplotype columns, longest shared run first
  std::vector<double> weights;           // run length / sum of the selected run lengths
  std::vector<int> lengths;              // run length of each selected haplotype
  double length_sum = 0.0;               // sum of the selected run lengths
  std::vector<int> pattern_of_selected;  // window pattern of each selected haplotype
  double v2 = 0.0;                       // sum of squared weights
  double lambda = 0.0;                   // penalty of this haplotype
  double rare_band = kConfidentLow;      // where the fixed variance takes over from it
  std::vector<double> mean;  // weighted mean at rows 0..T (entry T: of the alleles at fit time)
  Inverse_Matrix inverse;    // inverse of the penalised T x T window covariance
  // R d (Q = R'R), with d the haplotype's own window alleles minus the shrunk window
  // means; constant while the window stands, so c'Qd = (Rc).(Rd) is one dot product.
  std::vector<double> conditioning;
  // R times the window means: an allele change moves R cov along R x - R mean, x the
  // changed haplotype's window, so the chain can follow R cov without whitening it anew.
  std::vector<double> whitened_mean;

  // The heap memory the model holds.
  std::size_t held_bytes() const;
};

// Per-sample models of the k-haplotype model.
struct SampleModel {
  HaplotypeModel first;
  HaplotypeModel second;
};

// Counters of numerical fallbacks, reported once per run.
struct ModelWarnings {
  std::int64_t ridge_windows = 0;                // covariances inverted after adding a ridge
  std::int64_t nonpositive_variances = 0;        // conditional variances replaced by the penalty
  std::int64_t singular_allele_covariances = 0;  // multi-allelic ones inverted after a ridge
  std::int64_t probability_errors = 0;           // class weights that came out negative

  void add(const ModelWarnings& o) {
    ridge_windows += o.ridge_windows;
    nonpositive_variances += o.nonpositive_variances;
    singular_allele_covariances += o.singular_allele_covariances;
    probability_errors += o.probability_errors;
  }
};

// Shrinkage weight of the k-haplotype model: (1/H) / (k + 1/H), H = sum_{m=1}^{k-1} 1/m.
// k <= 1 (empty sum) gives the limit 1.
double shrinkage_weight(int k);

// Picks the k haplotypes with the longest shared runs (stable: ties keep the lower
// column), weights them by run length and fills selected, weights and v2.
// run_lengths holds one entry per haplotype column in use (-1 for the sample's own);
// the columns in `excluded` count as run length 0. Returns false when the selected run
// lengths sum to 0 or the squared weights sum to 1 (no usable reference set).
bool select_haplotypes(const std::vector<int>& run_lengths, const std::vector<int>& excluded, int k,
                       HaplotypeModel& model);
// The weights, length_sum and v2 of a selection whose columns and lengths are set; the
// same return as select_haplotypes.
bool weigh_selected(HaplotypeModel& model);

// R d for the deviation d = own - (1 - theta) mean - theta / 2 of a haplotype's window
// alleles from its shrunk window means (Q = R'R): the conditioning the chain dots with R cov.
void whitened_deviation(const Inverse_Matrix& inverse, const double* own, const double* mean,
                        double theta, std::vector<double>& out);

// Working space of the fits, kept across models and windows so a rebuild allocates only
// when the window grows.
struct FitScratch {
  Eigen::VectorXd pattern_weight;
  Eigen::MatrixXd deviations;
  Eigen::MatrixXd covariance;
  Eigen::MatrixXd factor;
  std::vector<float> single_factor;  // the float Cholesky factor (float_cholesky.h)
  std::vector<float> single_block;   // working space of its inverse
  std::vector<std::int32_t> run_second;
  std::vector<std::int64_t> run_first;
  std::vector<std::int32_t> pattern_length;
};

// Fills mean (rows 0..T of M, T = M.rows() - 1), inverse and conditioning of a model
// whose selection is set: penalised weighted covariance of the window rows, factorised
// (Cholesky; a ridge is added when it is not positive definite) and inverted whole.
// own_column is the haplotype's own column of M; theta the shrinkage weight.
void fit_haplotype_model(const WindowMatrix& M, const WindowPatterns& patterns, int own_column,
                         double theta, HaplotypeModel& model, ModelWarnings& warnings,
                         FitScratch& scratch);
class RunWeightedMoments;
// The same fit from the run-weighted sums of the window (run_moments.h), for a model that
// selected every column but its own two at their shared-run lengths (or 0, relatives).
// run_lengths is the haplotype's row of shared-run lengths. Returns false, changing
// nothing, when the model's selection is not of that kind.
bool fit_haplotype_model_from_runs(const WindowMatrix& M, const WindowPatterns& patterns,
                                   const RunWeightedMoments& moments, int own_column,
                                   const std::vector<int>& run_lengths, double theta,
                                   HaplotypeModel& model, ModelWarnings& warnings,
                                   FitScratch& scratch);
// The same, grouping the window's patterns first (for a single fit).
void fit_haplotype_model(const WindowMatrix& M, int own_column, double theta, HaplotypeModel& model,
                         ModelWarnings& warnings);

// Hardy-Weinberg initial genotypes of a bi-allelic variant. site_pls holds 3 Phred
// values per sample (0/0, 0/1, 1/1). Iterates the allele frequencies (at most 10 passes),
// gives each sample its most probable genotype (ties to the lower) with a random phase
// for heterozygotes, and writes the 2N alleles into haplotypes. allele_frequencies holds
// the two starting frequencies (0.5, 0.5 for a new variant) and receives the final ones.
void initial_genotypes_biallelic(const std::vector<double>& site_pls, int sample_count,
                                 RandomSource& random, std::vector<double>& allele_frequencies,
                                 std::vector<int>& haplotypes);

// Allele tables of a variant with a alleles (a >= 2). A haplotype's allele l is coded as
// a - 1 indicators: allele 0 all zero, allele l a 1 at component l - 1.
struct MultiAlleleTables {
  int allele_count = 0;
  std::vector<std::vector<int>> allele_codes;  // a rows of a - 1 indicators
  // The a*a phased classes (first haplotype's allele, second's): for s = 0..a-1 and
  // t = 0..s, (t, s) and, when t != s, (s, t).
  std::vector<std::pair<int, int>> ordered_genotypes;
  // The a(a+1)/2 genotypes in VCF order: (t, s) for s = 0..a-1, t = 0..s.
  std::vector<std::pair<int, int>> unordered_genotypes;
  int class_count() const { return allele_count * allele_count; }
  int genotype_count() const { return allele_count * (allele_count + 1) / 2; }
};
MultiAlleleTables multi_allele_tables(int allele_count);

// Hardy-Weinberg initial genotypes of a variant with a alleles. site_pls holds G Phred
// values per sample in VCF genotype order. Iterates the allele frequencies (at most 20
// passes) from allele_frequencies (a entries, 1/a each for a new variant; receives the
// final ones), gives each sample its most probable genotype (the first maximum) and a
// random phase: u > 0.5 keeps the genotype's order, else it is swapped. haplotypes
// receives 2N allele indices.
void initial_genotypes_multiallelic(const std::vector<double>& site_pls, int sample_count,
                                    const MultiAlleleTables& tables, RandomSource& random,
                                    std::vector<double>& allele_frequencies,
                                    std::vector<int>& haplotypes);

// Initial alleles from an initialization file's 2N allele indices: each sample's pair is
// looked up among the ordered genotypes; a pair the variant does not have becomes 0|0. A
// sample whose alleles are negative (not called in the file) keeps what haplotypes held
// (0|0 where it held nothing).
void initial_genotypes_from_file(const std::vector<int>& file_alleles, int sample_count,
                                 const MultiAlleleTables& tables, std::vector<int>& haplotypes);
