// What an engine operation needs from the Python side, and what it leaves
// for after its locks are released.
//
// ObjectSnapshot: an object's containers walked with the GIL before any
// native lock is taken (walking runs Python code), used under the object's
// lock while the object's attributes still hold those very containers. The
// other values need no walking: they are read under the lock when used.
//
// PendingWork: objects whose membership in a reach engine must be brought in
// step with the links to them, queued by whoever added or removed a link and
// worked off one object at a time once every lock is released, so that no
// thread ever holds two objects' locks and nesting depth never becomes
// native recursion.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "index/core/filtered_index.h"
#include "index/indexable.h"

namespace quorvane {

class IndexAPI;

using PreparedValues = std::vector<std::pair<uint32_t, PreparedValue>>;
using Elements = std::span<const PreparedValue::Element>;

struct ObjectSnapshot {
  static constexpr uint64_t kNoVersion = ~uint64_t{0};

  StoredItem item;  // keeps the object alive
  uint64_t version = 0;
  PreparedValues containers;  // (attribute, walked container)

  // Walks the object's containers. Needs the GIL and no native lock (Python
  // code runs); an element that cannot be indexed raises its ordinary error.
  static ObjectSnapshot take(StoredItem item);
  // A snapshot that walked nothing: usable for an object holding no
  // container. It claims no version, so every use checks the object's
  // attributes for containers it would lack.
  static ObjectSnapshot of(StoredItem item) {
    return ObjectSnapshot{std::move(item), kNoVersion, {}};
  }

  // Calls `fn(attr, value, elements)` for every attribute the object holds
  // now (object lock held), with the walked elements of a container (empty
  // for other values). Returns false, calling nothing, when an attribute
  // holds a container this snapshot did not walk.
  // With `wanted`, only the attributes where `wanted(attr)` is true.
  template <class F>
  bool for_each_now(const ObjectGuard& guard, F&& fn) const {
    return for_each_now(guard, std::forward<F>(fn), [](uint32_t) { return true; });
  }
  template <class F, class W>
  bool for_each_now(const ObjectGuard& guard, F&& fn, W&& wanted) const;
  // Whether every container the object holds now was walked (object lock held).
  bool complete_now(const ObjectGuard& guard) const;

  uint32_t id() const { return record_of(item.get()).id(); }

 private:
  const PreparedValue* walked(uint32_t attr, const PyValue& value) const {
    // Called once complete_now holds: the containers are those walked.
    for (const auto& [walked_attr, container] : containers) {
      if (walked_attr == attr && container.value == value) return &container;
    }
    return nullptr;
  }
};

inline bool ObjectSnapshot::complete_now(const ObjectGuard&) const {
  const Indexable& rec = record_of(item.get());
  if (rec.version() == version) return true;
  // Written since the walk: a container it holds now may be one walked then,
  // assigned again after a change of its elements (a container's value is
  // the container itself), so only an object without one is complete.
  bool complete = true;
  rec.attributes().for_each_boxed([&](uint32_t, const PyValue& value) {
    if (value.kind() == ValueKind::Iterable) complete = false;
  });
  return complete;
}

template <class F, class W>
bool ObjectSnapshot::for_each_now(const ObjectGuard& guard, F&& fn, W&& wanted) const {
  if (!complete_now(guard)) return false;
  record_of(item.get())
      .attributes()
      .for_each(
          [&](uint32_t attr, const PyValue& value) {
            if (value.kind() != ValueKind::Iterable) {
              fn(attr, value, Elements());
            } else {
              fn(attr, value, Elements(walked(attr, value)->elements));
            }
          },
          wanted);
  return true;
}

struct PendingWork {
  struct Reconcile {
    std::shared_ptr<IndexAPI> reach;
    // Null while the object has no native holder to join: `linked`, the
    // reference of the value that links to it, keeps it alive until a holder
    // is made with the GIL.
    StoredItem object;
    SharedPyRef linked;

    PyObject* get() const noexcept { return object ? object.get() : linked.get(); }
  };
  std::deque<Reconcile> reconcile;
  // Snapshots taken with the GIL for objects the queue needs, by object id.
  absl::flat_hash_map<uint32_t, ObjectSnapshot> snapshots;
  // Reach engines whose link counts changed (candidates for a sweep).
  std::vector<std::shared_ptr<IndexAPI>> touched;

  bool empty() const { return reconcile.empty(); }
  void merge(PendingWork&& other);
};

}  // namespace quorvane
