#include "index/core/query/query_expr.h"

#include <algorithm>

#include "index/debug_text.h"

namespace quorvane {
namespace {

constexpr const char* KIND_NAMES[] = {"Eq", "Ne", "Not", "In", "And",      "Or",     "Gt",
                                      "Ge", "Lt", "Le",  "Bt", "StartsWi", "EndsWi", "Contains"};

template <class Items, class F>
std::string joined(const Items& items, F&& text_of) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += text_of(items[i]);
  }
  return out;
}

// A leaf without values, filled in place (a node built whole and then
// moved into its block would move and destroy its values twice).
std::shared_ptr<QueryExpr> bare_leaf(QueryKind kind, std::string_view attr, uint32_t attr_id) {
  auto node = std::make_shared<QueryExpr>();
  node->kind = kind;
  node->attr_id = attr_id;
  node->attr = SmallStr(attr);
  return node;
}

}  // namespace

QueryRef QueryExpr::leaf(QueryKind kind, std::string_view attr, QueryValues values,
                         uint32_t attr_id) {
  auto node = bare_leaf(kind, attr, attr_id);
  node->values = std::move(values);
  return node;
}

QueryRef QueryExpr::leaf(QueryKind kind, std::string_view attr, PyValue value, uint32_t attr_id) {
  auto node = bare_leaf(kind, attr, attr_id);
  node->values.push_back(std::move(value));
  return node;
}

QueryRef QueryExpr::node(QueryKind kind, std::vector<QueryRef> children) {
  uint32_t depth = 1;
  for (const auto& child : children) depth = std::max(depth, child->depth + 1);
  return std::make_shared<const QueryExpr>(
      QueryExpr{kind, NO_ATTR, SmallStr(), {}, std::move(children), depth});
}

std::string QueryExpr::text() const {
  std::string name = KIND_NAMES[static_cast<int>(kind)];
  auto value_text = [](const PyValue& v) { return v.debug_text(); };
  switch (kind) {
    case QueryKind::Not:
      return name + "(" + children.front()->text() + ")";
    case QueryKind::And:
    case QueryKind::Or:
      return name + "([" + joined(children, [](const QueryRef& q) { return q->text(); }) + "])";
    case QueryKind::In:
      return name + "(" + debug_string(attr.view()) + ", [" + joined(values, value_text) + "])";
    default:
      return name + "(" + debug_string(attr.view()) + ", " + joined(values, value_text) + ")";
  }
}

}  // namespace quorvane
