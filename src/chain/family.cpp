#include "chain/family.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

#include "chain/probs.h"

namespace {

double transmission(int child_allele, int parent_allele) {
  return child_allele == parent_allele ? kTransmissionKept : kTransmissionBroken;
}

// The same as factors, 10^weight.
const double kTransmissionKeptFactor = std::pow(10.0, kTransmissionKept);
const double kTransmissionBrokenFactor = std::pow(10.0, kTransmissionBroken);

double transmission_factor(int child_allele, int parent_allele) {
  return child_allele == parent_allele ? kTransmissionKeptFactor : kTransmissionBrokenFactor;
}

// The log10 weight of a configuration's transmissions: the child's haplotype from each
// present parent against that parent's transmitted haplotype (alleles: child pair, parent A
// pair, parent B pair; b null for a duo).
double transmission_weight(const int* child, const int* a, const int* b, const Transmission& t) {
  double weight = transmission(child[t.child_from_a], a[t.a_transmits]);
  if (b != nullptr) weight += transmission(child[1 - t.child_from_a], b[t.b_transmits]);
  return weight;
}

double transmission_product(const int* child, const int* a, const int* b, const Transmission& t) {
  double factor = transmission_factor(child[t.child_from_a], a[t.a_transmits]);
  if (b != nullptr) factor *= transmission_factor(child[1 - t.child_from_a], b[t.b_transmits]);
  return factor;
}

std::array<double, 3> member_likelihoods(const std::vector<double>& site_pls, int sample) {
  return genotype_likelihoods(&site_pls[3 * static_cast<std::size_t>(sample - 1)]);
}

std::array<double, 4> log10_priors(const MemberPriors& priors) {
  return {std::log10(priors[0]), std::log10(priors[1]), std::log10(priors[2]),
          std::log10(priors[3])};
}

// Normalises a joint of products in place; false when its sum is below the normal range
// (digits lost to underflow), for the caller to take it in log10 instead. Every factor is
// at most 1, so nothing overflows.
bool normalise_products(double* joint, int count) {
  double sum = 0.0;
  for (int j = 0; j < count; ++j) sum += joint[j];
  if (!(sum >= std::numeric_limits<double>::min())) return false;
  // Divided, not scaled by 1 / sum: x (1 / x) can round below 1, and a certain
  // configuration must keep probability 1 so that a draw of u = 1 stays in it.
  for (int j = 0; j < count; ++j) joint[j] /= sum;
  return true;
}

double phred(const std::vector<double>& site_pls, int sample, int dosage) {
  return site_pls[3 * static_cast<std::size_t>(sample - 1) + static_cast<std::size_t>(dosage)];
}

// Sums the joint over each class's rows.
template <std::size_t Rows>
std::array<double, 4> marginal(const double* joint,
                               const std::array<std::array<int, Rows>, 4>& class_rows) {
  std::array<double, 4> p{};
  for (int c = 0; c < 4; ++c) {
    for (const int row : class_rows[c]) p[c] += joint[row];
  }
  return p;
}

}  // namespace

template <std::size_t Members>
void draw_unit_members(const std::array<int, Members>& samples,
                       const UnitMarginals<Members>& marginals, const AlleleWriter& write_allele,
                       RandomSource& random, double* record) {
  for (std::size_t i = 0; i < Members; ++i) {
    const std::array<double, 4>& p = marginals[i];
    const int drawn = draw_class(p, random.uniform());
    const int column = 2 * (samples[i] - 1);
    write_allele(column, kFirstAllele[drawn]);
    write_allele(column + 1, kSecondAllele[drawn]);
    if (record != nullptr) {
      std::copy(p.begin(), p.end(), record + 4 * static_cast<std::size_t>(samples[i] - 1));
    }
  }
}
template void draw_unit_members<2>(const std::array<int, 2>&, const UnitMarginals<2>&,
                                   const AlleleWriter&, RandomSource&, double*);
template void draw_unit_members<3>(const std::array<int, 3>&, const UnitMarginals<3>&,
                                   const AlleleWriter&, RandomSource&, double*);

int phased_class(int first, int second) {
  if (first == second) return first;
  return first == 0 ? 2 : 3;
}

FamilyTables build_family_tables() {
  FamilyTables t;
  std::array<int, 4> filled_child{};
  std::array<int, 4> filled_parent{};
  for (int j = 0; j < 16; ++j) {
    const int c1 = (j >> 3) & 1, c2 = (j >> 2) & 1, p1 = (j >> 1) & 1, p2 = j & 1;
    t.duo_configurations[j] = {c1, c2, p1, p2, c1 + c2, p1 + p2};
    const int child = phased_class(c1, c2);
    const int parent = phased_class(p1, p2);
    t.Dchild_gen[child][filled_child[child]++] = j;
    t.Dpar1_gen[parent][filled_parent[parent]++] = j;
  }
  std::array<int, 4> filled_a{};
  std::array<int, 4> filled_b{};
  filled_child = {};
  for (int j = 0; j < 64; ++j) {
    const int c1 = (j >> 5) & 1, c2 = (j >> 4) & 1, a1 = (j >> 3) & 1, a2 = (j >> 2) & 1;
    const int b1 = (j >> 1) & 1, b2 = j & 1;
    t.trio_configurations[j] = {c1, c2, a1, a2, b1, b2, c1 + c2, a1 + a2, b1 + b2};
    const int child = phased_class(c1, c2);
    const int a = phased_class(a1, a2);
    const int b = phased_class(b1, b2);
    t.Tchild_gen[child][filled_child[child]++] = j;
    t.Tpar1_gen[a][filled_a[a]++] = j;
    t.Tpar2_gen[b][filled_b[b]++] = j;
  }
  return t;
}

void normalise_joint(const double* scores, int count, double* joint) {
  double shift = kJointShiftFloor;
  for (int j = 0; j < count; ++j) shift = std::max(shift, scores[j]);
  double sum = 0.0;
  for (int j = 0; j < count; ++j) sum += joint[j] = std::pow(10.0, scores[j] - shift);
  if (!(sum > 0.0)) {
    // Every score lies far below the floor: shift by the largest score instead, which
    // keeps the ratios and avoids dividing by zero.
    shift = *std::max_element(scores, scores + count);
    sum = 0.0;
    for (int j = 0; j < count; ++j) sum += joint[j] = std::pow(10.0, scores[j] - shift);
  }
  for (int j = 0; j < count; ++j) joint[j] /= sum;
}

void Post_trio::set_site_weights(const FamilyTables& tables, const std::vector<double>& site_pls,
                                 int child, int parent_a, int parent_b) {
  const std::array<double, 3> child_factors = member_likelihoods(site_pls, child);
  const std::array<double, 3> a_factors = member_likelihoods(site_pls, parent_a);
  const std::array<double, 3> b_factors = member_likelihoods(site_pls, parent_b);
  for (int j = 0; j < 64; ++j) {
    const std::array<int, 9>& row = tables.trio_configurations[j];
    site_weights[j] =
        transmission_weight(&row[0], &row[2], &row[4], transmission) -
        (phred(site_pls, child, row[6]) / 10 + phred(site_pls, parent_a, row[7]) / 10 +
         phred(site_pls, parent_b, row[8]) / 10);
    site_factors[j] = transmission_product(&row[0], &row[2], &row[4], transmission) *
                      child_factors[row[6]] * a_factors[row[7]] * b_factors[row[8]];
  }
}

UnitMarginals<3> Post_trio::marginals(const MemberPriors& priors_a, const MemberPriors& priors_b,
                                      std::array<double, 64>& joint,
                                      const FamilyTables& tables) const {
  for (int j = 0; j < 64; ++j) {
    const std::array<int, 9>& row = tables.trio_configurations[j];
    joint[j] = priors_a[row[2]] * priors_a[2 + row[3]] * priors_b[row[4]] * priors_b[2 + row[5]] *
               site_factors[j];
  }
  if (!normalise_products(joint.data(), 64)) {
    const std::array<double, 4> a = log10_priors(priors_a), b = log10_priors(priors_b);
    std::array<double, 64> scores;
    for (int j = 0; j < 64; ++j) {
      const std::array<int, 9>& row = tables.trio_configurations[j];
      scores[j] = a[row[2]] + a[2 + row[3]] + b[row[4]] + b[2 + row[5]] + site_weights[j];
    }
    normalise_joint(scores.data(), 64, joint.data());
  }
  return {marginal(joint.data(), tables.Tchild_gen), marginal(joint.data(), tables.Tpar1_gen),
          marginal(joint.data(), tables.Tpar2_gen)};
}

void Post_trio::compute_probs_trios(int child, int parent_a, int parent_b,
                                    const MemberPriors& priors_a, const MemberPriors& priors_b,
                                    std::array<double, 64>& joint, const FamilyTables& tables,
                                    const AlleleWriter& write_allele, RandomSource& random,
                                    double* record) const {
  draw_unit_members<3>({child, parent_a, parent_b}, marginals(priors_a, priors_b, joint, tables),
                       write_allele, random, record);
}

void Post_duo::set_site_weights(const FamilyTables& tables, const std::vector<double>& site_pls,
                                int child, int parent) {
  const std::array<double, 3> child_factors = member_likelihoods(site_pls, child);
  const std::array<double, 3> parent_factors = member_likelihoods(site_pls, parent);
  for (int j = 0; j < 16; ++j) {
    const std::array<int, 6>& row = tables.duo_configurations[j];
    site_weights[j] = transmission_weight(&row[0], &row[2], nullptr, transmission) -
                      (phred(site_pls, child, row[4]) / 10 + phred(site_pls, parent, row[5]) / 10);
    site_factors[j] = transmission_product(&row[0], &row[2], nullptr, transmission) *
                      child_factors[row[4]] * parent_factors[row[5]];
  }
}

UnitMarginals<2> Post_duo::marginals(const MemberPriors& priors_child,
                                     const MemberPriors& priors_parent,
                                     std::array<double, 16>& joint,
                                     const FamilyTables& tables) const {
  // Only the child's haplotype that the parent did not give has a model term.
  auto untransmitted = [this](const std::array<int, 6>& row, const std::array<double, 4>& child) {
    return transmission.child_from_a == 0 ? child[2 + row[1]] : child[row[0]];
  };
  for (int j = 0; j < 16; ++j) {
    const std::array<int, 6>& row = tables.duo_configurations[j];
    joint[j] = untransmitted(row, priors_child) * priors_parent[row[2]] *
               priors_parent[2 + row[3]] * site_factors[j];
  }
  if (!normalise_products(joint.data(), 16)) {
    const std::array<double, 4> child = log10_priors(priors_child);
    const std::array<double, 4> parent = log10_priors(priors_parent);
    std::array<double, 16> scores;
    for (int j = 0; j < 16; ++j) {
      const std::array<int, 6>& row = tables.duo_configurations[j];
      scores[j] = untransmitted(row, child) + parent[row[2]] + parent[2 + row[3]] + site_weights[j];
    }
    normalise_joint(scores.data(), 16, joint.data());
  }
  return {marginal(joint.data(), tables.Dchild_gen), marginal(joint.data(), tables.Dpar1_gen)};
}

void Post_duo::compute_probs_duos(const MemberPriors& priors_child,
                                  const MemberPriors& priors_parent, int child, int parent,
                                  std::array<double, 16>& joint, const FamilyTables& tables,
                                  const AlleleWriter& write_allele, RandomSource& random,
                                  double* record) const {
  draw_unit_members<2>({child, parent}, marginals(priors_child, priors_parent, joint, tables),
                       write_allele, random, record);
}

FamilyUnits number_family_units(std::vector<std::vector<int>>& pedigree) {
  FamilyUnits family;
  int duo_count = 0;
  int trio_count = 0;
  for (std::vector<int>& row : pedigree) {
    if (row.size() < 5) row.resize(5, 0);
    if (row[0] == 2) row[4] = duo_count++;
    if (row[0] == 3) row[4] = trio_count++;
  }
  family.duo_posteriors.resize(static_cast<std::size_t>(duo_count));
  family.trio_posteriors.resize(static_cast<std::size_t>(trio_count));
  return family;
}

void list_trio_children(const std::vector<std::vector<int>>& pedigree, FamilyUnits& family) {
  family.trio_children.clear();
  for (const std::vector<int>& row : pedigree) {
    if (row[0] == 3) family.trio_children.push_back(row[1]);
  }
  std::sort(family.trio_children.begin(), family.trio_children.end());
  family.trio_children.erase(std::unique(family.trio_children.begin(), family.trio_children.end()),
                             family.trio_children.end());
}

void set_family_site_weights(const std::vector<std::vector<int>>& pedigree,
                             const std::vector<double>& site_pls, FamilyUnits& family) {
  // The rows never change, so the children listed at the first variant are all of them.
  if (family.trio_children.empty()) list_trio_children(pedigree, family);
  for (const std::vector<int>& row : pedigree) {
    if (row[0] == 3) {
      family.trio_posteriors.at(static_cast<std::size_t>(row[4]))
          .set_site_weights(family.tables, site_pls, row[1], row[2], row[3]);
    } else if (row[0] == 2) {
      family.duo_posteriors.at(static_cast<std::size_t>(row[4]))
          .set_site_weights(family.tables, site_pls, row[1], row[2] >= 1 ? row[2] : row[3]);
    }
  }
}

void decide_family_transmissions(const std::vector<std::vector<int>>& pedigree,
                                 const std::function<const double*(int)>& column, int rows,
                                 int split, FamilyUnits& family) {
  auto haplotypes = [&column](int sample) {
    return HaplotypePair{column(2 * sample - 2), column(2 * sample - 1)};
  };
  for (const std::vector<int>& row : pedigree) {
    TransmissionDecision decision;
    if (row[0] == 3) {
      decision = decide_trio_transmission(haplotypes(row[1]), haplotypes(row[2]),
                                          haplotypes(row[3]), rows, split);
      family.trio_posteriors.at(static_cast<std::size_t>(row[4])).transmission =
          decision.transmission;
    } else if (row[0] == 2) {
      // The pedigree's order: a parent in column 3 gives the child's first haplotype.
      const bool parent_is_a = row[2] >= 1;
      decision =
          decide_duo_transmission(haplotypes(row[1]), haplotypes(parent_is_a ? row[2] : row[3]),
                                  rows, split, parent_is_a ? 0 : 1);
      family.duo_posteriors.at(static_cast<std::size_t>(row[4])).transmission =
          decision.transmission;
    } else {
      continue;
    }
    family.transmission_counts.add(decision.outcome);
  }
}

std::vector<std::array<int, 2>> member_relatives(const std::vector<std::vector<int>>& pedigree,
                                                 int sample_count) {
  std::vector<std::array<int, 2>> relatives(static_cast<std::size_t>(sample_count), {-1, -1});
  auto assign = [&](int sample, int x, int y) {
    relatives.at(static_cast<std::size_t>(sample) - 1) = {x, y};
  };
  for (const std::vector<int>& row : pedigree) {
    if (row[0] == 1) assign(row[1], 0, 0);
    if (row[0] == 2) {
      assign(row[1], row[2], row[3]);
      if (row[2] > 0) assign(row[2], row[1], row[3]);
      if (row[3] > 0) assign(row[3], row[1], row[2]);
    }
    if (row[0] == 3) {
      assign(row[2], row[1], row[3]);
      assign(row[3], row[1], row[2]);
    }
  }
  return relatives;
}
