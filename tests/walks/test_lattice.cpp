// Lattices: step tables and the neighbour rule (tetrahedral sublattices included), step length,
// coordinate scale and the random walk.
#include "lattice.hpp"
#include "walk_checks.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

namespace vexa {
namespace {

using testing_support::ALL_KINDS;
using testing_support::describe;
using testing_support::is_lattice_walk;
using testing_support::kind_name;

constexpr std::int32_t MAX = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t MIN = std::numeric_limits<std::int32_t>::min();

TEST(Lattice, NeighboursInStepOrder) {
  struct Case {
    const char *name;
    LatticeKind kind;
    LatticePoint p;
    std::vector<LatticePoint> expected;
  };
  // Step tables in their fixed order; the tetrahedral cases are the worked examples for the
  // even origin, the odd site (1, -1, 1) and the negative odd sum -1.
  const Case cases[] = {
      {"tetrahedral origin", LatticeKind::Tetrahedral, {0, 0, 0},
       {{-1, 1, 1}, {1, -1, 1}, {1, 1, -1}, {-1, -1, -1}}},
      {"tetrahedral odd sum 1", LatticeKind::Tetrahedral, {1, -1, 1},
       {{2, -2, 0}, {0, 0, 0}, {0, -2, 2}, {2, 0, 2}}},
      {"tetrahedral odd sum -1", LatticeKind::Tetrahedral, {-1, 0, 0},
       {{0, -1, -1}, {-2, 1, -1}, {-2, -1, 1}, {0, 1, 1}}},
      {"tetrahedral odd sum -3", LatticeKind::Tetrahedral, {-1, -1, -1},
       {{0, -2, -2}, {-2, 0, -2}, {-2, -2, 0}, {0, 0, 0}}},
      {"tetrahedral even sum -2", LatticeKind::Tetrahedral, {-2, 0, 0},
       {{-3, 1, 1}, {-1, -1, 1}, {-1, 1, -1}, {-3, -1, -1}}},
      // The sum wraps to -2 in 32 bits: even, so the steps are added.
      {"tetrahedral wrapped even sum", LatticeKind::Tetrahedral, {MAX, MAX, 0},
       {{MAX - 1, MIN, 1}, {MIN, MAX - 1, 1}, {MIN, MIN, -1}, {MAX - 1, MAX - 1, -1}}},
      {"cubic (5, 5, 5)", LatticeKind::Cubic, {5, 5, 5},
       {{6, 5, 5}, {5, 6, 5}, {5, 5, 6}, {4, 5, 5}, {5, 4, 5}, {5, 5, 4}}},
      {"cubic odd site is not mirrored", LatticeKind::Cubic, {1, 0, 0},
       {{2, 0, 0}, {1, 1, 0}, {1, 0, 1}, {0, 0, 0}, {1, -1, 0}, {1, 0, -1}}},
      {"fcc origin", LatticeKind::Fcc, {0, 0, 0},
       {{1, 1, 0}, {1, -1, 0}, {1, 0, 1}, {1, 0, -1}, {-1, 1, 0}, {-1, -1, 0}, {-1, 0, 1},
        {-1, 0, -1}, {0, 1, 1}, {0, 1, -1}, {0, -1, 1}, {0, -1, -1}}},
      {"bcc (1, 0, 0)", LatticeKind::Bcc, {1, 0, 0},
       {{2, 1, 1}, {0, 1, 1}, {2, -1, 1}, {2, 1, -1}, {2, -1, -1}, {0, 1, -1}, {0, -1, 1},
        {0, -1, -1}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Neighbours result = neighbours(make_lattice(c.kind), c.p);
    ASSERT_EQ(result.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(result[i], c.expected[i]) << "entry " << i << " is " << describe(result[i]);
    }
  }
}

// Being a neighbour is symmetric, the k neighbours are distinct, and on the tetrahedral lattice
// every step changes the sublattice; checked around sites of both parities and signs.
TEST(Lattice, NeighbourRelationIsSymmetric) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    const Lattice lattice = make_lattice(kind);
    for (std::int32_t x = -2; x <= 2; ++x) {
      for (std::int32_t y = -2; y <= 2; ++y) {
        for (std::int32_t z = -2; z <= 2; ++z) {
          const LatticePoint p{x, y, z};
          const Neighbours around = neighbours(lattice, p);
          for (std::size_t i = 0; i < around.size(); ++i) {
            const Neighbours back = neighbours(lattice, around[i]);
            EXPECT_NE(std::find(back.begin(), back.end(), p), back.end())
                << describe(p) << " -> " << describe(around[i]);
            EXPECT_EQ(std::count(around.begin(), around.end(), around[i]), 1);
            if (kind == LatticeKind::Tetrahedral) {
              EXPECT_NE(is_odd_site(p), is_odd_site(around[i]));
            }
          }
        }
      }
    }
  }
}

TEST(Lattice, KindsStepCountsAndGroups) {
  struct Case {
    LatticeKind kind;
    std::size_t k;
    std::size_t group_size;
    double step_length;
  };
  const Case cases[] = {
      {LatticeKind::Tetrahedral, 4, 24, std::sqrt(3.0)},
      {LatticeKind::Fcc, 12, 48, std::sqrt(2.0)},
      {LatticeKind::Bcc, 8, 48, std::sqrt(3.0)},
      {LatticeKind::Cubic, 6, 48, 1.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(kind_name(c.kind));
    const Lattice lattice = make_lattice(c.kind);
    EXPECT_EQ(lattice.kind, c.kind);
    EXPECT_EQ(lattice.steps.size(), c.k);
    EXPECT_EQ(lattice.group.elements.size(), c.group_size);
    EXPECT_EQ(lattice.group.elements.data(),
              c.group_size == 24 ? TETRAHEDRAL_GROUP : OCTAHEDRAL_GROUP);
    // Exact: the squares are summed as small integers, so the root is the correctly rounded one.
    EXPECT_EQ(step_length(lattice), c.step_length);
    EXPECT_EQ(coordinate_scale(lattice, 3.8), 3.8 / c.step_length);
    EXPECT_EQ(coordinate_scale(lattice, 0.0), 0.0);
  }
}

TEST(Lattice, ShortRandomWalksDrawNothing) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    Rng rng(11);
    Rng untouched(11);
    EXPECT_TRUE(random_walk(make_lattice(kind), 0, rng).empty());
    EXPECT_EQ(random_walk(make_lattice(kind), 1, rng), Walk{LatticePoint{}});
    EXPECT_EQ(rng.next_u64(), untouched.next_u64());
  }
}

TEST(Lattice, RandomWalkTakesNeighbourSteps) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    const Lattice lattice = make_lattice(kind);
    Rng rng(5);
    for (std::uint64_t n : {2, 3, 17, 200}) {
      const Walk walk = random_walk(lattice, n, rng);
      EXPECT_EQ(walk.size(), n);
      EXPECT_TRUE(is_lattice_walk(lattice, walk));
    }
    Rng a(99);
    Rng b(99);
    EXPECT_EQ(random_walk(lattice, 40, a), random_walk(lattice, 40, b));
  }
}

// Every step is uniform over the k neighbours, reversals included: the second and third
// points of 3-point walks hit each of the k and k * k outcomes equally often.
TEST(Lattice, RandomWalkStepsAreUniform) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    const Lattice lattice = make_lattice(kind);
    const std::size_t k = lattice.steps.size();
    Rng rng(2024);
    std::map<std::pair<std::size_t, std::size_t>, int> counts;
    const int per_cell = 400;
    const int draws = static_cast<int>(k * k) * per_cell;
    int reversals = 0;
    for (int i = 0; i < draws; ++i) {
      const Walk walk = random_walk(lattice, 3, rng);
      const Neighbours first = neighbours(lattice, walk[0]);
      const Neighbours second = neighbours(lattice, walk[1]);
      const auto a = static_cast<std::size_t>(std::find(first.begin(), first.end(), walk[1]) -
                                              first.begin());
      const auto b = static_cast<std::size_t>(std::find(second.begin(), second.end(), walk[2]) -
                                              second.begin());
      ASSERT_LT(a, k);
      ASSERT_LT(b, k);
      ++counts[{a, b}];
      reversals += walk[2] == walk[0] ? 1 : 0;
    }
    ASSERT_EQ(counts.size(), k * k);
    double chi2 = 0.0;
    for (const auto &[cell, count] : counts) {
      chi2 += (count - per_cell) * (count - per_cell) / static_cast<double>(per_cell);
    }
    // chi-square with k*k - 1 degrees of freedom (15, 143, 63, 35): mean df, sd sqrt(2 df);
    // df + 6 sd is far beyond any fixed-seed fluctuation but far below a biased draw.
    const double df = static_cast<double>(k * k - 1);
    EXPECT_LT(chi2, df + 6.0 * std::sqrt(2.0 * df));
    EXPECT_NEAR(reversals, draws / static_cast<int>(k), 6.0 * std::sqrt(draws / double(k)));
  }
}

} // namespace
} // namespace vexa
