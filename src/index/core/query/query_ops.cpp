#include "index/core/query/query_ops.h"

#include <algorithm>
#include <cmath>

#include "index/core/structures/string_interner/string_interner.h"
#include "util/panic.h"

namespace quorvane {
namespace {

// Rank of each kind in a conjunction (lower first), indexed by QueryKind.
constexpr int PRIORITY[] = {
    /*Eq*/ 0,  /*Ne*/ 1, /*Not*/ 2, /*In*/ 3,  /*And*/ 7,      /*Or*/ 8,     /*Gt*/ 11,
    /*Ge*/ 12, /*Lt*/ 9, /*Le*/ 10, /*Bt*/ 13, /*StartsWi*/ 4, /*EndsWi*/ 5, /*Contains*/ 6};

// A value that selects ids in the numeric index (not a NaN: it equals and
// orders with nothing, so it is never indexed).
bool is_indexed_number(const PyValue& v) {
  return indexed_as(v) == IndexedAs::Number;
}

// Every id holding a string value (the empty string included).
Bitmap all_strings(const StringIndex& strings) {
  Bitmap out = strings.columns.all_ids();
  out.union_with(strings.empty);
  return out;
}

// The union of the buckets in [first, last), or none when the range covers so
// many distinct values that the bit-sliced walk is cheaper.
template <class It>
std::optional<Bitmap> bucket_union(It first, It last) {
  constexpr std::size_t MAX_BUCKETS = 512;
  std::size_t count = 0;
  for (It it = first; it != last && count <= MAX_BUCKETS; ++it) ++count;
  if (count > MAX_BUCKETS) return std::nullopt;
  Bitmap out;
  for (It it = first; it != last; ++it) it->second.add_to(out);
  return out;
}

// A numeric range through the buckets of an attribute with few distinct
// values: [lo, hi] with each end open or closed, missing ends unbounded.
std::optional<Bitmap> bucket_range(const NumericIndex& numbers, const NumericKey* lo,
                                   bool lo_closed, const NumericKey* hi, bool hi_closed) {
  if (!numbers.buckets.enabled()) return std::nullopt;
  const auto& map = numbers.buckets.map();
  auto first = lo == nullptr ? map.begin()
               : lo_closed   ? map.lower_bound(*lo)
                             : map.upper_bound(*lo);
  auto last = hi == nullptr ? map.end() : hi_closed ? map.upper_bound(*hi) : map.lower_bound(*hi);
  if (lo != nullptr && hi != nullptr && !(*lo < *hi || (*lo == *hi && lo_closed && hi_closed))) {
    return Bitmap();
  }
  return bucket_union(first, last);
}

// A string test over the distinct strings of an attribute that has few.
template <class Test>
std::optional<Bitmap> bucket_match(const StringIndex& strings, Test&& test) {
  if (!strings.buckets.enabled()) return std::nullopt;
  Bitmap out;
  for (const auto& [text, set] : strings.buckets.map()) {
    if (test(std::string_view(text))) set.add_to(out);
  }
  return out;
}

// The leaf rule of `kind` with `values` on one map, before element ids are
// unmasked. `scope` is the universe widened by the map's element ids (range
// scans need them).
Bitmap leaf_on_map(const QueryMap& map, QueryKind kind, const std::vector<PyValue>& values,
                   const Bitmap& scope) {
  const PyValue& value = values.front();
  switch (kind) {
    case QueryKind::Eq:
      switch (indexed_as(value)) {
        case IndexedAs::Number: {
          auto numbers = map.numbers.read();
          NumericKey key = number_key(value);
          if (numbers->buckets.enabled()) return numbers->buckets.get_within(key, scope);
          return numbers->slices.get_eq(key);
        }
        case IndexedAs::Nothing:
          return Bitmap();
        case IndexedAs::Text: {
          auto strings = map.strings.read();
          std::string_view text = text_of(value);
          if (text.empty()) return strings->empty;
          if (strings->buckets.enabled()) {
            return strings->buckets.get_within(bucket_key(text), scope);
          }
          return strings->columns.equal(text);
        }
        case IndexedAs::Boolean: {
          auto bools = map.bools.read();
          const Bitmap& cell =
              flag_of(value) ? bools->true_ids.bitmap() : bools->false_ids.bitmap();
          return cell.intersected(scope);
        }
        case IndexedAs::Elements:  // a container equals only itself, never stored as a key
        case IndexedAs::Object:
        case IndexedAs::Identity: {
          auto set = map.exact.get(value);
          return set ? set->to_bitmap() : Bitmap();
        }
      }
      return Bitmap();
    case QueryKind::Gt:
    case QueryKind::Ge:
    case QueryKind::Lt:
    case QueryKind::Le: {
      Bitmap out;
      if (!is_indexed_number(value)) return out;
      auto numbers = map.numbers.read();
      NumericKey key = number_key(value);
      bool above = kind == QueryKind::Gt || kind == QueryKind::Ge;
      bool closed = kind == QueryKind::Ge || kind == QueryKind::Le;
      auto bucketed = above ? bucket_range(*numbers, &key, closed, nullptr, false)
                            : bucket_range(*numbers, nullptr, false, &key, closed);
      if (bucketed) {
        bucketed->intersect_with(scope);
        return std::move(*bucketed);
      }
      const NumericalBitmap& slices = numbers->slices;
      if (kind == QueryKind::Gt) slices.get_gt_into_base(key, out, scope);
      if (kind == QueryKind::Ge) slices.get_gte_into_base(key, out, scope);
      if (kind == QueryKind::Lt) slices.get_lt_into_base(key, out, scope);
      if (kind == QueryKind::Le) slices.get_lte_into_base(key, out, scope);
      return out;
    }
    case QueryKind::Bt: {
      const PyValue& lower = values[0];
      const PyValue& upper = values[1];
      // An open end makes a one-sided range; both open, every number.
      if (!is_open_bound(upper) && is_open_bound(lower)) {
        return leaf_on_map(map, QueryKind::Le, {upper}, scope);
      }
      if (is_open_bound(upper)) {
        if (!is_open_bound(lower)) return leaf_on_map(map, QueryKind::Ge, {lower}, scope);
        return map.numbers.read()->slices.all_ids().intersected(scope);
      }
      // The builder accepts numbers (or None) only.
      check(lower.kind() == ValueKind::Int || lower.kind() == ValueKind::Float,
            "between: bound is not a number");
      check(upper.kind() == ValueKind::Int || upper.kind() == ValueKind::Float,
            "between: bound is not a number");
      if (!is_indexed_number(lower) || !is_indexed_number(upper)) return Bitmap();
      auto numbers = map.numbers.read();
      NumericKey lo = number_key(lower), hi = number_key(upper);
      if (auto bucketed = bucket_range(*numbers, &lo, true, &hi, true)) {
        bucketed->intersect_with(scope);
        return std::move(*bucketed);
      }
      Bitmap low;
      numbers->slices.get_gte_into_base(lo, low, scope);
      Bitmap high;
      numbers->slices.get_lte_into_base(hi, high, low);
      return high;
    }
    case QueryKind::StartsWi:
    case QueryKind::EndsWi:
    case QueryKind::Contains: {
      if (indexed_as(value) != IndexedAs::Text) return Bitmap();
      auto strings = map.strings.read();
      std::string_view text = text_of(value);
      if (text.empty()) return all_strings(*strings);
      auto bucketed = bucket_match(*strings, [&](std::string_view s) {
        if (kind == QueryKind::StartsWi) return s.starts_with(text);
        if (kind == QueryKind::EndsWi) return s.ends_with(text);
        return s.find(text) != std::string_view::npos;
      });
      if (bucketed) return std::move(*bucketed);
      if (kind == QueryKind::StartsWi) return strings->columns.starts_with(text);
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
const QueryMap* find_map(const MapVector& maps, std::string_view name) {
  auto attr = INTERNER().find(name);
  if (!attr || *attr >= maps.size()) return nullptr;
  return maps[*attr].get();
}

// The ids of `universe` whose value of `map`'s attribute satisfies the leaf
// (or In) `query`; container elements answer for their holders.
Bitmap leaf_answer(const QueryMap& map, const QueryExpr& query, const Bitmap& universe) {
  Bitmap widened;
  const Bitmap* scope = &universe;
  if (map.has_elements()) {
    widened = universe.unioned(map.element_ids());
    scope = &widened;
  }
  Bitmap result;
  if (query.kind == QueryKind::In) {
    for (const PyValue& value : query.values) {
      result.union_with(leaf_on_map(map, QueryKind::Eq, {value}, *scope));
    }
  } else {
    result = leaf_on_map(map, query.kind, query.values, *scope);
  }
  map.unmask_ids(result);
  result.intersect_with(universe);
  return result;
}

// A leaf (or In) on the attribute path of `query`. The head segment is an
// attribute of this engine; the others are answered in the reach engine,
// from the last segment back: each step keeps the objects whose attribute
// links to one of the objects found so far.
Bitmap attribute_lookup(const EvalScope& scope, const Bitmap& universe, const QueryExpr& query) {
  std::string_view path = query.attr.view();
  const std::size_t dot = path.find('.');
  const QueryMap* head = find_map(scope.maps, path.substr(0, dot));
  if (head == nullptr) return Bitmap();
  if (dot == std::string_view::npos) return leaf_answer(*head, query, universe);
  if (scope.reach == nullptr) return Bitmap();
  std::vector<std::string_view> rest;
  for (std::string_view tail = path.substr(dot + 1);;) {
    const std::size_t next = tail.find('.');
    rest.push_back(tail.substr(0, next));
    if (next == std::string_view::npos) break;
    tail = tail.substr(next + 1);
  }
  Bitmap ids;
  {
    auto maps = scope.reach->query_maps->read();
    auto members = scope.reach->member_ids.read();
    const QueryMap* last = find_map(*maps, rest.back());
    if (last == nullptr) return Bitmap();
    ids = leaf_answer(*last, query, *members);
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

namespace {

// The exact size of a leaf's answer when the value buckets know it cheaply
// (equalities and ranges on attributes with few distinct values), else none.
std::optional<uint64_t> known_size(const MapVector& maps, const QueryExpr& query) {
  bool range = query.kind >= QueryKind::Gt && query.kind <= QueryKind::Bt;
  if ((query.kind != QueryKind::Eq && !range) || query.values.empty()) return std::nullopt;
  auto [head, rest] = attr_parts(query.attr.view());
  if (rest) return std::nullopt;
  const QueryMap* map = find_map(maps, head);
  if (map == nullptr) return std::nullopt;
  const PyValue& value = query.value();
  if (query.kind == QueryKind::Eq && indexed_as(value) == IndexedAs::Text) {
    auto strings = map->strings.read();
    std::string_view text = text_of(value);
    if (text.empty() || !strings->buckets.enabled()) return std::nullopt;
    return strings->buckets.count(bucket_key(text));
  }
  if (!is_indexed_number(value)) return std::nullopt;
  if (query.kind == QueryKind::Bt && !is_indexed_number(query.values[1])) return std::nullopt;
  auto numbers = map->numbers.read();
  if (!numbers->buckets.enabled()) return std::nullopt;
  NumericKey key = number_key(value);
  if (query.kind == QueryKind::Eq) return numbers->buckets.count(key);
  NumericKey hi = query.kind == QueryKind::Bt ? number_key(query.values[1]) : key;
  bool below = query.kind == QueryKind::Lt || query.kind == QueryKind::Le;
  bool above = query.kind == QueryKind::Gt || query.kind == QueryKind::Ge;
  auto ids = bucket_range(*numbers, below ? nullptr : &key, query.kind != QueryKind::Gt,
                          above ? nullptr : &hi, query.kind != QueryKind::Lt);
  if (!ids) return std::nullopt;
  return ids->cardinality();
}

}  // namespace

Bitmap evaluate_and_queries_vec(const EvalScope& scope, const Bitmap& universe,
                                const std::vector<QueryRef>& queries) {
  // Members whose answer size is known go first, smallest first; the others
  // follow by the priority of their kind (cheap kinds first). The order only
  // changes the cost, never the answer.
  struct Member {
    const QueryExpr* query;
    uint64_t size;  // known answer size, or UINT64_MAX
  };
  std::vector<Member> ordered;
  ordered.reserve(queries.size());
  for (const auto& q : queries) {
    ordered.push_back(
        {q.get(), queries.size() > 1 ? known_size(scope.maps, *q).value_or(UINT64_MAX) : 0});
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const Member& a, const Member& b) {
    if (a.size != b.size) return a.size < b.size;
    return PRIORITY[static_cast<int>(a.query->kind)] < PRIORITY[static_cast<int>(b.query->kind)];
  });
  if (ordered.empty()) return universe;
  // Every answer lies within its universe, so the first one needs no
  // intersection and the universe is never copied; an empty running answer
  // ends the conjunction.
  Bitmap result = evaluate_query(scope, universe, *ordered.front().query);
  for (std::size_t i = 1; i < ordered.size() && !result.is_empty(); ++i) {
    Bitmap r = evaluate_query(scope, result, *ordered[i].query);
    result = std::move(r);
  }
  return result;
}

Bitmap evaluate_query(const EvalScope& scope, const Bitmap& universe, const QueryExpr& query) {
  switch (query.kind) {
    case QueryKind::And:
      return evaluate_and_queries_vec(scope, universe, query.children);
    case QueryKind::Or: {
      Bitmap result;
      for (const auto& child : query.children) {
        result.union_with(evaluate_query(scope, universe, *child));
      }
      return result;
    }
    case QueryKind::Not:
      return universe.differenced(evaluate_query(scope, universe, *query.children.front()));
    case QueryKind::Ne: {
      QueryExpr eq{QueryKind::Eq, query.attr, query.values, {}, 1};
      return universe.differenced(attribute_lookup(scope, universe, eq));
    }
    case QueryKind::Eq:
    case QueryKind::In:
    case QueryKind::Gt:
    case QueryKind::Ge:
    case QueryKind::Lt:
    case QueryKind::Le:
    case QueryKind::Bt:
    case QueryKind::StartsWi:
    case QueryKind::EndsWi:
    case QueryKind::Contains:
      return attribute_lookup(scope, universe, query);
  }
  throw Panic("query of no kind");
}

}  // namespace quorvane
