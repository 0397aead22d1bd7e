#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Parameter.h"
#include "app/block_settings.h"
#include "app/first_pass.h"
#include "chain/family.h"
#include "io/allele_table.h"
#include "io/file_formats.h"
#include "io/indexed_lines.h"
#include "io/io.h"
#include "util/site_rows.h"

struct ScaffoldFitReport;
struct CalledPhaseReport;

// Owns one run of the program: its parameters, the inputs read, the results.
class CallSNP {
 public:
  CallSNP(int argc, std::vector<std::string>& args);
  ~CallSNP() = default;

  // Performs exactly one run mode, then prints the time used and the closing lines.
  void run();

  // Readers and writers (app/CallSNP_files.cpp).
  void read_sample();
  void read_glf_file();
  void read_pedigree();
  void read_scaffold();
  void read_initial_file();
  void read_ref_file();
  // The calls of --copying-calls at the panel's sites between array sites, over the scaffold
  // kept (every window's span).
  void read_copying_calls();
  void convert_to_vcf();
  void vcf_decompose();
  // Closes the outputs once every record is written.
  void write_file(ResultWriter& writer);

  // Checks the scaffold against the reads at the array sites (app/scaffold_check.cpp):
  // throws, or warns with --no-scaffold-check, when a sample's scaffold fits its own reads no
  // better than chance or another sample's better.
  void check_scaffold_fit();

  // Analyses the positions in order, handing each record to writer: in one pass, or a first
  // pass over the region and its margins and a second that writes (app/passes.cpp).
  void inference_step(ResultWriter& writer);
  // Whether p is called from its likelihoods (else it may pass through as a scaffold site).
  bool analysed_from_likelihoods(std::uint64_t item) const;
  bool has_likelihood_values(std::uint64_t key) const;
  // [REF, ALT] of an item: the scaffold's where it has them at its POS, else the likelihood
  // record's. Throws std::out_of_range when neither has the site.
  SiteAlleles site_alleles(std::uint64_t item) const;
  // The likelihood VCF opened for reading (through its index when it has one, and then
  // indexed_records, when given, is set to count the records read); settings.file_name names
  // it in messages.
  LikelihoodSettings likelihood_settings() const;
  std::unique_ptr<std::istream> open_likelihoods(
      LikelihoodSettings& settings,
      std::function<std::uint64_t()>* indexed_records = nullptr) const;

  Parameter params;

  // Whether the second pass copies along a record's first-pass outcome: the first record at
  // its position, called from its likelihoods, with the panel's two alleles, which the
  // panel's haplotypes do not all share (app/passes.cpp).
  bool copied_along(std::uint64_t key) const;
  // The pedigree's duos and trios numbered, with the trio children listed.
  FamilyUnits family_units();
  // The settings of the block a position lies in (--tune-settings), else the run's.
  ModelSettings settings_at(std::uint64_t pos) const;

  // What the run goes through, in output order. Without --list: the analysable records of
  // the likelihood file (their keys, ascending as in the file). With it: the records at the
  // listed positions, and each listed position without one marked by kListedPosition (a
  // scaffold site may pass through there); the mark keeps it apart from a record whose key
  // happens to be that number.
  const std::vector<std::uint64_t>& region_positions() const {
    return params.has_list ? listed_items : likelihood_alleles.keys();
  }
  // What the run writes, in output order: region_positions() within the region, where a
  // first pass has read the records of its windows' margins too.
  const std::vector<std::uint64_t>& output_positions() const {
    return params.has_list || !margins_read ? region_positions() : output_items;
  }
  static constexpr std::uint64_t kListedPosition = std::uint64_t{1} << 63;
  bool is_record(std::uint64_t item) const { return (item & kListedPosition) == 0; }
  // The POS of an item: a record's own, whatever its key.
  std::uint64_t item_position(std::uint64_t item) const {
    return is_record(item) ? record_positions.position_of(item) : item & ~kListedPosition;
  }
  bool listed(std::uint64_t pos) const {
    return std::binary_search(distinct_listed_positions.begin(), distinct_listed_positions.end(),
                              pos);
  }
  // Whether no earlier record shares this record's POS.
  bool first_at_its_position(std::uint64_t key) const {
    return record_positions.first_at_position(key, likelihood_alleles.keys());
  }
  // Whether the record is the one a scaffold site at its POS passes through as: the first
  // record there, so that a site is written once whatever shares its position.
  bool scaffold_record(std::uint64_t key) const;
  // The --list positions, ascending: as listed (duplicates kept), and each once.
  std::vector<std::uint64_t> listed_positions;
  std::vector<std::uint64_t> distinct_listed_positions;
  std::vector<std::uint64_t> listed_items;  // see region_positions
  std::vector<std::string> sample_ids;
  int sample_count = 0;
  int snps_to_analyse = 0;

  // Site data of the input files, keyed by position (likelihood records by their key).
  // The likelihood values are not kept: they are read again as positions are called, so
  // memory does not grow with the region.
  // The records with neither GL nor PL, ascending (see has_likelihood_values).
  std::vector<std::uint64_t> keys_without_likelihoods;
  // [REF, ALT] of the likelihood record under that key: positions analysed from
  // likelihoods use these.
  AlleleTable likelihood_alleles;
  RecordPositions record_positions;  // the POS of every likelihood record's key
  // A likelihood file read from a stream cannot be read again: its values, by key, are kept
  // from the first reading.
  bool likelihoods_streamed = false;
  std::map<std::uint64_t, std::vector<double>> streamed_likelihoods;
  // [REF, ALT] the scaffold sites pass through with (see ScaffoldData::alleles).
  AlleleTable scaffold_alleles;
  SiteRows scaffold_haplotypes;  // 2N alleles 0/1 per site, a bit each
  const std::vector<std::uint64_t>& scaffold_position_list() const {
    return scaffold_haplotypes.positions();
  }
  std::map<std::uint64_t, std::vector<int>> initial_genotypes;  // 2 allele indices per sample
  AlleleTable ref_panel_alleles;
  std::map<std::uint64_t, std::vector<std::uint8_t>> ref_panel_haplotypes;  // R per site
  std::map<std::uint64_t, CalledSite> called_haplotypes;                    // --copying-calls
  FirstPassSites first_pass;                 // what the first of two passes leaves for the second
  std::vector<std::int64_t> scaffold_range;  // first and last position of the scaffold kept
  // Rows [count, individual, parent A, parent B, family index], 1-based sample numbers.
  std::vector<std::vector<int>> pedigree;
  int pedigree_size = 0;
  std::string chromosome_name;  // CHROM text of the likelihood records (or --region, -chr)
  bool likelihoods_name_chromosome = false;  // whether chromosome_name is the records' CHROM
  std::string contig_length;                 // its length from the likelihood file's header, or ""
  int chromosome = 0;                        // strtol value of CHROM (or -chr)
  // With --tune-settings: each block's choice, ascending by block.
  std::vector<BlockChoice> block_choices;

 private:
  // What named the run's chromosome, for messages: the likelihood file, --region or --chr.
  const std::string& chromosome_source() const;
  // The chromosome --region, else --chr, asks for ("" when neither is given), and the
  // option's name.
  const std::string& chromosome_option() const;
  const std::string& chromosome_option_name() const;
  // Refuses a phased input that kept no site while holding records of another chromosome.
  void check_chromosome_found(const std::string& file, bool sites_kept,
                              const std::string& other_chromosome) const;
  // The settings of a phased calls file (-initial, --copying-calls): the samples by name,
  // the run's chromosome.
  InitialSettings phased_calls_settings(const std::string& file) const;
  // An array site the scaffold check scores: its likelihood record and scaffold row.
  struct FitSite {
    std::uint64_t key;
    std::size_t row;
  };
  // The first record at each polymorphic scaffold site whose bi-allelic alleles are the
  // scaffold's, with likelihood values.
  std::vector<FitSite> scaffold_fit_sites() const;
  void report_scaffold_fit(const ScaffoldFitReport& report) const;
  // "S1, S2, S3, S4, S5 and 4 more": the IDs of 0-based samples, the first five named.
  std::string sample_names(const std::vector<int>& samples) const;
  // Refuses calls of another person, warns about calls without array sites.
  void report_called_phase(const CalledPhaseReport& report) const;
  void read_position_list();
  // With two passes: reads the likelihood records of the margins that the region's windows
  // reach past it, which the first pass calls too.
  void read_first_pass_margins();
  // The largest --numsnps a window of this run may take.
  int widest_numsnps() const;
  // The likelihood file's records are read over this span (the region, or with the margins).
  std::vector<std::uint64_t> read_interval;
  bool margins_read = false;
  std::vector<std::uint64_t> output_items;  // see output_positions
  void collect_listed_items();
  void run_calling_mode();
  // Creates the output files up front, so an unwritable path fails before the analysis.
  void open_outputs();
  void refuse_unsupported_runs() const;

  // Refuses, before anything is read, an output named like an input or like the other
  // output, and an empty output name.
  void check_output_names() const;
  // Refuses, before anything is read, a stream (a pipe, standard input) where a file is read
  // twice (a scaffold or panel; the likelihoods with two passes), and standard input named by
  // two inputs.
  void check_stream_inputs() const;
  void check_scaffold_size() const;
  // Scores the candidate settings of every block the analysed positions lie in.
  void choose_settings();

  OutputFile mp_output;
  OutputFile vcf_output;
};

// Text printed after every run mode.
void print_closing_lines(std::ostream& out, double wall_seconds, double processor_seconds);
