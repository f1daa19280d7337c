// Visiting the value sets of one attribute's map in the order of values
// (see ordering.h), each structure under its own lock, one at a time.
#pragma once

#include <iterator>
#include <variant>

#include "index/core/query/query_map.h"
#include "util/long_work.h"

namespace quorvane {

// The empty string, which the string index keeps apart from the others.
struct EmptyText {};

// A distinct value of an attribute as a facet gives it back.
using FacetValue = std::variant<NumericKey, RationalKey, SmallStr, bool, TemporalKey, PyValue>;

inline FacetValue facet_value(const NumericKey& key) {
  return key;
}
inline FacetValue facet_value(const RationalKey& key) {
  return key;
}
inline FacetValue facet_value(const TextKey& key) {
  return SmallStr(key.view());
}
inline FacetValue facet_value(EmptyText) {
  return SmallStr();
}
inline FacetValue facet_value(bool flag) {
  return flag;
}
inline FacetValue facet_value(const TemporalKey& key) {
  return key;
}

// Visits in value order (forwards or backwards) the numeric buckets in
// [first, last) merged with the rational numbers between them, until a
// visit returns false.
template <class It, class Rationals, class OnNumber, class OnRational>
bool visit_numbers(It first, It last, const Rationals& exact, bool descending, OnNumber&& on_number,
                   OnRational&& on_rational) {
  const RationalOrder less;
  auto merge = [&](auto p, auto p_end, auto r, auto r_end, auto plain_first) {
    while (p != p_end || r != r_end) {
      check_long_work();
      if (r == r_end || (p != p_end && plain_first(p->first, r->first))) {
        if (!on_number(p->first, p->second)) return false;
        ++p;
      } else {
        if (!on_rational(r->first, r->second)) return false;
        ++r;
      }
    }
    return true;
  };
  if (descending) {
    return merge(std::make_reverse_iterator(last), std::make_reverse_iterator(first),
                 exact.rbegin(), exact.rend(),
                 [&](const NumericKey& k, const RationalKey& q) { return less(q, k); });
  }
  return merge(first, last, exact.begin(), exact.end(),
               [&](const NumericKey& k, const RationalKey& q) { return less(k, q); });
}

// Visits `map`'s buckets forwards or backwards until `visit` returns false.
template <class Map, class F>
bool visit_buckets(const Map& map, bool descending, F&& visit) {
  if (descending) {
    for (auto it = map.rbegin(); it != map.rend(); ++it) {
      check_long_work();
      if (!visit(it->first, it->second)) return false;
    }
  } else {
    for (auto it = map.begin(); it != map.end(); ++it) {
      check_long_work();
      if (!visit(it->first, it->second)) return false;
    }
  }
  return true;
}

// Calls visit(key, set) for the value sets of `map` in the order of values
// (backwards when `descending`), until it returns false (false then). The
// key is a NumericKey, RationalKey, EmptyText, TextKey, bool or TemporalKey;
// the set a HybridSet or a Bitmap. Values without an order (objects, values
// of other kinds) are not visited. `within`, when given, is a universe whose
// own lowest and highest numbers bound the walk over the numbers: a universe
// holding few of them would otherwise walk past many values none of its
// objects holds (the bit slices hold the int64 and double values, not the
// rational ones). `visit` runs under the lock of the structure it reads and
// must take none of the map's.
template <class Visit>
bool visit_in_order(const QueryMap& map, bool descending, Visit&& visit,
                    const Bitmap* within = nullptr) {
  auto numbers = [&] {
    auto lock = map.numbers.read();
    const auto& buckets = lock->buckets.map();
    auto first = buckets.begin(), last = buckets.end();
    if (within != nullptr && within->cardinality() * 16 < lock->slices.size()) {
      if (auto low = lock->slices.extreme_key(*within, false)) {
        first = buckets.lower_bound(*low);
        last = buckets.upper_bound(*lock->slices.extreme_key(*within, true));
      } else {
        first = last;
      }
    }
    return visit_numbers(first, last, lock->rationals.map(), descending, visit, visit);
  };
  auto strings = [&] {
    auto lock = map.strings.read();
    if (!descending && !visit(EmptyText{}, lock->empty)) return false;
    if (!visit_buckets(lock->buckets.map(), descending, visit)) return false;
    return !descending || visit(EmptyText{}, lock->empty);
  };
  auto bools = [&] {
    auto lock = map.bools.read();
    const Bitmap& no = lock->false_ids.bitmap();
    const Bitmap& yes = lock->true_ids.bitmap();
    return descending ? visit(true, yes) && visit(false, no) : visit(false, no) && visit(true, yes);
  };
  auto temporals = [&] {
    auto lock = map.temporals.read();
    return visit_buckets(lock->buckets.map(), descending, visit);
  };
  return descending ? temporals() && bools() && strings() && numbers()
                    : numbers() && strings() && bools() && temporals();
}

// Calls visit(value, set) for the values of `map` that have no order
// (objects, values of other kinds), shard by shard, until it returns false.
template <class Visit>
bool visit_unordered(const QueryMap& map, Visit&& visit) {
  for (std::size_t i = 0; i < ExactMap::SHARD_COUNT; ++i) {
    auto shard = map.exact.read_shard(i);
    for (const auto& [value, set] : *shard) {
      if (!visit(value, set)) return false;
    }
  }
  return true;
}

}  // namespace quorvane
