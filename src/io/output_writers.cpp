#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "io/dosage.h"
#include "io/file_formats.h"
#include "util/errors.h"

namespace {

constexpr double kLargestVcfInteger = 2147483647.0;

// Printed like a default-formatted stream number (6 significant digits, general).
void put_general(std::ostream& out, double value, int precision) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", precision, value);
  out << text;
}

bool all_zero(const double* values, int count) {
  for (int c = 0; c < count; ++c) {
    if (values[c] != 0.0) return false;
  }
  return true;
}

void check_finite(const double* values, int count, std::uint64_t position, int sample,
                  const char* what) {
  for (int c = 0; c < count; ++c) {
    if (!std::isfinite(values[c])) {
      throw FatalError("ERROR! Internal error: non-finite " + std::string(what) + " for sample " +
                       std::to_string(sample + 1) + " at position " + std::to_string(position));
    }
  }
}

int allele_count_of(int class_count) {
  return static_cast<int>(std::lround(std::sqrt(static_cast<double>(class_count))));
}

void write_marginal_posterior_line(std::ostream& out, std::uint64_t position, const Answer& answer,
                                   int sample_count) {
  const int C = answer.class_count;
  out << position << ' ' << answer.first_allele << ' ' << answer.second_allele << ' ';
  for (int j = 0; j < sample_count; ++j) {
    const double* p = answer.probabilities.data() + static_cast<std::size_t>(C) * j;
    check_finite(p, C, position, j, "posterior");
    if (all_zero(p, C)) {
      // Never updated: no posterior to report.
      for (int c = 0; c < C; ++c) out << "0 ";
      continue;
    }
    double sum = 0.0;
    for (int c = 0; c < C - 1; ++c) {
      const double q = std::round(1000.0 * p[c]) / 1000.0;
      sum += q;
      put_general(out, q, 6);
      out << ' ';
    }
    put_general(out, 1.0 - sum, 6);
    out << ' ';
  }
  out << '\n';
}

void write_vcf_header(std::ostream& out, const std::vector<std::string>& sample_ids,
                      const VcfProvenance& provenance, bool dosage) {
  out << "##fileformat=VCFv4.2\n"
         "##source=Dorsane\n";
  write_provenance(out, provenance);
  out << "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
         "##INFO=<ID=NUMALT,Number=1,Type=Integer,Description=\"Number of alternative alleles\">\n"
         "##FORMAT=<ID=AVGPOST,Number=1,Type=Float,Description=\"Average posterior probability "
         "from Dorsane\">\n"
         "##FORMAT=<ID=PL,Number=G,Type=Integer,Description=\"Phred-scaled Genotype "
         "Likelihoods\">\n";
  out << "##INFO=<ID=AF,Number=A,Type=Float,Description=\"Frequency of each ALT allele among "
         "the called genotypes' alleles\">\n"
         "##INFO=<ID=INFO,Number=A,Type=Float,Description=\"Info measure of the ALT allele's "
         "dosages: 1 - mean dosage variance / (2 theta (1 - theta))\">\n"
         "##INFO=<ID=TYPED,Number=0,Type=Flag,Description=\"Array site of the scaffold, its "
         "phased genotypes copied into the calls\">\n";
  if (dosage) {
    out << "##FORMAT=<ID=DS,Number=A,Type=Float,Description=\"Expected count of each ALT "
           "allele\">\n"
           "##FORMAT=<ID=GP,Number=G,Type=Float,Description=\"Genotype probabilities from the "
           "average posterior\">\n";
  }
  out << "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  for (const std::string& id : sample_ids) out << '\t' << id;
  out << '\n';
}

// PL is an integer field: the nearest integer to the magnitude, half away from zero, capped at
// the largest value of the VCF integer type (as htslib writes it); "." without a record.
void write_pl(std::ostream& out, const std::vector<double>* pls, int G, std::uint64_t position,
              int sample) {
  if (pls == nullptr) {
    out << '.';
    return;
  }
  const double* sample_pls = pls->data() + static_cast<std::size_t>(G) * sample;
  check_finite(sample_pls, G, position, sample, "likelihood");
  for (int g = 0; g < G; ++g) {
    if (g > 0) out << ',';
    out << std::llround(std::min(std::fabs(sample_pls[g]), kLargestVcfInteger));
  }
}

// PL only from this position's own likelihood record, with its stride and alleles.
const std::vector<double>* own_likelihoods(const PlSource& records, std::uint64_t position,
                                           const Answer& answer, int G, int n) {
  if (records.likelihoods == nullptr) return nullptr;
  const auto it = records.likelihoods->find(position);
  const auto alleles = records.alleles->find(position);
  if (it != records.likelihoods->end() && alleles != records.alleles->end() &&
      it->second.size() == static_cast<std::size_t>(G) * n && alleles->second.size() == 2 &&
      alleles->second[0] == answer.first_allele && alleles->second[1] == answer.second_allele) {
    return &it->second;
  }
  return nullptr;
}

// Three decimals, trailing zeros dropped, as the --mp file writes its values; never "-0".
void put_rounded(std::ostream& out, double value) {
  put_general(out, std::round(1000.0 * value) / 1000.0 + 0.0, 6);
}

void put_list(std::ostream& out, const double* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out << ',';
    put_rounded(out, values[i]);
  }
}

// A sample's phased call: its two alleles (-1 when it was never updated) and the posterior.
struct SampleCall {
  int first = -1;
  int second = -1;
  double posterior = 0.0;
};

std::vector<SampleCall> call_samples(const Answer& answer, int n, std::uint64_t position) {
  const int C = answer.class_count;
  const int a = allele_count_of(C);
  const auto ordered = ordered_genotype_pairs(a);
  const auto unordered = unordered_genotype_pairs(a);
  std::vector<SampleCall> calls(static_cast<std::size_t>(n));
  for (int j = 0; j < n; ++j) {
    const double* p = answer.probabilities.data() + static_cast<std::size_t>(C) * j;
    check_finite(p, C, position, j, "posterior");
    if (all_zero(p, C)) continue;
    SampleCall& call = calls[static_cast<std::size_t>(j)];
    if (C == 4) {
      double p00 = p[0], p11 = p[1], p01 = p[2], p10 = p[3];
      const std::string gt = genotype_vcf(p00, p11, p01, p10, call.posterior);
      call.first = gt[0] - '0';
      call.second = gt[2] - '0';
    } else {
      const auto called = static_cast<std::size_t>(
          genotype_vcf_multi(answer.probabilities, j, C, ordered, unordered, call.posterior));
      call.first = ordered[called].first;
      call.second = ordered[called].second;
    }
  }
  return calls;
}

// AF: each ALT allele's share of the called alleles ("." when no sample is called); INFO:
// each ALT allele's info measure.
void write_site_info(std::ostream& out, const std::vector<SampleCall>& calls, int a,
                     const SiteDosages& dosages) {
  std::vector<double> counts(static_cast<std::size_t>(a), 0.0);
  double called = 0.0;
  for (const SampleCall& call : calls) {
    if (call.first < 0) continue;
    counts[static_cast<std::size_t>(call.first)] += 1.0;
    counts[static_cast<std::size_t>(call.second)] += 1.0;
    called += 2.0;
  }
  out << ";AF=";
  for (int allele = 1; allele < a; ++allele) {
    if (allele > 1) out << ',';
    if (called == 0.0) {
      out << '.';
    } else {
      put_general(out, counts[static_cast<std::size_t>(allele)] / called, 4);
    }
  }
  out << ";INFO=";
  put_list(out, dosages.info.data(), dosages.info.size());
}

void write_vcf_record(std::ostream& out, std::uint64_t position, const Answer& answer, int n,
                      const std::string& chromosome, const std::vector<double>* pls,
                      SiteDosages& dosages, bool dosage_fields) {
  const int C = answer.class_count;
  const int a = allele_count_of(C);
  const int G = a * (a + 1) / 2;
  if (pls != nullptr && pls->size() != static_cast<std::size_t>(G) * n) pls = nullptr;
  const std::vector<SampleCall> calls = call_samples(answer, n, position);
  site_dosages(answer.probabilities.data(), a, n, dosages);

  out << chromosome << '\t' << position << "\t.\t" << answer.first_allele << '\t'
      << answer.second_allele << "\t.\tPASS\tNUMALT=" << (a - 1);
  write_site_info(out, calls, a, dosages);
  if (answer.typed) out << ";TYPED";
  out << (dosage_fields ? "\tGT:AVGPOST:PL:DS:GP" : "\tGT:AVGPOST:PL");
  for (int j = 0; j < n; ++j) {
    const SampleCall& call = calls[static_cast<std::size_t>(j)];
    out << '\t';
    if (call.first < 0) {
      out << "./.:.";
    } else {
      out << call.first << '|' << call.second << ':';
      put_general(out, call.posterior, 4);
    }
    out << ':';
    write_pl(out, pls, G, position, j);
    if (!dosage_fields) continue;
    if (call.first < 0) {
      out << ":.:.";
      continue;
    }
    out << ':';
    put_list(out, dosages.dosage.data() + static_cast<std::size_t>(a - 1) * j,
             static_cast<std::size_t>(a - 1));
    out << ':';
    put_list(out, dosages.gp.data() + static_cast<std::size_t>(G) * j, static_cast<std::size_t>(G));
  }
  out << '\n';
}

}  // namespace

void write_provenance(std::ostream& out, const VcfProvenance& provenance) {
  out << "##dorsaneVersion=" DORSANE_VERSION "\n";
  if (!provenance.command.empty()) out << "##dorsaneCommand=" << provenance.command << '\n';
  for (const std::string& contig : provenance.contigs) out << "##contig=<" << contig << ">\n";
  for (const std::string& line : provenance.extra_lines) out << line << '\n';
}

std::string contig_entry(const std::string& chromosome, const std::string& length) {
  return "ID=" + chromosome + (length.empty() ? "" : ",length=" + length);
}

ResultWriter::ResultWriter(std::ostream* vcf, std::ostream* mp,
                           const std::vector<std::string>& sample_ids,
                           const std::string& chromosome, const VcfProvenance& provenance,
                           bool dosage)
    : vcf_(vcf), mp_(mp), sample_ids_(sample_ids), chromosome_(chromosome), dosage_(dosage) {
  if (vcf_ != nullptr) write_vcf_header(*vcf_, sample_ids_, provenance, dosage);
}

void ResultWriter::write(std::uint64_t position, const Answer& answer,
                         const std::vector<double>* pls) {
  const int n = static_cast<int>(sample_ids_.size());
  if (mp_ != nullptr) write_marginal_posterior_line(*mp_, position, answer, n);
  if (vcf_ != nullptr) {
    write_vcf_record(*vcf_, position, answer, n, chromosome_, pls, dosages_, dosage_);
  }
}

void ResultWriter::finish() {
  if (mp_ != nullptr) *mp_ << '\n';
}

void write_marginal_posteriors(std::ostream& out, const Results& results, int sample_count) {
  const std::vector<std::string> ids(static_cast<std::size_t>(sample_count));
  ResultWriter writer(nullptr, &out, ids, "");
  for (const auto& [position, answer] : results) writer.write(position, answer, nullptr);
  writer.finish();
}

void write_called_vcf(std::ostream& out, const Results& results,
                      const std::vector<std::string>& sample_ids, const std::string& chromosome,
                      const PlSource& records, const VcfProvenance& provenance) {
  ResultWriter writer(&out, nullptr, sample_ids, chromosome, provenance);
  const int n = static_cast<int>(sample_ids.size());
  for (const auto& [position, answer] : results) {
    const int a = allele_count_of(answer.class_count);
    writer.write(position, answer, own_likelihoods(records, position, answer, a * (a + 1) / 2, n));
  }
}
