// Symmetry groups: the point groups Oh (48) and Td (24) as constant tables of signed
// permutation matrices, a uniform draw of one element, and applying an element or its inverse.
#pragma once

#include "lattice_point.hpp"
#include "rng.hpp"

#include <cstdint>
#include <span>

namespace vexa {

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

// One element drawn uniformly from the group with one draw rng.uniform(0, N).
const Matrix3 &random_element(const SymmetryGroup &group, Rng &rng);

namespace detail {
// a * b + c * d + e * f in wrapping 32-bit arithmetic.
inline std::int32_t dot3(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d,
                         std::int32_t e, std::int32_t f) {
  const auto u = [](std::int32_t v) { return static_cast<std::uint32_t>(v); };
  return static_cast<std::int32_t>(u(a) * u(b) + u(c) * u(d) + u(e) * u(f));
}
} // namespace detail

// M d.
inline LatticePoint apply(const Matrix3 &mat, LatticePoint d) {
  const std::int32_t *m = mat.m;
  return {detail::dot3(m[0], d.x, m[1], d.y, m[2], d.z),
          detail::dot3(m[3], d.x, m[4], d.y, m[5], d.z),
          detail::dot3(m[6], d.x, m[7], d.y, m[8], d.z)};
}

// M^T d: the inverse of apply for the orthogonal group elements.
inline LatticePoint apply_transpose(const Matrix3 &mat, LatticePoint d) {
  const std::int32_t *m = mat.m;
  return {detail::dot3(m[0], d.x, m[3], d.y, m[6], d.z),
          detail::dot3(m[1], d.x, m[4], d.y, m[7], d.z),
          detail::dot3(m[2], d.x, m[5], d.y, m[8], d.z)};
}

} // namespace vexa
