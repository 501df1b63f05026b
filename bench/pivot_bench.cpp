// Pivot attempts per second: the chain against the plain move (whole tail moved, whole walk
// tested, undone on rejection), interleaved in one run, medians of repetitions printed as
// ratios. A replaced global operator new counts heap allocations per attempt on both.
#include "literal_pivot_chain.hpp"
#include "pivot.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace {
std::uint64_t allocations = 0;
} // namespace

void *operator new(std::size_t size) {
  ++allocations;
  if (void *p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

struct Block {
  double attempts_per_second = 0.0;
  std::uint64_t attempts = 0;
  std::uint64_t allocations = 0;
};

// Runs `step` (which returns how many attempts it made) until `seconds` have passed.
template <class Step> Block timed(double seconds, Step step) {
  Block block;
  const std::uint64_t before = allocations;
  const Clock::time_point start = Clock::now();
  double elapsed = 0.0;
  do {
    block.attempts += step();
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  block.allocations = allocations - before;
  block.attempts_per_second = static_cast<double>(block.attempts) / elapsed;
  return block;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

const char *name(vexa::LatticeKind kind) {
  return kind == vexa::LatticeKind::Cubic ? "cubic" : "tetrahedral";
}

} // namespace

int main(int argc, char **argv) {
  using namespace vexa;
  // Seconds per timed block, and blocks of each side per configuration: short blocks,
  // alternated, so both sides see the same load on a shared machine.
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.05;
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 21;
  struct Config {
    LatticeKind kind;
    std::uint64_t n;
    double target;
  };
  const Config configs[] = {{LatticeKind::Cubic, 100, 8.0},
                            {LatticeKind::Tetrahedral, 100, 8.0},
                            {LatticeKind::Cubic, 1000, 20.0},
                            {LatticeKind::Tetrahedral, 1000, 20.0}};

  std::printf("%-12s %5s %14s %14s %8s %7s %13s %13s\n", "lattice", "n", "chain att/s",
              "plain att/s", "ratio", "target", "chain allocs", "plain allocs");
  bool allocation_free = true;
  for (const Config &c : configs) {
    const Lattice lattice = make_lattice(c.kind);
    Rng chain_rng(42);
    // A large factor makes each sample thousands of attempts, so handing out the walk is
    // noise next to the moves.
    PivotChain chain(lattice, c.n, chain_rng, 10, 2000);
    // The plain move starts from the same thermalised walk.
    Walk walk = chain.next_sample();
    Rng plain_rng(43);

    std::vector<double> chain_rates;
    std::vector<double> plain_rates;
    std::uint64_t chain_attempts = 0;
    std::uint64_t chain_allocs = 0;
    std::uint64_t plain_attempts = 0;
    std::uint64_t plain_allocs = 0;
    for (int rep = 0; rep < repetitions; ++rep) {
      const Block fast = timed(seconds, [&] {
        chain.next_sample();
        return chain.spacing();
      });
      const Block plain = timed(seconds, [&] {
        for (int i = 0; i < 16; ++i) {
          try_pivot(walk, lattice.group, plain_rng);
        }
        return std::uint64_t{16};
      });
      chain_rates.push_back(fast.attempts_per_second);
      plain_rates.push_back(plain.attempts_per_second);
      chain_attempts += fast.attempts;
      chain_allocs += fast.allocations;
      plain_attempts += plain.attempts;
      plain_allocs += plain.allocations;
    }
    const double chain_rate = median(chain_rates);
    const double plain_rate = median(plain_rates);
    std::printf("%-12s %5llu %14.0f %14.0f %7.1fx %6.0fx %13.4f %13.4f\n", name(c.kind),
                static_cast<unsigned long long>(c.n), chain_rate, plain_rate,
                chain_rate / plain_rate, c.target,
                static_cast<double>(chain_allocs) / static_cast<double>(chain_attempts),
                static_cast<double>(plain_allocs) / static_cast<double>(plain_attempts));
    std::printf("%-12s %5s chain: %llu allocations in %llu attempts\n", "", "",
                static_cast<unsigned long long>(chain_allocs),
                static_cast<unsigned long long>(chain_attempts));
    allocation_free = allocation_free && chain_allocs == 0;
  }
  if (!allocation_free) {
    std::printf("FAIL: the chain allocated while sampling\n");
    return 1;
  }
  return 0;
}
