#include "app/copying_state.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace {

// The copying prior's chain: a jump between consecutive array sites about one time in a
// hundred, a copied allele wrong one time in two hundred (chosen on real haplotypes with a
// panel of 200 samples; the calls moved little between 0.0005 and 0.03 jumps).
constexpr CopyingSettings kCopyingSettings{0.01, 0.005};
// The haplotypes (the panel's, or without one the cohort's) a haplotype copies from at
// most: the panel's size where the settings were chosen.
constexpr int kCopyingSources = 400;
// The backward sides a worker keeps for the windows to come, at most.
constexpr std::size_t kKeptBackwardBytes = std::size_t{2} << 20;

}  // namespace

CopyingState::CopyingState(const CallSNP& run, std::vector<std::array<int, 2>> relatives,
                           const PassSettings& pass)
    : run(run),
      relatives(std::move(relatives)),
      pass(pass),
      R(run.params.ref_haplotype_count),
      cohort(pass.along != nullptr && R == 0),
      anchored(kKeptBackwardBytes) {}

void CopyingState::fit(const CopyingWindow& window, std::uint64_t p) {
  posteriors.clear();
  chosen.clear();
  total_haplotypes = window.sample_haplotypes;
  if (pass.weight <= 0.0 || (!cohort && (!window.panel_in_window || R == 0))) return;
  const int rows = static_cast<int>(window.M.rows()) - 1;
  // The window's rows left of the variant; those its alleles cover are not in the window.
  const auto& positions = window.positions;
  const int split = static_cast<int>(std::lower_bound(positions.begin(), positions.end() - 1, p) -
                                     positions.begin());
  const int site_split = gather_sites(window, rows, split);
  list_gap(positions, rows, split);
  forward_through = 0;
  gap_rows_ready = false;
  settings = kCopyingSettings;
  const int site_count = static_cast<int>(sites.size());
  const int span_sites = site_count + static_cast<int>(gap_positions.size());
  if (span_sites != rows) {
    // The same expected jumps over the window's span, however many sites it holds.
    settings.switch_rate = settings.switch_rate * rows / span_sites;
  }
  // A large panel is copied from its haplotypes closest to each target only: the passes then
  // cost the same per genotype whatever the panel's size.
  count = std::min(sources.count, kCopyingSources);
  const bool choose = count < sources.count;
  if (choose) chosen.assign(static_cast<std::size_t>(total_haplotypes) * count, 0);
  // With the first pass's sites the variant's gap is read per variant: the two sides at the
  // gap are kept, the forward one where a single pass keeps the posteriors.
  posteriors.assign(static_cast<std::size_t>(total_haplotypes) * count, 0.0F);
  if (pass.along != nullptr) {
    backward_sides.assign(static_cast<std::size_t>(total_haplotypes) * count, 0.0F);
    forward_totals.assign(static_cast<std::size_t>(total_haplotypes), 1.0F);
  }
  target.resize(static_cast<std::size_t>(site_count));
  const bool with_calls = site_count != rows;
  if (pass.shared_sides && pass.along == nullptr && !with_calls && !choose &&
      consecutive_rows(positions, rows)) {
    fit_shared(window, rows, site_split);
    return;
  }
  for (int h = 0; h < total_haplotypes; ++h) {
    if (!modelled(h)) continue;
    if (pass.along != nullptr) {
      targets_along(window.M, h);
    } else if (with_calls) {
      targets_with_calls(window.M, h);
    } else {
      for (int r = 0; r < rows; ++r) target[r] = window.M(r, h) != 0.0;
    }
    if (choose) choose_sources(window, h);
    list_own_columns(h);
    const CopyingSources& from = choose ? chosen_sources : sources;
    float* forward = posteriors.data() + static_cast<std::size_t>(h) * count;
    if (pass.along != nullptr) {
      copying_sides(from, target.data(), site_split, settings, forward,
                    backward_sides.data() + static_cast<std::size_t>(h) * count, target_miss.data(),
                    own, own_count);
    } else {
      copying_posterior(from, target.data(), site_split, settings, backward, forward,
                        with_calls ? target_miss.data() : nullptr);
    }
  }
}

bool CopyingState::consecutive_rows(const std::vector<std::uint64_t>& positions, int rows) const {
  if (rows == 0) return false;
  const std::vector<std::uint64_t>& array = run.scaffold_position_list();
  const auto first = std::lower_bound(array.begin(), array.end(), positions[0]);
  if (array.end() - first < rows) return false;
  return std::equal(positions.begin(), positions.begin() + rows, first);
}

void CopyingState::fit_shared(const CopyingWindow& window, int rows, int split) {
  window_targets.resize(static_cast<std::size_t>(total_haplotypes) * rows);
  wanted.assign(static_cast<std::size_t>(total_haplotypes), false);
  for (int h = 0; h < total_haplotypes; ++h) {
    if (!modelled(h)) continue;
    wanted[static_cast<std::size_t>(h)] = true;
    std::uint8_t* into = window_targets.data() + static_cast<std::size_t>(h) * rows;
    for (int r = 0; r < rows; ++r) into[r] = window.M(r, h) != 0.0;
  }
  anchored.posteriors(sources, window.positions.data(), split, window_targets.data(), wanted,
                      settings, posteriors.data());
}

void CopyingState::list_own_columns(int h) {
  own_count = 0;
  if (!cohort) return;
  // The sample's own haplotypes, and its relatives', whose first-pass calls share its reads;
  // among chosen sources, where they were chosen (only when too few others are left).
  const int* from = chosen_of(h);
  const std::array<int, 2>& pair = relatives[static_cast<std::size_t>(h / 2)];
  for (const int sample : {h / 2 + 1, pair[0], pair[1]}) {
    if (sample <= 0) continue;
    for (const int c : {2 * (sample - 1), 2 * (sample - 1) + 1}) {
      if (from == nullptr) {
        own[own_count++] = R + c;
        continue;
      }
      const int* at = std::lower_bound(from, from + count, c);
      if (at != from + count && *at == c) own[own_count++] = static_cast<int>(at - from);
    }
  }
}

const int* CopyingState::chosen_of(int h) const {
  return chosen.empty() ? nullptr : chosen.data() + static_cast<std::size_t>(h) * count;
}

void CopyingState::list_gap(const std::vector<std::uint64_t>& positions, int rows, int split) {
  gap_positions.clear();
  gap_along.clear();
  if (pass.along == nullptr || split == 0 || split == rows) return;
  for (std::size_t c = 0; c < called_positions.size(); ++c) {
    if (called_positions[c] > positions[split - 1] && called_positions[c] < positions[split]) {
      gap_positions.push_back(called_positions[c]);
      gap_along.push_back(along_sites[c]);
    }
  }
}

void CopyingState::cohort_alleles(std::size_t along, const int* from, int width,
                                  std::uint8_t* row) const {
  const std::uint8_t* chances = pass.along->allele_chances(along);
  for (int c = 0; c < width; ++c) row[c] = chances[from != nullptr ? from[c] : c] > 127;
}

void CopyingState::gap_rows(int h) {
  const std::size_t gap = gap_positions.size();
  gap_sources.rows = static_cast<int>(gap);
  gap_sources.count = count;
  gap_sources.alleles.resize(gap * static_cast<std::size_t>(count));
  const int* from = chosen_of(h);
  for (std::size_t g = 0; g < gap; ++g) {
    std::uint8_t* row = gap_sources.alleles.data() + g * static_cast<std::size_t>(count);
    if (R > 0) {
      const std::vector<std::uint8_t>& panel_alleles =
          run.ref_panel_haplotypes.at(gap_positions[g]);
      for (int j = 0; j < R; ++j) row[j] = panel_alleles[from != nullptr ? from[j] : j] != 0;
    }
    if (cohort) cohort_alleles(gap_along[g], from, count - R, row + R);
  }
  // Taken lazily like the window's called sites, most of them rare: the backward side crosses
  // the rest of the gap afresh at every variant.
  list_minority_sources(gap_sources);
}

void CopyingState::targets_with_calls(const WindowMatrix& M, int h) {
  const int site_count = static_cast<int>(sites.size());
  target_miss.resize(static_cast<std::size_t>(site_count));
  const auto array_miss = static_cast<float>(kCopyingSettings.mismatch);
  for (int i = 0; i < site_count; ++i) {
    const int r = sites[i].row;
    if (r >= 0) {
      target[i] = M(r, h) != 0.0;
      target_miss[i] = array_miss;
      continue;
    }
    const CalledSite& site = *called[-1 - r];
    const std::uint8_t allele = site.alleles[static_cast<std::size_t>(h)];
    target[i] = allele == kUnknownCalledAllele ? kUnknownTarget : allele;
    // A call is trusted as far as its posterior goes, never more than an array genotype; at
    // one half it tells nothing.
    const float doubt =
        site.doubt.empty() ? array_miss : site.doubt[static_cast<std::size_t>(h / 2)];
    target_miss[i] = std::clamp(doubt, array_miss, 0.5F);
  }
}

void CopyingState::targets_along(const WindowMatrix& M, int h) {
  const int site_count = static_cast<int>(sites.size());
  target_miss.resize(static_cast<std::size_t>(site_count));
  const auto array_miss = static_cast<float>(kCopyingSettings.mismatch);
  for (int i = 0; i < site_count; ++i) {
    const int r = sites[i].row;
    if (r >= 0) {
      target[i] = M(r, h) != 0.0;
      target_miss[i] = array_miss;
      continue;
    }
    const ReadEmission emission =
        decode_emission(pass.along->emissions(along_sites[-1 - r])[static_cast<std::size_t>(h)]);
    target[i] = emission.allele;
    target_miss[i] = emission.miss;
  }
}

void CopyingState::list_called(const std::vector<std::uint64_t>& positions, int rows) {
  called_positions.clear();
  called.clear();
  along_sites.clear();
  if (rows == 0) return;
  const std::uint64_t first = positions[0];
  const std::uint64_t last = positions[rows - 1];
  if (pass.along != nullptr) {
    // The first pass's records the panel carries, between the window's ends.
    const std::vector<std::uint64_t>& held = pass.along->positions();
    for (auto it = std::lower_bound(held.begin(), held.end(), first);
         it != held.end() && *it <= last; ++it) {
      if (R > 0 && run.ref_panel_haplotypes.count(*it) == 0) continue;
      called_positions.push_back(*it);
      along_sites.push_back(static_cast<std::size_t>(it - held.begin()));
    }
    return;
  }
  const auto& calls = run.called_haplotypes;
  for (auto it = calls.lower_bound(first); it != calls.end() && it->first <= last; ++it) {
    called_positions.push_back(it->first);
    called.push_back(&it->second);
  }
}

int CopyingState::gather_sites(const CopyingWindow& window, int rows, int split) {
  const auto& positions = window.positions;
  list_called(positions, rows);
  const int site_split = merge_called_sites(positions.data(), rows, split, called_positions, sites);
  const int site_count = static_cast<int>(sites.size());
  const int columns = cohort ? R + total_haplotypes : R;
  sources.rows = site_count;
  sources.count = columns;
  sources.alleles.resize(static_cast<std::size_t>(site_count) * columns);
  for (int i = 0; i < site_count; ++i) {
    std::uint8_t* row = sources.alleles.data() + static_cast<std::size_t>(i) * columns;
    const int r = sites[i].row;
    if (r >= 0) {
      for (int j = 0; j < R; ++j) row[j] = window.M(r, total_haplotypes + j) != 0.0;
      for (int c = R; c < columns; ++c) row[c] = window.M(r, c - R) != 0.0;
    } else {
      if (R > 0) {
        const std::vector<std::uint8_t>& panel_alleles =
            run.ref_panel_haplotypes.at(sites[i].position);
        for (int j = 0; j < R; ++j) row[j] = panel_alleles[j] != 0;
      }
      if (cohort) cohort_alleles(along_sites[-1 - r], nullptr, total_haplotypes, row + R);
    }
  }
  sources.minority_begin.clear();
  if (site_count != rows) {
    // Most called sites are rare: taken lazily, a row costs only the panel haplotypes that
    // carry its minority allele. The window's array rows go the same way, so the chain never
    // switches between the two forms within a window.
    list_minority_sources(sources);
  }
  return site_split;
}

void CopyingState::choose_sources(const CopyingWindow& window, int h) {
  window.shared_runs.row(h, run_row);
  int* into = chosen.data() + static_cast<std::size_t>(h) * count;
  if (cohort) {
    // The cohort's haplotypes closest to h; its own sample's rank last already, and so do
    // its relatives', which are never copied either.
    for (const int sample : relatives[static_cast<std::size_t>(h / 2)]) {
      if (sample <= 0) continue;
      run_row[static_cast<std::size_t>(2 * (sample - 1))] = -1;
      run_row[static_cast<std::size_t>(2 * (sample - 1) + 1)] = -1;
    }
    closest_sources(run_row.data(), total_haplotypes, count, order, into);
  } else {
    closest_sources(run_row.data() + total_haplotypes, R, count, order, into);
  }
  gather_sources(sources, into, count, chosen_sources);
}

CopyingPrior CopyingState::start_prior(const WindowMatrix& M) {
  const int variant_row = static_cast<int>(M.rows()) - 1;
  panel_variant_alleles.resize(static_cast<std::size_t>(R));
  for (int j = 0; j < R; ++j) {
    panel_variant_alleles[j] = M(variant_row, total_haplotypes + j) != 0.0;
  }
  chosen_alleles.resize(static_cast<std::size_t>(count));
  CopyingPrior prior;
  prior.weight = pass.weight;
  prior.allele_one.assign(static_cast<std::size_t>(total_haplotypes), -1.0);
  return prior;
}

double CopyingState::panel_prior(const float* posterior, int h) {
  const std::uint8_t* alleles = panel_variant_alleles.data();
  if (!chosen.empty()) {
    const int* from = chosen.data() + static_cast<std::size_t>(h) * count;
    for (int j = 0; j < count; ++j) chosen_alleles[j] = panel_variant_alleles[from[j]];
    alleles = chosen_alleles.data();
  }
  return copied_allele_probability(posterior, alleles, count);
}

CopyingPrior CopyingState::at_variant(const WindowMatrix& M, std::uint64_t v) {
  if (posteriors.empty()) return CopyingPrior{};
  if (pass.along != nullptr) return prior_along(M, v);
  CopyingPrior prior = start_prior(M);
  for (int h = 0; h < total_haplotypes; ++h) {
    if (!modelled(h)) continue;
    prior.allele_one[h] = panel_prior(posteriors.data() + static_cast<std::size_t>(h) * count, h);
  }
  return prior;
}

void CopyingState::gap_targets(int h) {
  const int gap = static_cast<int>(gap_positions.size());
  gap_target.resize(static_cast<std::size_t>(gap));
  gap_miss.resize(static_cast<std::size_t>(gap));
  for (int g = 0; g < gap; ++g) {
    const ReadEmission emission =
        decode_emission(pass.along->emissions(gap_along[g])[static_cast<std::size_t>(h)]);
    gap_target[g] = emission.allele;
    gap_miss[g] = emission.miss;
  }
}

CopyingPrior CopyingState::prior_along(const WindowMatrix& M, std::uint64_t v) {
  CopyingPrior prior = start_prior(M);
  side_forward.resize(static_cast<std::size_t>(count));
  side_backward.resize(static_cast<std::size_t>(count));
  variant_posterior.resize(static_cast<std::size_t>(count));
  // The gap's sites left of v, then right of it; the variant's own site is left out: its
  // reads enter through the chain.
  const int gap = static_cast<int>(gap_positions.size());
  const int left = static_cast<int>(
      std::lower_bound(gap_positions.begin(), gap_positions.end(), v) - gap_positions.begin());
  const int right = static_cast<int>(
      std::upper_bound(gap_positions.begin(), gap_positions.end(), v) - gap_positions.begin());
  // The window's variants come in position order: the kept forward sides move on through
  // the gap's sites as the variants do.
  if (left < forward_through) {
    throw std::logic_error("CopyingState: a window's variants out of position order");
  }
  // The window's gap rows serve all its variants unless each haplotype copies its own sources.
  if (chosen.empty() && !gap_rows_ready) {
    gap_rows(0);
    gap_rows_ready = true;
  }
  for (int h = 0; h < total_haplotypes; ++h) {
    if (!modelled(h)) continue;
    const std::size_t at = static_cast<std::size_t>(h) * count;
    if (!chosen.empty()) gap_rows(h);
    list_own_columns(h);
    gap_targets(h);
    float& forward_total = forward_totals[static_cast<std::size_t>(h)];
    copying_extend(gap_sources, forward_through, left, gap_target.data(), settings, false,
                   posteriors.data() + at, forward_total, gap_miss.data(), own, own_count);
    std::copy_n(posteriors.data() + at, count, side_forward.data());
    std::copy_n(backward_sides.data() + at, count, side_backward.data());
    float backward_total = 1.0F;
    copying_extend(gap_sources, right, gap, gap_target.data(), settings, true, side_backward.data(),
                   backward_total, gap_miss.data(), own, own_count);
    copying_join(side_forward.data(), forward_total, side_backward.data(), backward_total, count,
                 settings, variant_posterior.data(), own, own_count);
    prior.allele_one[h] = cohort ? cohort_prior(variant_posterior.data(), h, v)
                                 : panel_prior(variant_posterior.data(), h);
  }
  forward_through = left;
  return prior;
}

double CopyingState::cohort_prior(const float* posterior, int h, std::uint64_t v) const {
  double one = 0.0;
  double weighed = 0.0;
  for (int j = 0; j < R; ++j) {
    weighed += posterior[j];
    if (panel_variant_alleles[j]) one += posterior[j];
  }
  const std::vector<std::uint64_t>& held = pass.along->positions();
  const auto it = std::lower_bound(held.begin(), held.end(), v);
  if (it != held.end() && *it == v) {
    const std::uint8_t* chances =
        pass.along->allele_chances(static_cast<std::size_t>(it - held.begin()));
    const int* from = chosen_of(h);
    for (int c = 0; c < count - R; ++c) {
      weighed += posterior[R + c];
      one += posterior[R + c] * (chances[from != nullptr ? from[c] : c] / 255.0);
    }
  }
  // Without the variant's first-pass calls the cohort's haplotypes say nothing there.
  return weighed > 0.0 ? one / weighed : -1.0;
}
