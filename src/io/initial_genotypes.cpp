#include <climits>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "io/chromosome_names.h"
#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

// One allele index of a phased GT: a whole number from 0 up.
bool parse_allele(std::string_view text, int& allele) {
  const auto value = parse_integer(text);
  if (!value || *value < 0 || *value > INT_MAX || text.front() == '+') return false;
  allele = static_cast<int>(*value);
  return true;
}

// The index-th ':'-separated subfield of a sample's field, or nothing when it has fewer.
std::optional<std::string_view> subfield(std::string_view field, std::size_t index) {
  std::size_t start = 0;
  for (std::size_t k = 0; k < index; ++k) {
    start = field.find(':', start);
    if (start == std::string_view::npos) return std::nullopt;
    ++start;
  }
  return field.substr(start, field.find(':', start) - start);
}

std::size_t key_index(const std::vector<std::string_view>& keys, std::string_view name) {
  std::size_t index = keys.size();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == name) index = i;  // the last one counts
  }
  return index;
}

// A GT that says the sample was not called: "." for an allele, as "./.", ".|." or ".".
bool is_missing_call(std::string_view gt) {
  const std::size_t bar = gt.find_first_of("|/");
  return gt == "." ||
         (bar != std::string_view::npos && (gt.substr(0, bar) == "." || gt.substr(bar + 1) == "."));
}

// Each phased record of the region whose position wanted accepts, handed to take: its
// alleles, two per sample, and with read_certainty each sample's AVGPOST where the record's
// FORMAT has one.
class PhasedRecordReader {
 public:
  PhasedRecordReader(const InitialSettings& settings, bool read_certainty,
                     const std::function<bool(std::uint64_t)>& wanted,
                     const std::function<void(std::uint64_t, PhasedCalls&)>& take)
      : settings_(settings), read_certainty_(read_certainty), wanted_(wanted), take_(take) {
    const auto n = static_cast<std::size_t>(settings.sample_count);
    for (std::size_t i = 0; i < n; ++i) columns_.push_back(9 + i);
    needed_fields_ = 9 + n;
  }

  void read(std::istream& in) {
    while (std::getline(in, line_)) {
      ++line_number_;
      strip_carriage_return(line_);
      if (line_.empty() || is_blank(line_)) continue;
      if (line_.front() == '#') {
        if (line_.compare(0, 6, "#CHROM") == 0) read_header();
        continue;
      }
      read_record();
    }
    if (in.bad()) {
      throw FatalError("ERROR! Reading " + settings_.file_name + " failed after line " +
                       std::to_string(line_number_));
    }
    if (!run_chromosome_seen_ && !other_chromosome_.empty()) {
      throw FatalError(chromosome_mismatch(settings_.chromosome_source, settings_.chromosome,
                                           settings_.file_name, other_chromosome_));
    }
  }

 private:
  std::string where() const { return error_prefix(settings_.file_name, line_number_); }

  // Names in the #CHROM line place the samples by name; a line without them leaves the
  // sample list's order.
  void read_header() {
    split_views(line_, '\t', fields_);
    if (fields_.size() <= 9 || settings_.sample_ids.empty()) return;
    std::unordered_map<std::string_view, std::size_t> column_of;
    for (std::size_t c = 9; c < fields_.size(); ++c) {
      if (!column_of.emplace(fields_[c], c).second) {
        throw FatalError(where() + "sample '" + std::string(fields_[c]) +
                         "' is named twice in the #CHROM line");
      }
    }
    for (std::size_t i = 0; i < settings_.sample_ids.size(); ++i) {
      const auto found = column_of.find(settings_.sample_ids[i]);
      if (found == column_of.end()) {
        throw FatalError(where() + "sample '" + settings_.sample_ids[i] +
                         "' of the sample file is not in the #CHROM line, which names " +
                         std::to_string(fields_.size() - 9) + " samples");
      }
      columns_[i] = found->second;
    }
    needed_fields_ = fields_.size();
  }

  void read_record() {
    split_views(line_, '\t', fields_);
    if (fields_.size() < needed_fields_) {
      throw FatalError(where() + "expected at least " + std::to_string(needed_fields_) +
                       " tab-separated fields (9 + " + std::to_string(needed_fields_ - 9) +
                       " samples), found " + std::to_string(fields_.size()));
    }
    if (!settings_.chromosome.empty() && fields_[0] != settings_.chromosome) {
      if (other_chromosome_.empty()) other_chromosome_ = fields_[0];
      return;
    }
    run_chromosome_seen_ = true;
    const auto parsed = parse_integer(fields_[1]);
    if (!parsed || *parsed < 1 || *parsed > 2147483647) {
      throw FatalError(where() + "POS '" + std::string(fields_[1]) +
                       "' is not a whole number from 1 to 2147483647");
    }
    const auto pos = static_cast<std::uint64_t>(*parsed);
    if (pos < settings_.lower || pos > settings_.upper || fields_[4] == ".") return;
    if (!wanted_(pos)) return;
    split_views(fields_[8], ':', keys_);
    const std::size_t gt_index = key_index(keys_, "GT");
    if (gt_index == keys_.size()) {
      throw FatalError(where() + "FORMAT '" + std::string(fields_[8]) + "' has no GT key");
    }
    const std::size_t certainty_index = key_index(keys_, "AVGPOST");
    const std::size_t n = columns_.size();
    calls_.alleles.assign(2 * n, 0);
    calls_.certainty.assign(read_certainty_ && certainty_index < keys_.size() ? n : 0, 0.0);
    for (std::size_t i = 0; i < n; ++i) read_sample(i, gt_index, certainty_index);
    take_(pos, calls_);
  }

  void read_sample(std::size_t i, std::size_t gt_index, std::size_t certainty_index) {
    const std::string_view field = fields_[columns_[i]];
    const std::string column = " (column " + std::to_string(columns_[i] + 1) + ")";
    const std::string_view gt = subfield(field, gt_index).value_or(std::string_view());
    const std::size_t bar = gt.find('|');
    if (is_missing_call(gt)) {
      calls_.alleles[2 * i] = calls_.alleles[2 * i + 1] = kMissingAllele;
    } else if (bar == std::string_view::npos ||
               !parse_allele(gt.substr(0, bar), calls_.alleles[2 * i]) ||
               !parse_allele(gt.substr(bar + 1), calls_.alleles[2 * i + 1])) {
      throw FatalError(where() + "genotype '" + std::string(gt) + "' of sample " + sample_name(i) +
                       column + " is not two allele numbers joined by '|'");
    }
    if (calls_.certainty.empty()) return;
    const std::string_view text = subfield(field, certainty_index).value_or(".");
    const auto value = text == "." ? std::optional<double>(0.0) : parse_finite_double(text);
    if (!value || *value < 0.0 || *value > 1.0) {
      throw FatalError(where() + "AVGPOST '" + std::string(text) + "' of sample " + sample_name(i) +
                       column + " is not a number from 0 to 1");
    }
    calls_.certainty[i] = *value;
  }

  std::string sample_name(std::size_t i) const {
    return i < settings_.sample_ids.size() ? settings_.sample_ids[i] : std::to_string(i + 1);
  }

  const InitialSettings& settings_;
  const bool read_certainty_;
  const std::function<bool(std::uint64_t)>& wanted_;
  const std::function<void(std::uint64_t, PhasedCalls&)>& take_;
  std::vector<std::size_t> columns_;  // field index of each sample's column
  std::size_t needed_fields_ = 0;
  std::string line_;
  std::vector<std::string_view> fields_;
  std::vector<std::string_view> keys_;
  std::uint64_t line_number_ = 0;
  PhasedCalls calls_;
  bool run_chromosome_seen_ = false;
  std::string other_chromosome_;
};

void read_phased_records(std::istream& in, const InitialSettings& settings, bool read_certainty,
                         const std::function<bool(std::uint64_t)>& wanted,
                         const std::function<void(std::uint64_t, PhasedCalls&)>& take) {
  PhasedRecordReader(settings, read_certainty, wanted, take).read(in);
}

}  // namespace

void read_initial_genotypes(std::istream& in, const InitialSettings& settings,
                            std::map<std::uint64_t, std::vector<int>>& genotypes) {
  // The first line of a position wins.
  read_phased_records(
      in, settings, false, [&](std::uint64_t pos) { return genotypes.count(pos) == 0; },
      [&](std::uint64_t pos, PhasedCalls& calls) {
        genotypes.emplace(pos, std::move(calls.alleles));
      });
}

void read_called_haplotypes(std::istream& in, const InitialSettings& settings,
                            const std::function<bool(std::uint64_t)>& keep,
                            std::map<std::uint64_t, CalledSite>& sites) {
  read_phased_records(
      in, settings, true, [&](std::uint64_t pos) { return keep(pos) && sites.count(pos) == 0; },
      [&](std::uint64_t pos, PhasedCalls& calls) {
        CalledSite site;
        site.alleles.resize(calls.alleles.size());
        for (std::size_t i = 0; i < calls.alleles.size(); ++i) {
          const int allele = calls.alleles[i];
          site.alleles[i] =
              allele == 0 || allele == 1 ? static_cast<std::uint8_t>(allele) : kUnknownCalledAllele;
        }
        site.doubt.resize(calls.certainty.size());
        for (std::size_t i = 0; i < calls.certainty.size(); ++i) {
          site.doubt[i] = static_cast<float>(1.0 - calls.certainty[i]);
        }
        sites.emplace(pos, std::move(site));
      });
}
