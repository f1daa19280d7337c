// StoredItem: a native holder of an Indexable instance, as engines, views and
// queued work keep their objects.
//
// The holders of one object share a count inside the object itself, and all
// of them together own one Python reference: the first holder takes it (with
// the GIL), the last one releases it (queued when it goes without the GIL).
// A holder is one pointer, and holding an object costs no allocation.
//
// Copying a holder needs no GIL (the count is already at least one). Making
// the first holder of an object needs the GIL; without it, `join` only joins
// holders that exist.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "python/py_ref.h"

namespace quorvane {

// The leading fields of every Indexable instance (IndexableObject extends
// them with the native record): the instance dict slot and the holder count,
// which fits where the layout would otherwise pad.
struct IndexableHead {
  PyObject_HEAD PyObject* staged;
  std::atomic<uint32_t> native_holders;
};

class StoredItem {
 public:
  StoredItem() noexcept = default;

  // A holder of `obj`, an Indexable instance the caller keeps alive. Needs
  // the GIL (the first holder takes a Python reference).
  static StoredItem borrow(PyObject* obj) noexcept {
    if (count(obj).fetch_add(1, std::memory_order_relaxed) == 0) Py_INCREF(obj);
    return StoredItem(obj);
  }
  // A holder of `obj` if it has holders already, else null. Needs no GIL:
  // it never takes a Python reference. The caller keeps `obj` alive.
  static StoredItem join(PyObject* obj) noexcept {
    std::atomic<uint32_t>& n = count(obj);
    uint32_t seen = n.load(std::memory_order_relaxed);
    while (seen != 0) {
      if (n.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed))
        return StoredItem(obj);
    }
    return StoredItem();
  }

  StoredItem(const StoredItem& other) noexcept : obj_(other.obj_) {
    if (obj_ != nullptr) count(obj_).fetch_add(1, std::memory_order_relaxed);
  }
  StoredItem(StoredItem&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  StoredItem& operator=(StoredItem other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~StoredItem() {
    // The last holder's release is ordered after every holder's use.
    if (obj_ != nullptr && count(obj_).fetch_sub(1, std::memory_order_acq_rel) == 1) {
      release_ref(obj_);
    }
  }

  PyObject* get() const noexcept { return obj_; }
  // The number of native holders of `obj` (all engines, views and queued
  // work together), which share one Python reference.
  static uint32_t holders_of(PyObject* obj) noexcept {
    return count(obj).load(std::memory_order_acquire);
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

  // Releases every holder of `items` (left empty). Each release is a locked
  // step, which waits for its own cache miss: the counts of a block of
  // objects are first read plainly, so that their misses overlap. The
  // references released are queued at once.
  static void release_all(std::vector<StoredItem>& items) noexcept {
    constexpr std::size_t BLOCK = 32;
    std::vector<PyObject*> last;
    for (std::size_t first = 0; first < items.size(); first += BLOCK) {
      const std::size_t end = std::min(items.size(), first + BLOCK);
      uint32_t seen = 0;
      for (std::size_t i = first; i < end; ++i) {
        if (items[i].obj_ != nullptr) seen += count(items[i].obj_).load(std::memory_order_relaxed);
      }
      asm volatile("" : : "r"(seen));  // the reads are kept for their misses
      for (std::size_t i = first; i < end; ++i) {
        PyObject* obj = std::exchange(items[i].obj_, nullptr);
        if (obj == nullptr || count(obj).fetch_sub(1, std::memory_order_acq_rel) != 1) continue;
        try {
          last.push_back(obj);
        } catch (const std::bad_alloc&) {
          release_ref(obj);
        }
      }
    }
    items.clear();
    release_refs(last);
  }

 private:
  explicit StoredItem(PyObject* obj) noexcept : obj_(obj) {}
  static std::atomic<uint32_t>& count(PyObject* obj) noexcept {
    return reinterpret_cast<IndexableHead*>(obj)->native_holders;
  }

  PyObject* obj_ = nullptr;
};

}  // namespace quorvane
