// QueryMap: the value index of one attribute inside one engine.
//
// For every object (or container element) of the engine that has the
// attribute, the map records its id under the value, in the structure that
// the value's kind selects (see `indexed_as` in index/value.h):
//   numbers that are an int64
//   or a double              -> `numbers`, under their 76-bit sort key
//   other numbers (2**100,
//   Fraction(1, 3))          -> `numbers.rationals`, by exact value
//   strings                  -> `strings` (the empty string in a set of its own)
//   booleans                 -> `bools`
//   dates, datetimes, times,
//   timedeltas               -> `temporals`, family by family
//   Indexable, unknown kinds -> `exact`; for an Indexable, `links` also
//                               records holder -> held object, and the held
//                               object is indexed in the reach engine
//   list, tuple, set         -> each element under a fresh element id, which
//                               `elements` maps back to its holder
//
// Every structure has its own reader/writer lock, so writers of different
// kinds of values do not block each other; no operation here holds two of
// them at once except a bulk writer, which takes them in the order of the
// fields below. Removing what is not stored is a silent no-op.
#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <vector>

#include "absl/container/btree_map.h"
#include "absl/container/flat_hash_map.h"
#include "absl/functional/function_ref.h"
#include "index/core/query/element_list.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"
#include "index/core/structures/hybrid_set/hybrid_set.h"
#include "index/core/structures/m2m/m2m_u32.h"
#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"
#include "index/core/structures/paged_array/paged_array.h"
#include "index/core/structures/positional_bitmap/positional_bitmap.h"
#include "index/core/structures/shards/hashmap.h"
#include "index/core/structures/value_buckets/value_buckets.h"
#include "index/value.h"
#include "util/lock.h"

namespace quorvane {

struct StringIndex {
  PositionalBitmap columns;
  Bitmap empty;                              // ids whose string is ""
  ValueBuckets<TextKey, TextOrder> buckets;  // non-empty strings

  // Adds (directly, or into the cells' buffers when `buffered`) or removes
  // the id of one string; every structure of the index follows.
  void update(uint32_t id, std::string_view text, bool add, bool buffered) {
    if (text.empty()) {
      add ? empty.add(id) : empty.remove(id);
    } else if (add && buffered) {
      columns.push(text, id);
      buckets.push(text, id);
    } else if (add) {
      columns.insert(text, id);
      buckets.add(text, id);
    } else {
      columns.remove(text, id);
      buckets.remove(text, id);
    }
  }
};

// A number that is neither an int64 nor a double, as the rational buckets
// key it: ordered by value, with an object it was converted from, which
// count_by gives back for it.
struct RationalKey {
  RationalRef number;
  SharedPyRef object;
};
inline RationalView lookup_form(const RationalKey& key) noexcept {
  return {key.number.get()};
}
// Rounding to a double keeps the order, so the approximation sorts first.
inline double sort_prefix(const RationalKey& key) noexcept {
  return key.number->approx();
}

// A temporal value as the temporal buckets key it, with an object holding
// it, which count_by gives back for it.
struct TemporalKey {
  TemporalValue value;
  SharedPyRef object;
};
struct TemporalOrder {
  using is_transparent = void;
  static const TemporalValue& of(const TemporalKey& k) noexcept { return k.value; }
  static const TemporalValue& of(const TemporalValue& v) noexcept { return v; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    return of(a) < of(b);
  }
};
inline const TemporalValue& lookup_form(const TemporalKey& key) noexcept {
  return key.value;
}
inline const TemporalValue& sort_prefix(const TemporalKey& key) noexcept {
  return key.value;
}

// Adds `id` under `key` to `buckets` (directly, or pushed for a bulk
// writer's flush when `buffered`), or removes it from the bucket of the
// same value, looked up by `form`.
template <class Buckets, class Key, class Form>
void update_buckets(Buckets& buckets, uint32_t id, Key&& key, const Form& form, bool add,
                    bool buffered) {
  if (add && buffered) {
    buckets.push(std::forward<Key>(key), id);
  } else if (add) {
    buckets.add(std::forward<Key>(key), id);
  } else {
    buckets.remove(form, id);
  }
}

struct NumericIndex {
  // Past this many distinct int64 and double values, a range holds too many
  // values for a walk of the buckets and the bit slices answer it; below,
  // the walk is cheap and the slices (about a bitmap per key bit) are not
  // kept at all.
  static constexpr std::size_t SLICED_FROM = 1024;

  NumericalBitmap slices;  // empty until `sliced`
  ValueBuckets<NumericKey, NumericOrder> buckets;
  // Numbers that are neither an int64 nor a double, in the same order (see
  // RationalNumber for how the two orders meet).
  ValueBuckets<RationalKey, RationalOrder> rationals;
  // Whether the slices are kept; once they are, they stay.
  bool sliced = false;

  // As StringIndex::update, for one number's key.
  void update(uint32_t id, NumericKey key, bool add, bool buffered) {
    if (add && buffered) {
      if (sliced) slices.push(id, key);
      buckets.push(key, id);
    } else if (add) {
      if (sliced) slices.add(id, key);
      buckets.add(key, id);
      slice_if_due();
    } else {
      if (sliced) slices.remove(id, key);
      buckets.remove(key, id);
    }
  }
  // As update, for a Rational value.
  void update_rational(uint32_t id, const PyValue& value, bool add, bool buffered) {
    update_buckets(rationals, id, RationalKey{rational_of(value), value.reference()},
                   *rational_of(value), add, buffered);
  }
  // Adds what a bulk writer pushed.
  void flush() {
    if (sliced) slices.flush();
    buckets.flush();
    rationals.flush();
    slice_if_due();
  }
  // Adds `other`'s numbers of `only` (buckets already taken in).
  void union_with(const NumericIndex& other, const Bitmap& only);
  // Makes the slices from the buckets once there are enough values.
  void slice_if_due();
};

// Dates, datetimes, times and timedeltas, ordered by family, then by key.
struct TemporalIndex {
  ValueBuckets<TemporalKey, TemporalOrder> buckets;

  void update(uint32_t id, const PyValue& value, bool add, bool buffered) {
    update_buckets(buckets, id, TemporalKey{temporal_of(value), value.reference()},
                   temporal_of(value), add, buffered);
  }
};

struct BoolCells {
  BufferedBitmap true_ids;
  BufferedBitmap false_ids;
};

// Element ids of container values: element -> holder, every element id, and
// per holder what was indexed for it (so that removal takes out exactly that,
// whatever happened to the container since). A nested container is an
// element that is itself the holder of its elements.
struct ElementTable {
  // Element ids come from the pool in runs (a batch's containers take theirs
  // at once), so the links are arrays indexed by id rather than hash maps:
  // large pages for elements, small ones for holders, which a map may have
  // only among some of the engine's objects.
  PagedArray<uint32_t, 10> holder_of;
  PagedArray<ElementList, 6> by_holder;  // holders of non-empty containers
  BufferedBitmap ids;                    // every element id

  // The element ids held by `holders`, through nested containers.
  Bitmap elements_of(const Bitmap& holders) const;
  // Calls fn(entry) for every element of `holder`'s container, nested
  // containers' elements included (walked with a stack, not recursion).
  template <class F>
  void for_each_entry(uint32_t holder, F&& fn) const {
    std::vector<uint32_t> open{holder};
    while (!open.empty()) {
      const uint32_t h = open.back();
      open.pop_back();
      const ElementList* entries = by_holder.find(h);
      if (entries == nullptr) continue;
      for (const ElementList::Entry& entry : *entries) {
        fn(entry);
        if (entry.nested()) open.push_back(entry.id);
      }
    }
  }
};

using ExactMap = ShardedHashMap<PyValue, HybridSet, PyValueHash>;

// Where an insertion or removal writes: directly, each structure under a
// short lock of its own (the engine's direct sink), or through a bulk writer
// that holds the structures' locks and batches additions in the cells'
// buffers (BulkQueryMapAdder).
class ScalarSink {
 public:
  virtual ~ScalarSink() = default;
  virtual void number(uint32_t id, NumericKey key, bool add) = 0;
  virtual void rational(uint32_t id, const PyValue& value, bool add) = 0;
  virtual void string(uint32_t id, std::string_view text, bool add) = 0;
  virtual void boolean(uint32_t id, bool value, bool add) = 0;
  virtual void temporal(uint32_t id, const PyValue& value, bool add) = 0;
  // Adds or removes the link holder -> `child` (an Indexable value).
  virtual void link(uint32_t holder, const PyValue& child, bool add) = 0;
  // Runs `fn` on the map's element table locked for writing (a bulk writer
  // holds that lock throughout). `fn` must not index or remove values.
  virtual void elements(absl::FunctionRef<void(ElementTable&)> fn) = 0;
  // Fills `out` with fresh element ids from the process's pool.
  virtual void take_ids(std::span<uint32_t> out) = 0;
  // Records element ids in `table.ids` (called from inside `elements`).
  virtual void record_ids(ElementTable& table, std::span<const uint32_t> ids) = 0;
  // Returns removed element ids to the pool once nothing refers to them.
  virtual void free_ids(std::vector<uint32_t> ids) = 0;
};

// Counts the links to Indexable values: told of every link added or removed
// (in any map of the engine and of its reach engine), it keeps the reach
// engine's members in step with them.
class LinkCounter {
 public:
  virtual ~LinkCounter() = default;
  virtual void counted(const PyValue& child, bool added) = 0;
};

class QueryMap;

// Each structure under a short write lock of its own, taken per value.
class DirectSink final : public ScalarSink {
 public:
  DirectSink(QueryMap& map, LinkCounter& counter) : map_(map), counter_(counter) {}
  void number(uint32_t id, NumericKey key, bool add) override;
  void rational(uint32_t id, const PyValue& value, bool add) override;
  void string(uint32_t id, std::string_view text, bool add) override;
  void boolean(uint32_t id, bool value, bool add) override;
  void temporal(uint32_t id, const PyValue& value, bool add) override;
  void link(uint32_t holder, const PyValue& child, bool add) override;
  void elements(absl::FunctionRef<void(ElementTable&)> fn) override;
  void take_ids(std::span<uint32_t> out) override;
  void record_ids(ElementTable& table, std::span<const uint32_t> ids) override;
  void free_ids(std::vector<uint32_t> ids) override;

 private:
  QueryMap& map_;
  LinkCounter& counter_;
};

class QueryMap {
 public:
  QueryMap() = default;
  // Returns the map's element ids to the pool: nothing else holds them.
  ~QueryMap();

  // Indexes `value` for `id` through `sink`; a container through `elements`,
  // its walked elements.
  void insert(ScalarSink& sink, uint32_t id, const PyValue& value,
              std::span<const PreparedValue::Element> elements);
  void insert(ScalarSink& sink, uint32_t id, const PreparedValue& value) {
    insert(sink, id, value.value, value.elements);
  }
  // Indexes a value that is not a container (containers need their elements).
  void insert_scalar(ScalarSink& sink, uint32_t id, const PyValue& value);
  // Removes `value`, indexed for `id`, from every structure that holds it.
  void remove(ScalarSink& sink, uint32_t id, const PyValue& value);
  // Removes `value`, indexed for `id`, from the structures keyed by value
  // (value buckets and the exact-value table), and a container's elements
  // from the element table with their own keyed values; the ids of those
  // elements are added to `element_ids`. What is kept as sets of ids per bit or
  // per position (number slices, string columns, booleans, the empty
  // string) and the links are left for a narrowing to take out in bulk.
  void remove_keyed(uint32_t id, const PyValue& value, std::vector<uint32_t>& element_ids);
  // Indexes the elements of a container held by `holder` (replacing what was
  // indexed for it before).
  void insert_elements(ScalarSink& sink, uint32_t holder,
                       std::span<const PreparedValue::Element> elements);

  // Replaces element ids in `ids` by the ids of the objects holding their
  // containers, through any depth of nested containers.
  void unmask_ids(Bitmap& ids) const;
  // All element ids of this map (the scope range queries need besides objects).
  Bitmap element_ids() const;
  // Whether elements may be indexed here: false until a container's
  // elements are first added, true from then on. A lookup that must treat
  // elements apart tests this without taking the element table's lock.
  bool may_hold_elements() const noexcept {
    return elements_added_.load(std::memory_order_acquire);
  }
  // The holders (objects or elements, before unmasking) whose Indexable
  // value is one of `children`.
  Bitmap holders_of(const Bitmap& children) const;

  // Calls `fn(child id)` for every Indexable that `holder` holds in this map,
  // directly or in its container.
  void for_each_held(uint32_t holder, absl::FunctionRef<void(uint32_t)> fn) const;

  // A rough measure of what a pass over the map costs (the distinct values
  // and the elements it keeps), for sharing such passes between threads.
  uint64_t size_hint() const;
  // The same for narrowing the map by `removed` ids: the pass, and the cells
  // of the removed objects' strings (about as many as the columns, each
  // costing about a visit).
  uint64_t narrowing_cost(uint64_t removed) const;

  // The flattened container of `holder` as indexed here (empty if none).
  std::vector<PreparedValue::Element> container_of(uint32_t holder) const;

  // Each structure is guarded by its own lock (the exact table by one per
  // shard). Writers hold the owning engine's gate shared besides; a bulk
  // writer holds strings, numbers, bools, temporals, elements and links
  // together, in this order.
  ExactMap exact;
  RwLock<StringIndex> strings;
  RwLock<NumericIndex> numbers;
  RwLock<BoolCells> bools;
  RwLock<TemporalIndex> temporals;
  RwLock<ElementTable> elements;
  RwLock<M2MU32> links;  // holder (object or element id) -> Indexable held

 private:
  // Adds (or removes) one value that is not a container's elements.
  void update_scalar(ScalarSink& sink, uint32_t id, const PyValue& value, bool add);
  void insert_exact(uint32_t id, const PyValue& value);
  void remove_exact(uint32_t id, const PyValue& value);
  void remove_elements(ScalarSink& sink, uint32_t holder);

  std::atomic<bool> elements_added_{false};
};

}  // namespace quorvane
