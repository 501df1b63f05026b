#include "rng.hpp"

#include "stop.hpp"

#include <random>

namespace vexa {

std::uint64_t Rng::uniform(std::uint64_t lo, std::uint64_t hi) {
  if (lo >= hi) {
    throw Stop("cannot sample empty range");
  }
  return lo + below(hi - lo);
}

Rng &thread_rng() {
  thread_local Rng rng([] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }());
  return rng;
}

} // namespace vexa
