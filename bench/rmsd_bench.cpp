// RMSD speed in C++, without the interpreter: kabsch_rmsd (one model) and ground_truth_rmsd
// (1 and 10 models) at n = 20, 100, 1000 on off-lattice chains against moved, perturbed copies,
// beside kabsch_rmsd_reference (the same computation through Eigen's JacobiSVD). Prints medians
// of interleaved rounds in nanoseconds per call and their ratio.
//
//   rmsd_bench [rounds]                  the timings (default 15 rounds)
//   rmsd_bench callgrind WHICH N COUNT [avx2]   COUNT calls only, WHICH one of kabsch,
//     reference or ground_truth (10 models), on the SSE2 path unless avx2 is given (valgrind
//     3.19 stops on the AVX2 code: count that one with perf stat -e instructions:u). The
//     instructions per call are the difference between two COUNTs, divided.
#include "rmsd.hpp"
#include "rng.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

double unit(vexa::Rng &rng) { return static_cast<double>(rng.next_u64() >> 11) * 0x1p-53; }

double normal(vexa::Rng &rng) {
  // Box-Muller; one value per call is enough here.
  const double u = 1.0 - unit(rng);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * unit(rng));
}

vexa::Structure chain(vexa::Rng &rng, std::size_t n) {
  vexa::Structure s(n);
  for (std::size_t i = 1; i < n; ++i) {
    const double x = normal(rng), y = normal(rng), z = normal(rng);
    const double scale = 3.8 / std::sqrt(x * x + y * y + z * z);
    s[i] = {s[i - 1].x + scale * x, s[i - 1].y + scale * y, s[i - 1].z + scale * z};
  }
  return s;
}

// A copy turned about z, shifted and perturbed by unit noise: an ensemble member.
vexa::Structure perturbed(vexa::Rng &rng, const vexa::Structure &s) {
  const double angle = 6.283185307179586 * unit(rng);
  const double c = std::cos(angle), sn = std::sin(angle);
  vexa::Structure out;
  for (const vexa::Vec3 &p : s) {
    out.push_back({c * p.x - sn * p.y + 5.0 + normal(rng), sn * p.x + c * p.y - 2.0 + normal(rng),
                   p.z + 1.0 + normal(rng)});
  }
  return out;
}

struct Workload {
  vexa::Structure structure;
  vexa::GroundTruth models;
  vexa::PreparedGroundTruth prepared;
};

Workload make_workload(std::size_t n, std::size_t k) {
  vexa::Rng rng(n * 31 + k);
  Workload w;
  w.structure = chain(rng, n);
  const vexa::Structure base = chain(rng, n);
  for (std::size_t i = 0; i < k; ++i) {
    w.models.push_back(perturbed(rng, base));
  }
  w.prepared = vexa::prepare_ground_truth(w.models);
  return w;
}

double sink = 0.0;
vexa::RmsdPath measured_path = vexa::RmsdPath::Sse2;

[[gnu::noinline]] double measured_kabsch(const Workload &w) {
  return vexa::kabsch_rmsd(w.structure, w.models[0], measured_path);
}
[[gnu::noinline]] double measured_reference(const Workload &w) {
  return vexa::kabsch_rmsd_reference(w.structure, w.models[0]);
}
[[gnu::noinline]] double measured_ground_truth(const Workload &w) {
  return vexa::ground_truth_rmsd(w.prepared, w.structure, measured_path);
}

double reference_minimum(const Workload &w) {
  double best = 0.0;
  for (std::size_t i = 0; i < w.models.size(); ++i) {
    const double x = vexa::kabsch_rmsd_reference(w.structure, w.models[i]);
    best = i == 0 || x < best ? x : best;
  }
  return best;
}

double seconds_per_call(const std::function<double()> &fn, long loops) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < loops; ++i) {
    sink += fn();
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(loops);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int run_timings(int rounds) {
  std::printf("%-28s %6s %4s %12s %12s %8s %10s\n", "workload", "n", "k", "vexa ns", "eigen ns",
              "ratio", "max rel");
  for (const std::size_t n : {20u, 100u, 1000u}) {
    for (const std::size_t k : {1u, 10u}) {
      const Workload w = make_workload(n, k);
      const std::function<double()> fast = [&] {
        return k == 1 ? vexa::kabsch_rmsd(w.structure, w.models[0])
                      : vexa::ground_truth_rmsd(w.prepared, w.structure);
      };
      const std::function<double()> reference = [&] {
        return k == 1 ? vexa::kabsch_rmsd_reference(w.structure, w.models[0])
                      : reference_minimum(w);
      };
      const double difference = std::fabs(fast() - reference()) / reference();
      // About 2 ms per timed run.
      const long loops = std::max(1L, static_cast<long>(2e-3 / seconds_per_call(reference, 50)));
      std::vector<double> fast_times, reference_times;
      for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
          fast_times.push_back(seconds_per_call(fast, loops));
          reference_times.push_back(seconds_per_call(reference, loops));
        } else {
          reference_times.push_back(seconds_per_call(reference, loops));
          fast_times.push_back(seconds_per_call(fast, loops));
        }
      }
      const double f = median(fast_times), e = median(reference_times);
      std::printf("%-28s %6zu %4zu %12.1f %12.1f %7.2fx %10.2e\n",
                  k == 1 ? "kabsch_rmsd" : "ground_truth_rmsd", n, k, f * 1e9, e * 1e9, e / f,
                  difference);
    }
  }
  return sink == 12345.0 ? 1 : 0; // keeps the results alive
}

} // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "callgrind") == 0) {
    if (argc != 5 && argc != 6) {
      std::fprintf(stderr,
                   "usage: rmsd_bench callgrind kabsch|reference|ground_truth N COUNT [avx2]\n");
      return 2;
    }
    if (argc == 6 && std::strcmp(argv[5], "avx2") == 0) {
      measured_path = vexa::RmsdPath::Avx2;
    }
    const std::string which = argv[2];
    const auto n = static_cast<std::size_t>(std::atol(argv[3]));
    const long count = std::atol(argv[4]);
    const Workload w = make_workload(n, which == "ground_truth" ? 10 : 1);
    for (long i = 0; i < count; ++i) {
      sink += which == "kabsch"      ? measured_kabsch(w)
              : which == "reference" ? measured_reference(w)
                                     : measured_ground_truth(w);
    }
    std::printf("%.17g\n", sink / static_cast<double>(count));
    return 0;
  }
  return run_timings(argc >= 2 ? std::atoi(argv[1]) : 15);
}
