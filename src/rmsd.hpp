// RMSD after optimal superposition (Kabsch, proper rotations only), minimised over the models
// of a ground truth that is flattened and centred once per operation.
#pragma once

#include "walk.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace vexa {

using GroundTruth = std::vector<Structure>;

struct PreparedGroundTruth {
  std::vector<Vec3> points; // model i occupies [i * model_length, (i + 1) * model_length)
  std::uint64_t model_count = 0;
  std::uint64_t model_length = 0;
  std::vector<Vec3> centroids; // one per model
  std::vector<Vec3> centred;   // points minus their model's centroid, same layout as points
};

// Throws Stop for an empty ground truth or a model shorter than the first; longer models are
// cut to the first model's length.
PreparedGroundTruth prepare_ground_truth(const GroundTruth &models);

// RMSD of the model moved onto the structure; throws Stop when the lengths differ.
double kabsch_rmsd(std::span<const Vec3> structure, std::span<const Vec3> model);

// Least kabsch_rmsd over the models (IEEE 754 total order, earlier model on ties); NaN when
// there is no model. Allocates nothing.
double ground_truth_rmsd(const PreparedGroundTruth &prepared, std::span<const Vec3> structure);

} // namespace vexa
