#include "index/core/query/query_ops.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <iterator>

#include "absl/base/attributes.h"
#include "absl/container/inlined_vector.h"
#include "absl/types/compare.h"
#include "index/core/structures/bitmap/sorted_ids.h"
#include "index/core/structures/string_interner/string_interner.h"
#include "util/long_work.h"
#include "util/panic.h"

namespace quorvane {
namespace {

// Rank of each kind in a conjunction (lower first), indexed by QueryKind.
constexpr int PRIORITY[] = {
    /*Eq*/ 0,  /*Ne*/ 1, /*Not*/ 2, /*In*/ 3,  /*And*/ 7,      /*Or*/ 8,     /*Gt*/ 11,
    /*Ge*/ 12, /*Lt*/ 9, /*Le*/ 10, /*Bt*/ 13, /*StartsWi*/ 4, /*EndsWi*/ 5, /*Contains*/ 6};
static_assert(std::size(PRIORITY) == QUERY_KIND_COUNT);

// Every id holding a string value (the empty string included).
Bitmap all_strings(const StringIndex& strings) {
  Bitmap out = strings.columns.all_ids();
  out.union_with(strings.empty);
  return out;
}

// Gathers the ids of value sets (equalities, walks): few ids one by one (no
// set is built for a one-hit answer), large sets by union; ids outside
// `scope` (when given) are left out.
class IdGatherer {
 public:
  explicit IdGatherer(const Bitmap* scope = nullptr) : scope_(scope) {}

  // Inlined into the walks' loops, where most sets hold one id.
  ABSL_ATTRIBUTE_ALWAYS_INLINE void add(const HybridSet& set) {
    check_long_work();
    constexpr uint64_t FEW = 64;
    const Bitmap* large = set.large();
    if (large == nullptr) {
      for (uint32_t id : set.run()) few_.push_back(id);
      return;
    }
    const uint64_t n = large->cardinality();
    if (n > FEW) return add(*large);
    const std::size_t at = few_.size();
    few_.resize(at + n);
    large->copy_to(few_.data() + at);
  }
  void add(const Bitmap& ids) {
    // A value's set mostly lies wholly in the scope (the members, or a
    // running answer it came from): the read-only subset test, answered by
    // the bounds when the scope is an interval and stopping at the first id
    // outside otherwise, is far cheaper than an intersection that rebuilds
    // every container.
    if (scope_ == nullptr || ids.is_subset_of(*scope_)) {
      many_.union_with(ids);
    } else {
      many_.union_with(ids.intersected(*scope_));
    }
  }

  Bitmap take() {
    if (few_.empty()) return std::move(many_);
    // The few ids meet the scope in one intersection rather than one lookup
    // each: the scope is mostly the whole member set, whose dense chunks
    // answer a batch much faster than single lookups.
    Bitmap few = Bitmap::from_ids(sorted_ids(std::span<uint32_t>(few_.data(), few_.size())));
    if (scope_ != nullptr) few.intersect_with(*scope_);
    if (many_.is_empty()) return few;
    many_.union_with(few);
    return std::move(many_);
  }

 private:
  const Bitmap* scope_;
  absl::InlinedVector<uint32_t, 32> few_;  // no allocation for a small answer
  Bitmap many_;
};

// How many distinct values an ordered walk may visit before it gives way to
// the bit-sliced or positional index, whose cost depends on the number of
// ids rather than values: a walk is cheaper while it covers a small share of
// the values. Giving way wastes at most this much.
std::size_t walk_budget(std::size_t distinct) {
  return 1024 + distinct / 64;
}

// Adds to `ids` the ids of the buckets from `first` on, while `more(value)`
// holds, up to `budget` values; returns where it stopped.
template <class It, class More>
It walk_some(It first, It last, More&& more, std::size_t budget, IdGatherer& ids) {
  It it = first;
  for (std::size_t visited = 0; it != last && visited < budget && more(it->first);
       ++it, ++visited) {
    ids.add(it->second);
  }
  return it;
}

// The union of the buckets from `first` on while `more(value)` holds, or none
// when that covers more than `budget` distinct values.
template <class It, class More>
std::optional<Bitmap> walk_buckets(It first, It last, More&& more, std::size_t budget) {
  IdGatherer ids;
  It stop = walk_some(first, last, more, budget, ids);
  if (stop != last && more(stop->first)) return std::nullopt;
  return ids.take();
}

// The buckets of the numbers in [lo, hi], each end open or closed, a missing
// end unbounded.
auto bucket_span(const NumericIndex& numbers, const NumericKey* lo, bool lo_closed,
                 const NumericKey* hi, bool hi_closed) {
  const auto& map = numbers.buckets.map();
  auto first = lo == nullptr ? map.begin()
               : lo_closed   ? map.lower_bound(*lo)
                             : map.upper_bound(*lo);
  auto last = hi == nullptr ? map.end() : hi_closed ? map.upper_bound(*hi) : map.lower_bound(*hi);
  if (lo != nullptr && hi != nullptr && !(*lo < *hi || (*lo == *hi && lo_closed && hi_closed))) {
    last = first;
  }
  return std::pair{first, last};
}

// A numeric range [lo, hi] within `scope` (each end open or closed, a missing
// end unbounded): an ordered walk over its values when they are few, else the
// bit slices. The budget also shrinks with the scope: the slices cost about
// the scope.
Bitmap number_range(const NumericIndex& numbers, const NumericKey* lo, bool lo_closed,
                    const NumericKey* hi, bool hi_closed, const Bitmap& scope) {
  auto [first, last] = bucket_span(numbers, lo, lo_closed, hi, hi_closed);
  if (first == last) return Bitmap();
  if (!numbers.sliced) {
    // Few values: the walk is all there is.
    IdGatherer walked(&scope);
    for (auto it = first; it != last; ++it) walked.add(it->second);
    return walked.take();
  }
  const std::size_t by_values = walk_budget(numbers.buckets.distinct());
  const std::size_t by_scope = std::max<std::size_t>(256, scope.cardinality() / 16);
  const std::size_t budget = std::min(by_values, by_scope);
  // In a small scope (its share of the budget binds) the slices are cheap
  // and most ranges hold too many values for the walk: stepping over the
  // values first wastes less than gathering ids that would be dropped.
  // Otherwise the walk gathers as it goes.
  bool fits = true;
  if (by_scope < by_values) {
    auto it = first;
    for (std::size_t visited = 0; it != last && visited < budget; ++it, ++visited) {
    }
    fits = it == last;
  }
  if (fits) {
    IdGatherer walked;
    if (walk_some(
            first, last, [](const NumericKey&) { return true; }, budget, walked) == last) {
      Bitmap out = walked.take();
      out.intersect_with(scope);
      return out;
    }
  }
  // Too many values for the walk: any ids it gathered are dropped unsorted,
  // and the slices answer the whole range, from the first value in it (which
  // stands for the lower end, closed).
  const NumericalBitmap& slices = numbers.slices;
  Bitmap out;
  if (hi == nullptr) {
    slices.get_gte_into_base(first->first, out, scope);
  } else {
    slices.get_between_into_base(first->first, true, *hi, hi_closed, out, scope);
  }
  return out;
}

// Calls `fn(set)` for the buckets of the ordered `map` from the lower end up
// to the upper end (a null end is unbounded; each end is any form the map's
// order compares with its keys), in order, until `fn` returns false; false
// then. A lower end above the upper one covers nothing.
template <class Map, class Lo, class Hi, class F>
bool for_each_between(const Map& map, const Lo* lo, bool lo_closed, const Hi* hi, bool hi_closed,
                      F&& fn) {
  // The map's order may compare three-way.
  auto before = [&](const auto& a, const auto& b) {
    return absl::compare_internal::compare_result_as_less_than(map.key_comp()(a, b));
  };
  auto it = lo == nullptr ? map.begin() : lo_closed ? map.lower_bound(*lo) : map.upper_bound(*lo);
  for (; it != map.end(); ++it) {
    if (hi != nullptr && (hi_closed ? before(*hi, it->first) : !before(it->first, *hi))) break;
    if (!fn(it->second)) return false;
  }
  return true;
}

// The ids of `scope` in the buckets of `map` between the ends (see
// for_each_between).
template <class Map, class Lo, class Hi>
Bitmap union_between(const Map& map, const Lo* lo, bool lo_closed, const Hi* hi, bool hi_closed,
                     const Bitmap& scope) {
  IdGatherer ids(&scope);
  for_each_between(map, lo, lo_closed, hi, hi_closed, [&](const HybridSet& set) {
    ids.add(set);
    return true;
  });
  return ids.take();
}

// One end of a range: its value, and whether the range includes it.
struct RangeEnd {
  const PyValue* value;
  bool closed;
};

// The ends of a range leaf (a missing one unbounded) and the order they
// belong to; the builders have checked that they share one.
struct Range {
  std::optional<RangeEnd> lower;
  std::optional<RangeEnd> upper;
  OrderFamily family;
  // A NaN end: the range holds nothing.
  bool empty = false;
};

Range range_of(QueryKind kind, const QueryValues& values) {
  Range range{};
  switch (kind) {
    case QueryKind::Gt:
    case QueryKind::Ge:
      range.lower = RangeEnd{&values[0], kind == QueryKind::Ge};
      break;
    case QueryKind::Lt:
    case QueryKind::Le:
      range.upper = RangeEnd{&values[0], kind == QueryKind::Le};
      break;
    case QueryKind::Bt:
      // None leaves that end open.
      if (!is_open_bound(values[0])) range.lower = RangeEnd{&values[0], true};
      if (!is_open_bound(values[1])) range.upper = RangeEnd{&values[1], true};
      break;
    default:
      throw Panic("not a range query");
  }
  const RangeEnd* any = range.lower ? &*range.lower : range.upper ? &*range.upper : nullptr;
  check(any != nullptr, "a range without a bound");
  auto family = order_family(*any->value);
  check(family.has_value(), "a range bound without an order");
  range.family = *family;
  for (const auto& end : {range.lower, range.upper}) {
    if (!end) continue;
    check(order_family(*end->value) == range.family, "range bounds of different orders");
    if (indexed_as(*end->value) == IndexedAs::Nothing) range.empty = true;
  }
  return range;
}

// The ends of a number range as ends among the int64 and double values: a
// rational bound lies strictly between two of them, so the range includes
// its neighbour on the inside.
struct KeyEnds {
  std::optional<NumericKey> lo, hi;
  bool lo_closed = false, hi_closed = false;
  const NumericKey* lo_ptr() const { return lo ? &*lo : nullptr; }
  const NumericKey* hi_ptr() const { return hi ? &*hi : nullptr; }
};

KeyEnds key_ends(const Range& range) {
  KeyEnds ends;
  if (range.lower) {
    const PyValue& v = *range.lower->value;
    const bool rational = v.kind() == ValueKind::Rational;
    ends.lo = rational ? rational_of(v)->above() : number_key(v);
    ends.lo_closed = rational || range.lower->closed;
  }
  if (range.upper) {
    const PyValue& v = *range.upper->value;
    const bool rational = v.kind() == ValueKind::Rational;
    ends.hi = rational ? rational_of(v)->below() : number_key(v);
    ends.hi_closed = rational || range.upper->closed;
  }
  return ends;
}

// Calls `fn(lo, hi)` with the ends of a number range in the forms the
// rational buckets compare with (a RationalNumber or a NumericKey; null when
// unbounded).
template <class F>
decltype(auto) with_rational_ends(const Range& range, F&& fn) {
  auto with_end = [](const std::optional<RangeEnd>& end, auto&& then) -> decltype(auto) {
    if (!end) return then(static_cast<const NumericKey*>(nullptr));
    const PyValue& v = *end->value;
    if (v.kind() == ValueKind::Rational) return then(rational_of(v).get());
    const NumericKey key = number_key(v);
    return then(&key);
  };
  return with_end(range.lower, [&](const auto* lo) -> decltype(auto) {
    return with_end(range.upper, [&](const auto* hi) -> decltype(auto) { return fn(lo, hi); });
  });
}

// The ids of the numbers in `range` within `scope`: the int64 and double
// values from their buckets and bit slices, the rational ones from theirs.
Bitmap numbers_in_range(const NumericIndex& numbers, const Range& range, const Bitmap& scope) {
  const KeyEnds ends = key_ends(range);
  Bitmap out =
      number_range(numbers, ends.lo_ptr(), ends.lo_closed, ends.hi_ptr(), ends.hi_closed, scope);
  if (!numbers.rationals.map().empty()) {
    const bool lo_closed = range.lower && range.lower->closed;
    const bool hi_closed = range.upper && range.upper->closed;
    out.union_with(with_rational_ends(range, [&](const auto* lo, const auto* hi) {
      return union_between(numbers.rationals.map(), lo, lo_closed, hi, hi_closed, scope);
    }));
  }
  return out;
}

// Whether the empty string (kept apart: it is below every other) lies in a
// text range.
bool range_holds_empty_string(const Range& range) {
  const bool above_lower =
      !range.lower || (text_of(*range.lower->value).empty() && range.lower->closed);
  const bool below_upper =
      !range.upper || !text_of(*range.upper->value).empty() || range.upper->closed;
  return above_lower && below_upper;
}

// The ids of the strings in `range` within `scope`, by code point.
Bitmap text_range(const StringIndex& strings, const Range& range, const Bitmap& scope) {
  std::string_view lo, hi;
  if (range.lower) lo = text_of(*range.lower->value);
  if (range.upper) hi = text_of(*range.upper->value);
  const bool lo_closed = range.lower && range.lower->closed;
  const bool hi_closed = range.upper && range.upper->closed;
  Bitmap out = union_between(strings.buckets.map(), range.lower ? &lo : nullptr, lo_closed,
                             range.upper ? &hi : nullptr, hi_closed, scope);
  if (range_holds_empty_string(range)) out.union_with(strings.empty.intersected(scope));
  return out;
}

// The ends of a temporal range, a missing end standing for the family's
// first or last key.
std::pair<TemporalValue, TemporalValue> temporal_ends(const Range& range) {
  const auto family = static_cast<TemporalFamily>(static_cast<int>(range.family) -
                                                  static_cast<int>(OrderFamily::Date));
  return {range.lower ? temporal_of(*range.lower->value) : TemporalValue::first_of(family),
          range.upper ? temporal_of(*range.upper->value) : TemporalValue::last_of(family)};
}

Bitmap temporal_range(const TemporalIndex& temporals, const Range& range, const Bitmap& scope) {
  const auto [lo, hi] = temporal_ends(range);
  return union_between(temporals.buckets.map(), &lo, !range.lower || range.lower->closed, &hi,
                       !range.upper || range.upper->closed, scope);
}

// The ids of `scope` whose value on `map` lies in `range`.
Bitmap range_on_map(const QueryMap& map, const Range& range, const Bitmap& scope) {
  if (range.empty) return Bitmap();
  switch (range.family) {
    case OrderFamily::Number:
      return numbers_in_range(*map.numbers.read(), range, scope);
    case OrderFamily::Text:
      return text_range(*map.strings.read(), range, scope);
    case OrderFamily::Date:
    case OrderFamily::DateTime:
    case OrderFamily::AwareDateTime:
    case OrderFamily::Time:
    case OrderFamily::AwareTime:
    case OrderFamily::Duration:
      return temporal_range(*map.temporals.read(), range, scope);
  }
  throw Panic("a range of no order");
}

// A prefix as an ordered walk over the strings it covers, or none when it
// covers too many of them.
std::optional<Bitmap> bucket_prefix(const StringIndex& strings, std::string_view prefix) {
  const auto& map = strings.buckets.map();
  const std::size_t budget = walk_budget(strings.buckets.distinct());
  return walk_buckets(
      map.lower_bound(prefix), map.end(),
      [&](const TextKey& text) { return text.view().starts_with(prefix); }, budget);
}

// A string test over every distinct string, when there are few enough that
// testing each beats the positional index.
template <class Test>
std::optional<Bitmap> bucket_match(const StringIndex& strings, Test&& test) {
  constexpr std::size_t MAX_SCANNED = 4096;
  if (strings.buckets.distinct() > MAX_SCANNED) return std::nullopt;
  Bitmap out;
  for (const auto& [text, set] : strings.buckets.map()) {
    if (test(text.view())) set.add_to(out);
  }
  return out;
}

// The ids of one value set, ascending.
FewIds ids_of(const HybridSet& set) {
  FewIds ids;
  if (const Bitmap* large = set.large()) {
    ids.resize(large->cardinality());
    large->copy_to(ids.data());
  } else {
    ids.assign(set.run().begin(), set.run().end());
  }
  return ids;
}

// Calls `fn(set)` with `key`'s bucket in `buckets` (null when none).
template <class Buckets, class Key, class F>
void with_bucket(const Buckets& buckets, const Key& key, F&& fn) {
  auto it = buckets.map().find(key);
  fn(it != buckets.map().end() ? &it->second : nullptr);
}

// Calls `fn(set)` with the bucket of the ids equal to `key` on one map (null
// when none), under the lock guarding it.
template <class F>
void with_equal_bucket(const QueryMap& map, const EqualKey& key, F&& fn) {
  switch (key.kind) {
    case IndexedAs::Number:
      return with_bucket(map.numbers.read()->buckets, key.number, fn);
    case IndexedAs::Rational:
      return with_bucket(map.numbers.read()->rationals, *rational_of(*key.value), fn);
    case IndexedAs::Temporal:
      return with_bucket(map.temporals.read()->buckets, temporal_of(*key.value), fn);
    case IndexedAs::Text:
      return with_bucket(map.strings.read()->buckets, key.text, fn);
    case IndexedAs::Nothing:
    case IndexedAs::Boolean:
    case IndexedAs::Elements:
    case IndexedAs::Object:
    case IndexedAs::Identity:
      break;
  }
  fn(nullptr);  // a NaN equals nothing
}

// Adds the ids equal to `value` on one map to `out`.
void eq_on_map(const QueryMap& map, const PyValue& value, IdGatherer& out) {
  if (auto key = equal_key({}, value)) {
    return with_equal_bucket(map, *key, [&](const HybridSet* set) {
      if (set != nullptr) out.add(*set);
    });
  }
  switch (indexed_as(value)) {
    case IndexedAs::Text:
      return out.add(map.strings.read()->empty);
    case IndexedAs::Boolean: {
      auto bools = map.bools.read();
      return out.add(flag_of(value) ? bools->true_ids.bitmap() : bools->false_ids.bitmap());
    }
    case IndexedAs::Elements:  // a container equals only itself, never stored as a key
    case IndexedAs::Object:
    case IndexedAs::Identity: {
      if (auto set = map.exact.get(value)) out.add(*set);
      return;
    }
    case IndexedAs::Number:
    case IndexedAs::Rational:
    case IndexedAs::Temporal:
    case IndexedAs::Nothing:
      break;
  }
  throw Panic("a bucketed value missed its bucket");
}

// The leaf rule of `kind` with `values` on one map, before element ids are
// unmasked. `scope` is the universe widened by the map's element ids (range
// scans need them).
Bitmap leaf_on_map(const QueryMap& map, QueryKind kind, const QueryValues& values,
                   const Bitmap& scope) {
  const PyValue& value = values.front();
  switch (kind) {
    case QueryKind::Eq: {
      IdGatherer ids(&scope);
      eq_on_map(map, value, ids);
      return ids.take();
    }
    case QueryKind::Gt:
    case QueryKind::Ge:
    case QueryKind::Lt:
    case QueryKind::Le:
    case QueryKind::Bt:
      return range_on_map(map, range_of(kind, values), scope);
    case QueryKind::StartsWi:
    case QueryKind::EndsWi:
    case QueryKind::Contains: {
      if (indexed_as(value) != IndexedAs::Text) return Bitmap();
      auto strings = map.strings.read();
      std::string_view text = text_of(value);
      if (text.empty()) return all_strings(*strings);
      if (kind == QueryKind::StartsWi) {
        if (auto walked = bucket_prefix(*strings, text)) return std::move(*walked);
        return strings->columns.starts_with(text);
      }
      auto bucketed = bucket_match(*strings, [&](std::string_view s) {
        return kind == QueryKind::EndsWi ? s.ends_with(text)
                                         : s.find(text) != std::string_view::npos;
      });
      if (bucketed) return std::move(*bucketed);
      if (kind == QueryKind::EndsWi) return strings->columns.ends_with(text);
      return strings->columns.contains(text);
    }
    case QueryKind::Ne:
    case QueryKind::Not:
    case QueryKind::In:
    case QueryKind::And:
    case QueryKind::Or:
      break;
  }
  throw Panic("not a leaf query");
}

// The map of attribute `name`, or null when the engine never indexed it.
const QueryMap* find_map(const MapVector& maps, std::string_view name,
                         uint32_t attr = QueryExpr::NO_ATTR) {
  if (attr == QueryExpr::NO_ATTR) {
    auto found = INTERNER().find(name);
    if (!found) return nullptr;
    attr = *found;
  }
  return attr < maps.size() ? maps[attr].get() : nullptr;
}

// Whether a stored value equals a query's value as the index compares them
// (see eq_on_map): within one kind, numbers by exact value, strings by text,
// a bool only a bool, objects by identity; a container and a NaN equal
// nothing.
bool index_equal(const PyValue& stored, const PyValue& wanted) {
  const IndexedAs kind = indexed_as(stored);
  if (kind != indexed_as(wanted)) return false;
  switch (kind) {
    case IndexedAs::Number:
      return number_key(stored) == number_key(wanted);
    case IndexedAs::Rational:
      return *rational_of(stored) == *rational_of(wanted);
    case IndexedAs::Temporal:
      return temporal_of(stored) == temporal_of(wanted);
    case IndexedAs::Text:
      return text_of(stored) == text_of(wanted);
    case IndexedAs::Boolean:
      return flag_of(stored) == flag_of(wanted);
    case IndexedAs::Object:
    case IndexedAs::Identity:
      return stored.object() == wanted.object();
    case IndexedAs::Elements:
    case IndexedAs::Nothing:
      break;
  }
  return false;
}

// index_equal for a stored element; a string is compared where it lies.
bool element_equal(const ElementList::Entry& entry, const PyValue& wanted) {
  if (entry.kind() == ValueKind::Str) {
    return indexed_as(wanted) == IndexedAs::Text && entry.text() == text_of(wanted);
  }
  return index_equal(entry.value(), wanted);
}

// The number of ids (objects and elements) whose value equals `value`, read
// from the set sizes.
uint64_t equal_set_size(const QueryMap& map, const PyValue& value) {
  if (auto key = equal_key({}, value)) {
    uint64_t n = 0;
    with_equal_bucket(map, *key, [&](const HybridSet* set) {
      if (set != nullptr) n = set->cardinality();
    });
    return n;
  }
  switch (indexed_as(value)) {
    case IndexedAs::Text:
      return map.strings.read()->empty.cardinality();
    case IndexedAs::Boolean: {
      auto bools = map.bools.read();
      return (flag_of(value) ? bools->true_ids : bools->false_ids).bitmap().cardinality();
    }
    case IndexedAs::Object:
    case IndexedAs::Identity: {
      return map.exact.count(value);
    }
    default:
      return 0;
  }
}

// The holders among `universe` whose container (nested ones included) holds
// an element equal to one of `values`: each holder's own elements are
// compared, which costs in proportion to the universe, not to how many
// elements of the whole index equal a value.
Bitmap holders_with_equal_elements(const QueryMap& map, const QueryValues& values,
                                   const Bitmap& universe) {
  std::vector<uint32_t> found;
  auto table = map.elements.read();
  std::vector<uint32_t> open;
  universe.for_each([&](uint32_t holder) {
    open.assign(1, holder);
    bool match = false;
    while (!open.empty() && !match) {
      const uint32_t h = open.back();
      open.pop_back();
      const auto* entries = table->by_holder.find(h);
      if (entries == nullptr) continue;
      for (const ElementList::Entry& entry : *entries) {
        if (entry.nested()) {
          open.push_back(entry.id);
          continue;
        }
        for (const PyValue& value : values) {
          if (element_equal(entry, value)) {
            match = true;
            break;
          }
        }
        if (match) break;
      }
    }
    if (match) found.push_back(holder);
  });
  return Bitmap::from_ids(found);  // ascending, as the universe is
}

// The ids of `universe` whose value of `map`'s attribute satisfies the leaf
// (or In) `query`; container elements answer for their holders.
Bitmap leaf_answer(const QueryMap& map, QueryKind kind, const QueryExpr& query,
                   const Bitmap& universe) {
  const bool elements = map.may_hold_elements();
  Bitmap result;
  if (elements && (kind == QueryKind::Eq || kind == QueryKind::In)) {
    // Few candidates (the running answer of a conjunction, narrowed by its
    // narrowest members first) are checked through their own elements;
    // objects whose value is not a container are found in the value sets,
    // within the universe.
    uint64_t equal = 0;
    for (const PyValue& value : query.values) equal += equal_set_size(map, value);
    if (universe.cardinality() * 4 < equal) {
      IdGatherer direct(&universe);
      for (const PyValue& value : query.values) eq_on_map(map, value, direct);
      result = direct.take();
      result.union_with(holders_with_equal_elements(map, query.values, universe));
      return result;
    }
  }
  if (kind == QueryKind::Eq || kind == QueryKind::In) {
    // Equalities read exact sets: with elements about, whole sets are taken
    // and meet the universe once their holders are known.
    IdGatherer ids(elements ? nullptr : &universe);
    for (const PyValue& value : query.values) eq_on_map(map, value, ids);
    if (!elements) return ids.take();  // within the universe already
    result = ids.take();
  } else {
    // Range scans need a scope holding the element ids besides the objects.
    Bitmap widened;
    if (elements) widened = universe.unioned(map.element_ids());
    result = leaf_on_map(map, kind, query.values, elements ? widened : universe);
  }
  if (elements) map.unmask_ids(result);
  result.intersect_with(universe);
  return result;
}

// A leaf (or In) on the attribute path of `query` (an equality with its
// values when `as_equality`: what a Ne leaf complements). The head segment
// is an attribute of this engine; the others are answered in the reach
// engine, from the last segment back: each step keeps the objects whose
// attribute links to one of the objects found so far.
Bitmap attribute_lookup(const EvalScope& scope, const Bitmap& universe, const QueryExpr& query,
                        bool as_equality = false) {
  const QueryKind kind = as_equality ? QueryKind::Eq : query.kind;
  std::string_view path = query.attr.view();
  const std::size_t dot = path.find('.');
  const QueryMap* head = find_map(scope.maps, path.substr(0, dot), query.attr_id);
  if (head == nullptr) return Bitmap();
  if (dot == std::string_view::npos) return leaf_answer(*head, kind, query, universe);
  if (scope.reach == nullptr) return Bitmap();
  const std::vector<std::string_view> rest = path_tail(path);
  Bitmap ids;
  {
    auto maps = scope.reach->query_maps->read();
    auto members = scope.reach->member_ids.read();
    const QueryMap* last = find_map(*maps, rest.back());
    if (last == nullptr) return Bitmap();
    ids = leaf_answer(*last, kind, query, *members);
    for (std::size_t j = rest.size() - 1; j-- > 0 && !ids.is_empty();) {
      const QueryMap* map = find_map(*maps, rest[j]);
      if (map == nullptr) return Bitmap();
      ids = map->holders_of(ids);
      map->unmask_ids(ids);
      ids.intersect_with(*members);
    }
  }
  if (ids.is_empty()) return ids;
  ids = head->holders_of(ids);
  head->unmask_ids(ids);
  ids.intersect_with(universe);
  return ids;
}

}  // namespace

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view attr) {
  auto dot = attr.find('.');
  if (dot == std::string_view::npos) return {attr, std::nullopt};
  return {attr.substr(0, dot), attr.substr(dot + 1)};
}

std::vector<std::string_view> path_tail(std::string_view path) {
  std::vector<std::string_view> rest;
  std::size_t dot = path.find('.');
  while (dot != std::string_view::npos) {
    path = path.substr(dot + 1);
    dot = path.find('.');
    rest.push_back(path.substr(0, dot));
  }
  return rest;
}

namespace {

// The size of a leaf's answer (before it meets the universe) when the value
// buckets tell it cheaply: equalities and `in_` from set sizes, ranges and
// prefixes that cover few values by a short walk. None otherwise.
std::optional<uint64_t> known_size(const MapVector& maps, const QueryExpr& query) {
  constexpr std::size_t SHORT_WALK = 64;
  auto [head, rest] = attr_parts(query.attr.view());
  if (rest || query.values.empty()) return std::nullopt;
  const QueryMap* map = find_map(maps, head, query.attr_id);
  if (map == nullptr) return std::nullopt;
  auto size_of_eq = [&](const PyValue& value) -> std::optional<uint64_t> {
    if (auto key = equal_key({}, value)) {
      uint64_t size = 0;
      with_equal_bucket(*map, *key, [&](const HybridSet* set) {
        if (set != nullptr) size = set->cardinality();
      });
      return size;
    }
    if (indexed_as(value) == IndexedAs::Text) return map->strings.read()->empty.cardinality();
    return std::nullopt;  // booleans and objects: no cheap size
  };
  const PyValue& value = query.value();
  switch (query.kind) {
    case QueryKind::Eq:
      return size_of_eq(value);
    case QueryKind::In: {
      uint64_t total = 0;
      for (const PyValue& v : query.values) {
        auto size = size_of_eq(v);
        if (!size) return std::nullopt;
        total += *size;
      }
      return total;
    }
    case QueryKind::StartsWi: {
      if (indexed_as(value) != IndexedAs::Text || text_of(value).empty()) return std::nullopt;
      std::string_view prefix = text_of(value);
      auto strings = map->strings.read();
      const auto& buckets = strings->buckets.map();
      uint64_t total = 0;
      std::size_t n = 0;
      for (auto it = buckets.lower_bound(prefix);
           it != buckets.end() && it->first.view().starts_with(prefix); ++it) {
        if (++n > SHORT_WALK) return std::nullopt;
        total += it->second.cardinality();
      }
      return total;
    }
    case QueryKind::Gt:
    case QueryKind::Ge:
    case QueryKind::Lt:
    case QueryKind::Le:
    case QueryKind::Bt: {
      const Range range = range_of(query.kind, query.values);
      if (range.empty) return 0;
      uint64_t total = 0;
      std::size_t n = 0;
      auto count = [&](const HybridSet& set) {
        if (++n > SHORT_WALK) return false;
        total += set.cardinality();
        return true;
      };
      const bool lo_closed = range.lower && range.lower->closed;
      const bool hi_closed = range.upper && range.upper->closed;
      bool complete = true;
      switch (range.family) {
        case OrderFamily::Number: {
          auto numbers = map->numbers.read();
          const KeyEnds ends = key_ends(range);
          auto [first, last] =
              bucket_span(*numbers, ends.lo_ptr(), ends.lo_closed, ends.hi_ptr(), ends.hi_closed);
          for (auto it = first; complete && it != last; ++it) complete = count(it->second);
          if (complete) {
            complete = with_rational_ends(range, [&](const auto* lo, const auto* hi) {
              return for_each_between(numbers->rationals.map(), lo, lo_closed, hi, hi_closed,
                                      count);
            });
          }
          break;
        }
        case OrderFamily::Text: {
          auto strings = map->strings.read();
          std::string_view lo, hi;
          if (range.lower) lo = text_of(*range.lower->value);
          if (range.upper) hi = text_of(*range.upper->value);
          complete = for_each_between(strings->buckets.map(), range.lower ? &lo : nullptr,
                                      lo_closed, range.upper ? &hi : nullptr, hi_closed, count);
          if (range_holds_empty_string(range)) total += strings->empty.cardinality();
          break;
        }
        case OrderFamily::Date:
        case OrderFamily::DateTime:
        case OrderFamily::AwareDateTime:
        case OrderFamily::Time:
        case OrderFamily::AwareTime:
        case OrderFamily::Duration: {
          auto temporals = map->temporals.read();
          const auto [lo, hi] = temporal_ends(range);
          complete = for_each_between(temporals->buckets.map(), &lo, !range.lower || lo_closed, &hi,
                                      !range.upper || hi_closed, count);
          break;
        }
      }
      if (!complete) return std::nullopt;
      return total;
    }
    case QueryKind::Ne:
    case QueryKind::Not:
    case QueryKind::And:
    case QueryKind::Or:
    case QueryKind::EndsWi:
    case QueryKind::Contains:
      break;
  }
  return std::nullopt;
}

// The map whose buckets answer an equality with `key`: null when the
// attribute was never indexed (nothing equals); none when buckets alone
// cannot answer (a dotted path, or a map where container elements answer
// for their holders).
std::optional<const QueryMap*> equality_map(const MapVector& maps, const EqualKey& key) {
  const QueryMap* map = nullptr;
  if (key.attr_id != QueryExpr::NO_ATTR) {
    map = find_map(maps, key.attr, key.attr_id);
  } else {
    auto [head, rest] = attr_parts(key.attr);
    if (rest) return std::nullopt;
    map = find_map(maps, head);
  }
  if (map != nullptr && map->may_hold_elements()) return std::nullopt;
  return map;
}

// Ids of objects half added or half removed are in some value sets already
// (or still) but not members. A few ids are probed one by one. More are
// compared with the interval the universe fills, if it fills one: asked for
// only then, since finding it after a write may cost a scan.
constexpr std::size_t MEMBER_PROBES = 4;

}  // namespace

std::optional<Bitmap> few_equal_set(const MapVector& maps, const Bitmap& universe,
                                    const EqualKey& key,
                                    absl::FunctionRef<std::optional<IdInterval>()> filled) {
  const std::optional<const QueryMap*> map = equality_map(maps, key);
  if (!map) return std::nullopt;
  if (*map == nullptr) return Bitmap();
  std::optional<Bitmap> ids;
  with_equal_bucket(**map, key, [&](const HybridSet* set) {
    if (set == nullptr) {
      ids.emplace();
    } else if (set->cardinality() <= FEW_ANSWER) {
      ids.emplace(set->to_bitmap());
    }
  });
  if (!ids) return std::nullopt;
  const uint64_t size = ids->cardinality();
  bool members = true;
  if (size > MEMBER_PROBES) {
    const std::optional<IdInterval> bounds = filled();
    members = bounds && ids->is_within(*bounds);
  } else {
    ids->for_each([&](uint32_t id) { return members = universe.contains(id); });
  }
  if (!members) ids->intersect_with(universe);
  return ids;
}

std::optional<FewIds> few_equal_ids(const MapVector& maps, const Bitmap& universe,
                                    std::span<const EqualKey> keys,
                                    absl::FunctionRef<std::optional<IdInterval>()> filled) {
  // Each key's bucket is read under its own map's lock, one at a time: the
  // smallest one's ids are taken, then each other bucket keeps those it
  // holds.
  struct Equal {
    const QueryMap* map;
    const EqualKey* key;
    uint64_t size;
  };
  absl::InlinedVector<Equal, 4> equals;
  FewIds ids;
  for (const EqualKey& key : keys) {
    const std::optional<const QueryMap*> found = equality_map(maps, key);
    if (!found) return std::nullopt;
    const QueryMap* map = *found;
    // Never indexed: nothing equals.
    if (map == nullptr) return std::optional<FewIds>(std::in_place);
    uint64_t size = 0;
    const bool only = keys.size() == 1;
    with_equal_bucket(*map, key, [&](const HybridSet* set) {
      size = set != nullptr ? set->cardinality() : 0;
      if (only && size <= FEW_ANSWER && set != nullptr) ids = ids_of(*set);
    });
    if (size == 0) return std::optional<FewIds>(std::in_place);
    equals.push_back({map, &key, size});
  }
  if (equals.empty()) return std::nullopt;
  auto smallest = std::min_element(equals.begin(), equals.end(),
                                   [](const Equal& a, const Equal& b) { return a.size < b.size; });
  if (smallest->size > FEW_ANSWER) return std::nullopt;
  if (equals.size() > 1) {
    with_equal_bucket(*smallest->map, *smallest->key, [&](const HybridSet* set) {
      if (set != nullptr) ids = ids_of(*set);
    });
  }
  auto keep_if = [&](auto&& holds) {
    ids.erase(std::remove_if(ids.begin(), ids.end(), [&](uint32_t id) { return !holds(id); }),
              ids.end());
  };
  for (const Equal& other : equals) {
    if (&other == &*smallest || ids.empty()) continue;
    with_equal_bucket(*other.map, *other.key, [&](const HybridSet* set) {
      keep_if([&](uint32_t id) { return set != nullptr && set->contains(id); });
    });
  }
  // Only members count (see MEMBER_PROBES).
  const std::optional<IdInterval> bounds = ids.size() > MEMBER_PROBES ? filled() : std::nullopt;
  if (bounds) {
    keep_if([&](uint32_t id) { return bounds->contains(id); });
  } else {
    keep_if([&](uint32_t id) { return universe.contains(id); });
  }
  return ids;
}

namespace {

bool is_inner(QueryKind kind) {
  return kind == QueryKind::And || kind == QueryKind::Or || kind == QueryKind::Not;
}

// A leaf, In or Ne within `universe`.
Bitmap leaf_query(const EvalScope& scope, const Bitmap& universe, const QueryExpr& query) {
  if (query.kind == QueryKind::Ne) {
    return universe.differenced(attribute_lookup(scope, universe, query, /*as_equality=*/true));
  }
  return attribute_lookup(scope, universe, query);
}

// The members of a conjunction in the order they are evaluated: those whose
// answer size is known first, smallest first; the others by the priority of
// their kind (cheap kinds first). The order only changes the cost, never the
// answer.
std::vector<const QueryExpr*> conjunction_order(const MapVector& maps,
                                                std::span<const QueryRef> members,
                                                std::vector<uint64_t>* sizes = nullptr) {
  struct Member {
    const QueryExpr* query;
    uint64_t size;  // known answer size, or UINT64_MAX
  };
  std::vector<Member> ordered;
  ordered.reserve(members.size());
  for (const auto& q : members) {
    const uint64_t size =
        is_inner(q->kind) ? UINT64_MAX : known_size(maps, *q).value_or(UINT64_MAX);
    ordered.push_back({q.get(), size});
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const Member& a, const Member& b) {
    if (a.size != b.size) return a.size < b.size;
    return PRIORITY[static_cast<int>(a.query->kind)] < PRIORITY[static_cast<int>(b.query->kind)];
  });
  std::vector<const QueryExpr*> out;
  out.reserve(ordered.size());
  for (const Member& m : ordered) {
    out.push_back(m.query);
    if (sizes != nullptr) sizes->push_back(m.size);
  }
  return out;
}

// One and_, or_ or not_ being evaluated: its members in evaluation order,
// how far it is, and what it has found so far.
struct Pending {
  Pending(QueryKind k, const Bitmap* within, std::vector<const QueryExpr*> ordered = {})
      : kind(k), universe(within), members(std::move(ordered)) {}

  QueryKind kind;
  const Bitmap* universe;  // kept by the frame below, or the caller's
  std::vector<const QueryExpr*> members;
  std::vector<uint64_t> estimates;  // traced conjunctions only: the planner's sizes
  std::size_t next = 0;
  std::size_t step = SIZE_MAX;  // traced: where this node's own step is
  Bitmap found;  // and_: the running answer; or_: the union; not_: the child's answer

  // The universe of the next member: a conjunction's members after the
  // first are evaluated within the running answer.
  const Bitmap* member_universe() const {
    return kind == QueryKind::And && next > 0 ? &found : universe;
  }
  // The next member to evaluate, or null when the answer is known (a
  // conjunction stops once its running answer is empty).
  const QueryExpr* next_member() const {
    if (next >= members.size()) return nullptr;
    if (kind == QueryKind::And && next > 0 && found.is_empty()) return nullptr;
    return members[next];
  }
  void take(Bitmap answer) {
    if (kind == QueryKind::Or) {
      found.union_with(answer);
    } else {
      found = std::move(answer);
    }
    ++next;
  }
  Bitmap finish() {
    switch (kind) {
      case QueryKind::And:
        return members.empty() ? *universe : std::move(found);
      case QueryKind::Not:
        return universe->differenced(found);
      default:
        return std::move(found);
    }
  }
};

// Evaluates with an explicit stack of pending and_/or_/not_ nodes, so that
// a deeply nested query costs heap, not native stack (a thread's stack may
// be small). The root is a conjunction of `members`.
Bitmap evaluate_iteratively(const EvalScope& scope, const Bitmap& universe,
                            std::span<const QueryRef> members, PlanTrace* trace = nullptr) {
  std::deque<Pending> stack;  // a deque keeps frames in place as it grows
  auto ordered = [&](Pending& frame, std::span<const QueryRef> children) {
    frame.members = conjunction_order(scope.maps, children, trace ? &frame.estimates : nullptr);
  };
  // Records the step of the member about to be evaluated in `top`.
  auto record = [&](const Pending& top, const QueryExpr* member, const Bitmap& within) {
    const bool conjunct = top.kind == QueryKind::And;
    std::optional<uint64_t> estimate;
    if (conjunct && top.estimates[top.next] != UINT64_MAX) estimate = top.estimates[top.next];
    trace->push_back(PlanStep{static_cast<int>(stack.size()) - 1, member, conjunct, estimate,
                              within.cardinality()});
    return trace->size() - 1;
  };
  stack.emplace_back(QueryKind::And, &universe);
  ordered(stack.back(), members);
  Bitmap answer;
  for (;;) {
    check_long_work();
    Pending& top = stack.back();
    const QueryExpr* member = top.next_member();
    if (member == nullptr) {
      if (trace != nullptr) {
        // A conjunction that stopped early: its other members never ran.
        for (std::size_t i = top.next; i < top.members.size(); ++i) {
          std::optional<uint64_t> estimate;
          if (top.estimates[i] != UINT64_MAX) estimate = top.estimates[i];
          trace->push_back(PlanStep{static_cast<int>(stack.size()) - 1, top.members[i], true,
                                    estimate, 0, 0, true});
        }
      }
      const std::size_t step = top.step;
      answer = top.finish();
      stack.pop_back();
      if (trace != nullptr && step != SIZE_MAX) (*trace)[step].found = answer.cardinality();
      if (stack.empty()) return answer;
      stack.back().take(std::move(answer));
      continue;
    }
    const Bitmap& within = *top.member_universe();
    if (!is_inner(member->kind)) {
      const std::size_t step = trace != nullptr ? record(top, member, within) : SIZE_MAX;
      Bitmap got = leaf_query(scope, within, *member);
      if (step != SIZE_MAX) (*trace)[step].found = got.cardinality();
      top.take(std::move(got));
      continue;
    }
    const std::size_t step = trace != nullptr ? record(top, member, within) : SIZE_MAX;
    Pending inner(member->kind, &within);
    inner.step = step;
    if (member->kind == QueryKind::And) {
      ordered(inner, member->children);
    } else {
      inner.members.reserve(member->children.size());
      for (const auto& child : member->children) inner.members.push_back(child.get());
      if (trace != nullptr) inner.estimates.assign(inner.members.size(), UINT64_MAX);
    }
    stack.push_back(std::move(inner));
  }
}

}  // namespace

Bitmap evaluate_and_queries_vec(const EvalScope& scope, const Bitmap& universe,
                                const std::vector<QueryRef>& queries, PlanTrace* trace) {
  if (trace != nullptr) {
    // One and_ stands for its members, as evaluate_query takes it.
    if (queries.size() == 1 && queries.front()->kind == QueryKind::And) {
      return evaluate_iteratively(scope, universe, queries.front()->children, trace);
    }
    return evaluate_iteratively(scope, universe, queries, trace);
  }
  if (queries.empty()) return universe;
  if (queries.size() == 1) return evaluate_query(scope, universe, *queries.front());
  return evaluate_iteratively(scope, universe, queries);
}

Bitmap evaluate_query(const EvalScope& scope, const Bitmap& universe, const QueryExpr& query) {
  if (!is_inner(query.kind)) return leaf_query(scope, universe, query);
  if (query.kind == QueryKind::And) return evaluate_iteratively(scope, universe, query.children);
  // An or_ or not_ as the one member of a conjunction: an alias of the node
  // that owns nothing stands for it.
  const QueryRef alias(std::shared_ptr<const QueryExpr>(), &query);
  return evaluate_iteratively(scope, universe, std::span<const QueryRef>(&alias, 1));
}

}  // namespace quorvane
