#include <algorithm>
#include <fstream>
#include <iostream>
#include <string_view>
#include <unordered_map>

#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

PositionList read_positions(std::istream& in, const std::string& file_name) {
  PositionList list;
  std::string line;
  std::vector<std::string_view> tokens;
  while (std::getline(in, line)) {
    ++list.line_count;
    split_whitespace(line, tokens);
    for (const std::string_view token : tokens) {
      const auto value = parse_integer(token);
      if (!value || *value < 0 || *value > 2147483647) {
        throw FatalError("ERROR! " + file_name + ":" + std::to_string(list.line_count) +
                         ": position '" + std::string(token) +
                         "' is not a whole number from 0 to 2147483647");
      }
      list.positions.push_back(static_cast<std::uint64_t>(*value));
    }
  }
  if (list.positions.empty()) {
    throw FatalError("ERROR! The position list " + file_name + " holds no position");
  }
  std::sort(list.positions.begin(), list.positions.end());
  return list;
}

std::vector<std::string> read_sample_ids(std::istream& in, const std::string& file_name) {
  std::vector<std::string> ids;
  std::unordered_map<std::string, int> line_of;
  std::string line;
  std::vector<std::string_view> tokens;
  int line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    split_whitespace(line, tokens);
    if (tokens.empty()) continue;
    std::string id(tokens.back());
    const auto [it, inserted] = line_of.emplace(id, line_number);
    if (!inserted) {
      throw FatalError("ERROR! Duplicate sample ID '" + id + "' in " + file_name + ": lines " +
                       std::to_string(it->second) + " and " + std::to_string(line_number));
    }
    ids.push_back(std::move(id));
  }
  return ids;
}
