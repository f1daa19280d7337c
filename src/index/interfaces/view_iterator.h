// Iteration over Index, FilteredIndex and OrderedView: an iterator that
// takes its view's objects a batch at a time, so that the first object of a
// large view costs one batch, not a list of every object.
#pragma once

#include "index/interfaces/ordered_view.h"

namespace quorvane {

PyTypeObject* create_view_iterator_type();

// A new iterator over the objects of `source` in ascending id order.
PyRef iterate_view(IndexView source);
// A new iterator over the objects of the page `ordering`, in its order.
PyRef iterate_ordering(Ordering ordering);

}  // namespace quorvane
