#include <algorithm>
#include <fstream>
#include <iostream>

#include "app/CallSNP.h"
#include "app/run_log.h"
#include "io/bcf_text.h"
#include "io/chromosome_names.h"
#include "io/file_formats.h"
#include "io/indexed_lines.h"
#include "io/io.h"
#include "io/phased_vcf.h"
#include "model/called_phase.h"
#include "model/model_window.h"
#include "util/errors.h"

// CallSNP opens each file, hands the stream to its reader or writer and keeps what it read.

namespace {

void report_indexed_read(std::uint64_t records) {
  info() << "  read through its index: " << records << " records" << std::endl;
}

void report_phased_read(const PhasedLayout& phased) {
  if (const auto records = phased.indexed_records()) report_indexed_read(*records);
  phased.warn_skipped(std::cerr);
}

}  // namespace

void CallSNP::read_sample() {
  info() << "Reading sample file : " << params.sample_file << std::endl;
  ifile in;
  if (!in.open(params.sample_file)) throw FatalError(cannot_open("sample file: ", in));
  sample_ids = read_sample_ids(in, params.sample_file);
  sample_count = static_cast<int>(sample_ids.size());
}

LikelihoodSettings CallSNP::likelihood_settings() const {
  LikelihoodSettings settings;
  settings.file_name = params.glf_file;
  const std::vector<std::uint64_t>& interval =
      read_interval.empty() ? params.interval : read_interval;
  settings.lower = interval[0];
  settings.upper = interval[1];
  settings.chromosome = chromosome_option();
  return settings;
}

const std::string& CallSNP::chromosome_option() const {
  static const std::string kNone;
  return params.has_region       ? params.region.chromosome
         : params.has_chromosome ? params.chromosome_name
                                 : kNone;
}

const std::string& CallSNP::chromosome_option_name() const {
  static const std::string kRegion = "--region";
  static const std::string kChr = "--chr";
  return params.has_region ? kRegion : kChr;
}

const std::string& CallSNP::chromosome_source() const {
  static const std::string kDefault =
      "the run (no likelihood record in the region, no --region or --chr)";
  if (likelihoods_name_chromosome) return params.glf_file;
  if (!params.has_region && !params.has_chromosome) return kDefault;
  return chromosome_option_name();
}

void CallSNP::check_chromosome_found(const std::string& file, bool sites_kept,
                                     const std::string& other_chromosome) const {
  if (sites_kept || other_chromosome.empty()) return;
  throw FatalError(
      chromosome_mismatch(chromosome_source(), chromosome_name, file, other_chromosome));
}

std::unique_ptr<std::istream> CallSNP::open_likelihoods(
    LikelihoodSettings& settings, std::function<std::uint64_t()>* indexed_records) const {
  // With --list the one span from the first to the last listed position is queried, from
  // where the records start to count toward the keys.
  // --region, or else --chr, picks one chromosome of an index that names several.
  const std::string& chromosome = chromosome_option();
  // A stream is read once, whole: no index, and no format probe that would consume it.
  if (is_stream(params.glf_file)) return open_streamed_vcf(params.glf_file);
  if (auto bcf = open_bcf_text(params.glf_file, likelihood_keys_from(settings.lower),
                               settings.upper, chromosome)) {
    if (indexed_records != nullptr && bcf->indexed()) {
      *indexed_records = [text = bcf.get()] { return text->records_read(); };
    }
    return bcf;
  }
  if (auto region = open_indexed_region(params.glf_file, likelihood_keys_from(settings.lower),
                                        settings.upper, chromosome, chromosome_option_name())) {
    settings.file_name = indexed_lines_name(params.glf_file);
    if (indexed_records != nullptr) {
      *indexed_records = [lines = region.get()] { return lines->records_read(); };
    }
    return region;
  }
  auto in = std::make_unique<ifile>();
  if (!in->open(params.glf_file)) throw FatalError(cannot_open("GLs vcf file ", *in));
  return in;
}

void CallSNP::read_glf_file() {
  info() << "Reading vcf file:  " << params.glf_file << std::endl;
  LikelihoodSettings settings = likelihood_settings();
  // A file is read again as positions are called, so memory does not grow with the region; a
  // stream can be read only once, so its values are kept.
  likelihoods_streamed = is_stream(params.glf_file);
  settings.keep_values = likelihoods_streamed;
  std::function<std::uint64_t()> indexed_records;
  const std::unique_ptr<std::istream> in = open_likelihoods(settings, &indexed_records);
  LikelihoodRecords records;
  // Each sample's PL values only when asked for: at 1,000 samples they would be a line per
  // sample per site.
  std::ostream discard(nullptr);
  read_likelihood_vcf(*in, sample_ids, settings, records,
                      params.echo_likelihoods ? std::cout : discard, std::cerr);
  if (indexed_records) report_indexed_read(indexed_records());

  streamed_likelihoods = std::move(records.site_likelihoods);
  keys_without_likelihoods = std::move(records.keys_without_likelihoods);
  likelihood_alleles = std::move(records.alleles);
  record_positions = std::move(records.positions);
  if (params.has_list) collect_listed_items();
  // A file that holds other chromosomes but not the one asked for.
  const std::vector<std::string>& others = records.other_chromosomes;
  if (!records.chromosome_seen && others.size() == 1) {
    throw FatalError(chromosome_mismatch(chromosome_option_name(), chromosome_option(),
                                         params.glf_file, others.front()));
  }
  if (!records.chromosome_seen && others.size() > 1) {
    std::string names;
    for (const std::string& name : others) names += (names.empty() ? "" : ", ") + name;
    throw FatalError("ERROR! " + chromosome_option_name() + " names chromosome '" +
                     chromosome_option() + "', which " + params.glf_file +
                     " does not hold; it holds " + names);
  }
  likelihoods_name_chromosome = records.has_records;
  if (records.has_records) {
    chromosome = records.chromosome;
    chromosome_name = std::move(records.chromosome_name);
    contig_length = std::move(records.contig_length);
  }
  if (!params.has_list) snps_to_analyse = static_cast<int>(likelihood_alleles.size());
}

int CallSNP::widest_numsnps() const {
  int widest = params.numsnps;
  if (params.tune_settings) {
    for (const int f : default_settings_grid({params.numsnps, params.lambda}).numsnps) {
      widest = std::max(widest, f);
    }
  }
  return widest;
}

void CallSNP::read_first_pass_margins() {
  const std::vector<std::uint64_t>& scaffold = scaffold_position_list();
  // A window never takes more sites than the scaffold holds.
  const int f = std::min(widest_numsnps(), static_cast<int>(scaffold.size()) / 2);
  std::vector<std::uint64_t> analysed;
  for (const std::uint64_t key : region_positions()) {
    if (analysed_from_likelihoods(key)) analysed.push_back(item_position(key));
  }
  if (analysed.empty() || f == 0 || static_cast<int>(scaffold.size()) < 2 * f) return;
  const std::uint64_t from =
      std::min(params.interval[0], window_span(scaffold, analysed.front(), f).first);
  const std::uint64_t to =
      std::max(params.interval[1], window_span(scaffold, analysed.back(), f).second);
  if (from == params.interval[0] && to == params.interval[1]) return;
  const int region_records = snps_to_analyse;
  read_interval = {from, to};
  info() << "First pass also over the windows' margins: " << from << "-" << to << std::endl;
  // --echo-likelihoods prints the region's records once.
  const bool echo = params.echo_likelihoods;
  params.echo_likelihoods = false;
  read_glf_file();
  params.echo_likelihoods = echo;
  snps_to_analyse = region_records;
  margins_read = true;
  output_items.clear();
  for (const std::uint64_t key : likelihood_alleles.keys()) {
    const std::uint64_t pos = item_position(key);
    if (pos >= params.interval[0] && pos <= params.interval[1]) output_items.push_back(key);
  }
}

void CallSNP::collect_listed_items() {
  listed_items.clear();
  for (const std::uint64_t pos : distinct_listed_positions) {
    const std::vector<std::uint64_t> keys =
        record_positions.keys_at(pos, likelihood_alleles.keys());
    if (keys.empty()) {
      listed_items.push_back(pos | kListedPosition);
    } else {
      listed_items.insert(listed_items.end(), keys.begin(), keys.end());
    }
  }
  listed_items.shrink_to_fit();
}

void CallSNP::read_scaffold() {
  info() << "Reading haplotype scaffold file : " << params.scaffold_file << std::endl;
  ScaffoldSettings settings;
  settings.file_name = params.scaffold_file;
  settings.lower = params.interval[0];
  settings.upper = params.interval[1];
  settings.sample_count = sample_count;
  settings.chromosome = chromosome_name;
  ScaffoldData scaffold;
  // The reader keeps sites from its margin before the region and stops a number of sites
  // after it, so the query runs from that margin to the end of the sequence.
  const std::uint64_t from = scaffold_kept_from(settings.lower);
  if (auto phased = open_phased_layout(
          {params.scaffold_file, chromosome_name, sample_ids, false, chromosome_source()}, from,
          UINT64_MAX)) {
    settings.file_name = phased->name();
    read_scaffold_sites(*phased, settings, likelihood_alleles, scaffold);
    check_chromosome_found(params.scaffold_file, !scaffold.haplotypes.positions().empty(),
                           phased->other_chromosome());
    report_phased_read(*phased);
  } else {
    if (auto region = open_indexed_region(params.scaffold_file, from, UINT64_MAX, chromosome_name,
                                          chromosome_source())) {
      settings.file_name = indexed_lines_name(params.scaffold_file);
      read_scaffold_sites(*region, settings, likelihood_alleles, scaffold);
      report_indexed_read(region->records_read());
    } else {
      ifile in;
      if (!in.open(params.scaffold_file)) {
        throw FatalError(cannot_open("haplotype scaffold file: ", in));
      }
      read_scaffold_sites(in, settings, likelihood_alleles, scaffold);
    }
    check_chromosome_found(params.scaffold_file, !scaffold.haplotypes.positions().empty(),
                           scaffold.other_chromosome.first);
    scaffold.other_chromosome.warn(std::cerr, params.scaffold_file, chromosome_name);
  }
  scaffold_haplotypes = std::move(scaffold.haplotypes);
  scaffold_alleles = std::move(scaffold.alleles);
  scaffold_range = std::move(scaffold.range);
}

void CallSNP::read_ref_file() {
  PanelData panel;
  // The calls to copy along may lie before or after the region's records.
  panel.every_site = params.has_copying_calls;
  panel.chromosome = chromosome_name;
  const auto from = static_cast<std::uint64_t>(scaffold_range[0]);
  const auto to = static_cast<std::uint64_t>(scaffold_range[1]);
  if (auto phased = open_phased_layout(
          {params.ref_file, chromosome_name, {}, true, chromosome_source()}, from, to)) {
    info() << "Reading external reference panel file : " << params.ref_file << std::endl;
    read_reference_panel(*phased, phased->name(), scaffold_range, scaffold_haplotypes,
                         likelihood_alleles, record_positions, panel);
    check_chromosome_found(params.ref_file, !panel.haplotypes.empty(), phased->other_chromosome());
    report_phased_read(*phased);
  } else {
    if (auto region =
            open_indexed_region(params.ref_file, from, to, chromosome_name, chromosome_source())) {
      info() << "Reading external reference panel file : " << params.ref_file << std::endl;
      read_reference_panel(*region, indexed_lines_name(params.ref_file), scaffold_range,
                           scaffold_haplotypes, likelihood_alleles, record_positions, panel);
      report_indexed_read(region->records_read());
    } else {
      ifile in;
      if (!in.open(params.ref_file)) throw FatalError(cannot_open("external panel file: ", in));
      info() << "Reading external reference panel file : " << params.ref_file << std::endl;
      read_reference_panel(in, params.ref_file, scaffold_range, scaffold_haplotypes,
                           likelihood_alleles, record_positions, panel);
    }
    check_chromosome_found(params.ref_file, !panel.haplotypes.empty(),
                           panel.other_chromosome.first);
    panel.other_chromosome.warn(std::cerr, params.ref_file, chromosome_name);
  }
  ref_panel_alleles = std::move(panel.alleles);
  ref_panel_haplotypes = std::move(panel.haplotypes);
  params.ref_haplotype_count = panel.haplotype_count;
}

void CallSNP::read_pedigree() {
  params.k = settle_k(sample_count, params.has_k, params.k, info());
  params.has_k = true;
  if (!params.has_ped_file) {
    pedigree = single_sample_units(sample_count);
    pedigree_size = static_cast<int>(pedigree.size());
    return;
  }
  info() << "Reading ped file : " << params.ped_file << std::endl;
  ifile in;
  if (!in.open(params.ped_file)) throw FatalError(cannot_open("ped file: ", in));
  PedigreeCounts counts;
  pedigree = read_pedigree_units(in, params.ped_file, sample_ids, counts);
  pedigree_size = static_cast<int>(pedigree.size());
  if (counts.skipped_lines > 0 || counts.missing_parents > 0) {
    std::cerr << "WARNING! " << params.ped_file << ": " << counts.skipped_lines
              << " line(s) whose individual is not in the sample list skipped, "
              << counts.missing_parents << " parent(s) not in the sample list counted as missing"
              << std::endl;
  }
}

InitialSettings CallSNP::phased_calls_settings(const std::string& file) const {
  InitialSettings settings;
  settings.file_name = file;
  settings.sample_count = sample_count;
  settings.sample_ids = sample_ids;
  settings.chromosome = chromosome_name;
  settings.chromosome_source = chromosome_source();
  return settings;
}

void CallSNP::read_initial_file() {
  info() << "Reading initialization file:  " << params.initial_file << std::endl;
  ifile in;
  if (!in.open(params.initial_file)) {
    // The initial genotypes are optional: the run goes on without them.
    std::cerr << "WARNING! Can't open initialization file " << in.name() << ": " << in.failure()
              << "; the run goes on without it" << std::endl;
    return;
  }
  InitialSettings settings = phased_calls_settings(params.initial_file);
  settings.lower = params.interval[0];
  settings.upper = params.interval[1];
  read_initial_genotypes(in, settings, initial_genotypes);
}

void CallSNP::read_copying_calls() {
  info() << "Reading calls to copy along : " << params.copying_calls_file << std::endl;
  ifile in;
  if (!in.open(params.copying_calls_file)) {
    throw FatalError(cannot_open("--copying-calls file: ", in));
  }
  InitialSettings settings = phased_calls_settings(params.copying_calls_file);
  settings.lower = static_cast<std::uint64_t>(scaffold_range[0]);
  settings.upper = static_cast<std::uint64_t>(scaffold_range[1]);
  // The calls at the array sites too: they turn the calls to the scaffold's phase.
  read_called_haplotypes(
      in, settings,
      [&](std::uint64_t pos) {
        return ref_panel_haplotypes.count(pos) != 0 || scaffold_haplotypes.contains(pos);
      },
      called_haplotypes);
  const CalledPhaseReport report = align_calls_to_scaffold(scaffold_haplotypes, called_haplotypes);
  for (auto it = called_haplotypes.begin(); it != called_haplotypes.end();) {
    it = scaffold_haplotypes.contains(it->first) ? called_haplotypes.erase(it) : std::next(it);
  }
  report_called_phase(report);
  info() << "Called sites between array sites : " << called_haplotypes.size() << std::endl;
}

void CallSNP::report_called_phase(const CalledPhaseReport& report) const {
  const std::string& file = params.copying_calls_file;
  auto percent = [](double share) { return std::to_string(static_cast<int>(share * 100)) + "%"; };
  if (report.discordant_file() || !report.discordant_samples.empty()) {
    const std::string whose =
        report.discordant_file() ? "all samples together" : sample_names(report.discordant_samples);
    throw FatalError(
        "ERROR! --copying-calls " + file + ": the calls of " + whose +
        " differ from the scaffold's genotypes at more than " +
        percent(report.discordant_file() ? CalledPhaseReport::kCallDiscordanceLimit
                                         : CalledPhaseReport::kSampleDiscordanceLimit) +
        " of the array sites (" + std::to_string(report.discordant) + " of " +
        std::to_string(report.compared) +
        " genotypes in all); they are other people's calls, or the file's samples are in "
        "another order than the sample list's");
  }
  if (report.compared == 0) {
    std::cerr << "WARNING! --copying-calls " << file
              << " holds no call at the array sites, so its phase cannot be turned to the "
                 "scaffold's nor its samples checked; it is used as read"
              << std::endl;
    return;
  }
  info() << "Calls to copy along, against the scaffold at the array sites: " << report.discordant
         << " of " << report.compared << " genotypes differ; " << report.turned
         << " heterozygous calls turned to the scaffold's phase, " << report.unresolved
         << " left unknown between array sites of opposite phase" << std::endl;
}

void CallSNP::convert_to_vcf() {
  if (sample_ids.empty()) {
    throw FatalError("ERROR! The sample file " + params.sample_file +
                     " holds no sample ID; merging posteriors needs at least one sample");
  }
  ifile first;
  open_aux_input(first, params.posterior_file, "posterior file: ");
  ifile second;
  open_aux_input(second, params.posterior_file_2, "posterior file: ");
  OutputFile output;
  open_aux_output(output, params.output_file);
  merge_posterior_files(first, params.posterior_file, second, params.posterior_file_2, sample_ids,
                        params.chromosome_name, output.stream(),
                        VcfProvenance{params.command_line, {}, {}});
  output.commit();
}

void CallSNP::vcf_decompose() {
  if (sample_ids.empty()) {
    throw FatalError("ERROR! The sample file " + params.sample_file +
                     " holds no sample ID; decomposing a VCF needs at least one sample");
  }
  ifile in;
  open_aux_input(in, params.decompose_file, "GLs vcf file ");
  OutputFile output;
  open_aux_output(output, params.output_file);
  decompose_multiallelic_vcf(in, params.decompose_file, sample_ids, params.unphased,
                             output.stream(), VcfProvenance{params.command_line, {}, {}});
  output.commit();
}

void CallSNP::write_file(ResultWriter& writer) {
  info() << "\nWriting phased genotypes in output files..." << std::endl;
  writer.finish();
  // Both complete before either appears: a failure leaves neither.
  std::vector<OutputFile*> outputs;
  if (params.has_mp) outputs.push_back(&mp_output);
  if (params.has_output) outputs.push_back(&vcf_output);
  for (OutputFile* output : outputs) output->finish();
  OutputFile::publish_all(outputs);
}
