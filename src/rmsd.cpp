// Kabsch superposition of a model onto a structure: the cross-covariance and the deviations
// summed in vector lanes across coordinates, the rotation from a one-sided Jacobi SVD specialised
// to 3x3 (Eigen's JacobiSVD kept as the reference), and the least RMSD over the models.
#include "rmsd.hpp"

#include "stop.hpp"

#include <Eigen/Core>
#include <Eigen/LU>
#include <Eigen/SVD>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace vexa {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Summed in index order from 0.0, then divided once, so every caller gets the same bits.
Vec3 centroid(std::span<const Vec3> points) {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  for (const Vec3 &p : points) {
    x += p.x;
    y += p.y;
    z += p.z;
  }
  const auto n = static_cast<double>(points.size());
  return {x / n, y / n, z / n};
}

Vec3 minus(const Vec3 &a, const Vec3 &b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

Vec3 rotate(const Matrix3d &r, const Vec3 &p) {
  return {r[0][0] * p.x + r[0][1] * p.y + r[0][2] * p.z,
          r[1][0] * p.x + r[1][1] * p.y + r[1][2] * p.z,
          r[2][0] * p.x + r[2][1] * p.y + r[2][2] * p.z};
}

Matrix3d nan_matrix() { return {{{NaN, NaN, NaN}, {NaN, NaN, NaN}, {NaN, NaN, NaN}}}; }

// --- The rotation --------------------------------------------------------------------------

using Column = std::array<double, 3>;

double dot(const Column &a, const Column &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// [p, q] <- [p, q] * [[c, s], [-s, c]]
void rotate_pair(Column &p, Column &q, double c, double s) {
  for (int r = 0; r < 3; ++r) {
    const double x = p[r];
    const double y = q[r];
    p[r] = c * x - s * y;
    q[r] = s * x + c * y;
  }
}

// Columns count as orthogonal once their cosine is at most 5 * 2^-52 (compared squared).
constexpr double TOLERANCE = 1.1102230246251565e-15;
constexpr double TOLERANCE_SQUARED = TOLERANCE * TOLERANCE;
// Convergence is quadratic and takes a handful of sweeps; the bound only stops rounding from
// undoing a rotation forever on noise-level columns.
constexpr int MAX_SWEEPS = 40;

// The old superposition, scalar, with the rotation from Eigen: the reference for the tests.
double literal_rmsd(std::span<const Vec3> s, std::span<const Vec3> g) {
  const Vec3 cs = centroid(s);
  const Vec3 cg = centroid(g);
  Matrix3d h{};
  for (std::size_t i = 0; i < s.size(); ++i) {
    const Vec3 a = minus(s[i], cs);
    const Vec3 b = minus(g[i], cg);
    const double ar[3] = {a.x, a.y, a.z};
    const double bc[3] = {b.x, b.y, b.z};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        h[r][c] += ar[r] * bc[c];
      }
    }
  }
  const Matrix3d rot = kabsch_rotation_reference(h);
  const Vec3 t = minus(cs, rotate(rot, cg));
  double sum = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const Vec3 moved = rotate(rot, g[i]);
    const double ex = moved.x + t.x - s[i].x;
    const double ey = moved.y + t.y - s[i].y;
    const double ez = moved.z + t.z - s[i].z;
    sum += (ex * ex + ey * ey) + ez * ez;
  }
  return std::sqrt(sum / static_cast<double>(s.size()));
}

// --- The per-point loops -------------------------------------------------------------------

// Four doubles; lanes run across x, y, z (the fourth idles), never across points, so every
// entry is summed in index order exactly as in the scalar loops. No function takes or returns
// one: the SSE2 build would pass it differently from the AVX2 one.
typedef double Lanes __attribute__((vector_size(32)));

// a: centred structure, s: structure, b: centred model, g: model, all n points. Only AVX2's
// wider registers: FMA stays off, as everywhere in the project.
[[gnu::target("avx2")]] double superpose_avx2(const PaddedVec3 *a, const PaddedVec3 *s,
                                              const PaddedVec3 *b, const Vec3 *g, std::size_t n,
                                              const Vec3 &cs, const Vec3 &cg) {
  // Row r of H = sum_i a_i[r] * b_i: rows from the structure, columns from the model.
  Lanes h0 = {0.0, 0.0, 0.0, 0.0};
  Lanes h1 = h0;
  Lanes h2 = h0;
  for (std::size_t i = 0; i < n; ++i) {
    Lanes bi;
    std::memcpy(&bi, &b[i], sizeof bi);
    h0 += a[i].x * bi;
    h1 += a[i].y * bi;
    h2 += a[i].z * bi;
  }
  const Matrix3d h = {{{h0[0], h0[1], h0[2]}, {h1[0], h1[1], h1[2]}, {h2[0], h2[1], h2[2]}}};
  const Matrix3d r = kabsch_rotation(h);
  const Vec3 t = minus(cs, rotate(r, cg));

  const Lanes c0 = {r[0][0], r[1][0], r[2][0], 0.0};
  const Lanes c1 = {r[0][1], r[1][1], r[2][1], 0.0};
  const Lanes c2 = {r[0][2], r[1][2], r[2][2], 0.0};
  const Lanes tv = {t.x, t.y, t.z, 0.0};
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    Lanes si;
    std::memcpy(&si, &s[i], sizeof si);
    const Lanes moved = (c0 * g[i].x + c1 * g[i].y) + c2 * g[i].z;
    const Lanes e = (moved + tv) - si;
    const Lanes q = e * e;
    sum += (q[0] + q[1]) + q[2];
  }
  return std::sqrt(sum / static_cast<double>(n));
}

// Without AVX2 the four-double lanes split into SSE2 halves and shuffles; plain scalar code in
// the same order runs fewer instructions.
double superpose_sse2(const PaddedVec3 *a, const PaddedVec3 *s, const PaddedVec3 *b,
                      const Vec3 *g, std::size_t n, const Vec3 &cs, const Vec3 &cg) {
  Matrix3d h{};
  for (std::size_t i = 0; i < n; ++i) {
    const double ar[3] = {a[i].x, a[i].y, a[i].z};
    for (int r = 0; r < 3; ++r) {
      h[r][0] += ar[r] * b[i].x;
      h[r][1] += ar[r] * b[i].y;
      h[r][2] += ar[r] * b[i].z;
    }
  }
  const Matrix3d r = kabsch_rotation(h);
  const Vec3 t = minus(cs, rotate(r, cg));
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const Vec3 moved = rotate(r, g[i]);
    const double ex = moved.x + t.x - s[i].x;
    const double ey = moved.y + t.y - s[i].y;
    const double ez = moved.z + t.z - s[i].z;
    sum += (ex * ex + ey * ey) + ez * ez;
  }
  return std::sqrt(sum / static_cast<double>(n));
}

using Superpose = double (*)(const PaddedVec3 *, const PaddedVec3 *, const PaddedVec3 *,
                             const Vec3 *, std::size_t, const Vec3 &, const Vec3 &);

std::span<const RmsdPath> detect_paths() {
  static constexpr RmsdPath ALL[] = {RmsdPath::Sse2, RmsdPath::Avx2};
  __builtin_cpu_init();
  return {ALL, __builtin_cpu_supports("avx2") ? std::size_t{2} : std::size_t{1}};
}

const std::span<const RmsdPath> PATHS = detect_paths();

Superpose superpose_on(RmsdPath path) {
  return path == RmsdPath::Avx2 ? superpose_avx2 : superpose_sse2;
}

PaddedVec3 padded(const Vec3 &p) { return {p.x, p.y, p.z, 0.0}; }

// Points of scratch kept by each thread between calls; longer structures get their own buffer.
constexpr std::size_t KEPT_SCRATCH = std::size_t{3} << 12;

// `count` padded points: the calling thread's kept buffer, or `own` when that would be large.
PaddedVec3 *scratch(std::vector<PaddedVec3> &own, std::size_t count) {
  thread_local std::vector<PaddedVec3> kept;
  std::vector<PaddedVec3> &buffer = count <= KEPT_SCRATCH ? kept : own;
  if (buffer.size() < count) {
    buffer.resize(count);
  }
  return buffer.data();
}

// The structure padded into s and centred into a.
void fill_structure(std::span<const Vec3> structure, const Vec3 &cs, PaddedVec3 *a,
                    PaddedVec3 *s) {
  for (std::size_t i = 0; i < structure.size(); ++i) {
    a[i] = padded(minus(structure[i], cs));
    s[i] = padded(structure[i]);
  }
}

[[noreturn]] void length_mismatch(std::size_t left, std::size_t right) {
  throw Stop("assertion `left == right` failed\n  left: " + std::to_string(left) +
             "\n right: " + std::to_string(right));
}

// IEEE 754 totalOrder as a signed integer key: negative NaN < -inf < ... < -0 < +0 < ... < NaN.
std::int64_t total_order_key(double x) {
  auto bits = std::bit_cast<std::int64_t>(x);
  bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  return bits;
}

} // namespace

PreparedGroundTruth prepare_ground_truth(const GroundTruth &models) {
  if (models.empty()) {
    throw Stop("The ground truth must have at least one model !");
  }
  PreparedGroundTruth prepared;
  const std::size_t count = models.size();
  const std::size_t length = models[0].size();
  prepared.model_count = count;
  prepared.model_length = length;
  prepared.points.resize(count * length);
  prepared.centred.resize(count * length);
  prepared.centroids.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Structure &model = models[i];
    if (model.size() < length) {
      throw Stop("index out of bounds: the len is " + std::to_string(model.size()) +
                 " but the index is " + std::to_string(model.size()));
    }
    const std::span<const Vec3> kept(model.data(), length);
    Vec3 *points = prepared.points.data() + i * length;
    PaddedVec3 *centred = prepared.centred.data() + i * length;
    const Vec3 c = centroid(kept);
    prepared.centroids[i] = c;
    for (std::size_t j = 0; j < length; ++j) {
      points[j] = kept[j];
      centred[j] = padded(minus(kept[j], c));
    }
  }
  return prepared;
}

Matrix3d kabsch_rotation(const Matrix3d &h) {
  // Scaled so the largest entry is 1: the squared column norms neither overflow nor underflow,
  // and R does not depend on the scale.
  double largest = 0.0;
  for (const auto &row : h) {
    for (const double x : row) {
      if (!std::isfinite(x)) {
        return nan_matrix();
      }
      largest = std::max(largest, std::fabs(x));
    }
  }
  if (largest == 0.0) {
    return {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}; // any rotation is optimal
  }
  const double inverse = 1.0 / largest;
  // One-sided Jacobi (Hestenes): B = H * V with V a product of plane rotations, until the
  // columns of B are orthogonal; then B's columns are S's entries times U's columns.
  std::array<Column, 3> b;
  for (int c = 0; c < 3; ++c) {
    b[c] = {h[0][c] * inverse, h[1][c] * inverse, h[2][c] * inverse};
  }
  std::array<Column, 3> v = {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
  constexpr int PAIRS[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < MAX_SWEEPS; ++sweep) {
    bool rotated = false;
    for (const auto &pair : PAIRS) {
      Column &p = b[pair[0]];
      Column &q = b[pair[1]];
      const double alpha = dot(p, p);
      const double beta = dot(q, q);
      const double gamma = dot(p, q);
      if (!(gamma * gamma > TOLERANCE_SQUARED * alpha * beta)) {
        continue;
      }
      rotated = true;
      // The smaller root of t^2 + 2 zeta t - 1 = 0 makes the new columns orthogonal.
      const double zeta = (beta - alpha) / (2.0 * gamma);
      const double t = std::copysign(1.0, zeta) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
      const double c = 1.0 / std::sqrt(1.0 + t * t);
      const double s = c * t;
      rotate_pair(p, q, c, s);
      rotate_pair(v[pair[0]], v[pair[1]], c, s);
    }
    if (!rotated) {
      break;
    }
  }

  // Columns by decreasing norm; the smallest takes the handedness. With det V = +1, choosing
  // U's third column to make det U = +1 gives R = U * V^T directly: that is d folded into U.
  const double norm[3] = {dot(b[0], b[0]), dot(b[1], b[1]), dot(b[2], b[2])};
  // Three compare-exchanges; ties keep index order.
  int i0 = 0;
  int i1 = 1;
  int i2 = 2;
  if (norm[i1] > norm[i0]) {
    std::swap(i0, i1);
  }
  if (norm[i2] > norm[i1]) {
    std::swap(i1, i2);
  }
  if (norm[i1] > norm[i0]) {
    std::swap(i0, i1);
  }
  // (i0, i1, i2) is an even permutation exactly when it is a cyclic shift of (0, 1, 2).
  const double parity = (i1 == (i0 + 1) % 3) ? 1.0 : -1.0;

  std::array<Column, 3> u;
  const double n0 = 1.0 / std::sqrt(norm[i0]);
  u[i0] = {b[i0][0] * n0, b[i0][1] * n0, b[i0][2] * n0};
  // Orthogonalised against u[i0] once more: exact up to rounding, and defined for rank one.
  Column w = b[i1];
  const double along = dot(u[i0], w);
  for (int r = 0; r < 3; ++r) {
    w[r] -= along * u[i0][r];
  }
  double w2 = dot(w, w);
  if (!(w2 >= DBL_MIN)) {
    // Rank one: any unit vector orthogonal to u[i0]; the axis least along it keeps precision.
    int axis = 0;
    for (int r = 1; r < 3; ++r) {
      if (std::fabs(u[i0][r]) < std::fabs(u[i0][axis])) {
        axis = r;
      }
    }
    w = {0.0, 0.0, 0.0};
    w[axis] = 1.0;
    const double e = u[i0][axis];
    for (int r = 0; r < 3; ++r) {
      w[r] -= e * u[i0][r];
    }
    w2 = dot(w, w);
  }
  const double n1 = 1.0 / std::sqrt(w2);
  u[i1] = {w[0] * n1, w[1] * n1, w[2] * n1};
  const Column &x = u[i0];
  const Column &y = u[i1];
  u[i2] = {parity * (x[1] * y[2] - x[2] * y[1]), parity * (x[2] * y[0] - x[0] * y[2]),
           parity * (x[0] * y[1] - x[1] * y[0])};

  Matrix3d rot;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      rot[r][c] = u[0][r] * v[0][c] + u[1][r] * v[1][c] + u[2][r] * v[2][c];
    }
  }
  return rot;
}

Matrix3d kabsch_rotation_reference(const Matrix3d &h) {
  Eigen::Matrix3d hm;
  hm << h[0][0], h[0][1], h[0][2], h[1][0], h[1][1], h[1][2], h[2][0], h[2][1], h[2][2];
  // Jacobi sweeps end on NaN (comparisons fail) and Eigen refuses non-finite input outright,
  // leaving U and V unset.
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(hm, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) {
    return nan_matrix();
  }
  const Eigen::Matrix3d &u = svd.matrixU();
  const Eigen::Matrix3d vt = svd.matrixV().transpose();
  // A zero or NaN product keeps d = +1.
  const double d = u.determinant() * vt.determinant() < 0.0 ? -1.0 : 1.0;
  const double diag[3] = {1.0, 1.0, d};
  Matrix3d rot;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) {
        sum += u(r, k) * diag[k] * vt(k, c);
      }
      rot[r][c] = sum;
    }
  }
  return rot;
}

std::span<const RmsdPath> rmsd_paths() { return PATHS; }

double kabsch_rmsd(std::span<const Vec3> structure, std::span<const Vec3> model) {
  return kabsch_rmsd(structure, model, PATHS.back());
}

double kabsch_rmsd(std::span<const Vec3> structure, std::span<const Vec3> model, RmsdPath path) {
  if (structure.size() != model.size()) {
    length_mismatch(structure.size(), model.size());
  }
  const std::size_t n = structure.size();
  const Vec3 cs = centroid(structure);
  const Vec3 cg = centroid(model);
  std::vector<PaddedVec3> own;
  PaddedVec3 *a = scratch(own, 3 * n);
  PaddedVec3 *s = a + n;
  PaddedVec3 *b = s + n;
  fill_structure(structure, cs, a, s);
  for (std::size_t i = 0; i < n; ++i) {
    b[i] = padded(minus(model[i], cg));
  }
  return superpose_on(path)(a, s, b, model.data(), n, cs, cg);
}

double kabsch_rmsd_reference(std::span<const Vec3> structure, std::span<const Vec3> model) {
  if (structure.size() != model.size()) {
    length_mismatch(structure.size(), model.size());
  }
  return literal_rmsd(structure, model);
}

double ground_truth_rmsd(const PreparedGroundTruth &prepared, std::span<const Vec3> structure) {
  return ground_truth_rmsd(prepared, structure, PATHS.back());
}

double ground_truth_rmsd(const PreparedGroundTruth &prepared, std::span<const Vec3> structure,
                         RmsdPath path) {
  if (prepared.model_count == 0) {
    return NaN;
  }
  const std::size_t length = prepared.model_length;
  if (structure.size() != length) {
    length_mismatch(structure.size(), length);
  }
  // The structure is centred once for all models.
  const Vec3 cs = centroid(structure);
  std::vector<PaddedVec3> own;
  PaddedVec3 *a = scratch(own, 2 * length);
  PaddedVec3 *s = a + length;
  fill_structure(structure, cs, a, s);
  const Superpose superpose = superpose_on(path);
  double best = 0.0;
  for (std::size_t i = 0; i < prepared.model_count; ++i) {
    const double x = superpose(a, s, prepared.centred.data() + i * length,
                               prepared.points.data() + i * length, length, cs,
                               prepared.centroids[i]);
    if (i == 0 || total_order_key(x) < total_order_key(best)) {
      best = x;
    }
  }
  return best;
}

} // namespace vexa
