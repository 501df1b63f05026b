// Dimerization: independent, uniformly distributed self-avoiding walks, drawn directly up to
// 50 points and joined from two recursively drawn halves above.
#pragma once

#include "lattice.hpp"
#include "rng.hpp"

#include <cstdint>

namespace vexa {

Walk dimerize(const Lattice &lattice, std::uint64_t n, Rng &rng);

namespace detail {
// dimerize with a lower direct-draw limit, clamped to [3, 50] (from 3 on both halves are
// shorter than the whole); lets tests reach the join on walks short enough to enumerate.
Walk dimerize_with_limit(const Lattice &lattice, std::uint64_t n, Rng &rng,
                         std::uint64_t direct_limit);
} // namespace detail

} // namespace vexa
