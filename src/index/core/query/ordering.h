// Ordering and facets: what one attribute's value buckets tell about a set
// of objects without building any object.
//
// Order of values: numbers of every kind ascending, then strings by code
// point (the empty string first), then False and True, then the temporal
// families one after the other, each ascending: dates, naive datetimes,
// aware datetimes (by instant), naive times, aware times, timedeltas.
// Descending reverses that order. Ties keep ascending id order, and objects
// whose value has no order (NaN, containers, Indexables, values of other
// kinds) or that lack the attribute come last, in ascending id order,
// whichever the direction.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "index/core/index.h"

namespace quorvane {

// The ids of `universe` at positions [offset, offset + limit) of its order by
// attribute `name`: a walk from the first value on that stops once the page
// is full. The caller holds the engine's `query_maps` shared.
std::vector<uint32_t> ordered_page(const MapVector& maps, std::string_view name,
                                   const Bitmap& universe, bool descending, uint64_t offset,
                                   uint64_t limit, bool whole = false);

// One distinct value of an attribute and the number of objects of a universe
// holding it (directly, or as an element of a container value).
struct Facet {
  std::variant<NumericKey, RationalKey, SmallStr, bool, TemporalKey, PyValue> value;
  uint64_t count;
};

// The facets of `universe` for attribute `name`, in the order of values
// (objects and other kinds last); values no object of the universe holds are
// left out. `whole`: the universe is every member and every id of the value
// sets is one (see FilteredView::is_whole_index). The caller holds the
// engine's `query_maps` shared.
std::vector<Facet> facets(const MapVector& maps, std::string_view name, const Bitmap& universe,
                          bool whole = false);

}  // namespace quorvane
