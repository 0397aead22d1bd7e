#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

constexpr std::int64_t kMaxPosition = 2147483647;
// How far before a region the records still count toward its keys: a record's key moves past
// its POS only where a stretch holds more records than bases, so the keys of a region's
// records do not depend on where the region starts unless such a crowd spans this length.
constexpr std::uint64_t kKeyLookback = 10000;

// Chromosomes named in the message about a file that lacks the run's.
constexpr std::size_t kOtherChromosomesNamed = 10;

enum class LikelihoodKind { kNone, kGL, kPL };

// A whole token as a finite number. Integers, the usual PL values, take a fast
// path; anything else goes through from_chars.
bool parse_likelihood(std::string_view text, double& value) {
  if (text.empty()) return false;
  const bool negative = text.front() == '-';
  if (negative || text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '-' || text.front() == '+') return false;
  if (text.size() <= 15) {
    std::int64_t whole = 0;
    bool digits_only = true;
    for (const char c : text) {
      const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
      if (digit > 9) {
        digits_only = false;
        break;
      }
      whole = whole * 10 + digit;
    }
    if (digits_only) {
      value = negative ? -static_cast<double>(whole) : static_cast<double>(whole);
      return true;
    }
  }
  double parsed = 0.0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, parsed);
  if (ec != std::errc() || stop != end || !std::isfinite(parsed)) return false;
  value = negative ? -parsed : parsed;
  return true;
}

// Same text as `std::ostream << double` with the default precision of 6.
void append_number(std::string& out, double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e6) {
    if (value == 0.0 && std::signbit(value)) {
      out += "-0";
      return;
    }
    char buffer[16];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value));
    out.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
    return;
  }
  char buffer[32];
  const int length = std::snprintf(buffer, sizeof buffer, "%g", value);
  out.append(buffer, static_cast<std::size_t>(length));
}

// Tab split of a record line. The fields are short, so a plain scan beats one
// memchr call per field.
void split_tabs(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  const char* start = line.data();
  const char* const end = start + line.size();
  for (const char* c = start; c != end; ++c) {
    if (*c == '\t') {
      fields.emplace_back(start, static_cast<std::size_t>(c - start));
      start = c + 1;
    }
  }
  fields.emplace_back(start, static_cast<std::size_t>(end - start));
}

// The reference-model alleles of bcftools mpileup and gVCFs: "any other allele", not a
// variant.
bool is_symbolic_allele(std::string_view allele) {
  return allele == "<*>" || allele == "<NON_REF>";
}

// "./.", ".", ".|." and the like: a genotype field that says the sample is missing.
bool is_missing_genotype(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return c == '.' || c == '/' || c == '|'; });
}

class LikelihoodReader {
 public:
  LikelihoodReader(const std::vector<std::string>& sample_ids, const LikelihoodSettings& settings,
                   LikelihoodRecords& records, std::ostream& out, std::ostream& err)
      : sample_ids_(sample_ids), settings_(settings), records_(records), out_(out), err_(err) {}

  void read(std::istream& in) {
    while (read_next(in)) {
    }
  }

  // Reads on until a data line has been taken (true) or the input or region ends.
  bool read_next(std::istream& in) {
    if (finished_) return false;
    while (std::getline(in, line_)) {
      ++line_number_;
      strip_carriage_return(line_);
      if (line_.find('\r') != std::string::npos) {
        wrong_format(where(),
                     "its lines end in lone carriage returns (\\r without \\n); "
                     "convert the line ends to \\n");
      }
      if (line_.empty() || (line_.front() != '#' && is_blank(line_))) continue;
      if (line_.front() == '#') {
        if (line_.compare(0, 6, "#CHROM") == 0) read_header();
        if (line_.compare(0, 10, "##contig=<") == 0) read_contig_line();
        continue;
      }
      if (read_data_line()) return true;
      break;
    }
    if (in.bad()) {
      throw FatalError("ERROR! " + settings_.file_name +
                       " is corrupt or truncated: decompression failed after line " +
                       std::to_string(line_number_));
    }
    finished_ = true;
    if (!have_header_) {
      wrong_format(settings_.file_name,
                   line_number_ == 0 ? "the file is empty, not a VCF" : "no #CHROM header line");
    }
    return false;
  }

 private:
  std::string where() const { return settings_.file_name + ":" + std::to_string(line_number_); }
  std::string where_record(std::string_view chrom, std::uint64_t pos) const {
    return where() + " (" + std::string(chrom) + ":" + std::to_string(pos) + ")";
  }
  [[noreturn]] void wrong_format(const std::string& location, const std::string& detail) const {
    throw FatalError("ERROR! " + location + ": " + detail);
  }

  // Keeps the length a ##contig line gives, for the output's own ##contig line.
  void read_contig_line() {
    const std::size_t end = line_.rfind('>');
    if (end == std::string::npos || end < 10) return;
    split_views(std::string_view(line_).substr(10, end - 10), ',', fields_);
    std::string_view id, length;
    for (const std::string_view field : fields_) {
      if (field.compare(0, 3, "ID=") == 0) id = field.substr(3);
      if (field.compare(0, 7, "length=") == 0) length = field.substr(7);
    }
    if (!id.empty() && !length.empty() && parse_integer(std::string(length))) {
      contig_lengths_[std::string(id)] = std::string(length);
    }
  }

  void read_header() {
    if (have_header_) wrong_format(where(), "a second #CHROM line");
    split_views(line_, '\t', fields_);
    std::vector<std::string>& names = records_.header_samples;
    names.clear();
    for (std::size_t l = 9; l < fields_.size(); ++l) names.emplace_back(fields_[l]);
    const std::size_t n = sample_ids_.size();
    if (names.size() != n) {
      throw FatalError("ERROR! " + where() + ": the #CHROM line names " +
                       std::to_string(names.size()) + " samples, the sample file " +
                       std::to_string(n));
    }
    std::unordered_map<std::string_view, std::size_t> column_of_name;
    column_of_name.reserve(n);
    for (std::size_t l = 0; l < n; ++l) {
      if (!column_of_name.emplace(names[l], l).second) {
        wrong_format(where(), "sample '" + names[l] + "' is named twice in the #CHROM line");
      }
    }
    column_of_.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) {
      const auto found = column_of_name.find(sample_ids_[j]);
      if (found == column_of_name.end()) {
        wrong_format(where(), "sample '" + sample_ids_[j] +
                                  "' of the sample file is not in the #CHROM line");
      }
      column_of_[j] = 9 + found->second;
    }
    have_header_ = true;
  }

  // False when the record lies past the region: reading stops there.
  bool read_data_line() {
    if (!have_header_) wrong_format(where(), "a record comes before the #CHROM line");
    split_tabs(line_, fields_);
    const std::size_t expected_fields = 9 + sample_ids_.size();
    if (fields_.size() < 2) {
      wrong_format(where(), "expected " + std::to_string(expected_fields) +
                                " tab-separated fields, found " + std::to_string(fields_.size()));
    }
    if (!settings_.chromosome.empty() && fields_[0] != settings_.chromosome) {
      std::vector<std::string>& others = records_.other_chromosomes;
      if (others.size() < kOtherChromosomesNamed &&
          std::find(others.begin(), others.end(), fields_[0]) == others.end()) {
        others.emplace_back(fields_[0]);
      }
      // A sorted file holds each chromosome's records together: the run's have all passed.
      return !have_data_;
    }
    records_.chromosome_seen = true;
    const auto parsed_pos = parse_integer(fields_[1]);
    if (!parsed_pos || *parsed_pos < 1 || *parsed_pos > kMaxPosition) {
      throw FatalError("ERROR! " + where() + ": POS '" + std::string(fields_[1]) +
                       "' is not a whole number from 1 to 2147483647");
    }
    const auto pos = static_cast<std::uint64_t>(*parsed_pos);
    if (pos > settings_.upper) return false;
    const std::string_view chrom = fields_[0];
    if (fields_.size() != expected_fields) {
      wrong_format(where_record(chrom, pos),
                   "expected " + std::to_string(expected_fields) + " tab-separated fields (9 + " +
                       std::to_string(sample_ids_.size()) + " samples), found " +
                       std::to_string(fields_.size()));
    }
    if (!have_data_) {
      first_chrom_ = chrom;
      have_data_ = true;
    } else if (chrom != first_chrom_) {
      throw FatalError("ERROR! " + where_record(chrom, pos) + ": CHROM '" + std::string(chrom) +
                       "' differs from '" + first_chrom_ +
                       "' of the records before; the file must hold one chromosome, or --region "
                       "must name one");
    } else if (pos < previous_pos_) {
      throw FatalError("ERROR! " + where_record(chrom, pos) + ": POS " + std::to_string(pos) +
                       " is below POS " + std::to_string(previous_pos_) +
                       " of the record before; the file must be sorted by position");
    }
    previous_pos_ = pos;
    if (fields_[4] == ".") return true;
    dropping_ = false;
    if (fields_[4].find('<') != std::string_view::npos) drop_symbolic_alleles(chrom, pos);
    if (pos >= settings_.lower) {
      read_record(chrom, pos);
    } else if (pos >= likelihood_keys_from(settings_.lower)) {
      // Records just before the region push the keys of those at its start.
      records_.positions.assign(pos, false);
    }
    return true;
  }

  // Keeps the real ALT alleles of a record that also carries a symbolic one, with the
  // indices (in VCF order) of the genotypes among them; a record of symbolic ALTs alone is
  // refused: such a file lists every covered position, not candidate variants.
  void drop_symbolic_alleles(std::string_view chrom, std::uint64_t pos) {
    split_views(fields_[4], ',', keys_);
    std::vector<int> kept = {0};
    kept_alt_.clear();
    for (std::size_t a = 0; a < keys_.size(); ++a) {
      if (is_symbolic_allele(keys_[a])) continue;
      kept.push_back(static_cast<int>(a) + 1);
      kept_alt_ += (kept_alt_.empty() ? "" : ",") + std::string(keys_[a]);
    }
    if (kept.size() == keys_.size() + 1) return;
    if (kept.size() == 1) {
      wrong_format(where_record(chrom, pos),
                   "ALT '" + std::string(fields_[4]) +
                       "' holds only a symbolic allele: the file lists every covered position "
                       "(raw bcftools mpileup output or a gVCF), not candidate variants; run "
                       "bcftools call first (or bcftools view -e 'ALT=\"<*>\"')");
    }
    kept_genotypes_.clear();
    for (std::size_t s = 0; s < kept.size(); ++s) {
      for (std::size_t t = 0; t <= s; ++t) {
        const auto high = static_cast<std::size_t>(kept[s]);
        kept_genotypes_.push_back(high * (high + 1) / 2 + static_cast<std::size_t>(kept[t]));
      }
    }
    dropping_ = true;
    ++records_.symbolic_dropped;
  }

  void read_record(std::string_view chrom, std::uint64_t pos) {
    if (!records_.has_records) {
      records_.has_records = true;
      const std::string name(chrom);
      records_.chromosome = static_cast<int>(std::strtol(name.c_str(), nullptr, 10));
      // Numeric names print as the number did before, so "020" stays 20.
      const auto number = parse_integer(name);
      records_.chromosome_name =
          number && *number >= INT32_MIN && *number <= INT32_MAX ? std::to_string(*number) : name;
      const auto contig = contig_lengths_.find(name);
      if (contig != contig_lengths_.end()) records_.contig_length = contig->second;
    }
    const std::uint64_t key = records_.positions.assign(pos, true);
    const std::string_view ref = fields_[3];
    const std::string_view alt = fields_[4];
    // REF plus every comma-separated ALT allele, the symbolic ones too: their values are read,
    // then dropped.
    const int allele_count = static_cast<int>(std::count(alt.begin(), alt.end(), ',')) + 2;
    const std::size_t genotype_count =
        static_cast<std::size_t>(allele_count) * static_cast<std::size_t>(allele_count + 1) / 2;

    split_views(fields_[8], ':', keys_);
    std::size_t key_index = 0;
    LikelihoodKind kind = LikelihoodKind::kNone;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] == "GL") {
        key_index = i;
        kind = LikelihoodKind::kGL;
      }
    }
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] == "PL") {
        key_index = i;
        kind = LikelihoodKind::kPL;
      }
    }

    std::vector<double> likelihoods;
    if (kind == LikelihoodKind::kNone) {
      err_ << "WARNING! " << settings_.file_name << ": position " << pos
           << " has neither GL nor PL; it is not called from likelihoods\n";
      records_.keys_without_likelihoods.push_back(key);
    } else {
      likelihoods.reserve(genotype_count * sample_ids_.size());
      for (std::size_t j = 0; j < sample_ids_.size(); ++j) {
        read_sample(j, key_index, kind, genotype_count, likelihoods, chrom, pos);
      }
      if (dropping_) keep_real_genotypes(likelihoods, genotype_count);
      if (kind == LikelihoodKind::kPL) {
        print_pl(likelihoods, dropping_ ? kept_genotypes_.size() : genotype_count);
      }
    }
    if (settings_.keep_values) {
      records_.site_likelihoods.emplace_hint(records_.site_likelihoods.end(), key,
                                             std::move(likelihoods));
    }
    records_.alleles.insert(key, ref, dropping_ ? std::string_view(kept_alt_) : alt);
    dropping_ = false;
  }

  // Each sample's values of the genotypes among the kept alleles, in their VCF order.
  void keep_real_genotypes(std::vector<double>& likelihoods, std::size_t genotype_count) const {
    std::size_t out = 0;
    for (std::size_t first = 0; first < likelihoods.size(); first += genotype_count) {
      for (const std::size_t g : kept_genotypes_) likelihoods[out++] = likelihoods[first + g];
    }
    likelihoods.resize(out);
  }

  // Appends the sample's G Phred values, or G zeros when its likelihoods are missing.
  void read_sample(std::size_t sample, std::size_t key_index, LikelihoodKind kind,
                   std::size_t genotype_count, std::vector<double>& likelihoods,
                   std::string_view chrom, std::uint64_t pos) {
    const std::string_view field = fields_[column_of_[sample]];
    const char* begin = field.data();
    const char* const end = begin + field.size();
    // Skip to the likelihood sub-field; a field that ends before it (such as a lone
    // "./." when the key is not first) is missing.
    for (std::size_t i = 0; i < key_index; ++i) {
      while (begin != end && *begin != ':') ++begin;
      if (begin == end) {
        likelihoods.insert(likelihoods.end(), genotype_count, 0.0);
        return;
      }
      ++begin;
    }
    const char* value_end = begin;
    while (value_end != end && *value_end != ':') ++value_end;
    const std::string_view value(begin, static_cast<std::size_t>(value_end - begin));
    if (value.empty() || value == "." || (key_index == 0 && is_missing_genotype(value))) {
      likelihoods.insert(likelihoods.end(), genotype_count, 0.0);
      return;
    }

    const bool gl = kind == LikelihoodKind::kGL;
    const char* key_name = gl ? "GL" : "PL";
    const std::size_t first = likelihoods.size();
    std::size_t found = 0;
    double number = 0.0;
    for (const char* piece_begin = begin;; ++piece_begin) {
      const char* piece_end = piece_begin;
      while (piece_end != value_end && *piece_end != ',') ++piece_end;
      const std::string_view piece(piece_begin, static_cast<std::size_t>(piece_end - piece_begin));
      if (found == 0 && piece == ".") {  // ".,.,." and the like
        likelihoods.insert(likelihoods.end(), genotype_count, 0.0);
        return;
      }
      if (!parse_likelihood(piece, number)) bad_value(sample, key_name, piece, chrom, pos);
      likelihoods.push_back(gl ? -10.0 * number : number);
      ++found;
      piece_begin = piece_end;
      if (piece_end == value_end) break;
    }
    if (gl && found == 1) {
      // A single GL value carries no genotype information.
      likelihoods.resize(first);
      likelihoods.insert(likelihoods.end(), genotype_count, 0.0);
      return;
    }
    if (found != genotype_count) {
      wrong_format(where_record(chrom, pos),
                   "sample '" + sample_ids_[sample] + "' has " + std::to_string(found) + " " +
                       key_name + " values, expected " + std::to_string(genotype_count));
    }
  }

  [[noreturn]] void bad_value(std::size_t sample, const char* key_name, std::string_view piece,
                              std::string_view chrom, std::uint64_t pos) const {
    throw FatalError("ERROR! " + where_record(chrom, pos) + ": sample '" + sample_ids_[sample] +
                     "' has the " + key_name + " value '" + std::string(piece) +
                     "', which is not a finite number");
  }

  // One line per sample: its ID and its first three Phred values.
  void print_pl(const std::vector<double>& likelihoods, std::size_t genotype_count) {
    dump_.clear();
    for (std::size_t k = 0; k < sample_ids_.size(); ++k) {
      dump_ += sample_ids_[k];
      for (std::size_t g = 0; g < 3; ++g) {
        dump_ += ' ';
        append_number(dump_, likelihoods[genotype_count * k + g]);
      }
      dump_ += '\n';
    }
    out_.write(dump_.data(), static_cast<std::streamsize>(dump_.size()));
  }

  const std::vector<std::string>& sample_ids_;
  const LikelihoodSettings& settings_;
  std::map<std::string, std::string> contig_lengths_;  // ##contig ID -> length
  LikelihoodRecords& records_;
  std::ostream& out_;
  std::ostream& err_;

  std::string line_;
  std::string dump_;
  std::vector<std::string_view> fields_;
  std::vector<std::string_view> keys_;
  bool finished_ = false;
  std::vector<std::size_t> column_of_;  // sample index -> field index of its column
  std::uint64_t line_number_ = 0;
  bool have_header_ = false;
  bool have_data_ = false;
  std::string first_chrom_;
  std::uint64_t previous_pos_ = 0;
  // A record with symbolic ALT alleles to drop: its real ALTs and their genotypes' indices.
  bool dropping_ = false;
  std::string kept_alt_;
  std::vector<std::size_t> kept_genotypes_;
};

}  // namespace

std::uint64_t likelihood_keys_from(std::uint64_t lower) {
  return lower > kKeyLookback ? lower - kKeyLookback : 0;
}

void read_likelihood_vcf(std::istream& in, const std::vector<std::string>& sample_ids,
                         const LikelihoodSettings& settings, LikelihoodRecords& records,
                         std::ostream& out, std::ostream& err) {
  LikelihoodReader(sample_ids, settings, records, out, err).read(in);
  if (records.symbolic_dropped > 0) {
    err << "WARNING! " << settings.file_name << ": dropped the symbolic ALT allele (<*> or "
        << "<NON_REF>) and its likelihoods from " << records.symbolic_dropped
        << " records that also carry a real ALT allele" << std::endl;
  }
  // What was read stays through the run: no room is kept for more.
  records.alleles.shrink_to_fit();
  records.keys_without_likelihoods.shrink_to_fit();
  records.positions.shrink_to_fit();
}

namespace {

// Takes every character and keeps none.
class DiscardBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

struct LikelihoodPuller::State {
  State(const std::vector<std::string>& sample_ids, const LikelihoodSettings& settings,
        std::function<bool(std::uint64_t)> wanted)
      : settings(settings),
        wanted(std::move(wanted)),
        reader(sample_ids, this->settings, records, discard, discard) {}

  LikelihoodSettings settings;
  std::function<bool(std::uint64_t)> wanted;
  LikelihoodRecords records;
  // The echo and warnings went out in the first reading. Dropped, not held: a string
  // stream would keep every record's Phred echo, growing with the region.
  DiscardBuffer discard_buffer;
  std::ostream discard{&discard_buffer};
  LikelihoodReader reader;
  std::uint64_t last_key = 0;
};

LikelihoodPuller::LikelihoodPuller(std::istream& in, const std::vector<std::string>& sample_ids,
                                   const LikelihoodSettings& settings,
                                   std::function<bool(std::uint64_t)> wanted)
    : in_(in), state_(std::make_unique<State>(sample_ids, settings, std::move(wanted))) {
  state_->settings.keep_values = true;
}

LikelihoodPuller::~LikelihoodPuller() = default;

std::vector<double> LikelihoodPuller::take(std::uint64_t key) {
  State& s = *state_;
  auto& values = s.records.site_likelihoods;
  while (values.count(key) == 0 && s.reader.read_next(in_)) {
    if (values.empty()) continue;  // a line before the region, or without an ALT allele
    // Only what is still wanted stays; the rest of the record is not needed here.
    const std::uint64_t read_key = values.rbegin()->first;
    s.last_key = read_key;
    if (!s.wanted(read_key)) {
      std::vector<double>().swap(values.rbegin()->second);
    }
    s.records.alleles.clear();
    s.records.keys_without_likelihoods.clear();
  }
  std::vector<double> taken;
  const auto it = values.find(key);
  if (it != values.end()) taken.swap(it->second);
  // Emptied entries behind the last record read are done with.
  for (auto e = values.begin(); e != values.end() && e->first < s.last_key;) {
    e = e->second.empty() ? values.erase(e) : std::next(e);
  }
  return taken;
}
