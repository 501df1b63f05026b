// Dimerization: every sample a self-avoiding walk from the origin, reproducible from its seed,
// uniform over all walks of its length (chi-square over the enumeration) both for direct draws
// and for joined halves, and unbiased in mean squared end-to-end distance.
#include "dimerize.hpp"
#include "enumeration.hpp"
#include "walk_checks.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace vexa {
namespace {

using testing_support::ALL_KINDS;
using testing_support::is_self_avoiding_walk;
using testing_support::kind_name;

using Key = std::vector<std::tuple<int, int, int>>;

Key key_of(const Walk &walk) {
  Key key;
  for (const LatticePoint &p : walk) {
    key.emplace_back(p.x, p.y, p.z);
  }
  return key;
}

double end_to_end_squared(const Walk &walk) {
  const LatticePoint e = walk.back();
  return double(e.x) * e.x + double(e.y) * e.y + double(e.z) * e.z;
}

std::string label(LatticeKind kind, std::uint64_t n) {
  return std::string(kind_name(kind)) + " n=" + std::to_string(n);
}

// Lengths on both sides of the direct-draw limit and deep joins: 51 joins 25 + 27 points, 101
// and 200 join halves that end on the odd tetrahedral sublattice.
TEST(Dimerize, SamplesAreSelfAvoidingWalks) {
  for (LatticeKind kind : ALL_KINDS) {
    const Lattice lattice = make_lattice(kind);
    Rng rng(17);
    for (std::uint64_t n : {0, 1, 2, 3, 50, 51, 101, 200}) {
      SCOPED_TRACE(label(kind, n));
      for (int sample = 0; sample < 12; ++sample) {
        ASSERT_TRUE(is_self_avoiding_walk(lattice, dimerize(lattice, n, rng), n));
      }
    }
  }
}

TEST(Dimerize, SameSeedSameWalk) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    const Lattice lattice = make_lattice(kind);
    for (std::uint64_t n : {30, 120}) {
      Rng a(5);
      Rng b(5);
      Rng c(6);
      const Walk first = dimerize(lattice, n, a);
      EXPECT_EQ(first, dimerize(lattice, n, b));
      EXPECT_NE(first, dimerize(lattice, n, c));
    }
  }
}

TEST(Dimerize, ShortWalksDrawNothing) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    Rng rng(8);
    Rng untouched(8);
    EXPECT_TRUE(dimerize(make_lattice(kind), 0, rng).empty());
    EXPECT_EQ(dimerize(make_lattice(kind), 1, rng), Walk{LatticePoint{}});
    EXPECT_EQ(rng.next_u64(), untouched.next_u64());
  }
}

// Chi-square of sample counts against the uniform distribution over every self-avoiding walk
// of n points (the enumeration lists them). Thresholds are chi2.isf(1e-4, walks - 1) from
// scipy.stats: a fixed seed passes with room to spare, a bias of a few percent does not.
TEST(Dimerize, UniformOverAllWalks) {
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
    std::uint64_t direct_limit; // below n: the sample is joined from halves
    double threshold;
  };
  const Case cases[] = {
      {LatticeKind::Cubic, 2, 50, 25.744831959055876},        // 6 walks
      {LatticeKind::Tetrahedral, 2, 50, 21.10751346616021},   // 4 walks
      {LatticeKind::Cubic, 3, 50, 66.15168462853948},         // 30 walks
      {LatticeKind::Tetrahedral, 3, 50, 37.366986437997},     // 12 walks
      {LatticeKind::Bcc, 3, 50, 102.77579937452212},          // 56 walks
      {LatticeKind::Fcc, 3, 50, 199.90298321975308},          // 132 walks
      {LatticeKind::Cubic, 4, 3, 221.89743924428845},         // 150 walks, joined 2 + 3
      {LatticeKind::Tetrahedral, 6, 3, 426.1800401199329},    // 324 walks, joined 3 + 4
      {LatticeKind::Tetrahedral, 5, 3, 170.12358083945557},   // 108 walks, joined 2 + 4
      {LatticeKind::Bcc, 4, 3, 503.64661433629567},           // 392 walks, joined 2 + 3
      {LatticeKind::Cubic, 5, 4, 875.2397861988085},          // 726 walks, joined 2 + 4
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(label(c.kind, c.n) + " limit " + std::to_string(c.direct_limit));
    const Lattice lattice = make_lattice(c.kind);
    std::map<Key, int> counts;
    WalkEnumerator enumerator(lattice, c.n);
    while (const Walk *walk = enumerator.next()) {
      counts.emplace(key_of(*walk), 0);
    }
    const int per_walk = 120;
    const int samples = per_walk * static_cast<int>(counts.size());
    Rng rng(1000 + c.n);
    for (int i = 0; i < samples; ++i) {
      const auto it =
          counts.find(key_of(detail::dimerize_with_limit(lattice, c.n, rng, c.direct_limit)));
      ASSERT_NE(it, counts.end()) << "not a self-avoiding walk from the origin";
      ++it->second;
    }
    double chi2 = 0.0;
    for (const auto &[walk, count] : counts) {
      chi2 += (count - per_walk) * (count - per_walk) / double(per_walk);
    }
    EXPECT_LT(chi2, c.threshold);
  }
}

// The mean squared end-to-end distance of samples against its exact value, the average over
// the enumeration; within 5 standard errors of the sample mean.
TEST(Dimerize, MeanSquaredEndToEndDistanceIsExact) {
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
    std::uint64_t direct_limit;
  };
  const Case cases[] = {
      {LatticeKind::Tetrahedral, 8, 50}, {LatticeKind::Fcc, 6, 50},
      {LatticeKind::Bcc, 7, 50},         {LatticeKind::Cubic, 8, 50},
      {LatticeKind::Tetrahedral, 8, 3},  {LatticeKind::Fcc, 6, 3},
      {LatticeKind::Bcc, 7, 3},          {LatticeKind::Cubic, 8, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(label(c.kind, c.n) + " limit " + std::to_string(c.direct_limit));
    const Lattice lattice = make_lattice(c.kind);
    double exact_sum = 0.0;
    std::uint64_t walks = 0;
    WalkEnumerator enumerator(lattice, c.n);
    while (const Walk *walk = enumerator.next()) {
      exact_sum += end_to_end_squared(*walk);
      ++walks;
    }
    const double exact = exact_sum / static_cast<double>(walks);

    Rng rng(77 + c.n);
    const int samples = 40000;
    double sum = 0.0;
    double square_sum = 0.0;
    for (int i = 0; i < samples; ++i) {
      const double r2 =
          end_to_end_squared(detail::dimerize_with_limit(lattice, c.n, rng, c.direct_limit));
      sum += r2;
      square_sum += r2 * r2;
    }
    const double mean = sum / samples;
    const double variance = (square_sum - samples * mean * mean) / (samples - 1);
    const double error = std::sqrt(variance / samples);
    EXPECT_NEAR(mean, exact, 5.0 * error) << "standard error " << error;
  }
}

} // namespace
} // namespace vexa
