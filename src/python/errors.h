// Python errors carried through native code, and the one conversion of
// native failures into Python exceptions at the module boundary.
#pragma once

#include <string>

#include "python/py_ref.h"

namespace quorvane {

// A Python exception taken out of the interpreter, carried as a C++
// exception until the boundary restores it.
class PyErr : public std::exception {
 public:
  // Takes the currently raised exception; a missing one becomes SystemError.
  static PyErr fetch();
  // A new exception of `type` with `message`.
  PyErr(PyObject* type, const std::string& message);
  explicit PyErr(PyRef exception) noexcept : exc_(std::move(exception)) {}

  const char* what() const noexcept override { return "Python exception"; }
  // Whether the carried exception is an instance of `type`.
  bool matches(PyObject* type) const noexcept;
  PyObject* exception() const noexcept { return exc_.get(); }
  // Puts the exception back into the interpreter (the carrier is emptied).
  void restore() noexcept;

 private:
  PyRef exc_;
};

[[noreturn]] void throw_type_error(const std::string& message);
[[noreturn]] void throw_attribute_error(const std::string& message);

// The process-wide PanicException class (derives from BaseException).
PyObject* panic_exception_type();

// Converts whatever `fn` throws into the raised Python exception and returns
// `error_value`; otherwise returns what `fn` returns. Every entry point of the
// module goes through here (see entry.h); this is the only place where native
// failures become Python exceptions.
void raise_current_exception() noexcept;

}  // namespace quorvane
