#include "index/core/structures/rational_number/rational_number.h"

#include <utility>

#include "util/fxhash.h"

namespace quorvane {

int compare_magnitudes(std::span<const uint32_t> a, std::span<const uint32_t> b) noexcept {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

Magnitude multiply(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  Magnitude out(a.size() + b.size(), 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    uint64_t carry = 0;
    for (std::size_t j = 0; j < b.size(); ++j) {
      const uint64_t t = uint64_t{a[i]} * b[j] + out[i + j] + carry;
      out[i + j] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    for (std::size_t k = i + b.size(); carry != 0; ++k) {
      const uint64_t t = uint64_t{out[k]} + carry;
      out[k] = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
  }
  while (!out.empty() && out.back() == 0) out.pop_back();
  return out;
}

Magnitude magnitude_of_bytes(std::span<const unsigned char> bytes) {
  Magnitude out((bytes.size() + 3) / 4, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i / 4] |= uint32_t{bytes[i]} << (8 * (i % 4));
  }
  while (!out.empty() && out.back() == 0) out.pop_back();
  return out;
}

namespace {

uint64_t hash_of(bool negative, const Magnitude& numerator, const Magnitude& denominator) {
  FxHasher h;
  h.word(negative ? 1 : 0).word(static_cast<uint32_t>(numerator.size()));
  for (uint32_t limb : numerator) h.word(limb);
  for (uint32_t limb : denominator) h.word(limb);
  return h.finish();
}

}  // namespace

RationalNumber::RationalNumber(bool negative, Magnitude numerator, Magnitude denominator,
                               double approx, NumericKey below, NumericKey above)
    : negative_(negative),
      numerator_(std::move(numerator)),
      denominator_(std::move(denominator)),
      approx_(approx),
      below_(below),
      above_(above),
      hash_(hash_of(negative_, numerator_, denominator_)) {}

bool operator==(const RationalNumber& a, const RationalNumber& b) noexcept {
  // Reduced fractions are equal exactly when their parts are.
  return a.hash_ == b.hash_ && a.negative_ == b.negative_ && a.numerator_ == b.numerator_ &&
         a.denominator_ == b.denominator_;
}

std::strong_ordering operator<=>(const RationalNumber& a, const RationalNumber& b) {
  if (a.negative_ != b.negative_) {
    return a.negative_ ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  // Rounding to the nearest double never reverses an order, so different
  // approximations decide; only close values need the exact comparison.
  if (a.approx_ != b.approx_) {
    return a.approx_ < b.approx_ ? std::strong_ordering::less : std::strong_ordering::greater;
  }
  if (a == b) return std::strong_ordering::equal;
  int magnitude;
  if (a.is_integer() && b.is_integer()) {
    magnitude = compare_magnitudes(a.numerator_, b.numerator_);
  } else {
    // |a| < |b| exactly when a.num * b.den < b.num * a.den.
    magnitude = compare_magnitudes(multiply(a.numerator_, b.denominator_),
                                   multiply(b.numerator_, a.denominator_));
  }
  if (a.negative_) magnitude = -magnitude;
  return magnitude < 0   ? std::strong_ordering::less
         : magnitude > 0 ? std::strong_ordering::greater
                         : std::strong_ordering::equal;
}

}  // namespace quorvane
