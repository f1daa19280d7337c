// PyValue: one attribute value, pairing the Python object it was made from
// with its native form (CastValue), which the indexes compare, hash and
// order, and with a hash computed once at creation.
//
// Conversion runs Python code (a value's __hash__, a container's elements)
// and so happens with the GIL held and no native lock held; everything after
// it (copying, comparing, indexing, dropping) needs neither.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "index/core/structures/ordered_bitmap/numeric_key.h"
#include "index/core/structures/rational_number/rational_number.h"
#include "index/core/structures/temporal/temporal_value.h"
#include "index/small_str.h"
#include "python/py_ref.h"

namespace quorvane {

enum class IterableKind : uint8_t { List, Dict, Tuple, Set };

// A list, tuple, dict or set value. The container itself is the value's
// object; the token is its address, which no other live container has (every
// value made from a container keeps a reference to it, or borrows one from
// the attribute that holds it). Two assignments of one container are one
// value: what was indexed for an earlier one is told apart by the object's
// version, not by the value.
struct IterableValue {
  IterableKind kind;
  uint64_t token;
};

// An Indexable held as a value; the value's object is the Indexable, which
// the value keeps alive (its address is the value's identity).
struct IndexableRef {};

struct UnknownValue {};

// Alternatives in this order: Int, Float, Str, Bool, Iterable, Ind, Unknown,
// Rational (a number that is neither an int64 nor a double), Temporal (a
// date, datetime, time or timedelta).
using CastValue = std::variant<int64_t, double, SmallStr, bool, IterableValue, IndexableRef,
                               UnknownValue, RationalRef, TemporalValue>;

enum class ValueKind : uint8_t {
  Int,
  Float,
  Str,
  Bool,
  Iterable,
  Ind,
  Unknown,
  Rational,
  Temporal
};

class PyValue {
 public:
  // Converts a Python object (needs the GIL). Numbers of every kind (int and
  // float subclasses such as IntEnum members, numpy scalars, Decimal,
  // Fraction; not bool) become their exact value, str subclasses their text,
  // dates, datetimes, times and timedeltas (subclasses included) their
  // temporal key; list, tuple, dict and set (exact types) are containers; any
  // other object is matched by identity. A value the indexes cannot hold
  // raises an ordinary Python exception naming `attr` (PyErr): a number
  // beyond 65536 bits (OverflowError), a str that is not valid UTF-8
  // (ValueError), an unhashable object of no recognised kind (TypeError); an
  // exception raised by the object's own __hash__ or tzinfo passes through.
  // The value keeps a reference to `obj` (query values show it in their text
  // form).
  static PyValue from_object(PyObject* obj, std::string_view attr);
  // As from_object, for values the engine stores (attribute values and
  // container elements): an int, float, str or bool keeps only its native
  // form, which is all that indexing and reading it back use. Rational and
  // temporal values keep their object, which count_by gives back.
  static PyValue stored_from_object(PyObject* obj, std::string_view attr);

  // Whether `obj`, converted to `value`, can be stored as the bare object
  // (an exact float, bool, compact str, or int within 64 bits), its native
  // form rebuilt from
  // it by of_bare; the kind to rebuild, or nothing.
  static std::optional<ValueKind> bare_kind(PyObject* obj, const PyValue& value) noexcept;
  // The native form of a bare object of `kind`, without its object. Needs no
  // GIL: it only reads the immutable object, which the caller keeps alive.
  static PyValue of_bare(PyObject* obj, ValueKind kind);

  // The value of the container `obj`, as the attribute slot that owns `obj`
  // keeps it (see AttributeMap): the value borrows `obj` and must not outlive
  // the slot. Code that may run while the slot changes (a walk of the
  // container runs Python code) takes a reference of its own (keep_object).
  // Needs no GIL.
  static PyValue container_in_slot(PyObject* obj);

  ValueKind kind() const noexcept { return static_cast<ValueKind>(primitave_.index()); }
  const CastValue& primitave() const noexcept { return primitave_; }
  uint64_t hash() const noexcept { return hash_; }
  PyObject* object() const noexcept { return obj_ ? obj_.get() : nullptr; }
  // The value's Python reference itself, for the collector's traversal.
  const SharedPyRef& reference() const noexcept { return obj_; }

  // Keeps a reference to `obj`, the object this value was converted from
  // (GIL held).
  void keep_object(PyObject* obj) { obj_ = share(PyRef::borrow(obj)); }

  // A new reference to the value as a Python object (needs the GIL): the
  // object it was converted from when it keeps it, else the number, string or
  // boolean rebuilt.
  PyRef to_object() const;

  friend bool operator==(const PyValue& a, const PyValue& b) noexcept;

 private:
  // Rebuilds the numbers, booleans and strings it keeps as native bytes.
  friend class ElementList;

  static PyValue convert(PyObject* obj, bool keep_scalar_object, std::string_view attr);
  static PyValue of_int(SharedPyRef obj, int64_t v);
  static PyValue of_float(SharedPyRef obj, double f);
  static PyValue of_str(SharedPyRef obj, std::string_view text);
  static PyValue of_bool(SharedPyRef obj, bool b);
  static PyValue of_rational(SharedPyRef obj, RationalRef number);
  static PyValue of_temporal(SharedPyRef obj, TemporalValue value);
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

// The one place that says which structure of a value index a value belongs
// to. Every switch over it lists every case, so a new kind cannot fall into
// another kind's handling unnoticed.
enum class IndexedAs : uint8_t {
  Number,    // ordered numeric index, under number_key()
  Rational,  // the exact numbers beside the numeric index, under rational_of()
  Nothing,   // a NaN: it equals and orders with nothing, so it is not indexed
  Text,      // positional string index, under text_of()
  Boolean,   // the two boolean sets
  Temporal,  // ordered temporal index, under temporal_of()
  Elements,  // a container: its elements are indexed one by one
  Object,    // exact-value table, and the nested engine (an Indexable)
  Identity,  // exact-value table only, matched by identity
};
IndexedAs indexed_as(const PyValue& v) noexcept;
// The sort key of an Int or Float value.
NumericKey number_key(const PyValue& v);
// The UTF-8 text of a Str value.
std::string_view text_of(const PyValue& v);
// The flag of a Bool value.
inline bool flag_of(const PyValue& v) {
  return std::get<bool>(v.primitave());
}
// The number of a Rational value.
inline const RationalRef& rational_of(const PyValue& v) {
  return std::get<RationalRef>(v.primitave());
}
// The key of a Temporal value.
inline const TemporalValue& temporal_of(const PyValue& v) {
  return std::get<TemporalValue>(v.primitave());
}

// The orders that range queries walk: numbers of every kind together,
// strings by code point, and each temporal family apart (Python orders no
// two of them with each other).
enum class OrderFamily : uint8_t {
  Number,
  Text,
  Date,
  DateTime,
  AwareDateTime,
  Time,
  AwareTime,
  Duration
};
// The order `v` belongs to, or nothing for a value without one (a bool, a
// container, None, an object of another kind). A NaN is a number.
std::optional<OrderFamily> order_family(const PyValue& v) noexcept;
// "number", "str", "date", "naive datetime", ... for error messages.
const char* order_family_name(OrderFamily family) noexcept;

// A value ready to be indexed: for a container, its elements as they were
// walked (with the GIL), nested containers flattened in walk order, so that
// indexing and later removal never call into Python and never recurse.
struct PreparedValue {
  static constexpr uint32_t TOP = UINT32_MAX;
  struct Element {
    PyValue value;
    uint32_t parent;  // position of the enclosing container element, or TOP
  };
  PyValue value;
  std::vector<Element> elements;
};

// Walks a container value (needs the GIL; other values are returned as they
// are). A container met again while it is being walked (a list that contains
// itself, directly or through other containers) contributes nothing the
// second time. A list is walked up to its current end at every step (an
// element's __hash__ may shrink it). Errors as for PyValue::from_object,
// naming `attr`.
PreparedValue prepare_value(PyValue value, std::string_view attr);

}  // namespace quorvane
