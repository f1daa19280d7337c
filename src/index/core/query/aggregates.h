// Aggregates of one attribute over a universe, from its value index: the
// smallest and largest value without visiting objects, and what a sum needs
// from the distinct values and how many objects of the universe hold each.
//
// The values are those ordering.h orders an object by: an object's single
// value (see PathTarget); objects lacking the attribute or holding a NaN
// (which the index does not keep) are passed over.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index/core/index.h"
#include "index/core/query/value_walk.h"
#include "index/core/structures/exact_sum/exact_sum.h"

namespace quorvane {

// What a sum of one attribute over a universe adds up.
struct NumberTotals {
  ExactSum numbers;                                         // int64 and double values
  std::vector<std::pair<RationalKey, uint64_t>> rationals;  // other numbers, with their counts
  uint64_t trues = 0;  // True adds 1 (False 0), as Python adds them
  uint64_t count = 0;  // objects holding a number or a bool
  // What an object of the universe holds that is not a number ("str",
  // "date", a container...), if any; the sum is then refused.
  const char* other = nullptr;
};

// The totals of attribute (or dotted path) `path` over `universe`. `whole`
// as for ordered_page; the caller holds the engine's `query_maps` shared.
NumberTotals number_totals(const EvalScope& scope, std::string_view path, const Bitmap& universe,
                           bool whole);

// The first value of `universe`'s order by `path` (see ordering.h), or the
// last when `highest`; none when no object of the universe has an ordered
// value. Stops at the first value set holding one of its objects.
std::optional<FacetValue> extreme_value(const EvalScope& scope, std::string_view path,
                                        const Bitmap& universe, bool highest, bool whole);

}  // namespace quorvane
