// Rng: a xoshiro256++ generator with unbiased bounded draws (Lemire's method), and the
// calling thread's own generator, seeded from the operating system.
#pragma once

#include <cstdint>

namespace vexa {

__extension__ typedef unsigned __int128 uint128; // GCC and Clang; __extension__ keeps -Wpedantic quiet

class Rng {
public:
  // Seeds the four words with splitmix64, as the xoshiro authors recommend.
  explicit Rng(std::uint64_t seed) {
    for (auto &word : state_) {
      seed += 0x9e3779b97f4a7c15ULL;
      std::uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      word = z ^ (z >> 31);
    }
  }

  std::uint64_t next_u64() {
    const std::uint64_t result = rotl(state_[0] + state_[3], 23) + state_[0];
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // Uniform integer in [0, bound), bound >= 1 (Lemire, "Fast random integer generation in an
  // interval", ACM TOMACS 2019).
  std::uint64_t below(std::uint64_t bound) {
    uint128 m = static_cast<uint128>(next_u64()) * bound;
    auto low = static_cast<std::uint64_t>(m);
    if (low < bound) {
      const std::uint64_t threshold = (0 - bound) % bound;
      while (low < threshold) {
        m = static_cast<uint128>(next_u64()) * bound;
        low = static_cast<std::uint64_t>(m);
      }
    }
    return static_cast<std::uint64_t>(m >> 64);
  }

  // Uniform integer in [lo, hi); throws Stop("cannot sample empty range") when lo >= hi.
  std::uint64_t uniform(std::uint64_t lo, std::uint64_t hi);

private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t state_[4];
};

// The calling thread's generator, seeded from the operating system on first use.
Rng &thread_rng();

} // namespace vexa
