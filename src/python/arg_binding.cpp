#include "python/arg_binding.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace quorvane {
namespace {

std::string plural(std::size_t n, const char* one, const char* many) {
  return n == 1 ? one : many;
}

[[noreturn]] void throw_too_many(const Signature& sig, std::size_t given) {
  throw_type_error(std::string(sig.full_name) + " takes " + std::to_string(sig.params.size()) +
                   " positional " + plural(sig.params.size(), "argument", "arguments") + " but " +
                   std::to_string(given) + " " + plural(given, "was", "were") + " given");
}

[[noreturn]] void throw_missing(const Signature& sig, const std::vector<std::string>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += "'" + names[i] + "'";
  }
  throw_type_error(std::string(sig.full_name) + " missing " + std::to_string(names.size()) +
                   " required positional " + plural(names.size(), "argument", "arguments") + ": " +
                   list);
}

// Puts one keyword into its parameter slot or into the collected keywords.
void bind_keyword(const Signature& sig, BoundArgs& bound, std::size_t npositional, PyObject* name,
                  PyObject* value) {
  if (!PyUnicode_Check(name)) {
    throw_type_error("keywords must be strings");
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &len);
  if (text == nullptr) throw PyErr::fetch();
  std::string_view key(text, static_cast<std::size_t>(len));
  std::size_t index = 0;
  // Positional arguments all went to `extra` when they are collected.
  if (sig.collects_args) npositional = 0;
  for (const char* param : sig.params) {
    if (key == param && !sig.positional_only) {
      if (index < npositional || bound.args[index] != nullptr) {
        throw_type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                         std::string(key) + "'");
      }
      bound.args[index] = value;
      return;
    }
    ++index;
  }
  if (!sig.collects_kwargs) {
    throw_type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" +
                     std::string(key) + "'");
  }
  bound.keywords.push_back({name, value});
}

[[noreturn, gnu::cold]] void throw_incomplete(const Signature& sig, const BoundArgs& bound) {
  std::vector<std::string> missing;
  std::size_t index = 0;
  for (const char* param : sig.params) {
    if (index >= sig.required) break;
    if (bound.args[index++] == nullptr) missing.emplace_back(param);
  }
  throw_missing(sig, missing);
}

void check_complete(const Signature& sig, const BoundArgs& bound) {
  const std::size_t required = std::min(sig.required, sig.params.size());
  for (std::size_t i = 0; i < required; ++i) {
    if (bound.args[i] == nullptr) throw_incomplete(sig, bound);
  }
}

BoundArgs bind_positional(const Signature& sig, PyObject* const* args, std::size_t nargs) {
  BoundArgs bound;
  if (sig.collects_args) {
    if (nargs > 0) bound.extra = {args, nargs};
    return bound;
  }
  if (nargs > sig.params.size()) throw_too_many(sig, nargs);
  for (std::size_t i = 0; i < nargs; ++i) bound.args[i] = args[i];
  return bound;
}

}  // namespace

BoundArgs bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  std::size_t npositional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  BoundArgs bound = bind_positional(sig, args, npositional);
  if (kwnames == nullptr) {
    // The common call: every argument positional, none missing.
    const std::size_t by_position = sig.collects_args ? 0 : npositional;
    if (by_position >= std::min(sig.required, sig.params.size())) return bound;
  } else {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      bind_keyword(sig, bound, npositional, PyTuple_GET_ITEM(kwnames, i),
                   args[npositional + static_cast<std::size_t>(i)]);
    }
  }
  check_complete(sig, bound);
  return bound;
}

BoundArgs bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
  std::size_t npositional = args != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
  BoundArgs bound =
      bind_positional(sig, npositional > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr, npositional);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      bind_keyword(sig, bound, npositional, name, value);
    }
  }
  check_complete(sig, bound);
  return bound;
}

std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal_or_throw(PyType_GetName(Py_TYPE(obj)));
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) throw PyErr::fetch();
  return text;
}

void throw_cannot_convert(PyObject* obj, const char* expected) {
  throw_type_error(std::string("must be ") + expected + ", not " + type_name(obj));
}

void rethrow_for_param(PyErr& err, const char* param) {
  if (!err.matches(PyExc_TypeError)) throw std::move(err);
  PyRef text = PyRef::steal_or_throw(PyObject_Str(err.exception()));
  const char* message = PyUnicode_AsUTF8(text.get());
  if (message == nullptr) throw PyErr::fetch();
  PyErr wrapped(PyExc_TypeError, std::string("argument '") + param + "': " + message);
  // The new error keeps the first error's cause.
  PyException_SetCause(wrapped.exception(), PyException_GetCause(err.exception()));
  throw wrapped;
}

std::string_view extract_str(PyObject* obj, const char* param) {
  return convert_arg(param, [&] {
    if (!PyUnicode_Check(obj)) throw_cannot_convert(obj, "str");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) throw PyErr::fetch();
    return std::string_view(text, static_cast<std::size_t>(len));
  });
}

std::vector<PyRef> extract_iterable(PyObject* obj, const char* full_name, const char* items) {
  const bool is_str = PyUnicode_Check(obj);
  if (is_str || (Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj))) {
    throw_type_error(std::string(full_name) + " takes an iterable of " + items + ", not " +
                     (is_str ? std::string("a str") : type_name(obj)));
  }
  std::vector<PyRef> all;
  // A length hint is the object's own guess: what it may size is capped, and
  // the list grows past it as items come.
  constexpr Py_ssize_t MAX_RESERVED = 1 << 16;
  Py_ssize_t hint = PyObject_LengthHint(obj, 0);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  all.reserve(static_cast<std::size_t>(std::min(hint, MAX_RESERVED)));
  PyRef iter = PyRef::steal_or_throw(PyObject_GetIter(obj));
  while (PyObject* item = PyIter_Next(iter.get())) all.push_back(PyRef::steal(item));
  if (PyErr_Occurred()) throw PyErr::fetch();
  return all;
}

uint64_t extract_count(PyObject* obj, const char* param) {
  convert_arg(param, [&] {
    if (!PyLong_Check(obj)) throw_cannot_convert(obj, "int");
  });
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (n == -1 && PyErr_Occurred()) throw PyErr::fetch();
  if (overflow > 0) return UINT64_MAX;  // no page is that long
  if (overflow < 0 || n < 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': must not be negative", param);
    throw PyErr::fetch();
  }
  return static_cast<uint64_t>(n);
}

}  // namespace quorvane
