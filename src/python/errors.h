// Python errors carried through native code, and the one conversion of
// native failures into Python exceptions at the module boundary.
//
// Two kinds of failure cross the boundary:
// - a user's mistake (a value that cannot be indexed, a wrong argument) is a
//   Python exception carried as `PyErr`; it is raised before any native lock
//   is taken, so it never poisons one;
// - an internal failure (a poisoned lock, an impossible state) is a native
//   `Panic` (util/panic.h) and reaches Python as `PanicException`.
#pragma once

#include <string>
#include <string_view>

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

// Throws the currently raised Python exception as a user's mistake about
// attribute `attr`: an OverflowError, TypeError or ValueError (a
// UnicodeEncodeError becomes a ValueError) is raised again with the message
// prefixed by "attribute '<attr>': " and the original as its cause; any other
// exception (one raised by a value's own __hash__, say) passes unchanged,
// with a note naming the attribute.
[[noreturn]] void throw_for_attribute(std::string_view attr);

// The process-wide PanicException class (derives from BaseException); needs
// the GIL on first use.
PyObject* panic_exception_type();

// Converts the exception in flight (inside a catch handler) into the raised
// Python exception. Called only by the entry trampolines of python/gil.h:
// this is the one place where native failures become Python exceptions.
void raise_current_exception() noexcept;

}  // namespace quorvane
