#pragma once

// Readers and writers of dorsane's file formats. Each reader works on an
// std::istream so it can be tested on a string; CallSNP opens the files.

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// ---- Position list (--list) ----
struct PositionList {
  std::vector<std::uint64_t> positions;  // ascending, duplicates kept
  int line_count = 0;
};
PositionList read_positions(std::istream& in, const std::string& file_name);

// ---- Sample list (--sample-file) ----
// One ID per non-blank line (its last token), in file order.
std::vector<std::string> read_sample_ids(std::istream& in, const std::string& file_name);

// ---- Genotype orders and call rules (VCF writer, posterior merge) ----
using AllelePair = std::pair<int, int>;
// The a*a ordered pairs: for s = 0..a-1, t = 0..s: (t, s) and, when t != s, (s, t).
std::vector<AllelePair> ordered_genotype_pairs(int allele_count);
// The a(a+1)/2 unordered pairs in VCF genotype order: (t, s) for s = 0..a-1, t = 0..s.
std::vector<AllelePair> unordered_genotype_pairs(int allele_count);

// Bi-allelic call from the four phased class probabilities; sets posterior.
std::string genotype_vcf(double& p00, double& p11, double& p01, double& p10, double& posterior);
// Multi-allelic call for 0-based sample: returns the index into `ordered` of the
// called class and sets posterior. probabilities holds class_count values per sample.
int genotype_vcf_multi(const std::vector<double>& probabilities, int sample, int class_count,
                       const std::vector<AllelePair>& ordered,
                       const std::vector<AllelePair>& unordered, double& posterior);

// ---- Results and the output files (--mp, --o) ----
#include <map>
#include <ostream>

// The result of one analysed position for all samples.
struct Answer {
  std::string first_allele;         // REF
  std::string second_allele;        // ALT, several alleles separated by ","
  std::vector<double> probabilities;  // class_count values per sample, samples in order
  int class_count = 0;
};
using Results = std::map<std::uint64_t, Answer>;

// Likelihood records the VCF writer may take PL from.
struct LikelihoodRecords {
  const std::map<std::uint64_t, std::vector<double>>* likelihoods = nullptr;
  const std::map<std::uint64_t, std::vector<std::string>>* alleles = nullptr;
};

// One line per position: position, REF, ALT, then per sample the first C - 1 class
// probabilities rounded to 3 decimals and 1 minus their sum.
void write_marginal_posteriors(std::ostream& out, const Results& results, int sample_count);
// The called-genotype VCF: phased GT, AVGPOST and PL per sample.
void write_called_vcf(std::ostream& out, const Results& results,
                      const std::vector<std::string>& sample_ids, const std::string& chromosome,
                      const LikelihoodRecords& records);

// ---- Auxiliary modes: posterior merge and multi-allelic decomposition ----
// Both write a GT-only VCF; fields are tab-separated and lines carry no trailing tab.
void write_gt_vcf_header(std::ostream& out, const std::vector<std::string>& sample_ids);

class ifile;
class OutputFile;
// Open an auxiliary mode's input (message + name when it cannot be read) and its
// output (the temporary file beside --o); both throw FatalError.
void open_aux_input(ifile& in, const std::string& name, const std::string& message);
void open_aux_output(OutputFile& out, const std::string& name);

// Averages two marginal-posterior files line by line (same sites, same value counts)
// and writes one phased call per sample and site. The names are used in messages;
// chromosome is written as given into the CHROM column. Throws FatalError on input
// that does not pair up.
void merge_posterior_files(std::istream& first, const std::string& first_name, std::istream& second,
                           const std::string& second_name,
                           const std::vector<std::string>& sample_ids,
                           const std::string& chromosome, std::ostream& out);

// Splits every record of a phased (or, with unphased, "/"-separated) GT VCF into
// bi-allelic single-base records, one per base at which exactly one alternative base
// occurs. The first sample_ids.size() sample columns are read. Throws FatalError.
void decompose_multiallelic_vcf(std::istream& in, const std::string& file_name,
                                const std::vector<std::string>& sample_ids, bool unphased,
                                std::ostream& out);
