#pragma once

#include <string>
#include <vector>

// A fresh directory under the system temp dir, removed when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes text to name inside the directory and returns its full path.
  std::string write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
// A written VCF without the header lines that name the run rather than its results: the
// command (with the run's own files) and the program's version.
std::string without_command_line(const std::string& text);
std::string read_output(const std::string& path);
// Arguments from options written as one line: words split at blanks, and the golden input
// files (tests/data/golden/input) named by their bare file names made absolute.
std::vector<std::string> golden_input_args(const std::string& options);

// The merge and decomposition outputs' field declarations and #CHROM line up to FORMAT.
extern const char* const kGtHeaderFields;
bool file_exists(const std::string& path);
// Writes text gzip-compressed; several members when split_at lists cut points.
void write_gzip(const std::string& path, const std::string& text,
                const std::vector<std::size_t>& split_at = {});

// The phased VCF of a scaffold-layout text (chrom id pos allele1 allele2 hap…): sample i has
// haplotype columns 2i and 2i + 1 and is named names[i]; the samples' columns are written in
// reverse order when reverse_samples.
std::string phased_vcf_of_layout(const std::string& layout, const std::vector<std::string>& names,
                                 bool reverse_samples);

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs the built dorsane binary with --quiet and the arguments (each quoted) in directory
// dir: standard error then holds only warnings and errors.
RunResult run_dorsane(const std::vector<std::string>& args, const std::string& dir = ".");
// The same without --quiet: the banner, settings, progress and timings on standard error.
RunResult run_dorsane_loud(const std::vector<std::string>& args, const std::string& dir = ".");
// Runs a shell command; status is the exit status.
RunResult run_shell(const std::string& command);

// A cohort written by tools/simulate.py into its own directory, with the region that
// covers every site, for end-to-end runs.
struct SimulatedCohort {
  TempDir dir;
  std::string lower, upper;  // the --int bounds of the simulator's command

  explicit SimulatedCohort(const std::string& simulate_options);
  // The calling-mode arguments for the cohort's files (glfs given), then extra.
  std::vector<std::string> args(const std::string& glfs, const std::string& out,
                                const std::vector<std::string>& extra) const;
  // Runs dorsane on gl.vcf writing <tag>.vcf.
  RunResult run(const std::string& tag, const std::vector<std::string>& extra) const;
  // One figure of tools/evaluate.py --json on <tag>.vcf, e.g. {"calls", "all", "discordance"};
  // evaluate_options are added to its command line (such as --ped FILE).
  double evaluate(const std::string& tag, const std::vector<std::string>& keys,
                  const std::string& evaluate_options = "") const;
};
