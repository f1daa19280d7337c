#include "index/core/query/equal_key.h"

namespace quorvane {

std::optional<EqualKey> equal_key(std::string_view attr, const PyValue& value) {
  EqualKey key{attr, indexed_as(value)};
  switch (key.kind) {
    case IndexedAs::Number:
      key.number = number_key(value);
      return key;
    case IndexedAs::Text:
      key.text = text_of(value);
      if (key.text.empty()) break;  // "" is kept apart from the buckets
      return key;
    case IndexedAs::Rational:
    case IndexedAs::Temporal:
      key.value = &value;
      return key;
    case IndexedAs::Nothing:
      return key;
    case IndexedAs::Boolean:
    case IndexedAs::Elements:
    case IndexedAs::Object:
    case IndexedAs::Identity:
      break;
  }
  return std::nullopt;
}

bool equal_keys(std::span<const QueryRef> conditions, EqualKeys& keys) {
  keys.clear();
  for (const QueryRef& condition : conditions) {
    const QueryExpr& q = *condition;
    if (q.kind != QueryKind::Eq || q.values.size() != 1) return false;
    auto key = equal_key(q.attr.view(), q.value());
    if (!key) return false;
    key->attr_id = q.attr_id;
    keys.push_back(*key);
  }
  return true;
}

}  // namespace quorvane
