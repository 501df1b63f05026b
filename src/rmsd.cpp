// Kabsch superposition of a model onto a structure through a 3x3 SVD (Eigen), and the least
// RMSD over the models of a prepared ground truth.
#include "rmsd.hpp"

#include "stop.hpp"

#include <Eigen/Core>
#include <Eigen/LU>
#include <Eigen/SVD>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace vexa {
namespace {

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

// RMSD of model g (centroid cg, centred points from centred_model(i)) moved onto structure s
// (centroid cs). The centred structure is formed on the fly: no scratch storage.
template <typename CentredModel>
double superposed_rmsd(std::span<const Vec3> s, const Vec3 &cs, std::span<const Vec3> g,
                       const Vec3 &cg, CentredModel centred_model) {
  // H[r][c] = sum_i a_i[r] * b_i[c]: rows from the structure, columns from the model.
  double h[3][3] = {};
  for (std::size_t i = 0; i < s.size(); ++i) {
    const Vec3 a = minus(s[i], cs);
    const Vec3 b = centred_model(i);
    const double ar[3] = {a.x, a.y, a.z};
    const double bc[3] = {b.x, b.y, b.z};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        h[r][c] += ar[r] * bc[c];
      }
    }
  }
  Eigen::Matrix3d hm;
  hm << h[0][0], h[0][1], h[0][2], h[1][0], h[1][1], h[1][2], h[2][0], h[2][1], h[2][2];

  // Jacobi sweeps end on NaN (comparisons fail) and Eigen refuses non-finite input outright,
  // leaving U and V unset: such coordinates have no meaningful RMSD.
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(hm, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const Eigen::Matrix3d &u = svd.matrixU();
  const Eigen::Matrix3d vt = svd.matrixV().transpose();
  // A zero or NaN product keeps d = +1.
  const double d = u.determinant() * vt.determinant() < 0.0 ? -1.0 : 1.0;
  const double diag[3] = {1.0, 1.0, d};

  double rot[3][3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) {
        sum += u(r, k) * diag[k] * vt(k, c);
      }
      rot[r][c] = sum;
    }
  }
  const auto rotate = [&rot](const Vec3 &p) {
    return Vec3{rot[0][0] * p.x + rot[0][1] * p.y + rot[0][2] * p.z,
                rot[1][0] * p.x + rot[1][1] * p.y + rot[1][2] * p.z,
                rot[2][0] * p.x + rot[2][1] * p.y + rot[2][2] * p.z};
  };
  const Vec3 t = minus(cs, rotate(cg));

  double sum = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const Vec3 moved = rotate(g[i]);
    const double ex = moved.x + t.x - s[i].x;
    const double ey = moved.y + t.y - s[i].y;
    const double ez = moved.z + t.z - s[i].z;
    sum += (ex * ex + ey * ey) + ez * ez;
  }
  return std::sqrt(sum / static_cast<double>(s.size()));
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
    Vec3 *centred = prepared.centred.data() + i * length;
    const Vec3 c = centroid(kept);
    prepared.centroids[i] = c;
    for (std::size_t j = 0; j < length; ++j) {
      points[j] = kept[j];
      centred[j] = minus(kept[j], c);
    }
  }
  return prepared;
}

double kabsch_rmsd(std::span<const Vec3> structure, std::span<const Vec3> model) {
  if (structure.size() != model.size()) {
    length_mismatch(structure.size(), model.size());
  }
  const Vec3 cs = centroid(structure);
  const Vec3 cg = centroid(model);
  return superposed_rmsd(structure, cs, model, cg,
                         [&](std::size_t i) { return minus(model[i], cg); });
}

double ground_truth_rmsd(const PreparedGroundTruth &prepared, std::span<const Vec3> structure) {
  if (prepared.model_count == 0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const std::size_t length = prepared.model_length;
  if (structure.size() != length) {
    length_mismatch(structure.size(), length);
  }
  const Vec3 cs = centroid(structure);
  double best = 0.0;
  for (std::size_t i = 0; i < prepared.model_count; ++i) {
    const std::span<const Vec3> model(prepared.points.data() + i * length, length);
    const Vec3 *centred = prepared.centred.data() + i * length;
    const double x = superposed_rmsd(structure, cs, model, prepared.centroids[i],
                                     [centred](std::size_t j) { return centred[j]; });
    if (i == 0 || total_order_key(x) < total_order_key(best)) {
      best = x;
    }
  }
  return best;
}

} // namespace vexa
