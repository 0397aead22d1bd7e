#include "io/phased_vcf.h"

#include <cstring>
#include <numeric>
#include <streambuf>
#include <unordered_map>
#include <unordered_set>

#include "io/indexed_lines.h"
#include "io/io.h"
#include "io/phased_records.h"
#include "util/errors.h"

std::string record_prefix(const std::string& file, std::uint64_t line_number,
                          std::string_view chrom, std::string_view pos) {
  return "ERROR! " + file + (line_number > 0 ? ":" + std::to_string(line_number) : "") + " (" +
         std::string(chrom) + ":" + std::string(pos) + "): ";
}

namespace {

// Where each chosen sample is among the header's samples (0-based).
std::vector<std::size_t> chosen_sample_columns(const std::vector<std::string>& header_samples,
                                               const PhasedVcfSettings& settings,
                                               const std::string& prefix) {
  check_samples_unique(header_samples, prefix);
  std::vector<std::size_t> columns;
  if (settings.every_sample) {
    if (header_samples.empty()) {
      throw FatalError(prefix + "the file names no sample; a reference panel needs at least one");
    }
    columns.resize(header_samples.size());
    std::iota(columns.begin(), columns.end(), 0);
    return columns;
  }
  std::unordered_map<std::string_view, std::size_t> column_of;
  for (std::size_t c = 0; c < header_samples.size(); ++c) column_of.emplace(header_samples[c], c);
  for (const std::string& id : settings.sample_ids) {
    const auto found = column_of.find(id);
    if (found == column_of.end()) {
      throw FatalError(prefix + "sample " + id + " of the sample list is not among the file's " +
                       std::to_string(header_samples.size()) + " samples");
    }
    columns.push_back(found->second);
  }
  return columns;
}

}  // namespace

void check_samples_unique(const std::vector<std::string>& names, const std::string& prefix) {
  // Whichever column a reader took, the other one's haplotypes would be lost unseen.
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : names) {
    if (!seen.insert(name).second) {
      throw FatalError(prefix + "sample '" + name + "' is named twice in the #CHROM line");
    }
  }
}

void throw_missing_gt(const std::string& prefix, std::string_view format) {
  throw FatalError(prefix + "FORMAT '" + std::string(format) + "' has no GT field");
}

bool phased_layout_line(const PhasedRecord& record, const std::vector<std::string>& sample_names,
                        const std::string& prefix, std::string& line) {
  line.clear();
  // A blank inside a field would shift the layout's columns.
  for (const std::string_view field :
       {record.chrom, record.id, record.pos, record.ref, record.alt}) {
    if (field.empty() || field.find_first_of(" \t\r\v\f") != std::string_view::npos) {
      throw FatalError(prefix + "expected CHROM, ID, POS, REF and ALT without blanks, found '" +
                       std::string(field) + "'");
    }
    line += field;
    line += ' ';
  }
  auto allele = [](char c) { return c == '0' || c == '1'; };
  for (std::size_t k = 0; k < record.genotypes.size(); ++k) {
    const std::string_view gt = record.genotypes[k];
    if (gt.size() != 3 || gt[1] != '|' || !allele(gt[0]) || !allele(gt[2])) {
      throw FatalError(prefix + "sample " + sample_names[k] + " has GT '" + std::string(gt) +
                       "'; expected a phased genotype of alleles 0 and 1 (0|0, 0|1, 1|0 or 1|1)");
    }
    line += gt[0];
    line += ' ';
    line += gt[2];
    line += ' ';
  }
  line.pop_back();
  if (record.alt != ".") return true;
  // Without an ALT allele there is nothing for allele 1 to be.
  for (std::size_t k = 0; k < record.genotypes.size(); ++k) {
    const std::string_view gt = record.genotypes[k];
    if (gt[0] == '1' || gt[2] == '1') {
      throw FatalError(prefix + "ALT is '.' but sample " + sample_names[k] + " has GT '" +
                       std::string(gt) + "', which carries allele 1");
    }
  }
  line.clear();
  return false;
}

bool PhasedSource::skipped(std::string_view chrom, bool multi_allelic) {
  if (chrom != settings_.chromosome) {
    if (other_chromosome_ == 0) first_other_chromosome_ = chrom;
    ++other_chromosome_;
    return true;
  }
  if (multi_allelic) {
    ++multi_allelic_;
    return true;
  }
  return false;
}

void PhasedSource::choose_samples(const std::vector<std::string>& header_samples,
                                  const std::string& prefix) {
  columns_ = chosen_sample_columns(header_samples, settings_, prefix);
  chosen_names_.clear();
  for (const std::size_t c : columns_) chosen_names_.push_back(header_samples[c]);
}

void PhasedSource::warn_skipped(std::ostream& err) const {
  if (multi_allelic_ != 0 || other_chromosome_ != 0) {
    err << "WARNING! " << settings_.file_name << ": skipped " << multi_allelic_
        << " multi-allelic records and " << other_chromosome_
        << " records of other chromosomes than " << settings_.chromosome << std::endl;
  }
  if (without_alt_ != 0) {
    err << "WARNING! " << settings_.file_name << ": skipped " << without_alt_
        << " records with ALT '.' (every genotype 0|0)" << std::endl;
  }
}

namespace {

// The index-th ":"-separated part of text, or "." (missing) when text has fewer.
std::string_view subfield(std::string_view text, std::size_t index) {
  for (std::size_t start = 0, part = 0;; ++part) {
    const std::size_t end = text.find(':', start);
    if (part == index) return text.substr(start, end == std::string_view::npos ? end : end - start);
    if (end == std::string_view::npos) return ".";
    start = end + 1;
  }
}

std::size_t gt_index(std::string_view format) {
  std::size_t index = 0;
  for (std::size_t start = 0;; ++index) {
    const std::size_t end = format.find(':', start);
    if (format.substr(start, end == std::string_view::npos ? end : end - start) == "GT") {
      return index;
    }
    if (end == std::string_view::npos) return std::string_view::npos;
    start = end + 1;
  }
}

// VCF text from a stream, plain or gzip, or the lines of an indexed region.
class VcfTextSource : public PhasedSource {
 public:
  VcfTextSource(std::unique_ptr<std::istream> in, const IndexedRegion* region,
                PhasedVcfSettings settings)
      : PhasedSource(std::move(settings)), in_(std::move(in)), region_(region) {
    name_ = region_ != nullptr ? indexed_lines_name(settings_.file_name) : settings_.file_name;
  }

  bool next_line(std::string& line) override {
    line.clear();
    if (!std::getline(*in_, text_)) {
      if (in_->bad()) {
        throw FatalError("ERROR! Reading " + name_ + " failed after line " +
                         std::to_string(line_number_));
      }
      return false;
    }
    ++line_number_;
    strip_carriage_return(text_);
    if (is_blank(text_)) return true;
    if (text_.front() == '#') {
      if (text_.compare(0, 6, "#CHROM") == 0) read_header();
      return true;
    }
    if (header_fields_ == 0) {
      throw FatalError(error_prefix(name_, line_number_) +
                       "expected the #CHROM header line before the first record");
    }
    split_views(text_, '\t', fields_);
    if (fields_.size() < header_fields_) {
      throw FatalError(
          error_prefix(name_, line_number_) + "expected " + std::to_string(header_fields_) +
          " tab-separated fields like the #CHROM line, found " + std::to_string(fields_.size()));
    }
    if (skipped(fields_[0], fields_[4].find(',') != std::string_view::npos)) return true;
    convert(line);
    return true;
  }

  std::optional<std::uint64_t> indexed_records() const override {
    if (region_ == nullptr) return std::nullopt;
    return region_->records_read();
  }

 private:
  void read_header() {
    split_views(text_, '\t', fields_);
    std::vector<std::string> samples;
    for (std::size_t c = 9; c < fields_.size(); ++c) samples.emplace_back(fields_[c]);
    choose_samples(samples, error_prefix(name_, line_number_));
    header_fields_ = std::max<std::size_t>(fields_.size(), 8);
  }

  void convert(std::string& line) {
    const std::string prefix = record_prefix(name_, line_number_, fields_[0], fields_[1]);
    const std::size_t gt = fields_.size() > 8 ? gt_index(fields_[8]) : std::string_view::npos;
    if (gt == std::string_view::npos)
      throw_missing_gt(prefix, fields_.size() > 8 ? fields_[8] : "");
    record_.genotypes.clear();
    for (const std::size_t c : columns_) record_.genotypes.push_back(subfield(fields_[9 + c], gt));
    record_.chrom = fields_[0];
    record_.pos = fields_[1];
    record_.id = fields_[2];
    record_.ref = fields_[3];
    record_.alt = fields_[4];
    if (!phased_layout_line(record_, chosen_names_, prefix, line)) ++without_alt_;
  }

  std::unique_ptr<std::istream> in_;
  const IndexedRegion* region_;
  std::string text_;
  std::vector<std::string_view> fields_;
  std::size_t header_fields_ = 0;  // 0 until the #CHROM line
  std::uint64_t line_number_ = 0;
  PhasedRecord record_;
};

class PhasedLineBuffer : public std::streambuf {
 public:
  explicit PhasedLineBuffer(PhasedSource& source) : source_(source) {}

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (!source_.next_line(current_)) return traits_type::eof();
    current_.push_back('\n');
    setg(current_.data(), current_.data(), current_.data() + current_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  PhasedSource& source_;
  std::string current_;
};

enum class PhasedFormat { kLayout, kVcf, kBcf };

// From the first bytes after decompression; a file that cannot be read is left to the
// layout's reader, which reports it.
PhasedFormat sniff_phased_format(const std::string& file) {
  ifile in;
  if (!in.open(file)) return PhasedFormat::kLayout;
  char head[16] = {};
  in.read(head, sizeof head);
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got >= 4 && std::memcmp(head, "BCF\2", 4) == 0) return PhasedFormat::kBcf;
  if (got == sizeof head && std::memcmp(head, "##fileformat=VCF", sizeof head) == 0) {
    return PhasedFormat::kVcf;
  }
  return PhasedFormat::kLayout;
}

}  // namespace

PhasedLayout::PhasedLayout(std::unique_ptr<PhasedSource> source)
    : std::istream(nullptr),
      source_(std::move(source)),
      buffer_(std::make_unique<PhasedLineBuffer>(*source_)) {
  rdbuf(buffer_.get());
  // Errors thrown while a line is made must reach the caller, not only set badbit.
  exceptions(std::ios::badbit);
}

PhasedLayout::~PhasedLayout() = default;

const std::string& PhasedLayout::name() const { return source_->name(); }

std::optional<std::uint64_t> PhasedLayout::indexed_records() const {
  return source_->indexed_records();
}

void PhasedLayout::warn_skipped(std::ostream& err) const { source_->warn_skipped(err); }

const std::string& PhasedLayout::other_chromosome() const { return source_->other_chromosome(); }

std::unique_ptr<PhasedLayout> phased_layout_of_vcf(std::unique_ptr<std::istream> in,
                                                   const PhasedVcfSettings& settings) {
  return std::make_unique<PhasedLayout>(
      std::make_unique<VcfTextSource>(std::move(in), nullptr, settings));
}

std::unique_ptr<PhasedLayout> open_phased_layout(const PhasedVcfSettings& settings,
                                                 std::uint64_t begin, std::uint64_t end) {
  const std::string& file = settings.file_name;
  switch (sniff_phased_format(file)) {
    case PhasedFormat::kLayout:
      return nullptr;
    case PhasedFormat::kBcf:
      return std::make_unique<PhasedLayout>(open_bcf_source(settings, begin, end));
    case PhasedFormat::kVcf:
      break;
  }
  if (auto region =
          open_indexed_region(file, begin, end, settings.chromosome, settings.chromosome_source)) {
    const IndexedRegion* lines = region.get();
    return std::make_unique<PhasedLayout>(
        std::make_unique<VcfTextSource>(std::move(region), lines, settings));
  }
  auto in = std::make_unique<ifile>();
  if (!in->open(file)) throw FatalError(cannot_open("", *in));
  return phased_layout_of_vcf(std::move(in), settings);
}
