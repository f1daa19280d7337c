// AttributeMap: an object's attributes, attribute id -> value, in one
// pointer-sized field.
//
// Each value is kept as the Python object it was assigned (reads return that
// very object) in one tagged word per attribute, beside the attribute's id:
// 12 bytes per attribute, in one block that holds exactly the attributes the
// object has. An exact int, float, bool or str is kept bare: the engine
// rebuilds its native form from the immutable object itself, without the GIL
// (PyValue::of_bare). A list, tuple, dict or set is kept bare too, tagged as
// a container: its value is its object (see PyValue::container_in_slot), and
// its elements are the engine's to keep. Any other value (an
// Indexable, a numpy scalar, a value of unknown kind) keeps its converted
// PyValue in a box, which carries what the engine needs to find it again
// (a cached hash).
//
// Attributes keep the order of their first assignment; lookups scan the ids
// (objects have a few dozen attributes at most in practice).
//
// No lock of its own: the owning object writes it with the GIL and its object
// lock held, so either one suffices to read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "index/value.h"
#include "python/py_ref.h"

namespace quorvane {

class AttributeMap {
 public:
  // One stored value: a tagged word owning a reference to the bare object or
  // owning the box. Releasing it needs no GIL (a reference released without
  // it is queued).
  class Slot {
   public:
    Slot() noexcept = default;
    Slot(Slot&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
    Slot& operator=(Slot&& other) noexcept {
      std::swap(word_, other.word_);
      return *this;
    }
    ~Slot() { release(word_); }

    // A slot for `obj` converted to `value` (GIL held: takes a reference).
    static Slot make(PyObject* obj, PyValue value);
    // A slot holding `obj` bare, made without converting it (nothing but an
    // index needs its native form, rebuilt from the bare object when one
    // does): for an exact int within 64 bits, float, bool, or str whose UTF-8
    // form exists (it is made and cached); none for any other value, which
    // is converted instead. GIL held.
    static std::optional<Slot> make_bare(PyObject* obj);

    explicit operator bool() const noexcept { return word_ != 0; }
    // The stored Python object (borrowed).
    PyObject* object() const noexcept { return object_of(word_); }
    // The native form (no GIL needed).
    PyValue value() const { return value_of(word_); }

   private:
    friend class AttributeMap;
    explicit Slot(uintptr_t word) noexcept : word_(word) {}
    uintptr_t word_ = 0;
  };

  AttributeMap() noexcept = default;
  AttributeMap(AttributeMap&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  AttributeMap& operator=(AttributeMap&& other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  AttributeMap(const AttributeMap&) = delete;
  AttributeMap& operator=(const AttributeMap&) = delete;
  ~AttributeMap();

  // Room for `count` attributes in all, so that a constructor's keywords
  // take one exact allocation.
  void reserve(std::size_t count);
  // Sets `attr` to `slot`; returns the slot it replaces (empty if the
  // attribute is new), which the caller releases once its locks are released.
  Slot set(uint32_t attr, Slot slot);

  // The object of `attr` (borrowed), or null.
  PyObject* object(uint32_t attr) const noexcept;
  // The native form of `attr`'s value, or nothing.
  std::optional<PyValue> get(uint32_t attr) const;
  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }
  // Asks the processor to fetch the attributes ahead of a read (a long run
  // of reads over many objects).
  void prefetch() const noexcept { __builtin_prefetch(block_); }

  // Calls `fn(attr, const PyValue&)` for every attribute, in order; with
  // `wanted`, only for those where `wanted(attr)` is true (the others' values
  // are not even read).
  template <class F>
  void for_each(F&& fn) const {
    for_each(std::forward<F>(fn), [](uint32_t) { return true; });
  }
  template <class F, class W>
  void for_each(F&& fn, W&& wanted) const;
  // Calls `fn(attr, PyObject*)` for every attribute, in order.
  template <class F>
  void for_each_object(F&& fn) const;
  // Calls `fn(attr, const PyValue&)` for every boxed value and every
  // container, in order: every Indexable is boxed, so callers after those and
  // containers need not rebuild the bare numbers and strings. A container's
  // value borrows its object from the slot (see PyValue::container_in_slot).
  template <class F>
  void for_each_boxed(F&& fn) const;

 private:
  // Low bits of a slot word (objects and boxes are 8-byte aligned).
  enum Tag : uintptr_t {
    BOXED = 0,
    INT = 1,
    FLOAT = 2,
    STR = 3,
    BOOL = 4,
    CONTAINER = 5,
    TAG_MASK = 7
  };

  struct Block {
    uint32_t size;
    uint32_t capacity;
    // Followed by `capacity` slot words, then `capacity` attribute ids.
    uintptr_t* words() noexcept { return reinterpret_cast<uintptr_t*>(this + 1); }
    uint32_t* attrs() noexcept { return reinterpret_cast<uint32_t*>(words() + capacity); }
  };

  // The slot word of `attr`, or null.
  uintptr_t* find(uint32_t attr) const noexcept;
  static PyObject* object_of(uintptr_t word) noexcept;
  static PyValue value_of(uintptr_t word);
  // A value kept with its PyValue; the object comes first so that reads
  // reach it in one step.
  struct Box {
    PyObject* object;  // borrowed from `value`
    PyValue value;
  };
  static const Box* boxed(uintptr_t word) noexcept {
    return (word & TAG_MASK) == BOXED ? reinterpret_cast<const Box*>(word) : nullptr;
  }
  // The object of a container's slot (owned by the slot), or null.
  static PyObject* container_of(uintptr_t word) noexcept {
    return (word & TAG_MASK) == CONTAINER ? reinterpret_cast<PyObject*>(word & ~uintptr_t{TAG_MASK})
                                          : nullptr;
  }
  static void release(uintptr_t word) noexcept;
  static std::size_t bytes_for(uint32_t capacity);
  static Block* allocate(uint32_t capacity);

  Block* block_ = nullptr;
};

template <class F, class W>
void AttributeMap::for_each(F&& fn, W&& wanted) const {
  if (block_ == nullptr) return;
  for (uint32_t i = 0; i < block_->size; ++i) {
    if (!wanted(block_->attrs()[i])) continue;
    const uintptr_t word = block_->words()[i];
    if (const Box* box = boxed(word)) {
      fn(block_->attrs()[i], box->value);
    } else {
      const PyValue value = value_of(word);
      fn(block_->attrs()[i], value);
    }
  }
}

template <class F>
void AttributeMap::for_each_object(F&& fn) const {
  if (block_ == nullptr) return;
  for (uint32_t i = 0; i < block_->size; ++i) fn(block_->attrs()[i], object_of(block_->words()[i]));
}

template <class F>
void AttributeMap::for_each_boxed(F&& fn) const {
  if (block_ == nullptr) return;
  for (uint32_t i = 0; i < block_->size; ++i) {
    const uintptr_t word = block_->words()[i];
    if (const Box* box = boxed(word)) {
      fn(block_->attrs()[i], box->value);
    } else if (container_of(word) != nullptr) {
      const PyValue value = value_of(word);
      fn(block_->attrs()[i], value);
    }
  }
}

}  // namespace quorvane
