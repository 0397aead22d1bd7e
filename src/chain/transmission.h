#pragma once

// Which haplotype a child received from each parent, read from the scaffold around one
// variant. A phasing run orders each person's two haplotypes arbitrarily, so the family
// updates cannot assume that a parent's first haplotype is the one it passed on.

#include <array>
#include <cstdint>

// The haplotypes (0 first, 1 second) that carry the transmissions in one window: the
// child's haplotype from parent A (a duo's parent; the other one is from parent B or the
// population) and the haplotype of each parent that the child received.
struct Transmission {
  int child_from_a = 0;
  int a_transmits = 0;
  int b_transmits = 0;

  bool operator==(const Transmission& o) const {
    return child_from_a == o.child_from_a && a_transmits == o.a_transmits &&
           b_transmits == o.b_transmits;
  }
};

// How a decision was made: every choice read from the scaffold; some choice tied (both
// candidates share equally long runs with the child) and kept the pedigree order; or a
// Mendelian conflict in the scaffold (the child's haplotype agrees with neither of a
// parent's at the sites next to the variant), which keeps the pedigree order throughout.
enum class TransmissionOutcome { kRead, kTie, kConflict };

struct TransmissionDecision {
  Transmission transmission;
  TransmissionOutcome outcome = TransmissionOutcome::kRead;
};

// A person's two haplotypes over the window sites (rows values each, 0/1); the variant lies
// between rows split - 1 and split.
using HaplotypePair = std::array<const double*, 2>;

// Trio: parent A's haplotype goes to child haplotype child_from_a, parent B's to the other.
// The pedigree order (child's first from A, each parent's first transmitted) is the
// fallback of every choice.
TransmissionDecision decide_trio_transmission(const HaplotypePair& child, const HaplotypePair& a,
                                              const HaplotypePair& b, int rows, int split);

// Duo: child_from_a is the child's haplotype from the one parent, a_transmits the parent's
// haplotype; fallback_child is the pedigree's choice (0 when the parent is listed in
// column 3, 1 in column 4).
TransmissionDecision decide_duo_transmission(const HaplotypePair& child,
                                             const HaplotypePair& parent, int rows, int split,
                                             int fallback_child);

// Family windows decided per outcome over a run.
struct TransmissionCounts {
  std::int64_t read = 0;
  std::int64_t ties = 0;
  std::int64_t conflicts = 0;

  void add(TransmissionOutcome outcome);
};
