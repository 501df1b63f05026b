// The pivot chain allocates nothing once built: heap allocations are counted through a
// replaced global operator new, so this file has an executable of its own.
#include "pivot.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
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

namespace vexa {
namespace {

// The counter must see an allocation, or a zero below would prove nothing; the plain move
// allocates its hash set from 100 points on.
TEST(Allocation, CounterSeesThePlainMoveAllocate) {
  const Lattice lattice = make_lattice(LatticeKind::Cubic);
  Walk walk = initial_walk(lattice, 200);
  Rng rng(1);
  const std::uint64_t before = allocations;
  for (int attempt = 0; attempt < 10; ++attempt) {
    try_pivot(walk, lattice.group, rng);
  }
  EXPECT_GT(allocations - before, 0U);
}

TEST(Allocation, ChainAllocatesNothingWhileSampling) {
  for (LatticeKind kind : {LatticeKind::Cubic, LatticeKind::Tetrahedral, LatticeKind::Fcc}) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {2U, 50U, 99U, 100U, 101U, 600U, 2000U}) {
      for (PivotLayout layout : {PivotLayout::SiteIndex, PivotLayout::Tree}) {
        SCOPED_TRACE("lattice " + std::to_string(static_cast<int>(kind)) + " n=" +
                     std::to_string(n) + " layout " + std::to_string(static_cast<int>(layout)));
        Rng rng(n);
        PivotChain chain(lattice, n, rng, 2, 20, layout);
        chain.next_sample();
        std::uint64_t attempts = 0;
        const std::uint64_t before = allocations;
        // Long enough for the site index to fill with dead entries and be rebuilt.
        for (int sample = 0; sample < 200; ++sample) {
          chain.next_sample();
          attempts += chain.spacing();
        }
        const std::uint64_t made = allocations - before;
        EXPECT_GT(attempts, 0U);
        EXPECT_EQ(made, 0U) << "in " << attempts << " attempts";
      }
    }
  }
}

} // namespace
} // namespace vexa
