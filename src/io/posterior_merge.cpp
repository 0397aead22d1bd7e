#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

void write_gt_vcf_header(std::ostream& out, const std::vector<std::string>& sample_ids,
                         const VcfProvenance& provenance) {
  out << "##fileformat=VCFv4.2\n"
         "##source=Dorsane\n";
  write_provenance(out, provenance);
  out << "##INFO=<ID=NUMALT,Number=1,Type=Integer,Description=\"Number of alternative alleles\">\n"
         "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
         "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  for (const std::string& id : sample_ids) out << '\t' << id;
  out << '\n';
}

namespace {

// One marginal-posterior file, read line by line: "POS REF ALT v v ... " split at
// single blanks, so the trailing blank leaves an empty last field.
struct PosteriorReader {
  std::istream& in;
  const std::string& name;
  std::string line;
  std::vector<std::string_view> fields;
  long line_number = 0;

  bool next() {
    if (!std::getline(in, line)) {
      if (in.bad()) {
        throw FatalError("ERROR! " + name + " could not be read after line " +
                         std::to_string(line_number) + " (corrupt or truncated?)");
      }
      return false;
    }
    ++line_number;
    strip_carriage_return(line);
    split_views(line, ' ', fields);
    return true;
  }

  std::string where() const { return name + ":" + std::to_string(line_number); }

  // Values follow ALT; the empty field of the trailing blank is not a value, and a
  // line written without that blank loses none of its values.
  std::size_t value_count() const {
    if (fields.size() <= 3) return 0;
    return fields.size() - 3 - (fields.back().empty() ? 1 : 0);
  }
  std::string_view value(std::size_t index) const { return fields[3 + index]; }
};

// Whole-field number, parsed in place (from_chars needs no copy and is several
// times faster than strtod, which dominates the run time on large files).
bool parse_value(std::string_view field, double& value) {
  if (!field.empty() && field.front() == '+') {
    field.remove_prefix(1);
    if (!field.empty() && (field.front() == '+' || field.front() == '-')) return false;
  }
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  return ec == std::errc() && end == field.data() + field.size() && std::isfinite(value);
}

// Once one file has ended, the other may hold only blank lines.
void reject_lines_left(PosteriorReader& longer, const PosteriorReader& ended) {
  do {
    if (!is_blank(longer.line)) {
      throw FatalError("ERROR! " + longer.where() + ": line left after " + ended.name +
                       " ended at line " + std::to_string(ended.line_number) +
                       "; both posterior files must list the same sites line by line");
    }
  } while (longer.next());
}

// The genotype pairs of the last allele count seen; neighbouring sites mostly share it.
struct GenotypePairs {
  int allele_count = 0;
  std::vector<AllelePair> ordered;
  std::vector<AllelePair> unordered;
};

std::string pair_where(const PosteriorReader& a, const PosteriorReader& b) {
  return a.where() + " and " + b.where();
}

std::string site_text(std::string_view pos) { return " (position " + std::string(pos) + ")"; }

std::string_view checked_position(const PosteriorReader& a) {
  if (a.fields.size() < 3) {
    throw FatalError("ERROR! " + a.where() + ": expected a position, REF, ALT and values, found " +
                     std::to_string(a.fields.size()) + " blank-separated field(s)");
  }
  const std::string_view pos = a.fields[0];
  const auto position = parse_integer(pos);
  if (!position || *position < 0 || *position > 2147483647) {
    throw FatalError("ERROR! " + a.where() + ": position '" + std::string(pos) +
                     "' is not a whole number from 0 to 2147483647");
  }
  return pos;
}

void check_same_site(const PosteriorReader& a, const PosteriorReader& b) {
  static const char* const kColumn[] = {"positions", "REF alleles", "ALT alleles"};
  for (int f = 0; f < 3; ++f) {
    if (a.fields[f] != b.fields[f]) {
      throw FatalError("ERROR! " + pair_where(a, b) + ": " + kColumn[f] + " differ ('" +
                       std::string(a.fields[f]) + "' vs '" + std::string(b.fields[f]) +
                       "'); both posterior files must list the same sites line by line");
    }
  }
}

// The number of alleles a, from the a*a values each sample has on both lines.
int site_allele_count(const PosteriorReader& a, const PosteriorReader& b, std::string_view pos,
                      std::size_t n_samples) {
  const std::size_t count = a.value_count();
  if (count != b.value_count()) {
    throw FatalError("ERROR! " + pair_where(a, b) + site_text(pos) + ": value counts differ (" +
                     std::to_string(count) + " vs " + std::to_string(b.value_count()) + ")");
  }
  if (count % n_samples != 0) {
    throw FatalError("ERROR! " + a.where() + site_text(pos) + ": " + std::to_string(count) +
                     " values do not divide among " + std::to_string(n_samples) + " samples");
  }
  const std::size_t w = count / n_samples;
  const int allele_count = static_cast<int>(std::lround(std::sqrt(static_cast<double>(w))));
  if (allele_count < 2 || static_cast<std::size_t>(allele_count) * allele_count != w) {
    throw FatalError("ERROR! " + a.where() + site_text(pos) + ": " + std::to_string(w) +
                     " values per sample; expected a*a ordered genotypes for a >= 2 alleles");
  }
  return allele_count;
}

void average_values(const PosteriorReader& a, const PosteriorReader& b, std::string_view pos,
                    std::vector<double>& averages) {
  const std::size_t count = a.value_count();
  averages.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    double x = 0.0;
    double y = 0.0;
    if (!parse_value(a.value(i), x)) {
      throw FatalError("ERROR! " + a.where() + site_text(pos) + ": value '" +
                       std::string(a.value(i)) + "' is not a finite number");
    }
    if (!parse_value(b.value(i), y)) {
      throw FatalError("ERROR! " + b.where() + site_text(pos) + ": value '" +
                       std::string(b.value(i)) + "' is not a finite number");
    }
    averages[i] = (x + y) * 0.5;
  }
}

// One VCF line with the called genotype of each sample.
void write_site(std::ostream& out, const std::string& chromosome, const PosteriorReader& a,
                int allele_count, std::size_t n_samples, std::vector<double>& averages,
                GenotypePairs& pairs) {
  const std::size_t w = static_cast<std::size_t>(allele_count) * allele_count;
  out << chromosome << '\t' << a.fields[0] << "\t.\t" << a.fields[1] << '\t' << a.fields[2]
      << "\t.\tPASS\tNUMALT=" << allele_count - 1 << "\tGT";
  double posterior = 0.0;
  if (w == 4) {
    for (std::size_t l = 0; l < n_samples; ++l) {
      double* p = &averages[4 * l];
      out << '\t' << genotype_vcf(p[0], p[1], p[2], p[3], posterior);
    }
  } else {
    if (allele_count != pairs.allele_count) {
      pairs.ordered = ordered_genotype_pairs(allele_count);
      pairs.unordered = unordered_genotype_pairs(allele_count);
      pairs.allele_count = allele_count;
    }
    for (std::size_t i = 0; i < n_samples; ++i) {
      const int called = genotype_vcf_multi(averages, static_cast<int>(i), static_cast<int>(w),
                                            pairs.ordered, pairs.unordered, posterior);
      out << '\t' << pairs.ordered[called].first << '|' << pairs.ordered[called].second;
    }
  }
  out << '\n';
}

}  // namespace

void open_aux_input(ifile& in, const std::string& name, const std::string& what) {
  if (!in.open(name)) throw FatalError(cannot_open(what, in));
}

void open_aux_output(OutputFile& out, const std::string& name) {
  if (name.empty()) throw FatalError("ERROR! Can't open output file: no --o <file> was given");
  if (!out.open(name, OutputFile::Kind::kVcf)) {
    throw FatalError("ERROR! Can't open output file: " + name + ": " + out.failure());
  }
}

void merge_posterior_files(std::istream& first, const std::string& first_name, std::istream& second,
                           const std::string& second_name,
                           const std::vector<std::string>& sample_ids,
                           const std::string& chromosome, std::ostream& out,
                           const VcfProvenance& provenance) {
  const std::size_t n_samples = sample_ids.size();
  if (n_samples == 0) throw FatalError("ERROR! Merging posteriors needs at least one sample");
  VcfProvenance with_contig = provenance;
  with_contig.contigs.push_back(contig_entry(chromosome, ""));
  write_gt_vcf_header(out, sample_ids, with_contig);

  PosteriorReader a{first, first_name, {}, {}, 0};
  PosteriorReader b{second, second_name, {}, {}, 0};
  std::vector<double> averages;
  GenotypePairs pairs;
  while (true) {
    const bool has_a = a.next();
    const bool has_b = b.next();
    if (!has_a || !has_b) {
      if (has_a) reject_lines_left(a, b);
      if (has_b) reject_lines_left(b, a);
      return;
    }
    // A short line of the second file (the blank last line of every posterior
    // file among them) carries no site.
    if (b.fields.size() <= 3) continue;

    const std::string_view pos = checked_position(a);
    check_same_site(a, b);
    const int allele_count = site_allele_count(a, b, pos, n_samples);
    average_values(a, b, pos, averages);
    write_site(out, chromosome, a, allele_count, n_samples, averages, pairs);
  }
}
