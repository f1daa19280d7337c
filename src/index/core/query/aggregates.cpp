#include "index/core/query/aggregates.h"

#include <cmath>
#include <type_traits>

#include "index/core/query/path_target.h"

namespace quorvane {

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
  std::optional<FacetValue> found;
  if (target.map() == nullptr) return found;
  const SingleCount count = single_count(target, universe, whole);
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
