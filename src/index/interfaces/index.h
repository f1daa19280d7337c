// The Python classes Index and FilteredIndex: thin handles on the native
// engine and on its views.
#pragma once

#include <memory>

#include "index/core/index.h"

namespace quorvane {

struct IndexObject {
  PyObject_HEAD std::shared_ptr<IndexAPI> api;
};

struct FilteredIndexObject {
  PyObject_HEAD FilteredView view;
};

PyTypeObject* create_index_type();
PyTypeObject* create_filtered_index_type();
PyTypeObject* index_type() noexcept;
PyTypeObject* filtered_index_type() noexcept;

// Wraps an engine / a view in a new Python object.
PyRef wrap_index(std::shared_ptr<IndexAPI> api);
PyRef wrap_view(FilteredView view);

// Index.add_object_many and Index.union_with (bulk_add.cpp, union.cpp).
PyObject* Index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* Index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// The keyword arguments of a call as equality conditions (GIL held).
std::vector<QueryExpr> kwargs_to_query(PyObject* kwargs);
// The objects of a view as a new Python list, ascending id.
PyRef collect_list(const FilteredView& view);
PyRef object_list(const std::vector<StoredItem>& objects);

}  // namespace quorvane
