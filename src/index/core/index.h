// IndexAPI: the engine behind every Index and every nested index.
//
// It holds the objects added to it (`items`, indexed by object id), one
// QueryMap per attribute id (`query_maps`), the set of member ids, and the
// links from its objects to the objects of its parent engine that hold them
// as attribute values (`parent_links`, for nested engines).
//
// Locks, in the order one operation may hold them together:
//   object locks (membership list, then attributes; see indexable.h)
//   -> member_ids or items (each taken and released alone)
//   -> query_maps (shared; exclusive only to install a new map)
//   -> the locks inside one QueryMap
//   -> a nested engine's parent_links, then the nested engine's own locks.
// A parent engine's locks come before a nested engine's. Views share
// `query_maps` and `items`, never the engine itself. Bulk writers and unions,
// which wait for object locks while they write, hold no lock of `query_maps`
// then: a thread holding an object's lock may need it to install a map (an
// object added with an attribute this engine has no map for yet).
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "index/core/filtered_index.h"
#include "index/core/query/query_expr.h"
#include "index/core/query/query_map.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/m2m/m2m_u32.h"
#include "index/indexable.h"
#include "util/lock.h"

namespace quorvane {

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});

  // Adds the object `item` (whose native record is `rec`) with all its
  // attribute values. The caller has registered this engine in the object's
  // membership list. No GIL needed (taken briefly for container values).
  void add_object(const StoredItem& item, const Indexable& rec);
  // Objects ready to add: each distinct object once, with its container
  // values walked (other values are read when the object is added).
  struct PreparedObject {
    StoredItem item;
    const Indexable* rec;
    // Most objects hold at most one container: no allocation for it.
    absl::InlinedVector<std::pair<uint32_t, PreparedValue>, 1> containers;
  };
  struct PreparedBatch {
    std::vector<PreparedObject> objects;
    std::vector<uint32_t> attrs;  // every attribute id met
  };
  // Best called with the GIL held (containers are walked with it); throws,
  // changing nothing, when a value cannot be converted.
  static PreparedBatch prepare_objects(const std::vector<StoredItem>& batch);
  // Adds prepared objects with all their values, taking the engine's locks
  // once and writing values through bulk writers. No GIL needed.
  void add_objects(const PreparedBatch& batch);
  // Creates the maps of these attributes if missing, so that no map has to be
  // installed while an object's lock is held.
  void ensure_maps(const std::vector<uint32_t>& attrs);
  // Indexes one attribute value of object `id`.
  void add_index(uint32_t id, uint32_t attr, const PyValue& value);
  void add_prepared(uint32_t id, uint32_t attr, const PreparedValue& value);
  // Removes one attribute value of object `id` (the object stays a member).
  void remove_index(uint32_t id, uint32_t attr, const PyValue& value);
  // Removes an object completely: its values, membership and item.
  void remove_object(uint32_t id, const Indexable& rec);

  // References to every member's object in ascending id order.
  std::vector<StoredItem> members();
  // Views of the members satisfying all `conditions` / `query`.
  FilteredView reduced(const std::vector<QueryExpr>& conditions);
  FilteredView reduced_query(const QueryExpr& query);
  // The ids of the members satisfying `query`.
  Bitmap evaluate(const QueryExpr& query);
  // Narrows the engine in place to the members in `keep`, carrying the
  // narrowing into nested engines.
  void keep_only_from_bitmap(const Bitmap& keep);
  // Keeps only members satisfying all `conditions`.
  void reduce(const std::vector<QueryExpr>& conditions);

  // Merges `other` into this engine (`other` is read, never changed).
  void union_with(IndexAPI& other);
  // Called by an assignment (holding the object's attribute lock) before it
  // updates any engine: while a union brings the object into this engine,
  // the values involved are noted so that values the union copied from the
  // other index before the assignment are put right afterwards.
  void note_assignment(uint32_t id, uint32_t attr, const PyValue* old, const PyValue& value);

  std::shared_ptr<RwLock<MapVector>> query_maps;
  std::shared_ptr<RwLock<ItemTable>> items;
  RwLock<Bitmap> member_ids;
  RwLock<M2MU32> parent_links;
  const std::weak_ptr<IndexAPI> parent;

  explicit IndexAPI(std::weak_ptr<IndexAPI> parent);

 private:
  struct UnionLog {
    bool active = false;
    Bitmap incoming;
    absl::flat_hash_map<uint32_t, std::vector<std::pair<uint32_t, PyValue>>> values;
  };
  // The batch's attributes in groups, each written by its own thread (one
  // group for a small batch; none without attributes).
  static std::vector<std::vector<uint32_t>> split_attributes(
      const PreparedBatch& batch, const absl::flat_hash_map<uint32_t, std::size_t>& element_counts);
  // Writes the values of `entries` for the attributes of group `me` (1-based;
  // `owner[attr]` names each attribute's group). Group 1 also writes the
  // attributes assigned since the batch was prepared. Nested work is queued
  // in `deferred`.
  void write_values(const std::vector<PreparedObject>& entries, std::vector<uint32_t> attrs,
                    const std::vector<uint8_t>& owner, uint8_t me,
                    absl::flat_hash_map<uint32_t, std::size_t> element_counts,
                    std::vector<std::function<void()>>& deferred);
  // Puts right the objects assigned while the last union ran.
  void repair_after_union(
      absl::flat_hash_map<uint32_t, std::vector<std::pair<uint32_t, PyValue>>> changes);

  std::atomic<bool> union_active_{false};
  Mutex<UnionLog> union_log_;
  // Held for a whole union into this engine: unions into one engine take turns.
  Mutex<bool> union_turn_;

  // The map of `attr`, created when missing; stable while query_maps is held.
  QueryMap& map_for(ReadGuard<MapVector>& maps, uint32_t attr);
  // The same without holding query_maps afterwards. A map is never removed
  // from a live engine, so the reference stays valid; this is how a thread
  // that may wait for an object's lock keeps maps at hand, since a thread
  // holding an object's lock may need query_maps exclusively to install a map.
  QueryMap& map_of(uint32_t attr);
  void narrow_map(QueryMap& map, const Bitmap& keep, const Bitmap& removed);
};

// The process-wide default engine (never holds objects).
const std::shared_ptr<IndexAPI>& default_index();

}  // namespace quorvane
