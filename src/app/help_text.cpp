#include "app/help_text.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/Parameter.h"
#include "app/block_settings.h"
#include "chain/run_chain.h"
#include "io/file_formats.h"

namespace {

struct HelpLine {
  const char* option;  // the option and its values, as typed
  std::string text;    // what it does, and its default
};

struct HelpGroup {
  const char* title;
  std::vector<HelpLine> lines;
};

// The help fits a terminal of this many columns.
constexpr std::size_t kHelpWidth = 100;
// Where an option's text starts: after its column of option names.
constexpr std::size_t kTextColumn = 30;

// text broken at blanks into lines of at most kHelpWidth columns, the first starting at
// column `first`, the others at kTextColumn.
std::string wrapped(const std::string& text, std::size_t first) {
  std::string out;
  std::size_t column = first;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!out.empty() && column + 1 + word.size() > kHelpWidth) {
      out += "\n" + std::string(kTextColumn, ' ');
      column = kTextColumn;
    } else if (!out.empty()) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
  }
  return out;
}

std::string number_text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

std::vector<HelpGroup> help_groups() {
  const std::string max_threads = std::to_string(Parameter::kMaxThreads);
  return {
      {"Input files",
       {{"--sample-file <file>", "sample IDs, one per line (required)"},
        {"--glfs <file>",
         "genotype likelihoods with PL or GL: VCF (plain, gzip or bgzip) or BCF; - or a pipe "
         "reads a stream (required)"},
        {"--scaffold-file <file>", "phased scaffold: text layout or phased VCF/BCF (required)"},
        {"--ref-panel <file>", "reference panel: text layout or phased VCF/BCF [none]"},
        {"--ped-file <file>", "pedigree of trios and duos, ped columns [none]"},
        {"--initial <file>",
         "initial phased genotypes at multi-allelic sites (also -initial) [none]"},
        {"--copying-calls <file>",
         "phased calls of the same samples (an earlier run's output) that the panel-copying "
         "prior also follows between array sites; its weight becomes " +
             number_text(Parameter::kDefaultCopyingWeightWithCalls) + " [none]"}}},
      {"Region (one of the three is required)",
       {{"--region, -r <region>",
         "chr:start-end, 1-based and inclusive; also chr (all of it), chr:pos and chr:start-, "
         "as bcftools reads them"},
        {"--int <lower> <upper>", "positions lower to upper + 5"},
        {"--list <file>", "white-space separated positions"}}},
      {"Model",
       {{"--numsnps <int>",
         "flanking scaffold sites on each side [" + std::to_string(Parameter::kDefaultNumsnps) +
             " with a panel; without, k/" + std::to_string(kHaplotypesPerFlankingSite) + " from " +
             std::to_string(kNarrowestDefaultNumsnps) + " to " +
             std::to_string(Parameter::kDefaultNumsnps) + "]"},
        {"--lambda <double>",
         "penalty on the covariances' diagonal [" + number_text(Parameter::kDefaultLambda) + "]"},
        {"--k <int|all>",
         "haplotypes selected per haplotype, 2 to 2N-2 (all: 2N-2) [2N-2, at most " +
             std::to_string(kDefaultHaplotypeCap) + "]"},
        {"--model-avg", "also run the all-haplotype model, keep the more certain [off]"},
        {"--var-multi", "analyse scaffold sites from their likelihoods too [off]"},
        {"--tune-settings",
         "choose --numsnps and --lambda per 1 Mb block by held-out "
         "prediction [off]"},
        {"--rare-band <double>",
         "variant means below it or above 1 minus it take the fixed "
         "variance 0.09 [" +
             number_text(Parameter::kDefaultRareBand) + "]"},
        {"--copying-weight <double>",
         "weight of the prior from copying haplotypes, 0 to 1 [" +
             number_text(Parameter::kDefaultCopyingWeight) +
             " in one pass; two passes: " + number_text(Parameter::kDefaultCopyingWeightWithCalls) +
             " with a panel, " + number_text(Parameter::kDefaultCohortCopyingWeight) + " without]"},
        {"--passes <1|2>",
         "2: a first pass, then a second whose copying prior follows each sample's reads "
         "weighed by the first, copying the panel (without one, the cohort's first-pass "
         "haplotypes) [2]"},
        {"--first-pass-numsnps <int>",
         "the first of two passes with windows of at most this many flanking sites: less CPU, "
         "the rarest variants' calls slightly worse [as --numsnps]"},
        {"--fixed-rare-phase",
         "phase heterozygotes of variants near 0 or 1 with the fixed variance [off]"}}},
      {"Sampler",
       {{"--iteration <int>",
         "MCMC iterations [" + std::to_string(Parameter::kDefaultIterations) + "]"},
        {"--burnin <int>", "burn-in iterations, below --iteration [" +
                               std::to_string(Parameter::kDefaultBurnin) + "]"},
        {"--settle <double>",
         "stop a variant's sweeps once no posterior moves more than this in " +
             std::to_string(kSettleSweeps) +
             " sweeps, and with a panel a sample's draws once it is this close to certain; 0: "
             "every sweep and draw [" +
             number_text(Parameter::kDefaultSettleTolerance) + " with a panel, " +
             number_text(Parameter::kDefaultSettleToleranceNoPanel) + " without]"},
        {"--seed, -s <int>",
         "seed, 0 to 4294967295: the same seed repeats a run [the clock, printed]"}}},
      {"Output",
       {{"--o, -o, --output <file>",
         "output: NAME.vcf, NAME.vcf.gz (indexed), NAME.bcf (indexed), - for VCF on "
         "standard output (required)"},
        {"--output-type, -O <v|z|b>",
         "as bcftools: plain VCF, bgzipped VCF or BCF; must agree with the --o name, which "
         "picks the format [from the name]"},
        {"--mp <file>", "marginal posteriors of every class [none]"},
        {"--dosage", "add DS and GP to the VCF (AF and INFO are always written) [off]"},
        {"--echo-likelihoods",
         "print each sample's PL values on standard output, to debug [off]"}}},
      {"Run",
       {{"--threads, -t <int>", "windows analysed side by side, 1 to " + max_threads + " [1]"},
        {"--model-memory <int>",
         "MB for the models of the windows in hand; past it a window's models are fitted on "
         "several threads [" +
             std::to_string(Parameter::kDefaultModelMemoryMb) + "]"},
        {"--no-scaffold-check",
         "warn, not stop, when the scaffold does not fit the reads at the array sites [off]"},
        {"--quiet", "no banner, settings or progress on standard error [off]"},
        {"--log <file>", "write banner, settings, warnings and timings to a file [none]"},
        {"--help, -h", "print this help and exit"},
        {"--version", "print the version and exit"}}},
      {"Other modes",
       {{"--merge-posteriors <a> <b>",
         "average two --mp files into calls (with --o, --sample-file; also -merge-posteriors)"},
        {"--chr <name>",
         "CHROM written by --merge-posteriors; in calling, the chromosome read from likelihoods "
         "of several, and written where the inputs name none (also -chr) [0]"},
        {"--decompose-multi <file>",
         "split the multi-base records of a phased called VCF into bi-allelic SNPs, GT only "
         "(not for likelihoods: bcftools norm -m-any; also -decompose-multi)"},
        {"--unphased", "--decompose-multi reads a/b genotypes (also -unphased) [off]"}}},
  };
}

}  // namespace

bool stdout_takes_colour() {
  return isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
}

bool stderr_takes_colour() {
  return isatty(STDERR_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
}

std::string help_text(bool colour) {
  const std::string bold = colour ? "\x1b[1m" : "";
  const std::string plain = colour ? "\x1b[0m" : "";
  std::ostringstream out;
  out << bold << "dorsane " << DORSANE_VERSION << plain
      << ": genotype calling for low-coverage sequencing of a cohort on a phased scaffold\n\n"
      << "Usage:\n"
      << "  dorsane --sample-file S --glfs GL.vcf.gz --scaffold-file SCAFFOLD -o OUT.vcf.gz\n"
      << "          (--region CHR[:START-END] | --int LOWER UPPER | --list POSITIONS) [options]\n"
      << "  dorsane --merge-posteriors A.mp B.mp -o OUT.vcf --sample-file S [--chr NAME]\n"
      << "  dorsane --decompose-multi IN.vcf -o OUT.vcf --sample-file S [--unphased]\n";
  for (const HelpGroup& group : help_groups()) {
    out << "\n" << bold << group.title << plain << "\n";
    for (const HelpLine& line : group.lines) {
      std::string option = line.option;
      option.resize(std::max<std::size_t>(option.size() + 2, kTextColumn - 2), ' ');
      out << "  " << option << wrapped(line.text, 2 + option.size()) << "\n";
    }
  }
  out << "\nEvery option, file format and message: docs/usage.md (installed under "
         "share/doc/dorsane).\n";
  return out.str();
}
