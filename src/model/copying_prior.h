#pragma once

// A haplotype copied from a set of others along the window (a Li-Stephens-type hidden
// Markov model): at each window site the haplotype copies one source, keeps it to the next
// site or jumps to any source, and matches the copied allele but for a small mismatch rate.
// The posterior of the copied source at the variant, between the window's left and right
// sites, weighs the sources' alleles there into a second prior on the haplotype's allele:
// it follows the closest haplotypes where the linear window model averages over many.

#include <cstdint>
#include <vector>

struct CopyingSettings {
  double switch_rate = 0.01;  // chance of a jump between consecutive sites
  double mismatch = 0.005;    // chance that a copied allele differs
};

// The sources' window alleles site by site: rows x sources bytes, row-major, so one site's
// alleles over every source are contiguous.
struct CopyingSources {
  std::vector<std::uint8_t> alleles;
  int rows = 0;
  int count = 0;
  // When minority_begin is not empty, every row is taken at the cost of the sources that
  // carry its minority allele: row r's are minority[minority_begin[r] ..
  // minority_begin[r + 1]), majority[r] its majority allele.
  std::vector<int> minority_begin;
  std::vector<int> minority;
  std::vector<std::uint8_t> majority;
  const std::uint8_t* row(int r) const {
    return alleles.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(count);
  }
  bool lazy() const { return !minority_begin.empty(); }
};

// Lists every row's minority sources, so that the passes take the rows lazily: a row then
// costs the sources that carry its minority allele, where taken whole it costs them all.
void list_minority_sources(CopyingSources& sources);

// The posterior over the sources (count entries, summing to 1) of the source that target
// copies at the variant, which lies between rows split - 1 and split: the forward pass
// over rows [0, split), the backward pass over rows [split, rows), one step of the chain
// from each side to the variant. target holds the haplotype's alleles at the rows; at a
// row where it holds kUnknownTarget every source fits it alike. target_miss, when given,
// holds each row's mismatch chance in place of settings.mismatch (a call less certain than
// an array genotype). The
// probabilities are scaled only when their sum falls low; every sum is taken in a fixed
// order, so the result is the same on every processor.
constexpr std::uint8_t kUnknownTarget = 2;
void copying_posterior(const CopyingSources& sources, const std::uint8_t* target, int split,
                       const CopyingSettings& settings, std::vector<float>& backward,
                       float* posterior, const float* target_miss = nullptr,
                       const int* excluded = nullptr, int excluded_count = 0);

// The same chain in parts, where the variant's neighbours are read per variant: the two
// sides at the variant, forward over rows [0, split) and backward over [split, rows), each
// scaled to sum 1 but not yet stepped to the variant; a side carried on over rows [from, to)
// (in order, or from the last back for the backward side), its sum in total, so that
// carrying it on in parts ends as in one call; and the posterior from the two sides and
// their sums. The sides are changed in place.
void copying_sides(const CopyingSources& sources, const std::uint8_t* target, int split,
                   const CopyingSettings& settings, float* forward, float* backward,
                   const float* target_miss = nullptr, const int* excluded = nullptr,
                   int excluded_count = 0);
void copying_extend(const CopyingSources& rows, int from, int to, const std::uint8_t* target,
                    const CopyingSettings& settings, bool backward, float* side, float& total,
                    const float* target_miss = nullptr, const int* excluded = nullptr,
                    int excluded_count = 0);
void copying_join(float* forward, float forward_total, float* backward, float backward_total,
                  int count, const CopyingSettings& settings, float* posterior,
                  const int* excluded = nullptr, int excluded_count = 0);

// The chain's sites when the target's calls between the window's array sites join them:
// each site is a window row (row >= 0) or the called site at called[-1 - row], in position
// order. Called sites count inside the window's span only, and not in the variant's own
// gap between rows split - 1 and split: its neighbours there share the window's posterior,
// and the variant's own call must not predict it. Returns the sites left of the gap.
struct CopyingSite {
  std::uint64_t position = 0;
  int row = 0;
};
int merge_called_sites(const std::uint64_t* row_positions, int rows, int split,
                       const std::vector<std::uint64_t>& called, std::vector<CopyingSite>& sites);

// What a sample's reads at a site say of one haplotype's allele there, as the copying chain
// reads it: the allele they favour and the chance of the other one, relative to both:
// e(a) = sum_b L(a + b) P(other = b), miss = min e / (e(0) + e(1)). A miss of 0.5 tells
// nothing (allele kUnknownTarget).
struct ReadEmission {
  std::uint8_t allele = kUnknownTarget;
  float miss = 0.5F;
};
// pl_phred: the sample's three Phred likelihoods (0/0, 0/1, 1/1); other_allele_one: the
// chance that its other haplotype carries allele 1 there.
ReadEmission read_emission(const double* pl_phred, double other_allele_one);
// The emission in one byte, its miss held within [kReadMissFloor, 0.5] on a log scale, and
// back. Reads never count for more than an array genotype.
constexpr float kReadMissFloor = 0.005F;
std::uint8_t encode_emission(const ReadEmission& emission);
ReadEmission decode_emission(std::uint8_t code);

// P(allele 1) at the variant: the posterior's weight on the sources that carry it.
double copied_allele_probability(const float* posterior, const std::uint8_t* source_alleles,
                                 int count);

// The `wanted` sources with the longest shared runs with the target (runs[j] for source j of
// count; ties to the lower source), in source order, into chosen; order is working space.
void closest_sources(const int* runs, int count, int wanted, std::vector<int>& order, int* chosen);

// The chosen sources of all (wanted of them) with their window alleles, into out.
void gather_sources(const CopyingSources& all, const int* chosen, int wanted, CopyingSources& out);
