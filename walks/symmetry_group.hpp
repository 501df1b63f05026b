// Symmetry groups: the point groups Oh (48) and Td (24) as constant tables of signed
// permutation matrices, a uniform draw of one element, and applying an element or its inverse.
#pragma once

#include "rng.hpp"

#include <cstdint>
#include <span>

namespace vexa {

struct LatticePoint;

// A 3x3 integer matrix stored row by row: m[0..2] is the first row.
struct Matrix3 {
  std::int32_t m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  friend bool operator==(const Matrix3 &, const Matrix3 &) = default;
};

struct SymmetryGroup {
  std::span<const Matrix3> elements;
};

extern const Matrix3 OCTAHEDRAL_GROUP[48];
extern const Matrix3 TETRAHEDRAL_GROUP[24];

// One element drawn uniformly from the group with one draw from rng.
const Matrix3 &random_element(const SymmetryGroup &group, Rng &rng);

} // namespace vexa
