// Test helpers: the invariants every produced walk keeps (length, origin start, neighbour
// steps, no repeated site), checked with an ordered set rather than the library's own test.
#pragma once

#include "lattice.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

namespace vexa::testing_support {

// Built with a stream: GCC 12 warns falsely (-Wrestrict) on "(" + std::string at -O3.
inline std::string describe(LatticePoint p) {
  std::ostringstream out;
  out << '(' << p.x << ", " << p.y << ", " << p.z << ')';
  return out.str();
}

inline ::testing::AssertionResult is_lattice_walk(const Lattice &lattice, const Walk &walk) {
  if (!walk.empty() && !(walk[0] == LatticePoint{})) {
    return ::testing::AssertionFailure() << "starts at " << describe(walk[0]);
  }
  for (std::size_t i = 1; i < walk.size(); ++i) {
    const Neighbours next = neighbours(lattice, walk[i - 1]);
    if (std::find(next.begin(), next.end(), walk[i]) == next.end()) {
      return ::testing::AssertionFailure()
             << "point " << i << " " << describe(walk[i]) << " is not a neighbour of "
             << describe(walk[i - 1]);
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult is_self_avoiding_walk(const Lattice &lattice, const Walk &walk,
                                                        std::size_t n) {
  if (walk.size() != n) {
    return ::testing::AssertionFailure() << "has " << walk.size() << " points, not " << n;
  }
  if (auto steps = is_lattice_walk(lattice, walk); !steps) {
    return steps;
  }
  std::set<std::tuple<int, int, int>> seen;
  for (std::size_t i = 0; i < walk.size(); ++i) {
    if (!seen.emplace(walk[i].x, walk[i].y, walk[i].z).second) {
      return ::testing::AssertionFailure()
             << "point " << i << " " << describe(walk[i]) << " repeats";
    }
  }
  return ::testing::AssertionSuccess();
}

inline const char *kind_name(LatticeKind kind) {
  switch (kind) {
  case LatticeKind::Tetrahedral:
    return "tetrahedral";
  case LatticeKind::Fcc:
    return "fcc";
  case LatticeKind::Bcc:
    return "bcc";
  case LatticeKind::Cubic:
    return "cubic";
  }
  return "?";
}

inline constexpr LatticeKind ALL_KINDS[] = {LatticeKind::Tetrahedral, LatticeKind::Fcc,
                                            LatticeKind::Bcc, LatticeKind::Cubic};

} // namespace vexa::testing_support
