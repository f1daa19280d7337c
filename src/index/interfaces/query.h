// PyQueryExpr: the Python class whose instances each hold one immutable
// query tree, built with its fourteen static methods.
#pragma once

#include "index/core/query/query_expr.h"
#include "python/py_ref.h"

namespace quorvane {

struct PyQueryExprObject {
  PyObject_HEAD QueryExpr expr;
};

// Creates the PyQueryExpr class (once per process); needs the GIL.
PyTypeObject* create_query_type();
PyTypeObject* query_type() noexcept;

}  // namespace quorvane
