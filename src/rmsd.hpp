// RMSD after optimal superposition (Kabsch, proper rotations only), minimised over the models
// of a ground truth that is flattened and centred once per operation.
#pragma once

#include "walk.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vexa {

using GroundTruth = std::vector<Structure>;

// A point padded to four doubles, so that one aligned vector load reads it.
struct alignas(32) PaddedVec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  double unused = 0.0;
};

using Matrix3d = std::array<std::array<double, 3>, 3>; // [row][column]

struct PreparedGroundTruth {
  std::vector<Vec3> points; // model i occupies [i * model_length, (i + 1) * model_length)
  std::uint64_t model_count = 0;
  std::uint64_t model_length = 0;
  std::vector<Vec3> centroids; // one per model
  std::vector<PaddedVec3> centred; // points minus their model's centroid, same layout as points
};

// Throws Stop for an empty ground truth or a model shorter than the first; longer models are
// cut to the first model's length.
PreparedGroundTruth prepare_ground_truth(const GroundTruth &models);

// Instruction sets the per-point loops are compiled for; every path gives the same bits. The
// functions without a path take the last of rmsd_paths(), the others serve tests and callgrind
// (which runs no AVX2 here).
enum class RmsdPath { Sse2, Avx2 };
std::span<const RmsdPath> rmsd_paths(); // the ones this processor runs, Sse2 first

// RMSD of the model moved onto the structure; throws Stop when the lengths differ.
double kabsch_rmsd(std::span<const Vec3> structure, std::span<const Vec3> model);
double kabsch_rmsd(std::span<const Vec3> structure, std::span<const Vec3> model, RmsdPath path);

// R = U * diag(1, 1, d) * V^T for H = U * S * V^T (Kabsch, d fixing the handedness), through a
// one-sided Jacobi SVD specialised to 3x3. NaN entries when H is not finite; the identity for
// H = 0.
Matrix3d kabsch_rotation(const Matrix3d &h);
// The same rotation from Eigen's JacobiSVD, with NaN entries when it fails.
Matrix3d kabsch_rotation_reference(const Matrix3d &h);

// The same value with the rotation taken from Eigen's JacobiSVD of the cross-covariance: the
// reference the tests hold the faster decomposition to.
double kabsch_rmsd_reference(std::span<const Vec3> structure, std::span<const Vec3> model);

// Least kabsch_rmsd over the models (IEEE 754 total order, earlier model on ties); NaN when
// there is no model. Allocates only to grow the calling thread's scratch for short structures.
double ground_truth_rmsd(const PreparedGroundTruth &prepared, std::span<const Vec3> structure);
double ground_truth_rmsd(const PreparedGroundTruth &prepared, std::span<const Vec3> structure,
                         RmsdPath path);

} // namespace vexa
