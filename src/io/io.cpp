#include "io/io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "util/errors.h"

namespace futils {
std::string extensionFile(std::string& name) {
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return "";
  return name.substr(dot + 1);
}
}  // namespace futils

namespace {

// The empty block bgzip writes last; a BGZF file without it was cut short.
constexpr unsigned char kBgzfEofBlock[28] = {0x1f, 0x8b, 8,    4,    0, 0, 0,    0, 0, 0xff,
                                             6,    0,    0x42, 0x43, 2, 0, 0x1b, 0, 3, 0,
                                             0,    0,    0,    0,    0, 0, 0,    0};

// Whether a regular file starting with a BGZF block header ends without the end-of-file
// block. A pipe cannot be looked at from its end, and plain gzip has no such block: both
// pass.
bool bgzf_lacks_eof_block(const std::string& name, std::ifstream& file) {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  unsigned char head[14] = {};
  file.read(reinterpret_cast<char*>(head), sizeof head);
  const bool bgzf =
      file.gcount() == sizeof head && (head[3] & 4) != 0 && head[12] == 'B' && head[13] == 'C';
  file.clear();
  if (!bgzf) return false;
  if (info.st_size < static_cast<off_t>(sizeof kBgzfEofBlock)) return true;
  unsigned char tail[sizeof kBgzfEofBlock] = {};
  file.seekg(-static_cast<std::streamoff>(sizeof tail), std::ios::end);
  file.read(reinterpret_cast<char*>(tail), sizeof tail);
  const bool lacks =
      file.gcount() != sizeof tail || std::memcmp(tail, kBgzfEofBlock, sizeof tail) != 0;
  file.clear();
  return lacks;
}

}  // namespace

ifile::~ifile() { close(); }

bool ifile::open(std::string name, bool binary) {
  file_name_ = std::move(name);
  lines_read_ = 0;
  compressed_ = false;
  if (futils::extensionFile(file_name_) == "bz2") {
    throw FatalError("ERROR! " + file_name_ +
                     ": bz2 files are not supported; decompress it, or compress it with bgzip");
  }
  // Always binary: gzip data must not be translated, and on Linux text mode is identical.
  (void)binary;
  file_.open(file_name_, std::ios::in | std::ios::binary);
  if (!file_) return false;
  unsigned char magic[2] = {0, 0};
  file_.read(reinterpret_cast<char*>(magic), 2);
  const bool got_two = file_.gcount() == 2;
  file_.clear();
  file_.seekg(0);
  if (!file_) return false;
  if (got_two && magic[0] == 0x1f && magic[1] == 0x8b) {
    if (bgzf_lacks_eof_block(file_name_, file_)) {
      throw FatalError("ERROR! " + file_name_ +
                       " is truncated: it lacks the BGZF end-of-file block that bgzip writes "
                       "last (no BGZF EOF marker)");
    }
    file_.seekg(0);
    compressed_ = true;
    push(boost::iostreams::gzip_decompressor(15, 1 << 16), 1 << 16);
  }
  push(file_, 1 << 16);
  return true;
}

void ifile::close() {
  if (!empty()) {
    try {
      reset();
    } catch (...) {
      // Closing after a decompression error may throw again; nothing is left to report.
    }
  }
  if (file_.is_open()) {
    file_.close();
    if (file_.fail()) file_.setstate(std::ios::failbit);
  }
}

bool ifile::read_line(std::string& line) {
  bool ok = false;
  try {
    ok = static_cast<bool>(std::getline(*this, line));
  } catch (const std::exception&) {
    setstate(std::ios::badbit);
  }
  if (bad()) {
    throw FatalError("ERROR! " + file_name_ +
                     " is corrupt or truncated: decompression failed after line " +
                     std::to_string(lines_read_));
  }
  if (!ok) return false;
  ++lines_read_;
  strip_carriage_return(line);
  return true;
}

namespace {
template <typename Better>
int tokenize_lengths(std::string& text, std::vector<std::string>& pieces, const char* delimiter,
                     Better better) {
  pieces.clear();
  boost::split(pieces, text, boost::is_any_of(delimiter), boost::token_compress_off);
  int result = static_cast<int>(pieces.front().size());
  for (const std::string& piece : pieces) {
    if (better(static_cast<int>(piece.size()), result)) result = static_cast<int>(piece.size());
  }
  return result;
}
}  // namespace

int tokenize_semicol_max(std::string& text, std::vector<std::string>& pieces) {
  return tokenize_lengths(text, pieces, ",", [](int a, int b) { return a > b; });
}

int tokenize_semicol_min(std::string& text, std::vector<std::string>& pieces) {
  return tokenize_lengths(text, pieces, ",", [](int a, int b) { return a < b; });
}

int tokenize_gl(std::string& text, std::vector<std::string>& pieces) {
  pieces.clear();
  boost::split(pieces, text, boost::is_any_of(":"), boost::token_compress_off);
  return static_cast<int>(pieces.size());
}

void split_views(std::string_view text, char delimiter, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(delimiter, start);
    if (end == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return;
    }
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

void split_whitespace(std::string_view text, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
  while (i < n) {
    while (i < n && blank(text[i])) ++i;
    if (i == n) break;
    const std::size_t start = i;
    while (i < n && !blank(text[i])) ++i;
    fields.push_back(text.substr(start, i - start));
  }
}

std::string error_prefix(const std::string& file_name, std::uint64_t line_number) {
  return "ERROR! " + file_name + ":" + std::to_string(line_number) + ": ";
}

void strip_carriage_return(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

bool is_blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
  });
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_finite_double(std::string_view text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}
