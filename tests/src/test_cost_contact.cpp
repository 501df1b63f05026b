// Contact-energy cost: the per-pair precomputation and its messages, the contact threshold, and
// the evaluation on every vector path of this processor against the sum written with square
// roots.
#include "cost.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The evaluation as first written: a square root per pair, compared with dmax.
double literal_sum(const ContactEnergyCost &cost, const std::vector<Vec3> &s) {
  double sum = 0.0;
  std::size_t i = 0;
  for (std::size_t j = 0; j < s.size(); ++j) {
    for (std::size_t k = j; k < s.size(); ++k) {
      if (k - j < cost.kmin) {
        continue; // k starts at j + kmin, written so that a huge kmin cannot wrap
      }
      const double dx = s[j].x - s[k].x;
      const double dy = s[j].y - s[k].y;
      const double dz = s[j].z - s[k].z;
      const double distance = std::sqrt((dx * dx + dy * dy) + dz * dz);
      if (cost.dmax >= distance) {
        sum += cost.pair_energies[i];
      }
      ++i;
    }
  }
  return sum;
}

// Every pair of letters in `letters` with energy 1 + 10 * (row index) + (column index), so that
// a wrong pair or a transposed lookup changes the sum.
ContactEnergyTable full_table(const std::u32string &letters) {
  ContactEnergyTable table;
  for (std::size_t a = 0; a < letters.size(); ++a) {
    for (std::size_t b = 0; b < letters.size(); ++b) {
      table[letters[a]][letters[b]] = 1.0 + 10.0 * static_cast<double>(a) + static_cast<double>(b);
    }
  }
  return table;
}

std::vector<Vec3> rod(std::size_t n, double spacing) {
  std::vector<Vec3> s(n);
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = {spacing * static_cast<double>(i), 0.0, 0.0};
  }
  return s;
}

TEST(ContactLimit, IsTheLastSquareWhoseRootIsWithinDmax) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double cases[] = {7.8,     3.8,    1.0,    2.0,
                          0.1,     1e-300, 1e-160, 3e-162,
                          tiny,    1e154,  1.4e154, std::numeric_limits<double>::max(),
                          std::sqrt(2.0), 5.000000000000001};
  for (const double dmax : cases) {
    SCOPED_TRACE(dmax);
    const double t = contact_limit(dmax);
    EXPECT_LE(std::sqrt(t), dmax);
    const double above = std::nextafter(t, Inf);
    if (above != Inf) {
      EXPECT_GT(std::sqrt(above), dmax);
    } else {
      EXPECT_EQ(t, std::numeric_limits<double>::max());
    }
  }
}

TEST(ContactLimit, SpecialDmax) {
  struct Case {
    const char *name;
    double dmax;
    double limit;
  };
  const Case cases[] = {
      {"+0 touches only coincident points", 0.0, 0.0},
      {"-0 too, since -0.0 >= +0.0", -0.0, 0.0},
      {"negative: nothing", -1.0, -Inf},
      {"-inf: nothing", -Inf, -Inf},
      {"NaN: nothing", NaN, -Inf},
      {"+inf: every non-NaN distance", Inf, Inf},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bits(contact_limit(c.dmax)), bits(c.limit));
  }
}

TEST(ContactEnergy, HandComputedSums) {
  // Rod at 3.8: neighbours at 3.8, second neighbours at 7.6, third at 11.4. Letters A, B, C are
  // rows and columns 0, 1, 2: E(A,A) 1, E(A,B) 2, E(A,C) 3, E(B,A) 11, E(B,B) 12, E(B,C) 13,
  // E(C,A) 21, E(C,B) 22, E(C,C) 23.
  const ContactEnergyTable table = full_table(U"ABC");
  struct Case {
    const char *name;
    std::string sequence;
    std::uint64_t kmin;
    double dmax;
    double expected;
  };
  const Case cases[] = {
      {"neighbours and second neighbours", "ABC", 1, 7.8, 2.0 + 3.0 + 13.0},
      {"neighbours only", "ABC", 1, 4.0, 2.0 + 13.0},
      {"second neighbours only", "ABC", 2, 7.8, 3.0},
      {"kmin 0 adds each residue with itself", "ABC", 0, 7.8,
       1.0 + 2.0 + 3.0 + 12.0 + 13.0 + 23.0},
      {"kmin 0, dmax 0: only the self pairs", "ABC", 0, 0.0, 1.0 + 12.0 + 23.0},
      {"order matters: E(C, A) for C before A", "CBA", 2, 7.8, 21.0},
      {"third neighbour out of reach", "ABCA", 1, 7.8, 2.0 + 3.0 + 13.0 + 11.0 + 21.0},
      {"kmin equal to the length: no pair", "ABC", 3, 7.8, 0.0},
      {"kmin far beyond the length", "ABC", std::numeric_limits<std::uint64_t>::max(), 7.8, 0.0},
      {"dmax NaN: nothing is in contact", "ABC", 1, NaN, 0.0},
      {"dmax +inf: everything is", "ABCA", 1, Inf, 2.0 + 3.0 + 1.0 + 13.0 + 11.0 + 21.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const ContactEnergyCost cost = make_contact_energy_cost(table, c.sequence, c.kmin, c.dmax);
    const std::vector<Vec3> s = rod(c.sequence.size(), 3.8);
    EXPECT_EQ(evaluate_contact_energy(cost, s), c.expected);
    EXPECT_EQ(bits(evaluate_contact_energy(cost, s)), bits(literal_sum(cost, s)));
  }
}

TEST(ContactEnergy, NoPairNeedsNoTable) {
  const ContactEnergyTable empty;
  for (const std::uint64_t kmin : {3U, 4U, 100U}) {
    SCOPED_TRACE(kmin);
    const ContactEnergyCost cost = make_contact_energy_cost(empty, "XYZ", kmin, 7.8);
    EXPECT_TRUE(cost.pair_energies.empty());
    EXPECT_EQ(bits(evaluate_contact_energy(cost, rod(3, 1.0))), bits(0.0));
  }
  const ContactEnergyCost none = make_contact_energy_cost(empty, "", 1, 7.8);
  EXPECT_EQ(bits(evaluate_contact_energy(none, {})), bits(0.0));
}

TEST(ContactEnergy, PairEnergiesInPairOrder) {
  // Sequence "aAb", lowercase and uppercase being different letters; kmin 1.
  ContactEnergyTable table;
  table[U'a'][U'A'] = 1.5;
  table[U'a'][U'b'] = 2.5;
  table[U'A'][U'b'] = 3.5;
  table[U'A'][U'a'] = 99.0; // the reverse entry is never used
  const ContactEnergyCost cost = make_contact_energy_cost(table, "aAb", 1, 7.8);
  EXPECT_EQ(cost.pair_energies, (std::vector<double>{1.5, 2.5, 3.5}));
  EXPECT_EQ(cost.residue_count, 3U);
  // A letter only in the last kmin positions needs no row of its own ('b' has none).
  const ContactEnergyCost shifted = make_contact_energy_cost(table, "ab", 1, 7.8);
  EXPECT_EQ(shifted.pair_energies, (std::vector<double>{2.5}));
}

TEST(ContactEnergy, MissingEntries) {
  ContactEnergyTable table;
  table[U'A'][U'B'] = 1.0;
  table[U'B'][U'A'] = 1.0;
  table[U'B'][U'C'] = 1.0;
  table[U'C'][U'B'] = 1.0; // no A -> C and no C -> A
  table[U'é'][U'A'] = 1.0;
  struct Case {
    const char *name;
    std::string sequence;
    std::uint64_t kmin;
    std::string message;
  };
  const Case cases[] = {
      {"row missing", "DA", 1, "Contact energies for amino acid D could not be found !"},
      {"earlier residue named first", "CA", 1,
       "Contact energy for amino acid's pair C-A could not be found !"},
      {"first missing pair in pair order", "ABC", 1,
       "Contact energy for amino acid's pair A-C could not be found !"},
      {"kmin 0 looks up the self pair first", "AB", 0,
       "Contact energy for amino acid's pair A-A could not be found !"},
      {"non-ASCII letters are whole characters", "A\xc3\xa9", 1,
       "Contact energy for amino acid's pair A-\xc3\xa9 could not be found !"},
      {"three-byte row", "\xe2\x82\xac"
                         "A",
       1, "Contact energies for amino acid \xe2\x82\xac could not be found !"},
      {"four-byte row", "\xf0\x9f\x98\x80"
                        "A",
       1, "Contact energies for amino acid \xf0\x9f\x98\x80 could not be found !"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    try {
      make_contact_energy_cost(table, c.sequence, c.kmin, 7.8);
      ADD_FAILURE() << "no stop";
    } catch (const Stop &stop) {
      EXPECT_EQ(stop.what(), c.message);
    }
  }
  // "éA" is found: é is one residue, so there is exactly one pair.
  const ContactEnergyCost accent = make_contact_energy_cost(table,
                                                            "\xc3\xa9"
                                                            "A",
                                                            1, 7.8);
  EXPECT_EQ(accent.residue_count, 2U);
  EXPECT_EQ(accent.pair_energies, (std::vector<double>{1.0}));
}

TEST(ContactEnergy, StructureOfAnotherLengthStops) {
  ContactEnergyTable table = full_table(U"AB");
  table[U'A'][U'é'] = 1.0;
  struct Case {
    const char *name;
    std::string sequence;
    std::uint64_t kmin;
    std::size_t points;
    double spacing;
    std::string message;
  };
  const Case cases[] = {
      // Walks are as long as the UTF-8 byte count: 3 points for 2 residues.
      {"byte-length walk, stray pair in contact", "A\xc3\xa9", 1, 3, 3.8,
       "Contact energies cover 2 residues but the structure has 3 points !"},
      {"byte-length walk, stray pair far apart", "A\xc3\xa9", 1, 3, 100.0,
       "Contact energies cover 2 residues but the structure has 3 points !"},
      {"no pair at all", "AB", 5, 3, 3.8,
       "Contact energies cover 2 residues but the structure has 3 points !"},
      {"fewer points", "ABAB", 1, 3, 3.8,
       "Contact energies cover 4 residues but the structure has 3 points !"},
      {"empty structure", "AB", 1, 0, 3.8,
       "Contact energies cover 2 residues but the structure has 0 points !"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const ContactEnergyCost cost = make_contact_energy_cost(table, c.sequence, c.kmin, 7.8);
    try {
      evaluate_contact_energy(cost, rod(c.points, c.spacing));
      ADD_FAILURE() << "no stop";
    } catch (const Stop &stop) {
      EXPECT_EQ(stop.what(), c.message);
    }
  }
}

// Energies of very different magnitudes, so that adding the same set in another order, or one
// pair more or less, changes the bits of the sum.
ContactEnergyCost spread_energies(std::size_t n, std::uint64_t kmin, double dmax,
                                  std::mt19937_64 &engine) {
  const ContactEnergyTable table = full_table(U"A");
  ContactEnergyCost cost = make_contact_energy_cost(table, std::string(n, 'A'), kmin, dmax);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-30, 30);
  for (double &e : cost.pair_energies) {
    e = std::ldexp(mantissa(engine), exponent(engine));
  }
  return cost;
}

std::vector<Vec3> cubic_random_walk(std::size_t n, double scale, std::mt19937_64 &engine) {
  std::uniform_int_distribution<int> step(0, 5);
  std::vector<Vec3> s(n);
  int p[3] = {0, 0, 0};
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = {scale * p[0], scale * p[1], scale * p[2]};
    const int d = step(engine);
    p[d / 2] += (d % 2 == 0) ? 1 : -1;
  }
  return s;
}

TEST(ContactEnergy, BitIdenticalAtEveryOccurringDistance) {
  // dmax set to each distance that occurs, and one ulp either side, on a lattice walk (many
  // exactly equal distances) and on jittered points (irrational distances).
  std::mt19937_64 engine(2024);
  std::normal_distribution<double> jitter(0.0, 0.3);
  for (const bool jittered : {false, true}) {
    SCOPED_TRACE(jittered ? "jittered" : "lattice");
    std::vector<Vec3> s = cubic_random_walk(24, 3.8, engine);
    if (jittered) {
      for (Vec3 &p : s) {
        p = {p.x + jitter(engine), p.y + jitter(engine), p.z + jitter(engine)};
      }
    }
    std::vector<double> distances;
    for (std::size_t j = 0; j < s.size(); ++j) {
      for (std::size_t k = j + 1; k < s.size(); ++k) {
        const double dx = s[j].x - s[k].x;
        const double dy = s[j].y - s[k].y;
        const double dz = s[j].z - s[k].z;
        distances.push_back(std::sqrt((dx * dx + dy * dy) + dz * dz));
      }
    }
    for (const double d : distances) {
      for (const double dmax : {std::nextafter(d, 0.0), d, std::nextafter(d, Inf)}) {
        const ContactEnergyCost cost = spread_energies(s.size(), 1, dmax, engine);
        const double literal = literal_sum(cost, s);
        for (const ContactPath path : contact_paths()) {
          const double fast = evaluate_contact_energy(cost, s, path);
          ASSERT_EQ(bits(fast), bits(literal)) << contact_path_name(path) << ", dmax " << dmax
                                               << ": " << fast << " vs " << literal;
        }
      }
    }
  }
}

TEST(ContactEnergy, PairAtExactlyDmaxAndTheNextDistanceAbove) {
  ContactEnergyTable table;
  table[U'A'][U'B'] = 1.0;
  const ContactEnergyCost cost = make_contact_energy_cost(table, "AB", 1, 3.0);
  struct Case {
    const char *name;
    double x;
    double expected;
  };
  const Case cases[] = {
      {"exactly dmax", 3.0, 1.0},
      {"next representable distance above", std::nextafter(3.0, Inf), 0.0},
      {"next representable distance below", std::nextafter(3.0, 0.0), 1.0},
      {"NaN distance", NaN, 0.0},
      {"infinite distance", Inf, 0.0},
  };
  for (const ContactPath path : contact_paths()) {
    SCOPED_TRACE(contact_path_name(path));
    for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      const std::vector<Vec3> s = {{0.0, 0.0, 0.0}, {c.x, 0.0, 0.0}};
      EXPECT_EQ(evaluate_contact_energy(cost, s, path), c.expected);
    }
  }
}

TEST(ContactEnergy, BitIdenticalOnRandomStructures) {
  std::mt19937_64 engine(99);
  std::uniform_real_distribution<double> coordinate(-20.0, 20.0);
  std::uniform_real_distribution<double> reach(0.0, 12.0);
  std::uniform_int_distribution<int> pick(0, 9);
  struct Case {
    const char *name;
    std::size_t n;
    std::uint64_t kmin;
    bool lattice;
    bool non_finite; // some coordinates NaN or infinite
  };
  const Case cases[] = {
      {"lattice walk, kmin 1", 60, 1, true, false},
      {"lattice walk, kmin 0", 60, 0, true, false},
      {"lattice walk, kmin 3", 60, 3, true, false},
      // Rows longer than 64 pairs, of both parities.
      {"long lattice walk, kmin 1", 150, 1, true, false},
      {"long lattice walk, kmin 0", 131, 0, true, false},
      {"scattered points, kmin 1", 40, 1, false, false},
      {"scattered points, kmin 0", 40, 0, false, false},
      {"scattered points with NaN and infinity", 70, 1, false, true},
      {"lattice walk with NaN and infinity", 33, 0, true, true},
      {"two points", 2, 1, true, false},
      {"one point, kmin 0", 1, 0, true, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (int round = 0; round < 20; ++round) {
      std::vector<Vec3> s = cubic_random_walk(c.n, 3.8, engine);
      if (!c.lattice) {
        for (Vec3 &p : s) {
          p = {coordinate(engine), coordinate(engine), coordinate(engine)};
        }
      }
      if (c.non_finite) {
        for (Vec3 &p : s) {
          const int k = pick(engine);
          p.y = k == 0 ? NaN : k == 1 ? Inf : k == 2 ? -Inf : p.y;
        }
      }
      const ContactEnergyCost cost = spread_energies(c.n, c.kmin, reach(engine), engine);
      const double literal = literal_sum(cost, s);
      for (const ContactPath path : contact_paths()) {
        ASSERT_EQ(bits(evaluate_contact_energy(cost, s, path)), bits(literal))
            << contact_path_name(path) << ", round " << round;
      }
    }
  }
}

// Every pair in contact: points in a ball of radius 1 with dmax 2, so the sum takes every
// energy and a pair matched to the wrong energy or dropped at a row end changes the bits.
std::vector<Vec3> huddle(std::size_t n, std::mt19937_64 &engine) {
  std::uniform_real_distribution<double> coordinate(-0.5, 0.5);
  std::vector<Vec3> s(n);
  for (Vec3 &p : s) {
    p = {coordinate(engine), coordinate(engine), coordinate(engine)};
  }
  return s;
}

// Even points at the origin, odd points far off: contacts alternate along every row, so a mask
// bit shifted by one lane swaps every contact for a non-contact.
std::vector<Vec3> two_sites(std::size_t n) {
  std::vector<Vec3> s(n);
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = i % 2 == 0 ? Vec3{0.0, 0.0, 0.0} : Vec3{0.0, 100.0, 0.0};
  }
  return s;
}

TEST(ContactEnergy, BitIdenticalAtRowLengthsAroundTheVectorWidths) {
  // Rows of every length from 0 to n - kmin pass through each path's lane counts (2, 4, 8) and
  // the 64-pair blocks: lengths that are not multiples of the width, and one pair past a block.
  const std::size_t lengths[] = {1, 2, 3, 5, 8, 9, 16, 17, 63, 64, 65, 66, 72, 129, 131};
  const std::uint64_t kmins[] = {0, 1, 2, 3, 7, 8, 9, 63, 64, 65};
  std::mt19937_64 engine(31);
  for (const std::size_t n : lengths) {
    for (const std::uint64_t kmin : kmins) {
      SCOPED_TRACE("n " + std::to_string(n) + ", kmin " + std::to_string(kmin));
      struct Fixture {
        const char *name;
        std::vector<Vec3> points;
        double dmax;
      };
      const Fixture fixtures[] = {
          {"every pair in contact", huddle(n, engine), 2.0},
          {"alternating contacts", two_sites(n), 1.0},
          {"lattice walk", cubic_random_walk(n, 3.8, engine), 7.8},
      };
      for (const Fixture &f : fixtures) {
        SCOPED_TRACE(f.name);
        const ContactEnergyCost cost = spread_energies(n, kmin, f.dmax, engine);
        const double literal = literal_sum(cost, f.points);
        for (const ContactPath path : contact_paths()) {
          ASSERT_EQ(bits(evaluate_contact_energy(cost, f.points, path)), bits(literal))
              << contact_path_name(path);
        }
      }
    }
  }
}

TEST(ContactEnergy, ShorterStructureAfterALongerOne) {
  // The longer structure, all at the origin, is left behind in the per-thread columns; the
  // shorter one starts at the origin, so reading its stale points past the end would add
  // contacts (energies of the next row, or past the list on the last row).
  std::mt19937_64 engine(5);
  const std::vector<Vec3> longer(90, Vec3{0.0, 0.0, 0.0});
  const ContactEnergyCost long_cost = spread_energies(longer.size(), 1, 7.8, engine);
  for (const ContactPath path : contact_paths()) {
    SCOPED_TRACE(contact_path_name(path));
    for (const std::size_t n : {3U, 13U, 70U}) {
      SCOPED_TRACE(n);
      const std::vector<Vec3> shorter = rod(n, 3.8);
      const ContactEnergyCost cost = spread_energies(n, 1, 7.8, engine);
      const double literal = literal_sum(cost, shorter);
      EXPECT_EQ(bits(evaluate_contact_energy(long_cost, longer, path)),
                bits(literal_sum(long_cost, longer)));
      EXPECT_EQ(bits(evaluate_contact_energy(cost, shorter, path)), bits(literal));
    }
  }
}

TEST(ContactEnergy, ThreadsEvaluatingAtOnceGetTheirOwnSums) {
  // Two costs of different lengths evaluated at the same time on two threads: a scratch buffer
  // shared between them would mix their points.
  std::mt19937_64 engine(77);
  struct Work {
    std::vector<Vec3> points;
    ContactEnergyCost cost;
    double expected = 0.0;
    bool all_equal = true;
  };
  Work works[2];
  for (std::size_t w = 0; w < 2; ++w) {
    const std::size_t n = w == 0 ? 40 : 110;
    works[w].points = cubic_random_walk(n, 3.8, engine);
    works[w].cost = spread_energies(n, 1, 7.8, engine);
    works[w].expected = literal_sum(works[w].cost, works[w].points);
  }
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (Work &work : works) {
    threads.emplace_back([&work, &ready] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
        // start together, so that the two loops overlap
      }
      for (int i = 0; i < 10000; ++i) {
        work.all_equal = work.all_equal &&
                         bits(evaluate_contact_energy(work.cost, work.points)) == bits(work.expected);
      }
    });
  }
  for (std::thread &t : threads) {
    t.join();
  }
  EXPECT_TRUE(works[0].all_equal);
  EXPECT_TRUE(works[1].all_equal);
}

} // namespace
} // namespace vexa
