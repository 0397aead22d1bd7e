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
  // Looked at from the start and the end; the caller's position is given back.
  const std::streampos at = file.tellg();
  file.seekg(0);
  unsigned char head[14] = {};
  file.read(reinterpret_cast<char*>(head), sizeof head);
  const bool bgzf =
      file.gcount() == sizeof head && (head[3] & 4) != 0 && head[12] == 'B' && head[13] == 'C';
  file.clear();
  if (!bgzf) {
    file.seekg(at);
    return false;
  }
  if (info.st_size < static_cast<off_t>(sizeof kBgzfEofBlock)) return true;
  unsigned char tail[sizeof kBgzfEofBlock] = {};
  file.seekg(-static_cast<std::streamoff>(sizeof tail), std::ios::end);
  file.read(reinterpret_cast<char*>(tail), sizeof tail);
  const bool lacks =
      file.gcount() != sizeof tail || std::memcmp(tail, kBgzfEofBlock, sizeof tail) != 0;
  file.clear();
  file.seekg(at);
  return lacks;
}

}  // namespace

ifile::~ifile() { close(); }

namespace {

// The first bytes of a file, read to tell gzip from text, then the rest of it: no seek, so
// a pipe is read as a file is.
class PrefixedSource {
 public:
  using char_type = char;
  using category = boost::iostreams::source_tag;
  PrefixedSource(std::string prefix, std::istream& rest)
      : prefix_(std::move(prefix)), rest_(&rest) {}
  std::streamsize read(char* out, std::streamsize n) {
    std::streamsize given = 0;
    if (used_ < prefix_.size()) {
      given = std::min<std::streamsize>(n, static_cast<std::streamsize>(prefix_.size() - used_));
      std::copy_n(prefix_.data() + used_, given, out);
      used_ += static_cast<std::size_t>(given);
      if (given == n) return given;
    }
    rest_->read(out + given, n - given);
    given += rest_->gcount();
    if (rest_->bad()) throw std::ios_base::failure("read error");
    return given > 0 ? given : -1;
  }

 private:
  std::string prefix_;
  std::size_t used_ = 0;
  std::istream* rest_;
};

}  // namespace

bool is_stream(const std::string& name) {
  struct stat info {};
  return name == kStandardInput || (::stat(name.c_str(), &info) == 0 && !S_ISREG(info.st_mode) &&
                                    !S_ISDIR(info.st_mode) && !S_ISBLK(info.st_mode));
}

std::string cannot_open(const std::string& what, const ifile& in) {
  return "ERROR! Can't open " + what + in.name() + ": " + in.failure();
}

bool ifile::open(std::string name, bool binary) {
  file_name_ = std::move(name);
  lines_read_ = 0;
  compressed_ = false;
  failure_.clear();
  if (futils::extensionFile(file_name_) == "bz2") {
    throw FatalError("ERROR! " + file_name_ +
                     ": bz2 files are not supported; decompress it, or compress it with bgzip");
  }
  struct stat info {};
  const std::string path = file_name_ == kStandardInput ? "/dev/stdin" : file_name_;
  // A directory opens without complaint and then reads nothing.
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    failure_ = std::strerror(EISDIR);
    return false;
  }
  // Always binary: gzip data must not be translated, and on Linux text mode is identical.
  (void)binary;
  errno = 0;
  file_.open(path, std::ios::in | std::ios::binary);
  if (!file_) {
    failure_ = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  char magic[2] = {0, 0};
  file_.read(magic, 2);
  std::string prefix(magic, static_cast<std::size_t>(file_.gcount()));
  file_.clear();
  if (prefix.size() == 2 && prefix[0] == '\x1f' && prefix[1] == '\x8b') {
    if (bgzf_lacks_eof_block(path, file_)) {
      throw FatalError("ERROR! " + file_name_ +
                       " is truncated: it lacks the BGZF end-of-file block that bgzip writes "
                       "last (no BGZF EOF marker)");
    }
    compressed_ = true;
    push(boost::iostreams::gzip_decompressor(15, 1 << 16), 1 << 16);
  }
  push(PrefixedSource(std::move(prefix), file_), 1 << 16);
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
