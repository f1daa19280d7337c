// PyValue: one attribute value, pairing the Python object it was made from
// with its native form (CastValue), which the indexes compare, hash and
// order, and with a hash computed once at creation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "index/small_str.h"
#include "python/py_ref.h"

namespace quorvane {

class Indexable;

enum class IterableKind : uint8_t { List, Dict, Tuple, Set };

// A list, tuple, dict or set value. The container itself is the value's
// `obj`; the token identifies this value (and its copies) among all values.
struct IterableValue {
  IterableKind kind;
  uint64_t token;
};

// The native reference to an Indexable held as a value: a strong Python
// reference (its object's address is the value's identity) and a native
// record sharing the object's attributes and membership list, which does not
// own the object's id.
struct StoredIndexable {
  SharedPyRef python_handle;
  std::shared_ptr<Indexable> owned_handle;

  // Needs the GIL. `obj` must be an Indexable instance.
  static StoredIndexable from_py_ref(PyObject* obj);
  PyObject* object() const noexcept { return python_handle->get(); }
  uint32_t id() const noexcept;
};

struct UnknownValue {};

// Alternatives in this order: Int, Float, Str, Bool, Iterable, Ind, Unknown.
using CastValue =
    std::variant<int64_t, double, SmallStr, bool, IterableValue, StoredIndexable, UnknownValue>;

enum class ValueKind : uint8_t { Int, Float, Str, Bool, Iterable, Ind, Unknown };

class PyValue {
 public:
  // Converts a Python object by exact type tests (needs the GIL). A conversion
  // that cannot complete (an int beyond 64 bits, a str that is not valid
  // UTF-8, a failing numpy bool, an unhashable unknown object) throws Panic
  // with the interpreter's error text. The value keeps a reference to `obj`
  // (query values show it in their text form).
  static PyValue from_object(PyObject* obj);
  // As from_object, for values the engine stores (attribute values and
  // container elements): an int, float, str or bool keeps only its native
  // form, which is all that indexing and reading it back use, so storing it
  // costs no shared reference.
  static PyValue stored_from_object(PyObject* obj);

  ValueKind kind() const noexcept { return static_cast<ValueKind>(primitave_.index()); }
  const CastValue& primitave() const noexcept { return primitave_; }
  uint64_t hash() const noexcept { return hash_; }
  PyObject* object() const noexcept { return obj_ ? obj_->get() : nullptr; }

  // A new reference to the value as a Python object (needs the GIL): numbers,
  // strings and booleans are rebuilt, other kinds return the stored object.
  PyRef to_object() const;
  // The text form used by query reprs, e.g.
  // "PyValue { obj: Some(Py(0x7f..)), primitave: Int(5), hash: 123 }".
  std::string debug_text() const;

  friend bool operator==(const PyValue& a, const PyValue& b) noexcept;

 private:
  static PyValue convert(PyObject* obj, bool keep_scalar_object);
  PyValue(SharedPyRef obj, CastValue primitave, uint64_t hash)
      : obj_(std::move(obj)), primitave_(std::move(primitave)), hash_(hash) {}

  SharedPyRef obj_;
  CastValue primitave_;
  uint64_t hash_;
};

// Hash functor over the cached hash, for hash maps keyed by PyValue.
struct PyValueHash {
  uint64_t operator()(const PyValue& v) const noexcept { return v.hash(); }
};

}  // namespace quorvane
