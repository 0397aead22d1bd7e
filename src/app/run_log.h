#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>

// Where a run's messages go. Standard output carries only what a user asked for (a VCF
// written to "-", the --echo-likelihoods lines); everything else goes to standard error:
//   info():     banner, settings, files read, closing figures; left out by --quiet, copied
//               to the --log file;
//   progress(): the progress line; left out by --quiet, never in the log;
//   std::cerr:  warnings and errors, always shown, copied to the --log file.
// Opens the log file (truncating it) when log_file is not empty; throws when it cannot.
void open_run_log(bool quiet, const std::string& log_file);
std::ostream& info();
std::ostream& progress();
// Whether progress() is a terminal, where one line is refreshed in place.
bool progress_on_terminal();

// "1.23 s", "4 min 05 s", "2 h 03 min": a duration as people read it.
std::string duration_text(double seconds);

// Wall and processor time since construction.
class RunClock {
 public:
  RunClock();
  double wall_seconds() const;
  double processor_seconds() const;

 private:
  std::chrono::steady_clock::time_point wall_start_;
  std::clock_t processor_start_;
};

// "Analysing variant i/n" with the elapsed time, the rate and the time left: on a terminal
// one line rewritten at most every few tenths of a second, elsewhere a line every 5 percent.
class ProgressLine {
 public:
  // what: the line's first words, before "done/total".
  ProgressLine(std::ostream& out, bool terminal, std::int64_t total,
               std::string what = "Analysing variant");
  // One more item done.
  void advance();
  // Ends the refreshed line.
  void finish();
  // The line for done items after seconds (no line end).
  std::string text(std::int64_t done, double seconds) const;

 private:
  std::ostream& out_;
  bool terminal_;
  std::int64_t total_;
  std::string what_;
  std::int64_t done_ = 0;
  std::int64_t next_percent_ = 5;
  RunClock clock_;
  double last_shown_ = -1.0;
};
