// QueryExpr: a query as a value. Leaves test one attribute (possibly a
// dotted path) against one or more values; inner nodes combine sub-queries.
// A tree owns its children; copying copies it deeply.
#pragma once

#include <string>
#include <vector>

#include "index/small_str.h"
#include "index/value.h"

namespace quorvane {

// In this order; the order is also that of the names in the text form.
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

struct QueryExpr {
  QueryKind kind;
  SmallStr attr;                    // leaves only
  std::vector<PyValue> values;      // one value; Bt: lower, upper; In: the list
  std::vector<QueryExpr> children;  // And, Or: the members; Not: one child

  static QueryExpr leaf(QueryKind kind, std::string_view attr, std::vector<PyValue> values) {
    return QueryExpr{kind, SmallStr(attr), std::move(values), {}};
  }
  static QueryExpr node(QueryKind kind, std::vector<QueryExpr> children) {
    return QueryExpr{kind, SmallStr(), {}, std::move(children)};
  }
  const PyValue& value() const { return values.front(); }

  // The text form shown by repr, e.g. Not(Eq("a", PyValue { ... })).
  std::string text() const;
};

}  // namespace quorvane
