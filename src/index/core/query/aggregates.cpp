#include "index/core/query/aggregates.h"

#include <cmath>
#include <type_traits>

#include "index/core/query/path_target.h"

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

namespace {

// How many objects of the universe hold the value of `set` as their single
// value.
struct SingleCount {
  const PathTarget& target;
  const Bitmap& universe;
  bool all_in;  // every id of a set is an object of the universe

  uint64_t operator()(const HybridSet& set) const {
    if (all_in) return set.cardinality();
    if (!target.direct()) return target.holders(set, true).cardinality();
    if (const Bitmap* large = set.large()) return large->intersection_cardinality(universe);
    uint64_t n = 0;
    for (uint32_t id : set.run()) n += universe.contains(id) ? 1 : 0;
    return n;
  }
  uint64_t operator()(const Bitmap& set) const {
    if (all_in) return set.cardinality();
    if (!target.direct()) return target.holders(set, true).cardinality();
    return set.intersection_cardinality(universe);
  }
  const Bitmap* bound() const { return target.direct() && !all_in ? &universe : nullptr; }
};

SingleCount single_count(const PathTarget& target, const Bitmap& universe, bool whole) {
  const QueryMap* map = target.map();
  return SingleCount{target, universe, target.direct() && whole && !map->may_hold_elements()};
}

}  // namespace

NumberTotals number_totals(const EvalScope& scope, std::string_view path, const Bitmap& universe,
                           bool whole) {
  NumberTotals totals;
  PathTarget target(scope, path, universe);
  const QueryMap* map = target.map();
  if (target.has_plural()) {
    totals.other = path.find('.') == std::string_view::npos
                       ? "list, tuple or set"
                       : "list, tuple or set, or several objects on the path";
    return totals;
  }
  if (map == nullptr) return totals;
  const SingleCount count = single_count(target, universe, whole);
  visit_in_order(
      *map, false,
      [&](const auto& key, const auto& set) {
        using K = std::decay_t<decltype(key)>;
        const uint64_t n = count(set);
        if (n == 0) return true;
        if constexpr (std::is_same_v<K, NumericKey>) {
          std::visit([&](auto number) { totals.numbers.add(number, n); }, number_of_key(key));
        } else if constexpr (std::is_same_v<K, RationalKey>) {
          totals.rationals.emplace_back(key, n);
        } else if constexpr (std::is_same_v<K, bool>) {
          if (key) totals.trues += n;
        } else if constexpr (std::is_same_v<K, TemporalKey>) {
          totals.other = "date, datetime, time or timedelta";
          return false;
        } else {
          totals.other = "str";
          return false;
        }
        totals.count += n;
        return true;
      },
      count.bound());
  if (totals.other == nullptr) {
    visit_unordered(*map, [&](const PyValue&, const HybridSet& set) {
      if (count(set) == 0) return true;
      totals.other = "value of another kind";
      return false;
    });
  }
  return totals;
}

std::optional<FacetValue> extreme_value(const EvalScope& scope, std::string_view path,
                                        const Bitmap& universe, bool highest, bool whole) {
  PathTarget target(scope, path, universe);
  if (target.map() == nullptr) return std::nullopt;
  const SingleCount count = single_count(target, universe, whole);
  std::optional<FacetValue> found;
  visit_in_order(
      *target.map(), highest,
      [&](const auto& key, const auto& set) {
        if (count(set) == 0) return true;
        found = facet_value(key);
        return false;
      },
      count.bound());
  return found;
}

}  // namespace quorvane
