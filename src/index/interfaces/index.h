// The Python class Index: a thin handle on its native engine. Its bulk
// methods (add_object_many, union_with) are in bulk_add.cpp.
#pragma once

#include <memory>

#include "index/core/index.h"

namespace quorvane {

struct IndexObject {
  PyObject_HEAD std::shared_ptr<IndexAPI> api;
};

PyTypeObject* create_index_type();
PyTypeObject* index_type() noexcept;

// Wraps an engine in a new Index object.
PyRef wrap_index(std::shared_ptr<IndexAPI> api);

// The items of an iterable of Indexables (a list, a generator...), all taken
// and checked before the caller changes anything: TypeError, worded for the
// method `full_name`, for a str, a non-iterable or an item that is not an
// Indexable (bulk_add.cpp).
std::vector<StoredItem> indexable_items(PyObject* objs, const char* full_name);

// Index.add_object_many and Index.union_with (bulk_add.cpp).
PyObject* Index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* Index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace quorvane
