// Indexable: the native record behind every Python Indexable object, and the
// Python class itself.
//
// The record lives inside the Python object. Engines reach it through their
// own strong reference to the object (an item), never through a copy, so the
// record is valid for as long as anything can reach it.
//
// The object lock. Each object has one lock, never re-entered and never held
// together with another object's lock. It guards the object's membership
// list and serialises every change of the object's place in engines: while
// it is held, every engine that counts the object as a member has indexed
// exactly the object's current attribute values. Python code never runs
// while it is held (values are converted, and containers walked, before it is
// taken; replaced values are released after it is released).
//
// The attributes are written only with both the GIL and the object lock held,
// so either one suffices to read them: Python reads them under the GIL alone,
// engines read them under the object lock without the GIL. `version` counts
// the writes; an engine that converted the values with the GIL and took the
// lock afterwards compares versions to see whether they changed meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "absl/container/inlined_vector.h"
#include "index/attribute_map.h"
#include "index/stored_item.h"
#include "index/value.h"
#include "util/lock.h"

namespace quorvane {

class IndexAPI;

// What an object's membership points at: one per engine, shared by the
// engine and all its members, and freed by the last of them. It never keeps
// the engine alive. A member pays one word for it, not a weak reference.
struct EngineAnchor {
  explicit EngineAnchor(std::weak_ptr<IndexAPI> engine) : engine(std::move(engine)) {}
  const std::weak_ptr<IndexAPI> engine;
  std::atomic<uint64_t> refs{1};

  static void unref(EngineAnchor* anchor) noexcept {
    if (anchor->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete anchor;
  }
};

// The engines that hold (or held) an object, each once, in one order shared
// by every object (the anchors' addresses). Most objects belong to one index,
// so one engine is kept inline; more take a list. An object in no index
// costs the one word.
class Membership {
 public:
  Membership() noexcept = default;
  Membership(const Membership&) = delete;
  Membership& operator=(const Membership&) = delete;
  ~Membership();

  bool empty() const noexcept { return word_ == 0; }
  // The anchors, valid until the next change.
  std::span<EngineAnchor* const> anchors() const noexcept;
  // Lists `anchor` (taking a reference to it) unless listed already; drops
  // the anchors of dead engines.
  void add(EngineAnchor* anchor);

 private:
  using List = absl::InlinedVector<EngineAnchor*, 2>;
  static constexpr uintptr_t LIST = 1;
  List* list() const noexcept { return reinterpret_cast<List*>(word_ & ~LIST); }

  // 0, an anchor, or a List tagged LIST.
  uintptr_t word_ = 0;
};

// What the object lock guards besides the right to write attributes.
struct ObjectState {
  Membership engines;
};
using ObjectGuard = MutexGuard<ObjectState, WordMutex>;
using QuietObjectGuard = QuietMutexGuard<ObjectState, WordMutex>;

inline constexpr const char* CANNOT_READ = "cannot read from indexable";

class Indexable {
 public:
  // A record with `id`, taken from the pool, which it returns when destroyed.
  Indexable(AttributeMap attributes, uint32_t id) noexcept;
  Indexable(const Indexable&) = delete;
  Indexable& operator=(const Indexable&) = delete;
  // Never throws: a failure to return the id only loses the id.
  ~Indexable();

  uint32_t id() const noexcept { return id_; }

  // The object lock (waits without the GIL when it is busy).
  ObjectGuard lock() const { return state_.lock(CANNOT_READ); }
  // The object lock if it is free now.
  std::optional<ObjectGuard> try_lock() const { return state_.try_lock(CANNOT_READ); }
  // The object lock if it is free now and sound, by a guard that does not
  // poison it: for a section that changes nothing if it throws.
  std::optional<QuietObjectGuard> try_lock_quiet() const noexcept {
    return state_.try_lock_quiet();
  }

  // Read with the GIL or the object lock held.
  const AttributeMap& attributes() const noexcept { return attributes_; }
  // Counts writes modulo 2^32: a snapshot would be taken for current only if
  // exactly a multiple of 2^32 writes happened while it was being taken.
  uint32_t version() const noexcept { return version_; }

  // Sets one attribute (GIL and object lock held, by the guard given) and
  // returns the value it replaces, which the caller releases once the lock is
  // released. Changes nothing if it throws.
  template <class Guard>
  AttributeMap::Slot store(const Guard&, uint32_t attr, AttributeMap::Slot value) {
    AttributeMap::Slot replaced = attributes_.set(attr, std::move(value));
    ++version_;
    return replaced;
  }
  // Room for `count` more attributes (GIL and object lock held), so that
  // keywords given at construction take one exact allocation.
  template <class Guard>
  void reserve_attributes(const Guard&, std::size_t count) {
    attributes_.reserve(attributes_.size() + count);
  }
  // Empties the attribute map (GIL and object lock held; the collector's
  // clear) and returns what it held.
  AttributeMap take_attributes(const ObjectGuard& guard);

  // Records `engine` in the membership list (object lock held): once per
  // engine, dead entries dropped, ordered by engine.
  static void register_engine(ObjectGuard& guard, const std::shared_ptr<IndexAPI>& engine);
  // The live engines of the list, in its order.
  static std::vector<std::shared_ptr<IndexAPI>> live_engines(const ObjectGuard& guard);

 private:
  mutable Mutex<ObjectState, WordMutex> state_;
  AttributeMap attributes_;
  uint32_t version_ = 0;
  uint32_t id_;
};

// The layout of a Python Indexable instance (subclasses extend it).
// `staged` is the instance dict slot, which subclasses share instead of
// getting one of their own: only object.__setattr__ writes there, and the
// module moves what it finds into the native attributes (see
// indexable_protocol.h). The count of native holders is StoredItem's.
struct IndexableObject : IndexableHead {
  Indexable record;
};

// The attribute id of the str `name`, if any object ever had that attribute
// (GIL held). Recently used name objects answer without hashing their text.
std::optional<uint32_t> attribute_id(PyObject* name);
// The attribute id of the str `name` (whose UTF-8 text is `text`), interned
// when new (GIL held). Recently used name objects answer without hashing.
uint32_t intern_attribute(PyObject* name, std::string_view text);

// Whether getattr(obj, name) on an instance `obj` of `type` gives its
// stored attribute `name` (or raises AttributeError when it has none) without
// running Python code, once `needs_settling(obj)` is false: the class keeps
// Indexable's own attribute lookup and defines nothing named `name` (no
// property, method or class attribute). `name` is an exact str. GIL held.
bool reads_stored(PyTypeObject* type, PyObject* name);
// Whether `obj` may hold values object.__setattr__ left aside, which a read
// moves into its attributes first (running Python code). GIL held.
bool needs_settling(PyObject* obj);

// Creates the Indexable class (once per process); needs the GIL.
PyTypeObject* create_indexable_type();

// The native record of an Indexable instance.
inline Indexable& record_of(PyObject* obj) {
  return reinterpret_cast<IndexableObject*>(obj)->record;
}

}  // namespace quorvane
