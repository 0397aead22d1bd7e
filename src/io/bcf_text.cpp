#include "io/bcf_text.h"

#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <streambuf>
#include <vector>

#include "io/indexed_lines.h"
#include "util/errors.h"

class BcfTextBuffer : public std::streambuf {
 public:
  BcfTextBuffer(std::string file, htsFile* fp, bcf_hdr_t* header, hts_idx_t* index,
                std::vector<int> sequences, std::uint64_t begin, std::uint64_t end)
      : file_(std::move(file)),
        fp_(fp),
        header_(header),
        index_(index),
        sequences_(std::move(sequences)),
        begin_(begin),
        end_(end),
        record_(bcf_init()) {
    kstring_t text = {0, 0, nullptr};
    if (bcf_hdr_format(header_, 0, &text) != 0) fail("writing its header as text");
    current_.assign(text.s, text.l);
    std::free(text.s);
    setg(current_.data(), current_.data(), current_.data() + current_.size());
  }
  ~BcfTextBuffer() override {
    if (iterator_ != nullptr) hts_itr_destroy(iterator_);
    bcf_destroy(record_);
    if (index_ != nullptr) hts_idx_destroy(index_);
    bcf_hdr_destroy(header_);
    hts_close(fp_);
    std::free(line_.s);
  }
  BcfTextBuffer(const BcfTextBuffer&) = delete;
  BcfTextBuffer& operator=(const BcfTextBuffer&) = delete;

  std::uint64_t records_read() const { return records_; }
  bool indexed() const { return index_ != nullptr; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (!next_record()) return traits_type::eof();
    line_.l = 0;
    if (vcf_format(header_, record_, &line_) != 0) fail("writing a record as text");
    current_.assign(line_.s, line_.l);
    ++records_;
    setg(current_.data(), current_.data(), current_.data() + current_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  bool next_record() {
    if (index_ == nullptr) {
      const int status = bcf_read(fp_, header_, record_);
      if (status < -1) fail("reading a record");
      return status == 0;
    }
    for (;;) {
      if (iterator_ == nullptr) {
        if (next_sequence_ >= sequences_.size()) return false;
        const auto [begin, end] = htslib_region(begin_, end_);
        iterator_ = bcf_itr_queryi(index_, sequences_[next_sequence_++], begin, end);
        if (iterator_ == nullptr) continue;  // no record of that sequence
      }
      const int status = bcf_itr_next(fp_, iterator_, record_);
      if (status >= 0) return true;
      if (status < -1) fail("reading a record through its index");
      hts_itr_destroy(iterator_);
      iterator_ = nullptr;
    }
  }

  [[noreturn]] void fail(const char* what) const {
    throw FatalError("ERROR! " + file_ + ": " + what +
                     " failed; the BCF file is truncated or corrupt");
  }

  const std::string file_;
  htsFile* fp_;
  bcf_hdr_t* header_;
  hts_idx_t* index_;
  const std::vector<int> sequences_;
  const std::uint64_t begin_;
  const std::uint64_t end_;
  bcf1_t* record_;
  hts_itr_t* iterator_ = nullptr;
  std::size_t next_sequence_ = 0;
  kstring_t line_ = {0, 0, nullptr};
  std::string current_;
  std::uint64_t records_ = 0;
};

namespace {

// The lines of a text file as htslib reads them (plain, gzip or BGZF), each ending in "\n".
class HtsLineBuffer : public std::streambuf {
 public:
  HtsLineBuffer(std::string name, htsFile* fp) : name_(std::move(name)), fp_(fp) {}
  ~HtsLineBuffer() override {
    hts_close(fp_);
    std::free(line_.s);
  }
  HtsLineBuffer(const HtsLineBuffer&) = delete;
  HtsLineBuffer& operator=(const HtsLineBuffer&) = delete;

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    const int status = hts_getline(fp_, '\n', &line_);
    if (status == -1) return traits_type::eof();
    if (status < -1) {
      throw FatalError("ERROR! " + name_ + " is corrupt or truncated: reading failed after line " +
                       std::to_string(lines_));
    }
    ++lines_;
    current_.assign(line_.s, line_.l);
    current_.push_back('\n');
    setg(current_.data(), current_.data(), current_.data() + current_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  const std::string name_;
  htsFile* fp_;
  kstring_t line_ = {0, 0, nullptr};
  std::string current_;
  std::uint64_t lines_ = 0;
};

// An input stream that owns the buffer it reads.
class OwningStream : public std::istream {
 public:
  explicit OwningStream(std::unique_ptr<std::streambuf> buffer)
      : std::istream(buffer.get()), buffer_(std::move(buffer)) {
    // A read that fails throws its own message rather than only setting badbit.
    exceptions(std::ios::badbit);
  }

 private:
  std::unique_ptr<std::streambuf> buffer_;
};

}  // namespace

std::unique_ptr<std::istream> open_streamed_vcf(const std::string& name) {
  errno = 0;
  htsFile* fp = hts_open(name.c_str(), "r");
  if (fp == nullptr) {
    throw FatalError("ERROR! Can't open " + name + ": " + std::strerror(errno != 0 ? errno : EIO));
  }
  if (hts_get_format(fp)->format != bcf) {
    return std::make_unique<OwningStream>(std::make_unique<HtsLineBuffer>(name, fp));
  }
  bcf_hdr_t* header = bcf_hdr_read(fp);
  if (header == nullptr) {
    hts_close(fp);
    throw FatalError("ERROR! " + name + ": htslib cannot read its BCF header");
  }
  return std::make_unique<BcfText>(
      std::make_unique<BcfTextBuffer>(name, fp, header, nullptr, std::vector<int>{}, 0, 0));
}

BcfText::BcfText(std::unique_ptr<BcfTextBuffer> buffer)
    : std::istream(buffer.get()), buffer_(std::move(buffer)) {
  // A read that fails throws its own message rather than only setting badbit.
  exceptions(std::ios::badbit);
}

BcfText::~BcfText() = default;

std::uint64_t BcfText::records_read() const { return buffer_->records_read(); }

bool BcfText::indexed() const { return buffer_->indexed(); }

std::unique_ptr<BcfText> open_bcf_text(const std::string& file, std::uint64_t begin,
                                       std::uint64_t end, const std::string& chromosome) {
  htsFile* fp = hts_open(file.c_str(), "r");
  if (fp == nullptr) return nullptr;
  if (hts_get_format(fp)->format != bcf) {
    hts_close(fp);
    return nullptr;
  }
  try {
    refuse_truncated_bgzf(fp, file);
  } catch (...) {
    hts_close(fp);
    throw;
  }
  bcf_hdr_t* header = bcf_hdr_read(fp);
  if (header == nullptr) {
    hts_close(fp);
    throw FatalError("ERROR! " + file + ": htslib cannot read its BCF header");
  }
  struct stat info {};
  hts_idx_t* index = nullptr;
  if (::stat((file + ".csi").c_str(), &info) == 0) {
    index = bcf_index_load2(file.c_str(), (file + ".csi").c_str());
    if (index == nullptr) {
      bcf_hdr_destroy(header);
      hts_close(fp);
      throw FatalError("ERROR! The index " + file + ".csi cannot be used for " + file +
                       "; rebuild it with bcftools index");
    }
  }
  std::vector<int> sequences;
  const int named = chromosome.empty() ? -1 : bcf_hdr_name2id(header, chromosome.c_str());
  if (named >= 0) {
    sequences.push_back(named);
  } else {
    for (int id = 0; id < header->n[BCF_DT_CTG]; ++id) sequences.push_back(id);
  }
  auto buffer =
      std::make_unique<BcfTextBuffer>(file, fp, header, index, std::move(sequences), begin, end);
  return std::make_unique<BcfText>(std::move(buffer));
}
