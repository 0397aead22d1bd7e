#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "Parameter.h"

// Owns one run of the program: its parameters, the inputs read, the results.
class CallSNP {
 public:
  CallSNP(int argc, std::vector<std::string>& args);
  ~CallSNP() = default;

  // Performs exactly one run mode, then prints the time used and the closing lines.
  void run();

  // Readers and writers (CallSNP_io_*.cpp).
  void read_sample();
  void convert_to_vcf();
  void vcf_decompose();

  Parameter params;

  // With --list: the distinct listed positions, ascending. Without it: the
  // analysable records of the likelihood file, in file order.
  std::vector<std::uint64_t> region_positions;
  // The --list positions, ascending, duplicates kept.
  std::vector<std::uint64_t> listed_positions;
  std::vector<std::string> sample_ids;
  int sample_count = 0;
  int snps_to_analyse = 0;
  std::clock_t start_clock = 0;

 private:
  void read_position_list();
  void run_calling_mode();
};

// Text printed after every run mode.
void print_closing_lines(std::ostream& out, double processor_seconds);
