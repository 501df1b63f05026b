// Symmetry groups: the element order of both tables, group closure, which signed permutations
// preserve each lattice, applying an element and its inverse, and the uniform draw.
#include "lattice.hpp"
#include "symmetry_group.hpp"
#include "walk_checks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vexa {
namespace {

using testing_support::describe;

// Parses an image such as "(-z, x, -y)" into its matrix: row i holds the sign at the column of
// the variable in position i.
Matrix3 from_image(const std::string &image) {
  Matrix3 m;
  std::fill(std::begin(m.m), std::end(m.m), 0);
  int row = 0;
  int sign = 1;
  for (char c : image) {
    if (c == '-') {
      sign = -1;
    } else if (c == 'x' || c == 'y' || c == 'z') {
      m.m[row * 3 + (c - 'x')] = sign;
      sign = 1;
      ++row;
    }
  }
  return m;
}

Matrix3 multiply(const Matrix3 &a, const Matrix3 &b) {
  Matrix3 r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      r.m[i * 3 + j] =
          a.m[i * 3] * b.m[j] + a.m[i * 3 + 1] * b.m[3 + j] + a.m[i * 3 + 2] * b.m[6 + j];
    }
  }
  return r;
}

Matrix3 negate(Matrix3 m) {
  for (auto &v : m.m) {
    v = -v;
  }
  return m;
}

int determinant(const Matrix3 &a) {
  const auto *m = a.m;
  return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}

// The 48 signed permutation matrices, built independently of the tables.
std::vector<Matrix3> all_signed_permutations() {
  std::vector<Matrix3> result;
  std::array<int, 3> perm{0, 1, 2};
  do {
    for (int signs = 0; signs < 8; ++signs) {
      Matrix3 m;
      std::fill(std::begin(m.m), std::end(m.m), 0);
      for (int row = 0; row < 3; ++row) {
        m.m[row * 3 + perm[row]] = (signs >> row & 1) != 0 ? -1 : 1;
      }
      result.push_back(m);
    }
  } while (std::next_permutation(perm.begin(), perm.end()));
  return result;
}

bool maps_set_onto_itself(const Matrix3 &m, std::span<const LatticePoint> steps) {
  for (const LatticePoint &s : steps) {
    if (std::find(steps.begin(), steps.end(), apply(m, s)) == steps.end()) {
      return false;
    }
  }
  return true;
}

// The element order as the published table writes it, image of (x, y, z) by index.
const char *const OCTAHEDRAL_IMAGES[24] = {
    "(x, y, z)",   "(-x, -y, z)",  "(-x, y, -z)",  "(x, -y, -z)", "(z, x, y)",   "(z, -x, -y)",
    "(-z, -x, y)", "(-z, x, -y)",  "(y, z, x)",    "(-y, z, -x)", "(y, -z, -x)", "(-y, -z, x)",
    "(y, x, -z)",  "(-y, -x, -z)", "(y, -x, z)",   "(-y, x, z)",  "(x, z, -y)",  "(-x, z, y)",
    "(-x, -z, -y)", "(x, -z, y)",  "(z, y, -x)",   "(z, -y, x)",  "(-z, y, x)",  "(-z, -y, -x)"};
const char *const TETRAHEDRAL_IMPROPER_IMAGES[12] = {
    "(y, x, z)",  "(-y, -x, z)", "(y, -x, -z)", "(-y, x, -z)", "(x, z, y)",  "(-x, z, -y)",
    "(-x, -z, y)", "(x, -z, -y)", "(z, y, x)",  "(z, -y, -x)", "(-z, y, -x)", "(-z, -y, x)"};

TEST(SymmetryGroup, ElementOrder) {
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE("element " + std::to_string(i) + " " + OCTAHEDRAL_IMAGES[i]);
    EXPECT_EQ(OCTAHEDRAL_GROUP[i], from_image(OCTAHEDRAL_IMAGES[i]));
    EXPECT_EQ(OCTAHEDRAL_GROUP[24 + i], negate(from_image(OCTAHEDRAL_IMAGES[i])));
    EXPECT_EQ(determinant(OCTAHEDRAL_GROUP[i]), 1);
    if (i < 12) {
      EXPECT_EQ(TETRAHEDRAL_GROUP[i], OCTAHEDRAL_GROUP[i]);
    } else {
      EXPECT_EQ(TETRAHEDRAL_GROUP[i], from_image(TETRAHEDRAL_IMPROPER_IMAGES[i - 12]));
      EXPECT_EQ(determinant(TETRAHEDRAL_GROUP[i]), -1);
    }
  }
  // Worked examples: element 4 has rows (0, 0, 1), (1, 0, 0), (0, 1, 0); 24 is the inversion,
  // 25 is (x, y, -z), 27 is (-x, y, z) and 47 is (z, y, x).
  EXPECT_EQ(OCTAHEDRAL_GROUP[4], (Matrix3{{0, 0, 1, 1, 0, 0, 0, 1, 0}}));
  EXPECT_EQ(OCTAHEDRAL_GROUP[0], Matrix3{});
  EXPECT_EQ(TETRAHEDRAL_GROUP[0], Matrix3{});
  EXPECT_EQ(OCTAHEDRAL_GROUP[24], (Matrix3{{-1, 0, 0, 0, -1, 0, 0, 0, -1}}));
  EXPECT_EQ(OCTAHEDRAL_GROUP[25], (Matrix3{{1, 0, 0, 0, 1, 0, 0, 0, -1}}));
  EXPECT_EQ(OCTAHEDRAL_GROUP[27], (Matrix3{{-1, 0, 0, 0, 1, 0, 0, 0, 1}}));
  EXPECT_EQ(OCTAHEDRAL_GROUP[47], (Matrix3{{0, 0, 1, 0, 1, 0, 1, 0, 0}}));
}

TEST(SymmetryGroup, ClosedAndDistinct) {
  struct Case {
    const char *name;
    std::span<const Matrix3> elements;
  };
  const Case cases[] = {{"octahedral", OCTAHEDRAL_GROUP}, {"tetrahedral", TETRAHEDRAL_GROUP}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto contains = [&](const Matrix3 &m) {
      return std::find(c.elements.begin(), c.elements.end(), m) != c.elements.end();
    };
    for (std::size_t i = 0; i < c.elements.size(); ++i) {
      EXPECT_EQ(std::count(c.elements.begin(), c.elements.end(), c.elements[i]), 1) << i;
      for (std::size_t j = 0; j < c.elements.size(); ++j) {
        EXPECT_TRUE(contains(multiply(c.elements[i], c.elements[j]))) << i << " * " << j;
      }
    }
  }
}

// Of the 48 signed permutations, exactly the tetrahedral table's 24 preserve the tetrahedral
// steps, and all 48 preserve the fcc, bcc and cubic step sets.
TEST(SymmetryGroup, ElementsPreserveTheirLattices) {
  const auto tetrahedral = make_lattice(LatticeKind::Tetrahedral).steps;
  const std::span<const Matrix3> td(TETRAHEDRAL_GROUP);
  int preserving = 0;
  for (const Matrix3 &m : all_signed_permutations()) {
    const bool in_td = std::find(td.begin(), td.end(), m) != td.end();
    EXPECT_EQ(maps_set_onto_itself(m, tetrahedral), in_td);
    preserving += in_td ? 1 : 0;
  }
  EXPECT_EQ(preserving, 24);
  for (LatticeKind kind : {LatticeKind::Fcc, LatticeKind::Bcc, LatticeKind::Cubic}) {
    SCOPED_TRACE(testing_support::kind_name(kind));
    for (const Matrix3 &m : OCTAHEDRAL_GROUP) {
      EXPECT_TRUE(maps_set_onto_itself(m, make_lattice(kind).steps));
    }
  }
}

TEST(SymmetryGroup, ApplyAndTranspose) {
  // Element 4 maps (x, y, z) to (z, x, y); its transpose is the inverse third-turn.
  EXPECT_EQ(apply(OCTAHEDRAL_GROUP[4], {1, 2, 3}), (LatticePoint{3, 1, 2}));
  EXPECT_EQ(apply_transpose(OCTAHEDRAL_GROUP[4], {1, 2, 3}), (LatticePoint{2, 3, 1}));
  EXPECT_EQ(apply(OCTAHEDRAL_GROUP[24], {1, -2, 3}), (LatticePoint{-1, 2, -3}));

  constexpr std::int32_t MAX = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t MIN = std::numeric_limits<std::int32_t>::min();
  const LatticePoint vectors[] = {{1, 2, 3}, {-7, 0, 5}, {MAX, MIN, -1}, {MIN, MIN + 1, MAX}};
  for (const Matrix3 &m : OCTAHEDRAL_GROUP) {
    for (const LatticePoint &v : vectors) {
      EXPECT_EQ(apply_transpose(m, apply(m, v)), v) << describe(v);
      EXPECT_EQ(apply(m, apply_transpose(m, v)), v) << describe(v);
    }
  }
}

TEST(SymmetryGroup, RandomElementIsUniform) {
  struct Case {
    const char *name;
    std::span<const Matrix3> elements;
  };
  const Case cases[] = {{"octahedral", OCTAHEDRAL_GROUP}, {"tetrahedral", TETRAHEDRAL_GROUP}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const SymmetryGroup group{c.elements};
    Rng rng(3);
    std::vector<int> counts(c.elements.size());
    const int per_element = 500;
    const int draws = per_element * static_cast<int>(c.elements.size());
    for (int i = 0; i < draws; ++i) {
      const Matrix3 &m = random_element(group, rng);
      ASSERT_GE(&m, c.elements.data());
      ASSERT_LT(&m, c.elements.data() + c.elements.size());
      ++counts[static_cast<std::size_t>(&m - c.elements.data())];
    }
    double chi2 = 0.0;
    for (int count : counts) {
      chi2 += (count - per_element) * (count - per_element) / double(per_element);
    }
    const double df = static_cast<double>(c.elements.size() - 1);
    EXPECT_LT(chi2, df + 6.0 * std::sqrt(2.0 * df));
  }
}

} // namespace
} // namespace vexa
