// FilteredView: a narrowed, read-only view of an engine. Its membership is
// fixed when it is made; it holds its own references to its objects (so an
// object the engine drops later still collects), and it shares the engine's
// live value maps and reach engine, so refinements see the objects' current
// values.
#pragma once

#include <memory>
#include <vector>

#include "index/core/query/query_map.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/paged_array/paged_array.h"
#include "python/py_ref.h"
#include "util/lock.h"

namespace quorvane {

class IndexAPI;

// A strong reference to a Python object an engine holds. The object's native
// record is reached through the object itself.
using StoredItem = SharedPyRef;
using MapVector = std::vector<std::unique_ptr<QueryMap>>;  // null slot: attribute never indexed

// An engine's objects by id. Pages of slots are made as ids are used, so an
// engine of a few objects with high ids costs a few pages, not a slot per id.
class ItemTable {
 public:
  void store(uint32_t id, const StoredItem& item) { slots_.insert_or_assign(id, item); }
  // Removes and returns the object of `id` (empty if none).
  StoredItem take(uint32_t id) { return slots_.take(id); }
  // The object of `id`, or null.
  const StoredItem* find(uint32_t id) const { return slots_.find(id); }

 private:
  PagedArray<StoredItem, 9> slots_;
};

// References to the objects of `ids` in ascending id order. Takes `items`'
// read lock; an id without an object is an internal failure.
std::vector<StoredItem> objects_of(const RwLock<ItemTable>& items, const Bitmap& ids);

class FilteredView {
 public:
  FilteredView(std::shared_ptr<RwLock<MapVector>> query_maps, std::shared_ptr<IndexAPI> reach,
               const RwLock<ItemTable>& items, Bitmap ids)
      : query_maps_(std::move(query_maps)),
        reach_(std::move(reach)),
        objects_(objects_of(items, ids)),
        bitmap_(std::move(ids)) {}

  // The view of `ids`, which must be a subset of this view's ids.
  FilteredView narrowed(Bitmap ids) const;
  // Keeps `engine` (the one whose maps the view reads) alive with the view
  // and the views narrowed from it, so that its maps stay current: for a view
  // whose engine nothing else holds.
  void keep_engine(std::shared_ptr<IndexAPI> engine) { engine_ = std::move(engine); }

  const std::shared_ptr<RwLock<MapVector>>& query_maps() const noexcept { return query_maps_; }
  IndexAPI* reach() const noexcept { return reach_.get(); }
  const Bitmap& bitmap() const noexcept { return bitmap_; }
  // The view's objects in ascending id order.
  const std::vector<StoredItem>& objects() const noexcept { return objects_; }

 private:
  FilteredView(std::shared_ptr<RwLock<MapVector>> query_maps, std::shared_ptr<IndexAPI> reach,
               std::vector<StoredItem> objects, Bitmap ids)
      : query_maps_(std::move(query_maps)),
        reach_(std::move(reach)),
        objects_(std::move(objects)),
        bitmap_(std::move(ids)) {}

  std::shared_ptr<RwLock<MapVector>> query_maps_;
  std::shared_ptr<IndexAPI> reach_;
  std::vector<StoredItem> objects_;
  Bitmap bitmap_;
  std::shared_ptr<IndexAPI> engine_;  // null unless kept (see keep_engine)
};

}  // namespace quorvane
