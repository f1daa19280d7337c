// BulkQueryMapAdder: a writer that adds many values to one QueryMap while
// holding the map's string, number, boolean and element locks once, pushing ids into
// the cells' pending buffers and adding each full buffer in one batch.
//
// Nested-engine work (Indexable values, and the release of replaced element
// ids) is queued and run by the caller after every writer has finished: it
// takes object locks, and a thread must not wait for an object lock while it
// holds a map's locks that the lock's holder may be waiting for.
//
// Destroying the writer flushes every buffer and releases the locks (also
// while an exception unwinds, in which case the locks are poisoned).
#pragma once

#include <functional>
#include <vector>

#include "index/core/query/query_map.h"
#include "index/indexable.h"

namespace quorvane {

class BulkQueryMapAdder final : public ScalarSink {
 public:
  // The object whose values are being written: queued nested work runs
  // later under its attribute lock, as part of its indexing.
  struct Holder {
    uint32_t id = 0;
    const Indexable* rec = nullptr;
  };

  // Takes the map's string, number, boolean and element locks for writing,
  // in this order. `*current` names the holder of the values being added.
  BulkQueryMapAdder(QueryMap& map, std::vector<std::function<void()>>& deferred,
                    const Holder* current);
  ~BulkQueryMapAdder() override;
  BulkQueryMapAdder(const BulkQueryMapAdder&) = delete;
  BulkQueryMapAdder& operator=(const BulkQueryMapAdder&) = delete;

  // Indexes `value` for `id` (containers' elements go through this writer too).
  void add(uint32_t id, const PreparedValue& value) { map_.insert(*this, id, value); }
  void add_scalar(uint32_t id, const PyValue& value) { map_.insert_scalar(*this, id, value); }
  // Indexes the elements of a container held by `holder`.
  void add_container(uint32_t holder, const std::vector<PreparedValue>& elements) {
    map_.insert_elements(*this, holder, elements);
  }

  // Takes this many element ids from the pool at once, for the containers
  // the writer is about to index.
  void reserve_element_ids(std::size_t count);

  void number(uint32_t id, NumericKey key, bool add) override;
  void string(uint32_t id, std::string_view text, bool add) override;
  void boolean(uint32_t id, bool value, bool add) override;
  void nested(std::function<void()> work) override;
  void elements(absl::FunctionRef<void(ElementTable&)> fn) override { fn(*elements_); }
  // From the ids reserved for the batch, in ascending order (the cells then
  // receive element ids as ascending runs), then from the pool.
  void take_ids(std::span<uint32_t> out) override;
  void record_ids(ElementTable& table, std::span<const uint32_t> ids) override {
    for (uint32_t id : ids) table.ids.push(id);
  }

 private:
  QueryMap& map_;
  std::vector<std::function<void()>>& deferred_;
  const Holder* current_;
  WriteGuard<StringIndex> strings_;
  WriteGuard<NumericIndex> numbers_;
  WriteGuard<BoolCells> bools_;
  WriteGuard<ElementTable> elements_;
  std::vector<uint32_t> reserved_ids_;  // descending: the next id is at the back
};

}  // namespace quorvane
