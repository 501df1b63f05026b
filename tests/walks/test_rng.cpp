// The generator handle: seeded reproducibility, bounds and the empty-range failure.
#include "rng.hpp"
#include "stop.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace vexa {
namespace {

TEST(Rng, SameSeedSameSequence) {
  Rng a(42);
  Rng b(42);
  Rng c(43);
  bool differs = false;
  for (int i = 0; i < 100; ++i) {
    const auto va = a.next_u64();
    EXPECT_EQ(va, b.next_u64());
    differs = differs || va != c.next_u64();
  }
  EXPECT_TRUE(differs);
}

TEST(Rng, UniformStaysInRangeAndCoversIt) {
  Rng rng(7);
  std::array<int, 6> counts{};
  constexpr int draws = 60000;
  for (int i = 0; i < draws; ++i) {
    const auto v = rng.uniform(10, 16);
    ASSERT_GE(v, 10U);
    ASSERT_LT(v, 16U);
    ++counts[v - 10];
  }
  // Each bucket expects 10000 with a standard deviation of about 91.
  for (int c : counts) {
    EXPECT_LT(std::abs(c - draws / 6), 500);
  }
}

TEST(Rng, EmptyRangeStops) {
  Rng rng(1);
  for (auto [lo, hi] : {std::pair<std::uint64_t, std::uint64_t>{0, 0}, {5, 5}, {6, 5}}) {
    try {
      rng.uniform(lo, hi);
      ADD_FAILURE() << "no failure for [" << lo << ", " << hi << ")";
    } catch (const Stop &stop) {
      EXPECT_STREQ(stop.what(), "cannot sample empty range");
    }
  }
}

} // namespace
} // namespace vexa
