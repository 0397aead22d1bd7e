#pragma once

// Readers and writers of dorsane's file formats. Each reader works on an
// std::istream so it can be tested on a string; CallSNP opens the files.

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

// ---- Position list (--list) ----
struct PositionList {
  std::vector<std::uint64_t> positions;  // ascending, duplicates kept
  int line_count = 0;
};
PositionList read_positions(std::istream& in, const std::string& file_name);

// ---- Sample list (--sample-file) ----
// One ID per non-blank line (its last token), in file order.
std::vector<std::string> read_sample_ids(std::istream& in, const std::string& file_name);

// ---- Genotype orders and call rules (VCF writer, posterior merge) ----
using AllelePair = std::pair<int, int>;
// The a*a ordered pairs: for s = 0..a-1, t = 0..s: (t, s) and, when t != s, (s, t).
std::vector<AllelePair> ordered_genotype_pairs(int allele_count);
// The a(a+1)/2 unordered pairs in VCF genotype order: (t, s) for s = 0..a-1, t = 0..s.
std::vector<AllelePair> unordered_genotype_pairs(int allele_count);

// Bi-allelic call from the four phased class probabilities; sets posterior.
std::string genotype_vcf(double& p00, double& p11, double& p01, double& p10, double& posterior);
// Multi-allelic call for 0-based sample: returns the index into `ordered` of the
// called class and sets posterior. probabilities holds class_count values per sample.
int genotype_vcf_multi(const std::vector<double>& probabilities, int sample, int class_count,
                       const std::vector<AllelePair>& ordered,
                       const std::vector<AllelePair>& unordered, double& posterior);
