#pragma once

// Joint updates of duos and trios at a bi-allelic variant under Mendelian transmission.
// Which haplotypes carry the transmissions is read from the scaffold per window
// (chain/transmission.h). The joint is a product of the members' allele probabilities and
// each configuration's site factor; where those products underflow it is taken in log10.

#include <array>
#include <functional>
#include <vector>

#include "chain/probs.h"
#include "chain/transmission.h"
#include "util/random_source.h"

// The fixed configuration tables of a run. Duo row j = 8 c1 + 4 c2 + 2 p1 + p2 holds
// [c1, c2, p1, p2, child dosage, parent dosage]; trio row j = 32 c1 + 16 c2 + 8 a1 + 4 a2 +
// 2 b1 + b2 holds [c1, c2, a1, a2, b1, b2, child, parent A, parent B dosages].
struct FamilyTables {
  std::array<std::array<int, 6>, 16> duo_configurations{};
  std::array<std::array<int, 9>, 64> trio_configurations{};
  // Per phased class (0|0, 1|1, 0|1, 1|0), the rows whose member has that class, ascending.
  std::array<std::array<int, 4>, 4> Dchild_gen{};
  std::array<std::array<int, 4>, 4> Dpar1_gen{};
  std::array<std::array<int, 16>, 4> Tchild_gen{};
  std::array<std::array<int, 16>, 4> Tpar1_gen{};
  std::array<std::array<int, 16>, 4> Tpar2_gen{};
};

FamilyTables build_family_tables();

// Phased class of an allele pair: (0,0) 0, (1,1) 1, (0,1) 2, (1,0) 3.
int phased_class(int first, int second);

// One member's allele probabilities under its models: first haplotype 0, first 1, second 0,
// second 1.
using MemberPriors = std::array<double, 4>;

// Sets one haplotype column's allele at the variant; the chain keeps every model's sums
// current through it.
using AlleleWriter = std::function<void(int column, int allele)>;

// Fills joint with the normalised 10^(score - shift) for log10 scores, the shift being the
// largest score but at least kJointShiftFloor. When every power underflows, the shift is the
// largest score.
void normalise_joint(const double* scores, int count, double* joint);

// Each member's class marginal of one joint update, in draw order (a trio: child, parent
// A, parent B; a duo: child, parent).
template <std::size_t Members>
using UnitMarginals = std::array<std::array<double, 4>, Members>;

// Draws each member's class in order from its marginal, writes its two alleles and, when
// record is not null (a 4-per-sample buffer), its marginal. samples: 1-based.
template <std::size_t Members>
void draw_unit_members(const std::array<int, Members>& samples,
                       const UnitMarginals<Members>& marginals, const AlleleWriter& write_allele,
                       RandomSource& random, double* record);

class Post_trio {
 public:
  Transmission transmission;              // of the current window
  std::array<double, 64> site_weights{};  // transmission plus the three members' likelihoods
  // The same as a product, 10^site_weights up to one scale (each member's likelihoods
  // scaled so its likeliest genotype has 1).
  std::array<double, 64> site_factors{};

  // child, parent_a, parent_b: 1-based sample numbers; site_pls: 3 Phred values per sample.
  void set_site_weights(const FamilyTables& tables, const std::vector<double>& site_pls, int child,
                        int parent_a, int parent_b);

  // The joint of the 64 configurations (into joint) and its members' marginals.
  UnitMarginals<3> marginals(const MemberPriors& priors_a, const MemberPriors& priors_b,
                             std::array<double, 64>& joint, const FamilyTables& tables) const;
  // Draws child, parent A, parent B (in that order) from the joint's marginals, writes their
  // alleles and, when record is not null (a 4-per-sample buffer), the three marginals.
  void compute_probs_trios(int child, int parent_a, int parent_b, const MemberPriors& priors_a,
                           const MemberPriors& priors_b, std::array<double, 64>& joint,
                           const FamilyTables& tables, const AlleleWriter& write_allele,
                           RandomSource& random, double* record) const;
};

class Post_duo {
 public:
  Transmission transmission;              // of the current window; parent B's choice is unused
  std::array<double, 16> site_weights{};  // log10, as the trio's
  std::array<double, 16> site_factors{};

  void set_site_weights(const FamilyTables& tables, const std::vector<double>& site_pls, int child,
                        int parent);

  // The joint of the 16 configurations (into joint) and its members' marginals; the
  // child's untransmitted haplotype takes its model's prior.
  UnitMarginals<2> marginals(const MemberPriors& priors_child, const MemberPriors& priors_parent,
                             std::array<double, 16>& joint, const FamilyTables& tables) const;
  // Draws child then parent from the joint's marginals.
  void compute_probs_duos(const MemberPriors& priors_child, const MemberPriors& priors_parent,
                          int child, int parent, std::array<double, 16>& joint,
                          const FamilyTables& tables, const AlleleWriter& write_allele,
                          RandomSource& random, double* record) const;
};

// The family units of a run: tables, one holder per duo and trio row (indexed by slot 4),
// and the trio children whose haplotypes the models may not use.
struct FamilyUnits {
  FamilyTables tables = build_family_tables();
  std::vector<Post_duo> duo_posteriors;
  std::vector<Post_trio> trio_posteriors;
  std::vector<int> trio_children;  // 1-based, each at most once
  std::array<double, 16> duo_joint{};
  std::array<double, 64> trio_joint{};
  TransmissionCounts transmission_counts;  // family windows by how they were decided
};

// Numbers the duo rows and, separately, the trio rows in row order into slot 4 (the rows
// are widened to 5 slots when shorter) and sizes the holders.
FamilyUnits number_family_units(std::vector<std::vector<int>>& pedigree);

// Once per variant: every family's site weights from the likelihoods; trio children join
// trio_children.
// The trio children, each once, ascending: they never serve as reference haplotypes once
// the first variant has been analysed.
void list_trio_children(const std::vector<std::vector<int>>& pedigree, FamilyUnits& family);
void set_family_site_weights(const std::vector<std::vector<int>>& pedigree,
                             const std::vector<double>& site_pls, FamilyUnits& family);

// Once per window: every duo's and trio's transmission from the members' scaffold
// haplotypes, which column(c) gives over the window's rows sites (column 2s - 2 and 2s - 1
// for 1-based sample s; the variant between rows split - 1 and split), counted in
// transmission_counts.
void decide_family_transmissions(const std::vector<std::vector<int>>& pedigree,
                                 const std::function<const double*(int)>& column, int rows,
                                 int split, FamilyUnits& family);

// Per sample, the two relatives (1-based, 0 = none) whose haplotypes its models may not use,
// as each unit's members get their models: a single alone, a duo's child and parent, a trio's
// two parents. A sample in two units keeps its later row's pair; {-1, -1} marks a sample
// that needs no model (a trio child that is in no other unit).
std::vector<std::array<int, 2>> member_relatives(const std::vector<std::vector<int>>& pedigree,
                                                 int sample_count);
