// Ranking with ties and NaNs, the mean, Pearson's and Spearman's coefficients.
#include "rank_correlation.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vexa {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

TEST(AverageRanks, WorkedExamples) {
  struct Case {
    const char *name;
    std::vector<double> values;
    std::vector<double> ranks;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"single", {4.0}, {0.0}},
      {"tie of two around a lower value", {5.0, 1.0, 5.0, 3.0}, {2.5, 0.0, 2.5, 1.0}},
      {"NaNs last in input order, each its own group", {NaN, 1.0, NaN}, {1.0, 0.0, 2.0}},
      {"signed zeros tie", {-0.0, 0.0}, {0.5, 0.5}},
      {"infinities are the extreme numbers, before NaN",
       {NaN, Inf, -Inf, 0.0},
       {3.0, 2.0, 0.0, 1.0}},
      // scipy.stats.rankdata([0.5, 2, 2, -1, 7, 2, 3.5]) - 1
      {"three-way tie", {0.5, 2.0, 2.0, -1.0, 7.0, 2.0, 3.5}, {1, 3, 3, 0, 6, 3, 5}},
      {"all equal", {2.0, 2.0, 2.0, 2.0}, {1.5, 1.5, 1.5, 1.5}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<double> ranks = average_ranks(c.values);
    ASSERT_EQ(ranks.size(), c.ranks.size());
    for (std::size_t i = 0; i < ranks.size(); ++i) {
      EXPECT_EQ(bits(ranks[i]), bits(c.ranks[i])) << "index " << i << ": " << ranks[i];
    }
  }
}

// Rank of v[i] from its definition: the values ordered before it, plus half of the others that
// compare equal to it (a NaN equals nothing and sits after the numbers and the earlier NaNs).
std::vector<double> ranks_by_counting(const std::vector<double> &v) {
  std::vector<double> ranks(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::size_t before = 0;
    std::size_t equal = 0;
    for (std::size_t j = 0; j < v.size(); ++j) {
      if (std::isnan(v[i])) {
        before += (!std::isnan(v[j]) || j < i) ? 1 : 0;
      } else if (v[j] < v[i]) {
        ++before;
      } else if (v[j] == v[i] && j != i) {
        ++equal;
      }
    }
    ranks[i] = static_cast<double>(before) + static_cast<double>(equal) / 2.0;
  }
  return ranks;
}

TEST(AverageRanks, MatchesCountingOnLargeListsWithTiesAndNaNs) {
  std::mt19937_64 engine(7);
  std::uniform_int_distribution<int> pick(0, 12);
  for (const std::size_t n : {21U, 100U, 1000U}) {
    SCOPED_TRACE(n);
    std::vector<double> v(n);
    for (double &x : v) {
      const int k = pick(engine);
      // Few distinct values so that ties are long; both zeros and NaNs mixed in.
      x = k == 0 ? NaN : k == 1 ? -0.0 : k == 2 ? 0.0 : static_cast<double>(k % 5) - 2.0;
    }
    EXPECT_EQ(average_ranks(v), ranks_by_counting(v));
  }
}

TEST(Mean, SumsInOrderFromZero) {
  // 1e16 + 1 + 1 loses both ones when summed left to right; a pairwise sum would keep them.
  const std::vector<double> v = {1e16, 1.0, 1.0, -1e16};
  EXPECT_EQ(mean(v), 0.0);
  const std::vector<double> w = {1.0, 2.0, 4.0};
  EXPECT_EQ(mean(w), 7.0 / 3.0);
}

TEST(Correlation, Stops) {
  struct Case {
    const char *name;
    std::vector<double> x;
    std::vector<double> y;
    std::string message;
  };
  const Case cases[] = {
      {"lengths differ", {1.0, 2.0}, {1.0}, "assertion failed: x.len() == y.len()"},
      {"lengths differ, one empty", {}, {1.0}, "assertion failed: x.len() == y.len()"},
      {"both empty", {}, {}, "Cannot calculate the mean of an empty Vec !"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (auto *f : {&pearson_correlation, &rank_correlation}) {
      try {
        f(c.x, c.y);
        ADD_FAILURE() << "no stop";
      } catch (const Stop &stop) {
        EXPECT_EQ(stop.what(), c.message);
      }
    }
  }
  try {
    mean({});
    ADD_FAILURE() << "no stop";
  } catch (const Stop &stop) {
    EXPECT_STREQ(stop.what(), "Cannot calculate the mean of an empty Vec !");
  }
}

TEST(RankCorrelation, Values) {
  struct Case {
    const char *name;
    std::vector<double> x;
    std::vector<double> y;
    double expected; // compared bit for bit unless NaN
  };
  const Case cases[] = {
      // sxy = sxx = syy = 2 and sqrt(2) * sqrt(2) rounds to 2.0000000000000004.
      {"perfect agreement", {1, 2, 3}, {10, 20, 30}, 0.9999999999999998},
      {"perfect disagreement", {1, 2, 3}, {30, 20, 10}, -0.9999999999999998},
      // scipy.stats.spearmanr([3, 1, 1, 5], [9, 8, 2, 7]) = 0.21081851067789195
      {"ties", {3, 1, 1, 5}, {9, 8, 2, 7}, 0.21081851067789195},
      // scipy.stats.spearmanr([0.5, 2, 2, -1, 7, 2, 3.5], [1, 1, 4, 0, 9, 2, 2])
      {"ties on both sides",
       {0.5, 2.0, 2.0, -1.0, 7.0, 2.0, 3.5},
       {1.0, 1.0, 4.0, 0.0, 9.0, 2.0, 2.0},
       0.830336491706037},
      {"one element has no spread", {1.0}, {2.0}, NaN},
      {"all costs equal", {0.0, 0.0, 0.0}, {1.0, 3.0, 2.0}, NaN},
      // NaNs are ranked, not propagated: ranks [1, 0, 2] against [0, 1, 2] give
      // 1 / (sqrt(2) * sqrt(2)), a hair below 0.5.
      {"NaN ranked last", {NaN, 1.0, NaN}, {1.0, 2.0, 3.0}, 0.49999999999999989},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const double r = rank_correlation(c.x, c.y);
    const double swapped = rank_correlation(c.y, c.x);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(r)) << r;
    } else {
      EXPECT_NEAR(r, c.expected, 1e-15);
      if (c.x.size() <= 4) {
        EXPECT_EQ(bits(r), bits(c.expected)) << r;
      }
    }
    EXPECT_EQ(bits(r), bits(swapped));
  }
}

TEST(RankCorrelation, MonotoneTransformLeavesResultUnchanged) {
  std::mt19937_64 engine(11);
  std::normal_distribution<double> normal;
  std::vector<double> x(200);
  std::vector<double> y(200);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = normal(engine);
    y[i] = x[i] + normal(engine);
  }
  std::vector<double> ex(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    ex[i] = std::exp(x[i]);
  }
  const double r = rank_correlation(x, y);
  EXPECT_EQ(bits(r), bits(rank_correlation(ex, y)));
  EXPECT_GT(r, 0.5);
}

} // namespace
} // namespace vexa
