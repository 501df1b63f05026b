// Lattices: the four lattice kinds, lattice points, ordered step tables, the neighbour rule
// (with the two tetrahedral sublattices), step length, coordinate scale and the random walk.
#pragma once

#include "rng.hpp"
#include "symmetry_group.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace vexa {

enum class LatticeKind : std::uint8_t { Tetrahedral = 0, Fcc = 1, Bcc = 2, Cubic = 3 };

struct LatticePoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t z = 0;
  friend bool operator==(const LatticePoint &, const LatticePoint &) = default;
  // Component-wise 32-bit arithmetic (wrapping, never undefined).
  friend LatticePoint operator+(LatticePoint a, LatticePoint b) {
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(a.x) + static_cast<std::uint32_t>(b.x)),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(a.y) + static_cast<std::uint32_t>(b.y)),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(a.z) + static_cast<std::uint32_t>(b.z))};
  }
  friend LatticePoint operator-(LatticePoint a, LatticePoint b) {
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(a.x) - static_cast<std::uint32_t>(b.x)),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(a.y) - static_cast<std::uint32_t>(b.y)),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(a.z) - static_cast<std::uint32_t>(b.z))};
  }
};

struct LatticePointHash {
  std::size_t operator()(const LatticePoint &p) const noexcept;
};

inline constexpr std::size_t MAX_NEIGHBOURS = 12;

struct Lattice {
  LatticeKind kind = LatticeKind::Cubic;
  SymmetryGroup group;
  std::span<const LatticePoint> steps;
};

// The lattice of one kind, built from the constant step and group tables.
Lattice make_lattice(LatticeKind kind);

// The k neighbours of p in step order; on the tetrahedral lattice an odd site (lowest bit of
// the 32-bit coordinate sum set) takes the opposite steps. Fixed capacity, no allocation.
struct Neighbours {
  std::array<LatticePoint, MAX_NEIGHBOURS> points;
  std::size_t count = 0;
  const LatticePoint *begin() const { return points.data(); }
  const LatticePoint *end() const { return points.data() + count; }
  const LatticePoint &operator[](std::size_t i) const { return points[i]; }
};
Neighbours neighbours(const Lattice &lattice, LatticePoint p);

double step_length(const Lattice &lattice);
double coordinate_scale(const Lattice &lattice, double arc_length);

using Walk = std::vector<LatticePoint>;

// A walk of n points from the origin, each step to a uniformly drawn neighbour; it may
// reverse and cross itself.
Walk random_walk(const Lattice &lattice, std::uint64_t n, Rng &rng);

} // namespace vexa
