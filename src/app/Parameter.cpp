#include "app/Parameter.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>

#include "app/help_text.h"
#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

// How many arguments after an option are its values; kCollect takes the following
// arguments that do not start with "-" (or are negative numbers): the bounds of --int.
constexpr int kCollect = -1;

struct OptionSpec {
  const char* name;  // the spelling messages use
  int values;
  // Other spellings: the single-dash forms kept for existing scripts, and short forms.
  std::array<const char*, 2> aliases;
};

// Every option of every mode. An argument names an option only when it equals one of its
// spellings: a misspelt or shortened option is an error, never a near match.
constexpr OptionSpec kOptions[] = {
    {"--merge-posteriors", 2, {"-merge-posteriors", nullptr}},
    {"--chr", 1, {"-chr", nullptr}},
    {"--sample-file", 1, {nullptr, nullptr}},
    {"--o", 1, {"-o", "--output"}},
    {"--output-type", 1, {"-O", nullptr}},
    {"--decompose-multi", 1, {"-decompose-multi", nullptr}},
    {"--unphased", 0, {"-unphased", nullptr}},
    {"--ref-panel", 1, {nullptr, nullptr}},
    {"--ped-file", 1, {nullptr, nullptr}},
    {"--int", kCollect, {nullptr, nullptr}},
    {"--region", 1, {"-r", nullptr}},
    {"--initial", 1, {"-initial", nullptr}},
    {"--copying-calls", 1, {nullptr, nullptr}},
    {"--list", 1, {nullptr, nullptr}},
    {"--mp", 1, {nullptr, nullptr}},
    {"--scaffold-file", 1, {nullptr, nullptr}},
    {"--iteration", 1, {nullptr, nullptr}},
    {"--burnin", 1, {nullptr, nullptr}},
    {"--numsnps", 1, {nullptr, nullptr}},
    {"--lambda", 1, {nullptr, nullptr}},
    {"--glfs", 1, {nullptr, nullptr}},
    {"--k", 1, {nullptr, nullptr}},
    {"--model-avg", 0, {nullptr, nullptr}},
    {"--var-multi", 0, {nullptr, nullptr}},
    {"--seed", 1, {"-s", nullptr}},
    {"--threads", 1, {"-t", nullptr}},
    {"--model-memory", 1, {nullptr, nullptr}},
    {"--quiet", 0, {nullptr, nullptr}},
    {"--log", 1, {nullptr, nullptr}},
    {"--echo-likelihoods", 0, {nullptr, nullptr}},
    {"--dosage", 0, {nullptr, nullptr}},
    {"--tune-settings", 0, {nullptr, nullptr}},
    {"--fixed-rare-phase", 0, {nullptr, nullptr}},
    {"--no-scaffold-check", 0, {nullptr, nullptr}},
    {"--rare-band", 1, {nullptr, nullptr}},
    {"--copying-weight", 1, {nullptr, nullptr}},
    {"--settle", 1, {nullptr, nullptr}},
    {"--passes", 1, {nullptr, nullptr}},
    {"--first-pass-numsnps", 1, {nullptr, nullptr}},
    {"--help", 0, {"-h", nullptr}},
    {"--version", 0, {nullptr, nullptr}},
};

const OptionSpec* find_option(const std::string& argument) {
  for (const OptionSpec& option : kOptions) {
    if (argument == option.name) return &option;
    for (const char* alias : option.aliases) {
      if (alias != nullptr && argument == alias) return &option;
    }
  }
  return nullptr;
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) between two words.
std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The known option nearest to a misspelt one, or "" when none is near enough to be meant.
std::string nearest_option(const std::string& typed) {
  // Case is no clue to which option was meant: "-T" is "-t".
  std::string argument = typed;
  for (char& c : argument) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string best;
  bool tied = false;
  std::size_t best_distance = std::numeric_limits<std::size_t>::max();
  for (const OptionSpec& option : kOptions) {
    for (const char* spelling : {option.name, option.aliases[0], option.aliases[1]}) {
      if (spelling == nullptr) continue;
      const std::string name = spelling;
      // A shortened option is meant as the one it starts.
      const bool started =
          name.size() > argument.size() + 1 && name.rfind(argument, 0) == 0 && argument.size() >= 4;
      const std::size_t distance = started ? 1 : edit_distance(argument, name);
      if (distance < best_distance) {
        best_distance = distance;
        best = option.name;
        tied = false;
      } else if (distance == best_distance && best != option.name) {
        tied = true;
      }
    }
  }
  // A short argument is near almost anything: only one edit away counts there, and two
  // options equally near name neither.
  const std::size_t allowed =
      argument.size() <= 4 ? 1 : std::max<std::size_t>(2, argument.size() / 4);
  return best_distance <= allowed && !tied ? best : "";
}

// A value of --int: no "-" at its start, or a (negative) whole number, refused as a bound later.
bool is_bound_value(const std::string& argument) {
  return argument.empty() || argument[0] != '-' || parse_integer(argument).has_value();
}

int collected_bound_count(const std::vector<std::string>& args, int argc, int i) {
  int count = 0;
  for (int j = i + 1; j < argc && is_bound_value(args[j]); ++j) ++count;
  return count;
}

[[noreturn]] void refuse_unknown(const std::string& argument) {
  if (argument.size() < 2 || argument[0] != '-') {
    throw FatalError("ERROR! unexpected argument '" + argument +
                     "': it is no option and follows none that takes a value");
  }
  const std::string nearest = nearest_option(argument);
  throw FatalError("ERROR! unknown option '" + argument + "'" +
                   (nearest.empty() ? "" : "; did you mean '" + nearest + "'?"));
}

// "--name=value" (as GNU tools take it) and bcftools' "-Oz" as the option and its value;
// nothing for any other argument.
std::optional<std::pair<std::string, std::string>> attached_value(const std::string& argument) {
  if (argument.rfind("--", 0) == 0) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos) return std::nullopt;
    return std::make_pair(argument.substr(0, equals), argument.substr(equals + 1));
  }
  if (argument.size() > 2 && argument.rfind("-O", 0) == 0) {
    return std::make_pair(argument.substr(0, 2), argument.substr(2));
  }
  return std::nullopt;
}

// The option of "--name=value", which must take exactly one value.
const OptionSpec* attached_option(const std::string& argument, const std::string& name) {
  const OptionSpec* option = find_option(name);
  if (option == nullptr) refuse_unknown(name);
  if (option->values != 1) {
    throw FatalError(
        "ERROR! Option " + std::string(option->name) + " (argument '" + argument + "') " +
        (option->values == 0 ? "takes no value" : "takes its values as the arguments after it"));
  }
  return option;
}

// The options given, in order, each under its main spelling with its values.
std::vector<GivenOption> given_options(int argc, const std::vector<std::string>& args) {
  std::vector<GivenOption> result;
  int i = 1;
  while (i < argc) {
    if (const auto attached = attached_value(args[i])) {
      const OptionSpec* option = attached_option(args[i], attached->first);
      result.push_back({option->name, {attached->second}});
      ++i;
      continue;
    }
    const OptionSpec* option = find_option(args[i]);
    if (option == nullptr) refuse_unknown(args[i]);
    const int wanted =
        option->values == kCollect ? collected_bound_count(args, argc, i) : option->values;
    if (i + wanted > argc - 1) {
      throw FatalError("ERROR! Option " + std::string(option->name) + " (argument '" + args[i] +
                       "') needs " + std::to_string(wanted) + " value" + (wanted == 1 ? "" : "s") +
                       " after it");
    }
    result.push_back({option->name, {args.begin() + i + 1, args.begin() + i + 1 + wanted}});
    i += 1 + wanted;
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

// A whole number from low to high; `what` names it in the message ("a whole number").
std::int64_t parse_ranged_option(const std::string& option, const std::string& value,
                                 std::int64_t low, std::int64_t high, const std::string& what) {
  const auto parsed = parse_integer(value);
  if (!parsed || *parsed < low || *parsed > high) {
    throw FatalError("ERROR! Option " + option + " needs " + what + " from " + std::to_string(low) +
                     " to " + std::to_string(high) + ", got '" + value + "'");
  }
  return *parsed;
}

double parse_double_option(const std::string& option, const std::string& value) {
  const auto parsed = parse_finite_double(value);
  if (!parsed) {
    throw FatalError("ERROR! Option " + option + " needs a finite number, got '" + value + "'");
  }
  return *parsed;
}

void read_int_bounds(const std::vector<std::string>& values, std::vector<std::uint64_t>& interval) {
  for (const std::string& value : values) {
    const auto bound = parse_integer(value);
    if (!bound || *bound < 0 || *bound > INT32_MAX) {
      throw FatalError("ERROR! Bounds of --int must be whole numbers from 0 to 2147483647, got '" +
                       value + "'");
    }
    interval.push_back(static_cast<std::uint64_t>(*bound));
  }
  if (interval.size() != 2) {
    throw FatalError("ERROR! --int needs two bounds, <lower> <upper>, given once");
  }
  interval[1] += 5;
  if (interval[0] > interval[1]) {
    throw FatalError("ERROR! The lower bound " + std::to_string(interval[0]) +
                     " of --int is above the upper bound " + std::to_string(interval[1] - 5) +
                     " (+5)");
  }
}

// A position of --region: digits with optional thousands commas, from 1 to 2147483647.
std::optional<std::uint64_t> region_position(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ','), text.end());
  const auto value = parse_integer(text);
  if (!value || *value < 1 || *value > INT32_MAX || text[0] == '+' || text[0] == '-') {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(*value);
}

// Every missing required option in one message, and the region when none was named.
void check_required(const std::map<std::string, int>& required, bool has_region) {
  std::vector<std::string> missing;
  for (const auto& [key, seen] : required) {
    if (seen == 0) missing.push_back(key);
  }
  if (missing.empty()) return;
  std::string names;
  for (const std::string& key : missing) names += (names.empty() ? "" : ", ") + key;
  const std::string region = has_region ? "" : " and a region (--region, --int or --list)";
  throw MyException("ERROR! Parameter" + std::string(missing.size() == 1 ? "" : "s") + " [ " +
                    names + " ]" + region + (missing.size() == 1 && has_region ? " is" : " are") +
                    " required.");
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

void check_option_spellings(int argc, const std::vector<std::string>& args) {
  given_options(argc, args);
}

Region parse_region(const std::string& text) {
  const auto refuse = [&text](const std::string& why) -> Region {
    throw FatalError("ERROR! --region '" + text + "' is not CHR, CHR:POS, CHR:START-END or " +
                     "CHR:START- (" + why + ")");
  };
  Region region;
  // A chromosome name may hold ':' itself; the last one starts the positions.
  const std::size_t colon = text.rfind(':');
  region.chromosome = text.substr(0, colon);
  if (region.chromosome.empty()) return refuse("no chromosome");
  if (region.chromosome.find_first_of(" \t") != std::string::npos) {
    return refuse("a blank in the chromosome");
  }
  region.start = 1;
  region.end = Region::kLastPosition;
  if (colon == std::string::npos) return region;
  // As bcftools reads them: POS alone is that position, an open side runs to the end.
  const std::string span = text.substr(colon + 1);
  const std::size_t dash = span.find('-');
  const std::string first = span.substr(0, dash);
  const std::string last = dash == std::string::npos ? first : span.substr(dash + 1);
  const auto start = first.empty() ? std::optional<std::uint64_t>(1) : region_position(first);
  const auto end = last.empty() && dash != std::string::npos
                       ? std::optional<std::uint64_t>(Region::kLastPosition)
                       : region_position(last);
  if (!start || !end || (first.empty() && last.empty())) {
    return refuse("START and END are whole numbers from 1 to 2147483647");
  }
  if (*start > *end) return refuse("START is above END");
  region.start = *start;
  region.end = *end;
  return region;
}

std::string Region::text() const {
  if (start == 1 && end == kLastPosition) return chromosome;
  return chromosome + ":" + std::to_string(start) + "-" +
         (end == kLastPosition ? "" : std::to_string(end));
}

Parameter::Parameter(int argc, std::vector<std::string>& args) {
  const std::vector<GivenOption> options = given_options(argc, args);

  read_mode_options(options);
  check_output_type();
  command_line = shell_words(args);
  if (merge_posteriors || decompose_multi) return;

  const std::map<std::string, int> required = read_run_options(options);
  fill_defaults();
  check_required(required, has_int || has_list || has_region);
  check_values();
  if (has_region) {
    interval = {region.start, region.end};
    chromosome_name = region.chromosome;
    chromosome = static_cast<int>(std::strtol(chromosome_name.c_str(), nullptr, 10));
  }
  // Without --seed the clock seeds the run; each position's stream adds its own key. The
  // recorded command names the seed either way, so it repeats the run.
  if (!has_seed) {
    seed = static_cast<unsigned int>(std::time(nullptr));
    command_line += " --seed " + std::to_string(seed);
  }
}

// The options that pick another mode than calling, and those it shares with calling.
void Parameter::read_mode_options(const std::vector<GivenOption>& options) {
  for (const GivenOption& option : options) {
    const std::string& a = option.name;
    const std::vector<std::string>& v = option.values;
    if (a == "--merge-posteriors") {
      posterior_file = v[0];
      posterior_file_2 = v[1];
      merge_posteriors = true;
    }
    if (a == "--chr") {
      // The name is written as CHROM: a blank would split the record.
      if (v[0].empty() || v[0].find_first_of(" \t\r\n") != std::string::npos) {
        throw FatalError("ERROR! --chr needs a chromosome name without blanks or tabs, got '" +
                         v[0] + "'");
      }
      chromosome_name = v[0];
      has_chromosome = true;
      const auto number = parse_integer(chromosome_name);
      if (number && *number >= INT32_MIN && *number <= INT32_MAX) {
        chromosome = static_cast<int>(*number);
        chromosome_name = std::to_string(chromosome);
      } else {
        chromosome = static_cast<int>(std::strtol(chromosome_name.c_str(), nullptr, 10));
      }
    }
    if (a == "--sample-file") sample_file = v[0];
    if (a == "--o") {
      output_file = v[0];
      has_output = true;
    }
    if (a == "--output-type") output_type = v[0];
    if (a == "--decompose-multi") {
      decompose_file = v[0];
      decompose_multi = true;
    }
    if (a == "--unphased") unphased = true;
    if (a == "--quiet") quiet = true;
    if (a == "--log") {
      if (v[0].empty()) throw FatalError("ERROR! --log needs a file name, got ''");
      log_file = v[0];
    }
  }
}

// Returns which of the required options were given (1) or not (0).
std::map<std::string, int> Parameter::read_run_options(const std::vector<GivenOption>& options) {
  std::map<std::string, int> required = {
      {"--sample-file", 0}, {"--glfs", 0}, {"--scaffold-file", 0}, {"--o", 0}};
  zflag_modelavg = false;

  for (const GivenOption& option : options) {
    if (required.count(option.name) != 0) required[option.name] = 1;
    read_file_option(option);
    read_setting_option(option);
  }
  return required;
}

void Parameter::read_file_option(const GivenOption& option) {
  const std::string& a = option.name;
  const std::vector<std::string>& v = option.values;
  if (a == "--sample-file") sample_file = v[0];
  if (a == "--ref-panel") {
    ref_file = v[0];
    has_ref_panel = true;
  }
  if (a == "--ped-file") {
    ped_file = v[0];
    has_ped_file = true;
  }
  if (a == "--initial") {
    has_initial = true;
    initial_file = v[0];
  }
  if (a == "--copying-calls") {
    has_copying_calls = true;
    copying_calls_file = v[0];
  }
  if (a == "--list") {
    list_file = v[0];
    has_list = true;
  }
  if (a == "--mp") {
    has_mp = true;
    mp_file = v[0];
  }
  if (a == "--scaffold-file") scaffold_file = v[0];
  if (a == "--glfs") {
    has_glfs = true;
    glf_file = v[0];
  }
  if (a == "--o") {
    has_output = true;
    output_file = v[0];
  }
  if (a == "--echo-likelihoods") echo_likelihoods = true;
}

void Parameter::read_setting_option(const GivenOption& option) {
  const std::string& a = option.name;
  const std::vector<std::string>& v = option.values;
  if (a == "--int") {
    std::vector<std::uint64_t> bounds;
    read_int_bounds(v, bounds);
    if (has_int) throw FatalError("ERROR! --int needs two bounds, <lower> <upper>, given once");
    has_int = true;
    interval = bounds;
  }
  if (a == "--region") {
    if (has_region) throw FatalError("ERROR! --region is given twice");
    has_region = true;
    region = parse_region(v[0]);
  }
  if (a == "--iteration") {
    has_iteration = true;
    iterations = parse_int_option(a, v[0]);
  }
  if (a == "--burnin") {
    has_burnin = true;
    burnin = parse_int_option(a, v[0]);
  }
  if (a == "--numsnps") {
    has_numsnps = true;
    numsnps = parse_int_option(a, v[0]);
  }
  if (a == "--lambda") {
    has_lambda = true;
    lambda = parse_double_option(a, v[0]);
  }
  if (a == "--k") {
    k = v[0] == "all" ? kAllHaplotypes : parse_int_option(a, v[0]);
    has_k = true;
  }
  if (a == "--model-avg") zflag_modelavg = true;
  if (a == "--var-multi") var_multi = true;
  if (a == "--dosage") dosage = true;
  if (a == "--tune-settings") tune_settings = true;
  if (a == "--fixed-rare-phase") fixed_rare_phase = true;
  if (a == "--no-scaffold-check") no_scaffold_check = true;
  if (a == "--rare-band") rare_band = parse_double_option(a, v[0]);
  if (a == "--copying-weight") {
    copying_weight = parse_double_option(a, v[0]);
    has_copying_weight = true;
  }
  if (a == "--settle") {
    has_settle = true;
    settle_tolerance = parse_double_option(a, v[0]);
  }
  if (a == "--seed") {
    const std::int64_t value = parse_ranged_option(a, v[0], 0, UINT32_MAX, "a whole number");
    has_seed = true;
    seed = static_cast<unsigned int>(value);
  }
  if (a == "--model-memory") {
    model_memory_mb = static_cast<int>(
        parse_ranged_option(a, v[0], 0, kMaxModelMemoryMb, "a whole number of MB"));
  }
  if (a == "--passes") {
    has_passes = true;
    passes = static_cast<int>(parse_ranged_option(a, v[0], 1, kMaxPasses, "a whole number"));
  }
  if (a == "--first-pass-numsnps") {
    first_pass_numsnps = static_cast<int>(
        parse_ranged_option(a, v[0], 0, std::numeric_limits<int>::max(), "a whole number"));
  }
  if (a == "--threads") {
    threads = static_cast<int>(parse_ranged_option(a, v[0], 1, kMaxThreads, "a whole number"));
  }
}

void Parameter::check_output_type() const {
  if (output_type.empty()) return;
  // The name given to --o picks the format; -O only confirms it, as bcftools users write it.
  const std::map<std::string, std::string> kinds = {
      {"v", "plain VCF"}, {"z", "bgzipped VCF"}, {"b", "BCF"}};
  const auto kind = kinds.find(output_type);
  if (output_type == "u") {
    throw FatalError(
        "ERROR! -O u (uncompressed BCF) is not written: give -O b and an --o name ending in .bcf");
  }
  if (kind == kinds.end()) {
    throw FatalError("ERROR! -O/--output-type needs v, z or b, got '" + output_type + "'");
  }
  if (!has_output) return;
  const auto ends_with = [this](const std::string& suffix) {
    return output_file.size() >= suffix.size() &&
           output_file.compare(output_file.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  const std::string named = output_file == "-"  ? "v"
                            : ends_with(".gz")  ? "z"
                            : ends_with(".bcf") ? "b"
                                                : "v";
  if (named != output_type) {
    throw FatalError("ERROR! -O " + output_type + " asks for " + kind->second + ", but --o " +
                     output_file + " names " + kinds.at(named) +
                     ": the name picks the format (NAME.vcf, NAME.vcf.gz, NAME.bcf, - for plain "
                     "VCF on standard output)");
  }
}

void Parameter::fill_defaults() {
  if (!has_numsnps) numsnps = kDefaultNumsnps;
  if (!has_lambda) lambda = kDefaultLambda;
  if (!has_iteration) iterations = kDefaultIterations;
  if (!has_burnin) burnin = kDefaultBurnin;
  if (!has_settle) {
    settle_tolerance = has_ref_panel ? kDefaultSettleTolerance : kDefaultSettleToleranceNoPanel;
  }
  if (!has_passes) {
    // The first pass serves the copying prior of the second: the all-haplotype chain of
    // --model-avg and a prior weighed 0 read no copying at all, and --copying-calls is a
    // first pass already.
    const bool copying = !zflag_modelavg && !(has_copying_weight && copying_weight <= 0.0);
    passes = copying && !has_copying_calls ? kMaxPasses : 1;
  }
  if (!has_copying_weight) {
    copying_weight = passes > 1 && !has_ref_panel      ? kDefaultCohortCopyingWeight
                     : has_copying_calls || passes > 1 ? kDefaultCopyingWeightWithCalls
                                                       : kDefaultCopyingWeight;
  }
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
  if (has_copying_weight && !has_ref_panel && passes < 2) {
    // The weight mixes in the copying prior: without a panel only a second pass has one.
    throw FatalError("ERROR! --copying-weight " + number_text(copying_weight) +
                     " needs --ref-panel or --passes 2: it weighs the prior from copying the "
                     "panel's haplotypes (or the cohort's first-pass ones)");
  }
  if (has_copying_calls && (!has_ref_panel || copying_weight <= 0.0)) {
    // The calls only reach the prior that copies the panel: without it they would be read
    // for nothing.
    throw FatalError("ERROR! --copying-calls " + copying_calls_file +
                     " needs --ref-panel and a --copying-weight above 0");
  }
  if (passes > 1) {
    // The second pass reaches the first's calls only through the copying prior.
    if (copying_weight <= 0.0 || zflag_modelavg) {
      throw FatalError("ERROR! --passes 2 needs a --copying-weight above 0, without --model-avg");
    }
    if (has_copying_calls) {
      throw FatalError("ERROR! --copying-calls " + copying_calls_file +
                       " is an earlier pass already: give it with --passes 1");
    }
  } else if (first_pass_numsnps >= 0) {
    throw FatalError("ERROR! --first-pass-numsnps " + std::to_string(first_pass_numsnps) +
                     " needs --passes 2: one pass has no first pass to narrow");
  }
  if (!(settle_tolerance >= 0.0 && settle_tolerance <= 1.0)) {
    throw FatalError("ERROR! --settle must be from 0 to 1, got " + number_text(settle_tolerance));
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
  if (!has_int && !has_list && !has_region) {
    throw FatalError(
        "ERROR! The region to analyse is missing: give --region CHR:START-END, --int <lower> "
        "<upper> or --list <file>");
  }
  if (has_region && (has_int || has_list)) {
    throw FatalError("ERROR! --region names the region alone: give it without --int and --list");
  }
}

void Parameter::print(std::ostream& out, bool colour) const {
  out << "\n";
  out << " " << (colour ? "\x1b[1m" : "") << "Welcome to  Dorsane v" DORSANE_VERSION
      << (colour ? "\x1b[0m" : "") << "         \n";
  out << "\n";
  out << "Genotype calling of low-coverage cohorts on a phased haplotype scaffold\n";
  out << "========================================\n";
  out << "\n\n";
  out << "INPUT PARAMETERS\n";
  out << "Number of flanking sites at either side : "
      << (has_numsnps || has_ref_panel ? std::to_string(numsnps) : "from the cohort") << "\n";
  out << "Penalty value lambda                    : " << lambda << "\n";
  out << "Number of MCMC iterations               : " << iterations << "\n";
  out << "Number of MCMC burn-in iterations       : " << burnin << "\n";
  out << "Sweeps stop when posteriors move at most: "
      << (settle_tolerance > 0.0 ? number_text(settle_tolerance) : "off (every iteration)") << "\n";
  out << "Passes over the region                  : " << passes << "\n";
  if (passes > 1 && first_pass_numsnps >= 0) {
    out << "First pass's flanking sites at most     : " << first_pass_numsnps << "\n";
  }
  if (has_region) {
    out << "Region                                  : " << region.text() << "\n";
  }
  out << "Seed                                    : " << seed
      << (has_seed ? "" : " (from the clock; --seed " + std::to_string(seed) + " repeats the run)")
      << "\n";
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
