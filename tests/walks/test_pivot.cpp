// The pivot move and the pivot chain: worked moves, exact undo, the draw order, the chain's
// starting walk, thermalisation and spacing, identity with the plain chain, and agreement of
// the sampled distribution with exact enumeration and with dimerization.
#include "dimerize.hpp"
#include "pivot.hpp"
#include "stop.hpp"
#include "walk.hpp"

#include "literal_pivot_chain.hpp"
#include "walk_checks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace vexa {
namespace {

using testing_support::ALL_KINDS;
using testing_support::is_self_avoiding_walk;
using testing_support::kind_name;
using testing_support::LiteralPivotChain;

constexpr PivotLayout LAYOUTS[] = {PivotLayout::SiteIndex, PivotLayout::Tree};

const char *layout_name(PivotLayout layout) {
  return layout == PivotLayout::Tree ? "tree" : layout == PivotLayout::SiteIndex ? "index" : "auto";
}

std::string describe(const Walk &walk) {
  std::ostringstream out;
  for (const LatticePoint &p : walk) {
    out << '(' << p.x << ',' << p.y << ',' << p.z << ')';
  }
  return out.str();
}

Walk rod(std::int32_t n) {
  Walk walk;
  for (std::int32_t i = 0; i < n; ++i) {
    walk.push_back({i, 0, 0});
  }
  return walk;
}

// Matrices written as the image of (x, y, z).
const Matrix3 IDENTITY{};
const Matrix3 MIRROR_X{{-1, 0, 0, 0, 1, 0, 0, 0, 1}};   // (-x, y, z)
const Matrix3 SWAP_XY{{0, 1, 0, 1, 0, 0, 0, 0, 1}};     // (y, x, z)
const Matrix3 HALF_TURN_Z{{-1, 0, 0, 0, -1, 0, 0, 0, 1}}; // (-x, -y, z)

// A walk moved by the plain try_pivot from the starting walk, to give moves something to hit.
Walk tangled_walk(LatticeKind kind, std::uint64_t n, std::uint64_t seed) {
  const Lattice lattice = make_lattice(kind);
  Rng rng(seed);
  Walk walk = initial_walk(lattice, n);
  for (std::uint64_t i = 0; i < 10 * n; ++i) {
    try_pivot(walk, lattice.group, rng);
  }
  return walk;
}

TEST(InitialWalk, WorkedExamples) {
  struct Case {
    LatticeKind kind;
    Walk expected;
  };
  // Fcc and Tetrahedral of 4 points are the documented examples; the others follow from the
  // first step vector, (1, 1, 1) on Bcc and (1, 0, 0) on Cubic.
  const Case cases[] = {
      {LatticeKind::Fcc, {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {3, 3, 0}}},
      {LatticeKind::Tetrahedral, {{0, 0, 0}, {1, -1, 1}, {2, -2, 0}, {3, -3, 1}}},
      {LatticeKind::Bcc, {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}},
      {LatticeKind::Cubic, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}}},
      {LatticeKind::Cubic, {{0, 0, 0}}},
      {LatticeKind::Tetrahedral, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " n=" + std::to_string(c.expected.size()));
    EXPECT_EQ(describe(initial_walk(make_lattice(c.kind), c.expected.size())),
              describe(c.expected));
  }
}

TEST(InitialWalk, IsSelfAvoidingOnEveryLattice) {
  for (LatticeKind kind : ALL_KINDS) {
    for (std::uint64_t n : {2U, 3U, 57U, 300U}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n));
      const Lattice lattice = make_lattice(kind);
      EXPECT_TRUE(is_self_avoiding_walk(lattice, initial_walk(lattice, n), n));
    }
  }
}

TEST(PivotWith, WorkedMoves) {
  struct Case {
    const char *name;
    Walk walk;
    std::size_t k;
    Matrix3 m;
    bool accepted;
    Walk expected;
  };
  const Case cases[] = {
      // Documented cubic cases: the reflected tail point lands on the origin; the swap turns
      // the rod onto the y axis.
      {"cubic reflection hits origin", rod(3), 1, MIRROR_X, false, rod(3)},
      {"cubic swap about origin", rod(3), 0, SWAP_XY, true, {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}}},
      {"identity on a bent walk",
       {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
       1,
       IDENTITY,
       true,
       {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}},
      // The zig-zag's tail about (1, -1, 1): (1, -1, -1) turns onto the origin.
      {"tetrahedral half turn hits origin",
       {{0, 0, 0}, {1, -1, 1}, {2, -2, 0}, {3, -3, 1}},
       1,
       HALF_TURN_Z,
       false,
       {{0, 0, 0}, {1, -1, 1}, {2, -2, 0}, {3, -3, 1}}},
      {"tetrahedral swap about origin",
       {{0, 0, 0}, {1, -1, 1}, {2, -2, 0}, {3, -3, 1}},
       0,
       SWAP_XY,
       true,
       {{0, 0, 0}, {-1, 1, 1}, {-2, 2, 0}, {-3, 3, 1}}},
      // Rods long enough for the hash-set test: the mirrored tail folds back onto the head.
      {"rod of 99 folded back", rod(99), 50, MIRROR_X, false, rod(99)},
      {"rod of 100 folded back", rod(100), 50, MIRROR_X, false, rod(100)},
      {"rod of 150 folded back", rod(150), 1, MIRROR_X, false, rod(150)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Walk walk = c.walk;
    EXPECT_EQ(pivot_with(walk, c.k, c.m), c.accepted);
    EXPECT_EQ(describe(walk), describe(c.expected));
  }
}

TEST(PivotWith, LongRodTurnedAtTheMiddle) {
  Walk walk = rod(120);
  ASSERT_TRUE(pivot_with(walk, 60, SWAP_XY));
  for (std::int32_t j = 0; j < 120; ++j) {
    const LatticePoint expected = j <= 60 ? LatticePoint{j, 0, 0} : LatticePoint{60, j - 60, 0};
    ASSERT_EQ(walk[static_cast<std::size_t>(j)], expected) << "point " << j;
  }
}

// Every pivot index and every group element on tangled walks either side of the 100-point
// switch of the self-avoidance test, against a move and a check written out here.
TEST(PivotWith, AgreesWithDirectComputationForEveryPivotAndElement) {
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {2U, 10U, 99U, 100U, 101U}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n));
      const Walk original = tangled_walk(kind, n, 17 + n);
      int accepted = 0;
      int rejected = 0;
      for (std::size_t k = 0; k + 1 < n; ++k) {
        for (const Matrix3 &m : lattice.group.elements) {
          Walk candidate = original;
          const LatticePoint p = original[k];
          for (std::size_t j = k + 1; j < n; ++j) {
            const std::int64_t d[3] = {original[j].x - p.x, original[j].y - p.y,
                                       original[j].z - p.z};
            std::int64_t moved[3];
            for (int r = 0; r < 3; ++r) {
              moved[r] = m.m[3 * r] * d[0] + m.m[3 * r + 1] * d[1] + m.m[3 * r + 2] * d[2];
            }
            candidate[j] = {static_cast<std::int32_t>(p.x + moved[0]),
                            static_cast<std::int32_t>(p.y + moved[1]),
                            static_cast<std::int32_t>(p.z + moved[2])};
          }
          std::set<std::tuple<int, int, int>> sites;
          for (const LatticePoint &q : candidate) {
            sites.emplace(q.x, q.y, q.z);
          }
          const bool expect_accept = sites.size() == n;
          Walk walk = original;
          const bool got = pivot_with(walk, k, m);
          ASSERT_EQ(got, expect_accept) << "k=" << k;
          ASSERT_EQ(walk, got ? candidate : original) << "k=" << k;
          if (m == IDENTITY) {
            ASSERT_TRUE(got);
          }
          (got ? accepted : rejected) += 1;
        }
      }
      EXPECT_GT(accepted, 0);
      if (n > 2) {
        EXPECT_GT(rejected, 0) << "the fixture exercises no undo";
      }
    }
  }
}

// Two draws per attempt: the pivot index from [0, n - 1), then the element.
TEST(TryPivot, DrawsPivotIndexThenElement) {
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {2U, 10U, 120U}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n));
      Rng drawn(n * 7 + 1);
      Rng replayed(n * 7 + 1);
      Walk walk = initial_walk(lattice, n);
      Walk replay = walk;
      for (int attempt = 0; attempt < 300; ++attempt) {
        const bool got = try_pivot(walk, lattice.group, drawn);
        const auto k = static_cast<std::size_t>(replayed.uniform(0, n - 1));
        const Matrix3 &m = random_element(lattice.group, replayed);
        ASSERT_EQ(got, pivot_with(replay, k, m)) << "attempt " << attempt;
        ASSERT_EQ(walk, replay) << "attempt " << attempt;
      }
      EXPECT_EQ(drawn.next_u64(), replayed.next_u64());
    }
  }
}

TEST(TryPivot, TwoPointWalksAlwaysAcceptAndReachEveryNeighbour) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    const Lattice lattice = make_lattice(kind);
    Rng rng(5);
    Walk walk = initial_walk(lattice, 2);
    std::set<std::tuple<int, int, int>> ends;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      ASSERT_TRUE(try_pivot(walk, lattice.group, rng)) << "attempt " << attempt;
      ASSERT_TRUE(is_self_avoiding_walk(lattice, walk, 2));
      ends.emplace(walk[1].x, walk[1].y, walk[1].z);
    }
    EXPECT_EQ(ends.size(), lattice.steps.size());
  }
}

TEST(TryPivot, FewerThanTwoPointsStops) {
  const Lattice lattice = make_lattice(LatticeKind::Cubic);
  for (std::uint64_t n : {0U, 1U}) {
    SCOPED_TRACE("n=" + std::to_string(n));
    Rng rng(1);
    Walk walk = initial_walk(lattice, n);
    try {
      try_pivot(walk, lattice.group, rng);
      ADD_FAILURE() << "no stop";
    } catch (const Stop &stop) {
      EXPECT_STREQ(stop.what(), "cannot sample empty range");
    }
    EXPECT_EQ(walk, initial_walk(lattice, n));
  }
}

TEST(SaturatingCount, TruncatesAndSaturates) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  constexpr double INF = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {-INF, 0},
      {-1.5, 0},
      {-0.0, 0},
      {0.0, 0},
      {0.999, 0},
      {1.0, 1},
      {2.7, 2},
      {1e15 + 0.5, 1000000000000000U},
      {9223372036854775808.0, 9223372036854775808U},   // 2^63
      {18446744073709549568.0, 18446744073709549568U}, // largest double below 2^64
      {18446744073709551616.0, MAX},                   // 2^64
      {1e300, MAX},
      {INF, MAX},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(saturating_count(c.value), c.expected);
  }
}

// Replays the thermalisation with the plain move on a second generator of the same seed:
// both generators agree afterwards only if the chain stopped after exactly N acceptances.
TEST(PivotChain, ThermalisesWithExactlyNAcceptedMoves) {
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
    std::uint64_t factor;
  };
  const Case cases[] = {{LatticeKind::Cubic, 30, 7},   {LatticeKind::Tetrahedral, 30, 7},
                        {LatticeKind::Fcc, 120, 3},    {LatticeKind::Bcc, 5, 40},
                        {LatticeKind::Cubic, 2, 9},    {LatticeKind::Tetrahedral, 150, 2}};
  for (const Case &c : cases) {
    for (PivotLayout layout : LAYOUTS) {
      SCOPED_TRACE(std::string(kind_name(c.kind)) + " n=" + std::to_string(c.n) + " " +
                   layout_name(layout));
      const Lattice lattice = make_lattice(c.kind);
      Rng rng(c.n + c.factor);
      const PivotChain chain(lattice, c.n, rng, c.factor, 1, layout);
      Rng replayed(c.n + c.factor);
      Walk walk = initial_walk(lattice, c.n);
      std::uint64_t accepted = 0;
      std::uint64_t rejected = 0;
      while (accepted < c.n * c.factor) {
        (try_pivot(walk, lattice.group, replayed) ? accepted : rejected) += 1;
      }
      EXPECT_EQ(rng.next_u64(), replayed.next_u64());
      EXPECT_EQ(chain.accept_reject_ratio(),
                static_cast<double>(accepted) / static_cast<double>(rejected));
    }
  }
}

TEST(PivotChain, ZeroThermalisationHandsOutTheStartingWalk) {
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {0U, 1U, 2U, 10U, 100U, 600U}) {
      for (PivotLayout layout : LAYOUTS) {
        SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n) + " " +
                     layout_name(layout));
        Rng rng(3);
        PivotChain chain(lattice, n, rng, 0, 10, layout);
        EXPECT_TRUE(std::isnan(chain.accept_reject_ratio()));
        EXPECT_EQ(chain.spacing(), 0U);
        for (int sample = 0; sample < 3; ++sample) {
          EXPECT_EQ(chain.next_sample(), initial_walk(lattice, n));
        }
        EXPECT_EQ(rng.next_u64(), Rng(3).next_u64()) << "drew numbers";
      }
    }
  }
}

TEST(PivotChain, OnePointWithThermalisationStops) {
  for (LatticeKind kind : ALL_KINDS) {
    for (PivotLayout layout : LAYOUTS) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " " + layout_name(layout));
      Rng rng(1);
      try {
        PivotChain chain(make_lattice(kind), 1, rng, 1, 10, layout);
        ADD_FAILURE() << "no stop";
      } catch (const Stop &stop) {
        EXPECT_STREQ(stop.what(), "cannot sample empty range");
      }
    }
  }
}

TEST(PivotChain, ZeroAutocorrelationRepeatsTheThermalisedWalk) {
  for (LatticeKind kind : ALL_KINDS) {
    for (PivotLayout layout : LAYOUTS) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " " + layout_name(layout));
      const Lattice lattice = make_lattice(kind);
      Rng rng(11);
      PivotChain chain(lattice, 30, rng, 10, 0, layout);
      ASSERT_TRUE(std::isfinite(chain.accept_reject_ratio()));
      EXPECT_EQ(chain.spacing(), 0U);
      const Walk first = chain.next_sample();
      EXPECT_NE(first, initial_walk(lattice, 30)) << "thermalisation left the starting walk";
      for (int sample = 0; sample < 3; ++sample) {
        EXPECT_EQ(chain.next_sample(), first);
      }
    }
  }
}

// Nothing is ever rejected on two points: the ratio is infinite and the spacing counts the
// rejections as one, autocorrelation_factor * N attempts.
TEST(PivotChain, NoRejectionSpacesByFactorTimesMoves) {
  struct Case {
    std::uint64_t thermalization;
    std::uint64_t autocorrelation;
    std::uint64_t spacing;
  };
  const Case cases[] = {{5, 3, 30}, {1, 1, 2}, {100, 10, 2000}, {4, 0, 0}};
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (const Case &c : cases) {
      for (PivotLayout layout : LAYOUTS) {
        SCOPED_TRACE(std::string(kind_name(kind)) + " factors " + std::to_string(c.thermalization) +
                     "," + std::to_string(c.autocorrelation) + " " + layout_name(layout));
        Rng rng(c.thermalization);
        PivotChain chain(lattice, 2, rng, c.thermalization, c.autocorrelation, layout);
        EXPECT_EQ(chain.accept_reject_ratio(), std::numeric_limits<double>::infinity());
        EXPECT_EQ(chain.spacing(), c.spacing);
        std::set<std::tuple<int, int, int>> ends;
        for (int sample = 0; sample < 60; ++sample) {
          const Walk &walk = chain.next_sample();
          ASSERT_TRUE(is_self_avoiding_walk(lattice, walk, 2));
          ends.emplace(walk[1].x, walk[1].y, walk[1].z);
        }
        if (c.autocorrelation > 0) {
          EXPECT_GT(ends.size(), 1U) << "the chain stood still";
        } else {
          EXPECT_EQ(ends.size(), 1U);
        }
      }
    }
  }
}

TEST(PivotChain, SamplesAreSelfAvoidingWalksFromTheOrigin) {
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {2U, 3U, 57U, 150U, 1000U}) {
      for (PivotLayout layout : LAYOUTS) {
        SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n) + " " +
                     layout_name(layout));
        Rng rng(n);
        PivotChain chain(lattice, n, rng, 5, 2, layout);
        for (int sample = 0; sample < 30; ++sample) {
          ASSERT_TRUE(is_self_avoiding_walk(lattice, chain.next_sample(), n)) << sample;
        }
      }
    }
  }
}

// Both layouts hold the walk in other coordinates and move it differently; the walks they
// hand out must still be those of the plain chain, bit for bit, from the same seed.
TEST(PivotChain, SamplesEqualThePlainChain) {
  struct Factors {
    std::uint64_t thermalization;
    std::uint64_t autocorrelation;
  };
  const Factors factors[] = {{0, 10}, {3, 0}, {2, 5}, {10, 1}};
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {2U, 3U, 4U, 10U, 99U, 100U, 101U, 300U}) {
      for (const Factors &f : factors) {
        if (n == 300 && f.thermalization > 3) {
          continue; // the plain chain is slow at this length
        }
        for (PivotLayout layout : LAYOUTS) {
          for (std::uint64_t seed : {1U, 2U, 3U}) {
            SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n) + " factors " +
                         std::to_string(f.thermalization) + "," +
                         std::to_string(f.autocorrelation) + " " + layout_name(layout) +
                         " seed " + std::to_string(seed));
            Rng fast_rng(seed);
            Rng plain_rng(seed);
            PivotChain fast(lattice, n, fast_rng, f.thermalization, f.autocorrelation, layout);
            LiteralPivotChain plain(lattice, n, plain_rng, f.thermalization, f.autocorrelation);
            const double ratio = fast.accept_reject_ratio();
            EXPECT_TRUE(ratio == plain.ratio || (std::isnan(ratio) && std::isnan(plain.ratio)));
            ASSERT_EQ(fast.spacing(), plain.spacing);
            for (int sample = 0; sample < 15; ++sample) {
              ASSERT_EQ(fast.next_sample(), plain.next_sample()) << "sample " << sample;
            }
            EXPECT_EQ(fast_rng.next_u64(), plain_rng.next_u64());
          }
        }
      }
    }
  }
}

// Around the length where the automatic choice switches from the index to the tree.
TEST(PivotChain, LongWalksEqualThePlainChain) {
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {511U, 512U, 700U}) {
      for (PivotLayout layout : {PivotLayout::Automatic, PivotLayout::SiteIndex,
                                 PivotLayout::Tree}) {
        SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n) + " " +
                     layout_name(layout));
        Rng fast_rng(n);
        Rng plain_rng(n);
        PivotChain fast(lattice, n, fast_rng, 1, 2, layout);
        LiteralPivotChain plain(lattice, n, plain_rng, 1, 2);
        ASSERT_EQ(fast.spacing(), plain.spacing);
        for (int sample = 0; sample < 5; ++sample) {
          ASSERT_EQ(fast.next_sample(), plain.next_sample()) << "sample " << sample;
        }
        EXPECT_EQ(fast_rng.next_u64(), plain_rng.next_u64());
      }
    }
  }
}

// Exact mean squared end-to-end distance over all self-avoiding walks of n points, by
// depth-first search with a linear scan for repeats.
struct Exact {
  std::uint64_t walks = 0;
  double sum_r2 = 0.0;
};

void enumerate(const Lattice &lattice, Walk &walk, std::size_t n, Exact &exact) {
  if (walk.size() == n) {
    const LatticePoint e = walk.back();
    exact.walks += 1;
    exact.sum_r2 += static_cast<double>(std::int64_t{e.x} * e.x + std::int64_t{e.y} * e.y +
                                        std::int64_t{e.z} * e.z);
    return;
  }
  for (const LatticePoint &next : neighbours(lattice, walk.back())) {
    if (std::find(walk.begin(), walk.end(), next) == walk.end()) {
      walk.push_back(next);
      enumerate(lattice, walk, n, exact);
      walk.pop_back();
    }
  }
}

double end_to_end_squared(const Walk &walk) {
  const LatticePoint e = walk.back();
  return static_cast<double>(std::int64_t{e.x} * e.x + std::int64_t{e.y} * e.y +
                             std::int64_t{e.z} * e.z);
}

// Mean and its standard error from 40 batch means, which absorbs the chain's correlation.
struct Estimate {
  double mean = 0.0;
  double error = 0.0;
};

Estimate batch_mean(const std::vector<double> &values) {
  constexpr std::size_t BATCHES = 40;
  const std::size_t per_batch = values.size() / BATCHES;
  std::vector<double> means;
  for (std::size_t b = 0; b < BATCHES; ++b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < per_batch; ++i) {
      sum += values[b * per_batch + i];
    }
    means.push_back(sum / static_cast<double>(per_batch));
  }
  Estimate e;
  for (double m : means) {
    e.mean += m / BATCHES;
  }
  double square = 0.0;
  for (double m : means) {
    square += (m - e.mean) * (m - e.mean);
  }
  e.error = std::sqrt(square / (BATCHES - 1) / BATCHES);
  return e;
}

TEST(PivotChain, EndToEndDistanceMatchesExactEnumeration) {
  struct Case {
    LatticeKind kind;
    std::size_t n;
    std::uint64_t walks;
  };
  // Walk counts of n - 1 steps: OEIS A001394 (diamond), A001336 (fcc), A001666 (bcc),
  // A001412 (simple cubic); a separate brute-force count in Python gives the same numbers.
  const Case cases[] = {
      {LatticeKind::Tetrahedral, 4, 36}, {LatticeKind::Tetrahedral, 8, 2796},
      {LatticeKind::Fcc, 4, 1404},       {LatticeKind::Fcc, 7, 1573716},
      {LatticeKind::Bcc, 4, 392},        {LatticeKind::Bcc, 7, 120056},
      {LatticeKind::Cubic, 4, 150},      {LatticeKind::Cubic, 8, 81390},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " n=" + std::to_string(c.n));
    const Lattice lattice = make_lattice(c.kind);
    Exact exact;
    Walk start{{0, 0, 0}};
    enumerate(lattice, start, c.n, exact);
    ASSERT_EQ(exact.walks, c.walks);
    const double expected = exact.sum_r2 / static_cast<double>(exact.walks);

    Rng rng(2024 + c.n);
    PivotChain chain(lattice, c.n, rng, 100, 20);
    std::vector<double> r2;
    std::set<std::string> seen;
    for (int sample = 0; sample < 4000; ++sample) {
      const Walk &walk = chain.next_sample();
      r2.push_back(end_to_end_squared(walk));
      if (c.walks <= 200) {
        seen.insert(describe(walk));
      }
    }
    const Estimate got = batch_mean(r2);
    EXPECT_LT(std::abs(got.mean - expected), 5 * got.error)
        << "pivot " << got.mean << " +- " << got.error << ", exact " << expected;
    if (c.walks <= 200) {
      EXPECT_EQ(seen.size(), c.walks) << "some walks were never sampled";
    }
  }
}

// Dimerization draws independent uniform walks, so on longer walks, where enumeration is out
// of reach, the chain's mean squared end-to-end distance must agree with it.
TEST(PivotChain, EndToEndDistanceAgreesWithDimerization) {
  constexpr int SAMPLES = 4000;
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {60U, 101U}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " n=" + std::to_string(n));
      Rng rng(77 + n);
      std::vector<double> independent;
      for (int sample = 0; sample < SAMPLES; ++sample) {
        independent.push_back(end_to_end_squared(dimerize(lattice, n, rng)));
      }
      double mean = 0.0;
      for (double v : independent) {
        mean += v / SAMPLES;
      }
      double square = 0.0;
      for (double v : independent) {
        square += (v - mean) * (v - mean);
      }
      const double error = std::sqrt(square / (SAMPLES - 1) / SAMPLES);

      PivotChain chain(lattice, n, rng, 100, 50);
      std::vector<double> chained;
      for (int sample = 0; sample < SAMPLES; ++sample) {
        chained.push_back(end_to_end_squared(chain.next_sample()));
      }
      const Estimate got = batch_mean(chained);
      EXPECT_LT(std::abs(got.mean - mean), 5 * std::hypot(got.error, error))
          << "pivot " << got.mean << " +- " << got.error << ", dimerize " << mean << " +- "
          << error;
    }
  }
}

} // namespace
} // namespace vexa
