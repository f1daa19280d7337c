// EqualKey: what an equality on one attribute looks its value up by in the
// value buckets, so that a key lookup needs no query tree and, for the plain
// kinds, no converted value.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "absl/container/inlined_vector.h"
#include "index/core/query/query_expr.h"
#include "index/core/structures/ordered_bitmap/numeric_key.h"
#include "index/value.h"

namespace quorvane {

// A number's key, a non-empty text, or the value itself for exact rationals
// and temporal values; a NaN (kind Nothing) equals nothing. The views point
// into the caller's value or Python object.
struct EqualKey {
  std::string_view attr;
  IndexedAs kind;
  NumericKey number{};
  std::string_view text{};
  const PyValue* value = nullptr;
  uint32_t attr_id = QueryExpr::NO_ATTR;  // when known, `attr` needs no lookup
};

// The key of an equality with `value` on `attr`, when `value` is kept in
// buckets; none otherwise ("", booleans, objects, containers).
std::optional<EqualKey> equal_key(std::string_view attr, const PyValue& value);

using EqualKeys = absl::InlinedVector<EqualKey, 4>;
// Whether every one of `conditions` is an equality with a bucketed value;
// their keys, which point into the conditions, are then in `keys`. (Filled in
// place: the keys are a few hundred bytes, which a returned copy would move.)
bool equal_keys(std::span<const QueryRef> conditions, EqualKeys& keys);

}  // namespace quorvane
