// PyQueryExpr: the Python class whose instances each hold one immutable
// query tree (shared with the trees built from it), made by its fourteen
// static methods.
#pragma once

#include <optional>
#include <vector>

#include "index/core/query/equal_key.h"
#include "index/core/query/query_expr.h"
#include "python/arg_binding.h"
#include "python/py_ref.h"

namespace quorvane {

struct PyQueryExprObject {
  PyObject_HEAD QueryRef expr;
};

// The collected keyword arguments of a call as equality conditions (GIL
// held); a value that cannot be indexed raises its ordinary error, and a
// PyQueryExpr given as a keyword value (`count(query=q)`) TypeError.
std::vector<QueryRef> keyword_conditions(const BoundArgs& bound);

// The lookup keys of the collected keywords when every value is an exact
// int within 64 bits, float or non-empty str, read from the objects
// themselves without converting them, into `keys`; false otherwise (the
// conditions then come from keyword_conditions, which also reports bad values).
bool keyword_keys(const BoundArgs& bound, EqualKeys& keys);

// The conditions of a call `(query=None, /, **keywords)`, as every method
// taking a query takes them (count, reduce, reduced_query...): the keyword
// equalities, then the query when given. `full_name` names the method in
// binding errors.
std::vector<QueryRef> query_and_keywords(const char* full_name, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames);

// The query tree of a PyQueryExpr argument (TypeError naming `param`
// otherwise).
const QueryRef& query_arg(PyObject* obj, const char* param);

// Creates the PyQueryExpr class (once per process); needs the GIL.
PyTypeObject* create_query_type();
PyTypeObject* query_type() noexcept;

}  // namespace quorvane
