// Indexable: the native record behind every Python Indexable object, and the
// Python class itself.
//
// The record holds the object's attributes (attribute id -> value) and its
// membership list (weak references to the engines that hold it), both shared
// by every copy of the record, plus the object id. The copy embedded in the
// Python object owns the id and returns it to the pool when the object dies;
// copies held by engines do not.
//
// Locks of one object, always in this order: membership list, then
// attributes. Object locks are re-entrant within one thread (see
// with_object_lock), because indexing an object can reach the same object
// again through its own attribute values (x.a = x).
#pragma once

#include <memory>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/hybrid_hashmap.h"
#include "index/value.h"
#include "util/lock.h"

namespace quorvane {

class IndexAPI;

using AttributeMap = HybridHashmap<PyValue>;

// One engine that holds the object. Never keeps the engine alive.
struct IndexMeta {
  std::weak_ptr<IndexAPI> engine;
};
using MembershipList = absl::InlinedVector<IndexMeta, 4>;

inline constexpr const char* CANNOT_READ = "cannot read from indexable";

class Indexable {
 public:
  // An empty record with a fresh id that it owns (the placeholder records).
  Indexable();
  // A record owning a fresh id, with the given attributes.
  explicit Indexable(AttributeMap attributes);
  // A copy sharing attributes and membership list, not owning the id.
  Indexable alias() const;
  Indexable(Indexable&&) noexcept;
  Indexable(const Indexable&) = delete;
  Indexable& operator=(const Indexable&) = delete;
  ~Indexable();

  uint32_t id() const noexcept { return id_; }
  Mutex<AttributeMap>& attributes() const noexcept { return *attributes_; }
  Mutex<MembershipList>& membership() const noexcept { return *membership_; }

  // Records `engine` in the membership list: appends it, drops dead entries
  // and entries of the default engine, and keeps the list ordered by engine
  // address.
  void register_engine(const std::shared_ptr<IndexAPI>& engine) const;

 private:
  Indexable(std::shared_ptr<Mutex<AttributeMap>> attributes,
            std::shared_ptr<Mutex<MembershipList>> membership, uint32_t id, bool owns_id)
      : attributes_(std::move(attributes)),
        membership_(std::move(membership)),
        id_(id),
        owns_id_(owns_id) {}

  std::shared_ptr<Mutex<AttributeMap>> attributes_;
  std::shared_ptr<Mutex<MembershipList>> membership_;
  uint32_t id_;
  bool owns_id_;
};

// Drops entries whose engine is gone, is `excluded`, or is the default engine;
// the surviving entries keep their order.
void trim_indexes(MembershipList& list, const std::shared_ptr<IndexAPI>& excluded);

// Runs `fn(T&)` with `mutex` held. When this thread already holds `mutex`
// further up the stack (through this function), runs `fn` on the data it
// holds instead of locking again. `poisoned_message` is the failure text of a
// poisoned lock.
template <class T, class F>
decltype(auto) with_object_lock(Mutex<T>& mutex, const char* poisoned_message, F&& fn);

namespace detail {
struct HeldObjectLock {
  const void* mutex;
  void* data;
};
std::vector<HeldObjectLock>& held_object_locks() noexcept;
}  // namespace detail

namespace detail {
// Runs `fn` with `guard` recorded as held by this thread.
template <class T, class F>
decltype(auto) run_holding(Mutex<T>& mutex, MutexGuard<T>& guard, F&& fn) {
  auto& held = held_object_locks();
  held.push_back({&mutex, &*guard});
  struct Pop {
    std::vector<HeldObjectLock>& held;
    ~Pop() { held.pop_back(); }
  } pop{held};
  return fn(*guard);
}
template <class T>
T* held_by_this_thread(Mutex<T>& mutex) {
  for (const auto& entry : held_object_locks()) {
    if (entry.mutex == &mutex) return static_cast<T*>(entry.data);
  }
  return nullptr;
}
}  // namespace detail

template <class T, class F>
decltype(auto) with_object_lock(Mutex<T>& mutex, const char* poisoned_message, F&& fn) {
  if (T* data = detail::held_by_this_thread(mutex)) return fn(*data);
  auto guard = mutex.lock(poisoned_message);
  return detail::run_holding(mutex, guard, fn);
}

// As with_object_lock, but only if the lock can be had without waiting;
// returns whether `fn` ran.
template <class T, class F>
bool try_with_object_lock(Mutex<T>& mutex, const char* poisoned_message, F&& fn) {
  if (T* data = detail::held_by_this_thread(mutex)) {
    fn(*data);
    return true;
  }
  auto guard = mutex.try_lock(poisoned_message);
  if (!guard) return false;
  detail::run_holding(mutex, *guard, fn);
  return true;
}

// The layout of a Python Indexable instance (subclasses extend it).
struct IndexableObject {
  PyObject_HEAD Indexable record;
};

// Creates the Indexable class (once per process); needs the GIL.
PyTypeObject* create_indexable_type();

// The native record of an Indexable instance.
inline const Indexable& record_of(PyObject* obj) {
  return reinterpret_cast<IndexableObject*>(obj)->record;
}

}  // namespace quorvane
