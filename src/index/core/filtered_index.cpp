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

void ItemTable::take_many(const Bitmap& ids, std::vector<StoredItem>& out,
                          std::shared_ptr<RetiredItems>& keep) {
  out.reserve(out.size() + ids.cardinality());
  auto current = current_.lock();  // once for all: a lock per object would cost as much as the rest
  if (!keep) keep = current->lock();
  ids.for_each([&](uint32_t id) {
    StoredItem item = slots_.take(id);
    if (!item) return;
    if (keep) keep->items.emplace(id, item);
    out.push_back(std::move(item));
  });
}

const StoredItem* ItemTable::retired_item(uint32_t id, const RetiredItems* since) const {
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

void FilteredView::objects_into(std::span<const uint32_t> ids, PyObject** out) const {
  auto table = sources_->items->read();
  constexpr std::size_t LONG = 4096, SLOT_AHEAD = 16, OBJECT_AHEAD = 8;
  const std::size_t n = ids.size();
  if (n < LONG) {
    for (std::size_t i = 0; i < n; ++i) out[i] = item_in(*table, ids[i]).get();
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
    out[i] = item_in(*table, ids[i]).get();
  }
}

void FilteredView::objects_into(PyObject** out) const {
  absl::InlinedVector<uint32_t, 64> ids(ids_->cardinality());
  ids_->copy_to(ids.data());
  objects_into(ids, out);
}

std::vector<StoredItem> FilteredView::items() const {
  std::vector<StoredItem> out;
  out.reserve(size());
  auto table = sources_->items->read();
  ids_->for_each([&](uint32_t id) { out.push_back(item_in(*table, id)); });
  return out;
}

bool FilteredView::is_whole_index() const {
  std::shared_ptr<IndexAPI> engine = sources_->engine.lock();
  return engine != nullptr && engine->is_whole_and_settled(ids_);
}

FilteredView FilteredView::narrowed(Bitmap ids) const {
  return FilteredView(sources_, pinned_, std::move(ids));
}

}  // namespace quorvane
