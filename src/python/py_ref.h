// PyRef: the one owning reference to a Python object.
//
// Copying increments the reference count and needs the interpreter lock.
// Destruction needs no lock: without the interpreter lock the release is
// queued and carried out at the next entry into the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <utility>

namespace quorvane {

// Releases one reference to `obj` now if this thread holds the interpreter
// lock, else queues the release for the next entry into the module.
void release_ref(PyObject* obj) noexcept;

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

}  // namespace quorvane
