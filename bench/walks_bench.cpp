// Dimerize samples per second against the plain rejection sampler (whole random walks with
// reversals, all-pairs test, joins tested with a fresh hash set), and enumerated walks per
// second against the plain Visit/Backtrack stack search. Runs are interleaved; medians printed
// with ratios. The plain sampler gets a time budget and shows "—" if it yields no sample.
// Rates are per second of this thread's CPU time: on a shared machine wall time also counts
// the time other processes hold the core.
#include "dimerize.hpp"
#include "enumeration.hpp"
#include "lattice.hpp"

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

namespace {

using vexa::Lattice;
using vexa::LatticeKind;
using vexa::LatticePoint;
using vexa::Rng;
using vexa::Walk;
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double seconds_since(double start) { return cpu_seconds() - start; }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

const char *name(LatticeKind kind) {
  switch (kind) {
  case LatticeKind::Tetrahedral:
    return "tetrahedral";
  case LatticeKind::Fcc:
    return "fcc";
  case LatticeKind::Bcc:
    return "bcc";
  case LatticeKind::Cubic:
    return "cubic";
  }
  return "?";
}

// The plain sampler, step by step as first written: gives up (nullopt) once `deadline` passes.
struct PlainDimerize {
  const Lattice &lattice;
  Rng &rng;
  double deadline; // in cpu_seconds()

  std::optional<Walk> operator()(std::uint64_t n) {
    if (n <= 50) {
      for (std::uint64_t attempt = 0;; ++attempt) {
        if (attempt % 1024 == 0 && cpu_seconds() > deadline) {
          return std::nullopt;
        }
        Walk w = vexa::random_walk(lattice, n, rng);
        if (all_pairs_distinct(w)) {
          return w;
        }
      }
    }
    for (;;) {
      std::optional<Walk> w1 = (*this)(n / 2);
      if (!w1) {
        return std::nullopt;
      }
      std::optional<Walk> w2 = (*this)(n - n / 2 + 1);
      if (!w2) {
        return std::nullopt;
      }
      const LatticePoint joint = w1->back();
      const bool reflect = lattice.kind == LatticeKind::Tetrahedral && vexa::is_odd_site(joint);
      Walk w = *w1;
      for (std::size_t j = 1; j < w2->size(); ++j) {
        w.push_back(reflect ? joint - (*w2)[j] : joint + (*w2)[j]);
      }
      std::unordered_set<LatticePoint, vexa::LatticePointHash> seen;
      seen.reserve(w.size());
      bool repeat = false;
      for (const LatticePoint &p : w) {
        if (!seen.insert(p).second) {
          repeat = true;
          break;
        }
      }
      if (!repeat) {
        return w;
      }
    }
  }

  static bool all_pairs_distinct(const Walk &w) {
    for (std::size_t i = 0; i < w.size(); ++i) {
      for (std::size_t j = i + 1; j < w.size(); ++j) {
        if (w[i] == w[j]) {
          return false;
        }
      }
    }
    return true;
  }
};

// The plain enumeration: explicit Visit/Backtrack stack, linear repeat scan, a neighbour list
// per expanded point, a copy per returned walk. Counts walks; the end points keep the work live.
std::uint64_t plain_enumeration(const Lattice &lattice, std::size_t n, std::int64_t &checksum) {
  struct Backtrack {};
  std::vector<std::variant<LatticePoint, Backtrack>> stack{LatticePoint{}};
  Walk path;
  std::uint64_t count = 0;
  while (!stack.empty()) {
    const auto entry = stack.back();
    stack.pop_back();
    if (std::holds_alternative<Backtrack>(entry)) {
      if (!path.empty()) {
        path.pop_back();
      }
      continue;
    }
    const LatticePoint p = std::get<LatticePoint>(entry);
    path.push_back(p);
    stack.emplace_back(Backtrack{});
    if (std::find(path.begin(), path.end() - 1, p) != path.end() - 1) {
      continue;
    }
    if (path.size() == n) {
      const Walk copy = path;
      checksum += copy.back().x;
      ++count;
      continue;
    }
    const vexa::Neighbours around = vexa::neighbours(lattice, p);
    const std::vector<LatticePoint> list(around.begin(), around.end());
    for (const LatticePoint &q : list) {
      stack.emplace_back(q);
    }
  }
  return count;
}

std::uint64_t fast_enumeration(const Lattice &lattice, std::size_t n, std::int64_t &checksum) {
  vexa::WalkEnumerator enumerator(lattice, n);
  std::uint64_t count = 0;
  while (const Walk *walk = enumerator.next()) {
    checksum += walk->back().x;
    ++count;
  }
  return count;
}

constexpr int ROUNDS = 5;
constexpr double ROUND_SECONDS = 0.25;
constexpr double PLAIN_BUDGET_SECONDS = 2.0;

void bench_dimerize() {
  std::printf("dimerize: samples per CPU second, median of %d interleaved rounds of >= %.2f s;\n"
              "plain sampler budget %.1f s per round, \"—\" when it yields no sample\n\n",
              ROUNDS, ROUND_SECONDS, PLAIN_BUDGET_SECONDS);
  std::printf("%-12s %5s %14s %14s %10s\n", "lattice", "n", "dimerize", "plain", "speed-up");
  std::int64_t checksum = 0;
  for (std::uint64_t n : {50, 100, 200}) {
    for (LatticeKind kind : {LatticeKind::Tetrahedral, LatticeKind::Fcc, LatticeKind::Bcc,
                             LatticeKind::Cubic}) {
      const Lattice lattice = vexa::make_lattice(kind);
      Rng rng(12345 + n);
      std::vector<double> fast_rates;
      std::vector<double> plain_rates;
      bool plain_gave_up = false;
      for (int round = 0; round < ROUNDS; ++round) {
        double start = cpu_seconds();
        std::uint64_t samples = 0;
        do {
          checksum += vexa::dimerize(lattice, n, rng).back().x;
          ++samples;
        } while (seconds_since(start) < ROUND_SECONDS);
        fast_rates.push_back(static_cast<double>(samples) / seconds_since(start));

        if (plain_gave_up) {
          continue;
        }
        start = cpu_seconds();
        PlainDimerize plain{lattice, rng, start + PLAIN_BUDGET_SECONDS};
        samples = 0;
        while (samples == 0 || seconds_since(start) < ROUND_SECONDS) {
          const std::optional<Walk> w = plain(n);
          if (!w) {
            break;
          }
          checksum += w->back().x;
          ++samples;
        }
        if (samples == 0) {
          plain_gave_up = true;
        } else {
          plain_rates.push_back(static_cast<double>(samples) / seconds_since(start));
        }
      }
      const double fast = median(fast_rates);
      if (plain_gave_up) {
        std::printf("%-12s %5llu %14.0f %14s %10s\n", name(kind),
                    static_cast<unsigned long long>(n), fast, "—", "—");
      } else {
        const double plain = median(plain_rates);
        std::printf("%-12s %5llu %14.0f %14.2f %9.0fx\n", name(kind),
                    static_cast<unsigned long long>(n), fast, plain, fast / plain);
      }
      std::fflush(stdout);
    }
  }
  std::printf("(checksum %lld)\n\n", static_cast<long long>(checksum));
}

void bench_enumeration() {
  const Lattice cubic = vexa::make_lattice(LatticeKind::Cubic);
  std::int64_t checksum = 0;
  std::printf("enumeration on cubic: walks per CPU second, median of 3 interleaved runs\n\n");
  std::printf("%5s %12s %14s %14s %10s\n", "n", "walks", "enumerator", "plain", "speed-up");
  {
    constexpr std::size_t n = 11;
    std::vector<double> fast;
    std::vector<double> plain;
    std::uint64_t walks = 0;
    for (int run = 0; run < 3; ++run) {
      double start = cpu_seconds();
      walks = fast_enumeration(cubic, n, checksum);
      fast.push_back(static_cast<double>(walks) / seconds_since(start));
      start = cpu_seconds();
      const std::uint64_t plain_walks = plain_enumeration(cubic, n, checksum);
      plain.push_back(static_cast<double>(plain_walks) / seconds_since(start));
      if (plain_walks != walks) {
        std::printf("walk counts differ: %llu and %llu\n", static_cast<unsigned long long>(walks),
                    static_cast<unsigned long long>(plain_walks));
      }
    }
    std::printf("%5zu %12llu %14.0f %14.0f %9.1fx\n", n, static_cast<unsigned long long>(walks),
                median(fast), median(plain), median(fast) / median(plain));
  }
  {
    constexpr std::size_t n = 12;
    std::vector<double> fast;
    std::uint64_t walks = 0;
    for (int run = 0; run < 3; ++run) {
      const double start = cpu_seconds();
      walks = fast_enumeration(cubic, n, checksum);
      fast.push_back(static_cast<double>(walks) / seconds_since(start));
    }
    std::printf("%5zu %12llu %14.0f %14s %10s\n", n, static_cast<unsigned long long>(walks),
                median(fast), "", "");
  }
  std::printf("(checksum %lld)\n", static_cast<long long>(checksum));
}

} // namespace

int main(int argc, char **argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "dimerize") {
    bench_dimerize();
  }
  if (only.empty() || only == "enumerate") {
    bench_enumeration();
  }
  return 0;
}
