// Exhaustive minimisation against the plain design (every walk from WalkEnumerator scored with
// the cost's own evaluation or ground_truth_rmsd, kept in a list, first least picked): same walk
// bit for bit; the total order, ties, n = 1 and n = 0, one evaluation per walk, and the progress
// line on success and on a failing cost.
#include "minimize.hpp"
#include "../walks/walk_checks.hpp"

#include "enumeration.hpp"
#include "fd_capture.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vexa {
namespace {

using testing_support::kind_name;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// evaluate_cost without the Python kind, which needs the interpreter.
double evaluate_without_python(const CostFunction &cost, std::span<const Vec3> structure) {
  if (const auto *contact = std::get_if<ContactEnergyCost>(&cost)) {
    return evaluate_contact_energy(*contact, structure);
  }
  if (const auto *lua = std::get_if<LuaCost>(&cost)) {
    return evaluate_lua_cost(*lua, structure);
  }
  throw Stop("this test evaluates contact energies and Lua costs only");
}

// The design as first written: every candidate and its value kept, then a scan for the first
// strictly smaller key.
Structure plain_minimize(std::uint64_t n, const CostFunction &cost, LatticeKind kind,
                         double arc_length) {
  const Lattice lattice = make_lattice(kind);
  const double scale = coordinate_scale(lattice, arc_length);
  WalkEnumerator walks(lattice, n);
  std::vector<std::pair<Structure, double>> candidates;
  while (const Walk *walk = walks.next()) {
    Structure s = to_structure(*walk, scale);
    const double value = std::holds_alternative<RmsdCost>(cost)
                             ? ground_truth_rmsd(std::get<RmsdCost>(cost).ground_truth, s)
                             : evaluate_without_python(cost, s);
    candidates.emplace_back(std::move(s), value);
  }
  if (candidates.empty()) {
    throw Stop("no candidate");
  }
  std::size_t best = 0;
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    if (total_order_key(candidates[i].second) < total_order_key(candidates[best].second)) {
      best = i;
    }
  }
  return candidates[best].first;
}

// Bit patterns, so that -0.0 and 0.0 (or two NaNs) are told apart.
std::vector<std::uint64_t> bits(const Structure &s) {
  std::vector<std::uint64_t> out;
  for (const Vec3 &p : s) {
    out.push_back(std::bit_cast<std::uint64_t>(p.x));
    out.push_back(std::bit_cast<std::uint64_t>(p.y));
    out.push_back(std::bit_cast<std::uint64_t>(p.z));
  }
  return out;
}

Structure points(std::initializer_list<Vec3> list) { return Structure(list); }

std::uint64_t count_walks(LatticeKind kind, std::uint64_t n) {
  WalkEnumerator walks(make_lattice(kind), n);
  std::uint64_t count = 0;
  while (walks.next() != nullptr) {
    ++count;
  }
  return count;
}

TEST(TotalOrderKey, FollowsIeeeTotalOrder) {
  // IEEE 754-2008 totalOrder, ascending.
  const double ascending[] = {-NaN,
                              -std::numeric_limits<double>::infinity(),
                              -1e300,
                              -1.0,
                              -std::numeric_limits<double>::denorm_min(),
                              -0.0,
                              0.0,
                              std::numeric_limits<double>::denorm_min(),
                              1.0,
                              1e300,
                              std::numeric_limits<double>::infinity(),
                              NaN};
  for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
    SCOPED_TRACE(i);
    EXPECT_LT(total_order_key(ascending[i]), total_order_key(ascending[i + 1]));
  }
}

// A residue alphabet whose energies are inexact decimals of mixed sign: many walks share a
// multiset of contacts, so which one wins depends on the rounding of each addition in the
// cost's pair order.
ContactEnergyCost rounding_sensitive_cost(const std::string &sequence, std::uint64_t kmin,
                                          double dmax) {
  const double energies[] = {0.1, -0.7, 0.3, -0.2, -1.1, 0.6};
  ContactEnergyTable table;
  const std::u32string letters = U"ACDEFG";
  for (std::size_t a = 0; a < letters.size(); ++a) {
    for (std::size_t b = 0; b < letters.size(); ++b) {
      table[letters[a]][letters[b]] = energies[(a * 5 + b * 3) % 6] * (a == b ? 1e-3 : 1.0);
    }
  }
  return make_contact_energy_cost(table, sequence, kmin, dmax);
}

TEST(Minimize, ContactCostPicksTheSameWalkAsThePlainDesign) {
  const double tetrahedral_edge = std::sqrt(8.0 / 3.0) * 3.8; // two steps apart on diamond
  struct Case {
    LatticeKind kind;
    std::string sequence;
    std::uint64_t kmin;
    double dmax;
    double arc_length;
  };
  const Case cases[] = {
      {LatticeKind::Cubic, "ACDEFGA", 1, 7.8, 3.8},
      {LatticeKind::Cubic, "GFEDCAGF", 2, 3.8 * std::sqrt(2.0), 3.8},
      {LatticeKind::Cubic, "AAGGCCDE", 0, 3.8, 3.8},
      {LatticeKind::Cubic, "ACDEFG", 3, 5.0, 2.718281828459045},
      {LatticeKind::Tetrahedral, "ACDEFGACDE", 1, 7.8, 3.8},
      {LatticeKind::Tetrahedral, "GACEFDGAC", 2, tetrahedral_edge, 3.8},
      {LatticeKind::Fcc, "ACDEFG", 1, 7.8, 3.8},
      {LatticeKind::Fcc, "DEFGAC", 2, 3.8 * std::sqrt(3.0), 3.8},
      {LatticeKind::Bcc, "ACDEFGA", 1, 7.8, 3.8},
      {LatticeKind::Bcc, "FFACDE", 1, 4.4, 1.0},
      {LatticeKind::Cubic, "ACDEF", 9, 7.8, 3.8}, // no pair: every cost is 0.0
      // Two cubic steps apart, 3.8 * x - 3.8 * y spans 7.599999999999998 to 7.6 depending on
      // where the pair sits: the limit splits one lattice offset by absolute position.
      {LatticeKind::Cubic, "CEGDFACE", 1, 7.599999999999999, 3.8},
      {LatticeKind::Cubic, "FCAGDEEC", 2, 6.58179306876173, 3.8}, // offset (1, 1, 1) likewise
      // Contact across more offsets than are worth marking: pairs tested one by one.
      {LatticeKind::Cubic, "GFEDCAGF", 2, 16.0, 3.8},
      {LatticeKind::Fcc, "GFEDCA", 1, 11.0, 3.8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " " + c.sequence + " kmin " +
                 std::to_string(c.kmin) + " dmax " + std::to_string(c.dmax));
    const std::uint64_t n = c.sequence.size();
    const Structure expected = plain_minimize(
        n, rounding_sensitive_cost(c.sequence, c.kmin, c.dmax), c.kind, c.arc_length);
    const Structure got = minimize(n, rounding_sensitive_cost(c.sequence, c.kmin, c.dmax), c.kind,
                                   false, c.arc_length, evaluate_without_python);
    EXPECT_EQ(bits(got), bits(expected));
  }
}

TEST(Minimize, LuaCostPicksTheSameWalkAsThePlainDesign) {
  // Radius of gyration times a residue weight, plus a global that changes from call to call:
  // the search must call the function exactly as often, and in the same order, as the plain
  // design for the values to line up.
  const char *code = R"(
    calls = 0
    function cost(seq, xyz)
      calls = calls + 1
      local n, s = #xyz, 0
      for i = 1, n do
        local w = string.byte(seq, i) - 64
        s = s + w * (xyz[i][1] * 0.3 - xyz[i][2] + xyz[i][3] * xyz[i][3] * 0.01)
      end
      return s + (calls % 7) * 1e-9
    end)";
  struct Case {
    LatticeKind kind;
    std::string sequence;
  };
  const Case cases[] = {{LatticeKind::Cubic, "ADCBA"},
                        {LatticeKind::Tetrahedral, "BADCAB"},
                        {LatticeKind::Fcc, "ABCD"},
                        {LatticeKind::Bcc, "DCBA"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " " + c.sequence);
    const std::uint64_t n = c.sequence.size();
    const Structure expected =
        plain_minimize(n, make_lua_cost("cost", code, c.sequence), c.kind, 3.8);
    const Structure got = minimize(n, make_lua_cost("cost", code, c.sequence), c.kind, false, 3.8,
                                   evaluate_without_python);
    EXPECT_EQ(bits(got), bits(expected));
  }
}

TEST(Minimize, ContactSumKeepsThePairOrder) {
  // The end-to-end pair (0, n-1) carries -2^60, whose ulp (256) absorbs each later -100. In the
  // cost's order (row 0 first, then rows 1, 2, ...) every A-A contact comes after it, so all
  // walks with their ends in contact tie and the first of them wins; a sum in any other order
  // lets the A-A contacts count and picks a more compact walk.
  ContactEnergyTable table;
  table[U'H'][U'H'] = -0x1p60;
  table[U'H'][U'A'] = 0.0;
  table[U'A'][U'A'] = -100.0;
  table[U'A'][U'H'] = 0.0;
  struct Case {
    LatticeKind kind;
    std::string sequence;
  };
  const Case cases[] = {{LatticeKind::Cubic, "HAAAAAAH"},
                        {LatticeKind::Tetrahedral, "HAAAAAAAAH"},
                        {LatticeKind::Fcc, "HAAAAH"},
                        {LatticeKind::Bcc, "HAAAAAH"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " " + c.sequence);
    const std::uint64_t n = c.sequence.size();
    const Structure expected =
        plain_minimize(n, make_contact_energy_cost(table, c.sequence, 1, 7.8), c.kind, 3.8);
    const Structure got = minimize(n, make_contact_energy_cost(table, c.sequence, 1, 7.8), c.kind,
                                   false, 3.8, evaluate_without_python);
    EXPECT_EQ(bits(got), bits(expected));
  }
}

TEST(Minimize, ContactTestUsesTheScaledCoordinatesOfBothPoints) {
  // On a cubic rod at arc length 3.8 the computed distance of a pair depends on where it sits:
  // residues 1 and 3 (z = -3.8 and -11.399999999999999) are 7.599999999999999 apart, not the
  // 2 * 3.8 = 7.6 of their lattice offset, and neighbours at z = -3.8 * 3 and -3.8 * 4 are
  // 3.8000000000000007 apart while other neighbours are 3.799999999999997 apart. With dmax just
  // below the lattice distance only one pair has an energy, so the winner is the first walk
  // whose computed distance for that pair is within dmax: a contact test on scaled offsets, or
  // one that skips the pairs of the last points, picks another walk.
  struct Case {
    const char *label;
    std::string sequence;
    char32_t first, second; // the one pair with an energy
    double dmax;
  };
  const Case cases[] = {
      {"two apart", "ABCDEFG", U'B', U'D', 7.599999999999999},
      {"last two, neighbours", "ABCDE", U'D', U'E', 3.7999999999999994},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    ContactEnergyTable table;
    for (char32_t a : c.sequence) {
      for (char32_t b : c.sequence) {
        table[a][b] = a == c.first && b == c.second ? -1.0 : 0.0;
      }
    }
    const std::uint64_t n = c.sequence.size();
    const Structure expected = plain_minimize(
        n, make_contact_energy_cost(table, c.sequence, 1, c.dmax), LatticeKind::Cubic, 3.8);
    const Structure got = minimize(n, make_contact_energy_cost(table, c.sequence, 1, c.dmax),
                                   LatticeKind::Cubic, false, 3.8, evaluate_without_python);
    EXPECT_EQ(bits(got), bits(expected));
    // The pair with an energy is in contact in the winner (some walk has it within dmax).
    EXPECT_EQ(evaluate_contact_energy(make_contact_energy_cost(table, c.sequence, 1, c.dmax), got),
              -1.0);
  }
}

// Models off the lattice: a lattice walk bent by a deterministic wobble, so RMSDs are distinct
// and nonzero.
GroundTruth wobbly_models(LatticeKind kind, std::uint64_t n, std::size_t count, double arc,
                          unsigned seed) {
  const Lattice lattice = make_lattice(kind);
  Rng rng(seed);
  std::mt19937_64 noise(seed);
  std::normal_distribution<double> wobble(0.0, 0.9);
  GroundTruth models;
  while (models.size() < count) {
    const Walk walk = random_walk(lattice, n, rng);
    Structure s = to_structure(walk, coordinate_scale(lattice, arc));
    for (Vec3 &p : s) {
      p = {p.x + wobble(noise) + 10.0, p.y + wobble(noise) - 4.0, p.z + wobble(noise)};
    }
    models.push_back(std::move(s));
  }
  return models;
}

TEST(Minimize, RmsdPicksTheSameWalkAsThePlainDesign) {
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
    std::size_t models;
    double arc_length;
  };
  const Case cases[] = {
      {LatticeKind::Cubic, 8, 1, 3.8},       {LatticeKind::Cubic, 7, 3, 3.8},
      {LatticeKind::Cubic, 6, 2, 1.5},       {LatticeKind::Tetrahedral, 10, 1, 3.8},
      {LatticeKind::Tetrahedral, 9, 3, 3.8}, {LatticeKind::Fcc, 5, 1, 3.8},
      {LatticeKind::Fcc, 5, 4, 2.0},         {LatticeKind::Bcc, 6, 1, 3.8},
      {LatticeKind::Bcc, 5, 2, 3.8},         {LatticeKind::Cubic, 3, 1, 3.8},
      {LatticeKind::Cubic, 2, 2, 3.8},
  };
  unsigned seed = 1;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " n " + std::to_string(c.n) + " models " +
                 std::to_string(c.models));
    const GroundTruth models = wobbly_models(c.kind, c.n, c.models, c.arc_length, seed++);
    const CostFunction cost = RmsdCost{prepare_ground_truth(models)};
    const Structure expected = plain_minimize(c.n, cost, c.kind, c.arc_length);
    const Structure got = minimize(c.n, RmsdCost{prepare_ground_truth(models)}, c.kind, false,
                                   c.arc_length, evaluate_without_python);
    EXPECT_EQ(bits(got), bits(expected));
  }
}

TEST(Minimize, ModelOnTheLatticeIsFoundExactly) {
  // A model that is itself a scaled lattice walk: some walk (the model, or a rotated copy that
  // comes earlier) fits it with RMSD 0 up to rounding.
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
  };
  for (const Case c : {Case{LatticeKind::Cubic, 9}, Case{LatticeKind::Tetrahedral, 11},
                       Case{LatticeKind::Fcc, 5}, Case{LatticeKind::Bcc, 6}}) {
    SCOPED_TRACE(kind_name(c.kind));
    const Lattice lattice = make_lattice(c.kind);
    Walk walk;
    for (Rng rng(11);;) {
      walk = random_walk(lattice, c.n, rng);
      if (is_self_avoiding(walk)) {
        break;
      }
    }
    const GroundTruth models = {to_structure(walk, coordinate_scale(lattice, 3.8))};
    const PreparedGroundTruth truth = prepare_ground_truth(models);
    const Structure got =
        minimize(c.n, RmsdCost{truth}, c.kind, false, 3.8, evaluate_without_python);
    EXPECT_LT(ground_truth_rmsd(truth, got), 1e-6);
    EXPECT_EQ(bits(got), bits(plain_minimize(c.n, RmsdCost{truth}, c.kind, 3.8)));
  }
}

TEST(Minimize, EqualValuesKeepTheFirstWalk) {
  // With every value equal the first walk of the enumeration wins: the last step vector first,
  // so (0, 0, -1) on cubic and (-1, -1, -1) on tetrahedral, then straight on.
  const double s3 = 3.8 / std::sqrt(3.0);
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
    Structure expected;
  };
  const Case cases[] = {
      {LatticeKind::Cubic, 2, points({{0, 0, 0}, {0, 0, -3.8}})},
      {LatticeKind::Cubic, 3, points({{0, 0, 0}, {0, 0, -3.8}, {0, 0, -7.6}})},
      {LatticeKind::Tetrahedral, 3,
       points({{0, 0, 0}, {-s3, -s3, -s3}, {-2 * s3, -2 * s3, 0 * s3}})},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(kind_name(c.kind));
    // All-zero energies give +0.0 for every walk.
    ContactEnergyTable zeros;
    zeros[U'A'][U'A'] = 0.0;
    const std::string sequence(c.n, 'A');
    EXPECT_EQ(bits(minimize(c.n, make_contact_energy_cost(zeros, sequence, 1, 7.8), c.kind, false,
                            3.8, evaluate_without_python)),
              bits(c.expected));
  }
}

TEST(Minimize, OnePointIsTheOrigin) {
  ContactEnergyTable table;
  table[U'W'][U'W'] = -3.0;
  const Structure origin = points({{0.0, 0.0, 0.0}});
  for (LatticeKind kind : {LatticeKind::Tetrahedral, LatticeKind::Fcc, LatticeKind::Bcc,
                           LatticeKind::Cubic}) {
    SCOPED_TRACE(kind_name(kind));
    EXPECT_EQ(bits(minimize(1, make_contact_energy_cost(table, "W", 0, 7.8), kind, false, 3.8,
                            evaluate_without_python)),
              bits(origin));
    const GroundTruth model = {points({{5.0, -2.0, 1.0}})};
    EXPECT_EQ(bits(minimize(1, RmsdCost{prepare_ground_truth(model)}, kind, false, 3.8,
                            evaluate_without_python)),
              bits(origin));
  }
}

// A stand-in cost for the generic path: the value is a function of the structure's last point.
double (*last_point_value)(const Vec3 &) = nullptr;
std::uint64_t evaluations = 0;
double evaluate_last_point(const CostFunction &cost, std::span<const Vec3> structure) {
  EXPECT_TRUE(std::holds_alternative<PythonCost>(cost));
  ++evaluations;
  return last_point_value(structure.back());
}

TEST(Minimize, GenericCostFollowsTheTotalOrder) {
  // Cubic, n = 3, arc length 1: the walks end, in order, at (0,0,-2), (0,-1,-1), (-1,0,-1),
  // (0,1,-1), (1,0,-1), then the walks through (0,-1,0) ...
  struct Case {
    const char *label;
    double (*value)(const Vec3 &);
    Structure expected_end; // last point of the walk that must win
  };
  const Case cases[] = {
      {"positive NaN never beats a number, even as the first value",
       [](const Vec3 &p) { return p.z == -2.0 || p.x < 0.0 ? NaN : 3.0 - p.y; },
       {{0.0, 2.0, 0.0}}},
      {"negative NaN beats every number",
       [](const Vec3 &p) { return p.y > 0.0 ? -NaN : -std::numeric_limits<double>::max(); },
       {{0.0, 1.0, -1.0}}},
      {"-0.0 beats +0.0", [](const Vec3 &p) { return p.x == -1.0 ? -0.0 : 0.0; },
       {{-1.0, 0.0, -1.0}}},
      {"ties keep the first", [](const Vec3 &p) { return p.z == -1.0 ? -2.0 : 5.0; },
       {{0.0, -1.0, -1.0}}},
      {"-inf beats every finite value",
       [](const Vec3 &p) { return p.y == -2.0 ? -HUGE_VAL : -1e308; },
       {{0.0, -2.0, 0.0}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    last_point_value = c.value;
    evaluations = 0;
    const Structure got = minimize(3, PythonCost{}, LatticeKind::Cubic, false, 1.0,
                                   evaluate_last_point);
    ASSERT_EQ(got.size(), 3U);
    EXPECT_EQ(bits(Structure{got.back()}), bits(c.expected_end));
    EXPECT_EQ(evaluations, 30U) << "one evaluation per walk (OEIS A001412: 30 two-step walks)";
  }
}

TEST(Minimize, EveryWalkIsEvaluatedOnce) {
  // Self-avoiding walk counts (OEIS A001412 cubic, A001336 fcc, A001666 bcc, A001394 diamond).
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
    std::uint64_t walks;
  };
  const Case cases[] = {{LatticeKind::Cubic, 6, 3534},
                        {LatticeKind::Fcc, 4, 1404},
                        {LatticeKind::Bcc, 4, 392},
                        // 4 * 3^5 non-reversing 6-step walks less the 24 closing a hexagon.
                        {LatticeKind::Tetrahedral, 7, 948}};
  last_point_value = [](const Vec3 &p) { return p.x + p.y; };
  for (const Case &c : cases) {
    SCOPED_TRACE(kind_name(c.kind));
    ASSERT_EQ(count_walks(c.kind, c.n), c.walks);
    evaluations = 0;
    const Structure got = minimize(c.n, PythonCost{}, c.kind, false, 3.8, evaluate_last_point);
    EXPECT_EQ(got.size(), c.n);
    EXPECT_EQ(evaluations, c.walks);
  }
}

// Records the structures it scores and stops after `stop_after` of them.
std::vector<std::uint64_t> scored;
std::size_t scored_count = 0;
std::size_t stop_after = 0;
double record_structure(const CostFunction &, std::span<const Vec3> structure) {
  const std::vector<std::uint64_t> b = bits(Structure(structure.begin(), structure.end()));
  scored.insert(scored.end(), b.begin(), b.end());
  if (++scored_count == stop_after) {
    throw Stop("enough");
  }
  return 0.0;
}

TEST(Minimize, WalksTooLongForTheOccupancyGridKeepTheEnumerationOrder) {
  // 90 points on cubic need a grid side of 179: the search scans the path instead. Its first
  // walks, in order, are the enumerator's (12 points: the same through the grid).
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
  };
  for (const Case c : {Case{LatticeKind::Cubic, 90}, Case{LatticeKind::Tetrahedral, 95},
                       Case{LatticeKind::Cubic, 12}}) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " n " + std::to_string(c.n));
    const Lattice lattice = make_lattice(c.kind);
    const double scale = coordinate_scale(lattice, 3.8);
    WalkEnumerator walks(lattice, c.n);
    std::vector<std::uint64_t> expected;
    for (int i = 0; i < 400; ++i) {
      const Walk *walk = walks.next();
      ASSERT_NE(walk, nullptr);
      const std::vector<std::uint64_t> b = bits(to_structure(*walk, scale));
      expected.insert(expected.end(), b.begin(), b.end());
    }
    scored.clear();
    scored_count = 0;
    stop_after = 400;
    EXPECT_THROW(minimize(c.n, PythonCost{}, c.kind, false, 3.8, record_structure), Stop);
    EXPECT_EQ(scored, expected);
  }
}

TEST(Minimize, NoWalkToMinimiseOver) {
  ContactEnergyTable table;
  const GroundTruth empty_model = {Structure{}};
  try {
    minimize(0, make_contact_energy_cost(table, "", 1, 7.8), LatticeKind::Cubic, false, 3.8,
             evaluate_without_python);
    ADD_FAILURE() << "no stop for n = 0";
  } catch (const Stop &stop) {
    EXPECT_STREQ(stop.what(), "There is no walk to minimise over: the walk length is 0 !");
  }
  try {
    minimize(0, RmsdCost{prepare_ground_truth(empty_model)}, LatticeKind::Tetrahedral, false, 3.8,
             evaluate_without_python);
    ADD_FAILURE() << "no stop for an empty model";
  } catch (const Stop &stop) {
    EXPECT_STREQ(stop.what(), "There is no walk to minimise over: the walk length is 0 !");
  }
}

TEST(Minimize, MismatchedLengthsStopLikeTheCost) {
  // Walk length and cost disagree: the cost's own evaluation decides, and it stops.
  ContactEnergyTable table;
  table[U'A'][U'A'] = 1.0;
  EXPECT_THROW(minimize(4, make_contact_energy_cost(table, "AAA", 1, 7.8), LatticeKind::Cubic,
                        false, 3.8, evaluate_without_python),
               Stop);
  const GroundTruth three_points = {points({{0, 0, 0}, {3.8, 0, 0}, {3.8, 3.8, 0}})};
  EXPECT_THROW(minimize(4, RmsdCost{prepare_ground_truth(three_points)}, LatticeKind::Cubic,
                        false, 3.8, evaluate_without_python),
               Stop);
}

TEST(Minimize, ProgressLineCountsEveryWalkAndClosesOnFailure) {
  ContactEnergyTable table;
  table[U'A'][U'A'] = -1.0;
  {
    testing::StderrCapture err;
    minimize(4, make_contact_energy_cost(table, "AAAA", 1, 7.8), LatticeKind::Cubic, true, 3.8,
             evaluate_without_python);
    const std::string text = err.text();
    // The final line of a count-only display: "150it [...]" then a newline.
    EXPECT_NE(text.find("150it ["), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
  }
  {
    testing::StderrCapture err;
    last_point_value = [](const Vec3 &p) {
      if (p.y > 0.0) {
        throw Stop("cost failed");
      }
      return 0.0;
    };
    // Cubic n = 3 walks end at (0,0,-2), (0,-1,-1), (-1,0,-1), then (0,1,-1) fails: 4 walks.
    EXPECT_THROW(minimize(3, PythonCost{}, LatticeKind::Cubic, true, 1.0, evaluate_last_point),
                 Stop);
    const std::string text = err.text();
    EXPECT_NE(text.find("4it ["), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
  }
  {
    testing::StderrCapture err;
    minimize(3, make_contact_energy_cost(table, "AAA", 1, 7.8), LatticeKind::Cubic, false, 3.8,
             evaluate_without_python);
    EXPECT_EQ(err.text(), "");
  }
}

} // namespace
} // namespace vexa
