// Argument binding: the one helper through which every callable of the
// module binds its positional and keyword arguments to its parameters, and
// the conversion helpers that report errors per parameter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "python/errors.h"

namespace quorvane {

inline constexpr std::size_t MAX_PARAMS = 3;

// A METH_FASTCALL | METH_KEYWORDS function as a method table holds it.
#define QUORVANE_FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
inline constexpr int FAST_KW = METH_FASTCALL | METH_KEYWORDS;

// The parameters of one callable. `full_name` is what error messages show,
// e.g. "Index.add_object()". When `collects_kwargs` is set, keywords that
// name no parameter are collected instead of rejected. Parameters from
// position `required` on may be left out (their slots stay null).
// `positional_only` parameters are never bound by keyword, so that a
// collected keyword may carry a parameter's name. When `collects_args` is
// set, every positional argument is collected (into BoundArgs::extra) and
// the parameters are keyword-only.
struct Signature {
  const char* full_name;
  std::initializer_list<const char*> params;
  bool collects_kwargs = false;
  std::size_t required = SIZE_MAX;
  bool positional_only = false;
  bool collects_args = false;
};

// A keyword argument that names no parameter, borrowed from the call; its
// name is checked to be `str`.
struct Keyword {
  PyObject* name;
  PyObject* value;
};

// Arguments bound to parameters. `args` are borrowed from the call and are
// in parameter order; `keywords` are the collected keywords in call order
// (no dict is built for them); `extra` are the collected positional
// arguments, borrowed, in call order.
struct BoundArgs {
  std::array<PyObject*, MAX_PARAMS> args{};
  absl::InlinedVector<Keyword, 4> keywords;
  std::span<PyObject* const> extra;
  PyObject* operator[](std::size_t i) const { return args[i]; }
};

// Binds a vectorcall-style call (METH_FASTCALL | METH_KEYWORDS).
// Throws PyErr(TypeError) with the message of the binding rules.
BoundArgs bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
// Binds a tuple-and-dict call (METH_VARARGS | METH_KEYWORDS, tp_new).
BoundArgs bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

// TypeError "must be <expected>, not <type of obj>", as Python words it.
[[noreturn]] void throw_cannot_convert(PyObject* obj, const char* expected);
// The name of `obj`'s type, for messages ("int", "Car").
std::string type_name(PyObject* obj);

// Runs the conversion `fn` of parameter `param`. A TypeError it raises is
// replaced by TypeError "argument '<param>': <message>" keeping the cause;
// other exceptions pass unchanged.
template <class F>
decltype(auto) convert_arg(const char* param, F&& fn);

// Re-raises `err` for parameter `param` as described for convert_arg.
[[noreturn]] void rethrow_for_param(PyErr& err, const char* param);

template <class F>
decltype(auto) convert_arg(const char* param, F&& fn) {
  try {
    return fn();
  } catch (PyErr& err) {
    rethrow_for_param(err, param);
  }
}

// Checks that `obj` is an instance of `type` (or of a subclass) and returns it
// cast to the object layout `T`; else the wrapped conversion TypeError.
template <class T>
T* extract_instance(PyObject* obj, PyTypeObject* type, const char* class_name, const char* param) {
  return convert_arg(param, [&] {
    if (!PyObject_TypeCheck(obj, type)) throw_cannot_convert(obj, class_name);
    return reinterpret_cast<T*>(obj);
  });
}

// The UTF-8 text of a `str` argument (view valid while `obj` lives).
std::string_view extract_str(PyObject* obj, const char* param);

// A count argument: an int (TypeError otherwise) that is not negative
// (ValueError naming `param`); counts beyond 64 bits saturate.
uint64_t extract_count(PyObject* obj, const char* param);

// Every item of an iterable argument (a list, a set, a generator...), taken
// whole before the caller looks at any. A str is refused rather than taken as
// its characters, with TypeError "<full_name> takes an iterable of <items>, not
// a str"; so is a non-iterable ("..., not int"). An error raised by the
// iteration itself passes unchanged.
std::vector<PyRef> extract_iterable(PyObject* obj, const char* full_name, const char* items);

}  // namespace quorvane
