// The Python class Index: a thin handle on its native engine. Its bulk
// methods (add_object_many, union_with) are in bulk_add.cpp.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "index/core/index.h"

namespace quorvane {

struct IndexObject {
  PyObject_HEAD std::shared_ptr<IndexAPI> api;
};

PyTypeObject* create_index_type();
PyTypeObject* index_type() noexcept;

// Wraps an engine in a new Index object.
PyRef wrap_index(std::shared_ptr<IndexAPI> api);

// The `progress` argument of the bulk methods: calls progress(done, total)
// after the first part, then a few times a second at most, and always once
// everything is done, from
// the caller's thread with the GIL and no native lock held (see
// BatchProgress). A pending KeyboardInterrupt (or another signal's
// exception) is raised at every part, as the callback's own exception is.
class ProgressReporter {
 public:
  // `callback` is None (no reports) or a callable (TypeError naming
  // `param` otherwise); borrowed from the call.
  ProgressReporter(PyObject* callback, const char* param);

  // Whether there is a callback to report to.
  explicit operator bool() const noexcept { return callback_ != nullptr; }
  void operator()(std::size_t done, std::size_t total);

 private:
  PyObject* callback_;
  std::optional<std::chrono::steady_clock::time_point> last_;  // none before the first report
};

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
