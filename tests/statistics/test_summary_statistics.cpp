// The nine summary values, their tie-breaks and NaN handling, and the empty-sample stop.
#include "summary_statistics.hpp"

#include "rank_correlation.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vexa {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Equal bit patterns, so that NaN matches NaN and -0.0 differs from 0.0.
void expect_same(double actual, double expected, const char *field) {
  EXPECT_EQ(std::bit_cast<std::uint64_t>(actual), std::bit_cast<std::uint64_t>(expected))
      << field << ": " << actual << " vs " << expected;
}

TEST(SummaryStatistics, Values) {
  struct Case {
    const char *name;
    std::vector<double> costs;
    std::vector<double> rmsds;
    // min, avg, max cost; min, avg, max rmsd; min-cost rmsd, max-cost rmsd
    double expected[8];
  };
  const Case cases[] = {
      // Equal minima: the first structure of cost 1 gives min_cost_rmsd 8, not 2.
      {"worked example", {3, 1, 1, 5}, {9, 8, 2, 7}, {1, 2.5, 5, 2, 6.5, 9, 8, 7}},
      {"one structure", {4.0}, {1.5}, {4, 4, 4, 1.5, 1.5, 1.5, 1.5, 1.5}},
      {"all costs equal: both extremes are the first structure",
       {2, 2, 2},
       {3, 1, 5},
       {2, 2, 2, 1, 3, 5, 3, 3}},
      {"equal maxima keep the first", {1, 9, 9}, {1, 2, 3}, {1, 19.0 / 3.0, 9, 1, 2, 3, 1, 2}},
      {"a later NaN never replaces an extreme",
       {2, NaN, 1},
       {1, 2, 3},
       {1, NaN, 2, 1, 2, 3, 3, 1}},
      {"a first NaN is never replaced", {NaN, 1, 2}, {1, 2, 3}, {NaN, NaN, NaN, 1, 2, 3, 1, 1}},
      // The sum starts from the first value: 1e16 + 1 + 1 - 1e16 is 0 left to right.
      {"sum in sampling order", {1e16, 1, 1, -1e16}, {0, 0, 0, 0}, {-1e16, 0, 1e16, 0, 0, 0, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const StatsSummary s = summary_statistics(c.costs, c.rmsds);
    expect_same(s.correlation, rank_correlation(c.costs, c.rmsds), "correlation");
    expect_same(s.min_cost, c.expected[0], "min_cost");
    expect_same(s.avg_cost, c.expected[1], "avg_cost");
    expect_same(s.max_cost, c.expected[2], "max_cost");
    expect_same(s.min_rmsd, c.expected[3], "min_rmsd");
    expect_same(s.avg_rmsd, c.expected[4], "avg_rmsd");
    expect_same(s.max_rmsd, c.expected[5], "max_rmsd");
    expect_same(s.min_cost_rmsd, c.expected[6], "min_cost_rmsd");
    expect_same(s.max_cost_rmsd, c.expected[7], "max_cost_rmsd");
  }
}

TEST(SummaryStatistics, OneStructureHasNoCorrelation) {
  EXPECT_TRUE(std::isnan(summary_statistics(std::vector<double>{4.0}, std::vector<double>{1.5})
                             .correlation));
}

TEST(SummaryStatistics, Stops) {
  struct Case {
    const char *name;
    std::vector<double> costs;
    std::vector<double> rmsds;
    const char *message;
  };
  const Case cases[] = {
      {"empty sample", {}, {}, "Cannot calculate the mean of an empty Vec !"},
      {"lengths differ", {1, 2}, {1}, "assertion failed: x.len() == y.len()"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    try {
      summary_statistics(c.costs, c.rmsds);
      ADD_FAILURE() << "no stop";
    } catch (const Stop &stop) {
      EXPECT_STREQ(stop.what(), c.message);
    }
  }
}

} // namespace
} // namespace vexa
