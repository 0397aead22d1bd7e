#include "app/CallSNP.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "io/file_formats.h"
#include "util/errors.h"

CallSNP::CallSNP(int argc, std::vector<std::string>& args) : params(argc, args) {
  // -chr names the chromosome until the likelihood records name it.
  chromosome = params.chromosome;
  chromosome_name = params.chromosome_name;
  if (params.has_list && !params.merge_posteriors && !params.decompose_multi) read_position_list();
}

void CallSNP::read_position_list() {
  params.list_line_count = 0;
  std::ifstream in(params.list_file);
  if (!in) throw FatalError("ERROR! Can't open " + params.list_file);
  PositionList list = read_positions(in, params.list_file);
  params.list_line_count = list.line_count;
  listed_positions = std::move(list.positions);
  params.interval = {listed_positions.front(), listed_positions.back()};
  // Walking the distinct listed positions visits exactly the positions that the
  // list filter would let through from the full range between the extremes.
  region_positions = listed_positions;
  region_positions.erase(std::unique(region_positions.begin(), region_positions.end()),
                         region_positions.end());
  snps_to_analyse = static_cast<int>(listed_positions.size());
}

void CallSNP::run() {
  start_clock = std::clock();
  if (params.merge_posteriors) {
    read_sample();
    convert_to_vcf();
  } else if (params.decompose_multi) {
    read_sample();
    vcf_decompose();
  } else {
    run_calling_mode();
    std::cout << "\n";
  }
  const std::clock_t end_clock = std::clock();
  print_closing_lines(std::cout,
                      (static_cast<double>(end_clock) - static_cast<double>(start_clock)) / 1000000);
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
  read_scaffold();
  if (params.has_initial) read_initial_file();
  if (params.has_ref_panel) read_ref_file();
  const std::string& chrom = chromosome_name.empty() ? params.chromosome_name : chromosome_name;
  ResultWriter writer(params.has_output ? &vcf_output.stream() : nullptr,
                      params.has_mp ? &mp_output.stream() : nullptr, sample_ids, chrom);
  inference_step(writer);
  write_file(writer);
}

void CallSNP::open_outputs() {
  if (params.has_mp && !mp_output.open(params.mp_file)) {
    throw FatalError("ERROR! Can't open output file: " + params.mp_file);
  }
  if (params.has_output && !vcf_output.open(params.output_file, true)) {
    throw FatalError("ERROR! Can't open output file: " + params.output_file);
  }
}

void print_closing_lines(std::ostream& out, double processor_seconds) {
  out.flush();
  std::printf("Time elapsed : %f\n", processor_seconds);
  std::fflush(stdout);
  out << "\n~~~ ΤΕΛΟΣ ~~~ \n\nHave a nice day!\n\n";
  out.flush();
}
