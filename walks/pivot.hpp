// Pivot move and pivot chain: Markov-chain sampling of self-avoiding walks by lattice
// symmetries applied to one side of a pivot site.
#pragma once

#include "lattice.hpp"
#include "rng.hpp"
#include "symmetry_group.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexa {

// Moves the tail after index k (k + 1 < walk.size()) by m about point k and keeps the result
// when the whole walk is still self-avoiding; otherwise restores the walk exactly with the
// transpose of m and returns false.
bool pivot_with(Walk &walk, std::size_t k, const Matrix3 &m);

// One pivot attempt on the tail after a uniformly drawn pivot index (first draw), by a
// uniformly drawn group element (second draw). Accepted: the walk holds the moved tail.
// Rejected: the walk is exactly as before. Throws Stop("cannot sample empty range") on a
// walk of fewer than two points.
bool try_pivot(Walk &walk, const SymmetryGroup &group, Rng &rng);

// The chain's starting walk: a rod along steps[0], a zig-zag on the tetrahedral lattice.
Walk initial_walk(const Lattice &lattice, std::uint64_t n);

// A double as a count: truncated toward zero; NaN and negatives give 0, 2^64 and above give
// 2^64 - 1.
std::uint64_t saturating_count(double value);

// How a chain holds its walk: a site index (quicker on short walks) or a tree of steps
// (quicker on long ones). The samples are the same either way.
enum class PivotLayout : std::uint8_t { Automatic, SiteIndex, Tree };

class PivotChain {
public:
  // Builds the starting walk and thermalises with n * thermalization_factor accepted moves.
  PivotChain(const Lattice &lattice, std::uint64_t n, Rng &rng,
             std::uint64_t thermalization_factor, std::uint64_t autocorrelation_factor,
             PivotLayout layout = PivotLayout::Automatic);
  ~PivotChain();
  PivotChain(const PivotChain &) = delete;
  PivotChain &operator=(const PivotChain &) = delete;

  // Advances the chain by its spacing (in attempts) and returns the current walk; the
  // reference stays valid until the next call.
  const Walk &next_sample();

  // Accepted moves per rejected attempt during thermalisation: NaN when nothing was
  // thermalised, +infinity when nothing was rejected.
  double accept_reject_ratio() const;
  // Attempts made before each sample.
  std::uint64_t spacing() const;

private:
  struct State;
  std::unique_ptr<State> state_;
};

} // namespace vexa
