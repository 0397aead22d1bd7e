#pragma once

// Phased VCF and BCF files read as the scaffold layout (chrom id pos allele1 allele2 hap…),
// so the scaffold and panel readers take them with all their checks and messages.

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

struct PhasedVcfSettings {
  std::string file_name;
  std::string chromosome;  // the run's: records of other chromosomes are skipped
  // The samples whose two haplotypes each line holds, in this order (the scaffold)...
  std::vector<std::string> sample_ids;
  bool every_sample = false;      // ...or every sample of the file, in its order (a panel)
  std::string chromosome_source;  // what named the chromosome, for messages
};

class PhasedSource;

// The layout's lines of a phased file. A VCF gives one line per line of the file (header
// lines and skipped records blank), so line numbers in messages are the file's; a BCF gives
// one line per record. Errors of the file's own (a GT that is not 0|0, 0|1, 1|0 or 1|1, a
// sample missing from the header) are thrown as FatalError while reading.
class PhasedLayout : public std::istream {
 public:
  explicit PhasedLayout(std::unique_ptr<PhasedSource> source);
  ~PhasedLayout() override;
  // The file's name in messages about its lines.
  const std::string& name() const;
  // Records read through the file's index, or nothing when it was read whole.
  std::optional<std::uint64_t> indexed_records() const;
  // One warning line on err when records were skipped.
  void warn_skipped(std::ostream& err) const;
  // The first CHROM skipped for not being the run's, or "".
  const std::string& other_chromosome() const;

 private:
  std::unique_ptr<PhasedSource> source_;
  std::unique_ptr<std::streambuf> buffer_;  // reads from source_
};

// Null when the file is neither a VCF (its first line starts with ##fileformat=VCF) nor a
// BCF, whether plain or compressed: it is in the text layout then. An indexed file (BGZF
// VCF with NAME.tbi or NAME.csi, BCF with NAME.csi) is read over [begin, end] only.
std::unique_ptr<PhasedLayout> open_phased_layout(const PhasedVcfSettings& settings,
                                                 std::uint64_t begin, std::uint64_t end);
// The layout of VCF text read from in (settings.file_name names it in messages).
std::unique_ptr<PhasedLayout> phased_layout_of_vcf(std::unique_ptr<std::istream> in,
                                                   const PhasedVcfSettings& settings);
