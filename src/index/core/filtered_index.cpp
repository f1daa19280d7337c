#include "index/core/filtered_index.h"

#include "absl/container/inlined_vector.h"
#include "index/core/index.h"
#include "util/panic.h"

namespace quorvane {

StoredItem ItemTable::take(uint32_t id, std::shared_ptr<RetiredItems>& keep) {
  StoredItem item = slots_.take(id);
  if (!item) return item;
  auto current = current_.lock();
  if (!keep) keep = current->lock();  // null: no view pins it, nothing is kept
  if (keep) keep->items.emplace(id, item);
  return item;
}

const StoredItem* ItemTable::item_for_view(uint32_t id, const RetiredItems* since) const {
  if (const StoredItem* item = slots_.find(id)) return item;
  auto current = current_.lock();  // guards the chain's links
  for (const RetiredItems* gen = since; gen != nullptr; gen = gen->next.get()) {
    auto it = gen->items.find(id);
    if (it != gen->items.end()) return &it->second;
  }
  return nullptr;
}

std::shared_ptr<RetiredItems> ItemTable::pin(std::shared_ptr<RetiredItems>& displaced) const {
  // Only the allocation below may throw, and it comes before any change.
  auto current = current_.lock_quiet();
  std::shared_ptr<RetiredItems> pinned = current->lock();
  if (pinned && pinned->items.empty()) return pinned;
  // Objects retired before this view was made are not its objects: it
  // starts a generation of its own, which older views keep alive.
  auto fresh = std::make_shared<RetiredItems>();
  if (pinned) pinned->next = fresh;
  *current = fresh;
  displaced = std::move(pinned);
  return fresh;
}

const StoredItem& FilteredView::item_in(const ItemTable& table, uint32_t id) const {
  const StoredItem* item = table.item_for_view(id, pinned_.get());
  check(item != nullptr && *item, "a view's object is gone");
  return *item;
}

void FilteredView::objects_into(std::span<const uint32_t> ids, PyObject** out) const {
  auto table = sources_->items->read();
  // A current object is found in the table; only one the engine dropped
  // since the view was made is looked for in the retired generations.
  auto object_of = [&](uint32_t id) {
    const StoredItem* item = table->find(id);
    return item != nullptr ? item->get() : item_in(*table, id).get();
  };
  constexpr std::size_t LONG = 4096, SLOT_AHEAD = 16, OBJECT_AHEAD = 8;
  const std::size_t n = ids.size();
  if (n < LONG) {
    for (std::size_t i = 0; i < n; ++i) out[i] = object_of(ids[i]);
    return;
  }
  // Objects are scattered in memory: in a long list each is fetched a few
  // ids ahead of its turn, and its slot in the table further ahead still.
  for (std::size_t i = 0; i < n; ++i) {
    if (i + SLOT_AHEAD < n) __builtin_prefetch(table->find(ids[i + SLOT_AHEAD]));
    if (i + OBJECT_AHEAD < n) {
      if (const StoredItem* ahead = table->find(ids[i + OBJECT_AHEAD])) {
        __builtin_prefetch(ahead->get());
      }
    }
    out[i] = object_of(ids[i]);
  }
}

void FilteredView::objects_into(PyObject** out) const {
  absl::InlinedVector<uint32_t, 64> ids(bitmap_.cardinality());
  bitmap_.copy_to(ids.data());
  objects_into(ids, out);
}

std::vector<StoredItem> FilteredView::items() const {
  std::vector<StoredItem> out;
  out.reserve(size());
  auto table = sources_->items->read();
  bitmap_.for_each([&](uint32_t id) { out.push_back(item_in(*table, id)); });
  return out;
}

FilteredView FilteredView::narrowed(Bitmap ids) const {
  FilteredView view(sources_, pinned_, std::move(ids));
  view.engine_ = engine_;
  return view;
}

}  // namespace quorvane
