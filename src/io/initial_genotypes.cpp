#include <climits>
#include <fstream>
#include <functional>
#include <iostream>
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

// Each phased record of the region whose position wanted accepts, to take: its alleles,
// two per sample, in sample order.
void read_phased_records(std::istream& in, const InitialSettings& settings,
                         const std::function<bool(std::uint64_t)>& wanted,
                         const std::function<void(std::uint64_t, std::vector<int>&)>& take) {
  const std::size_t n = static_cast<std::size_t>(settings.sample_count);
  std::string line;
  std::vector<std::string_view> fields;
  std::vector<std::string_view> keys;
  std::uint64_t line_number = 0;
  auto where = [&]() { return error_prefix(settings.file_name, line_number); };

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
    std::size_t gt_index = keys.size();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == "GT") gt_index = i;
    }
    if (gt_index == keys.size()) {
      throw FatalError(where() + "FORMAT '" + std::string(fields[8]) + "' has no GT key");
    }
    std::vector<int> alleles(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view field = fields[9 + i];
      std::size_t start = 0;
      bool present = true;
      for (std::size_t k = 0; k < gt_index && present; ++k) {
        start = field.find(':', start);
        present = start != std::string_view::npos;
        if (present) ++start;
      }
      const std::string_view gt =
          present ? field.substr(start, field.find(':', start) - start) : std::string_view();
      const std::size_t bar = gt.find('|');
      if (!present || bar == std::string_view::npos ||
          !parse_allele(gt.substr(0, bar), alleles[2 * i]) ||
          !parse_allele(gt.substr(bar + 1), alleles[2 * i + 1])) {
        throw FatalError(where() + "genotype '" + std::string(gt) + "' of sample " +
                         std::to_string(i + 1) + " (column " + std::to_string(10 + i) +
                         ") is not two allele numbers joined by '|'");
      }
    }
    take(pos, alleles);
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
      in, settings, [&](std::uint64_t pos) { return genotypes.count(pos) == 0; },
      [&](std::uint64_t pos, std::vector<int>& alleles) {
        genotypes.emplace(pos, std::move(alleles));
      });
}

void read_called_haplotypes(std::istream& in, const InitialSettings& settings,
                            const std::function<bool(std::uint64_t)>& keep,
                            std::map<std::uint64_t, std::vector<std::uint8_t>>& haplotypes) {
  read_phased_records(
      in, settings, [&](std::uint64_t pos) { return keep(pos) && haplotypes.count(pos) == 0; },
      [&](std::uint64_t pos, std::vector<int>& alleles) {
        std::vector<std::uint8_t> bytes(alleles.size());
        for (std::size_t i = 0; i < alleles.size(); ++i) {
          bytes[i] = alleles[i] <= 1 ? static_cast<std::uint8_t>(alleles[i]) : kUnknownCalledAllele;
        }
        haplotypes.emplace(pos, std::move(bytes));
      });
}
