// Where the time of one correlation run goes: the module's own sampling, RMSD, contact-cost and
// rank-correlation functions timed phase by phase on the headline workload (50 residues,
// 10 models, 20 x 20 contact table, 10,000 pivot samples, tetrahedral lattice, factors 100, 10).
// Usage: correlation_split_bench [rounds [instance file]]; the file (written by bench.py) holds
// the sequence, the table's letters and rows, "k n" and the models' points, so both sides
// of bench/run score the same protein. Without it a protein of that size is made up here.
#include "cost.hpp"
#include "lattice.hpp"
#include "pivot.hpp"
#include "rank_correlation.hpp"
#include "rmsd.hpp"
#include "rng.hpp"
#include "walk.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t residues = 50;
constexpr std::uint64_t model_count = 10;
constexpr std::size_t samples = 10000;
constexpr double arc_length = 3.8;
constexpr char amino_acids[] = "ACDEFGHIKLMNPQRSTVWY";

double unit(vexa::Rng &rng) { return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53; }

// An off-lattice chain with steps of arc_length, and noisy copies of it as an NMR-like ensemble.
vexa::GroundTruth make_ground_truth(vexa::Rng &rng) {
  vexa::Structure base(residues);
  for (std::size_t i = 1; i < residues; ++i) {
    double dx = 0, dy = 0, dz = 0, norm = 0;
    while (norm < 1e-3) {
      dx = 2 * unit(rng) - 1;
      dy = 2 * unit(rng) - 1;
      dz = 2 * unit(rng) - 1;
      norm = std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    const double s = arc_length / norm;
    base[i] = {base[i - 1].x + dx * s, base[i - 1].y + dy * s, base[i - 1].z + dz * s};
  }
  vexa::GroundTruth models(model_count, base);
  for (auto &model : models) {
    for (auto &p : model) {
      p = {p.x + 2 * unit(rng) - 1, p.y + 2 * unit(rng) - 1, p.z + 2 * unit(rng) - 1};
    }
  }
  return models;
}

vexa::ContactEnergyTable make_table(vexa::Rng &rng) {
  vexa::ContactEnergyTable table;
  for (const char a : std::string(amino_acids)) {
    for (const char b : std::string(amino_acids)) {
      const double e = -1.0 + 1.5 * unit(rng);
      table[static_cast<char32_t>(a)][static_cast<char32_t>(b)] = e;
      table[static_cast<char32_t>(b)][static_cast<char32_t>(a)] = e;
    }
  }
  return table;
}

// CPU time of this process: on a shared machine wall time mostly measures the other users.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Instance {
  std::string seq;
  vexa::ContactEnergyTable table;
  vexa::GroundTruth models;
};

bool read_instance(const char *path, Instance &out) {
  std::ifstream in(path);
  std::string letters;
  if (!(in >> out.seq >> letters)) {
    return false;
  }
  for (const char a : letters) {
    for (const char b : letters) {
      double e = 0.0;
      if (!(in >> e)) {
        return false;
      }
      out.table[static_cast<char32_t>(a)][static_cast<char32_t>(b)] = e;
    }
  }
  std::size_t k = 0, n = 0;
  if (!(in >> k >> n) || n != out.seq.size()) {
    return false;
  }
  out.models.assign(k, vexa::Structure(n));
  for (auto &model : out.models) {
    for (auto &p : model) {
      if (!(in >> p.x >> p.y >> p.z)) {
        return false;
      }
    }
  }
  return true;
}

Instance make_instance() {
  vexa::Rng rng(42);
  Instance instance;
  instance.models = make_ground_truth(rng);
  instance.table = make_table(rng);
  for (std::uint64_t i = 0; i < residues; ++i) {
    instance.seq += amino_acids[rng.below(20)];
  }
  return instance;
}

} // namespace

int main(int argc, char **argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  Instance instance;
  if (argc > 2) {
    if (!read_instance(argv[2], instance)) {
      std::fprintf(stderr, "cannot read a protein instance from %s\n", argv[2]);
      return 2;
    }
  } else {
    instance = make_instance();
  }
  const std::string &seq = instance.seq;
  const vexa::ContactEnergyTable &table = instance.table;
  const vexa::GroundTruth &models = instance.models;
  const std::uint64_t length = seq.size();
  const vexa::Lattice lattice = vexa::make_lattice(vexa::LatticeKind::Tetrahedral);
  const double scale = vexa::coordinate_scale(lattice, arc_length);

  std::vector<vexa::Structure> structures(samples);
  std::vector<double> rmsds(samples);
  std::vector<double> costs(samples);
  std::vector<double> sampling, rmsd, cost, stats;
  double sink = 0.0;
  for (int r = 0; r < rounds; ++r) {
    vexa::Rng rng(1000 + static_cast<std::uint64_t>(r));
    double start = cpu_seconds();
    vexa::PivotChain chain(lattice, length, rng, 100, 10);
    for (auto &s : structures) {
      vexa::to_structure(chain.next_sample(), scale, s);
    }
    sampling.push_back(cpu_seconds() - start);

    start = cpu_seconds();
    const vexa::PreparedGroundTruth prepared = vexa::prepare_ground_truth(models);
    for (std::size_t i = 0; i < samples; ++i) {
      rmsds[i] = vexa::ground_truth_rmsd(prepared, structures[i]);
    }
    rmsd.push_back(cpu_seconds() - start);

    start = cpu_seconds();
    const vexa::ContactEnergyCost energy = vexa::make_contact_energy_cost(table, seq, 1, 7.8);
    for (std::size_t i = 0; i < samples; ++i) {
      costs[i] = vexa::evaluate_contact_energy(energy, structures[i]);
    }
    cost.push_back(cpu_seconds() - start);

    start = cpu_seconds();
    sink += vexa::rank_correlation(costs, rmsds);
    stats.push_back(cpu_seconds() - start);
  }

  const double phases[] = {median(sampling), median(rmsd), median(cost), median(stats)};
  const char *names[] = {"sampling", "rmsd", "cost", "statistics"};
  double whole = 0.0;
  for (const double t : phases) {
    whole += t;
  }
  std::printf("correlation phases, n=%llu, %zu models, %zu pivot samples (CPU time, median of "
              "%d):\n",
              static_cast<unsigned long long>(length), models.size(), samples, rounds);
  for (int i = 0; i < 4; ++i) {
    std::printf("  %-10s %9.2f ms  %5.1f %%\n", names[i], phases[i] * 1e3,
                100.0 * phases[i] / whole);
  }
  std::printf("  %-10s %9.2f ms   (mean coefficient %.6f)\n", "total", whole * 1e3,
              sink / rounds);
  for (int i = 0; i < 4; ++i) {
    std::printf("RESULT\tsplit_%s\t%zu\t%.6e\t-\t-\n", names[i], samples, phases[i]);
  }
  std::printf("RESULT\tcontact_energy\t%llu\t%.6e\t-\t-\n",
              static_cast<unsigned long long>(length), phases[2] / samples);
  std::printf("RESULT\tground_truth_rmsd_%zu_models\t%llu\t%.6e\t-\t-\n", models.size(),
              static_cast<unsigned long long>(length), phases[1] / samples);
  return 0;
}
