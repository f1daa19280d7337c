#include "index/attribute_map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/panic.h"

namespace quorvane {

AttributeMap::Slot AttributeMap::Slot::make(PyObject* obj, PyValue value) {
  if (auto kind = PyValue::bare_kind(obj, value)) {
    Py_INCREF(obj);
    const uintptr_t word = reinterpret_cast<uintptr_t>(obj);
    check((word & TAG_MASK) == 0, "a Python object not aligned to 8 bytes");
    switch (*kind) {
      case ValueKind::Int:
        return Slot(word | INT);
      case ValueKind::Float:
        return Slot(word | FLOAT);
      case ValueKind::Str:
        return Slot(word | STR);
      case ValueKind::Bool:
        return Slot(word | BOOL);
      case ValueKind::Iterable:
      case ValueKind::Ind:
      case ValueKind::Unknown:
      case ValueKind::Rational:
      case ValueKind::Temporal:
        Py_DECREF(obj);
        break;
    }
    throw Panic("a value of this kind is never stored bare");
  }
  if (value.kind() == ValueKind::Iterable) {
    const uintptr_t word = reinterpret_cast<uintptr_t>(Py_NewRef(obj));
    check((word & TAG_MASK) == 0, "a Python object not aligned to 8 bytes");
    return Slot(word | CONTAINER);
  }
  // The box keeps the object itself, which reads return.
  if (value.object() == nullptr) value.keep_object(obj);
  PyObject* object = value.object();
  return Slot(reinterpret_cast<uintptr_t>(new Box{object, std::move(value)}));
}

std::optional<AttributeMap::Slot> AttributeMap::Slot::make_bare(PyObject* obj) {
  PyTypeObject* t = Py_TYPE(obj);
  Tag tag;
  if (t == &PyLong_Type) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return std::nullopt;  // kept with its exact value
    tag = INT;
  } else if (t == &PyFloat_Type) {
    tag = FLOAT;
  } else if (t == &PyBool_Type) {
    tag = BOOL;
  } else if (t == &PyUnicode_Type && PyUnicode_IS_COMPACT(obj)) {
    if (!PyUnicode_IS_ASCII(obj) && PyUnicode_AsUTF8AndSize(obj, nullptr) == nullptr) {
      PyErr_Clear();  // the conversion reports it, naming the attribute
      return std::nullopt;
    }
    tag = STR;
  } else {
    return std::nullopt;
  }
  const uintptr_t word = reinterpret_cast<uintptr_t>(obj);
  check((word & TAG_MASK) == 0, "a Python object not aligned to 8 bytes");
  Py_INCREF(obj);
  return Slot(word | tag);
}

PyObject* AttributeMap::object_of(uintptr_t word) noexcept {
  if (word == 0) return nullptr;
  if (const Box* box = boxed(word)) return box->object;
  return reinterpret_cast<PyObject*>(word & ~uintptr_t{TAG_MASK});
}

PyValue AttributeMap::value_of(uintptr_t word) {
  PyObject* obj = reinterpret_cast<PyObject*>(word & ~uintptr_t{TAG_MASK});
  switch (static_cast<Tag>(word & TAG_MASK)) {
    case BOXED:
      return reinterpret_cast<const Box*>(word)->value;
    case INT:
      return PyValue::of_bare(obj, ValueKind::Int);
    case FLOAT:
      return PyValue::of_bare(obj, ValueKind::Float);
    case STR:
      return PyValue::of_bare(obj, ValueKind::Str);
    case BOOL:
      return PyValue::of_bare(obj, ValueKind::Bool);
    case CONTAINER:
      return PyValue::container_in_slot(obj);
    case TAG_MASK:
      break;
  }
  throw Panic("an attribute slot of no kind");
}

void AttributeMap::release(uintptr_t word) noexcept {
  if (word == 0) return;
  if (const Box* box = boxed(word)) {
    delete box;
  } else {
    release_ref(reinterpret_cast<PyObject*>(word & ~uintptr_t{TAG_MASK}));
  }
}

std::size_t AttributeMap::bytes_for(uint32_t capacity) {
  return sizeof(Block) + capacity * (sizeof(uintptr_t) + sizeof(uint32_t));
}

AttributeMap::Block* AttributeMap::allocate(uint32_t capacity) {
  void* raw = std::malloc(bytes_for(capacity));
  if (raw == nullptr) throw std::bad_alloc();
  return new (raw) Block{0, capacity};
}

AttributeMap::~AttributeMap() {
  if (block_ == nullptr) return;
  for (uint32_t i = 0; i < block_->size; ++i) release(block_->words()[i]);
  std::free(block_);
}

void AttributeMap::reserve(std::size_t count) {
  const uint32_t have = block_ == nullptr ? 0 : block_->capacity;
  if (count <= have) return;
  if (count > UINT32_MAX / 2) throw std::bad_alloc();
  if (block_ == nullptr) {
    block_ = allocate(static_cast<uint32_t>(count));
    return;
  }
  // Grown in place where the allocator can; the ids then move up behind the
  // longer run of slot words.
  const uint32_t size = block_->size;
  void* raw = std::realloc(block_, bytes_for(static_cast<uint32_t>(count)));
  if (raw == nullptr) throw std::bad_alloc();
  block_ = static_cast<Block*>(raw);
  const uint32_t* old_attrs = reinterpret_cast<uint32_t*>(block_->words() + block_->capacity);
  block_->capacity = static_cast<uint32_t>(count);
  std::memmove(block_->attrs(), old_attrs, size * sizeof(uint32_t));
}

AttributeMap::Slot AttributeMap::set(uint32_t attr, Slot slot) {
  if (uintptr_t* word = find(attr)) {
    return Slot(std::exchange(*word, std::exchange(slot.word_, 0)));
  }
  const uint32_t size = block_ == nullptr ? 0 : block_->size;
  // Grows one slot at a time up to 8, then by a quarter: attributes assigned
  // one by one in __init__ leave little unused, and reallocating a block
  // this small mostly extends it in place.
  if (block_ == nullptr || size == block_->capacity)
    reserve(size + std::max<uint32_t>(1, size / 4));
  block_->words()[size] = std::exchange(slot.word_, 0);
  block_->attrs()[size] = attr;
  block_->size = size + 1;
  return Slot();
}

uintptr_t* AttributeMap::find(uint32_t attr) const noexcept {
  if (block_ == nullptr) return nullptr;
  const uint32_t* attrs = block_->attrs();
  for (uint32_t i = 0; i < block_->size; ++i) {
    if (attrs[i] == attr) return &block_->words()[i];
  }
  return nullptr;
}

PyObject* AttributeMap::object(uint32_t attr) const noexcept {
  const uintptr_t* word = find(attr);
  return word == nullptr ? nullptr : object_of(*word);
}

std::optional<PyValue> AttributeMap::get(uint32_t attr) const {
  const uintptr_t* word = find(attr);
  if (word == nullptr) return std::nullopt;
  return value_of(*word);
}

std::size_t AttributeMap::size() const noexcept {
  return block_ == nullptr ? 0 : block_->size;
}

}  // namespace quorvane
