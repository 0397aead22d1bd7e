#include <htslib/hts.h>

#include <exception>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <algorithm>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/CallSNP.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

constexpr const char* kHelpText =
    "\n"
    "\n"
    "=========================\n"
    "\x1b[33m  Dorsane version " DORSANE_VERSION
    "\x1b[0m\n"
    "=========================\n"
    "\n"
    "\n"
    "Genotype calling for low-coverage sequencing of a cohort on a phased haplotype scaffold.\n"
    "Give --sample-file, --glfs, --scaffold-file, --o and --int or --list to call genotypes.\n"
    "\n"
    "\n"
    "\x1b[1mINPUT FILES\x1b[0m\n"
    "\n"
    "    --sample-file <file>                A list of the sample IDs names \n"
    "    --glfs <file>                       Genotype likelihoods input file (vcf format)\n"
    "    --scaffold-file <file>              Haplotype scaffold \n"
    "\n"
    "\n"
    "\x1b[1mMODEL OPTIONS\x1b[0m\n"
    "\n"
    "    --int <lower> <upper>               Lower and upper bounds (physical positions) of the "
    "region of interest. \n"
    "    --list <file>                       A list of all positions to be tested [instead of "
    "interval] \n"
    "    --numsnps <int>                     Number of SNPs at either site of the position of "
    "interest [default 50]\n"
    "    --lambda <double>                   Penalty value [default 0.06]\n"
    "    --ped-file <file>                   File in .ped format\n"
    "    --k <int>                           The number of haplotypes to be selected for "
    "inference, [default k = all ]\n"
    "    --model-avg                         Perform model averaging between model with k and "
    "model with all haplotypes\n"
    "\n"
    "\n"
    "\x1b[1mMCMC OPTIONS\x1b[0m\n"
    "\n"
    "    --iteration <int>                   Number of iterations for MVN method [default 100]\n"
    "    --burnin <int>                      Number of burnin iterations [default 10]\n"
    "\n"
    "\n"
    "\x1b[1mOUTPUT FILES\x1b[0m\n"
    "\n"
    "    --mp <file>                        Output file with marginal posterior probabilities\n"
    "    --o <file>                         Output file in vcf format\n"
    "\n"
    " For more information visit \x1b[34mREADME.md in the dorsane source tree\x1b[0m\n"
    "\n";

// Swallows what --quiet keeps off standard output.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

}  // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Every window builds and frees buffers of megabytes; served by mmap they go back to the
  // system when freed instead of staying in a fragmented heap.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
  if (argc == 1) {
    std::cout << kHelpText << std::flush;
    return 0;
  }
  std::vector<std::string> args(argv, argv + argc);
  if (std::find(args.begin() + 1, args.end(), "--version") != args.end()) {
    std::cout << "dorsane " << DORSANE_VERSION << std::endl;
    return 0;
  }
  // --quiet: nothing on standard output; warnings and errors still go to standard error.
  NullBuffer null_buffer;
  // std::cout is flushed again after main returns: it must have its own buffer back by then.
  struct RestoreOutput {
    std::streambuf* buffer;
    ~RestoreOutput() { std::cout.rdbuf(buffer); }
  } restore_output{std::cout.rdbuf()};
  if (std::find(args.begin() + 1, args.end(), "--quiet") != args.end()) {
    std::cout.rdbuf(&null_buffer);
  }
  remove_temporary_outputs_on_signals();
  // htslib would print its own lines beside ours; every failure it reports becomes one
  // message of ours naming the file.
  hts_set_log_level(HTS_LOG_OFF);
  try {
    CallSNP caller(argc, args);
    caller.run();
  } catch (const FatalError& error) {
    std::cout << std::flush;
    std::cerr << printable_message(error.what()) << std::endl;
    return 1;
  } catch (const std::exception& error) {
    std::cout << std::flush;
    std::cerr << "Exiting : " << printable_message(error.what()) << std::endl;
    return 1;
  } catch (...) {
    std::cout << std::flush;
    std::cerr << "Exiting : unknown internal error" << std::endl;
    return 1;
  }
  return 0;
}
