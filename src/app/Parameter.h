#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

// The window half-width (--numsnps) and penalty (--lambda) the models are fitted with.
struct ModelSettings {
  int numsnps = 0;
  double lambda = 0.0;
  bool operator==(const ModelSettings& o) const {
    return numsnps == o.numsnps && lambda == o.lambda;
  }
  bool operator!=(const ModelSettings& o) const { return !(*this == o); }
};

// An option as given, under its main spelling (--o for -o and --output), with its values.
struct GivenOption {
  std::string name;
  std::vector<std::string> values;
};

// --region CHR:START-END, 1-based and inclusive.
struct Region {
  // Where a region without an end stops: the largest position the inputs may hold.
  static constexpr std::uint64_t kLastPosition = 2147483647;
  std::string chromosome;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  // As it would be given: CHR for the whole chromosome, CHR:START- for an open end.
  std::string text() const;
};
// CHR (the whole chromosome), CHR:POS (that position), CHR:START-END, CHR:START- and
// CHR:-END, 1 <= START <= END < 2^31; anything else is a one-line error.
Region parse_region(const std::string& text);

// Throws the one-line error of the first argument that is no option or lacks its values.
void check_option_spellings(int argc, const std::vector<std::string>& args);

// The settings of one run, parsed from the command line.
class Parameter {
 public:
  Parameter(int argc, std::vector<std::string>& args);
  ~Parameter() = default;

  // The run's banner and settings; ANSI bold only with colour.
  void print(std::ostream& out, bool colour) const;

  std::string sample_file;
  std::string list_file;
  std::string ped_file;
  std::vector<std::uint64_t> interval;
  int iterations = 0;
  int burnin = 0;
  int numsnps = 0;
  double lambda = 0.0;
  int k = 0;
  int list_line_count = 0;
  int ref_haplotype_count = 0;
  int model_haplotype_count = 0;
  std::string mp_file;
  std::string scaffold_file;
  std::string glf_file;
  std::string output_file;
  std::string output_type;  // -O as given: v, z or b, or "" (the --o name alone decides)
  std::string ref_file;
  std::string initial_file;
  std::string posterior_file;
  std::string posterior_file_2;
  std::string decompose_file;
  bool has_glfs = false, has_list = false, has_int = false, has_mp = false;
  bool has_iteration = false, has_burnin = false, has_numsnps = false, has_ref_panel = false,
       has_lambda = false, has_k = false, has_ped_file = false, has_output = false;
  bool var_multi = false;
  bool has_region = false;
  Region region;
  bool quiet = false;             // no banner, settings or progress on standard error
  std::string log_file;           // --log: banner, settings, warnings and closing figures
  bool echo_likelihoods = false;  // each sample's PL values on standard output
  bool dosage = false;            // DS, GP and the info measure in the called VCF
  bool has_initial = false;
  // A phased VCF of the cohort (an earlier run's calls) whose alleles between the array sites
  // join the copying prior's sites.
  std::string copying_calls_file;
  bool has_copying_calls = false;
  bool merge_posteriors = false;
  bool decompose_multi = false;
  bool unphased = false;
  // Window and penalty chosen per block from held-out prediction at the scaffold sites.
  bool tune_settings = false;
  // Phase heterozygotes at variants near 0 or 1 with the genotype's fixed variance, as before
  // they were phased with the penalty.
  bool fixed_rare_phase = false;
  // A scaffold that does not fit the reads is reported as a warning instead of an error.
  bool no_scaffold_check = false;
  // Variant means below it or above 1 minus it take the fixed variance (earlier: 0.01).
  double rare_band = kDefaultRareBand;
  // Weight of the panel-copying prior mixed into the window model's (0: the window alone).
  double copying_weight = kDefaultCopyingWeight;
  bool has_copying_weight = false;
  // A variant's sweeps stop once no posterior moves by more than this (0: all iterations).
  double settle_tolerance = kDefaultSettleTolerance;
  bool has_settle = false;
  // Passes over the region: with 2, a first pass calls every record of the region and its
  // windows' margins, and the second copies along the reads there, weighed by the first.
  int passes = 1;
  bool has_passes = false;
  // The first pass's windows at most this many array sites either side (-1: as --numsnps).
  int first_pass_numsnps = -1;

  // `-chr`: the number the VCF writers used to print, and the text as given.
  int chromosome = 0;
  std::string chromosome_name = "0";
  bool has_chromosome = false;
  bool zflag_modelavg = false;
  bool has_seed = false;
  unsigned int seed = 0;
  // --threads: workers analysing windows side by side.
  static constexpr int kMaxThreads = 1024;
  // The defaults of the options that have one; the help prints these.
  static constexpr int kDefaultNumsnps = 50;
  static constexpr double kDefaultLambda = 0.06;
  static constexpr double kDefaultRareBand = 0.003;
  static constexpr double kDefaultCopyingWeight = 0.4;
  // Copying along the called variants too finds the closest haplotypes better, so it earns
  // the larger share.
  static constexpr double kDefaultCopyingWeightWithCalls = 0.7;
  // Without a panel the second pass copies the cohort's own first-pass haplotypes, whose
  // errors are the first pass's: a smaller share.
  static constexpr double kDefaultCohortCopyingWeight = 0.5;
  // Without a panel every model's references are the chain's own alleles, which mix more
  // slowly: a tighter tolerance, and no sample stops drawing.
  static constexpr double kDefaultSettleTolerance = 0.01;
  static constexpr double kDefaultSettleToleranceNoPanel = 0.005;
  static constexpr int kMaxPasses = 2;
  static constexpr int kDefaultIterations = 100;
  static constexpr int kDefaultBurnin = 10;
  int threads = 1;
  // --model-memory: MB the models of the windows in hand may take together; past it, fewer
  // windows are analysed side by side and each window's models are fitted on several threads.
  static constexpr int kDefaultModelMemoryMb = 4096;
  static constexpr int kMaxModelMemoryMb = 1 << 24;
  int model_memory_mb = kDefaultModelMemoryMb;
  // The command line as a shell would take it back, for the outputs' headers.
  std::string command_line;

 private:
  void read_mode_options(const std::vector<GivenOption>& options);
  std::map<std::string, int> read_run_options(const std::vector<GivenOption>& options);
  void read_file_option(const GivenOption& option);
  void read_setting_option(const GivenOption& option);
  // -O/--output-type against the format the --o name picks.
  void check_output_type() const;
  void fill_defaults();
  void check_values() const;
};
