// ExactSum: the exact sum of int64 and double values, each times a count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvane {

// The exact sum of int64 and double values, each times a count, with no
// rounding whatever the values: a fixed-point number wide enough for every
// double times any count (the superaccumulator of exact floating-point
// summation). Infinities are counted apart.
class ExactSum {
 public:
  // Scale of the fixed point: the value is magnitude() * 2**-SCALE.
  static constexpr int SCALE = 1074;
  static constexpr std::size_t WORDS = 40;

  void add(int64_t value, uint64_t count);
  void add(double value, uint64_t count);

  bool has_fraction() const noexcept { return fraction_; }
  uint64_t positive_infinities() const noexcept { return plus_inf_; }
  uint64_t negative_infinities() const noexcept { return minus_inf_; }
  // The finite total as its sign and magnitude (little-endian words), the
  // value being magnitude * 2**-SCALE.
  bool negative() const;
  std::array<uint64_t, WORDS> magnitude() const;

 private:
  void add_shifted(std::array<uint64_t, WORDS>& into, unsigned __int128 value, int shift);

  std::array<uint64_t, WORDS> plus_{};
  std::array<uint64_t, WORDS> minus_{};
  bool fraction_ = false;  // a value that is not an integer was added
  uint64_t plus_inf_ = 0, minus_inf_ = 0;
};

}  // namespace quorvane
