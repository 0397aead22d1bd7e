#include "model/copying_prior.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>

#include "model/vector_lanes.h"

namespace {

// Sums are taken in this many interleaved partial sums, added up in a fixed order at the
// end: independent additions that vectors can take side by side, the same bits on every
// processor.
constexpr int kLanes = 8;
// Below this total the probabilities are scaled up, so a long run of mismatches never
// underflows a float.
constexpr float kRescaleBelow = 1e-20F;
// The lazy rows' double sums are taken in this many partial sums, added in a fixed order:
// one sum would wait on every addition.
constexpr int kSumLanes = 4;

float lane_total(const float (&lanes)[kLanes]) {
  float total = 0.0F;
  for (const float x : lanes) total += x;
  return total;
}

// One site of the chain: v <- (stay v + jump_share total) * emission, total = the sum of v
// before the step; returns the sum after it. v is scaled only when that sum grows small:
// only the ratios of its entries matter.
DORSANE_VECTOR_CLONES float advance(float* v, int count, float total, const std::uint8_t* site,
                                    std::uint8_t allele, float stay, float jump_share, float match,
                                    float miss) {
  const float jump = jump_share * total;
  float lanes[kLanes] = {};
  int j = 0;
  for (; j + kLanes <= count; j += kLanes) {
    for (int l = 0; l < kLanes; ++l) {
      v[j + l] = (stay * v[j + l] + jump) * (site[j + l] == allele ? match : miss);
      lanes[l] += v[j + l];
    }
  }
  for (int l = 0; j < count; ++j, ++l) {
    v[j] = (stay * v[j] + jump) * (site[j] == allele ? match : miss);
    lanes[l] += v[j];
  }
  float after = lane_total(lanes);
  if (after < kRescaleBelow) {
    const float scale = 1.0F / after;
    for (int i = 0; i < count; ++i) v[i] *= scale;
    after = 1.0F;
  }
  return after;
}

// The last step to the variant, without an emission, with v scaled to sum 1 first so that
// the product of the two sides stays well inside the float range.
void step_to_variant(float* v, int count, float total, float stay, float jump_share) {
  const float scale = 1.0F / total;
  for (int j = 0; j < count; ++j) v[j] = stay * (v[j] * scale) + jump_share;
}

static_assert(kSumLanes == 4, "lanes_total adds four partial sums");
double lanes_total(const double (&sums)[kSumLanes]) {
  return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// x <- (a x + b) scale over the n entries of x; returns their new sum, in partial sums.
double scale_and_sum(double* x, std::size_t n, double a, double b, double scale) {
  double sums[kSumLanes] = {};
  std::size_t i = 0;
  for (; i + kSumLanes <= n; i += kSumLanes) {
    for (std::size_t l = 0; l < kSumLanes; ++l) {
      x[i + l] = (a * x[i + l] + b) * scale;
      sums[l] += x[i + l];
    }
  }
  for (std::size_t l = 0; i < n; ++i, ++l) {
    x[i] = (a * x[i] + b) * scale;
    sums[l] += x[i];
  }
  return lanes_total(sums);
}

// Rows taken lazily: the chain's vector is a * u + b, so a row that emits the same for
// every majority source changes only a and b, and the few minority sources are set apart.
// Sums in double, in a fixed order: the same result on every processor.
class LazyRows {
 public:
  explicit LazyRows(std::vector<double>& u) : u_(u) {}
  bool active() const { return active_; }

  void start(const float* v, int count) {
    u_.assign(v, v + count);
    a_ = 1.0;
    b_ = 0.0;
    sum_u_ = scale_and_sum(u_.data(), u_.size(), 1.0, 0.0, 1.0);
    active_ = true;
  }

  void exclude(const int* excluded, int excluded_count) {
    excluded_ = excluded;
    excluded_count_ = excluded_count;
    zero_excluded();
  }

  void step(const int* minority, int minority_count, double stay, double jump_share,
            double majority_emission, double minority_emission) {
    const double count = static_cast<double>(u_.size());
    const double jump = jump_share * (a_ * sum_u_ + b_ * count);
    const double a = majority_emission * stay * a_;
    const double b = majority_emission * (stay * b_ + jump);
    if (minority_emission != majority_emission) {
      // A minority source's next a u' + b is minority_emission (stay (a_ u + b_) + jump):
      // u' = ratio u + shift, one multiply-add each.
      const double ratio = minority_emission / majority_emission;
      const double shift = (ratio - 1.0) * (stay * b_ + jump) / (stay * a_);
      double before[kSumLanes] = {};
      int k = 0;
      for (; k + kSumLanes <= minority_count; k += kSumLanes) {
        for (int l = 0; l < kSumLanes; ++l) {
          double& u = u_[static_cast<std::size_t>(minority[k + l])];
          before[l] += u;
          u = ratio * u + shift;
        }
      }
      for (int l = 0; k < minority_count; ++k, ++l) {
        double& u = u_[static_cast<std::size_t>(minority[k])];
        before[l] += u;
        u = ratio * u + shift;
      }
      sum_u_ += (ratio - 1.0) * lanes_total(before) + shift * minority_count;
    }
    a_ = a;
    b_ = b;
    zero_excluded();
    // Rows the target misses shrink a far faster than the jumps shrink b: before a
    // underflows, or the total does, the vector is written out whole and scaled to sum 1.
    const double total = a_ * sum_u_ + b_ * count;
    if (a_ < kLazyRenewBelow || total < kLazyRenewBelow) {
      sum_u_ = scale_and_sum(u_.data(), u_.size(), a_, b_, 1.0 / total);
      a_ = 1.0;
      b_ = 0.0;
    }
  }

  // Writes the vector back; returns its sum.
  float finish(float* v) {
    float lanes[kLanes] = {};
    const int count = static_cast<int>(u_.size());
    for (int j = 0; j < count; ++j) {
      v[j] = static_cast<float>(a_ * u_[static_cast<std::size_t>(j)] + b_);
      lanes[j % kLanes] += v[j];
    }
    active_ = false;
    return lane_total(lanes);
  }

 private:
  // Sources the target may not copy hold 0 after every row.
  void zero_excluded() {
    for (int k = 0; k < excluded_count_; ++k) {
      double& u = u_[static_cast<std::size_t>(excluded_[k])];
      const double zero = -b_ / a_;
      sum_u_ += zero - u;
      u = zero;
    }
  }
  static constexpr double kLazyRenewBelow = 1e-30;
  const int* excluded_ = nullptr;
  int excluded_count_ = 0;
  std::vector<double>& u_;
  double a_ = 1.0;
  double b_ = 0.0;
  double sum_u_ = 0.0;
  bool active_ = false;
};

}  // namespace

void list_minority_sources(CopyingSources& sources) {
  const int count = sources.count;
  sources.minority_begin.assign(1, 0);
  sources.minority.clear();
  sources.majority.resize(static_cast<std::size_t>(sources.rows));
  for (int r = 0; r < sources.rows; ++r) {
    const std::uint8_t* row = sources.row(r);
    int ones = 0;
    for (int j = 0; j < count; ++j) ones += row[j] != 0;
    const bool majority = 2 * ones > count;
    sources.majority[static_cast<std::size_t>(r)] = majority ? 1 : 0;
    for (int j = 0; j < count; ++j) {
      if ((row[j] != 0) != majority) sources.minority.push_back(j);
    }
    sources.minority_begin.push_back(static_cast<int>(sources.minority.size()));
  }
}

namespace {

// The copying chain over a window's rows, for one target: rows taken whole or lazily, in
// order or from the last back, sources left out held at 0.
class CopyingChain {
 public:
  CopyingChain(const CopyingSources& sources, const std::uint8_t* target,
               const CopyingSettings& settings, const float* target_miss, const int* excluded,
               int excluded_count)
      : sources_(sources),
        target_(target),
        target_miss_(target_miss),
        excluded_(excluded),
        excluded_count_(excluded_count),
        count_(sources.count),
        switch_rate_(settings.switch_rate),
        stay_(static_cast<float>(1.0 - settings.switch_rate)),
        jump_share_(static_cast<float>(settings.switch_rate / sources.count)),
        match_(static_cast<float>(1.0 - settings.mismatch)),
        miss_(static_cast<float>(settings.mismatch)),
        lazy_(lazy_values()) {}

  // v uniform over the sources, but those left out; returns its sum.
  float start(float* v) const {
    const float uniform = 1.0F / static_cast<float>(count_);
    for (int j = 0; j < count_; ++j) v[j] = uniform;
    return 1.0F - zero_excluded(v);
  }

  // Rows [from, to) over v, from the last back when backward; returns v's sum after them.
  float run(float* v, float total, int from, int to, bool backward) {
    if (backward) {
      for (int r = to - 1; r >= from; --r) take_row(r, v, total);
    } else {
      for (int r = from; r < to; ++r) take_row(r, v, total);
    }
    if (lazy_.active()) total = lazy_.finish(v);
    return total;
  }

  // The last step to the variant, without an emission.
  void to_variant(float* v, float total) const {
    step_to_variant(v, count_, total, stay_, jump_share_);
    zero_excluded(v);
  }

 private:
  static std::vector<double>& lazy_values() {
    thread_local std::vector<double> values;
    return values;
  }

  // Zeroes the sources the target may not copy; returns what they held.
  float zero_excluded(float* v) const {
    float held = 0.0F;
    for (int k = 0; k < excluded_count_; ++k) {
      held += v[excluded_[k]];
      v[excluded_[k]] = 0.0F;
    }
    return held;
  }

  // One row of the chain over v, whole or lazily. A row's chances that the copied allele is
  // matched and missed are both 1 where the target's allele is unknown.
  void take_row(int r, float* v, float& total) {
    float row_match = target_miss_ != nullptr ? 1.0F - target_miss_[r] : match_;
    float row_miss = target_miss_ != nullptr ? target_miss_[r] : miss_;
    if (target_[r] == kUnknownTarget) row_match = row_miss = 1.0F;
    if (sources_.lazy()) {
      if (!lazy_.active()) {
        lazy_.start(v, count_);
        lazy_.exclude(excluded_, excluded_count_);
      }
      const bool majority = target_[r] == sources_.majority[static_cast<std::size_t>(r)];
      const auto begin = static_cast<std::size_t>(sources_.minority_begin[r]);
      lazy_.step(sources_.minority.data() + begin,
                 sources_.minority_begin[static_cast<std::size_t>(r) + 1] - static_cast<int>(begin),
                 1.0 - switch_rate_, switch_rate_ / count_, majority ? row_match : row_miss,
                 majority ? row_miss : row_match);
      return;
    }
    if (lazy_.active()) total = lazy_.finish(v);
    total = advance(v, count_, total, sources_.row(r), target_[r], stay_, jump_share_, row_match,
                    row_miss);
    total -= zero_excluded(v);
  }

  const CopyingSources& sources_;
  const std::uint8_t* target_;
  const float* target_miss_;
  const int* excluded_;
  int excluded_count_;
  int count_;
  double switch_rate_;
  float stay_;
  float jump_share_;
  float match_;
  float miss_;
  LazyRows lazy_;
};

// Each source's share of the product of the two sides, scaled to sum 1.
void join_sides(const float* forward, const float* backward, int count, float* posterior) {
  float lanes[kLanes] = {};
  for (int j = 0; j < count; ++j) {
    posterior[j] = forward[j] * backward[j];
    lanes[j % kLanes] += posterior[j];
  }
  const float inverse = 1.0F / lane_total(lanes);
  for (int j = 0; j < count; ++j) posterior[j] *= inverse;
}

void scale_to_one(float* v, int count, float total) {
  const float inverse = 1.0F / total;
  for (int j = 0; j < count; ++j) v[j] *= inverse;
}

void check_split(const CopyingSources& sources, int split) {
  if (sources.count <= 0 || split < 0 || split > sources.rows) {
    throw std::logic_error("copying chain: no sources, or the variant outside the window");
  }
}

}  // namespace

void copying_posterior(const CopyingSources& sources, const std::uint8_t* target, int split,
                       const CopyingSettings& settings, std::vector<float>& backward,
                       float* posterior, const float* target_miss, const int* excluded,
                       int excluded_count) {
  check_split(sources, split);
  CopyingChain chain(sources, target, settings, target_miss, excluded, excluded_count);
  float* forward = posterior;
  const float forward_total = chain.run(forward, chain.start(forward), 0, split, false);
  chain.to_variant(forward, forward_total);
  backward.resize(static_cast<std::size_t>(sources.count));
  const float backward_total =
      chain.run(backward.data(), chain.start(backward.data()), split, sources.rows, true);
  chain.to_variant(backward.data(), backward_total);
  join_sides(forward, backward.data(), sources.count, posterior);
}

void copying_sides(const CopyingSources& sources, const std::uint8_t* target, int split,
                   const CopyingSettings& settings, float* forward, float* backward,
                   const float* target_miss, const int* excluded, int excluded_count) {
  check_split(sources, split);
  CopyingChain chain(sources, target, settings, target_miss, excluded, excluded_count);
  scale_to_one(forward, sources.count, chain.run(forward, chain.start(forward), 0, split, false));
  scale_to_one(backward, sources.count,
               chain.run(backward, chain.start(backward), split, sources.rows, true));
}

void copying_extend(const CopyingSources& rows, int from, int to, const std::uint8_t* target,
                    const CopyingSettings& settings, bool backward, float* side, float& total,
                    const float* target_miss, const int* excluded, int excluded_count) {
  if (from >= to) return;
  CopyingChain chain(rows, target, settings, target_miss, excluded, excluded_count);
  total = chain.run(side, total, from, to, backward);
}

void copying_join(float* forward, float forward_total, float* backward, float backward_total,
                  int count, const CopyingSettings& settings, float* posterior, const int* excluded,
                  int excluded_count) {
  CopyingSources none;
  none.count = count;
  const CopyingChain chain(none, nullptr, settings, nullptr, excluded, excluded_count);
  chain.to_variant(forward, forward_total);
  chain.to_variant(backward, backward_total);
  join_sides(forward, backward, count, posterior);
}

int merge_called_sites(const std::uint64_t* row_positions, int rows, int split,
                       const std::vector<std::uint64_t>& called, std::vector<CopyingSite>& sites) {
  sites.clear();
  if (rows == 0) return 0;
  const std::uint64_t gap_from = split > 0 ? row_positions[split - 1] : 0;
  const std::uint64_t gap_to = split < rows ? row_positions[split] : UINT64_MAX;
  auto next = called.begin();
  int left = 0;
  for (int r = 0; r < rows; ++r) {
    const std::uint64_t at = row_positions[r];
    for (; next != called.end() && *next <= at; ++next) {
      const bool in_gap = *next >= gap_from && *next <= gap_to;
      if (r == 0 || *next == at || in_gap) continue;
      sites.push_back({*next, -1 - static_cast<int>(next - called.begin())});
      if (*next < gap_from) left = static_cast<int>(sites.size());
    }
    sites.push_back({at, r});
    if (r < split) left = static_cast<int>(sites.size());
  }
  return left;
}

ReadEmission read_emission(const double* pl_phred, double other_allele_one) {
  const double low = std::min({pl_phred[0], pl_phred[1], pl_phred[2]});
  double likelihood[3];
  for (int g = 0; g < 3; ++g) likelihood[g] = std::pow(10.0, -(pl_phred[g] - low) / 10.0);
  const double q = other_allele_one;
  const double e0 = likelihood[0] * (1.0 - q) + likelihood[1] * q;
  const double e1 = likelihood[1] * (1.0 - q) + likelihood[2] * q;
  ReadEmission emission;
  const double total = e0 + e1;
  if (!(total > 0.0) || e0 == e1) return emission;
  emission.allele = e1 > e0 ? 1 : 0;
  emission.miss = static_cast<float>(std::min(e0, e1) / total);
  return emission;
}

namespace {

// Levels 0 .. kMissLevels - 1 of the miss from kReadMissFloor to 0.5, evenly in its log;
// the level kMissLevels is a read that tells nothing.
constexpr int kMissLevels = 127;

float miss_of_level(int level) {
  const double from = std::log(static_cast<double>(kReadMissFloor));
  const double to = std::log(0.5);
  return static_cast<float>(std::exp(from + (to - from) * level / (kMissLevels - 1)));
}

}  // namespace

std::uint8_t encode_emission(const ReadEmission& emission) {
  if (emission.allele == kUnknownTarget || !(emission.miss < 0.5F)) return kMissLevels;
  const double from = std::log(static_cast<double>(kReadMissFloor));
  const double to = std::log(0.5);
  const double at = std::log(std::max(static_cast<double>(emission.miss), std::exp(from)));
  const int level = static_cast<int>(std::lround((at - from) / (to - from) * (kMissLevels - 1)));
  return static_cast<std::uint8_t>((emission.allele << 7) | std::min(level, kMissLevels - 1));
}

ReadEmission decode_emission(std::uint8_t code) {
  static const std::vector<float> misses = [] {
    std::vector<float> table(kMissLevels);
    for (int level = 0; level < kMissLevels; ++level) table[level] = miss_of_level(level);
    return table;
  }();
  const int level = code & 0x7F;
  if (level >= kMissLevels) return {};
  return {static_cast<std::uint8_t>(code >> 7), misses[static_cast<std::size_t>(level)]};
}

double copied_allele_probability(const float* posterior, const std::uint8_t* source_alleles,
                                 int count) {
  double p = 0.0;
  for (int j = 0; j < count; ++j) {
    if (source_alleles[j] != 0) p += posterior[j];
  }
  return p;
}

void closest_sources(const int* runs, int count, int wanted, std::vector<int>& order, int* chosen) {
  order.resize(static_cast<std::size_t>(count));
  std::iota(order.begin(), order.end(), 0);
  std::nth_element(order.begin(), order.begin() + wanted, order.end(),
                   [runs](int a, int b) { return runs[a] != runs[b] ? runs[a] > runs[b] : a < b; });
  std::sort(order.begin(), order.begin() + wanted);
  std::copy(order.begin(), order.begin() + wanted, chosen);
}

void gather_sources(const CopyingSources& all, const int* chosen, int wanted, CopyingSources& out) {
  out.rows = all.rows;
  out.count = wanted;
  out.minority_begin.clear();  // every row whole
  out.alleles.resize(static_cast<std::size_t>(all.rows) * static_cast<std::size_t>(wanted));
  for (int r = 0; r < all.rows; ++r) {
    const std::uint8_t* from = all.row(r);
    std::uint8_t* to = out.alleles.data() + static_cast<std::size_t>(r) * wanted;
    for (int j = 0; j < wanted; ++j) to[j] = from[chosen[j]];
  }
}
