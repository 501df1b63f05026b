#include "dimerize.hpp"

#include "site_set.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace vexa {

namespace {

constexpr std::uint64_t DIRECT_LIMIT = 50;

// Direct draws hold sites packed into one word, 16 bits per coordinate biased by 2^15: a walk
// of at most DIRECT_LIMIT points stays within DIRECT_LIMIT - 1 of the origin, so no field leaves
// its range and adding a packed step (mod 2^64) is exact.
using Packed = std::uint64_t;
constexpr Packed PACKED_ORIGIN = (Packed{1} << 15) | (Packed{1} << 31) | (Packed{1} << 47);

Packed pack_step(LatticePoint d) {
  return static_cast<Packed>(static_cast<std::int64_t>(d.x) +
                             static_cast<std::int64_t>(d.y) * (std::int64_t{1} << 16) +
                             static_cast<std::int64_t>(d.z) * (std::int64_t{1} << 32));
}

LatticePoint unpack(Packed p) {
  const auto field = [p](int shift) {
    return static_cast<std::int32_t>((p >> shift) & 0xffff) - (std::int32_t{1} << 15);
  };
  return {field(0), field(16), field(32)};
}

// The lattice's steps arranged for drawing: by the parity of the site being left (the
// tetrahedral odd sublattice steps backwards; walks start on the even origin and alternate),
// each step as a point and packed, and the index at the new site that would lead straight back.
struct StepTables {
  std::size_t k = 0;
  unsigned alternates = 0; // 1 on the tetrahedral lattice: each step flips the parity
  std::array<std::array<LatticePoint, MAX_NEIGHBOURS>, 2> offsets{};
  std::array<std::array<Packed, MAX_NEIGHBOURS>, 2> packed{};
  std::array<std::array<std::size_t, MAX_NEIGHBOURS>, 2> reversal{};
};

StepTables make_tables(const Lattice &lattice) {
  StepTables t;
  t.k = lattice.steps.size();
  t.alternates = lattice.kind == LatticeKind::Tetrahedral ? 1 : 0;
  for (std::size_t i = 0; i < t.k; ++i) {
    t.offsets[0][i] = lattice.steps[i];
    t.offsets[1][i] = t.alternates != 0 ? -lattice.steps[i] : lattice.steps[i];
    t.packed[0][i] = pack_step(t.offsets[0][i]);
    t.packed[1][i] = pack_step(t.offsets[1][i]);
  }
  for (unsigned parity = 0; parity < 2; ++parity) {
    const auto &here = t.offsets[parity];
    const auto &there = t.offsets[parity ^ t.alternates];
    for (std::size_t i = 0; i < t.k; ++i) {
      for (std::size_t j = 0; j < t.k; ++j) {
        if (there[j] == -here[i]) {
          t.reversal[parity][i] = j;
        }
      }
    }
  }
  return t;
}

// The sites of one direct draw: 256 one-word slots (at most a fifth full), each a packed site
// tagged in its top 16 bits with the generation that wrote it, so starting over is one
// increment and the table stays in L1.
class DirectSites {
public:
  void reset() {
    if (++generation_ == 0x10000) {
      slots_.fill(0);
      generation_ = 1;
    }
    tag_ = generation_ << 48;
  }

  // False when the site is already taken.
  bool insert(Packed site) {
    const Packed tagged = tag_ | site;
    for (std::size_t i = (site * 0x9e3779b97f4a7c15ULL) >> 56;; i = (i + 1) & 255) {
      const Packed slot = slots_[i];
      if (slot == tagged) {
        return false;
      }
      if ((slot >> 48) != generation_) {
        slots_[i] = tagged;
        return true;
      }
    }
  }

private:
  std::array<Packed, 256> slots_{};
  Packed generation_ = 0;
  Packed tag_ = 0;
};

// Rejection sampling with the rejected draws cut short. Each non-reversing walk of n points has
// probability 1 / (k (k-1)^(n-2)) and every self-avoiding walk is one of them, so the accepted
// walks are uniform, as when whole random walks are drawn and tested; a draw is abandoned at
// its first repeated site, since it would be rejected whatever followed. Alternates: the
// parity of point i is i & 1 (tetrahedral); otherwise every site uses row 0 of the tables.
template <bool Alternates>
void draw_direct_packed(const StepTables &t, std::size_t n, Rng &rng, DirectSites &occupied,
                        Packed *path) {
  Rng local = rng; // keeps the generator state in registers through the loop
  const std::uint64_t choices = t.k - 1;
  for (;;) {
    occupied.reset();
    occupied.insert(PACKED_ORIGIN);
    std::size_t step = local.below(t.k);
    Packed p = PACKED_ORIGIN + t.packed[0][step];
    occupied.insert(p);
    path[1] = p;
    std::size_t i = 2;
    for (; i < n; ++i) {
      const std::size_t back = t.reversal[Alternates ? i & 1 : 0][step]; // step left point i-2
      const std::size_t u = local.below(choices);
      step = u + (u >= back ? 1 : 0);
      p += t.packed[Alternates ? (i - 1) & 1 : 0][step];
      if (!occupied.insert(p)) {
        break;
      }
      path[i] = p;
    }
    if (i == n) {
      break;
    }
  }
  rng = local;
}

void draw_direct(const StepTables &t, std::size_t n, Rng &rng, DirectSites &occupied,
                 LatticePoint *out) {
  out[0] = LatticePoint{};
  if (n < 2) {
    return;
  }
  std::array<Packed, DIRECT_LIMIT> path;
  if (t.alternates != 0) {
    draw_direct_packed<true>(t, n, rng, occupied, path.data());
  } else {
    draw_direct_packed<false>(t, n, rng, occupied, path.data());
  }
  for (std::size_t i = 1; i < n; ++i) {
    out[i] = unpack(path[i]);
  }
}

// Per-thread site sets, only ever grown, so steady sampling allocates nothing but the result.
struct Scratch {
  DirectSites direct;
  SiteSet joined;
};

// Out of line so the compiler cannot fold the thread_local into the draws: in position-
// independent code each such access inside the step loop became a __tls_get_addr call.
[[gnu::noinline]] Scratch &thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Writes a uniformly drawn self-avoiding walk of n points into out[0, n).
void draw(const StepTables &t, std::uint64_t n, std::uint64_t direct_limit, Rng &rng,
          Scratch &scratch, LatticePoint *out) {
  if (n <= direct_limit) {
    draw_direct(t, static_cast<std::size_t>(n), rng, scratch.direct, out);
    return;
  }
  SiteSet &occupied = scratch.joined;
  const std::size_t first = static_cast<std::size_t>(n / 2);
  const std::uint64_t second = n - n / 2 + 1;
  LatticePoint *tail = out + (first - 1);
  for (;;) {
    draw(t, first, direct_limit, rng, scratch, out);
    const LatticePoint joint = *tail;
    // The second half is drawn from the origin over the joint and the rest of out.
    draw(t, second, direct_limit, rng, scratch, tail);
    // From an odd tetrahedral joint the neighbour rule takes every step of the second half
    // with the opposite sign: reflect it through the joint instead of shifting it.
    const bool reflect = t.alternates != 0 && is_odd_site(joint);
    // Both halves are self-avoiding, so the joined walk repeats a site exactly when a point of
    // the second half after the joint lands on the first half before it.
    occupied.reset(first - 1);
    for (std::size_t i = 0; i + 1 < first; ++i) {
      occupied.insert(out[i]);
    }
    *tail = joint;
    bool clear = true;
    for (std::uint64_t j = 1; j < second && clear; ++j) {
      const LatticePoint q = reflect ? joint - tail[j] : joint + tail[j];
      clear = !occupied.contains(q);
      tail[j] = q;
    }
    if (clear) {
      return;
    }
  }
}

Walk dimerize_impl(const Lattice &lattice, std::uint64_t n, Rng &rng, std::uint64_t limit) {
  Walk walk(n);
  if (n < 2) {
    return walk;
  }
  draw(make_tables(lattice), n, limit, rng, thread_scratch(), walk.data());
  return walk;
}

} // namespace

Walk dimerize(const Lattice &lattice, std::uint64_t n, Rng &rng) {
  return dimerize_impl(lattice, n, rng, DIRECT_LIMIT);
}

Walk detail::dimerize_with_limit(const Lattice &lattice, std::uint64_t n, Rng &rng,
                                 std::uint64_t direct_limit) {
  return dimerize_impl(lattice, n, rng, std::clamp<std::uint64_t>(direct_limit, 3, DIRECT_LIMIT));
}

} // namespace vexa
