#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/CallSNP.h"
#include "app/run_log.h"
#include "model/scaffold_fit.h"
#include "util/errors.h"

// The scaffold checked against the reads before any work: at the array sites with a
// likelihood record of the same alleles, each sample's scaffold genotype against its own
// reads and everyone else's (model/scaffold_fit.h).

namespace {

// Every sample's scaffold against every other's reads costs samples² × sites: past this many
// additions, fewer sites (evenly spread, at least kMinPairSites) are compared pairwise.
constexpr double kPairAdditions = 4e9;
constexpr int kMinPairSites = 100;
// Samples named in the message; the rest are counted.
constexpr std::size_t kNamedSamples = 5;

std::string one_decimal(double value) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << value;
  return text.str();
}

// A fit worse than chance is said so, not as a negative distance above it.
std::string deviations_from_chance(double z) {
  return one_decimal(std::abs(z)) + " standard deviations " + (z < 0 ? "below" : "above") +
         " chance";
}

// "A, B, C, D, E and 4 more": the first labels named, the rest counted.
std::string first_named(const std::vector<std::string>& labels) {
  std::string text;
  for (std::size_t k = 0; k < labels.size() && k < kNamedSamples; ++k) {
    text += (k == 0 ? "" : ", ") + labels[k];
  }
  if (labels.size() > kNamedSamples) {
    text += " and " + std::to_string(labels.size() - kNamedSamples) + " more";
  }
  return text;
}

std::string fit_failures(const ScaffoldFitReport& report, const std::vector<std::string>& ids) {
  auto labels = [&](const std::vector<int>& samples, bool best_other) {
    std::vector<std::string> text;
    for (const int j : samples) {
      const auto i = static_cast<std::size_t>(j);
      const int other = report.samples[i].best_other;
      text.push_back(ids[i] +
                     (best_other ? " (" + ids[static_cast<std::size_t>(other)] + "'s)" : ""));
    }
    return first_named(text);
  };
  std::vector<std::string> parts;
  if (report.cohort_below_expected) {
    parts.push_back("taken together, the samples' scaffold genotypes fit their own reads " +
                    deviations_from_chance(report.cohort_z) + ", where " +
                    one_decimal(report.cohort_expected_z) + " are expected were they right");
  }
  if (!report.fits_another.empty()) {
    parts.push_back("scaffold fitting another sample's reads better than its own: " +
                    labels(report.fits_another, true));
  }
  if (!report.no_better_than_chance.empty()) {
    parts.push_back("scaffold fitting its own reads no better than chance: " +
                    labels(report.no_better_than_chance, false));
  }
  if (!report.below_expected.empty()) {
    parts.push_back(
        "scaffold fitting its own reads less than half as well as a right one "
        "would: " +
        labels(report.below_expected, false));
  }
  std::string text;
  for (std::size_t k = 0; k < parts.size(); ++k) text += (k == 0 ? "" : "; ") + parts[k];
  return text;
}

}  // namespace

std::string CallSNP::sample_names(const std::vector<int>& samples) const {
  std::vector<std::string> ids;
  for (const int j : samples) ids.push_back(sample_ids[static_cast<std::size_t>(j)]);
  return first_named(ids);
}

std::vector<CallSNP::FitSite> CallSNP::scaffold_fit_sites() const {
  std::vector<FitSite> sites;
  std::uint64_t last_position = 0;
  for (const std::uint64_t key : likelihood_alleles.keys()) {
    const std::uint64_t pos = record_positions.position_of(key);
    const std::size_t row = scaffold_haplotypes.index_of(pos);
    if (row == SiteRows::npos || (!sites.empty() && last_position == pos)) continue;
    const SiteAlleles alleles = likelihood_alleles.at(key);
    const std::optional<SiteAlleles> scaffold = scaffold_alleles.find(pos);
    if (alleles.count() != 2 || !scaffold || *scaffold != alleles || !has_likelihood_values(key)) {
      continue;
    }
    const std::vector<std::uint8_t> haplotypes = scaffold_haplotypes.row(row);
    const auto ones = std::count(haplotypes.begin(), haplotypes.end(), 1);
    if (ones == 0 || ones == static_cast<std::ptrdiff_t>(haplotypes.size())) continue;
    sites.push_back({key, row});
    last_position = pos;
  }
  return sites;
}

void CallSNP::check_scaffold_fit() {
  const std::vector<FitSite> sites = scaffold_fit_sites();
  if (sites.empty()) {
    info() << "Scaffold against the reads: no array site has a likelihood record of the same "
              "alleles; not checked"
           << std::endl;
    return;
  }
  const double n = sample_count;
  const auto pair_count = static_cast<std::size_t>(std::clamp<double>(
      kPairAdditions / (n * n), kMinPairSites, static_cast<double>(sites.size())));
  LikelihoodSettings settings = likelihood_settings();
  std::vector<std::uint64_t> keys;
  for (const FitSite& site : sites) keys.push_back(site.key);
  // A stream's values were kept as it was read; a file is read again.
  std::unique_ptr<std::istream> in;
  std::unique_ptr<LikelihoodPuller> puller;
  if (!likelihoods_streamed) {
    in = open_likelihoods(settings);
    puller = std::make_unique<LikelihoodPuller>(
        *in, sample_ids, settings,
        [&keys](std::uint64_t key) { return std::binary_search(keys.begin(), keys.end(), key); });
  }
  auto take = [&](std::uint64_t key) {
    if (puller != nullptr) return puller->take(key);
    const auto kept = streamed_likelihoods.find(key);
    return kept != streamed_likelihoods.end() ? kept->second : std::vector<double>();
  };
  ScaffoldFit fit(sample_count);
  std::vector<std::uint8_t> genotypes(static_cast<std::size_t>(sample_count));
  for (std::size_t s = 0; s < sites.size(); ++s) {
    const std::vector<double> pl_phred = take(sites[s].key);
    if (pl_phred.size() != 3 * genotypes.size()) {
      throw FatalError("ERROR! " + settings.file_name +
                       " changed while dorsane was reading it: the likelihoods of position " +
                       std::to_string(item_position(sites[s].key)) + " are gone");
    }
    const std::vector<std::uint8_t> haplotypes = scaffold_haplotypes.row(sites[s].row);
    std::size_t ones = 0;
    for (std::size_t j = 0; j < genotypes.size(); ++j) {
      genotypes[j] = static_cast<std::uint8_t>(haplotypes[2 * j] + haplotypes[2 * j + 1]);
      ones += genotypes[j];
    }
    // Evenly spread: site s is compared pairwise when it starts a new share of the sites.
    const bool pairwise = (s + 1) * pair_count / sites.size() > s * pair_count / sites.size();
    fit.add_site(genotypes, pl_phred, static_cast<double>(ones) / (2 * n), pairwise);
  }
  report_scaffold_fit(fit.finish(params.threads));
}

void CallSNP::report_scaffold_fit(const ScaffoldFitReport& report) const {
  std::vector<double> judged;
  for (const SampleFit& sample : report.samples) {
    if (sample.judged) judged.push_back(sample.z_own);
  }
  std::sort(judged.begin(), judged.end());
  info() << "Scaffold against the reads at " << report.sites
         << " array sites: the samples' scaffold fits their own reads "
         << deviations_from_chance(report.cohort_z) << " (" << one_decimal(report.cohort_expected_z)
         << " expected were it right; less than half stops the run); ";
  if (judged.empty()) {
    info() << "no sample has reads enough there to be judged alone" << std::endl;
  } else {
    info() << judged.size() << " samples judged alone, fitting " << one_decimal(judged.front())
           << " to " << one_decimal(judged.back()) << " (median "
           << one_decimal(judged[judged.size() / 2]) << ")" << std::endl;
  }
  if (!report.fails()) return;
  const std::string text =
      "The scaffold " + params.scaffold_file + " does not fit the reads of " + params.glf_file +
      " at its " + std::to_string(report.sites) +
      " array sites: " + fit_failures(report, sample_ids) +
      ". Check that the scaffold's samples are those of the sample list in its order (a text "
      "scaffold is matched by column) and that no sample is swapped or its array mislabelled";
  if (!params.no_scaffold_check) {
    throw FatalError("ERROR! " + text + "; --no-scaffold-check goes on regardless");
  }
  std::cerr << "WARNING! " << text << " (going on: --no-scaffold-check)" << std::endl;
}
