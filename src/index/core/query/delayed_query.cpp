#include "index/core/query/delayed_query.h"

#include <algorithm>
#include <functional>

#include "index/core/id_alloc.h"
#include "index/indexable.h"

namespace quorvane {

BulkQueryMapAdder::BulkQueryMapAdder(QueryMap& map, LinkCounter& counter)
    : map_(map),
      counter_(counter),
      strings_(map.strings.write()),
      numbers_(map.numbers.write()),
      bools_(map.bools.write()),
      temporals_(map.temporals.write()),
      elements_(map.elements.write()),
      links_(map.links.write()) {}

BulkQueryMapAdder::~BulkQueryMapAdder() {
  numbers_->flush();
  temporals_->buckets.flush();
  strings_->buckets.flush();
  bools_->true_ids.flush();
  bools_->false_ids.flush();
  strings_->columns.flush();
  elements_->ids.flush();
  // Ids reserved but not used, and ids of removed elements, go back (nothing
  // refers to them any more); should the pool be poisoned they are only lost
  // to reuse.
  try {
    quorvane::free_ids(reserved_ids_);
    quorvane::free_ids(freed_ids_);
  } catch (...) {
  }
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

void BulkQueryMapAdder::free_ids(std::vector<uint32_t> ids) {
  freed_ids_.insert(freed_ids_.end(), ids.begin(), ids.end());
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

void BulkQueryMapAdder::link(uint32_t holder, const PyValue& child, bool add) {
  const uint32_t child_id = record_of(child.object()).id();
  if (add ? links_->register_path(holder, child_id) : links_->unlink(holder, child_id)) {
    counter_.counted(child, add);
  }
}

}  // namespace quorvane
