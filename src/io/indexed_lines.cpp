#include "io/indexed_lines.h"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <streambuf>
#include <string_view>
#include <vector>

#include "io/chromosome_names.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

bool file_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

off_t file_size(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

struct HtsFileCloser {
  void operator()(htsFile* p) const { hts_close(p); }
};
using HtsFilePtr = std::unique_ptr<htsFile, HtsFileCloser>;

// A line read by htslib, freed with it.
struct Line {
  kstring_t text = {0, 0, nullptr};
  Line() = default;
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;
  ~Line() { std::free(text.s); }
  std::string_view view() const {
    std::string_view v(text.s != nullptr ? text.s : "", text.l);
    if (!v.empty() && v.back() == '\r') v.remove_suffix(1);
    return v;
  }
};

std::vector<std::string> indexed_sequences(tbx_t* tbx) {
  int count = 0;
  const char** names = tbx_seqnames(tbx, &count);
  std::vector<std::string> sequences(names, names + count);
  std::free(names);
  return sequences;
}

// Where the index says the file's data ends: the virtual offset just past the last
// sequence's last record, or 0 when the index holds no record.
std::uint64_t indexed_data_end(tbx_t* tbx, int last_id) {
  hts_itr_t* all = tbx_itr_queryi(tbx, last_id, 0, HTS_POS_MAX - 1);
  if (all == nullptr) return 0;
  std::uint64_t end = 0;
  for (int i = 0; i < all->n_off; ++i) end = std::max<std::uint64_t>(end, all->off[i].v);
  hts_itr_destroy(all);
  return end;
}

// Past the data's end only blank space may follow.
bool data_ends_at(BGZF* data, std::uint64_t end) {
  bool fits = bgzf_seek(data, static_cast<std::int64_t>(end), SEEK_SET) == 0;
  char rest[4096];
  for (ssize_t got = 0; fits && (got = bgzf_read(data, rest, sizeof rest)) != 0;) {
    fits = got > 0 && std::all_of(rest, rest + got, [](char c) {
             return c == '\n' || c == '\r' || c == ' ' || c == '\t';
           });
  }
  return fits;
}

// The file's first record: the first line that is neither header nor blank.
bool first_record(htsFile* fp, const tbx_conf_t& conf, Line& line) {
  for (int n = 0; hts_getline(fp, '\n', &line.text) >= 0; ++n) {
    if (n >= conf.line_skip && !line.view().empty() && line.text.s[0] != conf.meta_char) {
      return true;
    }
  }
  return false;
}

// The last record when it starts in the block holding the data's end (nothing when it
// begins in an earlier block: only its end is checked then).
std::optional<std::string> last_record(BGZF* data, std::uint64_t end) {
  const std::int64_t block = static_cast<std::int64_t>(end >> 16) << 16;
  const std::size_t within = end & 0xffff;
  std::string text(within, '\0');
  if (within == 0 || bgzf_seek(data, block, SEEK_SET) != 0 ||
      bgzf_read(data, text.data(), within) != static_cast<ssize_t>(within)) {
    return std::nullopt;
  }
  const std::size_t stop = text.find_last_not_of("\r\n");
  if (stop == std::string::npos) return std::nullopt;
  const std::size_t newline = text.rfind('\n', stop);
  if (newline == std::string::npos && block != 0) return std::nullopt;
  const std::size_t from = newline == std::string::npos ? 0 : newline + 1;
  return text.substr(from, stop + 1 - from);
}

// The index must name the record's sequence as sequence_id and find the record itself
// when asked for the record's first position.
bool index_finds(tbx_t* tbx, htsFile* fp, std::string_view record, int sequence_id) {
  std::vector<std::string_view> fields;
  split_views(record, '\t', fields);
  const tbx_conf_t& conf = tbx->conf;
  if (conf.sc < 1 || conf.bc < 1 || fields.size() < static_cast<std::size_t>(conf.bc) ||
      fields.size() < static_cast<std::size_t>(conf.sc)) {
    return false;
  }
  const std::string name(fields[conf.sc - 1]);
  const auto position = parse_integer(fields[conf.bc - 1]);
  if (tbx_name2id(tbx, name.c_str()) != sequence_id || !position || *position < 0) return false;
  // 1-based positions, or 0-based with the UCSC flag.
  const std::int64_t begin = (conf.preset & TBX_UCSC) != 0 ? *position : *position - 1;
  hts_itr_t* query = tbx_itr_queryi(tbx, sequence_id, std::max<std::int64_t>(begin, 0),
                                    std::max<std::int64_t>(begin, 0) + 1);
  if (query == nullptr) return false;
  Line line;
  bool found = false;
  while (!found && tbx_itr_next(fp, tbx, query, &line.text) >= 0) found = line.view() == record;
  hts_itr_destroy(query);
  return found;
}

// An index made for another file, or before the file changed, may load but point
// elsewhere, which would silently lose records. The index must find the file's first and
// last records under their sequence names, and its records must end where the file's data
// ends (blank lines aside).
bool index_fits_file(tbx_t* tbx, const std::string& file) {
  const std::vector<std::string> sequences = indexed_sequences(tbx);
  if (sequences.empty()) return true;
  const int last_id = static_cast<int>(sequences.size()) - 1;
  const std::uint64_t end = indexed_data_end(tbx, last_id);
  HtsFilePtr fp(hts_open(file.c_str(), "r"));
  if (fp == nullptr || end == 0) return false;
  Line first;
  if (!first_record(fp.get(), tbx->conf, first)) return false;
  const std::string first_text(first.view());
  if (!index_finds(tbx, fp.get(), first_text, 0)) return false;
  BGZF* data = hts_get_bgzfp(fp.get());
  if (!data_ends_at(data, end)) return false;
  const std::optional<std::string> last = last_record(data, end);
  return !last || index_finds(tbx, fp.get(), *last, last_id);
}

}  // namespace

// Pulls one line at a time from htslib: first the header, then each sequence's region.
class IndexedLineBuffer : public std::streambuf {
 public:
  IndexedLineBuffer(std::string file, std::string index, htsFile* fp, tbx_t* tbx,
                    std::uint64_t begin, std::uint64_t end, std::vector<std::string> sequences)
      : file_(std::move(file)),
        index_(std::move(index)),
        fp_(fp),
        tbx_(tbx),
        begin_(begin),
        end_(end),
        sequences_(std::move(sequences)) {}
  ~IndexedLineBuffer() override {
    if (iterator_ != nullptr) hts_itr_destroy(iterator_);
    tbx_destroy(tbx_);
    hts_close(fp_);
    std::free(line_.s);
  }
  IndexedLineBuffer(const IndexedLineBuffer&) = delete;
  IndexedLineBuffer& operator=(const IndexedLineBuffer&) = delete;

  std::uint64_t records_read() const { return records_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (!next_line()) return traits_type::eof();
    current_.assign(line_.s, line_.l);
    current_.push_back('\n');
    setg(current_.data(), current_.data(), current_.data() + current_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  bool next_line() {
    if (in_header_) {
      const int read = hts_getline(fp_, '\n', &line_);
      if (read >= 0 && line_.l > 0 && line_.s[0] == tbx_->conf.meta_char) return true;
      if (read < -1) fail("reading the header");
      in_header_ = false;
    }
    for (;;) {
      if (iterator_ == nullptr) {
        if (next_sequence_ >= sequences_.size()) return false;
        const int id = tbx_name2id(tbx_, sequences_[next_sequence_++].c_str());
        const auto [begin, end] = htslib_region(begin_, end_);
        iterator_ = tbx_itr_queryi(tbx_, id, begin, end);
        if (iterator_ == nullptr) fail("querying the region");
      }
      const int read = tbx_itr_next(fp_, tbx_, iterator_, &line_);
      if (read >= 0) {
        ++records_;
        return true;
      }
      if (read < -1) fail("reading the region");
      hts_itr_destroy(iterator_);
      iterator_ = nullptr;
    }
  }

  [[noreturn]] void fail(const char* what) const {
    throw FatalError("ERROR! " + file_ + ": " + what + " through the index " + index_ +
                     " failed; the file is truncated or corrupt, or the index does not fit it");
  }

  const std::string file_;
  const std::string index_;
  htsFile* fp_;
  tbx_t* tbx_;
  const std::uint64_t begin_;
  const std::uint64_t end_;
  std::vector<std::string> sequences_;
  std::size_t next_sequence_ = 0;
  hts_itr_t* iterator_ = nullptr;
  bool in_header_ = true;
  kstring_t line_ = {0, 0, nullptr};
  std::string current_;
  std::uint64_t records_ = 0;
};

IndexedRegion::IndexedRegion(std::unique_ptr<IndexedLineBuffer> buffer)
    : std::istream(buffer.get()), buffer_(std::move(buffer)) {
  // A read that fails throws its own message rather than only setting badbit.
  exceptions(std::ios::badbit);
}

IndexedRegion::~IndexedRegion() = default;

std::uint64_t IndexedRegion::records_read() const { return buffer_->records_read(); }

namespace {

// The sequences to read: the chromosome alone when the index names it (see the header).
std::vector<std::string> chosen_sequences(tbx_t* tbx, const std::string& file,
                                          const std::string& chromosome,
                                          const std::string& chromosome_source) {
  std::vector<std::string> sequences = indexed_sequences(tbx);
  if (chromosome.empty() || sequences.size() <= 1) return sequences;
  if (std::find(sequences.begin(), sequences.end(), chromosome) != sequences.end()) {
    return {chromosome};
  }
  std::string names;
  std::string near;
  for (const std::string& name : sequences) {
    names += (names.empty() ? "" : ", ") + name;
    if (near.empty() && differ_by_chr_prefix(name, chromosome)) near = name;
  }
  tbx_destroy(tbx);
  const std::string source = chromosome_source.empty() ? "the run" : chromosome_source;
  if (!near.empty()) throw FatalError(chromosome_mismatch(source, chromosome, file, near));
  throw FatalError("ERROR! " + source + " names chromosome '" + chromosome + "', which " + file +
                   " does not hold; its index names " + names);
}

}  // namespace

std::unique_ptr<IndexedRegion> open_indexed_region(const std::string& file, std::uint64_t begin,
                                                   std::uint64_t end, const std::string& chromosome,
                                                   const std::string& chromosome_source) {
  std::string index;
  for (const char* suffix : {".tbi", ".csi"}) {
    if (index.empty() && file_exists(file + suffix)) index = file + suffix;
  }
  if (index.empty()) return nullptr;
  HtsFilePtr fp(hts_open(file.c_str(), "r"));
  if (fp == nullptr) return nullptr;  // the plain reader reports what is wrong with the file
  if (hts_get_format(fp.get())->compression != bgzf) {
    throw FatalError("ERROR! " + file + " has the index " + index +
                     " but is not bgzipped; compress it with bgzip before indexing it");
  }
  const std::string rebuild = "; rebuild it with tabix or bcftools index";
  tbx_t* tbx = tbx_index_load3(file.c_str(), index.c_str(), 0);
  if (tbx == nullptr) {
    throw FatalError("ERROR! The index " + index + (file_size(index) == 0 ? " is empty and" : "") +
                     " cannot be used for " + file + rebuild);
  }
  // A file cut short has lost its end-of-file block: blame the file, not the index.
  if (bgzf_check_EOF(hts_get_bgzfp(fp.get())) == 0) {
    tbx_destroy(tbx);
    throw FatalError("ERROR! " + file + " is truncated (it lacks the BGZF end-of-file block " +
                     "and may lack data its index " + index + " describes)");
  }
  if (!index_fits_file(tbx, file)) {
    tbx_destroy(tbx);
    throw FatalError("ERROR! The index " + index + " does not fit " + file +
                     " (made for another file, or the file changed since)" + rebuild);
  }
  std::vector<std::string> sequences = chosen_sequences(tbx, file, chromosome, chromosome_source);
  auto buffer = std::make_unique<IndexedLineBuffer>(file, index, fp.release(), tbx, begin, end,
                                                    std::move(sequences));
  return std::unique_ptr<IndexedRegion>(new IndexedRegion(std::move(buffer)));
}

void refuse_truncated_bgzf(htsFile* fp, const std::string& file) {
  if (hts_get_format(fp)->compression == bgzf && bgzf_check_EOF(hts_get_bgzfp(fp)) == 0) {
    throw FatalError("ERROR! " + file +
                     " is truncated: it lacks the BGZF end-of-file block that bgzip writes "
                     "last (no BGZF EOF marker)");
  }
}

std::pair<std::int64_t, std::int64_t> htslib_region(std::uint64_t begin, std::uint64_t end) {
  // htslib positions are at most INT64 wide.
  auto bound = [](std::uint64_t position) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(position, HTS_POS_MAX - 1));
  };
  return {bound(begin > 0 ? begin - 1 : 0), bound(end)};
}

std::string indexed_lines_name(const std::string& file) {
  return file + " (lines read through its index)";
}
