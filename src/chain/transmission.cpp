#include "chain/transmission.h"

#include <algorithm>
#include <tuple>
#include <vector>

namespace {

// The run of equal alleles two haplotypes share around the variant, which sits between
// rows split - 1 and split. A transmitted haplotype agrees with the child's on both
// sides up to the nearest crossover, so the shorter side ranks first: it tells which
// haplotype covers the variant itself. The whole run breaks ties.
struct RunKey {
  int shorter = 0;
  int total = 0;

  RunKey operator+(const RunKey& o) const { return {shorter + o.shorter, total + o.total}; }
  bool operator<(const RunKey& o) const {
    return std::tie(shorter, total) < std::tie(o.shorter, o.total);
  }
  bool operator==(const RunKey& o) const { return shorter == o.shorter && total == o.total; }
};

RunKey shared_run(const double* x, const double* y, int rows, int split) {
  int right = 0;
  for (int row = split; row < rows && x[row] == y[row]; ++row) ++right;
  int left = 0;
  for (int row = split - 1; row >= 0 && x[row] == y[row]; --row) ++left;
  return {std::min(left, right), left + right};
}

struct Candidate {
  Transmission transmission;
  RunKey key;
};

// Settles one choice (a member pointer of Transmission) among the candidates left: when
// every one of them makes the same choice it is read from the scaffold, otherwise the
// fallback's is kept. Candidates that disagree with the result are dropped.
bool settle(std::vector<Candidate>& left, int Transmission::*choice, const Transmission& fallback,
            Transmission& result) {
  const int first = left.front().transmission.*choice;
  const bool same = std::all_of(left.begin(), left.end(), [&](const Candidate& c) {
    return c.transmission.*choice == first;
  });
  result.*choice = same ? first : fallback.*choice;
  left.erase(
      std::remove_if(left.begin(), left.end(),
                     [&](const Candidate& c) { return c.transmission.*choice != result.*choice; }),
      left.end());
  return same;
}

// The best-scoring assignment, each choice settled in the order child, parent A, parent B.
TransmissionDecision choose(std::vector<Candidate> candidates, const Transmission& fallback) {
  RunKey best = candidates.front().key;
  for (const Candidate& c : candidates) best = std::max(best, c.key);
  candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                  [&](const Candidate& c) { return !(c.key == best); }),
                   candidates.end());
  TransmissionDecision decision;
  bool read = settle(candidates, &Transmission::child_from_a, fallback, decision.transmission);
  read = settle(candidates, &Transmission::a_transmits, fallback, decision.transmission) && read;
  read = settle(candidates, &Transmission::b_transmits, fallback, decision.transmission) && read;
  decision.outcome = read ? TransmissionOutcome::kRead : TransmissionOutcome::kTie;
  return decision;
}

TransmissionDecision conflict(const Transmission& fallback) {
  return {fallback, TransmissionOutcome::kConflict};
}

}  // namespace

TransmissionDecision decide_trio_transmission(const HaplotypePair& child, const HaplotypePair& a,
                                              const HaplotypePair& b, int rows, int split) {
  std::vector<Candidate> candidates;
  for (int x = 0; x < 2; ++x) {
    for (int ta = 0; ta < 2; ++ta) {
      for (int tb = 0; tb < 2; ++tb) {
        candidates.push_back({{x, ta, tb},
                              shared_run(child[x], a[ta], rows, split) +
                                  shared_run(child[1 - x], b[tb], rows, split)});
      }
    }
  }
  const Transmission fallback{};
  const TransmissionDecision decision = choose(std::move(candidates), fallback);
  const Transmission& t = decision.transmission;
  if (shared_run(child[t.child_from_a], a[t.a_transmits], rows, split).total == 0 ||
      shared_run(child[1 - t.child_from_a], b[t.b_transmits], rows, split).total == 0) {
    return conflict(fallback);
  }
  return decision;
}

TransmissionDecision decide_duo_transmission(const HaplotypePair& child,
                                             const HaplotypePair& parent, int rows, int split,
                                             int fallback_child) {
  std::vector<Candidate> candidates;
  for (int x = 0; x < 2; ++x) {
    for (int t = 0; t < 2; ++t) {
      candidates.push_back({{x, t, 0}, shared_run(child[x], parent[t], rows, split)});
    }
  }
  const Transmission fallback{fallback_child, 0, 0};
  const TransmissionDecision decision = choose(std::move(candidates), fallback);
  const Transmission& t = decision.transmission;
  if (shared_run(child[t.child_from_a], parent[t.a_transmits], rows, split).total == 0) {
    return conflict(fallback);
  }
  return decision;
}

void TransmissionCounts::add(TransmissionOutcome outcome) {
  switch (outcome) {
    case TransmissionOutcome::kRead:
      ++read;
      break;
    case TransmissionOutcome::kTie:
      ++ties;
      break;
    case TransmissionOutcome::kConflict:
      ++conflicts;
      break;
  }
}
