#include "index/core/structures/exact_sum/exact_sum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace quorvane {
namespace {

using Words = std::array<uint64_t, ExactSum::WORDS>;

// The magnitude of an integer as the fixed point holds it: |n| * 2**SCALE.
Words scaled(unsigned __int128 n) {
  Words out{};
  const int word = ExactSum::SCALE / 64, bit = ExactSum::SCALE % 64;
  out[word] = static_cast<uint64_t>(n) << bit;
  out[word + 1] = static_cast<uint64_t>(n >> (64 - bit));
  out[word + 2] = static_cast<uint64_t>(n >> (128 - bit));
  return out;
}

// Integer sums, checked against 128-bit arithmetic: carries across words,
// both signs, the extremes of int64 and counts up to 2**32.
TEST(ExactSum, IntegersMatchWideArithmetic) {
  constexpr int64_t MIN64 = std::numeric_limits<int64_t>::min();
  constexpr int64_t MAX64 = std::numeric_limits<int64_t>::max();
  struct Case {
    std::vector<std::pair<int64_t, uint64_t>> adds;
  };
  const std::vector<Case> cases = {
      {{{1, 1}, {2, 1}, {3, 1}}},
      {{{MAX64, 1}, {MAX64, 1}}},
      {{{MIN64, 3}, {MAX64, 2}}},
      {{{-5, 7}, {5, 7}}},
      {{{MAX64, uint64_t{1} << 32}, {-1, 1}}},
      {{{-1, 1}, {2, 1}, {-3, 1}, {0, 9}}},
  };
  for (const Case& c : cases) {
    ExactSum sum;
    __int128 want = 0;
    for (const auto& [value, count] : c.adds) {
      sum.add(value, count);
      want += static_cast<__int128>(value) * static_cast<__int128>(count);
    }
    EXPECT_EQ(sum.negative(), want < 0);
    EXPECT_EQ(sum.magnitude(), scaled(static_cast<unsigned __int128>(want < 0 ? -want : want)));
    EXPECT_FALSE(sum.has_fraction());
  }
}

// Doubles: order and grouping never change the total (which rounding
// additions do), a value and its negation cancel exactly, subnormals and the
// largest doubles fit, and fractions are noticed.
TEST(ExactSum, DoublesAreExactWhateverTheOrder) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<uint64_t> bits;
  std::vector<double> values = {0.1,    -0.2, 0x1p-1074, -0x1p-1074, 0x1.fffffffffffffp1023,
                                1e-300, 3.5,  -1e300};
  for (int i = 0; i < 200; ++i) {
    double d = std::bit_cast<double>(bits(rng));
    if (std::isfinite(d)) values.push_back(d);
  }
  ExactSum forward, backward, grouped;
  for (double v : values) forward.add(v, 1);
  for (auto it = values.rbegin(); it != values.rend(); ++it) backward.add(*it, 1);
  // Each value twice at once, then every value once more negated.
  for (double v : values) grouped.add(v, 2);
  for (double v : values) grouped.add(-v, 1);
  EXPECT_EQ(forward.magnitude(), backward.magnitude());
  EXPECT_EQ(forward.negative(), backward.negative());
  EXPECT_EQ(forward.magnitude(), grouped.magnitude());
  EXPECT_EQ(forward.negative(), grouped.negative());
  EXPECT_TRUE(forward.has_fraction());

  ExactSum cancel;
  for (double v : values) cancel.add(v, 3);
  for (double v : values) cancel.add(-v, 3);
  EXPECT_EQ(cancel.magnitude(), Words{});

  ExactSum whole;
  whole.add(0x1p60, 4);
  whole.add(int64_t{-3}, 1);
  EXPECT_EQ(whole.magnitude(), scaled((static_cast<unsigned __int128>(1) << 62) - 3));
  EXPECT_FALSE(whole.has_fraction());
}

TEST(ExactSum, InfinitiesAreCountedApart) {
  ExactSum sum;
  const double inf = std::numeric_limits<double>::infinity();
  sum.add(inf, 2);
  sum.add(-inf, 1);
  sum.add(std::nan(""), 5);
  sum.add(1.5, 1);
  EXPECT_EQ(sum.positive_infinities(), 2u);
  EXPECT_EQ(sum.negative_infinities(), 1u);
  ExactSum finite;
  finite.add(1.5, 1);
  EXPECT_EQ(sum.magnitude(), finite.magnitude());
}

}  // namespace
}  // namespace quorvane
