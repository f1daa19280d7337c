// PyRef: the one owning reference to a Python object.
//
// Copying increments the reference count and needs the interpreter lock.
// Destruction needs no lock: without the interpreter lock the release is
// queued and carried out at the next entry into the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

namespace quorvane {

// Releases one reference to `obj` now if this thread holds the interpreter
// lock, else queues the release for the next entry into the module.
void release_ref(PyObject* obj) noexcept;
// The same for each of `objs`, queued under one hold of the queue's lock.
void release_refs(std::span<PyObject* const> objs) noexcept;

class PyRef {
 public:
  PyRef() noexcept = default;
  // A new reference to a borrowed object (null stays null).
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  // Takes over a reference the caller owns (null stays null).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Takes over the result of a Python API call; null throws the raised exception.
  static PyRef steal_or_throw(PyObject* obj);

  PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() {
    if (obj_ != nullptr) release_ref(obj_);
  }

  PyObject* get() const noexcept { return obj_; }
  // Gives up ownership without releasing; the caller owns the reference.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// A reference shared by native holders with an atomic count, so that native
// code copies it without the interpreter lock. The Python reference itself is
// released when the last holder drops it. The pointer it holds is the object
// itself (the count's block owns the PyRef), so reading the object costs no
// extra memory access.
using SharedPyRef = std::shared_ptr<PyObject>;

inline SharedPyRef share(PyRef ref) {
  PyObject* object = ref.get();
  return SharedPyRef(std::make_shared<const PyRef>(std::move(ref)), object);
}

// A new str of the UTF-8 `text` (GIL held); ASCII text, most of what the
// indexes keep, is copied without decoding. Throws PyErr.
inline PyRef str_from_utf8(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
    PyRef out = PyRef::steal_or_throw(PyUnicode_New(size, 127));
    std::memcpy(PyUnicode_DATA(out.get()), text.data(), text.size());
    return out;
  }
  return PyRef::steal_or_throw(PyUnicode_DecodeUTF8(text.data(), size, "strict"));
}

}  // namespace quorvane
