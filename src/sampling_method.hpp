// SamplingMethod: which generator of walks a sampling run uses.
#pragma once

#include <cstdint>
#include <variant>

namespace vexa {

struct Pivot {
  std::uint64_t thermalization_factor = 0;
  std::uint64_t autocorrelation_factor = 0;
};
struct Dimerize {};
struct Enumerate {};

using SamplingMethod = std::variant<Pivot, Dimerize, Enumerate>;

} // namespace vexa
