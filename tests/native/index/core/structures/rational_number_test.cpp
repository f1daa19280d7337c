#include "index/core/structures/rational_number/rational_number.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "index/core/structures/value_buckets/value_buckets.h"

namespace quorvane {
namespace {

using U128 = unsigned __int128;

Magnitude magnitude_of(U128 v) {
  Magnitude out;
  for (; v != 0; v >>= 32) out.push_back(static_cast<uint32_t>(v));
  return out;
}

// The rational n / d (reduced here) with the given approximation; its
// neighbours are not used by the comparisons under test.
RationalNumber rational(bool negative, uint64_t n, uint64_t d, double approx) {
  const uint64_t g = std::gcd(n, d);
  return RationalNumber(negative, magnitude_of(n / g), magnitude_of(d / g), approx,
                        numeric_key(int64_t{0}), numeric_key(int64_t{0}));
}

TEST(Magnitudes, MultiplyAndCompareAgreeWith128BitArithmetic) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; ++i) {
    // Spread the widths: zero, one limb, two limbs.
    const uint64_t a = rng() >> (rng() % 64);
    const uint64_t b = rng() >> (rng() % 64);
    const U128 product = U128{a} * b;
    EXPECT_EQ(multiply(magnitude_of(a), magnitude_of(b)), magnitude_of(product));
    const U128 c = U128{rng()} * (rng() >> (rng() % 64));
    const int expected = product < c ? -1 : product > c ? 1 : 0;
    EXPECT_EQ(compare_magnitudes(magnitude_of(product), magnitude_of(c)), expected);
  }
  EXPECT_TRUE(multiply(Magnitude{}, magnitude_of(5)).empty());
}

TEST(Magnitudes, BytesAreLittleEndianWithLeadingZerosTrimmed) {
  const unsigned char bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(magnitude_of_bytes(bytes), (Magnitude{0x04030201u, 0x05u}));
  const unsigned char zeros[] = {0, 0, 0};
  EXPECT_TRUE(magnitude_of_bytes(zeros).empty());
}

TEST(RationalNumber, OrdersExactlyWhenApproximationsTie) {
  // Fractions within one double of 1: the approximations all tie, so the
  // order comes from the exact comparison.
  std::mt19937_64 rng(5);
  std::vector<std::pair<uint64_t, uint64_t>> fractions;
  for (int i = 0; i < 300; ++i) {
    const uint64_t d = (uint64_t{1} << 62) + (rng() >> 10);
    const uint64_t n = d + (rng() % 64) - 32;
    if (n != d) fractions.emplace_back(n, d);
  }
  auto exact_less = [](const auto& x, const auto& y) {
    return U128{x.first} * y.second < U128{y.first} * x.second;
  };
  for (bool negative : {false, true}) {
    std::vector<RationalNumber> numbers;
    for (auto [n, d] : fractions)
      numbers.push_back(rational(negative, n, d, negative ? -1.0 : 1.0));
    for (std::size_t i = 0; i < fractions.size(); ++i) {
      for (std::size_t j = 0; j < fractions.size(); j += 7) {
        const bool less = negative ? exact_less(fractions[j], fractions[i])
                                   : exact_less(fractions[i], fractions[j]);
        const bool equal =
            !exact_less(fractions[i], fractions[j]) && !exact_less(fractions[j], fractions[i]);
        EXPECT_EQ(numbers[i] < numbers[j], less) << i << " " << j;
        EXPECT_EQ(numbers[i] == numbers[j], equal) << i << " " << j;
      }
    }
  }
}

TEST(RationalNumber, SignThenApproximationThenExactValue) {
  const RationalNumber third = rational(false, 1, 3, 1.0 / 3);
  const RationalNumber minus_third = rational(true, 1, 3, -1.0 / 3);
  const RationalNumber half = rational(false, 1, 2, 0.5);
  const RationalNumber big = rational(false, uint64_t{1} << 63, 3, std::ldexp(1.0, 63) / 3);
  EXPECT_LT(minus_third, third);
  EXPECT_LT(third, half);
  EXPECT_LT(half, big);
  EXPECT_EQ(third, rational(false, 2, 6, 1.0 / 3));
  EXPECT_EQ(third.hash(), rational(false, 2, 6, 1.0 / 3).hash());
  EXPECT_NE(third, minus_third);
  EXPECT_TRUE(third.is_integer() == false && rational(false, 6, 3, 2.0).is_integer());
}

TEST(RationalOrder, MeetsTheNumericKeysThroughTheNeighbours) {
  // The double nearest to 1/3 (0.333...3148) is below it, the next one above.
  const double below = 1.0 / 3;
  const RationalNumber third(false, magnitude_of(1), magnitude_of(3), 1.0 / 3, numeric_key(below),
                             numeric_key(std::nextafter(below, 1.0)));
  const RationalOrder less;
  EXPECT_TRUE(less(numeric_key(1.0 / 3), third));
  EXPECT_TRUE(less(numeric_key(int64_t{0}), third));
  EXPECT_FALSE(less(third, numeric_key(1.0 / 3)));
  EXPECT_TRUE(less(third, numeric_key(std::nextafter(below, 1.0))));
  EXPECT_TRUE(less(third, numeric_key(int64_t{1})));
  EXPECT_FALSE(less(numeric_key(std::nextafter(below, 1.0)), third));

  // In buckets ordered by RationalOrder, a NumericKey bound finds the first
  // number above it.
  ValueBuckets<RationalRef, RationalOrder> buckets;
  auto make = [&](uint64_t n, uint64_t d) {
    const double v = static_cast<double>(n) / static_cast<double>(d);
    return std::make_shared<const RationalNumber>(false, magnitude_of(n), magnitude_of(d), v,
                                                  numeric_key(std::floor(v)),
                                                  numeric_key(std::floor(v) + 1));
  };
  buckets.add(make(7, 2), 1);  // 3.5
  buckets.add(make(1, 3), 2);
  buckets.add(make(5, 3), 3);
  buckets.add(make(10, 6), 4);  // 5/3 again
  const auto& map = buckets.map();
  ASSERT_EQ(map.size(), 3u);
  auto it = map.lower_bound(numeric_key(int64_t{1}));
  ASSERT_NE(it, map.end());
  EXPECT_EQ(it->first->numerator(), magnitude_of(5));
  EXPECT_EQ(it->second.cardinality(), 2u);
  EXPECT_EQ(map.upper_bound(numeric_key(int64_t{3}))->first->numerator(), magnitude_of(7));
  EXPECT_EQ(map.lower_bound(numeric_key(int64_t{4})), map.end());
}

}  // namespace
}  // namespace quorvane
