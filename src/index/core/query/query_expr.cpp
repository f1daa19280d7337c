#include "index/core/query/query_expr.h"

#include <algorithm>
#include <iterator>

namespace quorvane {
namespace {

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
  auto node = std::make_shared<QueryExpr>();
  node->kind = kind;
  node->children = std::move(children);
  node->depth = depth;
  return node;
}

QueryExpr::~QueryExpr() {
  if (children.empty()) return;
  // A child this node alone holds gives up its own children before it goes,
  // so that no destructor below runs with children to free.
  std::vector<QueryRef> pending = std::move(children);
  while (!pending.empty()) {
    QueryRef next = std::move(pending.back());
    pending.pop_back();
    if (next.use_count() == 1) {
      // Every node is made mutable (see leaf and node); only its last holder
      // reaches here.
      auto& below = const_cast<QueryExpr&>(*next).children;
      for (QueryRef& child : below) pending.push_back(std::move(child));
      below.clear();
    }
  }
}

std::string QueryExpr::text(absl::FunctionRef<std::string(std::string_view)> attr_text,
                            absl::FunctionRef<std::string(const PyValue&)> value_text) const {
  // Depth first with a stack of pieces to write: a node's opening, its
  // members with separators, then its closing.
  struct Piece {
    const QueryExpr* node;  // null: `literal`
    const char* literal;
  };
  std::string out;
  std::vector<Piece> stack{{this, nullptr}};
  while (!stack.empty()) {
    const Piece piece = stack.back();
    stack.pop_back();
    if (piece.node == nullptr) {
      out += piece.literal;
      continue;
    }
    const QueryExpr& node = *piece.node;
    out += "Q.";
    out += QUERY_BUILDER_NAMES[static_cast<int>(node.kind)];
    out += '(';
    if (node.kind == QueryKind::And || node.kind == QueryKind::Or || node.kind == QueryKind::Not) {
      stack.push_back({nullptr, ")"});
      for (std::size_t i = node.children.size(); i-- > 0;) {
        stack.push_back({node.children[i].get(), nullptr});
        if (i > 0) stack.push_back({nullptr, ", "});
      }
      continue;
    }
    const bool list = node.kind == QueryKind::In;
    out += attr_text(node.attr.view()) + (list ? ", [" : ", ") + joined(node.values, value_text) +
           (list ? "])" : ")");
  }
  return out;
}

}  // namespace quorvane
