// libFuzzer harnesses, one per reader (chosen by DORSANE_FUZZ_TARGET at compile time). Each
// writes the bytes to a file and reads it through ifile, the stream every reader gets in
// the program, so gzip detection and decompression are fuzzed too. The scaffold and panel
// harnesses take a plain phased VCF through its conversion to their layout; BCF is left
// out, as htslib allocates a BCF header as long as its first bytes claim, which libFuzzer
// reports as running out of memory. A FatalError is the expected answer to a bad input;
// anything else (a crash, a sanitizer report, another exception) is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Parameter.h"
#include "io/file_formats.h"
#include "io/io.h"
#include "io/phased_vcf.h"
#include "util/errors.h"

namespace {

const std::vector<std::string> kSamples = {"S1", "S2"};

std::string input_path() { return "/tmp/dorsane-fuzz-" + std::to_string(::getpid()) + ".in"; }

// A phased VCF's layout, or null for another input.
[[maybe_unused]] std::unique_ptr<PhasedLayout> phased_vcf(const std::uint8_t* data,
                                                          std::size_t size,
                                                          const PhasedVcfSettings& settings) {
  const char kMagic[] = "##fileformat=VCF";
  if (size < sizeof kMagic - 1 || std::memcmp(data, kMagic, sizeof kMagic - 1) != 0) return nullptr;
  auto in = std::make_unique<ifile>();
  if (!in->open(input_path())) return nullptr;
  return phased_layout_of_vcf(std::move(in), settings);
}

[[maybe_unused]] bool open_input(const std::uint8_t* data, std::size_t size, ifile& in) {
  {
    std::ofstream out(input_path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  return in.open(input_path());
}

void read_one(const std::uint8_t* data, std::size_t size) {
  std::ostringstream out;
#if DORSANE_FUZZ_TARGET == 7
  // The option parser: NUL-separated arguments after the program name.
  std::vector<std::string> args = {"dorsane"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  std::streambuf* saved_out = std::cout.rdbuf(out.rdbuf());
  std::streambuf* saved_err = std::cerr.rdbuf(out.rdbuf());
  auto restore = [&] {
    std::cout.rdbuf(saved_out);
    std::cerr.rdbuf(saved_err);
  };
  try {
    Parameter parameters(static_cast<int>(args.size()), args);
  } catch (...) {
    restore();
    throw;
  }
  restore();
#else
  ifile in;
  if (!open_input(data, size, in)) return;
#if DORSANE_FUZZ_TARGET == 0
  LikelihoodSettings settings;
  settings.file_name = "gl.vcf";
  settings.upper = 2147483647;
  LikelihoodRecords records;
  read_likelihood_vcf(in, kSamples, settings, records, out, out);
#elif DORSANE_FUZZ_TARGET == 1
  ScaffoldSettings settings;
  settings.file_name = "scaffold.txt";
  settings.upper = 2147483647;
  settings.sample_count = 2;
  settings.chromosome = "20";
  ScaffoldData scaffold;
  const AlleleTable likelihood_alleles;
  if (auto phased = phased_vcf(data, size, {"scaffold.vcf", "20", kSamples, false})) {
    read_scaffold_sites(*phased, settings, likelihood_alleles, scaffold);
  } else {
    read_scaffold_sites(in, settings, likelihood_alleles, scaffold);
  }
#elif DORSANE_FUZZ_TARGET == 2
  SiteRows scaffold(4);
  scaffold.append(100, {0, 1, 1, 0});
  AlleleTable records;
  records.insert(200, "A", "C");
  PanelData panel;
  panel.chromosome = "20";
  if (auto phased = phased_vcf(data, size, {"panel.vcf", "20", {}, true})) {
    read_reference_panel(*phased, "panel.vcf", {0, 2147483647}, scaffold, records,
                         RecordPositions(), panel);
  } else {
    read_reference_panel(in, "panel.txt", {0, 2147483647}, scaffold, records, RecordPositions(),
                         panel);
  }
#elif DORSANE_FUZZ_TARGET == 3
  PedigreeCounts counts;
  read_pedigree_units(in, "family.ped", {"C", "F", "M", "D"}, counts);
#elif DORSANE_FUZZ_TARGET == 4
  InitialSettings settings;
  settings.file_name = "init.vcf";
  settings.upper = 2147483647;
  settings.sample_count = 2;
  settings.sample_ids = kSamples;
  settings.chromosome = "20";
  std::map<std::uint64_t, std::vector<int> > genotypes;
  read_initial_genotypes(in, settings, genotypes);
#elif DORSANE_FUZZ_TARGET == 5
  // Both merge inputs are the fuzzed file.
  ifile second;
  if (!second.open(input_path())) return;
  merge_posterior_files(in, "a.mp", second, "b.mp", kSamples, "20", out);
#elif DORSANE_FUZZ_TARGET == 6
  decompose_multiallelic_vcf(in, "in.vcf", kSamples, size % 2 == 0, out);
#endif
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    read_one(data, size);
  } catch (const FatalError&) {
  } catch (const MyException&) {
  }
  return 0;
}
