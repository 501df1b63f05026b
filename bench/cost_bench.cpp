// Cost evaluation speed: the contact-energy sum on each vector path this processor has, against
// the same sum written with a square root per pair (n = 50, 100, 300), and a trivial Lua cost
// (n = 50). Prints medians of interleaved rounds, their ratio, and "RESULT\t" lines (workload,
// size, vexa seconds, baseline name, baseline seconds) for bench/run.
//
//   cost_bench [rounds]                   the timings (default 15 rounds)
//   cost_bench callgrind PATH N COUNT     COUNT evaluations only, PATH one of sse2, avx2, avx512,
//     fast (the path chosen at run time) or literal, for valgrind --tool=callgrind
//     --toggle-collect='*measured_evaluation*' (instructions per call; valgrind runs no AVX-512)
//   cost_bench export N FILE              writes the structures and pair energies of size N
//   cost_bench time FILE REPEATS          per path: name, seconds per evaluation over FILE, and
//                                         the sum of one pass; the chosen path last
// The last two serve bench/cost_vs_numpy.py, which times numpy on the same file.
#include "cost.hpp"
#include "rng.hpp"
#include "stop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

bool find_path(const char *name, vexa::ContactPath &path) {
  for (const vexa::ContactPath p : vexa::contact_paths()) {
    if (std::strcmp(vexa::contact_path_name(p), name) == 0) {
      path = p;
      return true;
    }
  }
  return false;
}

// One evaluation, out of line so that callgrind can count exactly this.
[[gnu::noinline]] double measured_evaluation(const vexa::ContactEnergyCost &cost,
                                             const vexa::Structure &s, int path) {
  if (path < 0) {
    return literal_contact_energy(cost, s);
  }
  return vexa::evaluate_contact_energy(cost, s, static_cast<vexa::ContactPath>(path));
}

int callgrind_mode(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: cost_bench callgrind sse2|avx2|avx512|fast|literal N COUNT\n");
    return 2;
  }
  int path = -1;
  if (std::strcmp(argv[2], "fast") == 0) {
    path = static_cast<int>(vexa::contact_paths().back());
  } else if (std::strcmp(argv[2], "literal") != 0) {
    vexa::ContactPath p{};
    if (!find_path(argv[2], p)) {
      std::fprintf(stderr, "path %s is not run by this processor\n", argv[2]);
      return 2;
    }
    path = static_cast<int>(p);
  }
  const auto n = static_cast<std::size_t>(std::atol(argv[3]));
  const auto count = static_cast<std::size_t>(std::atol(argv[4]));
  vexa::Rng rng(7);
  const auto structures = make_structures(n, rng);
  const auto cost = make_cost(n, rng);
  double total = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    total += measured_evaluation(cost, structures[i % structures.size()], path);
  }
  std::printf("%zu evaluations on %s, checksum %.17g\n", count,
              path < 0 ? "literal" : vexa::contact_path_name(static_cast<vexa::ContactPath>(path)),
              total);
  return 0;
}

// File layout, native doubles and 64-bit integers: n, count, kmin, dmax, then count structures
// of n points (x, y, z), then the pair energies.
int export_mode(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: cost_bench export N FILE\n");
    return 2;
  }
  const auto n = static_cast<std::size_t>(std::atol(argv[2]));
  vexa::Rng rng(1000 + n);
  const auto structures = make_structures(n, rng);
  const auto cost = make_cost(n, rng);
  std::ofstream out(argv[3], std::ios::binary);
  const std::uint64_t header[3] = {n, structures.size(), cost.kmin};
  out.write(reinterpret_cast<const char *>(header), sizeof header);
  out.write(reinterpret_cast<const char *>(&cost.dmax), sizeof cost.dmax);
  for (const auto &s : structures) {
    out.write(reinterpret_cast<const char *>(s.data()),
              static_cast<std::streamsize>(s.size() * sizeof(vexa::Vec3)));
  }
  out.write(reinterpret_cast<const char *>(cost.pair_energies.data()),
            static_cast<std::streamsize>(cost.pair_energies.size() * sizeof(double)));
  return out ? 0 : 1;
}

int time_mode(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: cost_bench time FILE REPEATS\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  std::uint64_t header[3] = {};
  double dmax = 0.0;
  in.read(reinterpret_cast<char *>(header), sizeof header);
  in.read(reinterpret_cast<char *>(&dmax), sizeof dmax);
  const std::size_t n = header[0];
  std::vector<vexa::Structure> structures(header[1], vexa::Structure(n));
  for (auto &s : structures) {
    in.read(reinterpret_cast<char *>(s.data()),
            static_cast<std::streamsize>(n * sizeof(vexa::Vec3)));
  }
  vexa::ContactEnergyCost cost;
  cost.kmin = header[2];
  cost.dmax = dmax;
  cost.residue_count = n;
  cost.squared_limit = vexa::contact_limit(dmax);
  cost.pair_energies.resize(cost.kmin >= n ? 0 : (n - cost.kmin) * (n - cost.kmin + 1) / 2);
  in.read(reinterpret_cast<char *>(cost.pair_energies.data()),
          static_cast<std::streamsize>(cost.pair_energies.size() * sizeof(double)));
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  const auto repeats = static_cast<std::size_t>(std::max(1L, std::atol(argv[3])));
  for (const vexa::ContactPath path : vexa::contact_paths()) {
    double checksum = 0.0;
    for (const auto &s : structures) { // warm up, and the sums for the caller to compare
      checksum += vexa::evaluate_contact_energy(cost, s, path);
    }
    const double t = time_per_evaluation(structures, repeats, [&](const vexa::Structure &s) {
      return vexa::evaluate_contact_energy(cost, s, path);
    });
    std::printf("%s %.6e %.17g\n", vexa::contact_path_name(path), t, checksum);
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1 && std::strcmp(argv[1], "callgrind") == 0) {
    return callgrind_mode(argc, argv);
  }
  if (argc > 1 && std::strcmp(argv[1], "export") == 0) {
    return export_mode(argc, argv);
  }
  if (argc > 1 && std::strcmp(argv[1], "time") == 0) {
    return time_mode(argc, argv);
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;

  const auto paths = vexa::contact_paths();
  std::printf("contact-energy evaluation (kmin 1, dmax 7.8, %zu cubic random walks x 3.8), "
              "chosen path %s\n",
              structure_count, vexa::contact_path_name(paths.back()));
  std::printf("%6s", "n");
  for (const vexa::ContactPath path : paths) {
    std::printf(" %14s", (std::string(vexa::contact_path_name(path)) + " eval/s").c_str());
  }
  std::printf(" %16s %8s\n", "literal eval/s", "ratio");
  for (const std::size_t n : {50U, 100U, 300U}) {
    vexa::Rng rng(1000 + n);
    const auto structures = make_structures(n, rng);
    const auto cost = make_cost(n, rng);
    for (const auto &s : structures) { // all must agree bit for bit before they race
      const double b = literal_contact_energy(cost, s);
      for (const vexa::ContactPath path : paths) {
        const double a = vexa::evaluate_contact_energy(cost, s, path);
        if (std::memcmp(&a, &b, sizeof a) != 0) {
          std::fprintf(stderr, "n = %zu: %s %.17g differs from literal %.17g\n", n,
                       vexa::contact_path_name(path), a, b);
          return 1;
        }
      }
    }
    // About 4 ms per contender per round whatever n is.
    const std::size_t repeats = std::max<std::size_t>(1, 60000 / (n * n));
    // Contender i < paths.size() is that path; the last one is the literal loop.
    const std::size_t contenders = paths.size() + 1;
    std::vector<std::vector<double>> times(contenders);
    for (int r = 0; r < rounds; ++r) { // interleaved, the starting contender rotating
      for (std::size_t c = 0; c < contenders; ++c) {
        const std::size_t who = (c + static_cast<std::size_t>(r)) % contenders;
        times[who].push_back(
            time_per_evaluation(structures, repeats, [&](const vexa::Structure &s) {
              return who < paths.size() ? vexa::evaluate_contact_energy(cost, s, paths[who])
                                        : literal_contact_energy(cost, s);
            }));
      }
    }
    std::printf("%6zu", n);
    for (std::size_t c = 0; c < paths.size(); ++c) {
      std::printf(" %14.0f", 1.0 / median(times[c]));
    }
    const double f = median(times[paths.size() - 1]);
    const double l = median(times.back());
    std::printf(" %16.0f %7.2fx\n", 1.0 / l, l / f);
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
