#include <htslib/bgzf.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <streambuf>
#include <vector>

#include "io/io.h"
#include "util/errors.h"

// Buffers the text and hands it on in blocks; close() reports whether everything reached
// the file.
class OutputSink : public std::streambuf {
 public:
  OutputSink() : buffer_(1 << 16) { setp(buffer_.data(), buffer_.data() + buffer_.size()); }
  virtual bool close() = 0;

 protected:
  virtual bool write_out(const char* data, std::size_t size) = 0;

  int_type overflow(int_type c) override {
    if (!flush_buffer()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return flush_buffer() ? 0 : -1; }

  bool flush_buffer() {
    const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
    if (size > 0 && !write_out(pbase(), size)) return false;
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return true;
  }

 private:
  std::vector<char> buffer_;
};

namespace {

class PlainSink final : public OutputSink {
 public:
  explicit PlainSink(std::FILE* file) : file_(file) {}
  ~PlainSink() override { close(); }
  bool close() override {
    if (file_ == nullptr) return ok_;
    ok_ = flush_buffer() && ok_;
    ok_ = std::fclose(file_) == 0 && ok_;
    file_ = nullptr;
    return ok_;
  }

 private:
  bool write_out(const char* data, std::size_t size) override {
    ok_ = std::fwrite(data, 1, size, file_) == size && ok_;
    return ok_;
  }
  std::FILE* file_;
  bool ok_ = true;
};

class BgzfSink final : public OutputSink {
 public:
  explicit BgzfSink(BGZF* file) : file_(file) {}
  ~BgzfSink() override { close(); }
  bool close() override {
    if (file_ == nullptr) return ok_;
    ok_ = flush_buffer() && ok_;
    ok_ = bgzf_close(file_) == 0 && ok_;
    file_ = nullptr;
    return ok_;
  }

 private:
  bool write_out(const char* data, std::size_t size) override {
    ok_ = bgzf_write(file_, data, size) == static_cast<ssize_t>(size) && ok_;
    return ok_;
  }
  BGZF* file_;
  bool ok_ = true;
};

// Temporary files a signal handler may have to remove: fixed storage, so the handler needs
// nothing but unlink.
constexpr int kTemporarySlots = 8;
constexpr std::size_t kTemporaryPathLength = 4096;
char temporary_paths[kTemporarySlots][kTemporaryPathLength];
volatile std::sig_atomic_t temporary_in_use[kTemporarySlots];

void remember_temporary(const std::string& path) {
  if (path.size() + sizeof OutputFile::kIndexSuffix >= kTemporaryPathLength) return;
  for (int i = 0; i < kTemporarySlots; ++i) {
    if (temporary_in_use[i]) continue;
    std::memcpy(temporary_paths[i], path.c_str(), path.size() + 1);
    temporary_in_use[i] = 1;
    return;
  }
}

void forget_temporary(const std::string& path) {
  for (int i = 0; i < kTemporarySlots; ++i) {
    if (temporary_in_use[i] && path == temporary_paths[i]) temporary_in_use[i] = 0;
  }
}

// Where, besides standard error, an interruption is noted (the run's log), or -1.
volatile std::sig_atomic_t interruption_note_fd = -1;

// Only async-signal-safe calls: the texts are fixed, written with write(2).
void note_interruption(int signal_number) {
  const char* text =
      signal_number == SIGINT
          ? "ERROR! Interrupted by SIGINT: the outputs not yet complete are removed\n"
          : "ERROR! Interrupted by SIGTERM: the outputs not yet complete are removed\n";
  const std::size_t length = std::strlen(text);
  for (const int fd : {static_cast<int>(STDERR_FILENO), static_cast<int>(interruption_note_fd)}) {
    if (fd >= 0 && ::write(fd, text, length) < 0) continue;
  }
}

extern "C" void remove_temporaries_and_exit(int signal_number) {
  note_interruption(signal_number);
  for (int i = 0; i < kTemporarySlots; ++i) {
    if (!temporary_in_use[i]) continue;
    ::unlink(temporary_paths[i]);
    // The index built beside it, if any.
    char index[kTemporaryPathLength];
    std::size_t n = 0;
    while (temporary_paths[i][n] != '\0') {
      index[n] = temporary_paths[i][n];
      ++n;
    }
    std::memcpy(index + n, OutputFile::kIndexSuffix, sizeof OutputFile::kIndexSuffix);
    ::unlink(index);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

bool is_directory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ends_with(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Rewrites a finished VCF text file as BCF through htslib; false when any step fails.
bool vcf_text_to_bcf(const std::string& text_path, const std::string& bcf_path) {
  htsFile* in = hts_open(text_path.c_str(), "r");
  htsFile* out = hts_open(bcf_path.c_str(), "wb");
  bcf_hdr_t* header = in != nullptr ? bcf_hdr_read(in) : nullptr;
  bcf1_t* record = bcf_init();
  bool ok = in != nullptr && out != nullptr && header != nullptr && record != nullptr &&
            bcf_hdr_write(out, header) == 0;
  int status = 0;
  while (ok && (status = bcf_read(in, header, record)) == 0) {
    ok = bcf_write(out, header, record) == 0;
  }
  ok = ok && status == -1;
  if (record != nullptr) bcf_destroy(record);
  if (header != nullptr) bcf_hdr_destroy(header);
  if (in != nullptr) hts_close(in);
  if (out != nullptr) ok = hts_close(out) == 0 && ok;
  return ok;
}

// CSI bins of 2^14 positions, as bcftools index makes them.
constexpr int kCsiMinShift = 14;

}  // namespace

void note_interruptions_in(int fd) { interruption_note_fd = fd; }

void remove_temporary_outputs_on_signals() {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_exit;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
  }
}

OutputFile::OutputFile() : stream_(nullptr) {}

std::string OutputFile::index_name(const std::string& path) {
  if (ends_with(path, ".gz")) return path + kIndexSuffix;
  return ends_with(path, ".bcf") ? path + ".csi" : "";
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::open(const std::string& path, Kind kind) {
  discard();
  path_ = path;
  failure_.clear();
  errno = 0;
  if (path == kStandardOutput) {
    // A duplicate, so that closing the sink leaves the process's standard output open.
    const int fd = ::dup(STDOUT_FILENO);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
      failure_ = std::strerror(errno != 0 ? errno : EIO);
      return false;
    }
    sink_ = std::make_unique<PlainSink>(file);
    stream_.clear();
    stream_.rdbuf(sink_.get());
    return true;
  }
  const bool compressed = ends_with(path, ".gz");
  // BCF is written as text first and converted when complete.
  bcf_ = kind != Kind::kText && ends_with(path, ".bcf");
  index_vcf_ = (compressed || bcf_) && kind == Kind::kIndexedVcf;
  // Its index is renamed into place beside it, so it must be creatable too.
  for (const std::string& target : targets()) {
    if (is_directory(target)) {
      unwritable_ = target;
      failure_ = std::strerror(EISDIR);
      return false;
    }
  }
  unwritable_ = path;
  temp_path_ = path + ".dorsane-tmp." + std::to_string(::getpid());
  if (compressed) {
    BGZF* file = bgzf_open(temp_path_.c_str(), "w");
    if (file != nullptr) sink_ = std::make_unique<BgzfSink>(file);
  } else {
    std::FILE* file = std::fopen(temp_path_.c_str(), "wb");
    if (file != nullptr) sink_ = std::make_unique<PlainSink>(file);
  }
  if (sink_ == nullptr) {
    failure_ = std::strerror(errno != 0 ? errno : EIO);
    temp_path_.clear();
    return false;
  }
  remember_temporary(temp_path_);
  stream_.clear();
  stream_.rdbuf(sink_.get());
  return true;
}

void OutputFile::commit() {
  finish();
  publish();
}

void OutputFile::finish() {
  stream_.flush();
  const bool written = !stream_.fail() && sink_ != nullptr && sink_->close();
  const std::string reason = std::strerror(errno);
  if (!written) {
    discard();
    throw FatalError("ERROR! Writing output file " + path_ + " failed: " + reason);
  }
  if (bcf_) {
    const std::string converted = temp_path_ + ".bcf";
    remember_temporary(converted);
    const bool ok = vcf_text_to_bcf(temp_path_, converted) &&
                    std::rename(converted.c_str(), temp_path_.c_str()) == 0;
    forget_temporary(converted);
    if (!ok) {
      std::remove(converted.c_str());
      discard();
      throw FatalError("ERROR! Writing output file " + path_ +
                       " failed: htslib could not write the records as BCF");
    }
  }
  const std::string temp_index = temp_path_ + kIndexSuffix;
  const bool indexed =
      !index_vcf_ ||
      (bcf_ ? bcf_index_build3(temp_path_.c_str(), temp_index.c_str(), kCsiMinShift, 0)
            : tbx_index_build2(temp_path_.c_str(), temp_index.c_str(), 0, &tbx_conf_vcf)) == 0;
  if (!indexed) {
    discard();
    throw FatalError("ERROR! Indexing the output file " + path_ + " failed");
  }
  stream_.rdbuf(nullptr);
  sink_.reset();
}

std::vector<std::string> OutputFile::targets() const {
  if (path_ == kStandardOutput) return {};
  if (!index_vcf_) return {path_};
  return {path_, index_name(path_)};
}

void OutputFile::publish() {
  if (path_ == kStandardOutput) return;
  const std::string temp_index = temp_path_ + kIndexSuffix;
  const std::string index = index_name(path_);
  const bool moved = std::rename(temp_path_.c_str(), path_.c_str()) == 0;
  const bool indexed = !moved || !index_vcf_ || std::rename(temp_index.c_str(), index.c_str()) == 0;
  if (!moved || !indexed) {
    const std::string failure = std::strerror(errno);
    // Without its index the data would be left behind as if complete.
    if (moved) std::remove(path_.c_str());
    discard();
    throw FatalError("ERROR! Can't move the finished output into " + (moved ? index : path_) +
                     ": " + failure);
  }
  // An index of the other kind left from an earlier file of this name would describe the
  // wrong data.
  if (index_vcf_) std::remove((path_ + (bcf_ ? ".tbi" : ".csi")).c_str());
  forget_temporary(temp_path_);
  temp_path_.clear();
}

void OutputFile::publish_all(const std::vector<OutputFile*>& outputs) {
  // Refuse before the first rename what would make a later one fail.
  for (OutputFile* output : outputs) {
    for (const std::string& target : output->targets()) {
      if (is_directory(target)) {
        throw FatalError("ERROR! Can't move the finished output into " + target +
                         ": it is a directory");
      }
    }
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    try {
      outputs[i]->publish();
    } catch (const FatalError&) {
      for (std::size_t j = 0; j < i; ++j) {
        for (const std::string& target : outputs[j]->targets()) std::remove(target.c_str());
      }
      throw;
    }
  }
}

void OutputFile::discard() {
  stream_.rdbuf(nullptr);
  if (sink_ != nullptr) sink_->close();
  sink_.reset();
  if (!temp_path_.empty()) {
    std::remove(temp_path_.c_str());
    std::remove((temp_path_ + kIndexSuffix).c_str());
    forget_temporary(temp_path_);
    temp_path_.clear();
  }
}
