// Walks: the self-avoidance test and the conversion of a walk into Cartesian coordinates.
#pragma once

#include "lattice.hpp"

#include <vector>

namespace vexa {

struct Vec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
  friend bool operator==(const Vec3 &, const Vec3 &) = default;
};

using Structure = std::vector<Vec3>;

// True when no two points of the walk are equal.
bool is_self_avoiding(const Walk &walk);

// One Vec3 per point, each coordinate converted exactly and multiplied once by scale.
Structure to_structure(const Walk &walk, double scale);
void to_structure(const Walk &walk, double scale, Structure &out);

} // namespace vexa
