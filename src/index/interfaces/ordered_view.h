// The Python class OrderedView: the objects of a view in the order of one or
// more attributes' values, paged by limit and offset; and the ordering,
// counting and facet methods that Index and FilteredIndex share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index/core/query/ordering.h"
#include "index/interfaces/filtered_index.h"

namespace quorvane {

// A page of a view's order: `limit` objects from position `offset` (no limit:
// UINT64_MAX).
struct Ordering {
  IndexView source;           // the view ordered, and its index
  std::vector<SortKey> keys;  // at least one
  uint64_t offset = 0;
  uint64_t limit = UINT64_MAX;
};

struct OrderedViewObject {
  PyObject_HEAD Ordering ordering;
};

PyTypeObject* create_ordered_view_type();

// The ids at positions [start, start + count) of the page, in order, read
// by the index's clock (see read_values_deferred: the caller drains the
// releases queued meanwhile once it holds no lock).
std::vector<uint32_t> page_ids(const Ordering& o, uint64_t start, uint64_t count);
// Whether the page is the whole order of its view (no offset, no limit).
inline bool is_whole_order(const Ordering& o) {
  return o.offset == 0 && o.limit == UINT64_MAX;
}

// A facet's value as the Python object it stands for (GIL held).
PyRef facet_object(const FacetValue& value);

// view.order_by(*keys, descending=False) for a method `full_name`; `index`
// is the Index the view reads. A key is "name" or "-name" (descending), or
// a tuple (name, "asc" | "desc"); `descending` gives the direction of the
// keys that name none. order_by(name, flag), with a flag that is no key,
// stands for order_by(name, descending=flag).
PyRef order_by_call(FilteredView view, PyObject* index, const char* full_name,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// view.count_by(*attributes, query=None): {value: number of objects}, or
// {(value, ...): number of objects} for several attributes.
PyRef count_by_call(const FilteredView& view, const char* full_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvane
