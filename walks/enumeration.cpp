#include "enumeration.hpp"

#include "site_set.hpp"

#include <array>
#include <vector>

namespace vexa {

// The search is the depth-first Visit/Backtrack stack walk with neighbours pushed in step order,
// kept as one cursor per depth instead: cursor[d] is the next neighbour index (counting down, so
// the last step is explored first) to try as point d. A candidate that hits an occupied site is
// the dead Visit that its Backtrack would undo at once, so it is skipped without being added.
// Nothing is allocated per node.
struct WalkEnumerator::State {
  std::uint64_t n = 0;
  std::size_t k = 0;
  // offsets[parity of the point being extended][step index]: the tetrahedral odd sublattice
  // steps backwards. Walks start at the even origin and alternate, so the parity of point i is
  // i & 1 there; on the other lattices both rows are equal.
  std::array<std::array<LatticePoint, MAX_NEIGHBOURS>, 2> offsets{};
  Walk path;                      // always n points; the first `depth` are the current branch
  std::vector<int> cursor;        // cursor[d] for d in 1..n-1
  std::vector<std::size_t> slots; // set slot of each point on the branch
  SiteSet occupied;
  std::size_t depth = 0;
  bool started = false;
  bool finished = false;

  void push(LatticePoint p, std::size_t slot) {
    path[depth] = p;
    slots[depth] = slot;
    ++depth;
  }
  void pop() {
    --depth;
    occupied.erase_last(slots[depth]);
  }
};

WalkEnumerator::WalkEnumerator(const Lattice &lattice, std::uint64_t n) : state_(new State) {
  State &s = *state_;
  s.n = n;
  s.k = lattice.steps.size();
  const bool mirrored = lattice.kind == LatticeKind::Tetrahedral;
  for (std::size_t i = 0; i < s.k; ++i) {
    s.offsets[0][i] = lattice.steps[i];
    s.offsets[1][i] = mirrored ? -lattice.steps[i] : lattice.steps[i];
  }
}

WalkEnumerator::~WalkEnumerator() { delete state_; }

const Walk *WalkEnumerator::next() {
  State &s = *state_;
  if (s.finished) {
    return nullptr;
  }
  if (!s.started) {
    s.started = true;
    // No walk has 0 points: a search for one would never reach its goal, so the enumeration
    // of 0-point walks is empty rather than endless.
    if (s.n == 0) {
      s.finished = true;
      return nullptr;
    }
    s.path.resize(s.n);
    s.cursor.resize(s.n);
    s.slots.resize(s.n);
    s.occupied.reset(s.n);
    s.push(LatticePoint{}, s.occupied.insert(LatticePoint{}));
    if (s.n == 1) {
      return &s.path;
    }
    s.cursor[1] = static_cast<int>(s.k) - 1;
  } else {
    s.pop(); // the complete walk returned last time
  }
  const int top = static_cast<int>(s.k) - 1;
  while (s.depth > 0) {
    int &cursor = s.cursor[s.depth];
    if (cursor < 0) {
      s.pop();
      continue;
    }
    const LatticePoint q = s.path[s.depth - 1] + s.offsets[(s.depth - 1) & 1][cursor];
    --cursor;
    const std::size_t slot = s.occupied.insert(q);
    if (slot == SiteSet::NOT_INSERTED) {
      continue;
    }
    s.push(q, slot);
    if (s.depth == s.n) {
      return &s.path;
    }
    s.cursor[s.depth] = top;
  }
  s.finished = true;
  return nullptr;
}

} // namespace vexa
