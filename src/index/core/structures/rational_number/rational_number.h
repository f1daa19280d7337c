// RationalNumber: a number that is neither a 64-bit integer nor a double
// (2**100, Fraction(1, 3), Decimal("0.1")), kept exactly as its reduced
// fraction, with what places it among the int64 and double values of the
// numeric index.
//
// Every number whose value is an int64 or a double is indexed under its
// NumericKey; the others are kept here, ordered by value. Between two
// adjacent int64-or-double values there may be any number of them, so each
// records its neighbours in that set: `below` (the greatest int64 or double
// less than it) and `above` (the least one greater). A key k of the numeric
// index is then below the number exactly when k <= below, and above it
// exactly when k >= above: merging the two orders and translating bounds
// from one index to the other need no arithmetic.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "index/core/structures/ordered_bitmap/numeric_key.h"

namespace quorvane {

// An unsigned integer as 32-bit limbs, least significant first, without
// leading zero limbs.
using Magnitude = std::vector<uint32_t>;

// -1, 0 or 1 as a < b, a == b, a > b.
int compare_magnitudes(std::span<const uint32_t> a, std::span<const uint32_t> b) noexcept;
// a * b (schoolbook: the numbers kept here are bounded in size).
Magnitude multiply(std::span<const uint32_t> a, std::span<const uint32_t> b);
// The magnitude of little-endian bytes (leading zeros trimmed).
Magnitude magnitude_of_bytes(std::span<const unsigned char> bytes);

class RationalNumber {
 public:
  // The largest numerator or denominator kept, in bits: comparing two such
  // numbers multiplies them, so their size bounds the cost of every index
  // operation on them. Larger numbers are refused when converted.
  static constexpr std::size_t MAX_BITS = 1 << 16;

  // `numerator` / `denominator` must be reduced and non-zero, the value
  // neither an int64 nor a double; `approx` is the value rounded to the
  // nearest double (an infinity beyond the doubles' range).
  RationalNumber(bool negative, Magnitude numerator, Magnitude denominator, double approx,
                 NumericKey below, NumericKey above);

  bool negative() const noexcept { return negative_; }
  const Magnitude& numerator() const noexcept { return numerator_; }
  const Magnitude& denominator() const noexcept { return denominator_; }
  bool is_integer() const noexcept { return denominator_.size() == 1 && denominator_[0] == 1; }
  double approx() const noexcept { return approx_; }
  NumericKey below() const noexcept { return below_; }
  NumericKey above() const noexcept { return above_; }
  uint64_t hash() const noexcept { return hash_; }

  friend std::strong_ordering operator<=>(const RationalNumber& a, const RationalNumber& b);
  friend bool operator==(const RationalNumber& a, const RationalNumber& b) noexcept;

 private:
  bool negative_;
  Magnitude numerator_;
  Magnitude denominator_;
  double approx_;
  NumericKey below_;
  NumericKey above_;
  uint64_t hash_;
};

using RationalRef = std::shared_ptr<const RationalNumber>;

// A RationalNumber by reference, hashed and compared by value (to group
// equal numbers).
struct RationalView {
  const RationalNumber* number;
  friend bool operator==(RationalView a, RationalView b) noexcept { return *a.number == *b.number; }
  template <class H>
  friend H AbslHashValue(H h, RationalView v) {
    return H::combine(std::move(h), v.number->hash());
  }
};

// Orders rational numbers by value (held directly, by RationalRef, or by a
// key whose `number` is one), and against the NumericKey of an int64 or a
// double by their neighbours.
struct RationalOrder {
  using is_transparent = void;
  template <class T>
  static const RationalNumber& of(const T& n) noexcept {
    if constexpr (std::is_same_v<T, RationalNumber>) {
      return n;
    } else if constexpr (std::is_same_v<T, RationalRef>) {
      return *n;
    } else {
      return *n.number;
    }
  }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    if constexpr (std::is_same_v<A, NumericKey>) {
      return a <= of(b).below();
    } else if constexpr (std::is_same_v<B, NumericKey>) {
      return of(a).above() <= b;
    } else {
      return of(a) < of(b);
    }
  }
};

}  // namespace quorvane
