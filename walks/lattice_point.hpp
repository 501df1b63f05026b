// LatticePoint: a lattice site as three signed 32-bit coordinates, compared by value, with
// wrapping component-wise sum and difference.
#pragma once

#include <cstdint>

namespace vexa {

struct LatticePoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t z = 0;
  friend bool operator==(const LatticePoint &, const LatticePoint &) = default;
  // Component-wise 32-bit arithmetic (wrapping, never undefined).
  friend LatticePoint operator+(LatticePoint a, LatticePoint b) {
    return {wrap(static_cast<std::uint32_t>(a.x) + static_cast<std::uint32_t>(b.x)),
            wrap(static_cast<std::uint32_t>(a.y) + static_cast<std::uint32_t>(b.y)),
            wrap(static_cast<std::uint32_t>(a.z) + static_cast<std::uint32_t>(b.z))};
  }
  friend LatticePoint operator-(LatticePoint a, LatticePoint b) {
    return {wrap(static_cast<std::uint32_t>(a.x) - static_cast<std::uint32_t>(b.x)),
            wrap(static_cast<std::uint32_t>(a.y) - static_cast<std::uint32_t>(b.y)),
            wrap(static_cast<std::uint32_t>(a.z) - static_cast<std::uint32_t>(b.z))};
  }
  friend LatticePoint operator-(LatticePoint a) { return LatticePoint{} - a; }

  // Two's complement reinterpretation (defined since C++20).
  static constexpr std::int32_t wrap(std::uint32_t v) { return static_cast<std::int32_t>(v); }
};

} // namespace vexa
