// The 76-bit sort key under which every number is indexed.
//
// Integers and floats share one ordered index, so the key is a floating form
// wide enough for both: a 12-bit high part (sign flag above an 11-bit biased
// exponent, bits 64..75) over a 64-bit mantissa with the leading one in bit
// 63 (bits 0..63). Negative numbers have both parts bit-inverted. Unsigned key
// order is numeric order; an integer and a float of equal value get the same
// key; integers keep all 64 bits of precision. NaN with the sign bit clear
// sorts above +inf, with it set below -inf. All zeros are (0x800, 0).
#pragma once

#include <compare>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

#include "absl/types/compare.h"

namespace quorvane {

struct NumericKey {
  uint16_t high;      // low 12 bits used
  uint64_t mantissa;  // key bits 0..63

  // Bit `i` of the key, 0 <= i < 76: mantissa bits first, then high bits.
  bool bit(int i) const {
    return i < 64 ? (mantissa >> i) & 1u : (static_cast<uint32_t>(high) >> (i - 64)) & 1u;
  }
  // Lexicographic (high, mantissa), which is the 76-bit unsigned order.
  auto operator<=>(const NumericKey&) const = default;
  bool operator==(const NumericKey&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const NumericKey& key) {
    return H::combine(std::move(h), key.high, key.mantissa);
  }
};

// Orders keys three-way, so that a tree search compares each key it passes
// once and stops at an equal one (a two-way order searches to the bottom
// and compares again).
struct NumericOrder {
  // A tree node holds a few keys: scanning them costs less than bisecting.
  using absl_btree_prefer_linear_node_search = std::true_type;
  absl::weak_ordering operator()(const NumericKey& a, const NumericKey& b) const noexcept {
    // As one 128-bit number each: a compare is two flag-setting subtractions.
    const auto wide = [](const NumericKey& k) {
      return static_cast<unsigned __int128>(k.high) << 64 | k.mantissa;
    };
    const unsigned __int128 x = wide(a), y = wide(b);
    return x < y   ? absl::weak_ordering::less
           : x > y ? absl::weak_ordering::greater
                   : absl::weak_ordering::equivalent;
  }
};

// Key of an integer. Pure; identical for every caller.
NumericKey numeric_key(int64_t v);
// Key of a 64-bit float, including subnormals, infinities and NaN. Pure.
NumericKey numeric_key(double v);

// The number a key stands for: an integer when it is integral and fits 64
// bits, else the float (keys come from int64 values and doubles only).
std::variant<int64_t, double> number_of_key(NumericKey key);

}  // namespace quorvane
