#include "index/core/query/delayed_query.h"

#include <algorithm>
#include <functional>

#include "index/core/id_alloc.h"
#include "index/core/insertion_chain.h"

namespace quorvane {

BulkQueryMapAdder::BulkQueryMapAdder(QueryMap& map, std::vector<std::function<void()>>& deferred,
                                     const Holder* current)
    : map_(map),
      deferred_(deferred),
      current_(current),
      strings_(map.strings.write()),
      numbers_(map.numbers.write()),
      bools_(map.bools.write()),
      elements_(map.elements.write()) {}

BulkQueryMapAdder::~BulkQueryMapAdder() {
  // Ids reserved but not used go back (nothing refers to them); should the
  // pool be poisoned they are only lost to reuse.
  try {
    free_ids(reserved_ids_);
  } catch (...) {
  }
  numbers_->slices.flush();
  numbers_->buckets.flush();
  strings_->buckets.flush();
  bools_->true_ids.flush();
  bools_->false_ids.flush();
  strings_->columns.flush();
  elements_->ids.flush();
}

void BulkQueryMapAdder::reserve_element_ids(std::size_t count) {
  std::size_t kept = reserved_ids_.size();
  reserved_ids_.resize(kept + count);
  allocate_ids(std::span<uint32_t>(reserved_ids_).subspan(kept));
  std::sort(reserved_ids_.begin(), reserved_ids_.end(), std::greater<>());
}

void BulkQueryMapAdder::take_ids(std::span<uint32_t> out) {
  std::size_t i = 0;
  for (; i < out.size() && !reserved_ids_.empty(); ++i) {
    out[i] = reserved_ids_.back();
    reserved_ids_.pop_back();
  }
  if (i < out.size()) allocate_ids(out.subspan(i));
}

void BulkQueryMapAdder::nested(std::function<void()> work) {
  // Run later as part of indexing the holder, so that the guard against
  // nesting an object inside itself sees the same chain as a direct insertion.
  // An assignment to the holder (which holds the same lock) runs either
  // wholly before or wholly after the work.
  deferred_.push_back([holder = *current_, work = std::move(work)] {
    InsertionScope scope(holder.id);
    if (holder.rec == nullptr) {
      work();
    } else {
      with_object_lock(holder.rec->attributes(), CANNOT_READ, [&](AttributeMap&) { work(); });
    }
  });
}

// Removals (of what an object re-added in the batch had indexed before) act on
// the cells' bitmaps: ids pushed by this writer are never removed again,
// since a batch indexes each object once.
void BulkQueryMapAdder::number(uint32_t id, NumericKey key, bool add) {
  numbers_->update(id, key, add, true);
}

void BulkQueryMapAdder::string(uint32_t id, std::string_view text, bool add) {
  strings_->update(id, text, add, true);
}

void BulkQueryMapAdder::boolean(uint32_t id, bool value, bool add) {
  auto& cell = value ? bools_->true_ids : bools_->false_ids;
  add ? cell.push(id) : cell.remove(id);
}

}  // namespace quorvane
