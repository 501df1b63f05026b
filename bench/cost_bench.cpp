// Cost evaluation speed: the contact-energy sum against the same sum written with a square
// root per pair (n = 50, 100, 300), and a trivial Lua cost (n = 50). Prints medians of
// interleaved rounds, their ratio, and "RESULT\t" lines (workload, size, vexa seconds, baseline
// name, baseline seconds) for bench/run.
//
//   cost_bench [rounds]                        the timings (default 15 rounds)
//   cost_bench callgrind fast|literal N COUNT  COUNT evaluations only, for
//     valgrind --tool=callgrind --toggle-collect='*contact_energy*' (instructions per call)
#include "cost.hpp"
#include "rng.hpp"
#include "stop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double arc_length = 3.8;
constexpr char amino_acids[] = "ACDEFGHIKLMNPQRSTVWY";
constexpr std::size_t structure_count = 64;

double unit(vexa::Rng &rng) { return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53; }

// Cubic random walks scaled by the bond length: lattice spacing, the contact density of real
// samples (a few neighbours within dmax), and the same structures on every run.
std::vector<vexa::Structure> make_structures(std::size_t n, vexa::Rng &rng) {
  std::vector<vexa::Structure> structures(structure_count, vexa::Structure(n));
  for (auto &s : structures) {
    int p[3] = {0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
      s[i] = {arc_length * p[0], arc_length * p[1], arc_length * p[2]};
      const auto step = rng.below(6);
      p[step / 2] += step % 2 == 0 ? 1 : -1;
    }
  }
  return structures;
}

vexa::ContactEnergyCost make_cost(std::size_t n, vexa::Rng &rng) {
  vexa::ContactEnergyTable table;
  for (const char a : std::string(amino_acids)) {
    for (const char b : std::string(amino_acids)) {
      table[static_cast<char32_t>(a)][static_cast<char32_t>(b)] = -1.0 + 1.5 * unit(rng);
    }
  }
  std::string sequence(n, 'A');
  for (char &c : sequence) {
    c = amino_acids[rng.below(20)];
  }
  return vexa::make_contact_energy_cost(table, sequence, 1, 7.8);
}

// The sum as first written: a square root per pair compared with dmax.
[[gnu::noinline]] double literal_contact_energy(const vexa::ContactEnergyCost &cost,
                                                const vexa::Structure &s) {
  double sum = 0.0;
  std::size_t i = 0;
  for (std::size_t j = 0; j < s.size(); ++j) {
    for (std::size_t k = j + cost.kmin; k < s.size(); ++k) {
      const double dx = s[j].x - s[k].x;
      const double dy = s[j].y - s[k].y;
      const double dz = s[j].z - s[k].z;
      const double distance = std::sqrt((dx * dx + dy * dy) + dz * dz);
      if (cost.dmax >= distance) {
        sum += cost.pair_energies[i];
      }
      ++i;
    }
  }
  return sum;
}

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

volatile double sink = 0.0; // keeps every evaluation observable

// Seconds per evaluation over `repeats` passes through the structures.
template <typename Evaluate>
double time_per_evaluation(const std::vector<vexa::Structure> &structures, std::size_t repeats,
                           Evaluate evaluate) {
  const auto start = Clock::now();
  double total = 0.0;
  for (std::size_t r = 0; r < repeats; ++r) {
    for (const auto &s : structures) {
      total += evaluate(s);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sink = sink + total;
  return seconds / static_cast<double>(repeats * structures.size());
}

int callgrind_mode(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: cost_bench callgrind fast|literal N COUNT\n");
    return 2;
  }
  const bool fast = std::strcmp(argv[2], "fast") == 0;
  const auto n = static_cast<std::size_t>(std::atol(argv[3]));
  const auto count = static_cast<std::size_t>(std::atol(argv[4]));
  vexa::Rng rng(7);
  const auto structures = make_structures(n, rng);
  const auto cost = make_cost(n, rng);
  double total = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto &s = structures[i % structures.size()];
    total += fast ? vexa::evaluate_contact_energy(cost, s) : literal_contact_energy(cost, s);
  }
  std::printf("%zu evaluations, checksum %.17g\n", count, total);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && std::strcmp(argv[1], "callgrind") == 0) {
    return callgrind_mode(argc, argv);
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;

  std::printf("contact-energy evaluation (kmin 1, dmax 7.8, %zu cubic random walks x 3.8)\n",
              structure_count);
  std::printf("%6s %16s %16s %8s\n", "n", "fast eval/s", "literal eval/s", "ratio");
  for (const std::size_t n : {50U, 100U, 300U}) {
    vexa::Rng rng(1000 + n);
    const auto structures = make_structures(n, rng);
    const auto cost = make_cost(n, rng);
    for (const auto &s : structures) { // the two must agree bit for bit before they race
      const double a = vexa::evaluate_contact_energy(cost, s);
      const double b = literal_contact_energy(cost, s);
      if (std::memcmp(&a, &b, sizeof a) != 0) {
        std::fprintf(stderr, "n = %zu: fast %.17g differs from literal %.17g\n", n, a, b);
        return 1;
      }
    }
    // About 4 ms per contender per round whatever n is.
    const std::size_t repeats = std::max<std::size_t>(1, 60000 / (n * n));
    std::vector<double> fast;
    std::vector<double> literal;
    for (int r = 0; r < rounds; ++r) { // interleaved, alternating who goes first
      const auto run_fast = [&] {
        fast.push_back(time_per_evaluation(structures, repeats, [&](const vexa::Structure &s) {
          return vexa::evaluate_contact_energy(cost, s);
        }));
      };
      const auto run_literal = [&] {
        literal.push_back(time_per_evaluation(
            structures, repeats, [&](const vexa::Structure &s) {
              return literal_contact_energy(cost, s);
            }));
      };
      if (r % 2 == 0) {
        run_fast();
        run_literal();
      } else {
        run_literal();
        run_fast();
      }
    }
    const double f = median(fast);
    const double l = median(literal);
    std::printf("%6zu %16.0f %16.0f %7.2fx\n", n, 1.0 / f, 1.0 / l, l / f);
    std::printf("RESULT\tcontact-energy cost per structure\tn=%zu\t%.6e\tsqrt per pair\t%.6e\n",
                n, f, l);
  }

  {
    constexpr std::size_t n = 50;
    vexa::Rng rng(50);
    const auto structures = make_structures(n, rng);
    const vexa::LuaCost cost =
        vexa::make_lua_cost("f", "function f(seq, coordinates) return 0 end", std::string(n, 'A'));
    std::vector<double> lua;
    for (int r = 0; r < rounds; ++r) {
      lua.push_back(time_per_evaluation(structures, 20, [&](const vexa::Structure &s) {
        return vexa::evaluate_lua_cost(cost, s);
      }));
    }
    const double t = median(lua);
    std::printf("Lua cost (trivial function), n = %zu: %.0f eval/s\n", n, 1.0 / t);
    std::printf("RESULT\tLua cost per structure (trivial function)\tn=%zu\t%.6e\t-\t-\n", n, t);
  }
  return 0;
}
