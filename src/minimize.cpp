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
  // walk (after tick()), in enumeration order; scorer.end_siblings(), where it exists, once the
  // walks that differ only in their last point are all done.
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
  static constexpr std::int64_t MAX_GRID_SIDE = 255; // at most 16 MiB of marks

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
// coordinates, so it is the very value the cost computes; placing point m classifies its pairs
// (j, m) into contact masks, and a walk's cost re-adds the contact energies in the cost's pair
// order (j ascending, then k ascending).
class ContactScorer {
public:
  static constexpr std::uint64_t MAX_POINTS = 64; // one mask bit per point

  // Whether the tables reproduce `evaluate` for walks of n points: the energies must line up
  // with the pairs of the walk.
  static bool applies(const ContactEnergyCost &cost, std::uint64_t n) {
    return n <= MAX_POINTS && cost.residue_count == n &&
           cost.pair_energies.size() == pair_count(n, cost.kmin);
  }

  ContactScorer(const ContactEnergyCost &cost, std::uint64_t n, const WalkSearch &search,
                double scale, Best &best)
      : n_(static_cast<std::size_t>(n)),
        kmin_(static_cast<std::size_t>(std::min<std::uint64_t>(cost.kmin, n))),
        radius_(search.radius()), side_(static_cast<std::size_t>(2 * radius_ + 1)),
        search_(search), best_(best), energy_(n_ * n_, 0.0), offset_(n_) {
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
    for (std::size_t a = 0; a < side_; ++a) {
      for (std::size_t b = 0; b < side_; ++b) {
        const double xa = static_cast<double>(static_cast<std::int32_t>(a) - radius_) * scale;
        const double xb = static_cast<double>(static_cast<std::int32_t>(b) - radius_) * scale;
        const double difference = xa - xb;
        squares_[a * side_ + b] = difference * difference;
      }
    }
  }

  void place(std::size_t m, LatticePoint p) {
    Offset &here = offset_[m];
    here = {static_cast<std::size_t>(p.x + radius_) * side_,
            static_cast<std::size_t>(p.y + radius_) * side_,
            static_cast<std::size_t>(p.z + radius_) * side_,
            static_cast<std::size_t>(p.x + radius_), static_cast<std::size_t>(p.y + radius_),
            static_cast<std::size_t>(p.z + radius_)};
    if (m + 1 == n_) {
      // A last point: its pairs go to a column of its own, scored with its siblings.
      std::uint64_t column = 0;
      if (m >= kmin_ && any_contact_) {
        for (std::size_t j = 0; j + kmin_ <= m; ++j) {
          column |= std::uint64_t{in_contact(offset_[j], here)} << j;
        }
      }
      sibling_points_[siblings_] = p;
      sibling_columns_[siblings_] = column;
      ++siblings_;
      return;
    }
    if (m < kmin_ || !any_contact_) {
      return;
    }
    const std::uint64_t below = (std::uint64_t{1} << m) - 1;
    for (std::size_t j = 0; j + kmin_ <= m; ++j) {
      rows_[j] = (rows_[j] & below) | (std::uint64_t{in_contact(offset_[j], here)} << m);
    }
  }

  void leaf() {}

  // The costs of the walks that differ only in their last point, summed side by side: the same
  // additions in the same order as the cost makes them for each walk. Adding +0.0 for a pair out
  // of contact changes nothing, since a sum that starts at +0.0 can never become -0.0.
  void end_siblings() {
    const std::size_t count = siblings_;
    siblings_ = 0;
    std::array<double, MAX_NEIGHBOURS> sums{};
    if (any_contact_) {
      const std::size_t last = n_ - 1;
      const std::uint64_t before_last = (std::uint64_t{1} << last) - 1;
      for (std::size_t j = 0; j + kmin_ <= last; ++j) {
        const double *row = &energy_[j * n_];
        if (j + kmin_ < last) {
          for (std::uint64_t mask = rows_[j] & before_last; mask != 0; mask &= mask - 1) {
            const double e = row[std::countr_zero(mask)];
            for (std::size_t c = 0; c < count; ++c) {
              sums[c] += e;
            }
          }
        }
        const double e = row[last];
        for (std::size_t c = 0; c < count; ++c) {
          sums[c] += (sibling_columns_[c] >> j & 1) != 0 ? e : 0.0;
        }
      }
    }
    for (std::size_t c = 0; c < count; ++c) {
      best_.offer(sums[c], search_.path(), sibling_points_[c]);
    }
  }

private:
  struct Offset {
    std::size_t row_x, row_y, row_z; // coordinate index times the table side
    std::size_t x, y, z;
  };

  bool in_contact(const Offset &there, const Offset &here) const {
    const double q = (squares_[there.row_x + here.x] + squares_[there.row_y + here.y]) +
                     squares_[there.row_z + here.z];
    return q <= limit_;
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
  double limit_ = 0.0;
  bool any_contact_ = false;
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
// the best RMSD's by a relative margin far above rounding. All other walks get the exact
// ground_truth_rmsd, which alone decides the winner.
class RmsdScorer {
public:
  // The bound assumes every model has one point per walk point.
  static bool applies(const PreparedGroundTruth &truth, std::uint64_t n) {
    return truth.model_count > 0 && truth.model_length == n &&
           truth.points.size() == truth.model_count * n;
  }

  RmsdScorer(const PreparedGroundTruth &truth, std::uint64_t n, const WalkSearch &search,
             double scale, Best &best)
      : truth_(truth), n_(static_cast<std::size_t>(n)), models_(truth.model_count),
        scale_(scale), search_(search), best_(best), centred_(models_ * n_),
        model_spread_(models_, 0.0), covariance_(n_ * models_), sums_(n_) {
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
      for (std::size_t i = 0; i < n_; ++i) {
        const Vec3 b{model[i].x - centre.x, model[i].y - centre.y, model[i].z - centre.z};
        centred_[i * models_ + k] = b;
        model_spread_[k] += b.x * b.x + b.y * b.y + b.z * b.z;
      }
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
      const double gb = model_spread_[k];
      if (!deviation_exceeds(ga, gb, c, target_ + 1e-9 * (ga + gb))) {
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
  std::vector<Vec3> centred_;                // point i of model k at i * models + k
  std::vector<double> model_spread_;         // sum of |b|^2 per centred model
  std::vector<std::array<double, 9>> covariance_; // per depth, per model
  std::vector<Sums> sums_;                   // per depth
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
      ContactScorer scorer(*contact, n, search, scale, best);
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
