// SiteSet: a set of lattice sites for the samplers' inner loops, open addressing with linear
// probing; emptied in O(1) by a generation stamp and undone last-in first-out by erase.
#pragma once

#include "lattice_point.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa {

class SiteSet {
public:
  static constexpr std::size_t NOT_INSERTED = static_cast<std::size_t>(-1);

  // Empties the set and sizes it for up to `sites` members at a load of at most one quarter,
  // keeping probe chains short. Allocates only when a larger table is needed than ever before.
  void reset(std::size_t sites) {
    const std::size_t capacity = std::bit_ceil(sites < 4 ? std::size_t{16} : sites * 4);
    if (capacity > slots_.size()) {
      slots_.assign(capacity, Slot{});
      generation_ = 0;
    }
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    if (++generation_ == 0) {
      for (Slot &slot : slots_) {
        slot.stamp = 0;
      }
      generation_ = 1;
    }
  }

  // The slot now holding p, or NOT_INSERTED when p is already a member.
  std::size_t insert(LatticePoint p) {
    std::size_t i = home(p);
    while (slots_[i].stamp == generation_) {
      if (slots_[i].site == p) {
        return NOT_INSERTED;
      }
      i = (i + 1) & mask_;
    }
    slots_[i] = {p, generation_};
    return i;
  }

  bool contains(LatticePoint p) const {
    for (std::size_t i = home(p); slots_[i].stamp == generation_; i = (i + 1) & mask_) {
      if (slots_[i].site == p) {
        return true;
      }
    }
    return false;
  }

  // Removes the member in `slot`. Sound only for the most recently inserted member still
  // present: then no later member can have probed past this slot.
  void erase_last(std::size_t slot) { slots_[slot].stamp = 0; }

private:
  struct Slot {
    LatticePoint site;
    std::uint32_t stamp = 0; // a member while equal to generation_, which is never 0
  };

  // Multiplicative hashing: the top bits of a 64-bit product mix all three coordinates, so
  // the small, clustered coordinates of a walk spread over the table.
  std::size_t home(LatticePoint p) const {
    const std::uint64_t h = static_cast<std::uint32_t>(p.x) * 0x9e3779b97f4a7c15ULL +
                            static_cast<std::uint32_t>(p.y) * 0xc2b2ae3d27d4eb4fULL +
                            static_cast<std::uint32_t>(p.z) * 0x165667b19e3779f9ULL;
    return static_cast<std::size_t>(h >> shift_);
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::uint32_t generation_ = 0;
};

} // namespace vexa
