// QueryExpr: a query as a value. Leaves test one attribute (possibly a
// dotted path) against one or more values; inner nodes combine sub-queries.
// A tree is immutable once built, so trees share their subtrees: combining
// queries copies pointers, never trees.
//
// Nothing walks a tree by native recursion (evaluation, the text form and
// destruction keep their own stacks), so any depth runs on a small thread
// stack; builders still refuse trees deeper than MAX_DEPTH.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "absl/functional/function_ref.h"
#include "index/small_str.h"
#include "index/value.h"

namespace quorvane {

// In the order of QUERY_BUILDER_NAMES.
enum class QueryKind : uint8_t {
  Eq,
  Ne,
  Not,
  In,
  And,
  Or,
  Gt,
  Ge,
  Lt,
  Le,
  Bt,
  StartsWi,
  EndsWi,
  Contains
};
inline constexpr std::size_t QUERY_KIND_COUNT = static_cast<std::size_t>(QueryKind::Contains) + 1;

// The name of the PyQueryExpr builder that makes each kind of node.
inline constexpr const char* QUERY_BUILDER_NAMES[] = {
    "eq", "ne", "not_", "in_", "and_",        "or_",       "gt",
    "ge", "lt", "le",   "bt",  "starts_with", "ends_with", "contains"};
static_assert(std::size(QUERY_BUILDER_NAMES) == QUERY_KIND_COUNT);

struct QueryExpr;
// Most leaves test one value: it lives in the node.
using QueryValues = absl::InlinedVector<PyValue, 1>;
using QueryRef = std::shared_ptr<const QueryExpr>;

struct QueryExpr {
  // The deepest tree a builder makes (a leaf has depth 1).
  static constexpr uint32_t MAX_DEPTH = 1000;

  // No attribute id known for a leaf's attribute.
  static constexpr uint32_t NO_ATTR = UINT32_MAX;

  QueryKind kind = QueryKind::And;
  // The id of a one-name attribute (not a dotted path) that objects had
  // when the leaf was made; ids are never reused, so it stays right.
  // NO_ATTR otherwise: the name is then looked up when the leaf is answered.
  uint32_t attr_id = NO_ATTR;
  SmallStr attr;                   // leaves only
  QueryValues values;              // one value; Bt: lower, upper (None: open); In: the list
  std::vector<QueryRef> children;  // And, Or: the members; Not: one child
  uint32_t depth = 1;

  QueryExpr() = default;
  QueryExpr(const QueryExpr&) = delete;
  QueryExpr& operator=(const QueryExpr&) = delete;
  // Frees the subtrees only this node holds without recursion.
  ~QueryExpr();

  static QueryRef leaf(QueryKind kind, std::string_view attr, QueryValues values,
                       uint32_t attr_id = NO_ATTR);
  static QueryRef leaf(QueryKind kind, std::string_view attr, PyValue value,
                       uint32_t attr_id = NO_ATTR);
  // An inner node; its depth is one more than its deepest child's.
  static QueryRef node(QueryKind kind, std::vector<QueryRef> children);
  const PyValue& value() const { return values.front(); }

  // The builder calls that make the tree, e.g.
  // Q.and_(Q.eq('a', 1), Q.not_(Q.gt('b', 2))), written without recursion.
  // `attr_text` writes an attribute name, `value_text` a value (repr uses
  // their Python reprs); an exception they throw passes through.
  std::string text(absl::FunctionRef<std::string(std::string_view)> attr_text,
                   absl::FunctionRef<std::string(const PyValue&)> value_text) const;

  // Calls `fn(node)` for this node and every node below it, each time it is
  // met (a shared subtree once per parent), parents first; no recursion.
  template <class F>
  void for_each_node(F&& fn) const {
    std::vector<const QueryExpr*> stack{this};
    while (!stack.empty()) {
      const QueryExpr* node = stack.back();
      stack.pop_back();
      fn(*node);
      for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
        stack.push_back(it->get());
      }
    }
  }
};

// Whether a bound of a Bt leaf is None: that end of the range is open.
inline bool is_open_bound(const PyValue& bound) noexcept {
  return bound.kind() == ValueKind::Unknown && bound.object() == Py_None;
}

}  // namespace quorvane
