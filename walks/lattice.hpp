// Lattices: the four lattice kinds, ordered step tables, the neighbour rule (with the two
// tetrahedral sublattices), step length, coordinate scale and the random walk.
#pragma once

#include "lattice_point.hpp"
#include "rng.hpp"
#include "symmetry_group.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexa {

enum class LatticeKind : std::uint8_t { Tetrahedral = 0, Fcc = 1, Bcc = 2, Cubic = 3 };

// Mixes all three coordinates into every output bit (a multiply-xorshift finaliser), so
// neighbouring sites spread over power-of-two tables as well as prime ones.
struct LatticePointHash {
  std::size_t operator()(const LatticePoint &p) const noexcept {
    std::uint64_t h = static_cast<std::uint32_t>(p.x);
    h = h * 0x9e3779b97f4a7c15ULL ^ static_cast<std::uint32_t>(p.y);
    h = h * 0x9e3779b97f4a7c15ULL ^ static_cast<std::uint32_t>(p.z);
    h = (h ^ (h >> 32)) * 0xd6e8feb86659fd93ULL;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

inline constexpr std::size_t MAX_NEIGHBOURS = 12;

struct Lattice {
  LatticeKind kind = LatticeKind::Cubic;
  SymmetryGroup group;
  std::span<const LatticePoint> steps;
};

// The lattice of one kind, built from the constant step and group tables.
Lattice make_lattice(LatticeKind kind);

// True on the tetrahedral lattice's odd sublattice: lowest bit of the wrapping 32-bit sum x + y
// + z set, which includes negative odd sums.
inline bool is_odd_site(LatticePoint p) {
  return ((static_cast<std::uint32_t>(p.x) + static_cast<std::uint32_t>(p.y) +
           static_cast<std::uint32_t>(p.z)) &
          1U) != 0;
}

// The k neighbours of p in step order; on the tetrahedral lattice an odd site takes the
// opposite steps. Fixed capacity, no allocation.
struct Neighbours {
  std::array<LatticePoint, MAX_NEIGHBOURS> points;
  std::size_t count = 0;
  const LatticePoint *begin() const { return points.data(); }
  const LatticePoint *end() const { return points.data() + count; }
  const LatticePoint &operator[](std::size_t i) const { return points[i]; }
  std::size_t size() const { return count; }
};
Neighbours neighbours(const Lattice &lattice, LatticePoint p);

double step_length(const Lattice &lattice);
double coordinate_scale(const Lattice &lattice, double arc_length);

using Walk = std::vector<LatticePoint>;

// A walk of n points from the origin, each step to a uniformly drawn neighbour; it may
// reverse and cross itself. n = 0 and n = 1 draw nothing.
Walk random_walk(const Lattice &lattice, std::uint64_t n, Rng &rng);

} // namespace vexa
