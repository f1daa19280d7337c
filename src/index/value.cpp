#include "index/value.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>

#include "absl/container/flat_hash_set.h"
#include "index/types.h"
#include "index/value_conversion.h"
#include "python/errors.h"
#include "util/fxhash.h"
#include "util/panic.h"

namespace quorvane {
namespace {

// Hash kind codes: the alternative's index plus one, fed after the payload so
// that values of different kinds hash apart.
enum : uint32_t {
  INT_CODE = 1,
  FLOAT_CODE = 2,
  STR_CODE = 3,
  BOOL_CODE = 4,
  ITER_CODE = 5,
  IND_CODE = 6,
  RATIONAL_CODE = 8,
  TEMPORAL_CODE = 9
};

uint64_t iterable_hash(uint64_t token) {
  return FxHasher().word64(token).word(0).word(ITER_CODE).finish();
}

// The kind of an exact list, tuple, dict or set.
std::optional<IterableKind> iterable_kind(PyTypeObject* t) noexcept {
  if (t == &PyList_Type) return IterableKind::List;
  if (t == &PyTuple_Type) return IterableKind::Tuple;
  if (t == &PyDict_Type) return IterableKind::Dict;
  if (t == &PySet_Type) return IterableKind::Set;
  return std::nullopt;
}

IterableValue iterable_of(PyObject* obj, IterableKind kind) noexcept {
  return IterableValue{kind, reinterpret_cast<uintptr_t>(obj)};
}

uint64_t float_bits(double f) {
  uint64_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

// The truth value of a numpy bool; -1 with a Python error set on failure.
int numpy_bool_value(PyObject* obj, PyTypeObject* t) {
  inquiry truth = t->tp_as_number != nullptr ? t->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                 t->tp_name);
    return -1;
  }
  int r = truth(obj);
  if (r < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "invalid truth value");
  return r;
}

}  // namespace

PyValue PyValue::from_object(PyObject* obj, std::string_view attr) {
  return convert(obj, true, attr);
}

PyValue PyValue::stored_from_object(PyObject* obj, std::string_view attr) {
  return convert(obj, false, attr);
}

PyValue PyValue::of_int(SharedPyRef obj, int64_t v) {
  return PyValue(std::move(obj), v, FxHasher().word64(uint64_t(v)).word(INT_CODE).finish());
}

PyValue PyValue::of_float(SharedPyRef obj, double f) {
  return PyValue(std::move(obj), f, FxHasher().word64(float_bits(f)).word(FLOAT_CODE).finish());
}

PyValue PyValue::of_str(SharedPyRef obj, std::string_view text) {
  uint64_t h = FxHasher().word64(hash_bytes(text)).word(0xFF).word(STR_CODE).finish();
  return PyValue(std::move(obj), SmallStr(text), h);
}

PyValue PyValue::of_bool(SharedPyRef obj, bool b) {
  return PyValue(std::move(obj), b, FxHasher().word(b ? 1 : 0).word(0).word(BOOL_CODE).finish());
}

PyValue PyValue::of_rational(SharedPyRef obj, RationalRef number) {
  const uint64_t h = FxHasher().word64(number->hash()).word(RATIONAL_CODE).finish();
  return PyValue(std::move(obj), std::move(number), h);
}

PyValue PyValue::of_temporal(SharedPyRef obj, TemporalValue value) {
  const uint64_t h = FxHasher()
                         .word(static_cast<uint32_t>(value.family))
                         .word64(static_cast<uint64_t>(value.high))
                         .word64(value.low)
                         .word(TEMPORAL_CODE)
                         .finish();
  return PyValue(std::move(obj), value, h);
}

PyValue PyValue::convert(PyObject* obj, bool keep_scalar_object, std::string_view attr) {
  PyTypeObject* t = Py_TYPE(obj);
  auto scalar_ref = [&]() -> SharedPyRef {
    return keep_scalar_object ? share(PyRef::borrow(obj)) : nullptr;
  };
  auto of_number = [&](NumberForm number) {
    if (const auto* i = std::get_if<int64_t>(&number)) return of_int(scalar_ref(), *i);
    if (const auto* f = std::get_if<double>(&number)) return of_float(scalar_ref(), *f);
    // The object stands for the number when count_by gives it back.
    return of_rational(share(PyRef::borrow(obj)), std::get<RationalRef>(std::move(number)));
  };
  auto of_text = [&]() {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) throw_for_attribute(attr);
    return of_str(scalar_ref(), std::string_view(text, static_cast<std::size_t>(len)));
  };
  // The interpreter's own types first, by exact type.
  if (t == &PyLong_Type) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) return of_int(scalar_ref(), v);
    return of_number(number_of_int(obj, attr));
  }
  if (t == &PyFloat_Type) return of_float(scalar_ref(), PyFloat_AS_DOUBLE(obj));
  if (t == &PyUnicode_Type) return of_text();
  if (t == &PyBool_Type) return of_bool(scalar_ref(), obj == Py_True);
  const std::optional<IterableKind> kind = iterable_kind(t);
  if (!kind) {
    if (PyType_IsSubtype(t, indexable_type())) {
      uint64_t h =
          FxHasher().word64(reinterpret_cast<uintptr_t>(obj)).word(0).word(IND_CODE).finish();
      return PyValue(share(PyRef::borrow(obj)), IndexableRef{}, h);
    }
    // Subclasses compare as their base does (IntEnum and IntFlag members,
    // numpy.float64, numpy.str_, StrEnum members); bool has none.
    if (PyLong_Check(obj)) return of_number(number_of_int(obj, attr));
    if (PyFloat_Check(obj)) return of_float(scalar_ref(), PyFloat_AS_DOUBLE(obj));
    if (PyUnicode_Check(obj)) return of_text();
    if (const NumpyTypes* numpy = numpy_types(); numpy != nullptr && t == numpy->bool_) {
      const int b = numpy_bool_value(obj, t);
      if (b < 0) throw_for_attribute(attr);
      return of_bool(scalar_ref(), b == 1);
    }
    if (auto number = other_number(obj, attr)) return of_number(std::move(*number));
    if (auto temporal = temporal_value(obj, attr)) {
      return of_temporal(share(PyRef::borrow(obj)), *temporal);
    }
    // Values of no recognised kind match by identity; the hash only spreads
    // them over the exact-value table, but an unhashable object is refused,
    // as a dict key would be.
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1 && PyErr_Occurred()) throw_for_attribute(attr);
    return PyValue(share(PyRef::borrow(obj)), UnknownValue{},
                   static_cast<uint64_t>(static_cast<int64_t>(h)));
  }
  const IterableValue container = iterable_of(obj, *kind);
  return PyValue(share(PyRef::borrow(obj)), container, iterable_hash(container.token));
}

PyValue PyValue::container_in_slot(PyObject* obj) {
  const IterableValue container = iterable_of(obj, *iterable_kind(Py_TYPE(obj)));
  // An alias with no owner: copies of it move no reference count.
  return PyValue(SharedPyRef(SharedPyRef(), obj), container, iterable_hash(container.token));
}

namespace {

// The value of an exact int known to fit in 64 bits, read from its digits:
// a pure read of an immutable object, so no GIL is needed.
int64_t int_of_long(PyObject* obj) noexcept {
  const auto* op = reinterpret_cast<const PyLongObject*>(obj);
  if (PyUnstable_Long_IsCompact(op)) return static_cast<int64_t>(PyUnstable_Long_CompactValue(op));
  const uintptr_t tag = op->long_value.lv_tag;
  const std::size_t ndigits = tag >> 3;  // the low bits hold the sign and flags
  uint64_t magnitude = 0;
  for (std::size_t i = ndigits; i-- > 0;) {
    magnitude = (magnitude << PyLong_SHIFT) | op->long_value.ob_digit[i];
  }
  const bool negative = (tag & 3) == 2;
  return static_cast<int64_t>(negative ? ~magnitude + 1 : magnitude);
}

// The UTF-8 text of a compact str whose UTF-8 form is cached (always for
// ASCII; for other text once PyUnicode_AsUTF8AndSize ran): read without the
// GIL, as the cache never changes once made.
std::string_view cached_utf8(PyObject* obj) noexcept {
  if (PyUnicode_IS_COMPACT_ASCII(obj)) {
    const auto* ascii = reinterpret_cast<const PyASCIIObject*>(obj);
    return {reinterpret_cast<const char*>(ascii + 1), static_cast<std::size_t>(ascii->length)};
  }
  const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(obj);
  return {compact->utf8, static_cast<std::size_t>(compact->utf8_length)};
}

}  // namespace

std::optional<ValueKind> PyValue::bare_kind(PyObject* obj, const PyValue& value) noexcept {
  PyTypeObject* t = Py_TYPE(obj);
  // An int beyond 64 bits is kept with its converted value.
  if (t == &PyLong_Type) {
    if (value.kind() == ValueKind::Int) return ValueKind::Int;
    return std::nullopt;
  }
  if (t == &PyFloat_Type || t == &PyBool_Type) return value.kind();
  // A str's UTF-8 form is cached by the conversion (ASCII text is its own).
  if (t == &PyUnicode_Type && PyUnicode_IS_COMPACT(obj) &&
      (PyUnicode_IS_ASCII(obj) ||
       reinterpret_cast<const PyCompactUnicodeObject*>(obj)->utf8 != nullptr)) {
    return ValueKind::Str;
  }
  return std::nullopt;
}

PyValue PyValue::of_bare(PyObject* obj, ValueKind kind) {
  switch (kind) {
    case ValueKind::Int:
      return of_int(nullptr, int_of_long(obj));
    case ValueKind::Float:
      return of_float(nullptr, PyFloat_AS_DOUBLE(obj));
    case ValueKind::Str:
      return of_str(nullptr, cached_utf8(obj));
    case ValueKind::Bool:
      return of_bool(nullptr, obj == Py_True);
    case ValueKind::Iterable:
    case ValueKind::Ind:
    case ValueKind::Unknown:
    case ValueKind::Rational:
    case ValueKind::Temporal:
      break;
  }
  throw Panic("a value of this kind is never stored bare");
}

bool operator==(const PyValue& a, const PyValue& b) noexcept {
  if (a.hash_ != b.hash_) return false;
  return std::visit(
      [&](const auto& x) -> bool {
        using X = std::decay_t<decltype(x)>;
        const CastValue& other = b.primitave_;
        if constexpr (std::is_same_v<X, int64_t>) {
          if (auto* y = std::get_if<int64_t>(&other)) return x == *y;
          if (auto* f = std::get_if<double>(&other)) return static_cast<double>(x) == *f;
          if (auto* t = std::get_if<bool>(&other)) return x == (*t ? 1 : 0);
          return false;
        } else if constexpr (std::is_same_v<X, double>) {
          if (auto* g = std::get_if<double>(&other)) return x == *g;
          if (auto* y = std::get_if<int64_t>(&other)) return x == static_cast<double>(*y);
          return false;
        } else if constexpr (std::is_same_v<X, bool>) {
          if (auto* u = std::get_if<bool>(&other)) return x == *u;
          if (auto* y = std::get_if<int64_t>(&other)) return *y == (x ? 1 : 0);
          return false;
        } else if constexpr (std::is_same_v<X, SmallStr>) {
          auto* u = std::get_if<SmallStr>(&other);
          return u != nullptr && x == *u;
        } else if constexpr (std::is_same_v<X, IterableValue>) {
          auto* u = std::get_if<IterableValue>(&other);
          return u != nullptr && x.token == u->token;
        } else if constexpr (std::is_same_v<X, IndexableRef>) {
          return std::holds_alternative<IndexableRef>(other) && a.object() == b.object();
        } else if constexpr (std::is_same_v<X, RationalRef>) {
          auto* u = std::get_if<RationalRef>(&other);
          return u != nullptr && *x == **u;
        } else if constexpr (std::is_same_v<X, TemporalValue>) {
          auto* u = std::get_if<TemporalValue>(&other);
          return u != nullptr && x == *u;
        } else {
          static_assert(std::is_same_v<X, UnknownValue>);
          return std::holds_alternative<UnknownValue>(other) && a.object() == b.object();
        }
      },
      a.primitave_);
}

PyRef PyValue::to_object() const {
  if (obj_) return PyRef::borrow(obj_.get());
  switch (kind()) {
    case ValueKind::Int:
      return PyRef::steal_or_throw(PyLong_FromLongLong(std::get<int64_t>(primitave_)));
    case ValueKind::Float:
      return PyRef::steal_or_throw(PyFloat_FromDouble(std::get<double>(primitave_)));
    case ValueKind::Str: {
      return str_from_utf8(std::get<SmallStr>(primitave_).view());
    }
    case ValueKind::Bool:
      return PyRef::borrow(std::get<bool>(primitave_) ? Py_True : Py_False);
    case ValueKind::Iterable:
    case ValueKind::Ind:
    case ValueKind::Unknown:
    case ValueKind::Rational:
    case ValueKind::Temporal:
      break;
  }
  throw Panic("value without its object");
}

IndexedAs indexed_as(const PyValue& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Int:
      return IndexedAs::Number;
    case ValueKind::Float:
      return std::isnan(std::get<double>(v.primitave())) ? IndexedAs::Nothing : IndexedAs::Number;
    case ValueKind::Str:
      return IndexedAs::Text;
    case ValueKind::Bool:
      return IndexedAs::Boolean;
    case ValueKind::Iterable:
      return IndexedAs::Elements;
    case ValueKind::Ind:
      return IndexedAs::Object;
    case ValueKind::Unknown:
      return IndexedAs::Identity;
    case ValueKind::Rational:
      return IndexedAs::Rational;
    case ValueKind::Temporal:
      return IndexedAs::Temporal;
  }
  return IndexedAs::Identity;
}

std::optional<OrderFamily> order_family(const PyValue& v) noexcept {
  switch (v.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
    case ValueKind::Rational:
      return OrderFamily::Number;
    case ValueKind::Str:
      return OrderFamily::Text;
    case ValueKind::Temporal:
      // The temporal families follow Number and Text in the same order.
      return static_cast<OrderFamily>(static_cast<int>(OrderFamily::Date) +
                                      static_cast<int>(temporal_of(v).family));
    case ValueKind::Bool:
    case ValueKind::Iterable:
    case ValueKind::Ind:
    case ValueKind::Unknown:
      break;
  }
  return std::nullopt;
}

const char* order_family_name(OrderFamily family) noexcept {
  static constexpr const char* NAMES[] = {
      "number",         "str",        "date",       "naive datetime",
      "aware datetime", "naive time", "aware time", "timedelta"};
  static_assert(std::size(NAMES) == static_cast<std::size_t>(OrderFamily::Duration) + 1);
  return NAMES[static_cast<int>(family)];
}

NumericKey number_key(const PyValue& v) {
  if (const auto* i = std::get_if<int64_t>(&v.primitave())) return numeric_key(*i);
  return numeric_key(std::get<double>(v.primitave()));
}

std::string_view text_of(const PyValue& v) {
  return std::get<SmallStr>(v.primitave()).view();
}

namespace {

// One container being walked: where its elements go and how far it is.
struct OpenContainer {
  PyRef container;
  IterableKind kind;
  uint32_t parent;      // element position of this container, or TOP
  Py_ssize_t next = 0;  // list and tuple position
  Py_ssize_t start_len = 0;
  PyRef iter;  // set iteration
};

// The next element of `open` as a new reference, or null when it is done.
PyRef next_element(OpenContainer& open, std::string_view attr) {
  PyObject* c = open.container.get();
  switch (open.kind) {
    case IterableKind::Dict:
      return PyRef();  // a dict stores nothing
    case IterableKind::List:
      // The length is read again at every step: converting an element may
      // run Python code that shrinks the list.
      if (open.next >= std::min(open.start_len, PyList_GET_SIZE(c))) return PyRef();
      return PyRef::borrow(PyList_GET_ITEM(c, open.next++));
    case IterableKind::Tuple:
      if (open.next >= PyTuple_GET_SIZE(c)) return PyRef();
      return PyRef::borrow(PyTuple_GET_ITEM(c, open.next++));
    case IterableKind::Set: {
      if (!open.iter) {
        open.iter = PyRef::steal(PyObject_GetIter(c));
        if (!open.iter) throw_for_attribute(attr);
      }
      PyRef item = PyRef::steal(PyIter_Next(open.iter.get()));
      // A set changed by an element's __hash__ fails its iteration: the
      // user's error, reported as such.
      if (!item && PyErr_Occurred()) throw_for_attribute(attr);
      return item;
    }
  }
  return PyRef();
}

OpenContainer open_container(const PyValue& value, uint32_t parent) {
  OpenContainer open{PyRef::borrow(value.object()),
                     std::get<IterableValue>(value.primitave()).kind,
                     parent,
                     0,
                     0,
                     PyRef()};
  if (open.kind == IterableKind::List) open.start_len = PyList_GET_SIZE(open.container.get());
  return open;
}

}  // namespace

PreparedValue prepare_value(PyValue value, std::string_view attr) {
  PreparedValue prepared{std::move(value), {}};
  if (prepared.value.kind() != ValueKind::Iterable) return prepared;
  // Depth-first with an explicit stack, so that nesting depth costs memory,
  // not native stack. `walking` holds the containers on the current path.
  std::vector<OpenContainer> stack;
  absl::flat_hash_set<PyObject*> walking;
  stack.push_back(open_container(prepared.value, PreparedValue::TOP));
  walking.insert(prepared.value.object());
  while (!stack.empty()) {
    PyRef item = next_element(stack.back(), attr);
    if (!item) {
      walking.erase(stack.back().container.get());
      stack.pop_back();
      continue;
    }
    if (walking.contains(item.get())) continue;  // a cycle: walked already on this path
    PyValue element = PyValue::stored_from_object(item.get(), attr);
    const uint32_t parent = stack.back().parent;
    check(prepared.elements.size() < PreparedValue::TOP, "container too large to index");
    const auto position = static_cast<uint32_t>(prepared.elements.size());
    const bool nested = element.kind() == ValueKind::Iterable;
    prepared.elements.push_back({std::move(element), parent});
    if (nested) {
      stack.push_back(open_container(prepared.elements.back().value, position));
      walking.insert(item.get());
    }
  }
  return prepared;
}

}  // namespace quorvane
