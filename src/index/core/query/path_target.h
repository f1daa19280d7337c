// PathTarget: where the values of an attribute, or of a dotted path such as
// "pos.zone.biome", are found for the objects of a universe: the map of the
// path's last segment, and which objects of the universe hold the values of
// its value sets' ids.
//
// An object holds a value through its attribute directly, through an element
// of its list, tuple or set value, or through the objects its path reaches
// (through containers too). A value is an object's "single" value when the
// object holds exactly one: no container anywhere on the path and one object
// reached at every step. Only single values order an object or add to a sum,
// as a container-valued attribute does neither.
#pragma once

#include <optional>
#include <string_view>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "index/core/index.h"

namespace quorvane {

// The map of attribute `name` among `maps` (the caller holds them), or null
// when the engine never indexed it.
const QueryMap* map_named(const MapVector& maps, std::string_view name);

class PathTarget {
 public:
  // Resolves `path` for `universe`, ids of the engine whose maps `scope`
  // reads. The caller holds that engine's query_maps shared and keeps
  // `universe` alive; a dotted path holds the reach engine's query_maps
  // shared while the target lives. The walk from the universe costs in
  // proportion to the objects the path reaches (a plain attribute without
  // containers costs nothing).
  PathTarget(const EvalScope& scope, std::string_view path, const Bitmap& universe);

  // The map of the last segment; null when no object of the universe can
  // hold a value through the path.
  const QueryMap* map() const noexcept { return map_; }
  // Whether a set's ids are objects of the universe themselves (a plain
  // attribute that never held a container): holders are then intersections.
  bool direct() const noexcept { return map_ != nullptr && !dotted_ && element_end_.empty(); }
  // Whether some object of the universe holds several values through the
  // path (a container, or several objects reached).
  bool has_plural() const noexcept { return plural_any_; }

  // The objects of the universe holding a value through the ids of `set`
  // (one of map()'s value sets); with `single_only`, only those for which
  // it is their single value.
  Bitmap holders(const HybridSet& set, bool single_only) const;
  Bitmap holders(const Bitmap& set, bool single_only) const;

 private:
  // Adds the holders of one id of a value set to `out`.
  void add_holders(uint32_t id, bool single_only, std::vector<uint32_t>& out) const;
  // Walks the containers of `ends` in `map_`: their element ids answer for
  // them.
  void record_elements(const std::vector<uint32_t>& ends);
  Bitmap finish(std::vector<uint32_t>& ids) const;

  const Bitmap& universe_;
  const QueryMap* map_ = nullptr;
  bool dotted_ = false;
  bool plural_any_ = false;
  Bitmap ends_;  // dotted: the objects of the reach engine the path ends on
  absl::flat_hash_map<uint32_t, uint32_t> element_end_;  // element id -> holder of its container
  Bitmap element_ids_;                                   // the keys of element_end_
  // Dotted: each end -> the objects of the universe reaching it, ascending.
  absl::flat_hash_map<uint32_t, absl::InlinedVector<uint32_t, 1>> owners_;
  Bitmap plural_;  // objects of the universe holding several values
  std::optional<ReadGuard<MapVector>> reach_maps_;
};

}  // namespace quorvane
