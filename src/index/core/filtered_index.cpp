#include "index/core/filtered_index.h"

#include <algorithm>

#include "index/core/index.h"
#include "util/panic.h"

namespace quorvane {

std::vector<StoredItem> objects_of(const RwLock<ItemTable>& items, const Bitmap& ids) {
  std::vector<StoredItem> out;
  out.reserve(ids.cardinality());
  auto table = items.read();
  ids.for_each([&](uint32_t id) {
    const StoredItem* item = table->find(id);
    check(item != nullptr && *item != nullptr, "an engine member without its object");
    out.push_back(*item);
  });
  return out;
}

FilteredView FilteredView::narrowed(Bitmap ids) const {
  std::vector<StoredItem> kept;
  kept.reserve(ids.cardinality());
  std::size_t position = 0;
  bitmap_.for_each([&](uint32_t id) {
    if (ids.contains(id)) kept.push_back(objects_[position]);
    ++position;
  });
  FilteredView view(query_maps_, reach_, std::move(kept), std::move(ids));
  view.engine_ = engine_;
  return view;
}

}  // namespace quorvane
