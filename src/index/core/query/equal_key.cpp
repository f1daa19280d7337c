#include "index/core/query/equal_key.h"

namespace quorvane {

namespace {

// Fills `key` in place (a returned key would be stored field by field and
// then read back whole, which the processor cannot forward).
bool fill_equal_key(std::string_view attr, const PyValue& value, EqualKey& key) {
  key.attr = attr;
  key.kind = indexed_as(value);
  switch (key.kind) {
    case IndexedAs::Number:
      key.number = number_key(value);
      return true;
    case IndexedAs::Text:
      key.text = text_of(value);
      return !key.text.empty();  // "" is kept apart from the buckets
    case IndexedAs::Rational:
    case IndexedAs::Temporal:
      key.value = &value;
      return true;
    case IndexedAs::Nothing:
      return true;
    case IndexedAs::Boolean:
    case IndexedAs::Elements:
    case IndexedAs::Object:
    case IndexedAs::Identity:
      break;
  }
  return false;
}

}  // namespace

std::optional<EqualKey> equal_key(std::string_view attr, const PyValue& value) {
  EqualKey key{attr, IndexedAs::Nothing};
  if (!fill_equal_key(attr, value, key)) return std::nullopt;
  return key;
}

bool equal_keys(std::span<const QueryRef> conditions, EqualKeys& keys) {
  keys.clear();
  for (const QueryRef& condition : conditions) {
    const QueryExpr& q = *condition;
    if (q.kind != QueryKind::Eq || q.values.size() != 1) return false;
    EqualKey& key = keys.emplace_back(EqualKey{q.attr.view(), IndexedAs::Nothing});
    if (!fill_equal_key(q.attr.view(), q.value(), key)) return false;
    key.attr_id = q.attr_id;
  }
  return true;
}

}  // namespace quorvane
