// Ordering and facets: what attributes' value buckets tell about a set of
// objects without building any object.
//
// Order of values: numbers of every kind ascending, then strings by code
// point (the empty string first), then False and True, then the temporal
// families one after the other, each ascending: dates, naive datetimes,
// aware datetimes (by instant), naive times, aware times, timedeltas.
// Descending reverses that order. Ties keep ascending id order, and objects
// whose value has no order (NaN, containers, Indexables, values of other
// kinds) or that lack the attribute come last, in ascending id order,
// whichever the direction.
//
// Attributes may be dotted paths ("pos.zone.biome"): an object orders by the
// value its path reaches when it reaches exactly one (see PathTarget); one
// whose path passes a list, tuple or set, or reaches several objects, has no
// single value and comes last, as a container-valued attribute does. Facets
// count an object once for each distinct value it reaches.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/core/index.h"
#include "index/core/query/value_walk.h"

namespace quorvane {

// One key of an order: an attribute (or dotted path) and its direction.
struct SortKey {
  std::string path;
  bool descending = false;
};

// The ids of `universe` at positions [offset, offset + limit) of its order by
// `keys`: by the first key, ties by the next keys in turn, then by id. The
// first key's value index is walked from its first value on and the walk
// stops once the page is full; a tie group is ordered by the next key only
// when the page reaches into it. `whole`: the universe is every member and
// every id of the value sets is one (see FilteredView::is_whole_index). The
// caller holds the engine's `query_maps` shared. Works with a stack of its
// own, not recursion, whatever the number of keys.
std::vector<uint32_t> ordered_page(const EvalScope& scope, std::span<const SortKey> keys,
                                   const Bitmap& universe, uint64_t offset, uint64_t limit,
                                   bool whole = false);

// One distinct value of an attribute and the number of objects of a universe
// holding it (directly, or as an element of a container value).
struct Facet {
  FacetValue value;
  uint64_t count;
};

// The facets of `universe` for attribute (or dotted path) `path`, in the
// order of values (objects and other kinds last); values no object of the
// universe holds are left out. `whole` as for ordered_page. The caller holds
// the engine's `query_maps` shared.
std::vector<Facet> facets(const EvalScope& scope, std::string_view path, const Bitmap& universe,
                          bool whole = false);

// The facets of several attributes together: each combination of values
// (one per attribute, as indexes into `values`) and the number of objects of
// the universe holding all of them. An object lacking one of the attributes
// is not counted; one holding several values of an attribute counts once
// for each combination. Combinations come in the order of their values,
// the first attribute's first.
struct FacetTable {
  std::vector<std::vector<FacetValue>> values;  // per attribute, in the order of values
  std::vector<std::pair<std::vector<uint32_t>, uint64_t>> counts;
};
FacetTable combined_facets(const EvalScope& scope, std::span<const std::string> paths,
                           const Bitmap& universe);

}  // namespace quorvane
