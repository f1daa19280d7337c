// FilteredView: a narrowed, read-only view of an engine. Its membership is
// fixed when it is made (an object the engine drops later still collects),
// and it shares the engine's live value maps and reach engine, so
// refinements see the objects' current values.
//
// A view holds no reference per object: it shares the engine's item table
// and pins the table's current generation of retired objects (see
// ItemTable), so making a view costs the same for one hit as for a million.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/functional/function_ref.h"
#include "index/core/change_clock.h"
#include "index/core/query/query_map.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/paged_array/paged_array.h"
#include "index/stored_item.h"
#include "python/py_ref.h"
#include "util/lock.h"
#include "util/panic.h"

namespace quorvane {

class IndexAPI;

using MapVector = std::vector<std::unique_ptr<QueryMap>>;  // null slot: attribute never indexed

// The objects an engine dropped while views made before held their ids. Each
// view pins the generation current when it was made; a generation keeps the
// ones after it alive, so a view finds every object dropped since it was
// made. The table itself does not own a generation: once the last view of a
// generation goes, its objects go with it, and an object dropped while no
// view pins the current generation is not kept at all.
struct RetiredItems {
  absl::flat_hash_map<uint32_t, StoredItem> items;
  std::shared_ptr<RetiredItems> next;
};

// An engine's objects by id. Pages of slots are made as ids are used, so an
// engine of a few objects with high ids costs a few pages, not a slot per id.
class ItemTable {
 public:
  void store(uint32_t id, const StoredItem& item) {
    check(static_cast<bool>(item), "an empty item was stored");  // find tells empty slots apart
    slots_.insert_or_assign(id, item);
  }
  // Removes and returns the object of `id` (empty if none), retiring it in
  // the current generation if a view may still list it. `keep` holds that
  // generation until the caller has released its locks (the last view may
  // go meanwhile, and a generation's objects may run finalizers).
  StoredItem take(uint32_t id, std::shared_ptr<RetiredItems>& keep);
  // The same for every id of `ids`, appending the objects taken to `out`.
  void take_many(const Bitmap& ids, std::vector<StoredItem>& out,
                 std::shared_ptr<RetiredItems>& keep);
  // Calls fn(id, item) for every object, in ascending id order.
  template <class F>
  void for_each(F&& fn) const {
    slots_.for_each(fn);
  }
  // The object of `id`, or null.
  const StoredItem* find(uint32_t id) const {
    const StoredItem* slot = slots_.slot(id);
    return slot != nullptr && *slot ? slot : nullptr;
  }
  // The object of `id` for a view that pinned `since`: a current object, or
  // one retired since. Null when there is none (an internal failure).
  const StoredItem* item_for_view(uint32_t id, const RetiredItems* since) const {
    if (const StoredItem* item = find(id)) return item;
    return retired_item(id, since);
  }
  // The generation a new view pins (read lock of the table suffices). A
  // generation that nothing pins any more is handed to `displaced`, to be
  // dropped once every lock is released (its objects may run finalizers).
  std::shared_ptr<RetiredItems> pin(std::shared_ptr<RetiredItems>& displaced) const;

 private:
  // An object dropped since `since` was pinned, or null.
  const StoredItem* retired_item(uint32_t id, const RetiredItems* since) const;

  PagedArray<StoredItem, 9> slots_;
  // Leaf lock: taken after the table's own, for the generation chain.
  mutable Mutex<std::weak_ptr<RetiredItems>, WordMutex> current_{LEAF};
};

// What every view of one engine reads: its live value maps, its reach
// engine and its item table. The engine keeps one, which its views share, so
// that making or dropping a view moves one reference count, not three.
struct ViewSources {
  std::shared_ptr<RwLock<MapVector>> query_maps;
  std::shared_ptr<IndexAPI> reach;
  std::shared_ptr<RwLock<ItemTable>> items;
  std::shared_ptr<ChangeClock> clock;  // what its reads check (see change_clock.h)
  std::weak_ptr<IndexAPI> engine;      // whose members a whole-index view holds
};

class FilteredView {
 public:
  // The view of `ids` (members of the engine when `pinned` was pinned).
  FilteredView(std::shared_ptr<const ViewSources> sources, std::shared_ptr<RetiredItems> pinned,
               Bitmap ids)
      : FilteredView(std::move(sources), std::move(pinned),
                     std::make_shared<const Bitmap>(std::move(ids))) {}
  // The same for ids shared with the engine (a snapshot of its members) or
  // with other views; never changed while shared.
  FilteredView(std::shared_ptr<const ViewSources> sources, std::shared_ptr<RetiredItems> pinned,
               std::shared_ptr<const Bitmap> ids)
      : sources_(std::move(sources)), pinned_(std::move(pinned)), ids_(std::move(ids)) {}

  // The view of `ids`, which must be a subset of this view's ids.
  FilteredView narrowed(Bitmap ids) const;
  // Empties the view and lets go of the objects it kept (the collector
  // breaking a cycle through it).
  void drop_objects() {
    ids_ = std::make_shared<const Bitmap>();
    pinned_.reset();
  }

  const std::shared_ptr<RwLock<MapVector>>& query_maps() const noexcept {
    return sources_->query_maps;
  }
  IndexAPI* reach() const noexcept { return sources_->reach.get(); }
  // The clock the view's reads of values go by.
  ChangeClock& clock() const noexcept { return *sources_->clock; }
  const Bitmap& bitmap() const noexcept { return *ids_; }
  const std::shared_ptr<const Bitmap>& ids() const noexcept { return ids_; }
  uint64_t size() const { return ids_->cardinality(); }
  // Whether the view holds every member of its engine as the engine is now,
  // and every id of the engine's value sets is a member (no object is being
  // added): its counts are then the value sets' own sizes. Read inside the
  // engine's clock.
  bool is_whole_index() const;

  // Writes the objects of `ids` (a subset of the view's, in the order given)
  // to `out`, borrowed: they stay alive while the view does (an object the
  // engine drops later is kept by the generation the view pinned).
  void objects_into(std::span<const uint32_t> ids, PyObject** out) const;
  // The same for every object of the view (size() of them), in ascending id
  // order.
  void objects_into(PyObject** out) const;
  // References to the view's objects in ascending id order.
  std::vector<StoredItem> items() const;

 private:
  const StoredItem& item_in(const ItemTable& table, uint32_t id) const {
    const StoredItem* item = table.item_for_view(id, pinned_.get());
    check(item != nullptr && *item, "a view's object is gone");
    return *item;
  }

  std::shared_ptr<const ViewSources> sources_;
  std::shared_ptr<RetiredItems> pinned_;
  std::shared_ptr<const Bitmap> ids_;  // never null
};

}  // namespace quorvane
