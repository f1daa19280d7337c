#include "index/core/structures/exact_sum/exact_sum.h"

#include <algorithm>
#include <cmath>

namespace quorvane {

void ExactSum::add_shifted(std::array<uint64_t, WORDS>& into, unsigned __int128 value, int shift) {
  const auto word = static_cast<std::size_t>(shift / 64);
  const int bit = shift % 64;
  const auto lo = static_cast<uint64_t>(value);
  const auto hi = static_cast<uint64_t>(value >> 64);
  const uint64_t parts[3] = {lo << bit, (hi << bit) | (bit != 0 ? lo >> (64 - bit) : 0),
                             bit != 0 ? hi >> (64 - bit) : 0};
  unsigned __int128 carry = 0;
  for (std::size_t i = word; i < WORDS; ++i) {
    const std::size_t k = i - word;
    if (k >= 3 && carry == 0) break;
    carry += into[i];
    if (k < 3) carry += parts[k];
    into[i] = static_cast<uint64_t>(carry);
    carry >>= 64;
  }
}

void ExactSum::add(int64_t value, uint64_t count) {
  if (value == 0 || count == 0) return;
  // |INT64_MIN| does not fit an int64: negate in the wider type.
  const unsigned __int128 magnitude = value < 0 ? static_cast<unsigned __int128>(-(value + 1)) + 1
                                                : static_cast<unsigned __int128>(value);
  add_shifted(value < 0 ? minus_ : plus_, magnitude * count, SCALE);
}

void ExactSum::add(double value, uint64_t count) {
  if (value == 0 || count == 0 || std::isnan(value)) return;
  if (std::isinf(value)) {
    (value > 0 ? plus_inf_ : minus_inf_) += count;
    return;
  }
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(value), &exponent);
  // value = mantissa * 2**exponent, the mantissa a 53-bit integer.
  auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
  exponent -= 53;
  // A subnormal's mantissa has trailing zeros down to 2**-1074.
  while (exponent < -SCALE) {
    mantissa >>= 1;
    ++exponent;
  }
  if (exponent < 0 && (mantissa & ((uint64_t{1} << std::min(-exponent, 63)) - 1)) != 0) {
    fraction_ = true;
  }
  add_shifted(value < 0 ? minus_ : plus_, static_cast<unsigned __int128>(mantissa) * count,
              exponent + SCALE);
}

bool ExactSum::negative() const {
  for (std::size_t i = WORDS; i-- > 0;) {
    if (plus_[i] != minus_[i]) return minus_[i] > plus_[i];
  }
  return false;
}

std::array<uint64_t, ExactSum::WORDS> ExactSum::magnitude() const {
  const bool below = negative();
  const auto& big = below ? minus_ : plus_;
  const auto& small = below ? plus_ : minus_;
  std::array<uint64_t, WORDS> out{};
  uint64_t borrow = 0;
  for (std::size_t i = 0; i < WORDS; ++i) {
    const unsigned __int128 take = static_cast<unsigned __int128>(small[i]) + borrow;
    out[i] = big[i] - static_cast<uint64_t>(take);
    borrow = static_cast<unsigned __int128>(big[i]) < take ? 1 : 0;
  }
  return out;
}

}  // namespace quorvane
