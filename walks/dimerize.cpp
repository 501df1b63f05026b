#include "dimerize.hpp"

#include "site_set.hpp"

#include <array>
#include <cstddef>

namespace vexa {

namespace {

constexpr std::uint64_t DIRECT_LIMIT = 50;

// The lattice's steps arranged for drawing: offsets by the parity of the site being left (the
// tetrahedral odd sublattice steps backwards; walks start on the even origin and alternate), and
// for each step the index at the new site that would lead straight back.
struct StepTables {
  std::size_t k = 0;
  unsigned alternates = 0; // 1 on the tetrahedral lattice: each step flips the parity
  std::array<std::array<LatticePoint, MAX_NEIGHBOURS>, 2> offsets{};
  std::array<std::array<std::size_t, MAX_NEIGHBOURS>, 2> reversal{};
};

StepTables make_tables(const Lattice &lattice) {
  StepTables t;
  t.k = lattice.steps.size();
  t.alternates = lattice.kind == LatticeKind::Tetrahedral ? 1 : 0;
  for (std::size_t i = 0; i < t.k; ++i) {
    t.offsets[0][i] = lattice.steps[i];
    t.offsets[1][i] = t.alternates != 0 ? -lattice.steps[i] : lattice.steps[i];
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

// Rejection sampling with the rejected draws cut short. Each non-reversing walk of n points has
// probability 1 / (k (k-1)^(n-2)) and every self-avoiding walk is one of them, so the accepted
// walks are uniform, as when whole random walks are drawn and tested; a draw is abandoned at
// its first repeated site, since it would be rejected whatever followed.
void draw_direct(const StepTables &t, std::size_t n, Rng &rng, SiteSet &occupied,
                 LatticePoint *out) {
  out[0] = LatticePoint{};
  if (n < 2) {
    return;
  }
  const std::uint64_t choices = t.k - 1;
  for (;;) {
    occupied.reset(n);
    occupied.insert(LatticePoint{});
    std::size_t step = rng.below(t.k);
    LatticePoint p = t.offsets[0][step];
    occupied.insert(p);
    out[1] = p;
    unsigned left = 0;            // parity of the site the last step left
    unsigned here = t.alternates; // parity of p
    std::size_t i = 2;
    for (; i < n; ++i) {
      const std::size_t back = t.reversal[left][step];
      const std::size_t u = rng.below(choices);
      step = u + (u >= back ? 1 : 0);
      p = p + t.offsets[here][step];
      if (occupied.insert(p) == SiteSet::NOT_INSERTED) {
        break;
      }
      out[i] = p;
      left = here;
      here ^= t.alternates;
    }
    if (i == n) {
      return;
    }
  }
}

// Writes a uniformly drawn self-avoiding walk of n points into out[0, n).
void draw(const StepTables &t, std::uint64_t n, std::uint64_t direct_limit, Rng &rng,
          SiteSet &occupied, LatticePoint *out) {
  if (n <= direct_limit) {
    draw_direct(t, static_cast<std::size_t>(n), rng, occupied, out);
    return;
  }
  const std::size_t first = static_cast<std::size_t>(n / 2);
  const std::uint64_t second = n - n / 2 + 1;
  LatticePoint *tail = out + (first - 1);
  for (;;) {
    draw(t, first, direct_limit, rng, occupied, out);
    const LatticePoint joint = *tail;
    // The second half is drawn from the origin over the joint and the rest of out.
    draw(t, second, direct_limit, rng, occupied, tail);
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
  // Kept per thread and only ever grown, so steady sampling allocates nothing but the result.
  thread_local SiteSet occupied;
  draw(make_tables(lattice), n, limit, rng, occupied, walk.data());
  return walk;
}

} // namespace

Walk dimerize(const Lattice &lattice, std::uint64_t n, Rng &rng) {
  return dimerize_impl(lattice, n, rng, DIRECT_LIMIT);
}

Walk detail::dimerize_with_limit(const Lattice &lattice, std::uint64_t n, Rng &rng,
                                 std::uint64_t direct_limit) {
  return dimerize_impl(lattice, n, rng, direct_limit < 3 ? 3 : direct_limit);
}

} // namespace vexa
