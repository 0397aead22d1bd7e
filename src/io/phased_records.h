#pragma once

// Shared by the VCF and BCF readers of phased files: one record as text, checked and turned
// into a line of the scaffold layout.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/phased_vcf.h"

struct PhasedRecord {
  std::string_view chrom, id, pos, ref, alt;
  std::vector<std::string_view> genotypes;  // GT of each chosen sample, in line order
};

// "ERROR! file:line (chrom:pos): ", without ":line" when line_number is 0 (a BCF record).
std::string record_prefix(const std::string& file, std::uint64_t line_number,
                          std::string_view chrom, std::string_view pos);

// Throws FatalError, prefix first, naming the first sample named twice.
void check_samples_unique(const std::vector<std::string>& names, const std::string& prefix);

[[noreturn]] void throw_missing_gt(const std::string& prefix, std::string_view format);

// "chrom id pos ref alt h1 h2 …" from each sample's GT, which must be a|b with a and b 0 or
// 1. sample_names: the chosen samples, in line order. Throws FatalError naming the sample.
// A record with ALT "." carrying allele 1 is refused; with only 0 it gives an empty line and
// false (the record is skipped).
bool phased_layout_line(const PhasedRecord& record, const std::vector<std::string>& sample_names,
                        const std::string& prefix, std::string& line);

// Yields the layout's lines of one file, one at a time.
class PhasedSource {
 public:
  explicit PhasedSource(PhasedVcfSettings settings) : settings_(std::move(settings)) {}
  virtual ~PhasedSource() = default;
  PhasedSource(const PhasedSource&) = delete;
  PhasedSource& operator=(const PhasedSource&) = delete;

  // The next line, empty for a header line or a skipped record; false at the end.
  virtual bool next_line(std::string& line) = 0;
  virtual std::optional<std::uint64_t> indexed_records() const = 0;
  const std::string& name() const { return name_; }
  void warn_skipped(std::ostream& err) const;
  const std::string& other_chromosome() const { return first_other_chromosome_; }

 protected:
  // Counts the record when it is skipped (true): multi-allelic or of another chromosome.
  bool skipped(std::string_view chrom, bool multi_allelic);
  // After the header: the chosen samples' columns and names. prefix starts the message that
  // names a sample of the list missing from the header.
  void choose_samples(const std::vector<std::string>& header_samples, const std::string& prefix);

  const PhasedVcfSettings settings_;
  std::string name_;  // in messages about the lines
  std::vector<std::size_t> columns_;
  std::vector<std::string> chosen_names_;
  std::uint64_t without_alt_ = 0;  // records of ALT "." skipped

 private:
  std::uint64_t multi_allelic_ = 0;
  std::uint64_t other_chromosome_ = 0;
  std::string first_other_chromosome_;
};

// A BCF file's records through htslib, over [begin, end] when NAME.csi is beside it.
std::unique_ptr<PhasedSource> open_bcf_source(const PhasedVcfSettings& settings,
                                              std::uint64_t begin, std::uint64_t end);
