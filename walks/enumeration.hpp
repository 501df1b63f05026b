// Exhaustive enumeration: every self-avoiding walk of n points from the origin, each once, in
// a fixed depth-first order (neighbours taken in reverse step order).
#pragma once

#include "lattice.hpp"

#include <cstdint>

namespace vexa {

class WalkEnumerator {
public:
  WalkEnumerator(const Lattice &lattice, std::uint64_t n);
  ~WalkEnumerator();
  WalkEnumerator(const WalkEnumerator &) = delete;
  WalkEnumerator &operator=(const WalkEnumerator &) = delete;

  // The next walk, or nullptr once the enumeration is complete (and on every later call).
  // The walk stays valid until the next call.
  const Walk *next();

private:
  struct State;
  State *state_;
};

} // namespace vexa
