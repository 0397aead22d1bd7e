#include "app/Parameter.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>

#include "app/help_text.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

// How many arguments after an option are its values; kCollect takes the
// following arguments up to the first one containing "-" (the bounds of --int).
constexpr int kCollect = -1;

struct OptionSpec {
  const char* text;
  int values;
};

// Every option text of both passes. An argument selects an option when it
// contains the text; only arguments starting with "-" that are not values of
// the option before them are tested.
constexpr OptionSpec kOptions[] = {
    {"-merge-posteriors", 2},
    {"-chr", 1},
    {"--sample-file", 1},
    {"--o", 1},
    {"-decompose-multi", 1},
    {"-unphased", 0},
    {"--ref-panel", 1},
    {"--ped-file", 1},
    {"--int", kCollect},
    {"-initial", 1},
    {"--list", 1},
    {"--mp", 1},
    {"--scaffold-file", 1},
    {"--iteration", 1},
    {"--burnin", 1},
    {"--numsnps", 1},
    {"--lambda", 1},
    {"--glfs", 1},
    {"--k", 1},
    {"--model-avg", 0},
    {"--var-multi", 0},
    {"--seed", 1},
    {"--threads", 1},
    {"--quiet", 0},
    {"--dosage", 0},
    {"--tune-settings", 0},
    {"--fixed-rare-phase", 0},
    {"--rare-band", 1},
    {"--copying-weight", 1},
};

bool selects(const std::string& argument, const char* option) {
  return argument.find(option) != std::string::npos;
}

// A value of --int: no "-" in it, or a (negative) whole number, refused as a bound later.
bool is_bound_value(const std::string& argument) {
  return argument.find('-') == std::string::npos || parse_integer(argument).has_value();
}

int collected_bound_count(const std::vector<std::string>& args, int argc, int i) {
  int count = 0;
  for (int j = i + 1; j < argc && is_bound_value(args[j]); ++j) ++count;
  return count;
}

// Indices of the arguments that are tested against the options.
std::vector<int> option_arguments(int argc, const std::vector<std::string>& args) {
  std::vector<int> result;
  int i = 1;
  while (i < argc) {
    const std::string& argument = args[i];
    if (argument.empty() || argument[0] != '-') {
      ++i;
      continue;
    }
    int values = 0;
    bool matched = false;
    for (const OptionSpec& option : kOptions) {
      if (!selects(argument, option.text)) continue;
      matched = true;
      const int wanted =
          option.values == kCollect ? collected_bound_count(args, argc, i) : option.values;
      if (i + wanted > argc - 1) {
        throw FatalError("ERROR! Option " + std::string(option.text) + " (argument '" + argument +
                         "') needs " + std::to_string(wanted) + " value" +
                         (wanted == 1 ? "" : "s") + " after it");
      }
      values = std::max(values, wanted);
    }
    if (!matched) {
      std::cerr << "Warning: unknown option '" << argument << "' is ignored" << std::endl;
    } else {
      result.push_back(i);
    }
    i += 1 + values;
  }
  return result;
}

int parse_int_option(const std::string& option, const std::string& value) {
  const auto parsed = parse_integer(value);
  if (!parsed || *parsed < INT32_MIN || *parsed > INT32_MAX) {
    throw FatalError("ERROR! Option " + option +
                     " needs a whole number in the 32-bit range, got '" + value + "'");
  }
  return static_cast<int>(*parsed);
}

double parse_double_option(const std::string& option, const std::string& value) {
  const auto parsed = parse_finite_double(value);
  if (!parsed) {
    throw FatalError("ERROR! Option " + option + " needs a finite number, got '" + value + "'");
  }
  return *parsed;
}

void read_int_bounds(const std::vector<std::string>& args, int argc, int i,
                     std::vector<std::uint64_t>& interval) {
  for (int j = i + 1; j < argc && is_bound_value(args[j]); ++j) {
    const auto bound = parse_integer(args[j]);
    if (!bound || *bound < 0 || *bound > INT32_MAX) {
      throw FatalError("ERROR! Bounds of --int must be whole numbers from 0 to 2147483647, got '" +
                       args[j] + "'");
    }
    interval.push_back(static_cast<std::uint64_t>(*bound));
  }
  if (interval.size() != 2) throw FatalError("Two bounds are in need for '--int'.");
  interval[1] += 5;
  if (interval[0] > interval[1]) {
    throw FatalError("ERROR! The lower bound " + std::to_string(interval[0]) +
                     " of --int is above the upper bound " + std::to_string(interval[1] - 5) +
                     " (+5)");
  }
}

void check_required(const std::map<std::string, int>& required) {
  for (const auto& [key, seen] : required) {
    if (seen == 0) throw MyException("ERROR! Parameter [ " + key + " ] is required.");
  }
}

std::string number_text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// Arguments joined by blanks, each quoted for a POSIX shell when it holds anything but
// plain characters; control characters are written as escapes so the text stays one line.
std::string shell_words(const std::vector<std::string>& args) {
  static const std::string kPlain =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=.,/:@%^";
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_not_of(kPlain) == std::string::npos) {
      line += arg;
      continue;
    }
    line += '\'';
    for (const char c : arg) {
      if (c == '\'') {
        line += "'\\''";
      } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
        line += escaped;
      } else {
        line += c;
      }
    }
    line += '\'';
  }
  return line;
}

}  // namespace

Parameter::Parameter(int argc, std::vector<std::string>& args) {
  command_line = shell_words(args);
  const std::vector<int> options = option_arguments(argc, args);

  read_mode_options(args, options);
  if (merge_posteriors || decompose_multi) return;

  const std::map<std::string, int> required = read_run_options(argc, args, options);
  fill_defaults();
  check_required(required);
  check_values();
  // Without --seed the clock seeds the run; each position's stream adds its own key.
  if (!has_seed) seed = static_cast<unsigned int>(std::time(nullptr));

  print();
}

// The options that pick another mode than calling, and those it shares with calling.
void Parameter::read_mode_options(const std::vector<std::string>& args,
                                  const std::vector<int>& options) {
  for (const int i : options) {
    const std::string& a = args[i];
    if (selects(a, "-merge-posteriors")) {
      posterior_file = args[i + 1];
      posterior_file_2 = args[i + 2];
      merge_posteriors = true;
    }
    if (selects(a, "-chr")) {
      chromosome_name = args[i + 1];
      const auto number = parse_integer(chromosome_name);
      if (number && *number >= INT32_MIN && *number <= INT32_MAX) {
        chromosome = static_cast<int>(*number);
        chromosome_name = std::to_string(chromosome);
      } else {
        chromosome = static_cast<int>(std::strtol(chromosome_name.c_str(), nullptr, 10));
      }
    }
    if (selects(a, "--sample-file")) sample_file = args[i + 1];
    if (selects(a, "--o")) {
      output_file = args[i + 1];
      has_output = true;
    }
    if (selects(a, "-decompose-multi")) {
      decompose_file = args[i + 1];
      decompose_multi = true;
    }
    if (selects(a, "-unphased")) unphased = true;
  }
}

// Returns which of the required options were given (1) or not (0).
std::map<std::string, int> Parameter::read_run_options(int argc,
                                                       const std::vector<std::string>& args,
                                                       const std::vector<int>& options) {
  std::map<std::string, int> required = {
      {"--sample-file", 0}, {"--glfs", 0}, {"--scaffold-file", 0}, {"--o", 0}};
  zflag_modelavg = false;

  for (const int i : options) {
    read_file_option(args, i, required);
    read_setting_option(argc, args, i, required);
  }
  return required;
}

void Parameter::read_file_option(const std::vector<std::string>& args, int i,
                                 std::map<std::string, int>& required) {
  const std::string& a = args[i];
  if (selects(a, "--sample-file")) {
    sample_file = args[i + 1];
    required[a] = 1;
  }
  if (selects(a, "--ref-panel")) {
    ref_file = args[i + 1];
    has_ref_panel = true;
  }
  if (selects(a, "--ped-file")) {
    ped_file = args[i + 1];
    has_ped_file = true;
  }
  if (selects(a, "-initial")) {
    has_initial = true;
    initial_file = args[i + 1];
  }
  if (selects(a, "--list")) {
    list_file = args[i + 1];
    has_list = true;
  }
  if (selects(a, "--mp")) {
    has_mp = true;
    mp_file = args[i + 1];
  }
  if (selects(a, "--scaffold-file")) {
    scaffold_file = args[i + 1];
    required[a] = 1;
  }
  if (selects(a, "--glfs")) {
    has_glfs = true;
    glf_file = args[i + 1];
    required[a] = 1;
  }
  if (selects(a, "--o")) {
    has_output = true;
    output_file = args[i + 1];
    required[a] = 1;
  }
}

void Parameter::read_setting_option(int argc, const std::vector<std::string>& args, int i,
                                    std::map<std::string, int>& required) {
  const std::string& a = args[i];
  if (selects(a, "--int")) {
    has_int = true;
    read_int_bounds(args, argc, i, interval);
    required[a] = 1;
  }
  if (selects(a, "--iteration")) {
    has_iteration = true;
    iterations = parse_int_option("--iteration", args[i + 1]);
  }
  if (selects(a, "--burnin")) {
    has_burnin = true;
    burnin = parse_int_option("--burnin", args[i + 1]);
  }
  if (selects(a, "--numsnps")) {
    has_numsnps = true;
    numsnps = parse_int_option("--numsnps", args[i + 1]);
  }
  if (selects(a, "--lambda")) {
    has_lambda = true;
    lambda = parse_double_option("--lambda", args[i + 1]);
  }
  if (selects(a, "--k")) {
    k = parse_int_option("--k", args[i + 1]);
    has_k = true;
  }
  if (selects(a, "--model-avg")) zflag_modelavg = true;
  if (selects(a, "--var-multi")) var_multi = true;
  if (selects(a, "--dosage")) dosage = true;
  if (selects(a, "--tune-settings")) tune_settings = true;
  if (selects(a, "--fixed-rare-phase")) fixed_rare_phase = true;
  if (selects(a, "--rare-band")) rare_band = parse_double_option("--rare-band", args[i + 1]);
  if (selects(a, "--copying-weight")) {
    copying_weight = parse_double_option("--copying-weight", args[i + 1]);
  }
  if (selects(a, "--seed")) {
    const auto value = parse_integer(args[i + 1]);
    if (!value || *value < 0 || *value > UINT32_MAX) {
      throw FatalError("ERROR! Option --seed needs a whole number from 0 to 4294967295, got '" +
                       args[i + 1] + "'");
    }
    has_seed = true;
    seed = static_cast<unsigned int>(*value);
  }
  if (selects(a, "--threads")) {
    const auto value = parse_integer(args[i + 1]);
    if (!value || *value < 1 || *value > kMaxThreads) {
      throw FatalError("ERROR! Option --threads needs a whole number from 1 to " +
                       std::to_string(kMaxThreads) + ", got '" + args[i + 1] + "'");
    }
    threads = static_cast<int>(*value);
  }
}

void Parameter::fill_defaults() {
  if (!has_numsnps) numsnps = kDefaultNumsnps;
  if (!has_lambda) lambda = kDefaultLambda;
  if (!has_iteration) iterations = kDefaultIterations;
  if (!has_burnin) burnin = kDefaultBurnin;
  if (!has_ref_panel) ref_haplotype_count = 0;
}

void Parameter::check_values() const {
  if (numsnps < 0) {
    throw FatalError("ERROR! --numsnps must not be negative, got " + std::to_string(numsnps));
  }
  if (lambda < 0) {
    throw FatalError("ERROR! --lambda must not be negative, got " + number_text(lambda));
  }
  if (lambda > 0 && lambda < std::numeric_limits<double>::min()) {
    // A subnormal penalty loses its precision in the covariance sums.
    throw FatalError("ERROR! --lambda must be 0 or at least " +
                     number_text(std::numeric_limits<double>::min()) + ", got " +
                     number_text(lambda));
  }
  if (!(copying_weight >= 0.0 && copying_weight <= 1.0)) {
    throw FatalError("ERROR! --copying-weight must be from 0 to 1, got " +
                     number_text(copying_weight));
  }
  if (!(rare_band >= 0.0 && rare_band <= 0.5)) {
    throw FatalError("ERROR! --rare-band must be from 0 to 0.5, got " + number_text(rare_band));
  }
  if (iterations < 1) {
    throw FatalError("ERROR! --iteration must be at least 1, got " + std::to_string(iterations));
  }
  if (burnin < 0) {
    throw FatalError("ERROR! --burnin must not be negative, got " + std::to_string(burnin));
  }
  if (burnin >= iterations) {
    throw FatalError("ERROR! --burnin (" + std::to_string(burnin) +
                     ") must be below --iteration (" + std::to_string(iterations) +
                     "), or no iteration is recorded");
  }
  if (!has_int && !has_list) {
    throw FatalError(
        "ERROR! The region to analyse is missing: give --int <lower> <upper> or --list <file>");
  }
}

void Parameter::print() const { print(std::cout, stdout_takes_colour()); }

void Parameter::print(std::ostream& out, bool colour) const {
  out << "\n";
  out << " " << (colour ? "\x1b[1m" : "") << "Welcome to  Dorsane v" DORSANE_VERSION
      << (colour ? "\x1b[0m" : "") << "         \n";
  out << "\n";
  out << "Genotype calling of low-coverage cohorts on a phased haplotype scaffold\n";
  out << "========================================\n";
  out << "\n\n";
  out << "INPUT PARAMETERS\n";
  out << "Number of flanking sites at either site : "
      << (has_numsnps || has_ref_panel ? std::to_string(numsnps) : "from the cohort") << "\n";
  out << "Penalty value lambda                    : " << lambda << "\n";
  out << "Number of MCMC iterations               : " << iterations << "\n";
  out << "Number of MCMC burn-in iterations       : " << burnin << "\n";
  out << "\n\n";
  out << "INPUT FILES\n";
  out << "Sample file                : " << sample_file << "\n";
  out << "Scaffold file              : " << scaffold_file << "\n";
  out << "Genotype Likelihoods file  : " << glf_file << "\n";
  if (has_ped_file) out << "Ped file                   : " << ped_file << "\n";
  if (has_ref_panel) out << "External reference file : " << ref_file << "\n";
  out << "\n\n";
  out << "OUTPUT FILES\n";
  out << "Output vcf file            : " << output_file << "\n";
  out << "\n\n";
  out << "READING FILES FROM COMMAND LINE\n";
  out.flush();
}
