#include "app/run_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <streambuf>

#include "io/io.h"
#include "util/errors.h"

namespace {

// Writes everything to both buffers; either may be null.
class TeeBuffer : public std::streambuf {
 public:
  void set(std::streambuf* first, std::streambuf* second) {
    first_ = first;
    second_ = second;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    if (first_ != nullptr) first_->sputn(text, count);
    if (second_ != nullptr) second_->sputn(text, count);
    return count;
  }
  int sync() override {
    if (first_ != nullptr) first_->pubsync();
    if (second_ != nullptr) second_->pubsync();
    return 0;
  }

 private:
  std::streambuf* first_ = nullptr;
  std::streambuf* second_ = nullptr;
};

struct RunLog {
  std::streambuf* standard_error = std::cerr.rdbuf();
  bool redirected = false;
  TeeBuffer info_buffer;
  TeeBuffer progress_buffer;
  TeeBuffer warning_buffer;
  std::ofstream log_file;
  int interruption_fd = -1;  // the log again, for the signal handler's note
  std::ostream info{&info_buffer};
  std::ostream progress{&progress_buffer};

  RunLog() {
    info_buffer.set(standard_error, nullptr);
    progress_buffer.set(standard_error, nullptr);
  }
  // std::cerr holds its own buffer again before the streams die.
  ~RunLog() {
    if (redirected) std::cerr.rdbuf(standard_error);
  }
};

RunLog& run_log() {
  static RunLog log;
  return log;
}

}  // namespace

void open_run_log(bool quiet, const std::string& log_file) {
  RunLog& log = run_log();
  // Standard error as it is now (a test may have given it another buffer).
  if (!log.redirected) log.standard_error = std::cerr.rdbuf();
  std::streambuf* file = nullptr;
  if (!log_file.empty()) {
    errno = 0;
    log.log_file.open(log_file, std::ios::out | std::ios::trunc);
    if (!log.log_file) {
      throw FatalError("ERROR! Can't open the --log file " + log_file + ": " +
                       std::strerror(errno != 0 ? errno : EIO));
    }
    // The signal handler can only write(2): it appends to the log through a descriptor of
    // its own.
    if (log.interruption_fd >= 0) ::close(log.interruption_fd);
    log.interruption_fd = ::open(log_file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    note_interruptions_in(log.interruption_fd);
    file = log.log_file.rdbuf();
  }
  log.info_buffer.set(quiet ? nullptr : log.standard_error, file);
  log.progress_buffer.set(quiet ? nullptr : log.standard_error, nullptr);
  if (file != nullptr) {
    log.warning_buffer.set(log.standard_error, file);
    std::cerr.rdbuf(&log.warning_buffer);
    log.redirected = true;
  }
}

std::ostream& info() { return run_log().info; }
std::ostream& progress() { return run_log().progress; }
bool progress_on_terminal() { return isatty(STDERR_FILENO) == 1; }

std::string duration_text(double seconds) {
  char text[48];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%.2f s", seconds);
  } else if (seconds < 3600) {
    const auto whole = static_cast<long>(seconds);
    std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
  } else {
    const auto minutes = static_cast<long>(seconds / 60);
    std::snprintf(text, sizeof text, "%ld h %02ld min", minutes / 60, minutes % 60);
  }
  return text;
}

RunClock::RunClock()
    : wall_start_(std::chrono::steady_clock::now()), processor_start_(std::clock()) {}

double RunClock::wall_seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start_).count();
}

double RunClock::processor_seconds() const {
  return static_cast<double>(std::clock() - processor_start_) / CLOCKS_PER_SEC;
}

namespace {

// The terminal line is rewritten at most this often, so printing never slows the run.
constexpr double kRefreshSeconds = 0.25;
constexpr std::int64_t kPercentStep = 5;

}  // namespace

ProgressLine::ProgressLine(std::ostream& out, bool terminal, std::int64_t total, std::string what)
    : out_(out), terminal_(terminal), total_(total), what_(std::move(what)) {}

std::string ProgressLine::text(std::int64_t done, double seconds) const {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  char figures[64];
  std::snprintf(figures, sizeof figures, "%.1f", rate);
  std::string line = what_ + " " + std::to_string(done) + "/" + std::to_string(total_) + " (" +
                     std::to_string(total_ > 0 ? done * 100 / total_ : 100) + "%), elapsed " +
                     duration_text(seconds) + ", " + figures + " variants/s";
  if (rate > 0 && done < total_) {
    line += ", ETA " + duration_text(static_cast<double>(total_ - done) / rate);
  }
  return line;
}

void ProgressLine::advance() {
  ++done_;
  const double seconds = clock_.wall_seconds();
  if (terminal_) {
    if (done_ < total_ && seconds - last_shown_ < kRefreshSeconds) return;
    last_shown_ = seconds;
    out_ << '\r' << text(done_, seconds) << "\x1b[K" << std::flush;
    return;
  }
  const std::int64_t percent = total_ > 0 ? done_ * 100 / total_ : 100;
  if (percent < next_percent_ && done_ < total_) return;
  while (next_percent_ <= percent) next_percent_ += kPercentStep;
  out_ << text(done_, seconds) << '\n' << std::flush;
}

void ProgressLine::finish() {
  if (terminal_ && last_shown_ >= 0) out_ << '\n' << std::flush;
}
