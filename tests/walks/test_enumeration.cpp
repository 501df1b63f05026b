// Exhaustive enumeration: the exact depth-first order (against a plain Visit/Backtrack stack
// search), the published walk counts, walk invariants, laziness and the end of the sequence.
#include "enumeration.hpp"
#include "walk_checks.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <tuple>
#include <variant>
#include <vector>

namespace vexa {
namespace {

using testing_support::ALL_KINDS;
using testing_support::describe;
using testing_support::is_self_avoiding_walk;
using testing_support::kind_name;

// The search written the plain way: a stack of Visit(point) and Backtrack entries, a linear
// scan for repeats, and neighbours pushed in step order. Slow, but obviously the definition.
std::vector<Walk> plain_enumeration(const Lattice &lattice, std::size_t n) {
  struct Backtrack {};
  using Entry = std::variant<LatticePoint, Backtrack>;
  std::vector<Walk> result;
  std::vector<Entry> stack{LatticePoint{}};
  Walk path;
  while (!stack.empty()) {
    const Entry entry = stack.back();
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
    bool repeat = false;
    for (std::size_t i = 0; i + 1 < path.size() && !repeat; ++i) {
      repeat = path[i] == p;
    }
    if (repeat) {
      continue;
    }
    if (path.size() == n) {
      result.push_back(path);
      continue;
    }
    for (const LatticePoint &q : neighbours(lattice, p)) {
      stack.emplace_back(q);
    }
  }
  return result;
}

std::vector<Walk> drain(WalkEnumerator &enumerator) {
  std::vector<Walk> walks;
  while (const Walk *walk = enumerator.next()) {
    walks.push_back(*walk);
  }
  return walks;
}

TEST(Enumeration, SameOrderAsPlainSearch) {
  struct Case {
    LatticeKind kind;
    std::size_t max_n;
  };
  const Case cases[] = {{LatticeKind::Tetrahedral, 8},
                        {LatticeKind::Fcc, 4},
                        {LatticeKind::Bcc, 5},
                        {LatticeKind::Cubic, 6}};
  for (const Case &c : cases) {
    const Lattice lattice = make_lattice(c.kind);
    for (std::size_t n = 1; n <= c.max_n; ++n) {
      SCOPED_TRACE(std::string(kind_name(c.kind)) + " n=" + std::to_string(n));
      const std::vector<Walk> expected = plain_enumeration(lattice, n);
      WalkEnumerator enumerator(lattice, n);
      const std::vector<Walk> walks = drain(enumerator);
      ASSERT_EQ(walks.size(), expected.size());
      for (std::size_t i = 0; i < walks.size(); ++i) {
        ASSERT_EQ(walks[i], expected[i]) << "walk " << i;
      }
    }
  }
}

// Self-avoiding walks of n - 1 steps: OEIS A001394 (diamond), A001336 (fcc), A001666 (bcc),
// A001412 (simple cubic).
TEST(Enumeration, CountsMatchPublishedWalkNumbers) {
  struct Case {
    LatticeKind kind;
    std::vector<std::uint64_t> counts; // for n = 1, 2, ...
  };
  const Case cases[] = {
      {LatticeKind::Tetrahedral, {1, 4, 12, 36, 108, 324, 948, 2796, 8196}},
      {LatticeKind::Fcc, {1, 12, 132, 1404, 14700, 152532, 1573716}},
      {LatticeKind::Bcc, {1, 8, 56, 392, 2648, 17960, 120056, 804824, 5351720}},
      {LatticeKind::Cubic, {1, 6, 30, 150, 726, 3534, 16926, 81390, 387966}},
  };
  for (const Case &c : cases) {
    const Lattice lattice = make_lattice(c.kind);
    for (std::size_t n = 1; n <= c.counts.size(); ++n) {
      SCOPED_TRACE(std::string(kind_name(c.kind)) + " n=" + std::to_string(n));
      WalkEnumerator enumerator(lattice, n);
      std::uint64_t count = 0;
      while (const Walk *walk = enumerator.next()) {
        ASSERT_EQ(walk->size(), n);
        ++count;
      }
      EXPECT_EQ(count, c.counts[n - 1]);
    }
  }
}

// Checked independently of the search: every walk valid and none repeated.
TEST(Enumeration, WalksAreValidAndDistinct) {
  struct Case {
    LatticeKind kind;
    std::size_t n;
  };
  const Case cases[] = {{LatticeKind::Tetrahedral, 11},
                        {LatticeKind::Fcc, 5},
                        {LatticeKind::Bcc, 6},
                        {LatticeKind::Cubic, 7}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " n=" + std::to_string(c.n));
    const Lattice lattice = make_lattice(c.kind);
    WalkEnumerator enumerator(lattice, c.n);
    std::set<std::vector<std::tuple<int, int, int>>> seen;
    while (const Walk *walk = enumerator.next()) {
      ASSERT_TRUE(is_self_avoiding_walk(lattice, *walk, c.n));
      std::vector<std::tuple<int, int, int>> key;
      for (const LatticePoint &p : *walk) {
        key.emplace_back(p.x, p.y, p.z);
      }
      ASSERT_TRUE(seen.insert(key).second) << "repeated walk ending at " << describe(walk->back());
    }
    EXPECT_FALSE(seen.empty());
  }
}

TEST(Enumeration, FirstWalks) {
  struct Case {
    const char *name;
    LatticeKind kind;
    std::size_t n;
    std::vector<Walk> first; // the leading walks, in order
  };
  // Worked examples: neighbours are explored in reverse step order.
  const Case cases[] = {
      {"cubic n=1", LatticeKind::Cubic, 1, {{{0, 0, 0}}}},
      {"cubic n=2",
       LatticeKind::Cubic,
       2,
       {{{0, 0, 0}, {0, 0, -1}},
        {{0, 0, 0}, {0, -1, 0}},
        {{0, 0, 0}, {-1, 0, 0}},
        {{0, 0, 0}, {0, 0, 1}},
        {{0, 0, 0}, {0, 1, 0}},
        {{0, 0, 0}, {1, 0, 0}}}},
      {"cubic n=3",
       LatticeKind::Cubic,
       3,
       {{{0, 0, 0}, {0, 0, -1}, {0, 0, -2}},
        {{0, 0, 0}, {0, 0, -1}, {0, -1, -1}},
        {{0, 0, 0}, {0, 0, -1}, {-1, 0, -1}},
        {{0, 0, 0}, {0, 0, -1}, {0, 1, -1}},
        {{0, 0, 0}, {0, 0, -1}, {1, 0, -1}},
        {{0, 0, 0}, {0, -1, 0}, {0, -1, -1}}}},
      {"tetrahedral n=2",
       LatticeKind::Tetrahedral,
       2,
       {{{0, 0, 0}, {-1, -1, -1}},
        {{0, 0, 0}, {1, 1, -1}},
        {{0, 0, 0}, {1, -1, 1}},
        {{0, 0, 0}, {-1, 1, 1}}}},
      // The second step leaves an odd site, so it subtracts the last step vector.
      {"tetrahedral n=3", LatticeKind::Tetrahedral, 3, {{{0, 0, 0}, {-1, -1, -1}, {-2, -2, 0}}}},
      {"fcc n=2", LatticeKind::Fcc, 2, {{{0, 0, 0}, {0, -1, -1}}}},
      {"bcc n=2", LatticeKind::Bcc, 2, {{{0, 0, 0}, {-1, -1, -1}}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WalkEnumerator enumerator(make_lattice(c.kind), c.n);
    for (std::size_t i = 0; i < c.first.size(); ++i) {
      const Walk *walk = enumerator.next();
      ASSERT_NE(walk, nullptr) << "walk " << i;
      EXPECT_EQ(*walk, c.first[i]) << "walk " << i;
    }
  }
}

// The search is lazy: the first walk of a length far beyond exhaustive reach comes at once.
// On cubic it is the rod along the last step; on tetrahedral the zig-zag of the last step.
TEST(Enumeration, LongWalksStartWithoutExhaustiveSearch) {
  for (std::size_t n : {30, 500}) {
    SCOPED_TRACE(n);
    WalkEnumerator cubic(make_lattice(LatticeKind::Cubic), n);
    const Walk *walk = cubic.next();
    ASSERT_NE(walk, nullptr);
    ASSERT_EQ(walk->size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ((*walk)[i], (LatticePoint{0, 0, -static_cast<std::int32_t>(i)}));
    }
    // The next walk bends the last point: (0, -1, -(n - 2)).
    walk = cubic.next();
    ASSERT_NE(walk, nullptr);
    EXPECT_EQ(walk->back(), (LatticePoint{0, -1, -static_cast<std::int32_t>(n - 2)}));

    const Lattice tetrahedral = make_lattice(LatticeKind::Tetrahedral);
    WalkEnumerator zigzag(tetrahedral, n);
    walk = zigzag.next();
    ASSERT_NE(walk, nullptr);
    EXPECT_TRUE(is_self_avoiding_walk(tetrahedral, *walk, n));
    // Steps -(-1, -1, -1) and then +(-1, -1, -1) alternate: (-1,-1,-1), (-2,-2,0), (-3,-3,-1)...
    EXPECT_EQ((*walk)[2], (LatticePoint{-2, -2, 0}));
    EXPECT_EQ((*walk)[3], (LatticePoint{-3, -3, -1}));
  }
}

TEST(Enumeration, EndsForGood) {
  for (LatticeKind kind : ALL_KINDS) {
    SCOPED_TRACE(kind_name(kind));
    // No walk has zero points: nothing at all, at once.
    WalkEnumerator empty(make_lattice(kind), 0);
    EXPECT_EQ(empty.next(), nullptr);
    EXPECT_EQ(empty.next(), nullptr);

    WalkEnumerator single(make_lattice(kind), 1);
    ASSERT_NE(single.next(), nullptr);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(single.next(), nullptr);
    }

    WalkEnumerator three(make_lattice(kind), 3);
    drain(three);
    EXPECT_EQ(three.next(), nullptr);
    EXPECT_EQ(three.next(), nullptr);
  }
}

} // namespace
} // namespace vexa
