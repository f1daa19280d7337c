#include "index/interfaces/query.h"

#include <algorithm>
#include <cmath>

#include "absl/container/flat_hash_map.h"
#include "index/indexable.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"
#include "python/repr.h"

namespace quorvane {
namespace {

PyTypeObject* QUERY_TYPE = nullptr;

// Wraps a tree, refusing one deeper than evaluation may walk.
PyRef wrap(QueryRef expr) {
  if (expr->depth > QueryExpr::MAX_DEPTH) {
    throw PyErr(PyExc_RecursionError,
                "query nested deeper than " + std::to_string(QueryExpr::MAX_DEPTH) + " levels");
  }
  return new_instance(QUERY_TYPE, &PyQueryExprObject::expr, std::move(expr));
}

// Refuses a range whose bound has no order (None alone, a bool, a
// container, an object of another kind), or whose two bounds belong to
// orders that Python does not compare (a number and a str, a date and a
// datetime, a naive and an aware datetime...): they are mistakes, refused
// here rather than answered with nothing. `lower` or `upper` may be None
// (an open end of bt), not both.
void check_range_bounds(const char* builder, std::string_view attr, const PyValue* lower,
                        const PyValue* upper) {
  const std::string where = std::string(builder) + " on attribute '" + std::string(attr) + "': ";
  std::optional<OrderFamily> family;
  for (const PyValue* bound : {lower, upper}) {
    if (bound == nullptr) continue;
    auto own = order_family(*bound);
    if (!own) {
      throw_type_error(where + type_name(bound->to_object().get()) +
                       " values have no order (ranges take numbers, str, and date, datetime, "
                       "time or timedelta values)");
    }
    if (family && *family != *own) {
      throw_type_error(where + "a " + order_family_name(*family) + " and a " +
                       order_family_name(*own) + " do not order with each other");
    }
    family = own;
  }
  if (!family) throw_type_error(where + "both bounds are None (one end at least is needed)");
}

// The id of a leaf's attribute `attr` (the text of `name`), when it is one
// attribute that objects have had; the leaf is then answered without
// looking the name up.
uint32_t leaf_attr_id(PyObject* name, std::string_view attr) {
  if (attr.find('.') != std::string_view::npos) return QueryExpr::NO_ATTR;
  return attribute_id(name).value_or(QueryExpr::NO_ATTR);
}

constexpr bool is_range(QueryKind kind) {
  return kind == QueryKind::Gt || kind == QueryKind::Ge || kind == QueryKind::Lt ||
         kind == QueryKind::Le;
}

constexpr bool is_text_test(QueryKind kind) {
  return kind == QueryKind::StartsWi || kind == QueryKind::EndsWi || kind == QueryKind::Contains;
}

// The nine two-argument leaves differ only in the kind they build.
template <QueryKind kKind, const char* kName>
PyObject* leaf_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{kName, {"attr", "value"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    std::string_view attr = extract_str(bound[0], "attr");
    const char* builder = QUERY_BUILDER_NAMES[static_cast<int>(kKind)];
    // A text test of a number would match nothing: a mistake, refused here.
    if (is_text_test(kKind) && !PyUnicode_Check(bound[1])) {
      throw_type_error(std::string(builder) + " on attribute '" + std::string(attr) +
                       "': the text to look for must be a str, not " + type_name(bound[1]));
    }
    PyValue value = PyValue::from_object(bound[1], attr);
    if constexpr (is_range(kKind)) check_range_bounds(builder, attr, &value, nullptr);
    return wrap(QueryExpr::leaf(kKind, attr, std::move(value), leaf_attr_id(bound[0], attr)));
  });
}

PyObject* bt_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"PyQueryExpr.bt()", {"attr", "lower", "upper"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    std::string_view attr = extract_str(bound[0], "attr");
    PyValue lower = PyValue::from_object(bound[1], attr);
    PyValue upper = PyValue::from_object(bound[2], attr);
    // None leaves its end open.
    check_range_bounds("bt", attr, is_open_bound(lower) ? nullptr : &lower,
                       is_open_bound(upper) ? nullptr : &upper);
    return wrap(QueryExpr::leaf(QueryKind::Bt, attr, {std::move(lower), std::move(upper)},
                                leaf_attr_id(bound[0], attr)));
  });
}

PyObject* in_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"PyQueryExpr.in_()", {"attr", "values"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    std::string_view attr = extract_str(bound[0], "attr");
    QueryValues values;
    for (const PyRef& item : extract_iterable(bound[1], sig.full_name, "values")) {
      values.push_back(PyValue::from_object(item.get(), attr));
    }
    return wrap(
        QueryExpr::leaf(QueryKind::In, attr, std::move(values), leaf_attr_id(bound[0], attr)));
  });
}

// and_ and or_ take any number of positional trees (no keywords).
template <QueryKind kKind, const char* kName>
PyObject* combinator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
      static const Signature sig{kName, {}};
      bind_fastcall(sig, args, 0, kwnames);
    }
    std::vector<QueryRef> children;
    Py_ssize_t n = PyVectorcall_NARGS(nargs);
    children.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) children.push_back(query_arg(args[i], "exprs"));
    return wrap(QueryExpr::node(kKind, std::move(children)));
  });
}

PyObject* not_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"PyQueryExpr.not_()", {"exprs"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    return wrap(QueryExpr::node(QueryKind::Not, {query_arg(bound[0], "exprs")}));
  });
}

// q1 & q2, q1 | q2, ~q: and_, or_ and not_. A chain (a & b & c) makes one
// node with every member, so that building it in a loop does not deepen the
// tree; anything but a query on either side is not supported.
template <QueryKind kKind>
PyObject* combine_operator(PyObject* left, PyObject* right) {
  if (!PyObject_TypeCheck(left, QUERY_TYPE) || !PyObject_TypeCheck(right, QUERY_TYPE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return guarded([&] {
    std::vector<QueryRef> children;
    for (PyObject* side : {left, right}) {
      const QueryRef& expr = reinterpret_cast<PyQueryExprObject*>(side)->expr;
      if (expr->kind == kKind) {
        children.insert(children.end(), expr->children.begin(), expr->children.end());
      } else {
        children.push_back(expr);
      }
    }
    return wrap(QueryExpr::node(kKind, std::move(children)));
  });
}

// `q1 and q2`, `if q:` and `not q` ask for a truth value, which a query does
// not have: Python would quietly pick one operand. As pandas and numpy do for
// their masks, the truth value is refused and the operators named.
int Query_bool(PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "the truth value of a PyQueryExpr is ambiguous: combine queries with & (and), "
                  "| (or) and ~ (not), not with 'and', 'or', 'not' or 'if'");
  return -1;
}

PyObject* Query_invert(PyObject* self) {
  return guarded([&] {
    return wrap(
        QueryExpr::node(QueryKind::Not, {reinterpret_cast<PyQueryExprObject*>(self)->expr}));
  });
}

// Pickling and copying. A tree is written as a list of steps, each building
// one distinct node with the public builders from the nodes before it:
// (builder, attr, values) for a leaf, (builder, child positions) for and_,
// or_ and not_. Shared subtrees are written once, and neither writing nor
// reading recurses.
bool is_node(QueryKind kind) {
  return kind == QueryKind::And || kind == QueryKind::Or || kind == QueryKind::Not;
}

PyRef step_of(const QueryExpr& node, const absl::flat_hash_map<const QueryExpr*, Py_ssize_t>& at) {
  const char* builder = QUERY_BUILDER_NAMES[static_cast<int>(node.kind)];
  if (is_node(node.kind)) {
    PyRef positions =
        PyRef::steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(node.children.size())));
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      PyTuple_SET_ITEM(positions.get(), static_cast<Py_ssize_t>(i),
                       PyLong_FromSsize_t(at.at(node.children[i].get())));
      if (PyTuple_GET_ITEM(positions.get(), static_cast<Py_ssize_t>(i)) == nullptr) {
        throw PyErr::fetch();
      }
    }
    return PyRef::steal_or_throw(Py_BuildValue("(sO)", builder, positions.get()));
  }
  PyRef values = PyRef::steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(node.values.size())));
  for (std::size_t i = 0; i < node.values.size(); ++i) {
    PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i),
                     node.values[i].to_object().release());
  }
  std::string_view attr = node.attr.view();
  return PyRef::steal_or_throw(Py_BuildValue("(ss#O)", builder, attr.data(),
                                             static_cast<Py_ssize_t>(attr.size()), values.get()));
}

PyObject* Query_pickle(PyObject* self, PyObject*) {
  return guarded([&] {
    const QueryRef& root = reinterpret_cast<PyQueryExprObject*>(self)->expr;
    absl::flat_hash_map<const QueryExpr*, Py_ssize_t> at;
    PyRef steps = PyRef::steal_or_throw(PyList_New(0));
    // Depth first; a node is written once all its children are.
    std::vector<std::pair<const QueryExpr*, bool>> stack{{root.get(), false}};
    while (!stack.empty()) {
      auto [node, children_done] = stack.back();
      stack.pop_back();
      if (at.contains(node)) continue;
      if (!children_done && !node->children.empty()) {
        stack.push_back({node, true});
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
          stack.push_back({it->get(), false});
        }
        continue;
      }
      PyRef step = step_of(*node, at);
      at.emplace(node, PyList_GET_SIZE(steps.get()));
      if (PyList_Append(steps.get(), step.get()) < 0) throw PyErr::fetch();
    }
    PyRef restore = PyRef::steal_or_throw(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(QUERY_TYPE), "_from_steps"));
    return PyRef::steal_or_throw(Py_BuildValue("(O(O))", restore.get(), steps.get()));
  });
}

// Rebuilds a tree from its steps by calling the builders, which check
// every argument as they do for any caller.
PyObject* Query_from_steps(PyObject* cls, PyObject* steps) {
  return guarded([&] {
    std::vector<PyRef> built;
    constexpr const char* FROM_STEPS = "PyQueryExpr._from_steps()";
    for (const PyRef& step : extract_iterable(steps, FROM_STEPS, "steps")) {
      PyObject* s = step.get();
      if (!PyTuple_Check(s) || PyTuple_GET_SIZE(s) < 2 || PyTuple_GET_SIZE(s) > 3) {
        throw PyErr(PyExc_ValueError, "malformed query step");
      }
      std::string_view name = extract_str(PyTuple_GET_ITEM(s, 0), "steps");
      auto kind = std::find(std::begin(QUERY_BUILDER_NAMES), std::end(QUERY_BUILDER_NAMES), name);
      if (kind == std::end(QUERY_BUILDER_NAMES) ||
          is_node(static_cast<QueryKind>(kind - std::begin(QUERY_BUILDER_NAMES))) !=
              (PyTuple_GET_SIZE(s) == 2)) {
        throw PyErr(PyExc_ValueError, "malformed query step");
      }
      PyRef builder = PyRef::steal_or_throw(PyObject_GetAttrString(cls, *kind));
      std::vector<PyRef> args;
      if (PyTuple_GET_SIZE(s) == 2) {
        for (const PyRef& position : extract_iterable(PyTuple_GET_ITEM(s, 1), FROM_STEPS, "ints")) {
          Py_ssize_t i = PyLong_AsSsize_t(position.get());
          if (i == -1 && PyErr_Occurred()) throw PyErr::fetch();
          if (i < 0 || static_cast<std::size_t>(i) >= built.size()) {
            throw PyErr(PyExc_ValueError, "malformed query step");
          }
          args.push_back(built[static_cast<std::size_t>(i)]);
        }
      } else {
        args.push_back(PyRef::borrow(PyTuple_GET_ITEM(s, 1)));
        PyObject* values = PyTuple_GET_ITEM(s, 2);
        if (name == "in_") {
          args.push_back(PyRef::borrow(values));
        } else {
          for (PyRef& value : extract_iterable(values, FROM_STEPS, "values")) {
            args.push_back(std::move(value));
          }
        }
      }
      PyRef call_args = PyRef::steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
      for (std::size_t i = 0; i < args.size(); ++i) {
        PyTuple_SET_ITEM(call_args.get(), static_cast<Py_ssize_t>(i), args[i].release());
      }
      built.push_back(
          PyRef::steal_or_throw(PyObject_Call(builder.get(), call_args.get(), nullptr)));
    }
    if (built.empty()) throw PyErr(PyExc_ValueError, "malformed query step");
    return std::move(built.back());
  });
}

// The collector sees the values of the nodes that this query alone holds
// (a subtree shared with another query, or with a call in progress, shows
// none, which only keeps its values alive). Queries change only with the GIL
// held, so both of the collector's readings agree.
int Query_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const QueryRef& root = reinterpret_cast<PyQueryExprObject*>(self)->expr;
  if (root == nullptr || root.use_count() != 1) return 0;
  std::vector<const QueryExpr*> stack{root.get()};
  while (!stack.empty()) {
    const QueryExpr* node = stack.back();
    stack.pop_back();
    for (const PyValue& value : node->values) {
      if (value.reference() && value.reference().use_count() == 1) Py_VISIT(value.object());
    }
    for (const QueryRef& child : node->children) {
      if (child.use_count() == 1) stack.push_back(child.get());
    }
  }
  return 0;
}

// Breaks a cycle through the query: it becomes and_() of nothing (which
// matches everything), a valid query still.
int Query_clear(PyObject* self) {
  return guarded_call(-1, [&] {
    static const QueryRef EMPTY = QueryExpr::node(QueryKind::And, {});
    QueryRef old = std::exchange(reinterpret_cast<PyQueryExprObject*>(self)->expr, EMPTY);
    return 0;  // `old` goes last, once the object holds the empty query
  });
}

// The expression that builds the query, values by their repr. A value's
// repr may be Python code: no native lock is held here, and a value whose
// repr shows this very query sees it as `...` (as a list holding itself).
PyObject* Query_repr(PyObject* self) {
  return guarded([&] {
    ReprScope scope(self);
    if (scope.reentered()) return PyRef::steal_or_throw(PyUnicode_FromString("..."));
    const std::string text = reinterpret_cast<PyQueryExprObject*>(self)->expr->text(
        [](std::string_view attr) {
          PyRef name = str_from_utf8(attr);
          return repr_text(name.get());
        },
        [](const PyValue& value) { return repr_text(value.to_object().get()); });
    return str_from_utf8(text);
  });
}

constexpr char QUERY_NAME[] = "PyQueryExpr";

constexpr char EQ[] = "PyQueryExpr.eq()", NE[] = "PyQueryExpr.ne()", GT[] = "PyQueryExpr.gt()",
               GE[] = "PyQueryExpr.ge()", LT[] = "PyQueryExpr.lt()", LE[] = "PyQueryExpr.le()",
               SW[] = "PyQueryExpr.starts_with()", EW[] = "PyQueryExpr.ends_with()",
               CO[] = "PyQueryExpr.contains()", AND[] = "PyQueryExpr.and_()",
               OR[] = "PyQueryExpr.or_()";

// The docstrings of PyQueryExpr: the text signature, then what each builder
// matches, returns and raises; none releases the GIL.
PyDoc_STRVAR(QUERY_DOC,
             "An immutable query expression, made by the static methods of this class and "
             "run by reduced_query.\n\n"
             "A leaf names an attribute, or a dotted path through attributes that hold "
             "Indexable objects ('owner.name'), and a value. A list, tuple or set value stands "
             "for its elements: its holder matches when one of them does. and_, or_ and not_ "
             "combine expressions (so do the operators &, | and ~), which may be shared and "
             "reused; a query has no truth value (and, or, not and if raise TypeError naming "
             "the operators). repr() shows the builder calls that make it, e.g. "
             "Q.and_(Q.eq('maker', 'Kia'), Q.gt('price', 1)). A PyQueryExpr cannot be "
             "constructed (TypeError) or subclassed.");

#define RETURNS_EXPR "Returns a new PyQueryExpr.\n"
#define VALUE_RAISES                                                                  \
  "Raises TypeError when attr is not a str; OverflowError, TypeError or ValueError, " \
  "naming the attribute, for a value that cannot be indexed.\n"
#define RANGE_RAISES                                                                      \
  "Raises TypeError when attr is not a str, or, naming the attribute, when value has no " \
  "order (None, a bool, a container, an object of another kind); OverflowError or "       \
  "ValueError, naming the attribute, for a value that cannot be indexed.\n"
#define TREE_RAISES                                                                 \
  "Raises TypeError when an argument is not a PyQueryExpr or is given by keyword; " \
  "RecursionError when the result would be nested deeper than 1000 levels.\n"
#define KEEPS_GIL "Keeps the GIL: it only builds the expression."
#define COMPARISON_DOC(name, op)                                                               \
  name "(attr, value)\n--\n\n"                                                                 \
       "Matches the objects whose attribute attr is " op                                       \
       " value and of the same order: a number of any kind (not bool; exactly, a NaN matches " \
       "nothing), a str (by code point), or a date, naive datetime, aware datetime (by "       \
       "instant), naive time, aware time or timedelta of the same family as value. Values of " \
       "other orders match nothing.\n" RETURNS_EXPR RANGE_RAISES KEEPS_GIL
#define TEXT_DOC(name, does)                                                                  \
  name "(attr, value)\n--\n\n"                                                                \
       "Matches the objects whose attribute attr is a str that " does                         \
       " the str value; the empty string matches every str.\n" RETURNS_EXPR                   \
       "Raises TypeError when attr or value is not a str; ValueError, naming the attribute, " \
       "when value cannot be encoded as UTF-8.\n" KEEPS_GIL

PyDoc_STRVAR(EQ_DOC,
             "eq(attr, value)\n--\n\n"
             "Matches the objects whose attribute attr equals value as Python compares them: "
             "numbers of every kind by exact value (1 == 1.0 == Decimal(1) == Fraction(1), "
             "Decimal('0.1') != 0.1), a str (or str subclass) by text, dates, datetimes, times "
             "and timedeltas by value within their family (an aware datetime by instant, never "
             "equal to a naive one), a bool only a bool, any other kind only the very same "
             "object; a NaN matches nothing.\n" RETURNS_EXPR VALUE_RAISES KEEPS_GIL);
PyDoc_STRVAR(NE_DOC,
             "ne(attr, value)\n--\n\n"
             "Matches the objects that eq(attr, value) does not match, those without "
             "the attribute included.\n" RETURNS_EXPR VALUE_RAISES KEEPS_GIL);
PyDoc_STRVAR(GT_DOC, COMPARISON_DOC("gt", ">"));
PyDoc_STRVAR(GE_DOC, COMPARISON_DOC("ge", ">="));
PyDoc_STRVAR(LT_DOC, COMPARISON_DOC("lt", "<"));
PyDoc_STRVAR(LE_DOC, COMPARISON_DOC("le", "<="));
PyDoc_STRVAR(BT_DOC,
             "bt(attr, lower, upper)\n--\n\n"
             "Matches the objects whose attribute attr is from lower to upper, both included, "
             "and of their order (as for gt); None for one bound leaves that side open; "
             "nothing when lower > upper.\n" RETURNS_EXPR
             "Raises TypeError when attr is not a str, or, naming the attribute, when both "
             "bounds are None, a bound has no order, or the bounds are of different orders (a "
             "number and a str, a date and a datetime, a naive and an aware datetime); "
             "OverflowError or ValueError, naming the attribute, for a bound that cannot be "
             "indexed.\n" KEEPS_GIL);
PyDoc_STRVAR(
    IN_DOC,
    "in_(attr, values)\n--\n\n"
    "Matches the objects that eq(attr, v) matches for any v of the iterable values "
    "(a list, tuple, set, range, generator...); an empty one matches nothing.\n" RETURNS_EXPR
    "Raises TypeError when attr is not a str, or values is a str or not iterable; "
    "OverflowError, TypeError or ValueError, naming the attribute, for a value that "
    "cannot be indexed.\n" KEEPS_GIL);
PyDoc_STRVAR(AND_DOC,
             "and_(*exprs)\n--\n\n"
             "Matches the objects every expression matches; with none, every "
             "object.\n" RETURNS_EXPR TREE_RAISES KEEPS_GIL);
PyDoc_STRVAR(OR_DOC,
             "or_(*exprs)\n--\n\n"
             "Matches the objects at least one expression matches; with none, no "
             "object.\n" RETURNS_EXPR TREE_RAISES KEEPS_GIL);
PyDoc_STRVAR(NOT_DOC,
             "not_(exprs)\n--\n\n"
             "Matches the objects of the index or view queried that exprs does not "
             "match.\n" RETURNS_EXPR
             "Raises TypeError when exprs is not a PyQueryExpr; RecursionError when "
             "the result would be nested deeper than 1000 levels.\n" KEEPS_GIL);
PyDoc_STRVAR(STARTS_WITH_DOC, TEXT_DOC("starts_with", "starts with"));
PyDoc_STRVAR(ENDS_WITH_DOC, TEXT_DOC("ends_with", "ends with"));
PyDoc_STRVAR(CONTAINS_DOC, TEXT_DOC("contains", "contains"));

#undef RETURNS_EXPR
#undef VALUE_RAISES
#undef RANGE_RAISES
#undef TREE_RAISES
#undef KEEPS_GIL
#undef COMPARISON_DOC
#undef TEXT_DOC

constexpr int STATIC_FAST = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef QUERY_METHODS[] = {
    {"eq", QUORVANE_FAST((leaf_builder<QueryKind::Eq, EQ>)), STATIC_FAST, EQ_DOC},
    {"ne", QUORVANE_FAST((leaf_builder<QueryKind::Ne, NE>)), STATIC_FAST, NE_DOC},
    {"gt", QUORVANE_FAST((leaf_builder<QueryKind::Gt, GT>)), STATIC_FAST, GT_DOC},
    {"ge", QUORVANE_FAST((leaf_builder<QueryKind::Ge, GE>)), STATIC_FAST, GE_DOC},
    {"le", QUORVANE_FAST((leaf_builder<QueryKind::Le, LE>)), STATIC_FAST, LE_DOC},
    {"bt", QUORVANE_FAST(bt_builder), STATIC_FAST, BT_DOC},
    {"lt", QUORVANE_FAST((leaf_builder<QueryKind::Lt, LT>)), STATIC_FAST, LT_DOC},
    {"in_", QUORVANE_FAST(in_builder), STATIC_FAST, IN_DOC},
    {"and_", QUORVANE_FAST((combinator<QueryKind::And, AND>)), STATIC_FAST, AND_DOC},
    {"or_", QUORVANE_FAST((combinator<QueryKind::Or, OR>)), STATIC_FAST, OR_DOC},
    {"not_", QUORVANE_FAST(not_builder), STATIC_FAST, NOT_DOC},
    {"starts_with", QUORVANE_FAST((leaf_builder<QueryKind::StartsWi, SW>)), STATIC_FAST,
     STARTS_WITH_DOC},
    {"ends_with", QUORVANE_FAST((leaf_builder<QueryKind::EndsWi, EW>)), STATIC_FAST, ENDS_WITH_DOC},
    {"contains", QUORVANE_FAST((leaf_builder<QueryKind::Contains, CO>)), STATIC_FAST, CONTAINS_DOC},
    {"__reduce__", Query_pickle, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the query as the steps that build it."},
    {"_from_steps", Query_from_steps, METH_O | METH_CLASS,
     "_from_steps($cls, steps)\n--\n\nRebuilds a pickled query from its steps."},
    {nullptr, nullptr, 0, nullptr},
};
#undef QUORVANE_FAST

PyType_Slot QUERY_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(QUERY_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<QUERY_NAME>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(
                        native_dealloc<PyQueryExprObject, QueryRef, &PyQueryExprObject::expr>)},
    {Py_tp_repr, reinterpret_cast<void*>(Query_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(Query_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Query_clear)},
    {Py_tp_methods, QUERY_METHODS},
    {Py_nb_and, reinterpret_cast<void*>(combine_operator<QueryKind::And>)},
    {Py_nb_or, reinterpret_cast<void*>(combine_operator<QueryKind::Or>)},
    {Py_nb_invert, reinterpret_cast<void*>(Query_invert)},
    {Py_nb_bool, reinterpret_cast<void*>(Query_bool)},
    {0, nullptr},
};

PyType_Spec QUERY_SPEC = {"Quorvane.PyQueryExpr", static_cast<int>(sizeof(PyQueryExprObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          QUERY_SLOTS};

}  // namespace

std::vector<QueryRef> keyword_conditions(const BoundArgs& bound) {
  std::vector<QueryRef> conditions;
  conditions.reserve(bound.keywords.size());
  for (const Keyword& keyword : bound.keywords) {
    std::string_view path = extract_str(keyword.name, "kwargs");
    // `count(query=q)` would ask for objects whose attribute 'query' is q
    // itself, and quietly find none.
    if (PyObject_TypeCheck(keyword.value, QUERY_TYPE)) {
      throw_type_error("keyword '" + std::string(path) +
                       "' is given a PyQueryExpr: keywords are equalities (name=value); pass a "
                       "query positionally, as the first argument");
    }
    conditions.push_back(QueryExpr::leaf(QueryKind::Eq, path,
                                         PyValue::from_object(keyword.value, path),
                                         leaf_attr_id(keyword.name, path)));
  }
  return conditions;
}

bool keyword_keys(const BoundArgs& bound, EqualKeys& keys) {
  keys.clear();
  for (const Keyword& keyword : bound.keywords) {
    // The same keys as the converted values would give: an exact str is its
    // UTF-8 text, an exact int or float its number (a NaN equals nothing).
    auto text = [](PyObject* obj) -> std::optional<std::string_view> {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
      if (data == nullptr) {
        PyErr_Clear();  // reported by the conversion that follows
        return std::nullopt;
      }
      return std::string_view(data, static_cast<std::size_t>(size));
    };
    auto attr = PyUnicode_Check(keyword.name) ? text(keyword.name) : std::nullopt;
    if (!attr) return false;
    EqualKey key{*attr, IndexedAs::Nothing};
    key.attr_id = leaf_attr_id(keyword.name, *attr);
    PyObject* value = keyword.value;
    if (PyUnicode_CheckExact(value)) {
      auto utf8 = text(value);
      if (!utf8 || utf8->empty()) return false;
      key.kind = IndexedAs::Text;
      key.text = *utf8;
    } else if (PyLong_CheckExact(value)) {
      int overflow = 0;
      const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
      }
      key.kind = IndexedAs::Number;
      key.number = numeric_key(static_cast<int64_t>(n));
    } else if (PyFloat_CheckExact(value)) {
      const double d = PyFloat_AS_DOUBLE(value);
      if (!std::isnan(d)) {
        key.kind = IndexedAs::Number;
        key.number = numeric_key(d);
      }
    } else {
      return false;
    }
    keys.push_back(key);
  }
  return true;
}

const QueryRef& query_arg(PyObject* obj, const char* param) {
  return extract_instance<PyQueryExprObject>(obj, QUERY_TYPE, "PyQueryExpr", param)->expr;
}

PyTypeObject* query_type() noexcept {
  return QUERY_TYPE;
}

PyTypeObject* create_query_type() {
  return create_type_once(QUERY_TYPE, QUERY_SPEC);
}

std::vector<QueryRef> query_and_keywords(const char* full_name, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{.full_name = full_name,
                      .params = {"query"},
                      .collects_kwargs = true,
                      .required = 0,
                      .positional_only = true};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  std::vector<QueryRef> conditions = keyword_conditions(bound);
  if (bound[0] != nullptr) conditions.push_back(query_arg(bound[0], "query"));
  return conditions;
}

}  // namespace quorvane
