// Exhaustive minimisation. One depth-first search visits the walks in the enumeration's order
// and keeps only the best walk so far, so memory stays bounded by the walk length. Contact
// energies are scored from lattice-indexed tables, the RMSD is screened by a certified lower
// bound; every value that can decide the winner is computed with the reference arithmetic.
#include "minimize.hpp"

#include "progress.hpp"
#include "stop.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <type_traits>
#include <variant>
#include <vector>

namespace vexa {

std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  constexpr std::uint64_t sign = std::uint64_t{1} << 63;
  return (bits & sign) != 0 ? ~bits : bits | sign;
}

namespace {

constexpr const char *NO_WALK = "There is no walk to minimise over: the walk length is 0 !";

// The first walk of least key seen so far.
struct Best {
  std::uint64_t key = 0;
  double value = 0.0;
  Walk walk;
  bool found = false;

  // As offer, for the path with its last point replaced.
  void offer(double candidate, const Walk &path, LatticePoint last) {
    if (offer(candidate, path)) {
      walk.back() = last;
    }
  }

  // True when the walk became the best.
  bool offer(double candidate, const Walk &path) {
    const std::uint64_t candidate_key = total_order_key(candidate);
    if (found && candidate_key >= key) {
      return false;
    }
    key = candidate_key;
    value = candidate;
    walk = path;
    found = true;
    return true;
  }
};

// Depth-first search over the self-avoiding walks of n points from the origin, in the order of
// WalkEnumerator: the neighbours of each point are tried last step first, and a point already
// on the path cuts the branch. Sites are marked in an occupancy grid while n is small enough
// for one, otherwise the path is scanned.
class WalkSearch {
public:
  WalkSearch(const Lattice &lattice, std::uint64_t n) : n_(static_cast<std::size_t>(n)) {
    // The neighbour rule depends on the site only through the parity of its coordinate sum.
    const LatticePoint sites[2] = {{0, 0, 0}, {1, 0, 0}};
    for (int parity = 0; parity < 2; ++parity) {
      const Neighbours around = neighbours(lattice, sites[parity]);
      step_count_ = around.count;
      for (std::size_t i = 0; i < around.count; ++i) {
        steps_[parity][i] = around[i] - sites[parity];
        const LatticePoint &s = steps_[parity][i];
        reach_ = std::max({reach_, std::abs(s.x), std::abs(s.y), std::abs(s.z)});
      }
    }
    path_.resize(n_);
    // Every coordinate of a walk lies within (n - 1) * reach of the origin.
    const std::int64_t radius = static_cast<std::int64_t>(n_ > 0 ? n_ - 1 : 0) * reach_;
    radius_ = radius;
    side_ = 2 * radius + 1;
    if (side_ <= MAX_GRID_SIDE) {
      grid_.assign(static_cast<std::size_t>(side_ * side_ * side_), 0);
      for (int parity = 0; parity < 2; ++parity) {
        for (std::size_t i = 0; i < step_count_; ++i) {
          const LatticePoint &s = steps_[parity][i];
          grid_steps_[parity][i] = (s.x * side_ + s.y) * side_ + s.z;
        }
      }
    }
  }

  const Walk &path() const { return path_; }
  std::int32_t radius() const { return static_cast<std::int32_t>(radius_); }

  // Calls scorer.place(m, point) whenever point m is set and scorer.leaf() for every complete
  // walk (after tick()), in enumeration order. Where the scorer has them, scorer.unplace(m)
  // when point m (not the last) leaves the path, and scorer.end_siblings() once the walks that
  // differ only in their last point are all done.
  template <typename Scorer, typename Tick> void run(Scorer &scorer, Tick &&tick) {
    if (n_ == 0) {
      return;
    }
    if (grid_.empty()) {
      search<false>(scorer, tick);
    } else {
      search<true>(scorer, tick);
    }
  }

private:
  static constexpr std::int64_t MAX_GRID_SIDE = 161; // at most 4 MiB of marks (n <= 81)

  template <typename Scorer> static void end_siblings(Scorer &scorer) {
    if constexpr (requires { scorer.end_siblings(); }) {
      scorer.end_siblings();
    }
  }

  template <bool UseGrid, typename Scorer, typename Tick> void search(Scorer &scorer, Tick &tick) {
    const std::size_t last = n_ - 1;
    std::vector<std::int64_t> cell(n_, 0);
    std::vector<int> pending(n_, 0); // directions still to try for point m, counted down
    path_[0] = LatticePoint{};
    scorer.place(0, path_[0]);
    if (last == 0) {
      tick();
      scorer.leaf();
      end_siblings(scorer);
      return;
    }
    cell[0] = (radius_ * side_ + radius_) * side_ + radius_;
    if constexpr (UseGrid) {
      grid_[static_cast<std::size_t>(cell[0])] = 1;
    }
    std::size_t m = 1;
    pending[1] = static_cast<int>(step_count_);
    for (;;) {
      if (pending[m] == 0) {
        if (m == last) {
          end_siblings(scorer);
        }
        if (--m == 0) {
          break;
        }
        if constexpr (requires { scorer.unplace(m); }) {
          scorer.unplace(m);
        }
        if constexpr (UseGrid) {
          grid_[static_cast<std::size_t>(cell[m])] = 0;
        }
        continue;
      }
      const int direction = --pending[m];
      const LatticePoint &from = path_[m - 1];
      const int parity = static_cast<int>(
          (static_cast<std::uint32_t>(from.x) + static_cast<std::uint32_t>(from.y) +
           static_cast<std::uint32_t>(from.z)) &
          1U);
      const LatticePoint next = from + steps_[parity][static_cast<std::size_t>(direction)];
      std::int64_t next_cell = 0;
      if constexpr (UseGrid) {
        next_cell = cell[m - 1] + grid_steps_[parity][static_cast<std::size_t>(direction)];
        if (grid_[static_cast<std::size_t>(next_cell)] != 0) {
          continue;
        }
      } else {
        if (std::find(path_.begin(), path_.begin() + static_cast<std::ptrdiff_t>(m), next) !=
            path_.begin() + static_cast<std::ptrdiff_t>(m)) {
          continue;
        }
      }
      path_[m] = next;
      scorer.place(m, next);
      if (m == last) {
        tick();
        scorer.leaf();
        continue;
      }
      if constexpr (UseGrid) {
        cell[m] = next_cell;
        grid_[static_cast<std::size_t>(next_cell)] = 1;
      }
      ++m;
      pending[m] = static_cast<int>(step_count_);
    }
    if constexpr (UseGrid) {
      grid_[static_cast<std::size_t>(cell[0])] = 0;
    }
  }

  std::size_t n_;
  std::size_t step_count_ = 0;
  std::int32_t reach_ = 0;
  std::int64_t radius_ = 0;
  std::int64_t side_ = 0;
  std::array<std::array<LatticePoint, MAX_NEIGHBOURS>, 2> steps_{};
  std::array<std::array<std::int64_t, MAX_NEIGHBOURS>, 2> grid_steps_{};
  std::vector<unsigned char> grid_;
  Walk path_;
};

// Any cost, and the RMSD when the fast scorer does not apply: one evaluation per walk of its
// structure, built exactly as to_structure builds it.
class PlainScorer {
public:
  PlainScorer(const CostFunction &cost, CostEvaluator evaluate, const WalkSearch &search,
              double scale, Best &best)
      : cost_(cost), evaluate_(evaluate), search_(search), scale_(scale), best_(best),
        ground_truth_(std::get_if<RmsdCost>(&cost)) {}

  void place(std::size_t, LatticePoint) {}

  void leaf() {
    to_structure(search_.path(), scale_, structure_);
    const double value = ground_truth_ != nullptr
                             ? ground_truth_rmsd(ground_truth_->ground_truth, structure_)
                             : evaluate_(cost_, structure_);
    best_.offer(value, search_.path());
  }

private:
  const CostFunction &cost_;
  CostEvaluator evaluate_;
  const WalkSearch &search_;
  double scale_;
  Best &best_;
  const RmsdCost *ground_truth_;
  Structure structure_;
};

std::uint64_t pair_count(std::uint64_t n, std::uint64_t kmin) {
  if (kmin >= n) {
    return 0;
  }
  const std::uint64_t longest = n - kmin; // pairs in the first row
  return longest * (longest + 1) / 2;
}

// Contact-energy cost, bit-identical to evaluate_contact_energy on the walk's structure. The
// squared distance of a pair comes from per-axis tables of the differences of the scaled
// coordinates, so it is the very value the cost computes. Placing point m classifies its pairs
// (j, m) into contact masks, and a walk's cost re-adds the contact energies in the cost's pair
// order (j ascending, then k ascending).
//
// Where few lattice offsets can be in contact, each placed point marks the cells it touches in a
// contact field, so a new point reads its contacts in one load. An offset is marked without a
// test only when it is in contact wherever the pair sits (its largest possible squared distance
// is within the limit); the others get the exact test for the two actual points.
class ContactScorer {
public:
  static constexpr std::uint64_t MAX_POINTS = 64; // one mask bit per point

  // Whether the tables reproduce `evaluate` for walks of n points: the energies must line up
  // with the pairs of the walk.
  static bool applies(const ContactEnergyCost &cost, std::uint64_t n) {
    return n > 0 && n <= MAX_POINTS && cost.residue_count == n &&
           cost.pair_energies.size() == pair_count(n, cost.kmin);
  }

  ContactScorer(const ContactEnergyCost &cost, std::uint64_t n, const Lattice &lattice,
                const WalkSearch &search, double scale, Best &best)
      : n_(static_cast<std::size_t>(n)),
        kmin_(static_cast<std::size_t>(std::min<std::uint64_t>(cost.kmin, n))),
        radius_(search.radius()), side_(static_cast<std::size_t>(2 * radius_ + 1)),
        search_(search), best_(best), energy_(n_ * n_, 0.0), offset_(n_),
        lanes_(lattice.steps.size() <= 4 ? 4 : lattice.steps.size() <= 8 ? 8 : MAX_NEIGHBOURS) {
    std::size_t i = 0;
    for (std::size_t j = 0; j + kmin_ < n_; ++j) {
      for (std::size_t k = j + kmin_; k < n_; ++k) {
        energy_[j * n_ + k] = cost.pair_energies[i++];
      }
    }
    // The cost's own threshold on squared distances, so both classify every pair alike.
    limit_ = cost.squared_limit;
    any_contact_ = limit_ >= 0.0;
    // squares_[a][b] = (a*s - b*s)^2, each product rounded as to_structure rounds it.
    squares_.resize(side_ * side_);
    bool finite = true;
    for (std::size_t a = 0; a < side_; ++a) {
      for (std::size_t b = 0; b < side_; ++b) {
        const double xa = static_cast<double>(static_cast<std::int32_t>(a) - radius_) * scale;
        const double xb = static_cast<double>(static_cast<std::int32_t>(b) - radius_) * scale;
        const double difference = xa - xb;
        squares_[a * side_ + b] = difference * difference;
        finite = finite && std::isfinite(squares_[a * side_ + b]);
      }
    }
    if (any_contact_ && finite) {
      build_field(lattice);
    }
  }

  void place(std::size_t m, LatticePoint p) {
    Offset &here = offset_[m];
    here = offset_of(p.x, p.y, p.z);
    if (m + 1 == n_) {
      // A last point: its pairs go to a lane of their own, scored with its siblings.
      sibling_points_[siblings_] = p;
      sibling_columns_[siblings_] = contacts(m, p);
      ++siblings_;
      return;
    }
    if (field_.empty()) {
      if (m < kmin_ || !any_contact_) {
        return;
      }
      const std::uint64_t below = (std::uint64_t{1} << m) - 1;
      for (std::size_t j = 0; j + kmin_ <= m; ++j) {
        rows_[j] = (rows_[j] & below) | (std::uint64_t{in_contact(offset_[j], here)} << m);
      }
      return;
    }
    const std::uint64_t column = contacts(m, p);
    columns_[m] = column;
    for (std::uint64_t mask = column; mask != 0; mask &= mask - 1) {
      rows_[static_cast<std::size_t>(std::countr_zero(mask))] |= std::uint64_t{1} << m;
    }
    const std::int64_t cell = field_cell(p);
    field_cells_[m] = cell;
    if (marks_field(m)) {
      const std::uint64_t bit = std::uint64_t{1} << m;
      for (const Reach &r : reach_) {
        if (r.certain || in_contact(here, offset_of(p.x + r.dx, p.y + r.dy, p.z + r.dz))) {
          field_[static_cast<std::size_t>(cell + r.delta)] |= bit;
        }
      }
    }
  }

  void unplace(std::size_t m) {
    if (field_.empty()) {
      return;
    }
    const std::uint64_t keep = ~(std::uint64_t{1} << m);
    for (std::uint64_t mask = columns_[m]; mask != 0; mask &= mask - 1) {
      rows_[static_cast<std::size_t>(std::countr_zero(mask))] &= keep;
    }
    if (marks_field(m)) {
      const std::int64_t cell = field_cells_[m];
      for (const Reach &r : reach_) {
        field_[static_cast<std::size_t>(cell + r.delta)] &= keep;
      }
    }
  }

  void leaf() {}

  // The costs of the walks that differ only in their last point, summed side by side: the same
  // additions in the same order as the cost makes them for each walk. Lanes past the siblings
  // add along for the vector width and are dropped.
  void end_siblings() {
    switch (lanes_) {
    case 4:
      fold_siblings<4>();
      break;
    case 8:
      fold_siblings<8>();
      break;
    default:
      fold_siblings<MAX_NEIGHBOURS>();
      break;
    }
  }

private:
  struct Offset {
    std::size_t row_x, row_y, row_z; // coordinate index times the table side
    std::size_t x, y, z;
  };

  // A lattice offset that can be in contact, and its step in the contact field.
  struct Reach {
    std::int64_t delta;
    std::int32_t dx, dy, dz;
    bool certain; // in contact wherever the pair sits
  };

  static constexpr std::size_t MAX_REACH = 256;          // marks per placed point
  static constexpr std::int64_t MAX_FIELD_CELLS = 1 << 19; // 4 MiB of masks

  Offset offset_of(std::int32_t x, std::int32_t y, std::int32_t z) const {
    const auto index = [this](std::int32_t c) { return static_cast<std::size_t>(c + radius_); };
    return {index(x) * side_, index(y) * side_, index(z) * side_, index(x), index(y), index(z)};
  }

  // A fixed lane count lets the compiler add the shared contacts to all lanes at once.
  template <std::size_t Lanes> void fold_siblings() {
    const std::size_t count = siblings_;
    siblings_ = 0;
    std::array<double, Lanes> sums{};
    if (any_contact_) {
      const std::size_t last = n_ - 1;
      // Row j of the last column, by sibling: bit c set when (j, n-1) is in contact there.
      std::array<std::uint16_t, MAX_POINTS> row_lanes{};
      for (std::size_t c = 0; c < count; ++c) {
        for (std::uint64_t mask = sibling_columns_[c]; mask != 0; mask &= mask - 1) {
          row_lanes[static_cast<std::size_t>(std::countr_zero(mask))] |=
              static_cast<std::uint16_t>(1U << c);
        }
      }
      const std::uint64_t before_last = (std::uint64_t{1} << last) - 1;
      for (std::size_t j = 0; j + kmin_ <= last; ++j) {
        const double *row = &energy_[j * n_];
        if (j + kmin_ < last) {
          for (std::uint64_t mask = rows_[j] & before_last; mask != 0; mask &= mask - 1) {
            const double e = row[std::countr_zero(mask)];
            for (std::size_t c = 0; c < Lanes; ++c) {
              sums[c] += e;
            }
          }
        }
        // (j, n-1) adds its energy to the siblings that have it in contact, as the cost does.
        const double e = row[last];
        for (unsigned lanes = row_lanes[j]; lanes != 0; lanes &= lanes - 1) {
          sums[static_cast<std::size_t>(std::countr_zero(lanes))] += e;
        }
      }
    }
    for (std::size_t c = 0; c < count; ++c) {
      best_.offer(sums[c], search_.path(), sibling_points_[c]);
    }
  }

  // Points before the last two mark the field; the last two test their pairs directly, which
  // is cheaper than marking for the many placements at that depth.
  bool marks_field(std::size_t m) const {
    return m < field_limit_ && m + std::max<std::size_t>(kmin_, 1) < n_;
  }

  bool in_contact(const Offset &there, const Offset &here) const {
    const double q = (squares_[there.row_x + here.x] + squares_[there.row_y + here.y]) +
                     squares_[there.row_z + here.z];
    return q <= limit_;
  }

  // Bits 0 to top.
  static std::uint64_t pairing(std::size_t top) {
    return top >= 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (top + 1)) - 1;
  }

  std::int64_t field_cell(LatticePoint p) const {
    return ((p.x + field_pad_) * field_side_ + (p.y + field_pad_)) * field_side_ +
           (p.z + field_pad_);
  }

  // Bit j set when (j, m) is in contact, for the j that pair with point m (j <= m - kmin).
  std::uint64_t contacts(std::size_t m, LatticePoint p) const {
    if (m < kmin_ || !any_contact_) {
      return 0;
    }
    const std::size_t top = m - kmin_; // highest j that pairs with m
    const Offset &here = offset_[m];
    if (field_.empty()) {
      std::uint64_t column = 0;
      for (std::size_t j = 0; j + kmin_ <= m; ++j) {
        column |= std::uint64_t{in_contact(offset_[j], here)} << j;
      }
      return column;
    }
    // The field holds the placed points below field_limit_; the others, and with kmin 0 the
    // pair (m, m), are tested here.
    std::uint64_t column = field_[static_cast<std::size_t>(field_cell(p))] & pairing(top);
    for (std::size_t j = field_limit_; j <= top; ++j) {
      column |= std::uint64_t{in_contact(offset_[j], here)} << j;
    }
    if (kmin_ == 0 && m < field_limit_) {
      column |= std::uint64_t{in_contact(here, here)} << m;
    }
    return column;
  }

  // Lists the lattice offsets that can be in contact somewhere in the walk's box, if they are
  // few enough for the field to pay.
  void build_field(const Lattice &lattice) {
    const std::int32_t span = 2 * radius_; // no two points of a walk are further apart per axis
    // Per axis and coordinate difference d, the least and largest square over all positions.
    const std::size_t differences = static_cast<std::size_t>(2 * span + 1);
    std::vector<double> least(differences, std::numeric_limits<double>::infinity());
    std::vector<double> largest(differences, -std::numeric_limits<double>::infinity());
    for (std::size_t a = 0; a < side_; ++a) {
      for (std::size_t b = 0; b < side_; ++b) {
        const auto d = static_cast<std::size_t>(static_cast<std::int32_t>(a) -
                                                static_cast<std::int32_t>(b) + span);
        least[d] = std::min(least[d], squares_[a * side_ + b]);
        largest[d] = std::max(largest[d], squares_[a * side_ + b]);
      }
    }
    // Rounded addition is monotone, so these bound the squared distance of every placement.
    const auto bound = [&](const std::vector<double> &table, std::int32_t dx, std::int32_t dy,
                           std::int32_t dz) {
      const auto at = [&](std::int32_t d) { return table[static_cast<std::size_t>(d + span)]; };
      return (at(dx) + at(dy)) + at(dz);
    };
    std::vector<LatticePoint> candidates;
    std::int32_t extent = 0;
    for (std::int32_t dx = -span; dx <= span; ++dx) {
      for (std::int32_t dy = -span; dy <= span; ++dy) {
        for (std::int32_t dz = -span; dz <= span; ++dz) {
          if ((dx != 0 || dy != 0 || dz != 0) && bound(least, dx, dy, dz) <= limit_) {
            candidates.push_back({dx, dy, dz});
            extent = std::max({extent, std::abs(dx), std::abs(dy), std::abs(dz)});
            if (candidates.size() > 8 * MAX_REACH) {
              return;
            }
          }
        }
      }
    }
    // Sites within reach of the origin, by their own steps: an offset between two sites of the
    // walk is such a site or its negative (the tetrahedral lattice is not closed under negation).
    const std::int32_t box = extent + 2;
    const auto box_index = [box](LatticePoint q) {
      const std::int32_t w = 2 * box + 1;
      return static_cast<std::size_t>(((q.x + box) * w + (q.y + box)) * w + (q.z + box));
    };
    const std::size_t box_side = static_cast<std::size_t>(2 * box + 1);
    std::vector<unsigned char> site(box_side * box_side * box_side, 0);
    std::vector<LatticePoint> queue = {LatticePoint{}};
    site[box_index(LatticePoint{})] = 1;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      for (const LatticePoint &q : neighbours(lattice, queue[head])) {
        if (std::max({std::abs(q.x), std::abs(q.y), std::abs(q.z)}) <= box &&
            site[box_index(q)] == 0) {
          site[box_index(q)] = 1;
          queue.push_back(q);
        }
      }
    }
    for (const LatticePoint &o : candidates) {
      if (site[box_index(o)] == 0 && site[box_index(LatticePoint{} - o)] == 0) {
        continue;
      }
      reach_.push_back({0, o.x, o.y, o.z, bound(largest, o.x, o.y, o.z) <= limit_});
    }
    const std::int64_t pad = radius_ + extent;
    const std::int64_t field_side = 2 * pad + 1;
    if (reach_.size() > MAX_REACH || field_side * field_side * field_side > MAX_FIELD_CELLS) {
      reach_.clear();
      return;
    }
    field_pad_ = pad;
    field_side_ = field_side;
    field_limit_ = n_ >= 2 ? n_ - 2 : 0;
    for (Reach &r : reach_) {
      r.delta = (r.dx * field_side_ + r.dy) * field_side_ + r.dz;
    }
    field_.assign(static_cast<std::size_t>(field_side * field_side * field_side), 0);
  }

  std::size_t n_;
  std::size_t kmin_;
  std::int32_t radius_;
  std::size_t side_;
  const WalkSearch &search_;
  Best &best_;
  std::vector<double> energy_; // energy_[j * n + k] for the pair (j, k)
  std::vector<double> squares_;
  std::vector<Offset> offset_;
  std::array<std::uint64_t, MAX_POINTS> rows_{}; // bit k of rows_[j]: (j, k) in contact, k < n-1
  std::array<LatticePoint, MAX_NEIGHBOURS> sibling_points_{};
  std::array<std::uint64_t, MAX_NEIGHBOURS> sibling_columns_{}; // bit j: (j, n-1) in contact
  std::size_t siblings_ = 0;
  std::size_t lanes_ = MAX_NEIGHBOURS;
  double limit_ = 0.0;
  bool any_contact_ = false;
  // The contact field: bit j of a cell is set while point j is placed and in contact with it.
  std::vector<std::uint64_t> field_;
  std::vector<Reach> reach_;
  std::int64_t field_pad_ = 0;
  std::int64_t field_side_ = 0;
  std::size_t field_limit_ = 0; // points below this index mark the field
  std::array<std::uint64_t, MAX_POINTS> columns_{};   // contacts of point m with earlier points
  std::array<std::int64_t, MAX_POINTS> field_cells_{}; // where point m marked the field
};

// Certifies, when it can, that the least squared deviation E = ga + gb - 2*lambda of a
// superposition with cross-covariance h exceeds target. lambda, the largest root of Horn's
// quartic P(x) = x^4 - 2t x^2 - 8 det(h) x + t^2 - 4e (t = |h|_F^2, e = sum of the squared 2x2
// minors of h), is sigma1 + sigma2 +- sigma3 <= sqrt(3t). Newton's method from above stays above
// the root; an iterate is trusted only where P and its derivatives are clearly positive, which
// by Budan-Fourier puts it above every root.
bool deviation_exceeds(double ga, double gb, const std::array<double, 9> &h, double target) {
  const double budget = 0.5 * ((ga + gb) - target); // E > target iff lambda < budget
  if (!(budget > 0.0)) {
    return false;
  }
  double t = 0.0;
  for (double v : h) {
    t += v * v;
  }
  double lambda = std::min(std::sqrt(3.0 * t), std::sqrt(ga * gb)) * (1.0 + 1e-12);
  if (lambda < budget) {
    return true;
  }
  const auto minor = [&h](int r0, int r1, int c0, int c1) {
    return h[r0 * 3 + c0] * h[r1 * 3 + c1] - h[r0 * 3 + c1] * h[r1 * 3 + c0];
  };
  // e2(h^T h) is the sum of the squared 2x2 minors (Cauchy-Binet): no cancellation.
  constexpr int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  double e = 0.0;
  for (const auto &rows : pairs) {
    for (const auto &columns : pairs) {
      const double m = minor(rows[0], rows[1], columns[0], columns[1]);
      e += m * m;
    }
  }
  const double det =
      h[0] * minor(1, 2, 1, 2) - h[1] * minor(1, 2, 0, 2) + h[2] * minor(1, 2, 0, 1);
  const double c2 = -2.0 * t;
  const double c1 = -8.0 * det;
  const double c0 = t * t - 4.0 * e;
  constexpr double slack = 1e-12; // far above the rounding of each evaluation
  for (int iteration = 0; iteration < 8; ++iteration) {
    const double l2 = lambda * lambda;
    const double p = ((l2 + c2) * lambda + c1) * lambda + c0;
    const double dp = (4.0 * l2 + 2.0 * c2) * lambda + c1;
    const double next = lambda - p / dp;
    const double n2 = next * next;
    const double p_next = ((n2 + c2) * next + c1) * next + c0;
    const double dp_next = (4.0 * n2 + 2.0 * c2) * next + c1;
    const double ddp_next = 12.0 * n2 + 2.0 * c2;
    const double abs_det = std::abs(det);
    const bool above_roots =
        next > 0.0 &&
        p_next > slack * (n2 * n2 + 2.0 * t * n2 + 8.0 * abs_det * next + t * t + 4.0 * e) &&
        dp_next > slack * (4.0 * n2 * next + 4.0 * t * next + 8.0 * abs_det) &&
        ddp_next > slack * (12.0 * n2 + 4.0 * t);
    if (!above_roots) {
      return false;
    }
    lambda = next;
    if (lambda < budget) {
      return true;
    }
  }
  return false;
}

// RMSD to the ground truth. Along the search it accumulates, per model, the cross-covariance of
// the lattice points with the centred model and the sums that give the walk's spread; a walk is
// passed over when, for every model, a certified lower bound of its squared deviation exceeds
// the best RMSD's by a margin far above the rounding of either computation (relative 1e-9 of
// the squared coordinates as given, so that far-off models cannot tip a near tie). All other
// walks get the exact ground_truth_rmsd, which alone decides the winner.
class RmsdScorer {
public:
  // The bound assumes every model has one point per walk point.
  static bool applies(const PreparedGroundTruth &truth, std::uint64_t n) {
    return n > 0 && truth.model_count > 0 && truth.model_length == n &&
           truth.points.size() == truth.model_count * n;
  }

  RmsdScorer(const PreparedGroundTruth &truth, std::uint64_t n, const WalkSearch &search,
             double scale, Best &best)
      : truth_(truth), n_(static_cast<std::size_t>(n)), models_(truth.model_count),
        scale_(scale), search_(search), best_(best), centred_(models_ * n_),
        model_spread_(models_, 0.0), margin_(models_, 0.0), covariance_(n_ * models_),
        sums_(n_) {
    for (std::size_t k = 0; k < models_; ++k) {
      const Vec3 *model = &truth.points[k * n_];
      Vec3 centre;
      for (std::size_t i = 0; i < n_; ++i) {
        centre.x += model[i].x;
        centre.y += model[i].y;
        centre.z += model[i].z;
      }
      const double count = static_cast<double>(n_);
      centre = {centre.x / count, centre.y / count, centre.z / count};
      double reach = 0.0; // largest coordinate of model or walk, in magnitude
      for (std::size_t i = 0; i < n_; ++i) {
        const Vec3 b{model[i].x - centre.x, model[i].y - centre.y, model[i].z - centre.z};
        centred_[i * models_ + k] = b;
        model_spread_[k] += b.x * b.x + b.y * b.y + b.z * b.z;
        reach = std::max({reach, std::abs(model[i].x), std::abs(model[i].y),
                          std::abs(model[i].z)});
      }
      reach = std::max(reach, static_cast<double>(search.radius()) * std::abs(scale));
      margin_[k] = 1e-9 * 3.0 * count * reach * reach;
    }
  }

  void place(std::size_t m, LatticePoint p) {
    Sums &sums = sums_[m];
    sums = m == 0 ? Sums{} : sums_[m - 1];
    sums.x += p.x;
    sums.y += p.y;
    sums.z += p.z;
    sums.squares += std::int64_t{p.x} * p.x + std::int64_t{p.y} * p.y + std::int64_t{p.z} * p.z;
    const double x = p.x;
    const double y = p.y;
    const double z = p.z;
    std::array<double, 9> *h = &covariance_[m * models_];
    const Vec3 *b = &centred_[m * models_];
    for (std::size_t k = 0; k < models_; ++k) {
      std::array<double, 9> &c = h[k];
      if (m > 0) {
        c = covariance_[(m - 1) * models_ + k];
      } else {
        c.fill(0.0);
      }
      c[0] += x * b[k].x;
      c[1] += x * b[k].y;
      c[2] += x * b[k].z;
      c[3] += y * b[k].x;
      c[4] += y * b[k].y;
      c[5] += y * b[k].z;
      c[6] += z * b[k].x;
      c[7] += z * b[k].y;
      c[8] += z * b[k].z;
    }
  }

  void leaf() {
    if (best_.found && passed_over()) {
      return;
    }
    to_structure(search_.path(), scale_, structure_);
    if (best_.offer(ground_truth_rmsd(truth_, structure_), search_.path())) {
      target_ = best_.value * best_.value * static_cast<double>(n_);
    }
  }

private:
  bool passed_over() {
    const Sums &sums = sums_[n_ - 1];
    const auto count = static_cast<std::int64_t>(n_);
    // n * sum |x|^2 - |sum x|^2 is exact in integers; the spread of the centred walk is that
    // times s^2 / n.
    const std::int64_t spread =
        count * sums.squares - (sums.x * sums.x + sums.y * sums.y + sums.z * sums.z);
    const double ga = scale_ * scale_ * static_cast<double>(spread) / static_cast<double>(n_);
    const std::array<double, 9> *h = &covariance_[(n_ - 1) * models_];
    for (std::size_t k = 0; k < models_; ++k) {
      std::array<double, 9> c = h[k];
      for (double &v : c) {
        v *= scale_;
      }
      if (!deviation_exceeds(ga, model_spread_[k], c, target_ + margin_[k])) {
        return false;
      }
    }
    return true;
  }

  struct Sums {
    std::int64_t x = 0, y = 0, z = 0, squares = 0;
  };

  const PreparedGroundTruth &truth_;
  std::size_t n_;
  std::size_t models_;
  double scale_;
  const WalkSearch &search_;
  Best &best_;
  std::vector<Vec3> centred_;                     // point i of model k at i * models + k
  std::vector<double> model_spread_;              // sum of |b|^2 per centred model
  std::vector<double> margin_;                    // per model, in units of n * RMSD^2
  std::vector<std::array<double, 9>> covariance_; // per depth, per model
  std::vector<Sums> sums_;                        // per depth
  Structure structure_;
  double target_ = std::numeric_limits<double>::infinity();
};

template <typename Scorer>
void run_search(WalkSearch &search, Scorer &scorer, std::optional<ProgressBar> &bar) {
  if (bar.has_value()) {
    search.run(scorer, [&bar] { bar->tick(); });
  } else {
    search.run(scorer, [] {});
  }
}

} // namespace

Structure minimize(std::uint64_t n, CostFunction cost, LatticeKind kind, bool pbar,
                   double arc_length, CostEvaluator evaluate) {
  const Lattice lattice = make_lattice(kind);
  const double scale = coordinate_scale(lattice, arc_length);
  Best best;
  {
    WalkSearch search(lattice, n);
    std::optional<ProgressBar> bar;
    if (pbar) {
      bar.emplace(std::nullopt);
    }
    const auto *contact = std::get_if<ContactEnergyCost>(&cost);
    const auto *rmsd = std::get_if<RmsdCost>(&cost);
    if (contact != nullptr && ContactScorer::applies(*contact, n)) {
      ContactScorer scorer(*contact, n, lattice, search, scale, best);
      run_search(search, scorer, bar);
    } else if (rmsd != nullptr && RmsdScorer::applies(rmsd->ground_truth, n)) {
      RmsdScorer scorer(rmsd->ground_truth, n, search, scale, best);
      run_search(search, scorer, bar);
    } else {
      PlainScorer scorer(cost, evaluate, search, scale, best);
      run_search(search, scorer, bar);
    }
  }
  { [[maybe_unused]] const CostFunction released = std::move(cost); }
  if (!best.found) {
    throw Stop(NO_WALK);
  }
  return to_structure(best.walk, scale);
}

} // namespace vexa
