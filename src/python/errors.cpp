#include "python/errors.h"

#include <new>
#include <stdexcept>

#include "util/panic.h"

namespace quorvane {

PyRef PyRef::steal_or_throw(PyObject* obj) {
  if (obj == nullptr) throw PyErr::fetch();
  return PyRef(obj);
}

PyErr PyErr::fetch() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) {
    return PyErr(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return PyErr(PyRef::steal(exc));
}

PyErr::PyErr(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  exc_ = PyRef::steal(PyErr_GetRaisedException());
}

bool PyErr::matches(PyObject* type) const noexcept {
  return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type);
}

void PyErr::restore() noexcept {
  PyErr_SetRaisedException(exc_.release());
}

void throw_type_error(const std::string& message) {
  throw PyErr(PyExc_TypeError, message);
}
void throw_attribute_error(const std::string& message) {
  throw PyErr(PyExc_AttributeError, message);
}

void throw_for_attribute(std::string_view attr) {
  PyErr original = PyErr::fetch();
  PyObject* exc = original.exception();
  PyObject* type = nullptr;
  if (PyErr_GivenExceptionMatches(exc, PyExc_OverflowError)) {
    type = PyExc_OverflowError;
  } else if (PyErr_GivenExceptionMatches(exc, PyExc_TypeError)) {
    type = PyExc_TypeError;
  } else if (PyErr_GivenExceptionMatches(exc, PyExc_ValueError)) {
    type = PyExc_ValueError;
  }
  std::string prefix = "attribute '" + std::string(attr) + "'";
  if (type == nullptr) {
    // The user's own exception stays what it is; the note says where it came from.
    std::string note = "raised while converting the value of " + prefix;
    PyRef result = PyRef::steal(
        PyObject_CallMethod(exc, "add_note", "s#", note.data(), Py_ssize_t(note.size())));
    if (!result) PyErr_Clear();
    throw original;
  }
  PyRef text = PyRef::steal(PyObject_Str(exc));
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (message == nullptr) {
    PyErr_Clear();
    message = "cannot be indexed";
  }
  PyErr wrapped(type, prefix + ": " + message);
  PyException_SetCause(wrapped.exception(), Py_NewRef(exc));
  throw wrapped;
}

PyObject* panic_exception_type() {
  // Created once, with the interpreter lock held, and kept for the process.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "Quorvane.PanicException",
      "An internal failure of the Quorvane module. It derives from BaseException so that "
      "ordinary `except Exception` handlers do not swallow it.",
      PyExc_BaseException, nullptr);
  return type;
}

namespace {

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) Py_FatalError("uncaught panic at ffi boundary");
  PyErr_SetString(type, message);
}

}  // namespace

void raise_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (PyErr& err) {
      err.restore();
    } catch (const Panic& panic) {
      raise_panic(panic.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {
      // A size beyond what a container can hold: an allocation that cannot
      // succeed, as Python reports it.
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_panic(e.what());
    }
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

}  // namespace quorvane
