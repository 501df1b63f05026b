// Sampling driver: counts and order per method, the shape of every structure, the progress
// line's life (shown, silent, closed on failure) and failures passed through unchanged.
#include "sample_solutions.hpp"
#include "../walks/walk_checks.hpp"
#include "sampling.hpp"

#include "fd_capture.hpp"
#include "progress.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vexa {
namespace {

using testing_support::kind_name;

using testing::StderrCapture;

constexpr LatticeKind ALL_LATTICES[] = {LatticeKind::Tetrahedral, LatticeKind::Fcc,
                                        LatticeKind::Bcc, LatticeKind::Cubic};

double distance(const Vec3 &a, const Vec3 &b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) +
                   (a.z - b.z) * (a.z - b.z));
}

// n points from the origin, consecutive points arc_length apart, no point twice.
void expect_valid_structure(const Structure &s, std::size_t n, double arc_length) {
  ASSERT_EQ(s.size(), n);
  if (n == 0) {
    return;
  }
  EXPECT_EQ(s[0], (Vec3{0.0, 0.0, 0.0}));
  for (std::size_t i = 1; i < n; ++i) {
    EXPECT_NEAR(distance(s[i - 1], s[i]), arc_length, 1e-12 * arc_length) << "step " << i;
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      EXPECT_NE(s[i], s[j]) << "points " << i << " and " << j;
    }
  }
}

// The display's final line: the text after the last carriage return, which must end the
// output with a newline.
std::string final_line(const std::string &err) {
  if (err.empty() || err.back() != '\n') {
    ADD_FAILURE() << "output does not end with a newline: " << err;
    return {};
  }
  const std::size_t start = err.rfind('\r');
  return err.substr(start == std::string::npos ? 0 : start + 1);
}

const SamplingMethod QUICK_PIVOT = Pivot{2, 1};

TEST(SampleWalks, EnumerationYieldsEveryWalkInOrderWhateverTheSampleSize) {
  // Self-avoiding walk counts: OEIS A001412 (cubic), A001336 (fcc), A001666 (bcc),
  // A001394 (diamond, the tetrahedral lattice).
  struct Case {
    LatticeKind kind;
    std::uint64_t n;
    std::size_t count;
  };
  const Case cases[] = {
      {LatticeKind::Cubic, 3, 30},       {LatticeKind::Cubic, 4, 150},
      {LatticeKind::Fcc, 3, 132},        {LatticeKind::Bcc, 3, 56},
      {LatticeKind::Tetrahedral, 4, 36}, {LatticeKind::Cubic, 1, 1},
      {LatticeKind::Cubic, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + " n=" + std::to_string(c.n));
    const auto walks = sample_solutions(c.n, 1, Enumerate{}, c.kind, 3.8, false);
    ASSERT_EQ(walks.size(), c.count);
    for (const Structure &s : walks) {
      expect_valid_structure(s, c.n, 3.8);
    }
  }
  // Depth first, last step first: the cubic run of three points opens with the straight rod
  // along -z, at the default arc length.
  const auto cubic = sample_solutions(3, 1, Enumerate{}, LatticeKind::Cubic, 3.8, false);
  ASSERT_EQ(cubic.size(), 30U);
  EXPECT_EQ(cubic[0], (Structure{{0, 0, 0}, {0, 0, -3.8}, {0, 0, -7.6}}));
  EXPECT_EQ(cubic[1], (Structure{{0, 0, 0}, {0, 0, -3.8}, {0, -3.8, -3.8}}));
}

TEST(SampleWalks, SamplersGiveExactlySampleSizeValidStructures) {
  struct Method {
    const char *name;
    SamplingMethod method;
  };
  const Method methods[] = {{"pivot", QUICK_PIVOT}, {"dimerize", Dimerize{}}};
  for (const Method &m : methods) {
    for (LatticeKind kind : ALL_LATTICES) {
      for (std::uint64_t n : {2U, 7U}) {
        SCOPED_TRACE(std::string(m.name) + " " + kind_name(kind) + " n=" + std::to_string(n));
        const auto walks = sample_solutions(n, 5, m.method, kind, 2.5, false);
        ASSERT_EQ(walks.size(), 5U);
        for (const Structure &s : walks) {
          expect_valid_structure(s, n, 2.5);
        }
      }
    }
  }
}

TEST(SampleWalks, EmptyRequestsEnd) {
  struct Case {
    const char *name;
    SamplingMethod method;
    std::uint64_t n;
    std::uint64_t sample_size;
    std::size_t expected_walks;
    std::size_t expected_points;
  };
  const Case cases[] = {
      {"pivot, no samples", QUICK_PIVOT, 6, 0, 0, 0},
      {"dimerize, no samples", Dimerize{}, 6, 0, 0, 0},
      {"pivot, empty walks", QUICK_PIVOT, 0, 3, 3, 0},
      {"dimerize, empty walks", Dimerize{}, 0, 3, 3, 0},
      {"enumerate, empty walks", Enumerate{}, 0, 3, 0, 0},
      // Without thermalisation a one-point chain never draws: the origin alone.
      {"pivot, one point, no thermalisation", Pivot{0, 10}, 1, 2, 2, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto walks = sample_solutions(c.n, c.sample_size, c.method, LatticeKind::Cubic, 3.8,
                                        false);
    ASSERT_EQ(walks.size(), c.expected_walks);
    for (const Structure &s : walks) {
      expect_valid_structure(s, c.expected_points, 3.8);
    }
  }
}

TEST(SampleWalks, ConsumerResultsComeBackInProductionOrder) {
  // A consumer of another result type, reading the structure without keeping it.
  std::vector<Structure> seen;
  const auto results = sample_walks(LatticeKind::Cubic, Enumerate{}, 3, 0, 1.0, false,
                                    [&](const Structure &s) {
                                      seen.push_back(s);
                                      return std::pair<double, std::size_t>{s[2].z, seen.size()};
                                    });
  ASSERT_EQ(results.size(), 30U);
  for (std::size_t i = 0; i < results.size(); ++i) {
    EXPECT_EQ(results[i].second, i + 1);
    EXPECT_EQ(results[i].first, seen[i][2].z);
  }
  EXPECT_EQ(results[0].first, -2.0);
}

TEST(SampleWalks, NothingIsWrittenWithoutProgress) {
  const SamplingMethod methods[] = {QUICK_PIVOT, Dimerize{}, Enumerate{}};
  for (const SamplingMethod &method : methods) {
    SCOPED_TRACE(method.index());
    StderrCapture err;
    const auto walks = sample_solutions(4, 3, method, LatticeKind::Cubic, 3.8, false);
    EXPECT_FALSE(walks.empty());
    EXPECT_EQ(err.text(), "");
  }
}

TEST(SampleWalks, ProgressLineEndsWithTheRunsCount) {
  // stderr is a file here, so the terminal is taken as 80 columns wide; the bar form fills it.
  struct Case {
    const char *name;
    SamplingMethod method;
    std::uint64_t n;
    std::uint64_t sample_size;
    std::string prefix;
    std::string counts;
  };
  const Case cases[] = {
      {"pivot", QUICK_PIVOT, 5, 4, "100%|", "| 4/4 ["},
      {"dimerize", Dimerize{}, 5, 4, "100%|", "| 4/4 ["},
      {"enumerate", Enumerate{}, 4, 1, "150it [", ""},
      {"pivot, no samples", QUICK_PIVOT, 5, 0, "  0%|", "| 0/0 [00:00<?, ?it/s]"},
      {"dimerize, no samples", Dimerize{}, 5, 0, "  0%|", "| 0/0 [00:00<?, ?it/s]"},
      // Enumeration of zero points finds nothing, but the line was shown before searching.
      {"enumerate, zero points", Enumerate{}, 0, 1, "0it [00:00, ?it/s]", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string err_text;
    {
      StderrCapture err;
      sample_solutions(c.n, c.sample_size, c.method, LatticeKind::Cubic, 3.8, true);
      err_text = err.text();
    }
    EXPECT_EQ(open_progress_bars(), 0U);
    const std::string line = final_line(err_text);
    EXPECT_EQ(line.substr(0, c.prefix.size()), c.prefix) << line;
    EXPECT_NE(line.find(c.counts), std::string::npos) << line;
  }
}

TEST(SampleWalks, ConsumerFailureClosesTheLineAndPropagates) {
  // The third structure fails: under pivot and dimerize three steps were counted (each
  // before its walk), under enumeration three walks were found.
  struct Case {
    const char *name;
    SamplingMethod method;
    std::string counts;
  };
  const Case cases[] = {
      {"pivot", QUICK_PIVOT, "| 3/10 ["},
      {"dimerize", Dimerize{}, "| 3/10 ["},
      {"enumerate", Enumerate{}, "3it ["},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string err_text;
    int calls = 0;
    {
      StderrCapture err;
      try {
        sample_walks(LatticeKind::Fcc, c.method, 4, 10, 3.8, true, [&](Structure &&s) {
          if (++calls == 3) {
            throw Stop("cost failed !");
          }
          return std::move(s);
        });
        ADD_FAILURE() << "no failure";
      } catch (const Stop &stop) {
        EXPECT_STREQ(stop.what(), "cost failed !");
      }
      err_text = err.text();
    }
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(open_progress_bars(), 0U);
    const std::string line = final_line(err_text);
    EXPECT_NE(line.find(c.counts), std::string::npos) << line;
  }
}

TEST(SampleWalks, ThermalisationFailureComesBeforeAnyLine) {
  // A one-point chain has no pivot site: thermalisation stops the run before the display
  // exists, so nothing is written.
  StderrCapture err;
  try {
    sample_solutions(1, 5, Pivot{10, 10}, LatticeKind::Tetrahedral, 3.8, true);
    ADD_FAILURE() << "no failure";
  } catch (const Stop &stop) {
    EXPECT_STREQ(stop.what(), "cannot sample empty range");
  }
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(open_progress_bars(), 0U);
}

TEST(SampleWalks, HugeSampleSizeReservesNoMoreThanItCan) {
  // Reserving 2^64 - 1 entries up front would throw before the first walk; instead the first
  // consumer call runs and its failure is the one that arrives.
  const SamplingMethod methods[] = {QUICK_PIVOT, Dimerize{}};
  for (const SamplingMethod &method : methods) {
    SCOPED_TRACE(method.index());
    int calls = 0;
    try {
      sample_walks(LatticeKind::Cubic, method, 3, std::numeric_limits<std::uint64_t>::max(), 3.8,
                   false, [&](const Structure &) -> int {
                     if (++calls == 2) {
                       throw Stop("enough !");
                     }
                     return calls;
                   });
      ADD_FAILURE() << "no failure";
    } catch (const Stop &stop) {
      EXPECT_STREQ(stop.what(), "enough !");
    }
    EXPECT_EQ(calls, 2);
  }
}

} // namespace
} // namespace vexa
