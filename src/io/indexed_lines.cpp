#include "io/indexed_lines.h"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdlib>
#include <streambuf>
#include <vector>

#include "util/errors.h"

namespace {

bool file_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Where the index says the file's data ends: the virtual offset just past the last
// sequence's last record, or 0 when the index holds no record.
std::uint64_t indexed_data_end(tbx_t* tbx) {
  int count = 0;
  const char** names = tbx_seqnames(tbx, &count);
  std::free(names);
  if (count == 0) return 0;
  hts_itr_t* all = tbx_itr_queryi(tbx, count - 1, 0, HTS_POS_MAX - 1);
  if (all == nullptr) return 0;
  std::uint64_t end = 0;
  for (int i = 0; i < all->n_off; ++i) end = std::max<std::uint64_t>(end, all->off[i].v);
  hts_itr_destroy(all);
  return end;
}

// An index made for another file may load but point elsewhere, which would silently lose
// records. The records it describes must end where the file's data ends (blank lines
// aside).
bool index_fits_file(tbx_t* tbx, const std::string& file) {
  const std::uint64_t end = indexed_data_end(tbx);
  if (end == 0) return true;
  BGZF* data = bgzf_open(file.c_str(), "r");
  if (data == nullptr) return false;
  bool fits = bgzf_seek(data, static_cast<std::int64_t>(end), SEEK_SET) == 0;
  char rest[4096];
  for (ssize_t got = 0; fits && (got = bgzf_read(data, rest, sizeof rest)) != 0;) {
    fits = got > 0 && std::all_of(rest, rest + got, [](char c) {
             return c == '\n' || c == '\r' || c == ' ' || c == '\t';
           });
  }
  bgzf_close(data);
  return fits;
}

}  // namespace

// Pulls one line at a time from htslib: first the header, then each sequence's region.
class IndexedLineBuffer : public std::streambuf {
 public:
  IndexedLineBuffer(std::string file, std::string index, htsFile* fp, tbx_t* tbx,
                    std::uint64_t begin, std::uint64_t end)
      : file_(std::move(file)),
        index_(std::move(index)),
        fp_(fp),
        tbx_(tbx),
        begin_(begin),
        end_(end) {
    int count = 0;
    const char** names = tbx_seqnames(tbx_, &count);
    for (int i = 0; i < count; ++i) sequences_.emplace_back(names[i]);
    std::free(names);
  }
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
                     " failed; the index does not fit the file (rebuild it with tabix or "
                     "bcftools index)");
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
    : std::istream(buffer.get()), buffer_(std::move(buffer)) {}

IndexedRegion::~IndexedRegion() = default;

std::uint64_t IndexedRegion::records_read() const { return buffer_->records_read(); }

std::unique_ptr<IndexedRegion> open_indexed_region(const std::string& file, std::uint64_t begin,
                                                   std::uint64_t end) {
  std::string index;
  for (const char* suffix : {".tbi", ".csi"}) {
    if (index.empty() && file_exists(file + suffix)) index = file + suffix;
  }
  if (index.empty()) return nullptr;
  htsFile* fp = hts_open(file.c_str(), "r");
  if (fp == nullptr) return nullptr;  // the plain reader reports what is wrong with the file
  if (hts_get_format(fp)->compression != bgzf) {
    hts_close(fp);
    throw FatalError("ERROR! " + file + " has the index " + index +
                     " but is not bgzipped; compress it with bgzip before indexing it");
  }
  tbx_t* tbx = tbx_index_load3(file.c_str(), index.c_str(), 0);
  if (tbx == nullptr) {
    hts_close(fp);
    throw FatalError("ERROR! The index " + index + " cannot be used for " + file +
                     "; rebuild it with tabix or bcftools index");
  }
  if (!index_fits_file(tbx, file)) {
    tbx_destroy(tbx);
    hts_close(fp);
    throw FatalError("ERROR! The index " + index + " does not fit " + file +
                     " (its records end elsewhere than the file's); rebuild it with tabix or "
                     "bcftools index");
  }
  auto buffer = std::make_unique<IndexedLineBuffer>(file, index, fp, tbx, begin, end);
  return std::unique_ptr<IndexedRegion>(new IndexedRegion(std::move(buffer)));
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
