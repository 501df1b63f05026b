// Pivot move and pivot chain. The chain holds its walk up to a global lattice symmetry, as
// points with a persistent site index (short walks: an attempt moves the shorter side of the
// pivot) or as a tree of steps with bounding boxes (long walks: an attempt touches one root
// path); either way the walks it hands out are the plain move's, point for point.
#include "pivot.hpp"

#include "walk.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <variant>
#include <vector>

namespace vexa {
namespace {

std::uint32_t wrap(std::int32_t v) { return static_cast<std::uint32_t>(v); }

// A signed permutation matrix by rows: row r takes coordinate from[r] times sign[r].
struct SignedPermutation {
  int from[3] = {0, 1, 2};
  std::uint32_t sign[3] = {1, 1, 1};

  explicit SignedPermutation(const Matrix3 &m) {
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        if (m.m[3 * r + c] != 0) {
          from[r] = c;
          sign[r] = wrap(m.m[3 * r + c]);
        }
      }
    }
  }

  // Distinct for the 48 signed permutations, below 72.
  int code() const {
    return (from[0] * 3 + from[1]) * 8 + static_cast<int>((sign[0] >> 31) | (sign[1] >> 31) << 1 |
                                                         (sign[2] >> 31) << 2);
  }

  // Wrapping arithmetic, as the plain move's.
  LatticePoint operator()(LatticePoint p, const std::uint32_t (&offset)[3]) const {
    const std::uint32_t v[3] = {wrap(p.x), wrap(p.y), wrap(p.z)};
    return {static_cast<std::int32_t>(offset[0] + sign[0] * v[from[0]]),
            static_cast<std::int32_t>(offset[1] + sign[1] * v[from[1]]),
            static_cast<std::int32_t>(offset[2] + sign[2] * v[from[2]])};
  }
};

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

// The group's elements by index, with their products and transposes tabulated once per chain
// so that an attempt composes elements by lookup. The group must be closed, as point groups
// are.
class GroupTable {
public:
  static constexpr std::size_t MAX_ELEMENTS = 48;

  explicit GroupTable(const SymmetryGroup &group) {
    const std::size_t n = std::min(group.elements.size(), MAX_ELEMENTS);
    std::uint8_t by_code[72];
    std::fill(std::begin(by_code), std::end(by_code), std::uint8_t{0});
    for (std::size_t i = 0; i < n; ++i) {
      forms_.push_back(SignedPermutation(group.elements[i]));
      by_code[forms_[i].code()] = static_cast<std::uint8_t>(i);
      if (group.elements[i] == Matrix3{}) {
        identity_ = static_cast<std::uint8_t>(i);
      }
    }
    const auto index = [&](const Matrix3 &m) { return by_code[SignedPermutation(m).code()]; };
    for (std::size_t a = 0; a < n; ++a) {
      transposes_[a] = index(vexa::transpose(group.elements[a]));
      for (std::size_t b = 0; b < n; ++b) {
        products_[a][b] = index(vexa::product(group.elements[a], group.elements[b]));
      }
    }
  }

  std::uint8_t identity() const { return identity_; }
  std::uint8_t product(std::uint8_t a, std::uint8_t b) const { return products_[a][b]; }
  std::uint8_t transpose(std::uint8_t a) const { return transposes_[a]; }
  const SignedPermutation &form(std::uint8_t a) const { return forms_[a]; }

private:
  std::vector<SignedPermutation> forms_;
  std::uint8_t products_[MAX_ELEMENTS][MAX_ELEMENTS] = {};
  std::uint8_t transposes_[MAX_ELEMENTS] = {};
  std::uint8_t identity_ = 0;
};

// The move c + m (p - c) about pivot c, with its constant part folded into one offset.
struct SiteMove {
  SiteMove(const SignedPermutation &m_, LatticePoint pivot) : m(m_) {
    const std::uint32_t none[3] = {0, 0, 0};
    const LatticePoint shift = pivot - m(pivot, none);
    offset[0] = wrap(shift.x);
    offset[1] = wrap(shift.y);
    offset[2] = wrap(shift.z);
  }

  LatticePoint operator()(LatticePoint p) const { return m(p, offset); }

  const SignedPermutation &m;
  std::uint32_t offset[3];
};

constexpr std::uint32_t NO_POINT = std::numeric_limits<std::uint32_t>::max();

// Site -> walk index, open addressing with linear probing. An entry (site, i) counts only
// while points[i] == site, so a moved point's old entry dies without being erased, and a move
// can record its new sites while it is checked: they come true only if it is committed. Dead
// entries are overwritten in place; the table is rebuilt once half of it is in use.
class SiteIndex {
public:
  explicit SiteIndex(std::size_t points) {
    // Half full at most between attempts, and an attempt moves at most half the walk, so a
    // probe always meets an empty slot; the room above n live entries sets how often dead
    // entries force a rebuild.
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16 * points, 16));
    slots_.resize(capacity);
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
  }

  bool crowded() const { return used_ > slots_.size() / 2; }

  void rebuild(const std::vector<LatticePoint> &points) {
    // All bits set is an empty slot: index NO_POINT.
    std::memset(static_cast<void *>(slots_.data()), 0xff, slots_.size() * sizeof(Slot));
    used_ = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      std::size_t at = home(points[i]);
      while (slots_[at].index != NO_POINT) {
        at = (at + 1) & mask_;
      }
      slots_[at] = {points[i], static_cast<std::uint32_t>(i)};
      ++used_;
    }
  }

  // For point `mover` of the side [lo, hi) about to move to p: the index of a point outside
  // the side that sits at p (a collision), or else NO_POINT after recording (p, mover).
  std::uint32_t claim(LatticePoint p, std::uint32_t mover, std::uint32_t lo, std::uint32_t hi,
                      const std::vector<LatticePoint> &points) {
    std::size_t at = home(p);
    std::size_t reusable = slots_.size();
    for (;; at = (at + 1) & mask_) {
      const Slot &slot = slots_[at];
      if (slot.index == NO_POINT) {
        break;
      }
      // Entries of the moving side are kept: the side's old sites are still occupied and its
      // new ones are being recorded.
      if (slot.index >= lo && slot.index < hi) {
        continue;
      }
      if (slot.site == p) {
        if (points[slot.index] == p) {
          return slot.index;
        }
        if (reusable == slots_.size()) {
          reusable = at;
        }
      } else if (reusable == slots_.size() && !(points[slot.index] == slot.site)) {
        reusable = at;
      }
    }
    if (reusable == slots_.size()) {
      reusable = at;
      ++used_;
    }
    slots_[reusable] = {p, mover};
    return NO_POINT;
  }

private:
  struct Slot {
    LatticePoint site;
    std::uint32_t index = NO_POINT;
  };

  std::size_t home(LatticePoint p) const {
    const std::uint64_t h = std::uint64_t{wrap(p.x)} * 0x9e3779b97f4a7c15ULL ^
                            std::uint64_t{wrap(p.y)} * 0xc2b2ae3d27d4eb4fULL ^
                            std::uint64_t{wrap(p.z)} * 0x165667b19e3779f9ULL;
    return static_cast<std::size_t>(h >> shift_);
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  int shift_ = 0;
  std::size_t used_ = 0;
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

namespace {

// The walk held as points with plain point i = frame (points[i] - points[0]). A move of the
// plain tail by m about site k is, held, a move of the tail by c = frame^T m frame, or of the
// head by c^T with frame becoming frame c; either keeps every distance, so the decision is
// the plain move's, and only the shorter side moves. Moved points are checked against a
// persistent site index, nearest the pivot first.
class IndexedWalk {
public:
  IndexedWalk(const Walk &start, const GroupTable &table_)
      : table(table_), frame(table.identity()), points(start), moved(start.size()),
        sites(start.size()) {
    sites.rebuild(points);
  }

  // k + 1 < points.size(); m is not the identity.
  bool pivot(std::size_t k, std::uint8_t m) {
    if (sites.crowded()) {
      sites.rebuild(points);
    }
    const std::uint8_t held = table.product(table.transpose(frame), table.product(m, frame));
    return points.size() - 1 - k <= k ? move_tail(k, held) : move_head(k, held);
  }

  void materialise(Walk &out) const {
    if (points.empty()) {
      return;
    }
    const SiteMove to_plain(table.form(frame), points[0]);
    const LatticePoint origin = to_plain(points[0]);
    for (std::size_t i = 0; i < points.size(); ++i) {
      out[i] = to_plain(points[i]) - origin;
    }
  }

private:
  // Both sides are self-avoiding on their own, so only moved points against unmoved ones need
  // checking; collisions cluster at the pivot.
  bool move_tail(std::size_t k, std::uint8_t m) {
    const SiteMove move(table.form(m), points[k]);
    const std::size_t n = points.size();
    const auto lo = static_cast<std::uint32_t>(k + 1);
    const auto hi = static_cast<std::uint32_t>(n);
    for (std::size_t j = k + 1; j < n; ++j) {
      moved[j] = move(points[j]);
      if (sites.claim(moved[j], static_cast<std::uint32_t>(j), lo, hi, points) != NO_POINT) {
        return false;
      }
    }
    std::copy(moved.begin() + static_cast<std::ptrdiff_t>(k + 1), moved.end(),
              points.begin() + static_cast<std::ptrdiff_t>(k + 1));
    return true;
  }

  bool move_head(std::size_t k, std::uint8_t m) {
    const SiteMove move(table.form(table.transpose(m)), points[k]);
    const auto hi = static_cast<std::uint32_t>(k);
    for (std::size_t j = k; j-- > 0;) {
      moved[j] = move(points[j]);
      if (sites.claim(moved[j], static_cast<std::uint32_t>(j), 0, hi, points) != NO_POINT) {
        return false;
      }
    }
    std::copy(moved.begin(), moved.begin() + static_cast<std::ptrdiff_t>(k), points.begin());
    frame = table.product(frame, m);
    return true;
  }

  const GroupTable &table;
  std::uint8_t frame;
  std::vector<LatticePoint> points;
  std::vector<LatticePoint> moved; // candidate sites of the side being moved
  SiteIndex sites;
};

using Triple = std::array<std::int32_t, 3>;

Triple triple(LatticePoint p) { return {p.x, p.y, p.z}; }

// m v; held coordinates stay within the walk's extent of the origin, so signed arithmetic is
// exact.
Triple rotate(const SignedPermutation &m, const Triple &v) {
  Triple out;
  for (int r = 0; r < 3; ++r) {
    out[r] = m.sign[r] == 1 ? v[m.from[r]] : -v[m.from[r]];
  }
  return out;
}

Triple add(const Triple &a, const Triple &b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

// A node is a run of consecutive sites, held relative to the site before its first one: its
// last site `end` and bounding box [lo, hi] in that frame. An inner node's right child sits at
// the left child's end, turned by q.
struct Node {
  Triple end{};
  Triple lo{};
  Triple hi{};
  std::uint32_t left = NO_POINT;
  std::uint32_t right = NO_POINT;
  std::uint32_t sites = 1;
  std::uint32_t last_left = 0; // walk index of the left child's last site
  std::uint8_t q = 0;
};

// Where a node's frame sits in held coordinates.
struct Frame {
  Triple offset{};
  std::uint8_t turn = 0;
};

struct WorldBox {
  Triple lo;
  Triple hi;
};

// The walk held as a balanced tree over its steps (Clisby's SAW-tree, with a fixed shape) and
// one global symmetry: plain point i = frame (held point i), held point 0 being the origin. A
// pivot after site k turns q on the path to the node that splits k from k + 1, and the check
// compares subtrees by bounding boxes, so an attempt costs about the depth of the tree, not
// the length of the walk.
class TreeWalk {
public:
  TreeWalk(const Walk &start, const GroupTable &table_)
      : table(table_), frame(table.identity()), size(start.size()) {
    if (size >= 2) {
      nodes.reserve(2 * (size - 1));
      root = build(1, size - 1, start);
    }
  }

  // k + 1 < size; m is not the identity.
  bool pivot(std::size_t k, std::uint8_t m) {
    if (k == 0) {
      // Everything but the origin turns about it: never a collision.
      frame = table.product(m, frame);
      return true;
    }
    const std::uint8_t held = table.product(table.transpose(frame), table.product(m, frame));

    // Down to the node whose left child ends at site k.
    std::size_t depth = 0;
    std::uint32_t at = root;
    Frame f;
    f.turn = table.identity();
    for (;;) {
      Node &node = nodes[at];
      path[depth] = {at, f, node.q, node.end, node.lo, node.hi, false};
      ++depth;
      if (k == node.last_left) {
        break;
      }
      if (k < node.last_left) {
        path[depth - 1].turned = true; // its right child lies after the pivot
        at = node.left;
      } else {
        f = right_frame(node, f);
        at = node.right;
      }
    }
    path[depth - 1].turned = true;

    for (std::size_t i = depth; i-- > 0;) {
      Step &step = path[i];
      Node &node = nodes[step.node];
      if (step.turned) {
        const std::uint8_t local =
            table.product(table.transpose(step.frame.turn), table.product(held, step.frame.turn));
        node.q = table.product(local, node.q);
      }
      pull(node);
    }

    if (collides(depth)) {
      for (std::size_t i = 0; i < depth; ++i) {
        Node &node = nodes[path[i].node];
        node.q = path[i].q;
        node.end = path[i].end;
        node.lo = path[i].lo;
        node.hi = path[i].hi;
      }
      return false;
    }
    return true;
  }

  void materialise(Walk &out) const {
    if (size == 0) {
      return;
    }
    out[0] = {};
    std::size_t next = 1;
    if (size >= 2) {
      Frame f;
      f.turn = table.identity();
      emit(nodes[root], f, out, next);
    }
  }

private:
  std::uint32_t build(std::size_t lo, std::size_t hi, const Walk &start) {
    const auto index = static_cast<std::uint32_t>(nodes.size());
    nodes.emplace_back();
    if (lo == hi) {
      Node &leaf = nodes[index];
      leaf.end = triple(start[lo] - start[lo - 1]);
      leaf.lo = leaf.end;
      leaf.hi = leaf.end;
      return index;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::uint32_t left = build(lo, mid, start);
    const std::uint32_t right = build(mid + 1, hi, start);
    Node &node = nodes[index];
    node.left = left;
    node.right = right;
    node.sites = static_cast<std::uint32_t>(hi - lo + 1);
    node.last_left = static_cast<std::uint32_t>(mid);
    node.q = table.identity();
    pull(node);
    return index;
  }

  void pull(Node &node) {
    const Node &l = nodes[node.left];
    const Node &r = nodes[node.right];
    const SignedPermutation &q = table.form(node.q);
    node.end = add(l.end, rotate(q, r.end));
    for (int c = 0; c < 3; ++c) {
      const int from = q.from[c];
      const bool flip = q.sign[c] != 1;
      const std::int32_t rlo = l.end[c] + (flip ? -r.hi[from] : r.lo[from]);
      const std::int32_t rhi = l.end[c] + (flip ? -r.lo[from] : r.hi[from]);
      node.lo[c] = std::min(l.lo[c], rlo);
      node.hi[c] = std::max(l.hi[c], rhi);
    }
  }

  Frame right_frame(const Node &node, const Frame &f) const {
    return {add(f.offset, rotate(table.form(f.turn), nodes[node.left].end)),
            table.product(f.turn, node.q)};
  }

  WorldBox world_box(const Node &node, const Frame &f) const {
    const SignedPermutation &t = table.form(f.turn);
    WorldBox box;
    for (int c = 0; c < 3; ++c) {
      const int from = t.from[c];
      const bool flip = t.sign[c] != 1;
      box.lo[c] = f.offset[c] + (flip ? -node.hi[from] : node.lo[from]);
      box.hi[c] = f.offset[c] + (flip ? -node.lo[from] : node.hi[from]);
    }
    return box;
  }

  static bool disjoint(const WorldBox &a, const WorldBox &b) {
    return a.hi[0] < b.lo[0] || b.hi[0] < a.lo[0] || a.hi[1] < b.lo[1] || b.hi[1] < a.lo[1] ||
           a.hi[2] < b.lo[2] || b.hi[2] < a.lo[2];
  }

  // Whether any site of a (before the pivot) meets any site of b (after it). The larger side
  // is split, nearer half to the pivot first: collisions cluster there.
  bool overlap(const Node &a, const Frame &fa, const WorldBox &boxa, const Node &b,
               const Frame &fb, const WorldBox &boxb) const {
    if (disjoint(boxa, boxb)) {
      return false;
    }
    if (a.sites == 1 && b.sites == 1) {
      return true;
    }
    if (a.sites >= b.sites) {
      const Node &near = nodes[a.right];
      const Node &far = nodes[a.left];
      const Frame fnear = right_frame(a, fa);
      return overlap(near, fnear, world_box(near, fnear), b, fb, boxb) ||
             overlap(far, fa, world_box(far, fa), b, fb, boxb);
    }
    const Node &near = nodes[b.left];
    const Node &far = nodes[b.right];
    const Frame ffar = right_frame(b, fb);
    return overlap(a, fa, boxa, near, fb, world_box(near, fb)) ||
           overlap(a, fa, boxa, far, ffar, world_box(far, ffar));
  }

  // Pieces before the pivot: the split node's left child, the left children of ancestors
  // entered from the right, and the origin; after it: the right children of turned nodes. Each
  // list runs outward from the pivot, and a piece that misses the other side's overall box
  // needs no closer look.
  bool collides(std::size_t depth) {
    std::size_t befores = 0;
    std::size_t afters = 0;
    WorldBox before_all{{0, 0, 0}, {0, 0, 0}}; // holds the origin
    for (std::size_t i = depth; i-- > 0;) {
      const Step &step = path[i];
      const Node &parent = nodes[step.node];
      if (i + 1 == depth || !step.turned) {
        Piece &piece = before[befores++];
        piece.node = &nodes[parent.left];
        piece.frame = step.frame;
        piece.box = world_box(*piece.node, piece.frame);
        grow(before_all, piece.box);
      }
      if (step.turned) {
        Piece &piece = after[afters++];
        piece.node = &nodes[parent.right];
        piece.frame = right_frame(parent, step.frame);
        piece.box = world_box(*piece.node, piece.frame);
      }
    }
    before[befores++] = {&origin, {{0, 0, 0}, table.identity()}, {{0, 0, 0}, {0, 0, 0}}};
    for (std::size_t j = 0; j < afters; ++j) {
      const Piece &b = after[j];
      if (disjoint(b.box, before_all)) {
        continue;
      }
      for (std::size_t i = 0; i < befores; ++i) {
        const Piece &a = before[i];
        if (overlap(*a.node, a.frame, a.box, *b.node, b.frame, b.box)) {
          return true;
        }
      }
    }
    return false;
  }

  static void grow(WorldBox &all, const WorldBox &box) {
    for (int c = 0; c < 3; ++c) {
      all.lo[c] = std::min(all.lo[c], box.lo[c]);
      all.hi[c] = std::max(all.hi[c], box.hi[c]);
    }
  }

  void emit(const Node &node, const Frame &f, Walk &out, std::size_t &next) const {
    if (node.sites == 1) {
      const SignedPermutation &t = table.form(f.turn);
      const Triple held = add(f.offset, rotate(t, node.end));
      const Triple plain = rotate(table.form(frame), held);
      out[next++] = {plain[0], plain[1], plain[2]};
      return;
    }
    emit(nodes[node.left], f, out, next);
    emit(nodes[node.right], right_frame(node, f), out, next);
  }

  struct Piece {
    const Node *node;
    Frame frame;
    WorldBox box;
  };

  struct Step {
    std::uint32_t node;
    Frame frame;
    std::uint8_t q;
    Triple end;
    Triple lo;
    Triple hi;
    bool turned;
  };

  const GroupTable &table;
  std::uint8_t frame;
  std::size_t size;
  std::vector<Node> nodes;
  std::uint32_t root = 0;
  Node origin;
  // A balanced tree over fewer than 2^63 steps is less than 64 deep.
  std::array<Step, 64> path{};
  std::array<Piece, 66> before{};
  std::array<Piece, 65> after{};
};

} // namespace

struct PivotChain::State {
  State(const Lattice &lattice, std::uint64_t n, Rng &rng_, std::uint64_t autocorrelation,
        PivotLayout layout)
      : rng(rng_), group(lattice.group), autocorrelation_factor(autocorrelation),
        table(lattice.group), size(n), held(hold(initial_walk(lattice, n), table, layout)),
        sample(n) {}

  using Held = std::variant<IndexedWalk, TreeWalk>;

  static Held hold(const Walk &start, const GroupTable &table, PivotLayout layout) {
    // Measured crossover: the index is quicker on short walks, the tree on long ones.
    if (layout == PivotLayout::Tree ||
        (layout == PivotLayout::Automatic && start.size() >= TREE_FROM_POINTS)) {
      return Held(std::in_place_type<TreeWalk>, start, table);
    }
    return Held(std::in_place_type<IndexedWalk>, start, table);
  }

  bool attempt() {
    const auto k = static_cast<std::size_t>(rng.uniform(0, size == 0 ? 0 : size - 1));
    const auto m = static_cast<std::uint8_t>(&random_element(group, rng) - group.elements.data());
    if (m == table.identity()) {
      return true;
    }
    if (auto *tree = std::get_if<TreeWalk>(&held)) {
      return tree->pivot(k, m);
    }
    return std::get<IndexedWalk>(held).pivot(k, m);
  }

  void materialise() {
    std::visit([&](const auto &walk) { walk.materialise(sample); }, held);
  }

  static constexpr std::uint64_t TREE_FROM_POINTS = 512;

  Rng &rng;
  SymmetryGroup group;
  std::uint64_t autocorrelation_factor;
  double ratio = 0.0;
  std::uint64_t spacing = 0;
  GroupTable table;
  std::size_t size;
  Held held;
  Walk sample;
};

PivotChain::PivotChain(const Lattice &lattice, std::uint64_t n, Rng &rng,
                       std::uint64_t thermalization_factor, std::uint64_t autocorrelation_factor,
                       PivotLayout layout)
    : state_(std::make_unique<State>(lattice, n, rng, autocorrelation_factor, layout)) {
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
