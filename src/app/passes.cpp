#include "app/passes.h"

#include <algorithm>
#include <optional>

#include "app/run_log.h"

namespace {

// The first pass's copying prior is the one a single pass has: it reads the array sites
// only. It need only be good where the second reads it, which takes each haplotype's
// chances and not the calls themselves: its sweeps stop sooner.
constexpr double kFirstPassSettleFactor = 3.0;

PassSettings first_pass_settings(const Parameter& params) {
  return {Parameter::kDefaultCopyingWeight, nullptr,
          std::min(1.0, kFirstPassSettleFactor * params.settle_tolerance), true,
          params.first_pass_numsnps};
}

}  // namespace

bool CallSNP::copied_along(std::uint64_t key) const {
  if (!analysed_from_likelihoods(key) || !first_at_its_position(key)) return false;
  // The panel's haplotypes at the position must carry this record's alleles, and differ:
  // where every source carries one allele, copying learns nothing.
  const std::uint64_t pos = item_position(key);
  // Without a panel the cohort's own first-pass haplotypes are the sources everywhere.
  if (!params.has_ref_panel) return likelihood_alleles.at(key).count() == 2;
  const std::optional<SiteAlleles> panel = ref_panel_alleles.find(pos);
  if (!panel || !(*panel == likelihood_alleles.at(key)) || panel->count() != 2) return false;
  const std::vector<std::uint8_t>& haplotypes = ref_panel_haplotypes.at(pos);
  return std::any_of(haplotypes.begin(), haplotypes.end(),
                     [&](std::uint8_t a) { return a != haplotypes.front(); });
}

void CallSNP::inference_step(ResultWriter& writer) {
  const int windows = windows_side_by_side(*this);
  info() << "\n\nINFORMATION\n"
         << "Samples                      : " << sample_count << "\n"
         << "Number of variants to impute : " << snps_to_analyse << "\n"
         << "Threads                      : " << params.threads
         << (windows < params.threads
                 ? " (" + std::to_string(windows) + " windows side by side within --model-memory)"
                 : "")
         << "\n"
         << std::endl;
  refuse_unsupported_runs();
  check_scaffold_size();

  // Numbered once here; every worker keeps its own copy of the family state.
  const FamilyUnits family = family_units();
  const std::vector<std::uint64_t>& written = output_positions();
  const bool two_passes = params.passes > 1;
  // With two passes the first calls the records of the region and its margins that the
  // second copies along.
  std::vector<std::uint64_t> first;
  if (two_passes) {
    for (const std::uint64_t key : likelihood_alleles.keys()) {
      if (copied_along(key)) first.push_back(key);
    }
  }
  if (two_passes) {
    info() << "First pass over " << first.size() << " records" << std::endl;
    ProgressLine progress_line(progress(), progress_on_terminal(),
                               static_cast<std::int64_t>(first.size()), "First pass: record");
    first_pass = FirstPassSites(sample_count);
    const CallingCounts counts = call_in_order(
        *this, family, first, first_pass_settings(params), true, [&](PositionOutcome& outcome) {
          if (outcome.from_likelihoods) {
            first_pass.add(outcome.position, outcome.answer.probabilities, outcome.pls);
          }
          progress_line.advance();
        });
    progress_line.finish();
    // Its warnings are the second pass's too, and are counted there.
    (void)counts;
  }
  // Counted over what is walked: with --list, every record at a listed position.
  ProgressLine progress_line(progress(), progress_on_terminal(),
                             static_cast<std::int64_t>(written.size()));
  const PassSettings last_pass{params.copying_weight, two_passes ? &first_pass : nullptr,
                               params.settle_tolerance};
  const CallingCounts counts =
      call_in_order(*this, family, written, last_pass, false, [&](PositionOutcome& outcome) {
        // Counted again in one warning at the end.
        info() << outcome.messages;
        if (outcome.has_answer) {
          writer.write(outcome.position, outcome.answer,
                       outcome.pls.empty() ? nullptr : &outcome.pls);
        }
        progress_line.advance();
      });
  progress_line.finish();
  report_calling_counts(counts);
}
