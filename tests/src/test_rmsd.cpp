// Kabsch RMSD: degenerate geometry, handedness, the prepared ground truth and its failures.
#include "rmsd.hpp"

#include "rng.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
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

// A structure of n points in [-8, 8)^3 with its last `flat` coordinates set to 0, optionally
// moved rigidly, then each coordinate scaled by `scale`.
Structure shaped(Rng &rng, std::size_t n, int flat, double scale) {
  Structure s = random_structure(rng, n);
  for (Vec3 &p : s) {
    if (flat >= 1) {
      p.z = 0.0;
    }
    if (flat >= 2) {
      p.y = 0.0;
    }
  }
  for (Vec3 &p : s) {
    p = {p.x * scale, p.y * scale, p.z * scale};
  }
  return s;
}

// Noise of amplitude `size` added to every coordinate.
Structure noisy(Rng &rng, const Structure &s, double size) {
  Structure out = s;
  for (Vec3 &p : out) {
    const auto u = [&rng] { return static_cast<double>(rng.below(1u << 30)) * 0x1p-30 - 0.5; };
    p = {p.x + size * u(), p.y + size * u(), p.z + size * u()};
  }
  return out;
}

// The superposition exactly as first written: scalar loops in index order, centroids divided
// once, the rotation given. The vector lanes must reproduce it bit for bit.
double literal_rmsd(const Structure &s, const Structure &g,
                    Matrix3d (*rotation)(const Matrix3d &)) {
  const auto centroid = [](const Structure &p) {
    double x = 0.0, y = 0.0, z = 0.0;
    for (const Vec3 &q : p) {
      x += q.x;
      y += q.y;
      z += q.z;
    }
    const auto n = static_cast<double>(p.size());
    return Vec3{x / n, y / n, z / n};
  };
  const Vec3 cs = centroid(s), cg = centroid(g);
  Matrix3d h{};
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double a[3] = {s[i].x - cs.x, s[i].y - cs.y, s[i].z - cs.z};
    const double b[3] = {g[i].x - cg.x, g[i].y - cg.y, g[i].z - cg.z};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        h[r][c] += a[r] * b[c];
      }
    }
  }
  const Matrix3d rot = rotation(h);
  const auto rotate = [&rot](const Vec3 &p) {
    return Vec3{rot[0][0] * p.x + rot[0][1] * p.y + rot[0][2] * p.z,
                rot[1][0] * p.x + rot[1][1] * p.y + rot[1][2] * p.z,
                rot[2][0] * p.x + rot[2][1] * p.y + rot[2][2] * p.z};
  };
  const Vec3 rc = rotate(cg);
  const Vec3 t = {cs.x - rc.x, cs.y - rc.y, cs.z - rc.z};
  double sum = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const Vec3 m = rotate(g[i]);
    const double ex = m.x + t.x - s[i].x, ey = m.y + t.y - s[i].y, ez = m.z + t.z - s[i].z;
    sum += (ex * ex + ey * ey) + ez * ez;
  }
  return std::sqrt(sum / static_cast<double>(s.size()));
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

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

// |a - b| within `relative` of the larger, or within `absolute` (rounding of the coordinates'
// own size shows up absolutely when the RMSD is near zero).
void expect_close(double a, double b, double relative, double absolute) {
  EXPECT_LE(std::fabs(a - b), std::max(relative * std::max(a, b), absolute)) << a << " vs " << b;
}

struct Geometry {
  const char *name;
  std::size_t n;
  int flat;     // 0: general, 1: planar (rank 2), 2: collinear (rank 1)
  bool mirror;  // the model is the structure's mirror image (before the noise)
  double noise; // relative to the structure's size
  double scale;
};

const Geometry GEOMETRIES[] = {
    {"general", 12, 0, false, 1.0, 1.0},
    {"general, close copy", 30, 0, false, 1e-6, 1.0},
    {"general, exact copy", 30, 0, false, 0.0, 1.0},
    {"mirror image", 12, 0, true, 0.0, 1.0},
    {"mirror image, noisy", 12, 0, true, 1e-3, 1.0},
    {"planar", 10, 1, false, 0.0, 1.0},
    {"planar mirror", 10, 1, true, 0.0, 1.0},
    {"planar, noisy", 10, 1, false, 1e-4, 1.0},
    {"collinear", 6, 2, false, 0.0, 1.0},
    {"collinear, noisy", 6, 2, false, 1e-5, 1.0},
    {"two points", 2, 0, false, 1.0, 1.0},
    {"three points", 3, 0, false, 1.0, 1.0},
    {"one point", 1, 0, false, 1.0, 1.0},
    {"huge coordinates", 8, 0, false, 1.0, 1e150},
    {"tiny coordinates", 8, 0, false, 1.0, 1e-150},
    {"long chain", 500, 0, false, 0.1, 1.0},
};

// A structure and a model of the geometry: the model is the structure (or its mirror), turned
// and moved, plus noise; 'general' with noise 1 is an unrelated structure of the same size.
std::pair<Structure, Structure> structure_and_model(Rng &rng, const Geometry &g) {
  const Structure s = shaped(rng, g.n, g.flat, g.scale);
  Structure m = g.mirror ? mirrored_x(s) : s;
  const double angle = static_cast<double>(rng.below(1000)) * 0.00628;
  m = rotated_and_moved(m, angle, {3.0 * g.scale, -1.0 * g.scale, 2.0 * g.scale});
  m = noisy(rng, m, 16.0 * g.scale * g.noise);
  return {s, m};
}

// Against Eigen's JacobiSVD (the reference), for each geometry on many random draws: equal up
// to rounding, and the largest relative difference seen is printed for the record.
TEST(KabschRmsd, FastRotationMatchesEigenReference) {
  Rng rng(2024);
  double worst = 0.0;
  for (const Geometry &g : GEOMETRIES) {
    SCOPED_TRACE(g.name);
    for (int trial = 0; trial < 400; ++trial) {
      const auto [s, m] = structure_and_model(rng, g);
      const double fast = kabsch_rmsd(s, m);
      const double reference = kabsch_rmsd_reference(s, m);
      // Rounding of coordinates of size 16 * scale, seen through a square root of a sum.
      const double absolute = 1e-6 * g.scale;
      expect_close(fast, reference, 1e-12, absolute);
      if (reference > 1e-3 * g.scale) {
        worst = std::max(worst, std::fabs(fast - reference) / reference);
      }
    }
  }
  std::printf("largest relative difference from the Eigen reference: %.3g\n", worst);
  RecordProperty("largest_relative_difference", std::to_string(worst));
}

TEST(KabschRotation, ProperAndAsGoodAsEigen) {
  // R is a rotation (R^T R = I, det R = +1) and reaches the reference's tr(R^T H), the quantity
  // the superposition maximises.
  Rng rng(77);
  const auto trace = [](const Matrix3d &r, const Matrix3d &h) {
    double t = 0.0;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        t += r[i][j] * h[i][j];
      }
    }
    return t;
  };
  const auto entry = [&rng] { return static_cast<double>(rng.below(1u << 20)) * 0x1p-19 - 1.0; };
  struct Case {
    const char *name;
    Matrix3d h;
  };
  std::vector<Case> cases = {
      {"zero", {}},
      {"identity", {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}},
      {"reflection", {{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}},
      {"rank one", {{{1, 2, 3}, {2, 4, 6}, {-1, -2, -3}}}},
      {"rank two", {{{1, 0, 0}, {0, 2, 0}, {0, 0, 0}}}},
      {"equal singular values", {{{0, 2, 0}, {2, 0, 0}, {0, 0, 2}}}},
      {"permuted, odd", {{{0, 3, 0}, {5, 0, 0}, {0, 0, 1}}}},
      {"permuted, even", {{{0, 0, 5}, {3, 0, 0}, {0, 1, 0}}}},
  };
  for (int i = 0; i < 2000; ++i) {
    Matrix3d h;
    for (auto &row : h) {
      for (double &x : row) {
        x = entry();
      }
    }
    if (i % 3 == 1) { // rank two: third row a combination of the others
      for (int c = 0; c < 3; ++c) {
        h[2][c] = 0.5 * h[0][c] - 2.0 * h[1][c];
      }
    }
    cases.push_back({"random", h});
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Matrix3d r = kabsch_rotation(c.h);
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        const double dot = r[0][i] * r[0][j] + r[1][i] * r[1][j] + r[2][i] * r[2][j];
        EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-14);
      }
    }
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                       r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    EXPECT_NEAR(det, 1.0, 1e-14);
    const double best = trace(kabsch_rotation_reference(c.h), c.h);
    EXPECT_NEAR(trace(r, c.h), best, 1e-14 * std::max(1.0, std::fabs(best)));
  }
}

TEST(KabschRotation, NonFiniteGivesNaN) {
  for (const double bad : {NaN, Inf, -Inf}) {
    Matrix3d h = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    h[1][2] = bad;
    const Matrix3d r = kabsch_rotation(h);
    EXPECT_TRUE(std::isnan(r[0][0]) && std::isnan(r[2][2])) << bad;
  }
}

TEST(KabschRmsd, EveryPathReproducesTheScalarLoopsBitForBit) {
  Rng rng(5);
  for (const Geometry &g : GEOMETRIES) {
    SCOPED_TRACE(g.name);
    for (int trial = 0; trial < 20; ++trial) {
      const auto [s, m] = structure_and_model(rng, g);
      const double expected = literal_rmsd(s, m, kabsch_rotation);
      const PreparedGroundTruth prepared = prepare_ground_truth({m});
      for (const RmsdPath path : rmsd_paths()) {
        SCOPED_TRACE(static_cast<int>(path));
        EXPECT_TRUE(same_bits(kabsch_rmsd(s, m, path), expected));
        EXPECT_TRUE(same_bits(ground_truth_rmsd(prepared, s, path), expected));
      }
    }
  }
}

TEST(KabschRmsd, ScratchIsPerThreadAndLongStructuresWork) {
  // Lengths on both sides of the kept scratch (4096 points per structure), interleaved, on two
  // threads at once: each result must equal the scalar loops'.
  Rng rng(9);
  std::vector<std::pair<Structure, Structure>> pairs;
  for (const std::size_t n : {5u, 5000u, 7u, 4096u, 4097u, 3u}) {
    Structure s = random_structure(rng, n);
    pairs.emplace_back(s, noisy(rng, rotated_and_moved(s, 0.3, {1, 2, 3}), 0.5));
  }
  std::vector<double> expected;
  for (const auto &[s, m] : pairs) {
    expected.push_back(literal_rmsd(s, m, kabsch_rotation));
  }
  const auto run = [&](std::vector<double> &out) {
    for (int round = 0; round < 3; ++round) {
      for (const auto &[s, m] : pairs) {
        out.push_back(kabsch_rmsd(s, m));
        out.push_back(ground_truth_rmsd(prepare_ground_truth({m, s}), s));
      }
    }
  };
  std::vector<double> first, second;
  std::thread other([&] { run(second); });
  run(first);
  other.join();
  for (const std::vector<double> *results : {&first, &second}) {
    for (std::size_t i = 0; i < results->size(); i += 2) {
      const std::size_t k = (i / 2) % pairs.size();
      EXPECT_TRUE(same_bits((*results)[i], expected[k])) << k;
      EXPECT_NEAR((*results)[i + 1], 0.0, 1e-9) << k; // the structure itself is a model
    }
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
