#include <climits>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string_view>

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

// Each phased record of the region whose position wanted accepts, to take: its alleles,
// two per sample, and with read_certainty each sample's AVGPOST where the record's FORMAT
// has one.
void read_phased_records(std::istream& in, const InitialSettings& settings, bool read_certainty,
                         const std::function<bool(std::uint64_t)>& wanted,
                         const std::function<void(std::uint64_t, PhasedCalls&)>& take) {
  const std::size_t n = static_cast<std::size_t>(settings.sample_count);
  std::string line;
  std::vector<std::string_view> fields;
  std::vector<std::string_view> keys;
  std::uint64_t line_number = 0;
  auto where = [&]() { return error_prefix(settings.file_name, line_number); };
  PhasedCalls calls;
  while (std::getline(in, line)) {
    ++line_number;
    strip_carriage_return(line);
    if (line.empty() || line.front() == '#' || is_blank(line)) continue;
    split_views(line, '\t', fields);
    if (fields.size() < 9 + n) {
      throw FatalError(where() + "expected at least " + std::to_string(9 + n) +
                       " tab-separated fields (9 + " + std::to_string(n) + " samples), found " +
                       std::to_string(fields.size()));
    }
    const auto parsed = parse_integer(fields[1]);
    if (!parsed || *parsed < 1 || *parsed > 2147483647) {
      throw FatalError(where() + "POS '" + std::string(fields[1]) +
                       "' is not a whole number from 1 to 2147483647");
    }
    const auto pos = static_cast<std::uint64_t>(*parsed);
    if (pos < settings.lower || pos > settings.upper || fields[4] == ".") continue;
    if (!wanted(pos)) continue;

    split_views(fields[8], ':', keys);
    const std::size_t gt_index = key_index(keys, "GT");
    if (gt_index == keys.size()) {
      throw FatalError(where() + "FORMAT '" + std::string(fields[8]) + "' has no GT key");
    }
    const std::size_t certainty_index = key_index(keys, "AVGPOST");
    calls.alleles.assign(2 * n, 0);
    calls.certainty.assign(read_certainty && certainty_index < keys.size() ? n : 0, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view field = fields[9 + i];
      const std::string_view gt = subfield(field, gt_index).value_or(std::string_view());
      const std::size_t bar = gt.find('|');
      if (bar == std::string_view::npos || !parse_allele(gt.substr(0, bar), calls.alleles[2 * i]) ||
          !parse_allele(gt.substr(bar + 1), calls.alleles[2 * i + 1])) {
        throw FatalError(where() + "genotype '" + std::string(gt) + "' of sample " +
                         std::to_string(i + 1) + " (column " + std::to_string(10 + i) +
                         ") is not two allele numbers joined by '|'");
      }
      if (calls.certainty.empty()) continue;
      const std::string_view text = subfield(field, certainty_index).value_or(".");
      const auto value = text == "." ? std::optional<double>(0.0) : parse_finite_double(text);
      if (!value || *value < 0.0 || *value > 1.0) {
        throw FatalError(where() + "AVGPOST '" + std::string(text) + "' of sample " +
                         std::to_string(i + 1) + " (column " + std::to_string(10 + i) +
                         ") is not a number from 0 to 1");
      }
      calls.certainty[i] = *value;
    }
    take(pos, calls);
  }
  if (in.bad()) {
    throw FatalError("ERROR! Reading " + settings.file_name + " failed after line " +
                     std::to_string(line_number));
  }
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
          site.alleles[i] = allele <= 1 ? static_cast<std::uint8_t>(allele) : kUnknownCalledAllele;
        }
        site.doubt.resize(calls.certainty.size());
        for (std::size_t i = 0; i < calls.certainty.size(); ++i) {
          site.doubt[i] = static_cast<float>(1.0 - calls.certainty[i]);
        }
        sites.emplace(pos, std::move(site));
      });
}
