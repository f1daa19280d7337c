#include "index/core/structures/temporal/temporal_value.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

bool leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

TEST(TemporalValue, OrdinalsCountEveryDayOnceFromYearOne) {
  constexpr int LENGTHS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int64_t expected = 1;
  for (int year = 1; year <= 9999; ++year) {
    for (int month = 1; month <= 12; ++month) {
      const int days = LENGTHS[month - 1] + (month == 2 && leap(year) ? 1 : 0);
      for (int day = 1; day <= days; ++day) {
        ASSERT_EQ(ordinal_of(year, month, day), expected) << year << "-" << month << "-" << day;
        ++expected;
      }
    }
  }
  // date.toordinal() of a few days.
  EXPECT_EQ(ordinal_of(2024, 1, 1), 738886);
  EXPECT_EQ(ordinal_of(2000, 2, 29), 730179);
  EXPECT_EQ(ordinal_of(1900, 3, 1), 693655);
  EXPECT_EQ(ordinal_of(9999, 12, 31), 3652059);
}

TEST(TemporalValue, FamiliesSortApartAndHoldEveryKeyBetweenTheirEnds) {
  const TemporalValue day{TemporalFamily::Date, ordinal_of(2024, 1, 1), 0};
  const TemporalValue midnight{TemporalFamily::DateTime, ordinal_of(2024, 1, 1) * MICROS_PER_DAY,
                               0};
  EXPECT_LT(day, midnight);  // a date orders before every datetime, never equal to one
  EXPECT_LT(TemporalValue::last_of(TemporalFamily::Date), midnight);
  EXPECT_LT(TemporalValue::first_of(TemporalFamily::Date), day);
  const TemporalValue minus_one_day{TemporalFamily::Duration, -1, 0};
  const TemporalValue minus_one_micro{TemporalFamily::Duration, -1,
                                      static_cast<uint64_t>(MICROS_PER_DAY - 1)};
  const TemporalValue zero{TemporalFamily::Duration, 0, 0};
  EXPECT_LT(minus_one_day, minus_one_micro);
  EXPECT_LT(minus_one_micro, zero);
  EXPECT_LT(zero, TemporalValue::last_of(TemporalFamily::Duration));
}

}  // namespace
}  // namespace quorvane
