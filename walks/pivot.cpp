// Pivot move and pivot chain. The chain holds its walk up to one global lattice symmetry and
// translation, so an attempt moves only the shorter side of the pivot and checks it against a
// persistent site index; the walks it hands out are those of the plain move, point for point.
#include "pivot.hpp"

#include "walk.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

namespace vexa {
namespace {

std::uint32_t wrap(std::int32_t v) { return static_cast<std::uint32_t>(v); }

Matrix3 product(const Matrix3 &a, const Matrix3 &b) {
  Matrix3 c;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      c.m[3 * i + j] = a.m[3 * i] * b.m[j] + a.m[3 * i + 1] * b.m[3 + j] +
                       a.m[3 * i + 2] * b.m[6 + j];
    }
  }
  return c;
}

Matrix3 transpose(const Matrix3 &a) {
  return {{a.m[0], a.m[3], a.m[6], a.m[1], a.m[4], a.m[7], a.m[2], a.m[5], a.m[8]}};
}

constexpr std::uint32_t NO_POINT = std::numeric_limits<std::uint32_t>::max();

// Site -> walk index, open addressing with linear probing. Deletion shifts later members of
// the probe run back, so millions of accepted moves leave no tombstones and never rehash.
class SiteIndex {
public:
  explicit SiteIndex(std::size_t points) {
    // At most half full, so probe runs stay short.
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * points, 8));
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
  }

  // The index of the point at p, or NO_POINT.
  std::uint32_t find(LatticePoint p) const {
    for (std::size_t i = home(p);; i = (i + 1) & mask_) {
      const Slot &slot = slots_[i];
      if (slot.index == NO_POINT || slot.site == p) {
        return slot.index;
      }
    }
  }

  // p must be absent.
  void insert(LatticePoint p, std::uint32_t index) {
    std::size_t i = home(p);
    while (slots_[i].index != NO_POINT) {
      i = (i + 1) & mask_;
    }
    slots_[i] = {p, index};
  }

  // p must be present.
  void erase(LatticePoint p) {
    std::size_t hole = home(p);
    while (slots_[hole].index == NO_POINT || !(slots_[hole].site == p)) {
      hole = (hole + 1) & mask_;
    }
    for (std::size_t i = (hole + 1) & mask_; slots_[i].index != NO_POINT; i = (i + 1) & mask_) {
      // A member may fill the hole unless its home lies cyclically after the hole.
      if (((i - home(slots_[i].site)) & mask_) >= ((i - hole) & mask_)) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole].index = NO_POINT;
  }

private:
  struct Slot {
    LatticePoint site;
    std::uint32_t index = NO_POINT;
  };

  std::size_t home(LatticePoint p) const {
    std::uint64_t h = (std::uint64_t{wrap(p.x)} << 32 | wrap(p.y)) ^
                      std::uint64_t{wrap(p.z)} * 0xc2b2ae3d27d4eb4fULL;
    h *= 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(h >> shift_);
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  int shift_ = 0;
};

} // namespace

bool pivot_with(Walk &walk, std::size_t k, const Matrix3 &m) {
  const LatticePoint pivot = walk[k];
  for (std::size_t j = k + 1; j < walk.size(); ++j) {
    walk[j] = pivot + apply(m, walk[j] - pivot);
  }
  if (is_self_avoiding(walk)) {
    return true;
  }
  for (std::size_t j = k + 1; j < walk.size(); ++j) {
    walk[j] = pivot + apply_transpose(m, walk[j] - pivot);
  }
  return false;
}

bool try_pivot(Walk &walk, const SymmetryGroup &group, Rng &rng) {
  const std::size_t n = walk.size();
  const auto k = static_cast<std::size_t>(rng.uniform(0, n == 0 ? 0 : n - 1));
  return pivot_with(walk, k, random_element(group, rng));
}

Walk initial_walk(const Lattice &lattice, std::uint64_t n) {
  Walk walk;
  if (n == 0) {
    return walk;
  }
  walk.reserve(n);
  walk.push_back({});
  // The tetrahedral neighbour order flips with parity, so alternating entries 1 and 0 keeps
  // going the same way: a zig-zag.
  const bool zig_zag = lattice.kind == LatticeKind::Tetrahedral;
  for (std::uint64_t i = 1; i < n; ++i) {
    walk.push_back(neighbours(lattice, walk.back())[zig_zag ? i % 2 : 0]);
  }
  return walk;
}

std::uint64_t saturating_count(double value) {
  if (!(value > 0.0)) {
    return 0;
  }
  if (value >= 18446744073709551616.0) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return static_cast<std::uint64_t>(value);
}

// The chain holds `points` with the plain walk equal to frame (points[i] - points[0]). A move
// of the plain tail by m about site k is, in the held coordinates, a move of the tail by
// c = frame^T m frame, or of the head by c^T with frame becoming frame c; both leave every
// pairwise distance and so the accept decision as the plain move would.
struct PivotChain::State {
  State(const Lattice &lattice, std::uint64_t n, Rng &rng_, std::uint64_t autocorrelation)
      : rng(rng_), group(lattice.group), autocorrelation_factor(autocorrelation),
        points(initial_walk(lattice, n)), sites(points.size()), sample(points.size()) {
    for (std::size_t i = 0; i < points.size(); ++i) {
      sites.insert(points[i], static_cast<std::uint32_t>(i));
    }
  }

  bool attempt() {
    const std::size_t n = points.size();
    const auto k = static_cast<std::size_t>(rng.uniform(0, n == 0 ? 0 : n - 1));
    const Matrix3 &m = random_element(group, rng);
    if (m == Matrix3{}) {
      return true;
    }
    const Matrix3 held = product(transpose(frame), product(m, frame));
    return n - 1 - k <= k ? move_tail(k, held) : move_head(k, held);
  }

  // After a pivot both sides are self-avoiding on their own, so only moved points against
  // unmoved ones need checking; collisions cluster at the pivot, so check from there outwards.
  bool move_tail(std::size_t k, const Matrix3 &m) {
    const LatticePoint pivot = points[k];
    for (std::size_t j = k + 1; j < points.size(); ++j) {
      if (sites.find(pivot + apply(m, points[j] - pivot)) <= k) {
        return false;
      }
    }
    for (std::size_t j = k + 1; j < points.size(); ++j) {
      sites.erase(points[j]);
    }
    for (std::size_t j = k + 1; j < points.size(); ++j) {
      points[j] = pivot + apply(m, points[j] - pivot);
      sites.insert(points[j], static_cast<std::uint32_t>(j));
    }
    return true;
  }

  bool move_head(std::size_t k, const Matrix3 &m) {
    const LatticePoint pivot = points[k];
    for (std::size_t j = k; j-- > 0;) {
      const std::uint32_t at = sites.find(pivot + apply_transpose(m, points[j] - pivot));
      if (at != NO_POINT && at >= k) {
        return false;
      }
    }
    for (std::size_t j = 0; j < k; ++j) {
      sites.erase(points[j]);
    }
    for (std::size_t j = 0; j < k; ++j) {
      points[j] = pivot + apply_transpose(m, points[j] - pivot);
      sites.insert(points[j], static_cast<std::uint32_t>(j));
    }
    frame = product(frame, m);
    return true;
  }

  void materialise() {
    if (points.empty()) {
      return;
    }
    const LatticePoint origin = points[0];
    for (std::size_t i = 0; i < points.size(); ++i) {
      sample[i] = apply(frame, points[i] - origin);
    }
  }

  Rng &rng;
  SymmetryGroup group;
  std::uint64_t autocorrelation_factor;
  double ratio = 0.0;
  std::uint64_t spacing = 0;
  std::vector<LatticePoint> points;
  Matrix3 frame;
  SiteIndex sites;
  Walk sample;
};

PivotChain::PivotChain(const Lattice &lattice, std::uint64_t n, Rng &rng,
                       std::uint64_t thermalization_factor, std::uint64_t autocorrelation_factor)
    : state_(std::make_unique<State>(lattice, n, rng, autocorrelation_factor)) {
  State &s = *state_;
  const std::uint64_t moves = n * thermalization_factor;
  // A signed 32-bit count; it wraps instead of overflowing.
  std::uint32_t rejections = 0;
  for (std::uint64_t accepted = 0; accepted < moves;) {
    if (s.attempt()) {
      ++accepted;
    } else {
      ++rejections;
    }
  }
  const auto rejected = static_cast<std::int32_t>(rejections);
  s.ratio = static_cast<double>(moves) / static_cast<double>(rejected);
  // No rejection at all (always so on two points) makes the ratio infinite, which would ask
  // for 2^64 - 1 attempts per sample. Counting it as one rejection gives the largest spacing
  // the thermalisation supports, autocorrelation_factor * N attempts: finite, still scaled by
  // the caller's factor, and what a single rejection would have given.
  const double per_sample = rejected == 0 && moves > 0 ? static_cast<double>(moves) : s.ratio;
  s.spacing = saturating_count(static_cast<double>(autocorrelation_factor) * per_sample);
}

PivotChain::~PivotChain() = default;

const Walk &PivotChain::next_sample() {
  State &s = *state_;
  for (std::uint64_t i = 0; i < s.spacing; ++i) {
    s.attempt();
  }
  s.materialise();
  return s.sample;
}

double PivotChain::accept_reject_ratio() const { return state_->ratio; }

std::uint64_t PivotChain::spacing() const { return state_->spacing; }

} // namespace vexa
