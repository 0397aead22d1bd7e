#include "app/CallSNP.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <tuple>
#include <utility>

#include "app/help_text.h"
#include "app/run_log.h"
#include "io/file_formats.h"
#include "util/errors.h"

namespace {

// The file a name refers to: its device and inode when it exists, else its directory's
// resolved path and its own name, so "out.vcf" and "./out.vcf" are one file.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;

  explicit FileIdentity(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0) {
      exists = true;
      device = info.st_dev;
      inode = info.st_ino;
      return;
    }
    const std::size_t slash = name.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    char resolved[PATH_MAX];
    path =
        (::realpath(directory.c_str(), resolved) != nullptr ? std::string(resolved) : directory) +
        "/" + (slash == std::string::npos ? name : name.substr(slash + 1));
  }
  bool same_as(const FileIdentity& o) const {
    return exists == o.exists && (exists ? device == o.device && inode == o.inode : path == o.path);
  }
};

}  // namespace

void CallSNP::check_output_names() const {
  std::vector<std::pair<std::string, std::string>> inputs;  // option, file
  std::vector<std::pair<std::string, std::string>> outputs;
  auto input = [&](bool given, const char* option, const std::string& file) {
    if (given) inputs.emplace_back(option, file);
  };
  if (params.merge_posteriors) {
    input(true, "-merge-posteriors", params.posterior_file);
    input(true, "-merge-posteriors", params.posterior_file_2);
  } else if (params.decompose_multi) {
    input(true, "-decompose-multi", params.decompose_file);
  } else {
    input(true, "--glfs", params.glf_file);
    input(true, "--scaffold-file", params.scaffold_file);
    input(params.has_ref_panel, "--ref-panel", params.ref_file);
    input(params.has_ped_file, "--ped-file", params.ped_file);
    input(params.has_list, "--list", params.list_file);
    input(params.has_initial, "-initial", params.initial_file);
    input(params.has_copying_calls, "--copying-calls", params.copying_calls_file);
    if (params.has_mp) outputs.emplace_back("--mp", params.mp_file);
  }
  input(true, "--sample-file", params.sample_file);
  if (params.has_output) outputs.emplace_back("--o", params.output_file);
  if (!params.log_file.empty()) outputs.emplace_back("--log", params.log_file);
  // The calling mode's compressed VCF gets an index beside it, an output of its own.
  const bool indexed = !params.merge_posteriors && !params.decompose_multi;
  if (params.has_output && indexed && !OutputFile::index_name(params.output_file).empty()) {
    outputs.emplace_back("the index of --o", OutputFile::index_name(params.output_file));
  }
  if (params.echo_likelihoods && params.has_output &&
      params.output_file == OutputFile::kStandardOutput) {
    throw FatalError(
        "ERROR! --echo-likelihoods prints to standard output, where --o - writes "
        "the VCF; write the VCF to a file");
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const auto& [option, file] = outputs[i];
    if (file.empty()) throw FatalError("ERROR! " + option + " needs a file name, got ''");
    const FileIdentity output(file);
    for (const auto& [in_option, in_file] : inputs) {
      // Standard input is never the file of an output, standard output included.
      if (!in_file.empty() && in_file != kStandardInput && output.same_as(FileIdentity(in_file))) {
        throw FatalError("ERROR! The output " + option + " " + file + " is the input " + in_option +
                         " " + in_file + "; writing it would destroy the input");
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (output.same_as(FileIdentity(outputs[j].second))) {
        throw FatalError("ERROR! " + outputs[j].first + " and " + option + " name the same file " +
                         file);
      }
    }
  }
}

void CallSNP::check_stream_inputs() const {
  if (params.merge_posteriors || params.decompose_multi) return;
  // The phased readers look at a file's first bytes to tell its format, then open it again.
  for (const auto& [given, option, file] :
       {std::tuple{true, "--scaffold-file", params.scaffold_file},
        std::tuple{params.has_ref_panel, "--ref-panel", params.ref_file}}) {
    if (given && is_stream(file)) {
      throw FatalError("ERROR! " + std::string(option) + " " + file +
                       " is a pipe or standard input, but it is read twice (its format, then its "
                       "sites): write it to a file first");
    }
  }
  if (params.passes > 1 && is_stream(params.glf_file)) {
    throw FatalError("ERROR! --glfs " + params.glf_file +
                     " is a pipe or standard input, but two passes (the default) "
                     "read it again over the windows' margins: write it to a file first, or give "
                     "--passes 1");
  }
  std::vector<std::pair<std::string, std::string>> inputs = {{"--sample-file", params.sample_file},
                                                             {"--glfs", params.glf_file}};
  if (params.has_list) inputs.emplace_back("--list", params.list_file);
  if (params.has_ped_file) inputs.emplace_back("--ped-file", params.ped_file);
  if (params.has_initial) inputs.emplace_back("-initial", params.initial_file);
  if (params.has_copying_calls) inputs.emplace_back("--copying-calls", params.copying_calls_file);
  std::string reader;
  for (const auto& [option, file] : inputs) {
    if (file != kStandardInput && file != "/dev/stdin") continue;
    if (!reader.empty()) {
      throw FatalError("ERROR! " + reader + " and " + option +
                       " both read standard input, which holds one file");
    }
    reader = option;
  }
}

CallSNP::CallSNP(int argc, std::vector<std::string>& args) : params(argc, args) {
  check_output_names();
  check_stream_inputs();
  open_run_log(params.quiet, params.log_file);
  // -chr names the chromosome until the likelihood records name it.
  chromosome = params.chromosome;
  chromosome_name = params.chromosome_name;
  if (params.has_list && !params.merge_posteriors && !params.decompose_multi) read_position_list();
}

void CallSNP::read_position_list() {
  params.list_line_count = 0;
  ifile in;
  if (!in.open(params.list_file)) throw FatalError(cannot_open("", in));
  PositionList list = read_positions(in, params.list_file);
  params.list_line_count = list.line_count;
  listed_positions = std::move(list.positions);
  params.interval = {listed_positions.front(), listed_positions.back()};
  // Walking the distinct listed positions visits exactly the positions that the
  // list filter would let through from the full range between the extremes.
  distinct_listed_positions = listed_positions;
  distinct_listed_positions.erase(
      std::unique(distinct_listed_positions.begin(), distinct_listed_positions.end()),
      distinct_listed_positions.end());
  snps_to_analyse = static_cast<int>(listed_positions.size());
}

void CallSNP::run() {
  const RunClock clock;
  if (params.merge_posteriors) {
    read_sample();
    convert_to_vcf();
  } else if (params.decompose_multi) {
    read_sample();
    vcf_decompose();
  } else {
    params.print(info(), stderr_takes_colour() && params.log_file.empty());
    run_calling_mode();
  }
  print_closing_lines(info(), clock.wall_seconds(), clock.processor_seconds());
}

void CallSNP::run_calling_mode() {
  open_outputs();
  read_sample();
  if (sample_count < 2) {
    // Every haplotype is modelled from the others, and a single sample has only its own.
    throw FatalError("ERROR! The sample file " + params.sample_file + " holds " +
                     std::to_string(sample_count) + " sample" + (sample_count == 1 ? "" : "s") +
                     "; calling genotypes needs at least 2");
  }
  read_glf_file();
  read_pedigree();
  if (!params.has_numsnps) {
    params.numsnps = default_numsnps(params.k, params.has_ref_panel);
    info() << "Number of flanking sites at either side : " << params.numsnps
           << (params.has_ref_panel
                   ? ""
                   : " (from the " + std::to_string(params.k) + " haplotypes each model selects)")
           << std::endl;
  }
  read_scaffold();
  if (params.passes > 1) read_first_pass_margins();
  if (params.has_initial) read_initial_file();
  if (params.has_ref_panel) read_ref_file();
  if (params.has_copying_calls) read_copying_calls();
  check_scaffold_fit();
  choose_settings();
  const std::string& chrom = chromosome_name.empty() ? params.chromosome_name : chromosome_name;
  VcfProvenance provenance{params.command_line, {contig_entry(chrom, contig_length)}, {}};
  for (const BlockChoice& choice : block_choices) {
    provenance.extra_lines.push_back(choice_header_line(choice, chrom));
  }
  ResultWriter writer(params.has_output ? &vcf_output.stream() : nullptr,
                      params.has_mp ? &mp_output.stream() : nullptr, sample_ids, chrom, provenance,
                      params.dosage);
  inference_step(writer);
  write_file(writer);
}

void CallSNP::open_outputs() {
  if (params.has_mp && !mp_output.open(params.mp_file)) {
    throw FatalError("ERROR! Can't open output file: " + params.mp_file + ": " +
                     mp_output.failure());
  }
  if (params.has_output && !vcf_output.open(params.output_file, OutputFile::Kind::kIndexedVcf)) {
    const std::string& target = vcf_output.unwritable();
    throw FatalError("ERROR! Can't open output file: " + target +
                     (target != params.output_file ? " (the index of --o)" : "") + ": " +
                     vcf_output.failure());
  }
}

void print_closing_lines(std::ostream& out, double wall_seconds, double processor_seconds) {
  out << "\nDone in " << duration_text(wall_seconds)
      << " (wall time), " + duration_text(processor_seconds) + " of processor time\n";
  out << "\n~~~ ΤΕΛΟΣ ~~~ \n\nHave a nice day!\n\n";
  out.flush();
}
