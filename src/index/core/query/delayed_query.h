// BulkQueryMapAdder: a writer that adds many values to one QueryMap while
// holding the map's string, number, boolean, temporal, element and link
// locks once,
// pushing ids into the cells' pending buffers and adding each full buffer in
// one batch.
//
// Destroying the writer flushes every buffer, returns unused and removed
// element ids to the pool, and releases the locks (also while an exception
// unwinds, in which case the locks are poisoned).
#pragma once

#include <vector>

#include "index/core/query/query_map.h"

namespace quorvane {

class BulkQueryMapAdder final : public ScalarSink {
 public:
  // Takes the map's string, number, boolean, temporal, element and link locks
  // for writing, in this order. Links added or removed are told to `counter`.
  BulkQueryMapAdder(QueryMap& map, LinkCounter& counter);
  ~BulkQueryMapAdder() override;
  BulkQueryMapAdder(const BulkQueryMapAdder&) = delete;
  BulkQueryMapAdder& operator=(const BulkQueryMapAdder&) = delete;

  // Indexes `value` for `id` (containers' elements go through this writer too).
  void add(uint32_t id, const PyValue& value, std::span<const PreparedValue::Element> elements) {
    map_.insert(*this, id, value, elements);
  }
  // Indexes the elements of a container held by `holder`.
  void add_container(uint32_t holder, std::span<const PreparedValue::Element> elements) {
    map_.insert_elements(*this, holder, elements);
  }

  // Takes this many element ids from the pool at once, for the containers
  // the writer is about to index.
  void reserve_element_ids(std::size_t count);

  void number(uint32_t id, NumericKey key, bool add) override;
  void rational(uint32_t id, const PyValue& value, bool add) override {
    numbers_->update_rational(id, value, add, true);
  }
  void string(uint32_t id, std::string_view text, bool add) override;
  void boolean(uint32_t id, bool value, bool add) override;
  void temporal(uint32_t id, const PyValue& value, bool add) override {
    temporals_->update(id, value, add, true);
  }
  void link(uint32_t holder, const PyValue& child, bool add) override;
  void elements(absl::FunctionRef<void(ElementTable&)> fn) override { fn(*elements_); }
  // From the ids reserved for the batch, in ascending order (the cells then
  // receive element ids as ascending runs), then from the pool.
  void take_ids(std::span<uint32_t> out) override;
  void record_ids(ElementTable& table, std::span<const uint32_t> ids) override {
    for (uint32_t id : ids) table.ids.push(id);
  }
  // Kept until the writer is done: its buffers may still hold them.
  void free_ids(std::vector<uint32_t> ids) override;

 private:
  QueryMap& map_;
  LinkCounter& counter_;
  WriteGuard<StringIndex> strings_;
  WriteGuard<NumericIndex> numbers_;
  WriteGuard<BoolCells> bools_;
  WriteGuard<TemporalIndex> temporals_;
  WriteGuard<ElementTable> elements_;
  WriteGuard<M2MU32> links_;
  std::vector<uint32_t> reserved_ids_;  // descending: the next id is at the back
  std::vector<uint32_t> freed_ids_;
};

}  // namespace quorvane
