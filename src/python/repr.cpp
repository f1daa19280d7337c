#include "python/repr.h"

#include "python/errors.h"

namespace quorvane {

std::string repr_text(PyObject* obj) {
  PyRef repr = PyRef::steal_or_throw(PyObject_Repr(obj));
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(repr.get(), &size);
  if (text == nullptr) throw PyErr::fetch();
  return std::string(text, static_cast<std::size_t>(size));
}

ReprScope::ReprScope(PyObject* obj) : obj_(obj) {
  const int entered = Py_ReprEnter(obj);
  if (entered < 0) throw PyErr::fetch();
  reentered_ = entered > 0;
}

ReprScope::~ReprScope() {
  // Only the outermost scope of an object leaves it.
  if (!reentered_) Py_ReprLeave(obj_);
}

}  // namespace quorvane
