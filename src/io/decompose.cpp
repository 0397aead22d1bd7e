#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>

#include "io/file_formats.h"
#include "io/io.h"
#include "util/errors.h"

namespace {

constexpr int kMissingAllele = -1;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The allele number of one GT piece is its leading digits ("1:12,0,40" is 1); a
// piece without a leading digit (".") is a missing allele.
int leading_allele(std::string_view piece) {
  if (piece.empty() || !is_digit(piece.front())) return kMissingAllele;
  long long value = 0;
  for (const char c : piece) {
    if (!is_digit(c)) break;
    value = std::min<long long>(value * 10 + (c - '0'), INT_MAX);
  }
  return static_cast<int>(value);
}

struct Genotype {
  int first = kMissingAllele;
  int second = kMissingAllele;
  bool missing() const { return first == kMissingAllele || second == kMissingAllele; }
};

// Phased input: the two alleles around the first "|" of the whole field.
// Unphased input: the GT subfield must split at "/" into exactly two pieces.
Genotype read_genotype(std::string_view field, bool unphased) {
  if (unphased) {
    const std::string_view gt = field.substr(0, field.find(':'));
    const std::size_t slash = gt.find('/');
    if (slash == std::string_view::npos || gt.find('/', slash + 1) != std::string_view::npos) {
      return {};
    }
    return {leading_allele(gt.substr(0, slash)), leading_allele(gt.substr(slash + 1))};
  }
  const std::size_t bar = field.find('|');
  if (bar == std::string_view::npos) return {};
  return {leading_allele(field.substr(0, bar)), leading_allele(field.substr(bar + 1))};
}

// A VCF line split at tabs; one trailing tab does not make an extra field.
void split_vcf_line(std::string_view line, std::vector<std::string_view>& fields) {
  split_views(line, '\t', fields);
  if (fields.size() > 1 && fields.back().empty()) fields.pop_back();
}

// Buffers reused from record to record.
struct RecordScratch {
  std::vector<std::string_view> alts;
  std::vector<Genotype> genotypes;  // one per sample
  std::vector<char> distinct_bases;
  std::vector<char> differs;  // by allele number: its base differs from REF's here
  std::string columns;
};

std::string location(const std::string& file_name, long line_number) {
  return file_name + ":" + std::to_string(line_number);
}

void check_named_samples(const std::vector<std::string_view>& fields, std::size_t n_samples,
                         const std::string& file_name, long line_number) {
  const std::size_t named = fields.size() > 9 ? fields.size() - 9 : 0;
  if (named != n_samples) {
    throw FatalError("ERROR! " + location(file_name, line_number) + ": the #CHROM line names " +
                     std::to_string(named) + " sample(s), the sample file lists " +
                     std::to_string(n_samples));
  }
}

// The POS of a record, once the record has a column for every sample.
std::int64_t record_position(const std::vector<std::string_view>& fields, std::size_t n_samples,
                             const std::string& file_name, long line_number) {
  const std::size_t min_fields = 9 + n_samples;
  if (fields.size() < min_fields) {
    throw FatalError("ERROR! " + location(file_name, line_number) + ": expected at least " +
                     std::to_string(min_fields) + " tab-separated fields (9 + " +
                     std::to_string(n_samples) + " samples), found " +
                     std::to_string(fields.size()));
  }
  const std::string_view chrom = fields[0];
  const auto pos = parse_integer(fields[1]);
  if (!pos || *pos < 0 || *pos > 2147483647) {
    throw FatalError("ERROR! " + location(file_name, line_number) + " (" + std::string(chrom) +
                     "): POS '" + std::string(fields[1]) +
                     "' is not a whole number from 0 to 2147483647");
  }
  // Each base of REF may become a record of its own at POS + offset.
  const std::size_t ref_length = fields[3].size();
  if (ref_length > 1 && *pos + static_cast<std::int64_t>(ref_length) - 1 > 2147483647) {
    throw FatalError("ERROR! " + location(file_name, line_number) + " (" + std::string(chrom) +
                     "): REF of " + std::to_string(ref_length) + " bases from POS " +
                     std::string(fields[1]) + " reaches past position 2147483647");
  }
  return *pos;
}

// Marks the alleles whose base at offset x differs from REF's and collects the distinct
// bases among them.
void mark_differing_alleles(std::string_view ref, const std::vector<std::string_view>& alts,
                            std::size_t x, std::vector<char>& distinct_bases,
                            std::vector<char>& differs) {
  distinct_bases.clear();
  std::fill(differs.begin(), differs.end(), 0);
  for (std::size_t i = 1; i <= alts.size(); ++i) {
    const std::string_view alt = alts[i - 1];
    // An allele of another length is an indel: its bases do not line up with REF's.
    if (alt.size() != ref.size() || alt[x] == ref[x]) continue;
    if (std::find(distinct_bases.begin(), distinct_bases.end(), alt[x]) == distinct_bases.end()) {
      distinct_bases.push_back(alt[x]);
    }
    differs[i] = 1;
  }
}

// The sample columns of one biallelic site: 1 for an allele that carries the ALT base.
void append_sample_columns(const std::vector<Genotype>& genotypes, const std::vector<char>& differs,
                           std::string& columns) {
  auto carries = [&](int allele) {
    return allele >= 1 && static_cast<std::size_t>(allele) < differs.size() && differs[allele];
  };
  columns.clear();
  for (const Genotype& g : genotypes) {
    if (g.missing()) {
      columns += "\t./.";
    } else {
      columns += '\t';
      columns += carries(g.first) ? '1' : '0';
      columns += '|';
      columns += carries(g.second) ? '1' : '0';
    }
  }
  columns += '\n';
}

// One biallelic line for each offset of REF where the ALT alleles that differ share one base.
void decompose_record(const std::vector<std::string_view>& fields, std::int64_t pos, bool unphased,
                      RecordScratch& scratch, std::ostream& out) {
  const std::string_view chrom = fields[0];
  const std::string_view ref = fields[3];
  split_views(fields[4], ',', scratch.alts);
  scratch.differs.assign(scratch.alts.size() + 1, 0);

  bool genotypes_read = false;
  for (std::size_t x = 0; x < ref.size(); ++x) {
    mark_differing_alleles(ref, scratch.alts, x, scratch.distinct_bases, scratch.differs);
    if (scratch.distinct_bases.size() != 1) continue;

    if (!genotypes_read) {
      for (std::size_t j = 0; j < scratch.genotypes.size(); ++j) {
        scratch.genotypes[j] = read_genotype(fields[9 + j], unphased);
      }
      genotypes_read = true;
    }
    out << chrom << '\t' << pos + static_cast<std::int64_t>(x) << "\t.\t" << ref[x] << '\t'
        << scratch.distinct_bases.front() << "\t.\tPASS\tNUMALT=1\tGT";
    // Sample columns are assembled in one buffer: thousands of tiny stream writes
    // per record would dominate the run time.
    append_sample_columns(scratch.genotypes, scratch.differs, scratch.columns);
    out.write(scratch.columns.data(), static_cast<std::streamsize>(scratch.columns.size()));
  }
}

}  // namespace

void decompose_multiallelic_vcf(std::istream& in, const std::string& file_name,
                                const std::vector<std::string>& sample_ids, bool unphased,
                                std::ostream& out, const VcfProvenance& provenance) {
  const std::size_t n_samples = sample_ids.size();
  if (n_samples == 0) throw FatalError("ERROR! Decomposing a VCF needs at least one sample");
  // The header goes out once the input's own has been read, with its contigs.
  VcfProvenance with_contigs = provenance;
  bool header_written = false;
  auto write_header = [&] {
    if (!header_written) write_gt_vcf_header(out, sample_ids, with_contigs);
    header_written = true;
  };

  std::string line;
  std::vector<std::string_view> fields;
  RecordScratch scratch;
  scratch.genotypes.resize(n_samples);
  long line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    strip_carriage_return(line);
    if (line.compare(0, 6, "#CHROM") == 0) {
      split_vcf_line(line, fields);
      check_named_samples(fields, n_samples, file_name, line_number);
      write_header();
      continue;
    }
    if (!header_written && line.compare(0, 10, "##contig=<") == 0 && line.back() == '>') {
      with_contigs.contigs.push_back(line.substr(10, line.size() - 11));
    }
    if (is_blank(line) || line.front() == '#') continue;

    write_header();
    split_vcf_line(line, fields);
    const std::int64_t pos = record_position(fields, n_samples, file_name, line_number);
    decompose_record(fields, pos, unphased, scratch, out);
  }
  if (in.bad()) {
    throw FatalError("ERROR! " + file_name + " could not be read after line " +
                     std::to_string(line_number) + " (corrupt or truncated?)");
  }
  write_header();
}
