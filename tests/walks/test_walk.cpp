// Walks: both forms of the self-avoidance test and the conversion to coordinates.
#include "walk.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace vexa {
namespace {

// A straight cubic rod of n points along x.
Walk rod(std::size_t n) {
  Walk walk(n);
  for (std::size_t i = 0; i < n; ++i) {
    walk[i] = {static_cast<std::int32_t>(i), 0, 0};
  }
  return walk;
}

Walk with_point(Walk walk, std::size_t index, LatticePoint p) {
  walk[index] = p;
  return walk;
}

TEST(Walk, SelfAvoidance) {
  struct Case {
    const char *name;
    Walk walk;
    bool expected;
  };
  // Lengths 99 and 100 sit on both sides of the switch from pair comparison to the hash set.
  const Case cases[] = {
      {"empty", {}, true},
      {"origin alone", {{0, 0, 0}}, true},
      {"immediate reversal", {{0, 0, 0}, {1, 0, 0}, {0, 0, 0}}, false},
      {"square back to the origin", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 0}},
       false},
      {"only z differs", {{0, 0, 0}, {0, 0, 1}, {0, 0, 2}}, true},
      {"99 points", rod(99), true},
      {"99 points, last repeats point 40", with_point(rod(99), 98, {40, 0, 0}), false},
      {"99 points, last returns to origin", with_point(rod(99), 98, {0, 0, 0}), false},
      {"100 points", rod(100), true},
      {"100 points, last repeats point 40", with_point(rod(100), 99, {40, 0, 0}), false},
      {"100 points, last returns to origin", with_point(rod(100), 99, {0, 0, 0}), false},
      {"100 points, first two equal", with_point(rod(100), 1, {0, 0, 0}), false},
      {"300 points, mid repeat", with_point(rod(300), 200, {150, 0, 0}), false},
      {"300 points, same x other y", with_point(rod(300), 200, {150, 1, 0}), true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_self_avoiding(c.walk), c.expected);
  }
}

TEST(Walk, ToStructure) {
  // Cubic walk with scale 3.8 (worked example).
  const Structure cubic = to_structure({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}}, 3.8);
  const Structure expected{{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}};
  EXPECT_EQ(cubic, expected);

  // Tetrahedral step (1, -1, 1) with arc length 3.8: each coordinate is +-3.8 / sqrt(3) and the
  // step is 3.8 long.
  const double s = coordinate_scale(make_lattice(LatticeKind::Tetrahedral), 3.8);
  const Structure tetra = to_structure({{0, 0, 0}, {1, -1, 1}}, s);
  ASSERT_EQ(tetra.size(), 2U);
  EXPECT_EQ(tetra[0], (Vec3{0, 0, 0}));
  EXPECT_EQ(tetra[1], (Vec3{3.8 / std::sqrt(3.0), -(3.8 / std::sqrt(3.0)), 3.8 / std::sqrt(3.0)}));
  EXPECT_NEAR(std::sqrt(tetra[1].x * tetra[1].x + tetra[1].y * tetra[1].y +
                        tetra[1].z * tetra[1].z),
              3.8, 1e-12);

  // One multiplication per coordinate: 7 * s, not 7 steps of s added up.
  const double third = 1.0 / 3.0;
  EXPECT_EQ(to_structure({{7, -3, 1000000}}, third)[0],
            (Vec3{7.0 * third, -3.0 * third, 1000000.0 * third}));

  EXPECT_TRUE(to_structure({}, 2.0).empty());
}

TEST(Walk, ToStructureReusesOutput) {
  Structure out(5, Vec3{9, 9, 9});
  to_structure({{0, 0, 0}, {0, 2, 0}}, 0.5, out);
  EXPECT_EQ(out, (Structure{{0, 0, 0}, {0, 1, 0}}));
  to_structure({}, 0.5, out);
  EXPECT_TRUE(out.empty());
}

} // namespace
} // namespace vexa
