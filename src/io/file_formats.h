#pragma once

// Readers and writers of dorsane's file formats. Each reader works on an
// std::istream so it can be tested on a string; CallSNP opens the files.

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/allele_table.h"
#include "io/dosage.h"
#include "io/record_positions.h"
#include "util/site_rows.h"

// ---- Position list (--list) ----
struct PositionList {
  std::vector<std::uint64_t> positions;  // ascending, duplicates kept
  int line_count = 0;
};
PositionList read_positions(std::istream& in, const std::string& file_name);

// ---- Sample list (--sample-file) ----
// One ID per non-blank line (its last token), in file order.
std::vector<std::string> read_sample_ids(std::istream& in, const std::string& file_name);

// ---- Genotype-likelihood VCF (--glfs) ----
struct LikelihoodSettings {
  std::string file_name;
  std::uint64_t lower = 0;  // region bounds, both included
  std::uint64_t upper = 0;
  // false: every record is checked, but its values are not kept (LikelihoodPuller reads
  // them again when they are needed), so memory does not grow with the region.
  bool keep_values = true;
  // The run's chromosome (--region, else --chr): the records of others are passed over.
  // Empty: the file's records must all be on one chromosome.
  std::string chromosome;
};
struct LikelihoodRecords {
  // Both keyed by each record's key (see RecordPositions).
  // Phred, G per sample (none for a record without GL or PL); empty unless keep_values.
  std::map<std::uint64_t, std::vector<double>> site_likelihoods;
  // [REF, ALT] of every record kept; its keys ascend in file order, one per record.
  AlleleTable alleles;
  // Keys of the records with neither GL nor PL, ascending: the exception, so it is these
  // that are listed, not the records with values.
  std::vector<std::uint64_t> keys_without_likelihoods;
  RecordPositions positions;                // the POS of the keys that are not their record's own
  std::vector<std::string> header_samples;  // sample names of the #CHROM line
  bool has_records = false;                 // false: chromosome fields are unset
  std::string chromosome_name;
  std::string contig_length;  // of the records' chromosome, from its ##contig line, or ""
  int chromosome = 0;
  // The CHROM values passed over for not being settings.chromosome, in file order (the
  // first few).
  std::vector<std::string> other_chromosomes;
  // Whether a record of settings.chromosome was seen, in the region or not.
  bool chromosome_seen = false;
  // Records whose symbolic ALT allele (<*>, <NON_REF>) was dropped for their real ones.
  std::uint64_t symbolic_dropped = 0;
};
// Reads the records of the region. The per-sample PL lines of PL records and the
// notes on records without likelihoods go to out; a bad record is a FatalError.
void read_likelihood_vcf(std::istream& in, const std::vector<std::string>& sample_ids,
                         const LikelihoodSettings& settings, LikelihoodRecords& records,
                         std::ostream& out, std::ostream& err);
// The second reading of a likelihood VCF: each wanted record's Phred values, handed out
// once, reading on in file order as far as needed. wanted(key) tells whether the values
// stored under a record's key will be asked for; a predicate, so that no list of the
// region's keys is kept a second time.
class LikelihoodPuller {
 public:
  LikelihoodPuller(std::istream& in, const std::vector<std::string>& sample_ids,
                   const LikelihoodSettings& settings, std::function<bool(std::uint64_t)> wanted);
  ~LikelihoodPuller();
  LikelihoodPuller(const LikelihoodPuller&) = delete;
  LikelihoodPuller& operator=(const LikelihoodPuller&) = delete;
  // The values stored under key, or an empty vector when the region has none there.
  std::vector<double> take(std::uint64_t key);

 private:
  struct State;
  std::istream& in_;
  std::unique_ptr<State> state_;
};
// The first position whose records count toward the keys of a region starting at lower
// (they are read, not kept): an indexed reading starts there too.
std::uint64_t likelihood_keys_from(std::uint64_t lower);

// ---- Scaffold layout (scaffold and reference panel: chrom id pos allele1 allele2 haps) ----
// Column 3 of a line as a position: a whole number from 0 to 2147483647, not below the
// previous line's position, which it then replaces. Errors name the file and line.
std::int64_t sorted_layout_position(std::string_view field, std::int64_t& previous,
                                    const std::string& file_name, std::uint64_t line_number);

// ---- Haplotype scaffold (--scaffold-file) ----
struct ScaffoldSettings {
  std::string file_name;
  std::uint64_t lower = 0;  // region bounds
  std::uint64_t upper = 0;
  int sample_count = 0;
  // The run's chromosome: lines of others are skipped. Empty: every line is read.
  std::string chromosome;
};
// The lines of a scaffold-layout file passed over for naming another chromosome than the
// run's: how many, and the first such name.
struct OtherChromosomeLines {
  std::uint64_t count = 0;
  std::string first;
  // True (and counted) when the line's chromosome field is not chromosome.
  bool skip(std::string_view name, const std::string& chromosome);
  // One warning line on err when lines were skipped.
  void warn(std::ostream& err, const std::string& file, const std::string& chromosome) const;
};
struct ScaffoldData {
  SiteRows haplotypes;  // 2N alleles 0/1 per site
  // [REF, ALT] per site; they take the place of the likelihood record's, except at sites
  // past the range, which have them only where the likelihood records have none.
  AlleleTable alleles;
  std::vector<std::int64_t> range;  // first and last position kept
  OtherChromosomeLines other_chromosome;
};
// The first position the scaffold reader keeps for a region starting at lower.
std::uint64_t scaffold_kept_from(std::uint64_t lower);
// Fills scaffold; likelihood_alleles: the likelihood records' alleles, by key.
void read_scaffold_sites(std::istream& in, const ScaffoldSettings& settings,
                         const AlleleTable& likelihood_alleles, ScaffoldData& scaffold);

// ---- External reference panel (--ref-panel) ----
struct PanelData {
  AlleleTable alleles;
  std::map<std::uint64_t, std::vector<std::uint8_t>> haplotypes;  // R alleles 0/1 per site
  int haplotype_count = 0;                                        // R
  // Set before reading: keep every site within scaffold_range (sites that calls beyond the
  // region's records may need), and the run's chromosome (lines of others are skipped;
  // empty: every line is read).
  bool every_site = false;
  std::string chromosome;
  OtherChromosomeLines other_chromosome;
};
// Keeps the panel sites within scaffold_range that are scaffold sites or the POS of a
// likelihood record (likelihood_alleles by key, record_positions their POS), or all of them
// with panel.every_site.
void read_reference_panel(std::istream& in, const std::string& file_name,
                          const std::vector<std::int64_t>& scaffold_range,
                          const SiteRows& scaffold_haplotypes,
                          const AlleleTable& likelihood_alleles,
                          const RecordPositions& record_positions, PanelData& panel);

// ---- Initialization file (-initial) ----
struct InitialSettings {
  std::string file_name;
  std::uint64_t lower = 0;
  std::uint64_t upper = 0;
  int sample_count = 0;
  // The samples by name: a #CHROM line that names samples must name each of these, in any
  // order; without names the columns follow this order.
  std::vector<std::string> sample_ids;
  // The run's chromosome and what named it (for messages): the records of others are
  // passed over, and a file holding only others is refused. Empty: not checked.
  std::string chromosome;
  std::string chromosome_source;
};
// A missing genotype ("./.", ".|.", ".") reads as this allele, for both haplotypes.
constexpr int kMissingAllele = -1;
// Two allele indices per sample (phased GT) per site of the region; first line wins.
void read_initial_genotypes(std::istream& in, const InitialSettings& settings,
                            std::map<std::uint64_t, std::vector<int>>& genotypes);
// One record of such a file: two alleles per sample, and each sample's AVGPOST when the
// record's FORMAT has it (else empty; '.' reads as 0).
struct PhasedCalls {
  std::vector<int> alleles;
  std::vector<double> certainty;
};
// The same file's calls at the positions keep accepts: each haplotype's allele 0 or 1, or
// kUnknownCalledAllele for any other (a multi-allelic or missing call), and each sample's
// chance that its call is wrong, 1 - AVGPOST (empty where the file gives no AVGPOST).
constexpr std::uint8_t kUnknownCalledAllele = 2;
struct CalledSite {
  std::vector<std::uint8_t> alleles;
  std::vector<float> doubt;
};
void read_called_haplotypes(std::istream& in, const InitialSettings& settings,
                            const std::function<bool(std::uint64_t)>& keep,
                            std::map<std::uint64_t, CalledSite>& sites);

// ---- Pedigree (--ped-file) and --k ----
// A window's covariance wants several times its sites in haplotypes and no more: beyond
// this many, a larger cohort adds cost per genotype and memory, not accuracy.
constexpr int kDefaultHaplotypeCap = 500;
// --k all: every other sample haplotype, 2N - 2, however large the cohort.
constexpr int kAllHaplotypes = -1;
// k after its default (2N - 2, at most kDefaultHaplotypeCap, when not given) and bounds; a
// k above 2N - 2 prints the documented line on out before the error is thrown.
int settle_k(int sample_count, bool has_k, int k, std::ostream& out);
// Rows [member count, individual, parent A, parent B, family index], 1-based sample
// numbers, 0 for none.
using PedigreeRows = std::vector<std::vector<int>>;
PedigreeRows single_sample_units(int sample_count);
struct PedigreeCounts {
  int skipped_lines = 0;    // individual not in the sample list
  int missing_parents = 0;  // parent not in the sample list, counted as none
};
PedigreeRows read_pedigree_units(std::istream& in, const std::string& file_name,
                                 const std::vector<std::string>& sample_ids,
                                 PedigreeCounts& counts);

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
  std::string first_allele;           // REF
  std::string second_allele;          // ALT, several alleles separated by ","
  std::vector<double> probabilities;  // class_count values per sample, samples in order
  int class_count = 0;
  bool typed = false;  // an array (scaffold) site copied into the calls: INFO/TYPED
};
using Results = std::map<std::uint64_t, Answer>;

// Likelihood records the VCF writer may take PL from.
struct PlSource {
  const std::map<std::uint64_t, std::vector<double>>* likelihoods = nullptr;
  const std::map<std::uint64_t, std::vector<std::string>>* alleles = nullptr;
};

// What a written VCF's header says beyond its fields: the command that made it and the
// contigs its records lie on.
struct VcfProvenance {
  std::string command;                   // the command line, one line
  std::vector<std::string> contigs;      // inside ##contig=<...>, e.g. "ID=20,length=64444167"
  std::vector<std::string> extra_lines;  // whole header lines, after the contigs
};
// ##dorsaneVersion, ##dorsaneCommand and the ##contig lines.
void write_provenance(std::ostream& out, const VcfProvenance& provenance);
// The ##contig content for a chromosome: its ID and, when known, its length.
std::string contig_entry(const std::string& chromosome, const std::string& length);

// Writes the called VCF and the --mp file one position at a time, in the order given
// (either stream may be null). The VCF header goes out on construction.
class ResultWriter {
 public:
  // dosage: DS and GP per sample and the info measure per site.
  ResultWriter(std::ostream* vcf, std::ostream* mp, const std::vector<std::string>& sample_ids,
               const std::string& chromosome, const VcfProvenance& provenance = {},
               bool dosage = false);
  // pls: the position's own likelihood record (G values per sample), or null: PL ".".
  void write(std::uint64_t position, const Answer& answer, const std::vector<double>* pls);
  // The --mp file's closing blank line.
  void finish();

 private:
  std::ostream* vcf_;
  std::ostream* mp_;
  const std::vector<std::string>& sample_ids_;
  std::string chromosome_;
  bool dosage_;
  SiteDosages dosages_;  // the DS, GP and info columns of a record
};

// One line per position: position, REF, ALT, then per sample the first C - 1 class
// probabilities rounded to 3 decimals and 1 minus their sum.
void write_marginal_posteriors(std::ostream& out, const Results& results, int sample_count);
// The called-genotype VCF: phased GT, AVGPOST and PL per sample.
void write_called_vcf(std::ostream& out, const Results& results,
                      const std::vector<std::string>& sample_ids, const std::string& chromosome,
                      const PlSource& records, const VcfProvenance& provenance = {});

// ---- Auxiliary modes: posterior merge and multi-allelic decomposition ----
// Both write a GT-only VCF; fields are tab-separated and lines carry no trailing tab.
void write_gt_vcf_header(std::ostream& out, const std::vector<std::string>& sample_ids,
                         const VcfProvenance& provenance);

class ifile;
class OutputFile;
// Open an auxiliary mode's input ("Can't open " what name: the reason, when it cannot be
// read) and its output (the temporary file beside --o); both throw FatalError.
void open_aux_input(ifile& in, const std::string& name, const std::string& what);
void open_aux_output(OutputFile& out, const std::string& name);

// Averages two marginal-posterior files line by line (same sites, same value counts)
// and writes one phased call per sample and site. The names are used in messages;
// chromosome is written as given into the CHROM column. Throws FatalError on input
// that does not pair up.
void merge_posterior_files(std::istream& first, const std::string& first_name, std::istream& second,
                           const std::string& second_name,
                           const std::vector<std::string>& sample_ids,
                           const std::string& chromosome, std::ostream& out,
                           const VcfProvenance& provenance = {});

// Splits every record of a phased (or, with unphased, "/"-separated) GT VCF into
// bi-allelic single-base records, one per base at which exactly one alternative base
// occurs. The first sample_ids.size() sample columns are read; the input's ##contig lines
// are kept. Throws FatalError.
void decompose_multiallelic_vcf(std::istream& in, const std::string& file_name,
                                const std::vector<std::string>& sample_ids, bool unphased,
                                std::ostream& out, const VcfProvenance& provenance = {});
