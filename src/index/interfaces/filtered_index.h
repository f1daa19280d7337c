// The Python class FilteredIndex: a read-only view of an engine, and the
// listing of objects that Index shares with it.
#pragma once

#include <span>
#include <vector>

#include "index/core/filtered_index.h"

namespace quorvane {

struct FilteredIndexObject {
  PyObject_HEAD FilteredView view;
};

PyTypeObject* create_filtered_index_type();
PyTypeObject* filtered_index_type() noexcept;

// Wraps a view in a new FilteredIndex object.
PyRef wrap_view(FilteredView view);

// The objects of a view as a new Python list, in ascending id order.
PyRef collect_list(const FilteredView& view);
// The objects of `ids` (some of the view's, in that order) as a new list.
PyRef collect_list(const FilteredView& view, std::span<const uint32_t> ids);

}  // namespace quorvane
