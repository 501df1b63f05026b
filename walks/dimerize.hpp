// Dimerization: independent, uniformly distributed self-avoiding walks, drawn directly up to
// 50 points and joined from two recursively drawn halves above.
#pragma once

#include "lattice.hpp"
#include "rng.hpp"

#include <cstdint>

namespace vexa {

Walk dimerize(const Lattice &lattice, std::uint64_t n, Rng &rng);

} // namespace vexa
