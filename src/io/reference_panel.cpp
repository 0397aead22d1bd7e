#include <fstream>
#include <iostream>
#include <string_view>

#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

void read_reference_panel(std::istream& in, const std::string& file_name,
                          const std::vector<std::int64_t>& scaffold_range,
                          const SiteRows& scaffold_haplotypes,
                          const AlleleTable& likelihood_alleles,
                          const RecordPositions& record_positions, PanelData& panel) {
  std::string line;
  std::vector<std::string_view> fields;
  std::uint64_t line_number = 0;
  std::size_t field_count = 0;  // fixed by the first line
  std::int64_t previous = -1;
  auto where = [&]() { return error_prefix(file_name, line_number); };

  while (std::getline(in, line)) {
    ++line_number;
    strip_carriage_return(line);
    split_whitespace(line, fields);
    if (fields.empty() || panel.other_chromosome.skip(fields[0], panel.chromosome)) continue;
    if (fields.size() < 6) {
      throw FatalError(where() + "expected at least 6 fields (5 + the panel haplotypes), found " +
                       std::to_string(fields.size()));
    }
    if (field_count == 0) {
      field_count = fields.size();
    } else if (fields.size() != field_count) {
      throw FatalError(where() + "expected " + std::to_string(field_count) +
                       " fields like the lines before, found " + std::to_string(fields.size()));
    }
    const std::int64_t pos = sorted_layout_position(fields[2], previous, file_name, line_number);
    panel.haplotype_count = static_cast<int>(field_count - 5);
    if (pos > scaffold_range[1]) break;
    if (pos < scaffold_range[0]) continue;
    const auto key = static_cast<std::uint64_t>(pos);
    // Only sites that a window or a variant can use; the first line of a position wins.
    if (!panel.every_site && !scaffold_haplotypes.contains(key) &&
        record_positions.keys_at(key, likelihood_alleles.keys()).empty()) {
      continue;
    }
    std::vector<std::uint8_t> row(field_count - 5);
    for (std::size_t r = 0; r < row.size(); ++r) {
      const std::string_view value = fields[5 + r];
      if (value != "0" && value != "1") {
        throw FatalError(where() + "haplotype value '" + std::string(value) + "' in column " +
                         std::to_string(6 + r) + " is not 0 or 1");
      }
      row[r] = value == "1" ? 1 : 0;
    }
    // The first line of a repeated position wins, once its values are checked.
    if (panel.alleles.contains(key)) continue;
    panel.alleles.insert(key, fields[3], fields[4]);
    panel.haplotypes.emplace_hint(panel.haplotypes.end(), key, std::move(row));
  }
  if (in.bad()) {
    throw FatalError("ERROR! Reading " + file_name + " failed after line " +
                     std::to_string(line_number));
  }
  panel.alleles.shrink_to_fit();
}
