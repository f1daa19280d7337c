// QueryMap: the value index of one attribute inside one engine.
//
// For every object (or container element) of the engine that has the
// attribute, the map records its id under the value, in the structure that
// the value's kind selects:
//   numbers (ints, floats)   -> `numbers`, under their 76-bit sort key
//   strings                  -> `strings` (the empty string in a set of its own)
//   booleans                 -> `bools`
//   Indexable, unknown kinds -> `exact`; Indexables also go, with all their
//                               own attributes, into the `nested` engine
//   list, tuple, set         -> each element under a fresh element id, which
//                               `elements` maps back to its holder
//
// Every structure has its own reader/writer lock, so writers of different
// kinds of values do not block each other. Removing what is not stored is a
// silent no-op.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "absl/container/btree_map.h"
#include "absl/container/flat_hash_map.h"
#include "absl/functional/function_ref.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"
#include "index/core/structures/hybrid_set/hybrid_set.h"
#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"
#include "index/core/structures/paged_array/paged_array.h"
#include "index/core/structures/positional_bitmap/positional_bitmap.h"
#include "index/core/structures/shards/hashmap.h"
#include "index/core/structures/value_buckets/value_buckets.h"
#include "index/value.h"
#include "util/lock.h"

namespace quorvane {

class IndexAPI;

// A value ready to be indexed. For a container, `elements` holds its elements
// converted while the container was walked (with the GIL), so that indexing
// and, later, removal never call into Python.
struct PreparedValue {
  PyValue value;
  std::vector<PreparedValue> elements;
};

// Converts the elements of container values (taking the GIL for the walk);
// other values are returned as they are. Throws Panic when an element cannot
// be converted, before anything is indexed.
PreparedValue prepare_value(const PyValue& value);

// The key form of a string for the string buckets' heterogeneous lookup.
inline absl::string_view bucket_key(std::string_view text) {
  return {text.data(), text.size()};
}

struct StringIndex {
  PositionalBitmap columns;
  Bitmap empty;                                                       // ids whose string is ""
  ValueBuckets<absl::flat_hash_map<std::string, HybridSet>> buckets;  // non-empty strings

  // Adds (directly, or into the cells' buffers when `buffered`) or removes
  // the id of one string; every structure of the index follows.
  void update(uint32_t id, std::string_view text, bool add, bool buffered) {
    if (text.empty()) {
      add ? empty.add(id) : empty.remove(id);
    } else if (add && buffered) {
      columns.push(text, id);
      buckets.push(bucket_key(text), id);
    } else if (add) {
      columns.insert(text, id);
      buckets.add(bucket_key(text), id);
    } else {
      columns.remove(text, id);
      buckets.remove(bucket_key(text), id);
    }
  }
};

struct NumericIndex {
  NumericalBitmap slices;
  ValueBuckets<absl::btree_map<NumericKey, HybridSet>> buckets;

  // As StringIndex::update, for one number's key.
  void update(uint32_t id, NumericKey key, bool add, bool buffered) {
    if (add && buffered) {
      slices.push(id, key);
      buckets.push(key, id);
    } else if (add) {
      slices.add(id, key);
      buckets.add(key, id);
    } else {
      slices.remove(id, key);
      buckets.remove(key, id);
    }
  }
};

struct BoolCells {
  BufferedBitmap true_ids;
  BufferedBitmap false_ids;
};

// Element ids of container values: element -> holder, every element id, and
// per holder what was indexed for it (so that removal takes out exactly that,
// whatever happened to the container since).
struct ElementEntry {
  uint32_t id;
  PyValue value;
};
struct ElementTable {
  // Element ids come from the pool in runs (a batch's containers take theirs
  // at once), so the links are arrays indexed by id rather than hash maps:
  // large pages for elements, small ones for holders, which a map may have
  // only among some of the engine's objects.
  PagedArray<uint32_t, 10> holder_of;
  PagedArray<std::vector<ElementEntry>, 6> by_holder;  // holders of non-empty containers
  BufferedBitmap ids;                                  // every element id
};

using ExactMap = ShardedHashMap<PyValue, HybridSet, PyValueHash>;

// Where the numbers, strings and booleans of an insertion or removal go, and
// when nested-engine work runs: directly, each under a short lock of its
// structure (DirectSink), or through a bulk writer that holds those locks and
// batches additions in the cells' buffers (BulkQueryMapAdder).
class ScalarSink {
 public:
  virtual ~ScalarSink() = default;
  virtual void number(uint32_t id, NumericKey key, bool add) = 0;
  virtual void string(uint32_t id, std::string_view text, bool add) = 0;
  virtual void boolean(uint32_t id, bool value, bool add) = 0;
  // Work on the nested engine (it takes object locks): run now, or later.
  virtual void nested(std::function<void()> work) = 0;
  // Runs `fn` on the map's element table locked for writing (a bulk writer
  // holds that lock throughout). `fn` must not index or remove values.
  virtual void elements(absl::FunctionRef<void(ElementTable&)> fn) = 0;
  // Fills `out` with fresh element ids from the process's pool.
  virtual void take_ids(std::span<uint32_t> out) = 0;
  // Records element ids in `table.ids` (called from inside `elements`).
  virtual void record_ids(ElementTable& table, std::span<const uint32_t> ids) = 0;
};

class QueryMap {
 public:
  // A map owned by `owner`; its nested engine's parent is `owner`.
  explicit QueryMap(std::weak_ptr<IndexAPI> owner);
  // Returns the map's element ids to the pool: nothing else holds them.
  ~QueryMap();

  // Indexes `value` for `id`. No engine lock of the owner is needed beyond the
  // caller's read lock of the owner's map vector.
  void insert(uint32_t id, const PreparedValue& value);
  // Removes `value`, indexed for `id`, from every structure that holds it.
  void remove(uint32_t id, const PyValue& value);
  // Indexes the elements of a container held by `holder` (replacing what was
  // indexed for it before).
  void insert_container(uint32_t holder, const std::vector<PreparedValue>& elements);
  // The same two, routing scalars and nested work through `sink`.
  void insert(ScalarSink& sink, uint32_t id, const PreparedValue& value);
  // Indexes a value that is not a container (containers need their elements).
  void insert_scalar(ScalarSink& sink, uint32_t id, const PyValue& value);
  void remove(ScalarSink& sink, uint32_t id, const PyValue& value);

  // Replaces element ids in `ids` by the ids of the objects holding their
  // containers, through any depth of nested containers.
  void unmask_ids(Bitmap& ids) const;
  // All element ids of this map (the scope range queries need besides objects).
  Bitmap element_ids() const;
  bool has_elements() const;

  ExactMap exact;
  RwLock<StringIndex> strings;
  RwLock<NumericIndex> numbers;
  RwLock<BoolCells> bools;
  RwLock<ElementTable> elements;
  const std::weak_ptr<IndexAPI> owner;
  const std::shared_ptr<IndexAPI> nested;

 private:
  friend class BulkQueryMapAdder;
  void insert_exact(uint32_t id, const PyValue& value);
  void remove_exact(uint32_t id, const PyValue& value);
  bool holds_exact(uint32_t id, const PyValue& value) const;
  void insert_elements(ScalarSink& sink, uint32_t holder, const std::vector<PreparedValue>& values);
  void remove_elements(ScalarSink& sink, uint32_t holder);
  void insert_indexable(const StoredIndexable& value, uint32_t parent_id);
  void detach_indexable(const StoredIndexable& value, uint32_t parent_id);
};

}  // namespace quorvane
