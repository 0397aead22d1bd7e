#include "app/first_pass.h"

#include <algorithm>
#include <cmath>

namespace {

// A first-pass posterior is never taken as certain: a call can be wrong.
constexpr double kOtherAlleleBound = 0.001;

}  // namespace

void FirstPassSites::add(std::uint64_t position, const std::vector<double>& class_probabilities,
                         const std::vector<double>& pl_phred) {
  if (!positions_.empty() && positions_.back() >= position) return;
  const int samples = haplotypes_ / 2;
  positions_.push_back(position);
  for (int s = 0; s < samples; ++s) {
    const double* p = class_probabilities.data() + 4 * static_cast<std::size_t>(s);
    // Classes 0|0, 1|1, 0|1, 1|0: the first haplotype carries allele 1 in 1|1 and 1|0.
    const double first_one = p[1] + p[3];
    const double second_one = p[1] + p[2];
    for (const double own : {first_one, second_one}) {
      chances_.push_back(static_cast<std::uint8_t>(std::lround(255.0 * std::clamp(own, 0.0, 1.0))));
    }
    const double* pl = pl_phred.data() + 3 * static_cast<std::size_t>(s);
    for (const double other : {second_one, first_one}) {
      const double bounded = std::clamp(other, kOtherAlleleBound, 1.0 - kOtherAlleleBound);
      codes_.push_back(encode_emission(read_emission(pl, bounded)));
    }
  }
}
