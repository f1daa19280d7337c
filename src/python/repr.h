// Writing reprs: the text of an object's repr, and the guard of a repr that
// meets its own object again (a value that holds its holder).
#pragma once

#include <string>

#include "python/py_ref.h"

namespace quorvane {

// repr(obj) as UTF-8 text (GIL held; runs the object's __repr__).
std::string repr_text(PyObject* obj);

// Py_ReprEnter/Py_ReprLeave as a scope, as reprlib.recursive_repr does:
// `reentered()` tells that `obj`'s repr is already being written further up
// this thread, where the caller writes "..." instead of recursing for good.
class ReprScope {
 public:
  explicit ReprScope(PyObject* obj);
  ReprScope(const ReprScope&) = delete;
  ReprScope& operator=(const ReprScope&) = delete;
  ~ReprScope();
  bool reentered() const noexcept { return reentered_; }

 private:
  PyObject* obj_;
  bool reentered_;
};

}  // namespace quorvane
