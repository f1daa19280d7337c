// Projection and export of the objects of an Index, a FilteredIndex or an
// OrderedView: values(), to_dicts(), to_pandas() and to_arrow(), which read
// the objects' stored attributes directly, in the view's order.
#pragma once

#include "index/interfaces/ordered_view.h"

namespace quorvane {

// The objects an export reads: a view's, in ascending id order, or the page
// of an order (`ordering` not null; its view is `view`).
struct ExportSource {
  const FilteredView& view;
  const Ordering* ordering = nullptr;
};

// The methods, for a callable named `full_name` ("FilteredIndex.values()").
PyRef values_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames);
PyRef to_dicts_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames);
PyRef to_pandas_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames);
PyRef to_arrow_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames);

// The docstrings of the methods: of Index and FilteredIndex, and of
// OrderedView (which walks its order first).
extern const char VALUES_DOC[], ORDERED_VALUES_DOC[];
extern const char TO_DICTS_DOC[], ORDERED_TO_DICTS_DOC[];
extern const char TO_PANDAS_DOC[], ORDERED_TO_PANDAS_DOC[];
extern const char TO_ARROW_DOC[], ORDERED_TO_ARROW_DOC[];

}  // namespace quorvane
