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

bool is_number(const PyValue& v) {
  return v.kind() == ValueKind::Int || v.kind() == ValueKind::Float;
}

// NaN is never indexed as a number: it equals and orders with nothing.
bool is_nan(const PyValue& v) {
  return v.kind() == ValueKind::Float && std::isnan(std::get<double>(v.primitave()));
}

NumericKey key_of(const PyValue& v) {
  return v.kind() == ValueKind::Int ? numeric_key(std::get<int64_t>(v.primitave()))
                                    : numeric_key(std::get<double>(v.primitave()));
}

std::string_view text_of(const PyValue& v) {
  return std::get<SmallStr>(v.primitave()).view();
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

// The leaf rule of `query` on one map, before element ids are unmasked.
// `scope` is the universe widened by the map's element ids (range scans).
Bitmap leaf_on_map(const QueryMap& map, const QueryExpr& query, const Bitmap& scope) {
  const PyValue& value = query.value();
  switch (query.kind) {
    case QueryKind::Eq:
      switch (value.kind()) {
        case ValueKind::Int:
        case ValueKind::Float:
          if (is_nan(value)) return Bitmap();
          {
            auto numbers = map.numbers.read();
            NumericKey key = key_of(value);
            if (numbers->buckets.enabled()) return numbers->buckets.get_within(key, scope);
            return numbers->slices.get_eq(key);
          }
        case ValueKind::Str: {
          auto strings = map.strings.read();
          std::string_view text = text_of(value);
          if (text.empty()) return strings->empty;
          if (strings->buckets.enabled()) {
            return strings->buckets.get_within(bucket_key(text), scope);
          }
          return strings->columns.equal(text);
        }
        case ValueKind::Bool: {
          auto bools = map.bools.read();
          const Bitmap& cell = std::get<bool>(value.primitave()) ? bools->true_ids.bitmap()
                                                                 : bools->false_ids.bitmap();
          return cell.intersected(scope);
        }
        default: {
          auto set = map.exact.get(value);
          return set ? set->to_bitmap() : Bitmap();
        }
      }
    case QueryKind::Gt:
    case QueryKind::Ge:
    case QueryKind::Lt:
    case QueryKind::Le: {
      Bitmap out;
      if (!is_number(value) || is_nan(value)) return out;
      auto numbers = map.numbers.read();
      NumericKey key = key_of(value);
      bool above = query.kind == QueryKind::Gt || query.kind == QueryKind::Ge;
      bool closed = query.kind == QueryKind::Ge || query.kind == QueryKind::Le;
      auto bucketed = above ? bucket_range(*numbers, &key, closed, nullptr, false)
                            : bucket_range(*numbers, nullptr, false, &key, closed);
      if (bucketed) {
        bucketed->intersect_with(scope);
        return std::move(*bucketed);
      }
      const NumericalBitmap& slices = numbers->slices;
      if (query.kind == QueryKind::Gt) slices.get_gt_into_base(key, out, scope);
      if (query.kind == QueryKind::Ge) slices.get_gte_into_base(key, out, scope);
      if (query.kind == QueryKind::Lt) slices.get_lt_into_base(key, out, scope);
      if (query.kind == QueryKind::Le) slices.get_lte_into_base(key, out, scope);
      return out;
    }
    case QueryKind::Bt: {
      const PyValue& lower = query.values[0];
      const PyValue& upper = query.values[1];
      check(is_number(lower) && is_number(upper), "not yet implemented");
      if (is_nan(lower) || is_nan(upper)) return Bitmap();
      auto numbers = map.numbers.read();
      NumericKey lo = key_of(lower), hi = key_of(upper);
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
      if (value.kind() != ValueKind::Str) return Bitmap();
      auto strings = map.strings.read();
      std::string_view text = text_of(value);
      if (text.empty()) return all_strings(*strings);
      auto bucketed = bucket_match(*strings, [&](std::string_view s) {
        if (query.kind == QueryKind::StartsWi) return s.starts_with(text);
        if (query.kind == QueryKind::EndsWi) return s.ends_with(text);
        return s.find(text) != std::string_view::npos;
      });
      if (bucketed) return std::move(*bucketed);
      if (query.kind == QueryKind::StartsWi) return strings->columns.starts_with(text);
      if (query.kind == QueryKind::EndsWi) return strings->columns.ends_with(text);
      return strings->columns.contains(text);
    }
    default:
      throw Panic("not a leaf query");
  }
}

// A leaf (or In) on the attribute path of `query`.
Bitmap attribute_lookup(const MapVector& maps, const Bitmap& universe, const QueryExpr& query) {
  auto [head, rest] = attr_parts(query.attr.view());
  uint32_t attr = INTERNER().intern(head);
  if (attr >= maps.size() || maps[attr] == nullptr) return Bitmap();
  const QueryMap& map = *maps[attr];
  Bitmap result;
  if (rest) {
    // Answer the rest of the path in the nested engine, then map the nested
    // objects back to the ids here that hold them (objects, or elements of
    // their containers).
    QueryExpr inner = QueryExpr::leaf(query.kind, *rest, query.values);
    Bitmap nested_ids = map.nested->evaluate(inner);
    result = map.nested->parent_links.read()->get_parent_from_ids(nested_ids);
  } else {
    // Container elements answer for their holders, so they are in scope too.
    Bitmap widened;
    const Bitmap* scope = &universe;
    if (map.has_elements()) {
      widened = universe.unioned(map.element_ids());
      scope = &widened;
    }
    if (query.kind == QueryKind::In) {
      for (const PyValue& value : query.values) {
        QueryExpr eq = QueryExpr::leaf(QueryKind::Eq, query.attr.view(), {value});
        result.union_with(leaf_on_map(map, eq, *scope));
      }
    } else {
      result = leaf_on_map(map, query, *scope);
    }
  }
  map.unmask_ids(result);
  result.intersect_with(universe);
  return result;
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
  auto attr = INTERNER().snapshot()->get(head);
  if (!attr || *attr >= maps.size() || maps[*attr] == nullptr) return std::nullopt;
  const QueryMap& map = *maps[*attr];
  const PyValue& value = query.value();
  if (query.kind == QueryKind::Eq && value.kind() == ValueKind::Str) {
    auto strings = map.strings.read();
    std::string_view text = text_of(value);
    if (text.empty() || !strings->buckets.enabled()) return std::nullopt;
    return strings->buckets.count(bucket_key(text));
  }
  if (!is_number(value) || is_nan(value)) return std::nullopt;
  if (query.kind == QueryKind::Bt && (!is_number(query.values[1]) || is_nan(query.values[1]))) {
    return std::nullopt;
  }
  auto numbers = map.numbers.read();
  if (!numbers->buckets.enabled()) return std::nullopt;
  NumericKey key = key_of(value);
  if (query.kind == QueryKind::Eq) return numbers->buckets.count(key);
  NumericKey hi = query.kind == QueryKind::Bt ? key_of(query.values[1]) : key;
  bool below = query.kind == QueryKind::Lt || query.kind == QueryKind::Le;
  bool above = query.kind == QueryKind::Gt || query.kind == QueryKind::Ge;
  auto ids = bucket_range(*numbers, below ? nullptr : &key, query.kind != QueryKind::Gt,
                          above ? nullptr : &hi, query.kind != QueryKind::Lt);
  if (!ids) return std::nullopt;
  return ids->cardinality();
}

}  // namespace

Bitmap evaluate_and_queries_vec(const MapVector& maps, const Bitmap& universe,
                                const std::vector<QueryExpr>& queries) {
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
    ordered.push_back({&q, queries.size() > 1 ? known_size(maps, q).value_or(UINT64_MAX) : 0});
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const Member& a, const Member& b) {
    if (a.size != b.size) return a.size < b.size;
    return PRIORITY[static_cast<int>(a.query->kind)] < PRIORITY[static_cast<int>(b.query->kind)];
  });
  if (ordered.empty()) return universe;
  // Every answer lies within its universe, so the first one needs no
  // intersection and the universe is never copied.
  Bitmap result = evaluate_query(maps, universe, *ordered.front().query);
  for (std::size_t i = 1; i < ordered.size(); ++i) {
    Bitmap r = evaluate_query(maps, result, *ordered[i].query);
    result = std::move(r);
  }
  return result;
}

Bitmap evaluate_query(const MapVector& maps, const Bitmap& universe, const QueryExpr& query) {
  switch (query.kind) {
    case QueryKind::And:
      return evaluate_and_queries_vec(maps, universe, query.children);
    case QueryKind::Or: {
      Bitmap result;
      for (const auto& child : query.children)
        result.union_with(evaluate_query(maps, universe, child));
      return result;
    }
    case QueryKind::Not:
      return universe.differenced(evaluate_query(maps, universe, query.children.front()));
    case QueryKind::Ne: {
      QueryExpr eq = QueryExpr::leaf(QueryKind::Eq, query.attr.view(), query.values);
      return universe.differenced(evaluate_query(maps, universe, eq));
    }
    default:
      return attribute_lookup(maps, universe, query);
  }
}

}  // namespace quorvane
