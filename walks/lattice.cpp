#include "lattice.hpp"

#include <cmath>

namespace vexa {

namespace {

// Step order matters: it fixes neighbour order, and with it the enumeration order, the step
// length and the pivot chain's starting walk.
constexpr LatticePoint TETRAHEDRAL_STEPS[4] = {{-1, 1, 1}, {1, -1, 1}, {1, 1, -1}, {-1, -1, -1}};
constexpr LatticePoint FCC_STEPS[12] = {{1, 1, 0},  {1, -1, 0},  {1, 0, 1},  {1, 0, -1},
                                        {-1, 1, 0}, {-1, -1, 0}, {-1, 0, 1}, {-1, 0, -1},
                                        {0, 1, 1},  {0, 1, -1},  {0, -1, 1}, {0, -1, -1}};
constexpr LatticePoint BCC_STEPS[8] = {{1, 1, 1},   {-1, 1, 1},  {1, -1, 1},  {1, 1, -1},
                                       {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}, {-1, -1, -1}};
constexpr LatticePoint CUBIC_STEPS[6] = {{1, 0, 0},  {0, 1, 0},  {0, 0, 1},
                                         {-1, 0, 0}, {0, -1, 0}, {0, 0, -1}};

} // namespace

Lattice make_lattice(LatticeKind kind) {
  switch (kind) {
  case LatticeKind::Tetrahedral:
    return {kind, {TETRAHEDRAL_GROUP}, TETRAHEDRAL_STEPS};
  case LatticeKind::Fcc:
    return {kind, {OCTAHEDRAL_GROUP}, FCC_STEPS};
  case LatticeKind::Bcc:
    return {kind, {OCTAHEDRAL_GROUP}, BCC_STEPS};
  case LatticeKind::Cubic:
    break;
  }
  return {LatticeKind::Cubic, {OCTAHEDRAL_GROUP}, CUBIC_STEPS};
}

Neighbours neighbours(const Lattice &lattice, LatticePoint p) {
  Neighbours result;
  result.count = lattice.steps.size();
  if (lattice.kind == LatticeKind::Tetrahedral && is_odd_site(p)) {
    for (std::size_t i = 0; i < result.count; ++i) {
      result.points[i] = p - lattice.steps[i];
    }
  } else {
    for (std::size_t i = 0; i < result.count; ++i) {
      result.points[i] = p + lattice.steps[i];
    }
  }
  return result;
}

double step_length(const Lattice &lattice) {
  const LatticePoint first = neighbours(lattice, LatticePoint{})[0];
  const auto square = [](std::int32_t v) { return static_cast<double>(v * v); };
  return std::sqrt(square(first.x) + square(first.y) + square(first.z));
}

double coordinate_scale(const Lattice &lattice, double arc_length) {
  return arc_length / step_length(lattice);
}

Walk random_walk(const Lattice &lattice, std::uint64_t n, Rng &rng) {
  Walk walk(n);
  for (std::uint64_t i = 1; i < n; ++i) {
    const Neighbours next = neighbours(lattice, walk[i - 1]);
    walk[i] = next[rng.uniform(0, next.size())];
  }
  return walk;
}

} // namespace vexa
