#include <algorithm>
#include <fstream>
#include <iostream>
#include <string_view>

#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

constexpr std::int64_t kMarginBefore = 5000000;
constexpr std::int64_t kMarginAfter = 1000000;
// Sites kept after the region in all, however far past the margin they lie.
constexpr int kSitesAfterRegion = 200;

}  // namespace

std::uint64_t scaffold_kept_from(std::uint64_t lower) {
  return lower > static_cast<std::uint64_t>(kMarginBefore) ? lower - kMarginBefore : 0;
}

void read_scaffold_sites(std::istream& in, const ScaffoldSettings& settings,
                         const AlleleTable& likelihood_alleles, ScaffoldData& scaffold) {
  const std::int64_t upper = static_cast<std::int64_t>(settings.upper);
  scaffold.range = {static_cast<std::int64_t>(scaffold_kept_from(settings.lower)),
                    upper + kMarginAfter};
  const std::size_t haplotype_count = 2 * static_cast<std::size_t>(settings.sample_count);
  const std::size_t needed_fields = 5 + haplotype_count;
  scaffold.haplotypes = SiteRows(haplotype_count);
  const std::string& file = settings.file_name;

  std::string line;
  std::vector<std::string_view> fields;
  std::uint64_t line_number = 0;
  std::int64_t previous = -1;
  int sites_after_region = 0;
  auto where = [&]() { return error_prefix(file, line_number); };

  // Extra sites (past the range) only add alleles where the likelihood file left none.
  auto store = [&](std::uint64_t pos, bool extra) {
    if (fields.size() < needed_fields) {
      throw FatalError(where() + "expected " + std::to_string(needed_fields) + " fields (5 + 2 x " +
                       std::to_string(settings.sample_count) + " samples), found " +
                       std::to_string(fields.size()));
    }
    std::vector<std::uint8_t> row(haplotype_count);
    for (std::size_t k = 0; k < haplotype_count; ++k) {
      const std::string_view value = fields[5 + k];
      if (value == "0" || value == "1") {
        row[k] = value == "1" ? 1 : 0;
      } else {
        throw FatalError(where() + "haplotype value '" + std::string(value) + "' in column " +
                         std::to_string(6 + k) + " (sample " + std::to_string(k / 2 + 1) +
                         ") is not 0 or 1");
      }
    }
    // A repeated position keeps everything of its first line, once its values are checked.
    if (scaffold.haplotypes.size() != 0 && scaffold.haplotypes.positions().back() == pos) return;
    if (!extra || !likelihood_alleles.contains(pos)) {
      scaffold.alleles.insert(pos, fields[3], fields[4]);
    }
    scaffold.haplotypes.append(pos, row);
  };

  while (std::getline(in, line)) {
    ++line_number;
    strip_carriage_return(line);
    split_whitespace(line, fields);
    if (fields.empty()) continue;
    if (scaffold.other_chromosome.skip(fields[0], settings.chromosome)) continue;
    if (fields.size() < 3) {
      throw FatalError(where() + "expected a position in column 3, found " +
                       std::to_string(fields.size()) + " field" + (fields.size() == 1 ? "" : "s"));
    }
    const std::int64_t pos = sorted_layout_position(fields[2], previous, file, line_number);
    if (pos > scaffold.range[1]) {
      if (sites_after_region >= kSitesAfterRegion) break;
      store(static_cast<std::uint64_t>(pos), true);
      ++sites_after_region;
      scaffold.range[1] = pos;
    } else if (pos >= scaffold.range[0]) {
      if (pos > upper) ++sites_after_region;
      store(static_cast<std::uint64_t>(pos), false);
    }
  }
  if (in.bad()) {
    throw FatalError("ERROR! Reading " + file + " failed after line " +
                     std::to_string(line_number));
  }
  scaffold.alleles.shrink_to_fit();
  scaffold.haplotypes.shrink_to_fit();
}

std::int64_t sorted_layout_position(std::string_view field, std::int64_t& previous,
                                    const std::string& file_name, std::uint64_t line_number) {
  const std::string where = error_prefix(file_name, line_number);
  const auto parsed = parse_integer(field);
  if (!parsed || *parsed < 0 || *parsed > 2147483647) {
    throw FatalError(where + "position '" + std::string(field) +
                     "' is not a whole number from 0 to 2147483647");
  }
  if (*parsed < previous) {
    throw FatalError(where + "position " + std::to_string(*parsed) + " is below position " +
                     std::to_string(previous) +
                     " of the line before; the file must be sorted by position");
  }
  previous = *parsed;
  return *parsed;
}

bool OtherChromosomeLines::skip(std::string_view name, const std::string& chromosome) {
  if (chromosome.empty() || name == chromosome) return false;
  if (count == 0) first = name;
  ++count;
  return true;
}

void OtherChromosomeLines::warn(std::ostream& err, const std::string& file,
                                const std::string& chromosome) const {
  if (count == 0) return;
  err << "WARNING! " << file << ": skipped " << count << " lines of other chromosomes than "
      << chromosome << std::endl;
}
