// One timed minimisation per process, so that the peak resident size belongs to it alone:
// `minimize` (bounded memory) or the plain design (every walk kept with its structure and value,
// then a scan), for a contact-energy cost or the RMSD to one or more models, on one lattice.
// Prints one line: "<design> <cost> <lattice> n=<n> walks=<w> seconds=<s> walks_per_s=<r>
// peak_rss_kib=<k> digest=<FNV-1a of the result's coordinate bits>", so that runs of the two
// designs can be checked for the very same walk.
#include "enumeration.hpp"
#include "minimize.hpp"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace vexa;

// Walks of n points: OEIS A001412 on cubic, otherwise counted by the enumerator.
std::uint64_t walk_count(LatticeKind kind, std::uint64_t n) {
  constexpr std::uint64_t cubic[] = {1,      6,       30,      150,      726,      3534,     16926,
                                     81390,  387966,  1853886, 8809878,  41934150, 198842742};
  if (kind == LatticeKind::Cubic && n >= 1 && n <= std::size(cubic)) {
    return cubic[n - 1];
  }
  WalkEnumerator walks(make_lattice(kind), n);
  std::uint64_t count = 0;
  while (walks.next() != nullptr) {
    ++count;
  }
  return count;
}

// A 20-letter alphabet with energies of both signs, in the spirit of Miyazawa-Jernigan tables.
ContactEnergyCost contact_cost(std::uint64_t n) {
  const std::u32string letters = U"ACDEFGHIKLMNPQRSTVWY";
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> energy(-7.0, 1.5);
  ContactEnergyTable table;
  for (char32_t a : letters) {
    for (char32_t b : letters) {
      table[a][b] = energy(rng);
    }
  }
  std::string sequence;
  for (std::uint64_t i = 0; i < n; ++i) {
    sequence += static_cast<char>(letters[(i * 7 + 3) % letters.size()]);
  }
  return make_contact_energy_cost(table, sequence, 1, 7.8);
}

// Protein-like models: a helix of 3.8 A steps (1.5 A rise, 100 degrees a residue), each model
// perturbed differently.
GroundTruth models(std::uint64_t n, std::size_t count) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> noise(0.0, 0.8);
  GroundTruth out;
  for (std::size_t k = 0; k < count; ++k) {
    Structure s;
    for (std::uint64_t i = 0; i < n; ++i) {
      const double angle = 100.0 * M_PI / 180.0 * static_cast<double>(i);
      s.push_back({2.3 * std::cos(angle) + noise(rng), 2.3 * std::sin(angle) + noise(rng),
                   1.5 * static_cast<double>(i) + noise(rng)});
    }
    out.push_back(std::move(s));
  }
  return out;
}

double evaluate_contact_only(const CostFunction &cost, std::span<const Vec3> structure) {
  return evaluate_contact_energy(std::get<ContactEnergyCost>(cost), structure);
}

// The design as first written: all candidates kept, then the scan for the first least key.
Structure plain_minimize(std::uint64_t n, const CostFunction &cost, LatticeKind kind,
                         double arc_length, std::uint64_t &walks) {
  const Lattice lattice = make_lattice(kind);
  const double scale = coordinate_scale(lattice, arc_length);
  WalkEnumerator enumerator(lattice, n);
  std::vector<std::pair<Structure, double>> candidates;
  candidates.reserve(4);
  while (const Walk *walk = enumerator.next()) {
    Structure s = to_structure(*walk, scale);
    const double value = std::holds_alternative<RmsdCost>(cost)
                             ? ground_truth_rmsd(std::get<RmsdCost>(cost).ground_truth, s)
                             : evaluate_contact_only(cost, s);
    candidates.emplace_back(std::move(s), value);
  }
  walks = candidates.size();
  std::size_t best = 0;
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    if (total_order_key(candidates[i].second) < total_order_key(candidates[best].second)) {
      best = i;
    }
  }
  return candidates.at(best).first;
}

// Peak resident KiB of this process image (VmHWM starts afresh at exec; ru_maxrss keeps the
// high-water mark of the process that forked it).
long peak_resident_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

std::uint64_t digest(const Structure &s) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const Vec3 &p : s) {
    for (double c : {p.x, p.y, p.z}) {
      h = (h ^ std::bit_cast<std::uint64_t>(c)) * 0x100000001b3ULL;
    }
  }
  return h;
}

LatticeKind lattice_kind(const std::string &word) {
  if (word == "tetrahedral") {
    return LatticeKind::Tetrahedral;
  }
  if (word == "fcc") {
    return LatticeKind::Fcc;
  }
  if (word == "bcc") {
    return LatticeKind::Bcc;
  }
  return LatticeKind::Cubic;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s fast|plain contact|rmsd1|rmsd5 LATTICE N\n", argv[0]);
    return 2;
  }
  const std::string design = argv[1];
  const std::string cost_name = argv[2];
  const LatticeKind kind = lattice_kind(argv[3]);
  const std::uint64_t n = std::strtoull(argv[4], nullptr, 10);
  const auto make_cost = [&]() -> CostFunction {
    if (cost_name == "contact") {
      return contact_cost(n);
    }
    return RmsdCost{prepare_ground_truth(models(n, cost_name == "rmsd5" ? 5 : 1))};
  };
  CostFunction cost = make_cost();
  std::uint64_t walks = 0;
  const auto start = std::chrono::steady_clock::now();
  Structure best;
  if (design == "plain") {
    best = plain_minimize(n, cost, kind, 3.8, walks);
  } else {
    best = minimize(n, std::move(cost), kind, false, 3.8, evaluate_contact_only);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (design != "plain") {
    walks = walk_count(kind, n); // counted after the timing
  }
  std::printf("%s %s %s n=%llu walks=%llu seconds=%.4f walks_per_s=%.0f peak_rss_kib=%ld "
              "digest=%016llx\n",
              design.c_str(), cost_name.c_str(), argv[3], static_cast<unsigned long long>(n),
              static_cast<unsigned long long>(walks), seconds, static_cast<double>(walks) / seconds,
              peak_resident_kib(), static_cast<unsigned long long>(digest(best)));
  return 0;
}
