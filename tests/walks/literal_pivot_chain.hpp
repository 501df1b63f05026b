// Reference pivot chain: the plain move (whole tail moved, whole walk tested, undone on
// rejection) driven step by step as the chain is defined. PivotChain must reproduce its
// samples point for point from the same seed; the benchmark times it as the baseline.
#pragma once

#include "pivot.hpp"

#include <cstdint>

namespace vexa::testing_support {

struct LiteralPivotChain {
  LiteralPivotChain(const Lattice &lattice, std::uint64_t n, Rng &rng_,
                    std::uint64_t thermalization_factor, std::uint64_t autocorrelation_factor)
      : walk(initial_walk(lattice, n)), rng(rng_), group(lattice.group) {
    const std::uint64_t moves = n * thermalization_factor;
    std::int32_t rejections = 0;
    for (std::uint64_t i = 0; i < moves; ++i) {
      while (!try_pivot(walk, group, rng)) {
        rejections = static_cast<std::int32_t>(static_cast<std::uint32_t>(rejections) + 1U);
      }
    }
    ratio = static_cast<double>(moves) / static_cast<double>(rejections);
    // No rejection counts as one (see PivotChain).
    const double per_sample =
        rejections == 0 && moves > 0 ? static_cast<double>(moves) : ratio;
    spacing = saturating_count(static_cast<double>(autocorrelation_factor) * per_sample);
  }

  const Walk &next_sample() {
    for (std::uint64_t i = 0; i < spacing; ++i) {
      try_pivot(walk, group, rng);
    }
    return walk;
  }

  Walk walk;
  Rng &rng;
  SymmetryGroup group;
  double ratio = 0.0;
  std::uint64_t spacing = 0;
};

} // namespace vexa::testing_support
