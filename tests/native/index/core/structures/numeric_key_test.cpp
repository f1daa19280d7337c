#include "index/core/structures/ordered_bitmap/numeric_key.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace quorvane {
namespace {

// Every int64 and every double is exact in this long double, so comparing
// through it is the exact numeric order.
static_assert(std::numeric_limits<long double>::digits >= 64);

constexpr int64_t MIN64 = std::numeric_limits<int64_t>::min();
constexpr int64_t MAX64 = std::numeric_limits<int64_t>::max();
constexpr double INF = std::numeric_limits<double>::infinity();

TEST(NumericKey, NamedValues) {
  const NumericKey zero{0x800, 0};
  EXPECT_EQ(numeric_key(int64_t{0}), zero);
  EXPECT_EQ(numeric_key(0.0), zero);
  EXPECT_EQ(numeric_key(-0.0), zero);
  EXPECT_EQ(numeric_key(int64_t{2}), numeric_key(2.0));
  EXPECT_EQ(numeric_key(int64_t{-3}), numeric_key(-3.0));
  EXPECT_EQ(numeric_key(MIN64), numeric_key(-0x1p63));
  EXPECT_EQ(numeric_key(int64_t{1}), (NumericKey{0x800 | 1023, uint64_t{1} << 63}));
  EXPECT_EQ(numeric_key(int64_t{-1}), (NumericKey{0x7ff - 1023, ~(uint64_t{1} << 63)}));

  // 2^53 + 1 has no float; its nearest float (2^53) must not share its key.
  const int64_t p53 = int64_t{1} << 53;
  EXPECT_LT(numeric_key(static_cast<double>(p53 + 1)), numeric_key(p53 + 1));
  EXPECT_LT(numeric_key(p53 + 1), numeric_key(static_cast<double>(p53 + 2)));

  const double min_normal = std::numeric_limits<double>::min();
  const double min_sub = std::numeric_limits<double>::denorm_min();
  const double max_sub = std::nextafter(min_normal, 0.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Subnormals keep exponent 0 and no leading one.
  EXPECT_EQ(numeric_key(min_sub), (NumericKey{0x800, uint64_t{1} << 11}));
  EXPECT_EQ(numeric_key(-min_sub), (NumericKey{0x7ff, ~(uint64_t{1} << 11)}));
  // Strictly ascending keys; NaN sorts by its sign bit beyond the infinities.
  const std::vector<NumericKey> ascending = {
      numeric_key(std::copysign(nan, -1.0)),
      numeric_key(-INF),
      numeric_key(MIN64),
      numeric_key(MIN64 + 1),
      numeric_key(int64_t{-1}),
      numeric_key(-min_normal),
      numeric_key(-max_sub),
      numeric_key(-min_sub),
      zero,
      numeric_key(min_sub),
      numeric_key(2 * min_sub),
      numeric_key(max_sub),
      numeric_key(min_normal),
      numeric_key(int64_t{1}),
      numeric_key(MAX64 - 1),
      numeric_key(MAX64),
      numeric_key(std::numeric_limits<double>::max()),
      numeric_key(INF),
      numeric_key(std::copysign(nan, 1.0)),
  };
  for (size_t k = 1; k < ascending.size(); ++k) EXPECT_LT(ascending[k - 1], ascending[k]) << k;
}

TEST(NumericKey, RandomKeyOrderIsNumericOrder) {
  struct Number {
    long double exact;
    NumericKey key;
  };
  std::mt19937_64 rng(99);
  std::vector<Number> pool;
  auto add_int = [&](int64_t v) { pool.push_back({static_cast<long double>(v), numeric_key(v)}); };
  auto add_double = [&](double d) {
    if (!std::isnan(d)) pool.push_back({d, numeric_key(d)});
  };
  for (int k = 0; k < 250; ++k) {
    int64_t r = static_cast<int64_t>(rng());
    add_int(r);
    add_int(r >> (rng() % 64));  // every magnitude
    add_double(std::bit_cast<double>(rng()));
    add_double(std::bit_cast<double>(rng() >> 12) * (rng() % 2 ? 1 : -1));  // subnormals
    add_double(
        std::ldexp(static_cast<double>(rng() % 2000) - 1000, static_cast<int>(rng() % 100) - 50));
    // Equal and neighbouring int/float values, past 2^53 too.
    int64_t near = (int64_t{1} << (40 + rng() % 23)) + static_cast<int64_t>(rng() % 5) - 2;
    near = rng() % 2 ? near : -near;
    add_int(near);
    add_double(static_cast<double>(near));
  }
  for (int64_t v : {MIN64, MAX64, int64_t{0}, int64_t{-1}, int64_t{1}}) {
    add_int(v);
    add_double(static_cast<double>(v));
  }
  add_double(INF), add_double(-INF), add_double(-0.0);

  for (const Number& a : pool) {
    ASSERT_LT(a.key.high, 0x1000);
    for (const Number& b : pool) {
      auto numeric = a.exact < b.exact   ? std::strong_ordering::less
                     : a.exact > b.exact ? std::strong_ordering::greater
                                         : std::strong_ordering::equal;
      ASSERT_EQ(a.key <=> b.key, numeric) << "values " << a.exact << " and " << b.exact;
      // The trees' three-way order is the same order.
      const absl::weak_ordering tree = NumericOrder()(a.key, b.key);
      ASSERT_EQ(tree < 0, numeric < 0) << "values " << a.exact << " and " << b.exact;
      ASSERT_EQ(tree == 0, numeric == 0) << "values " << a.exact << " and " << b.exact;
    }
  }
}

// A key gives back the number it was made from: integral values as the
// integer (a float's too), others as the float, bit for bit.
TEST(NumericKey, KeysGiveBackTheirNumbers) {
  std::mt19937_64 rng(17);
  auto exact_of = [](std::variant<int64_t, double> n) -> long double {
    return std::holds_alternative<int64_t>(n) ? static_cast<long double>(std::get<int64_t>(n))
                                              : static_cast<long double>(std::get<double>(n));
  };
  std::vector<int64_t> ints = {0,
                               1,
                               -1,
                               MIN64,
                               MAX64,
                               MIN64 + 1,
                               int64_t{1} << 53,
                               (int64_t{1} << 53) + 1,
                               -(int64_t{1} << 62)};
  for (int i = 0; i < 20000; ++i) ints.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
  for (int64_t v : ints) {
    auto back = number_of_key(numeric_key(v));
    ASSERT_TRUE(std::holds_alternative<int64_t>(back)) << v;
    ASSERT_EQ(std::get<int64_t>(back), v);
  }
  std::vector<double> doubles = {0.5,
                                 -0.5,
                                 1e-310,
                                 -1e-310,
                                 1e300,
                                 -1e300,
                                 INF,
                                 -INF,
                                 2.5,
                                 0.1,
                                 9.3e18,
                                 -9.3e18,
                                 std::numeric_limits<double>::denorm_min()};
  for (int i = 0; i < 20000; ++i) doubles.push_back(std::bit_cast<double>(rng()));
  for (double v : doubles) {
    if (std::isnan(v)) continue;
    auto back = number_of_key(numeric_key(v));
    ASSERT_EQ(exact_of(back), static_cast<long double>(v)) << v;
    if (std::holds_alternative<double>(back)) {
      ASSERT_EQ(std::bit_cast<uint64_t>(std::get<double>(back)), std::bit_cast<uint64_t>(v));
    } else {
      ASSERT_EQ(v, std::trunc(v));  // only integral floats come back as integers
    }
  }
}

}  // namespace
}  // namespace quorvane
