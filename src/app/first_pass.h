#pragma once

// What a first pass over the region leaves for the second to copy along: at each bi-allelic
// record, per sample haplotype, what the sample's reads there say of that haplotype's
// allele, its other haplotype's allele weighed by the first pass's posterior.

#include <cstdint>
#include <vector>

#include "model/copying_prior.h"

class FirstPassSites {
 public:
  explicit FirstPassSites(int sample_count = 0) : haplotypes_(2 * sample_count) {}

  // A record's outcome: class probabilities (0|0, 1|1, 0|1, 1|0) and three Phred values per
  // sample. Positions come ascending; a later record at a position already held is left out.
  void add(std::uint64_t position, const std::vector<double>& class_probabilities,
           const std::vector<double>& pl_phred);

  // The sites held, ascending, and each one's emissions (2N, see encode_emission).
  const std::vector<std::uint64_t>& positions() const { return positions_; }
  const std::uint8_t* emissions(std::size_t site) const {
    return codes_.data() + site * static_cast<std::size_t>(haplotypes_);
  }
  // Each sample haplotype's chance of allele 1 there, in 255ths (2N).
  const std::uint8_t* allele_chances(std::size_t site) const {
    return chances_.data() + site * static_cast<std::size_t>(haplotypes_);
  }
  bool empty() const { return positions_.empty(); }

 private:
  int haplotypes_;
  std::vector<std::uint64_t> positions_;
  std::vector<std::uint8_t> codes_;
  std::vector<std::uint8_t> chances_;
};
