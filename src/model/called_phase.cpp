#include "model/called_phase.h"

#include <utility>

namespace {

bool known(std::uint8_t allele) { return allele == 0 || allele == 1; }

// One sample's walk along the calls: heterozygous calls wait until the next array site tells
// which way they face.
class SampleAlignment {
 public:
  SampleAlignment(std::size_t sample, CalledPhaseReport& report) : i_(sample), report_(report) {}

  void array_site(CalledSite& call, const SiteRows& scaffold, std::size_t row) {
    std::uint8_t* a = &call.alleles[2 * i_];
    const int s1 = scaffold.allele(row, 2 * i_);
    const int s2 = scaffold.allele(row, 2 * i_ + 1);
    if (!known(a[0]) || !known(a[1])) return;
    ++compared_;
    if (a[0] + a[1] != s1 + s2) ++discordant_;
    if (a[0] == a[1] || s1 == s2) return;
    const int orientation = a[0] == s1 ? 0 : 1;
    settle(orientation == last_ ? orientation : (last_ < 0 ? orientation : kUnknown));
    last_ = orientation;
  }

  void between(CalledSite& call) {
    const std::uint8_t* a = &call.alleles[2 * i_];
    if (known(a[0]) && known(a[1]) && a[0] != a[1]) pending_.push_back(&call);
  }

  void finish() {
    if (last_ < 0 && !pending_.empty()) ++report_.samples_without_anchor;
    settle(last_ < 0 ? 0 : last_);
    report_.compared += compared_;
    report_.discordant += discordant_;
    if (compared_ >= CalledPhaseReport::kMinSampleSites &&
        static_cast<double>(discordant_) >
            CalledPhaseReport::kSampleDiscordanceLimit * static_cast<double>(compared_)) {
      report_.discordant_samples.push_back(static_cast<int>(i_));
    }
  }

 private:
  static constexpr int kUnknown = 2;

  // The waiting calls face orientation: 0 as read, 1 swapped, kUnknown not known.
  void settle(int orientation) {
    for (CalledSite* call : pending_) {
      std::uint8_t* a = &call->alleles[2 * i_];
      if (orientation == 1) {
        std::swap(a[0], a[1]);
        ++report_.turned;
      } else if (orientation == kUnknown) {
        a[0] = a[1] = kUnknownCalledAllele;
        ++report_.unresolved;
      }
    }
    pending_.clear();
  }

  const std::size_t i_;
  CalledPhaseReport& report_;
  int last_ = -1;  // orientation at the last heterozygous array site
  std::uint64_t compared_ = 0;
  std::uint64_t discordant_ = 0;
  std::vector<CalledSite*> pending_;
};

}  // namespace

CalledPhaseReport align_calls_to_scaffold(const SiteRows& scaffold,
                                          std::map<std::uint64_t, CalledSite>& calls) {
  CalledPhaseReport report;
  const std::size_t samples = scaffold.width() / 2;
  // Each call with its scaffold row (npos between array sites), looked up once.
  std::vector<std::pair<CalledSite*, std::size_t>> sites;
  for (auto& [pos, call] : calls) {
    if (call.alleles.size() >= 2 * samples) sites.emplace_back(&call, scaffold.index_of(pos));
  }
  for (std::size_t i = 0; i < samples; ++i) {
    SampleAlignment sample(i, report);
    for (const auto& [call, row] : sites) {
      if (row == SiteRows::npos) {
        sample.between(*call);
      } else {
        sample.array_site(*call, scaffold, row);
      }
    }
    sample.finish();
  }
  return report;
}
