// The sample_solutions operation after its words are resolved: the walks themselves, as
// structures in production order.
#pragma once

#include "lattice.hpp"
#include "sampling.hpp"
#include "sampling_method.hpp"
#include "walk.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace vexa {

// The consumer that keeps every structure as it is.
inline Structure keep_structure(Structure &&structure) { return std::move(structure); }

// sample_size structures of len points under Pivot and Dimerize; every self-avoiding walk of
// len points under Enumerate (sample_size ignored).
inline std::vector<Structure> sample_solutions(std::uint64_t len, std::uint64_t sample_size,
                                               const SamplingMethod &method, LatticeKind kind,
                                               double arc_length, bool pbar) {
  return sample_walks(kind, method, len, sample_size, arc_length, pbar, keep_structure);
}

} // namespace vexa
