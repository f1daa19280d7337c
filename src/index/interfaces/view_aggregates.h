// The aggregate and plan methods that Index, FilteredIndex and OrderedView
// share: min, max, sum and mean of an attribute, answered from its value
// index, and explain, the plan a query's evaluation took.
#pragma once

#include "index/core/filtered_index.h"
#include "python/py_ref.h"

namespace quorvane {

class IndexAPI;

enum class Aggregate { Min, Max, Sum, Mean };

// view.min(attribute, default=...), max, sum(attribute) and
// mean(attribute, default=...) for a method `full_name`.
PyRef aggregate_call(Aggregate kind, const FilteredView& view, const char* full_name,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// view.explain(query=None, /, **kwargs): the plan as text. `api`: the
// engine of an Index, whose count may answer small equalities without the
// planner (null for a view).
PyRef explain_call(const FilteredView& view, IndexAPI* api, const char* full_name,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvane

namespace quorvane {

// The docstrings of the shared methods, the same for every class.
extern const char MIN_DOC[];
extern const char MAX_DOC[];
extern const char SUM_DOC[];
extern const char MEAN_DOC[];
extern const char EXPLAIN_DOC[];

}  // namespace quorvane
