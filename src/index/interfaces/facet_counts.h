// FacetCounts: what count_by answers when some of the values it counts have
// no hash (objects that compare by their fields, such as dataclass
// instances, which an index matches by identity): a read-only mapping in
// which such values are keys by identity and the others as in a dict.
#pragma once

#include <utility>
#include <vector>

#include "python/py_ref.h"

namespace quorvane {

// Creates the FacetCounts class (once per process); needs the GIL.
PyObject* create_facet_counts_type();

// {value: count} for `pairs` in order: a dict, or a FacetCounts when a value
// has no hash. Counts of values that are one key (True and 1, say) add up.
PyRef counts_mapping(const std::vector<std::pair<PyRef, PyRef>>& pairs);

}  // namespace quorvane
