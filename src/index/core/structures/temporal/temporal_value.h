// TemporalValue: a date, datetime, time or timedelta as an exact integer key
// within its family.
//
// Python keeps the families apart: a datetime never equals a date, a naive
// datetime never equals (nor orders with) an aware one, and likewise for
// times. Each family is therefore a range of keys of its own, and the
// families sort in the order of the enumeration below. Within a family:
//   Date          high = proleptic Gregorian ordinal (date.toordinal())
//   DateTime      high = microseconds since 0001-01-01T00:00 (naive)
//   AwareDateTime high = the same, of the UTC instant (wall time - utcoffset)
//   Time          high = microseconds since midnight (naive)
//   AwareTime     high = the same minus utcoffset (may leave [0, 1 day))
//   Duration      high = days, low = microseconds within the day (a
//                 timedelta's days and seconds are normalised that way, and
//                 its span exceeds 64 bits of microseconds)
// so that (family, high, low) orders as Python orders the values.
#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <utility>

namespace quorvane {

enum class TemporalFamily : uint8_t { Date, DateTime, AwareDateTime, Time, AwareTime, Duration };

struct TemporalValue {
  TemporalFamily family;
  int64_t high;
  uint64_t low;

  auto operator<=>(const TemporalValue&) const = default;
  bool operator==(const TemporalValue&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const TemporalValue& v) {
    return H::combine(std::move(h), static_cast<uint8_t>(v.family), v.high, v.low);
  }

  // The least and greatest keys of a family.
  static constexpr TemporalValue first_of(TemporalFamily family) {
    return {family, std::numeric_limits<int64_t>::min(), 0};
  }
  static constexpr TemporalValue last_of(TemporalFamily family) {
    return {family, std::numeric_limits<int64_t>::max(), std::numeric_limits<uint64_t>::max()};
  }
};

inline constexpr int64_t MICROS_PER_DAY = int64_t{86400} * 1000000;

// The proleptic Gregorian ordinal of a date (0001-01-01 is day 1), as
// date.toordinal() counts.
constexpr int64_t ordinal_of(int year, int month, int day) {
  constexpr int DAYS_BEFORE_MONTH[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int64_t y = year - 1;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return y * 365 + y / 4 - y / 100 + y / 400 + DAYS_BEFORE_MONTH[month - 1] +
         (month > 2 && leap ? 1 : 0) + day;
}

}  // namespace quorvane
