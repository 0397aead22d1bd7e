#include <algorithm>
#include <fstream>
#include <iostream>
#include <string_view>
#include <unordered_map>

#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

bool names_no_one(std::string_view field) { return field == "0" || field == "-9"; }

// Sample ids to their 1-based numbers.
std::unordered_map<std::string_view, int> sample_numbers(
    const std::vector<std::string>& sample_ids) {
  const int n = static_cast<int>(sample_ids.size());
  std::unordered_map<std::string_view, int> number_of;
  number_of.reserve(sample_ids.size());
  for (int i = 0; i < n; ++i) number_of.emplace(sample_ids[static_cast<std::size_t>(i)], i + 1);
  return number_of;
}

void check_pedigree_line(const std::vector<std::string_view>& fields, const std::string& file_name,
                         std::uint64_t line_number) {
  if (fields.size() < 4) {
    throw FatalError(error_prefix(file_name, line_number) +
                     "expected at least 4 fields (family, individual, two parents), found " +
                     std::to_string(fields.size()));
  }
  // Columns 5 and 6 (sex, phenotype) never name members.
  const std::string_view individual = fields[1];
  if (names_no_one(individual)) {
    throw FatalError(error_prefix(file_name, line_number) + "no individual named in column 2 ('" +
                     std::string(individual) + "')");
  }
  for (std::size_t a = 1; a <= 3; ++a) {
    for (std::size_t b = a + 1; b <= 3; ++b) {
      if (!names_no_one(fields[a]) && fields[a] == fields[b]) {
        throw FatalError(error_prefix(file_name, line_number) + "sample '" +
                         std::string(fields[a]) + "' is named twice");
      }
    }
  }
}

// The unit of a line's individual with the parents among the samples; a line whose
// individual is no sample is counted and skipped.
void add_unit(const std::vector<std::string_view>& fields,
              const std::unordered_map<std::string_view, int>& number_of, PedigreeCounts& counts,
              PedigreeRows& rows) {
  const auto found = number_of.find(fields[1]);
  if (found == number_of.end()) {
    ++counts.skipped_lines;
    return;
  }
  std::vector<int> row{1, found->second, 0, 0, 0};
  for (std::size_t column = 2; column <= 3; ++column) {
    if (names_no_one(fields[column])) continue;
    const auto parent = number_of.find(fields[column]);
    if (parent == number_of.end()) {
      ++counts.missing_parents;
      continue;
    }
    row[column] = parent->second;
    ++row[0];
  }
  rows.push_back(std::move(row));
}

// Each individual's line and parents as the file gives them, to refuse a pedigree that
// cannot be: an individual on two lines, or one who is its own ancestor.
struct ListedIndividual {
  std::uint64_t line = 0;
  std::string parents[2];
};
using ListedIndividuals = std::unordered_map<std::string, ListedIndividual>;

void list_individual(const std::vector<std::string_view>& fields, const std::string& file_name,
                     std::uint64_t line_number, ListedIndividuals& listed) {
  ListedIndividual entry{line_number, {std::string(fields[2]), std::string(fields[3])}};
  const auto [it, added] = listed.emplace(std::string(fields[1]), entry);
  if (added) return;
  const ListedIndividual& first = it->second;
  const bool same = first.parents[0] == entry.parents[0] && first.parents[1] == entry.parents[1];
  throw FatalError(error_prefix(file_name, line_number) + "individual '" + it->first +
                   "' is already on line " + std::to_string(first.line) +
                   (same ? " (a repeated line)" : " with other parents (a child in two families)"));
}

// Follows parents upwards from every individual; meeting one on the current path is a
// cycle.
void refuse_cycles(const std::string& file_name, const ListedIndividuals& listed) {
  enum : char { kNew, kOnPath, kDone };
  std::unordered_map<std::string, char> state;
  for (const auto& start : listed) {
    if (state[start.first] != kNew) continue;
    // Depth-first with an explicit stack of (individual, next parent to visit).
    std::vector<std::pair<const std::string*, int>> path{{&start.first, 0}};
    state[start.first] = kOnPath;
    while (!path.empty()) {
      auto& [name, next] = path.back();
      const auto entry = listed.find(*name);
      if (entry == listed.end() || next == 2) {
        state[*name] = kDone;
        path.pop_back();
        continue;
      }
      const std::string& parent = entry->second.parents[next++];
      if (names_no_one(parent) || listed.count(parent) == 0) continue;
      const char seen = state[parent];
      if (seen == kOnPath) {
        throw FatalError("ERROR! " + file_name + ": line " +
                         std::to_string(listed.at(parent).line) + ": sample '" + parent +
                         "' is its own ancestor (through line " +
                         std::to_string(entry->second.line) + ", individual '" + *name + "')");
      }
      if (seen == kNew) {
        state[parent] = kOnPath;
        path.emplace_back(&listed.find(parent)->first, 0);
      }
    }
  }
}

PedigreeRows read_listed_units(std::istream& in, const std::string& file_name,
                               const std::unordered_map<std::string_view, int>& number_of,
                               PedigreeCounts& counts) {
  PedigreeRows rows;
  std::string line;
  std::vector<std::string_view> fields;
  std::uint64_t line_number = 0;
  ListedIndividuals listed;
  while (std::getline(in, line)) {
    ++line_number;
    strip_carriage_return(line);
    split_whitespace(line, fields);
    if (fields.empty()) continue;
    check_pedigree_line(fields, file_name, line_number);
    list_individual(fields, file_name, line_number, listed);
    add_unit(fields, number_of, counts, rows);
  }
  if (in.bad()) {
    throw FatalError("ERROR! Reading " + file_name + " failed after line " +
                     std::to_string(line_number));
  }
  refuse_cycles(file_name, listed);
  return rows;
}

// A parent with a line of its own is updated through its child's unit only.
void drop_units_of_parents(int n, PedigreeRows& rows) {
  std::vector<char> is_parent(static_cast<std::size_t>(n) + 1, 0);
  for (const auto& row : rows) {
    is_parent[static_cast<std::size_t>(row[2])] = 1;
    is_parent[static_cast<std::size_t>(row[3])] = 1;
  }
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const std::vector<int>& row) {
                              return row[0] == 1 && is_parent[static_cast<std::size_t>(row[1])];
                            }),
             rows.end());
}

// Samples the file does not name would never be updated without a unit of their own.
void add_units_of_unnamed(int n, PedigreeRows& rows) {
  std::vector<char> in_unit(static_cast<std::size_t>(n) + 1, 0);
  for (const auto& row : rows) {
    for (std::size_t slot = 1; slot <= 3; ++slot) in_unit[static_cast<std::size_t>(row[slot])] = 1;
  }
  for (int i = 1; i <= n; ++i) {
    if (!in_unit[static_cast<std::size_t>(i)]) rows.push_back({1, i, 0, 0, 0});
  }
}

}  // namespace

int settle_k(int sample_count, bool has_k, int k, std::ostream& out) {
  const int maximum = 2 * sample_count - 2;
  if (!has_k) k = std::min(maximum, kDefaultHaplotypeCap);
  if (has_k && k == kAllHaplotypes) k = maximum;
  if (k > maximum) {
    out << " k value greater than maximum " << '\n';
    throw FatalError("ERROR! --k " + std::to_string(k) + " is greater than the maximum 2N - 2 = " +
                     std::to_string(maximum) + " for " + std::to_string(sample_count) + " samples");
  }
  // With one haplotype selected the weights' correction 1 - sum(w^2) is zero.
  if (k < 2) throw FatalError("ERROR! --k must be at least 2, got " + std::to_string(k));
  return k;
}

PedigreeRows single_sample_units(int sample_count) {
  PedigreeRows rows;
  rows.reserve(static_cast<std::size_t>(sample_count));
  for (int i = 1; i <= sample_count; ++i) rows.push_back({1, i, 0, 0, 0});
  return rows;
}

PedigreeRows read_pedigree_units(std::istream& in, const std::string& file_name,
                                 const std::vector<std::string>& sample_ids,
                                 PedigreeCounts& counts) {
  const int n = static_cast<int>(sample_ids.size());
  const std::unordered_map<std::string_view, int> number_of = sample_numbers(sample_ids);
  PedigreeRows rows = read_listed_units(in, file_name, number_of, counts);
  drop_units_of_parents(n, rows);
  add_units_of_unnamed(n, rows);
  return rows;
}
