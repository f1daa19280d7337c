#include "index/core/structures/ordered_bitmap/numeric_key.h"

#include <bit>

namespace quorvane {
namespace {

constexpr uint16_t SIGN_FLAG = 0x800;
constexpr uint16_t HIGH_MASK = 0xFFF;
constexpr uint64_t LEADING_ONE = uint64_t{1} << 63;

constexpr NumericKey ZERO_KEY{SIGN_FLAG, 0};

// Applies the sign: the sign flag is raised, and a negative key is then
// inverted whole (flag included) so that it sorts below zero with larger
// magnitudes lower.
NumericKey signed_key(bool negative, uint16_t exponent, uint64_t mantissa) {
  uint16_t high = exponent | SIGN_FLAG;
  if (negative) return {static_cast<uint16_t>(~high & HIGH_MASK), ~mantissa};
  return {high, mantissa};
}

}  // namespace

NumericKey numeric_key(int64_t v) {
  if (v == 0) return ZERO_KEY;
  bool negative = v < 0;
  // Negating in unsigned arithmetic makes |INT64_MIN| = 2^63 exact.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  int z = std::countl_zero(magnitude);
  // 1086 - z puts 2^k at exponent 1023 + k, where the float of that value is.
  return signed_key(negative, static_cast<uint16_t>(1086 - z), magnitude << z);
}

NumericKey numeric_key(double v) {
  if (v == 0.0) return ZERO_KEY;  // also -0.0
  uint64_t bits = std::bit_cast<uint64_t>(v);
  bool negative = (bits >> 63) != 0;
  uint16_t exponent = static_cast<uint16_t>((bits >> 52) & 0x7FF);
  uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (exponent != 0) {
    // Normal numbers, infinities and NaN: restore the implicit leading one.
    return signed_key(negative, exponent, (fraction << 11) | LEADING_ONE);
  }
  // Subnormals keep exponent 0 and their fraction without a leading one. The
  // mantissa is then below 2^63, so a positive subnormal sorts above zero
  // (same high part, non-zero mantissa) and below the smallest normal (high
  // part one greater); among subnormals the fraction orders them. The sign
  // inversion mirrors this for negative subnormals.
  return signed_key(negative, 0, fraction << 11);
}

std::variant<int64_t, double> number_of_key(NumericKey key) {
  const bool negative = (key.high & SIGN_FLAG) == 0;
  uint16_t high = negative ? static_cast<uint16_t>(~key.high & HIGH_MASK) : key.high;
  const uint64_t mantissa = negative ? ~key.mantissa : key.mantissa;
  const int exponent = high & 0x7FF;
  if (exponent == 0 && mantissa == 0) return int64_t{0};
  const int shift = exponent - 1023;  // the leading one stands for 2^shift
  if (exponent != 0 && exponent != 0x7FF && shift >= 0 && shift <= 63) {
    const bool integral = shift == 63 || (mantissa << (shift + 1)) == 0;
    const uint64_t magnitude = mantissa >> (63 - shift);
    if (integral && (magnitude < (uint64_t{1} << 63) ||
                     (negative && shift == 63 && magnitude == (uint64_t{1} << 63)))) {
      return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    }
  }
  // A float's key keeps its 52 fraction bits right below the leading one (a
  // subnormal has no leading one).
  const uint64_t fraction = exponent == 0 ? mantissa >> 11 : (mantissa << 1) >> 12;
  const uint64_t bits = (uint64_t{negative} << 63) | (uint64_t(exponent) << 52) | fraction;
  return std::bit_cast<double>(bits);
}

}  // namespace quorvane
