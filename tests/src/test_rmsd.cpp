// Kabsch RMSD: degenerate geometry, handedness, the prepared ground truth and its failures.
#include "rmsd.hpp"

#include "rng.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vexa {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// Rotation by `angle` about the axis (1, 2, 2)/3, then a translation.
Structure rotated_and_moved(const Structure &s, double angle, Vec3 shift) {
  const double ux = 1.0 / 3.0, uy = 2.0 / 3.0, uz = 2.0 / 3.0;
  const double c = std::cos(angle), sn = std::sin(angle), t = 1.0 - c;
  const double r[3][3] = {{t * ux * ux + c, t * ux * uy - sn * uz, t * ux * uz + sn * uy},
                          {t * ux * uy + sn * uz, t * uy * uy + c, t * uy * uz - sn * ux},
                          {t * ux * uz - sn * uy, t * uy * uz + sn * ux, t * uz * uz + c}};
  Structure out;
  for (const Vec3 &p : s) {
    out.push_back({r[0][0] * p.x + r[0][1] * p.y + r[0][2] * p.z + shift.x,
                   r[1][0] * p.x + r[1][1] * p.y + r[1][2] * p.z + shift.y,
                   r[2][0] * p.x + r[2][1] * p.y + r[2][2] * p.z + shift.z});
  }
  return out;
}

Structure mirrored_x(const Structure &s) {
  Structure out;
  for (const Vec3 &p : s) {
    out.push_back({-p.x, p.y, p.z});
  }
  return out;
}

Structure random_structure(Rng &rng, std::size_t n) {
  const auto coordinate = [&rng] {
    return static_cast<double>(rng.below(1u << 30)) / static_cast<double>(1u << 26) - 8.0;
  };
  Structure s;
  for (std::size_t i = 0; i < n; ++i) {
    s.push_back({coordinate(), coordinate(), coordinate()});
  }
  return s;
}

// A right-handed helix turn: not superposable on its mirror image.
const Structure CHIRAL = {{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}, {3.8, 3.8, 3.8}, {0, 3.8, 5}};
const Structure PLANAR = {{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}, {7.6, 3.8, 0}, {9, 1, 0}};
const Structure COLLINEAR = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {5, 5, 5}};

TEST(KabschRmsd, SuperposableInputsGiveZero) {
  struct Case {
    const char *name;
    Structure structure;
    Structure model;
  };
  const Case cases[] = {
      {"identical", CHIRAL, CHIRAL},
      {"rotated and translated copy", CHIRAL, rotated_and_moved(CHIRAL, 1.1, {5, -3, 40})},
      {"one point, anywhere", {{1, 2, 3}}, {{-5, 7, 100}}},
      {"collinear, rank-one covariance", COLLINEAR, rotated_and_moved(COLLINEAR, 2.0, {1, 1, 1})},
      // A planar set and its mirror differ by a half turn about an in-plane axis.
      {"planar mirror image", PLANAR, mirrored_x(PLANAR)},
      {"planar rotated copy", PLANAR, rotated_and_moved(PLANAR, -0.7, {0, 2, 0})},
      {"all points equal", {{2, 2, 2}, {2, 2, 2}, {2, 2, 2}}, {{9, 9, 9}, {9, 9, 9}, {9, 9, 9}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(kabsch_rmsd(c.structure, c.model), 0.0, 1e-12);
  }
}

TEST(KabschRmsd, WorkedValues) {
  struct Case {
    const char *name;
    Structure structure;
    Structure model;
    double expected;
  };
  const Case cases[] = {
      // Centred, the points are +-1 and +-2 on one line: each ends 1 from its target.
      {"stretched pair", {{0, 0, 0}, {2, 0, 0}}, {{0, 0, 0}, {4, 0, 0}}, 1.0},
      // Same line, reversed order: the best proper rotation is a half turn, leaving +-1.
      {"stretched reversed pair", {{0, 0, 0}, {2, 0, 0}}, {{8, 0, 0}, {4, 0, 0}}, 1.0},
      // Scaling a centred square by 3 about its centroid: every point misses by 2*sqrt(2).
      {"scaled square",
       {{1, 1, 0}, {-1, 1, 0}, {-1, -1, 0}, {1, -1, 0}},
       {{3, 3, 0}, {-3, 3, 0}, {-3, -3, 0}, {3, -3, 0}},
       2.0 * std::sqrt(2.0)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(kabsch_rmsd(c.structure, c.model), c.expected, 1e-12);
  }
}

TEST(KabschRmsd, MirrorImageOfChiralStructureIsNotSuperposed) {
  // An improper rotation would map it exactly; only the d = -1 correction keeps it apart.
  EXPECT_GT(kabsch_rmsd(CHIRAL, mirrored_x(CHIRAL)), 0.5);
  EXPECT_GT(kabsch_rmsd(CHIRAL, rotated_and_moved(mirrored_x(CHIRAL), 0.4, {1, 2, 3})), 0.5);
}

TEST(KabschRmsd, SwappingRolesGivesTheSameValue) {
  Rng rng(11);
  for (int trial = 0; trial < 20; ++trial) {
    const Structure a = random_structure(rng, 12);
    const Structure b = random_structure(rng, 12);
    const double ab = kabsch_rmsd(a, b);
    EXPECT_NEAR(ab, kabsch_rmsd(b, a), 1e-12 * ab);
  }
}

TEST(KabschRmsd, NonFiniteCoordinatesTerminateWithNaN) {
  struct Case {
    const char *name;
    Structure structure;
  };
  const Case cases[] = {
      {"NaN", {{0, 0, 0}, {1, NaN, 0}, {1, 1, 1}}},
      {"infinity", {{0, 0, 0}, {Inf, 0, 0}, {1, 1, 1}}},
      {"all NaN", {{NaN, NaN, NaN}, {NaN, NaN, NaN}, {NaN, NaN, NaN}}},
  };
  const Structure model = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(std::isnan(kabsch_rmsd(c.structure, model)));
    EXPECT_TRUE(std::isnan(kabsch_rmsd(model, c.structure)));
  }
}

TEST(KabschRmsd, EmptyStructureAgainstEmptyModelIsNaN) {
  EXPECT_TRUE(std::isnan(kabsch_rmsd(Structure{}, Structure{})));
  EXPECT_TRUE(std::isnan(ground_truth_rmsd(prepare_ground_truth({{}}), Structure{})));
}

TEST(KabschRmsd, LengthMismatchNamesStructureThenModel) {
  try {
    kabsch_rmsd(Structure(4), Structure(3));
    FAIL() << "no stop";
  } catch (const Stop &stop) {
    EXPECT_STREQ(stop.what(), "assertion `left == right` failed\n  left: 4\n right: 3");
  }
}

TEST(GroundTruthRmsd, PreparedModelsGiveBitIdenticalResults) {
  // Centring each model once must not change a single bit against the per-call computation.
  Rng rng(3);
  for (int trial = 0; trial < 20; ++trial) {
    const Structure s = random_structure(rng, 9);
    const GroundTruth models = {random_structure(rng, 9), random_structure(rng, 9)};
    const PreparedGroundTruth prepared = prepare_ground_truth(models);
    const double expected = std::min(kabsch_rmsd(s, models[0]), kabsch_rmsd(s, models[1]));
    EXPECT_EQ(ground_truth_rmsd(prepared, s), expected);
  }
}

TEST(GroundTruthRmsd, LeastOverModels) {
  const Structure far = {{0, 0, 0}, {9, 0, 0}, {9, 9, 0}, {0, 9, 9}, {0, 2, 5}};
  struct Case {
    const char *name;
    GroundTruth models;
    double expected;
  };
  const Case cases[] = {
      {"best model last", {far, mirrored_x(CHIRAL), CHIRAL}, 0.0},
      {"best model first", {rotated_and_moved(CHIRAL, 0.3, {1, 1, 1}), far}, 0.0},
      {"equal models", {mirrored_x(CHIRAL), mirrored_x(CHIRAL)},
       kabsch_rmsd(CHIRAL, mirrored_x(CHIRAL))},
      // A NaN model never beats a finite one.
      {"NaN model first", {{{NaN, 0, 0}, {}, {}, {}, {}}, far}, kabsch_rmsd(CHIRAL, far)},
      {"NaN model last", {far, {{NaN, 0, 0}, {}, {}, {}, {}}}, kabsch_rmsd(CHIRAL, far)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(ground_truth_rmsd(prepare_ground_truth(c.models), CHIRAL), c.expected, 1e-12);
  }
}

TEST(GroundTruthRmsd, LongerModelsAreCutToTheFirst) {
  Structure longer = CHIRAL;
  longer.push_back({100, 100, 100});
  const PreparedGroundTruth prepared = prepare_ground_truth({mirrored_x(CHIRAL), longer});
  EXPECT_EQ(prepared.model_length, CHIRAL.size());
  EXPECT_EQ(prepared.points.size(), 2 * CHIRAL.size());
  EXPECT_NEAR(ground_truth_rmsd(prepared, CHIRAL), 0.0, 1e-12);
}

TEST(GroundTruthRmsd, Failures) {
  struct Case {
    const char *name;
    GroundTruth models;
    Structure structure;
    const char *message;
  };
  const Case cases[] = {
      {"no model", {}, CHIRAL, "The ground truth must have at least one model !"},
      {"second model shorter",
       {CHIRAL, Structure(3)},
       CHIRAL,
       "index out of bounds: the len is 3 but the index is 3"},
      {"structure one point longer",
       {CHIRAL},
       Structure(CHIRAL.size() + 1),
       "assertion `left == right` failed\n  left: 6\n right: 5"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ground_truth_rmsd(prepare_ground_truth(c.models), c.structure);
      ADD_FAILURE() << "no stop";
    } catch (const Stop &stop) {
      EXPECT_STREQ(stop.what(), c.message);
    }
  }
}

} // namespace
} // namespace vexa
