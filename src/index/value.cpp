#include "index/value.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>

#include "index/debug_text.h"
#include "index/indexable.h"
#include "index/types.h"
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
  IND_CODE = 6
};

std::atomic<uint64_t> NEXT_ITERABLE_TOKEN{1};

// The text of the pending Python error, which is cleared.
std::string take_error_text() {
  PyErr err = PyErr::fetch();
  PyObject* exc = err.exception();
  std::string text = PyType_Check(Py_TYPE(exc)) ? Py_TYPE(exc)->tp_name : "error";
  PyObject* str = PyObject_Str(exc);
  if (str != nullptr) {
    if (const char* s = PyUnicode_AsUTF8(str)) text += std::string(": ") + s;
    Py_DECREF(str);
  }
  PyErr_Clear();
  return text;
}

[[noreturn]] void type_checked_failure() {
  throw Panic("type checked: " + take_error_text());
}

uint64_t float_bits(double f) {
  uint64_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

bool numpy_bool_value(PyObject* obj, PyTypeObject* t) {
  inquiry truth = t->tp_as_number != nullptr ? t->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                 t->tp_name);
    type_checked_failure();
  }
  int r = truth(obj);
  if (r == 0 || r == 1) return r == 1;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "invalid truth value");
  type_checked_failure();
}

}  // namespace

PyValue PyValue::from_object(PyObject* obj) {
  return convert(obj, true);
}

PyValue PyValue::stored_from_object(PyObject* obj) {
  return convert(obj, false);
}

PyValue PyValue::convert(PyObject* obj, bool keep_scalar_object) {
  PyTypeObject* t = Py_TYPE(obj);
  const TypeTables& tables = type_tables();
  auto scalar_ref = [&]() -> SharedPyRef {
    return keep_scalar_object ? share(PyRef::borrow(obj)) : nullptr;
  };
  if (tables.int_types.contains(t)) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) type_checked_failure();
    return PyValue(scalar_ref(), int64_t{v},
                   FxHasher().word64(uint64_t(v)).word(INT_CODE).finish());
  }
  if (tables.float_types.contains(t)) {
    double f = t == &PyFloat_Type ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (f == -1.0 && PyErr_Occurred()) type_checked_failure();
    return PyValue(scalar_ref(), f, FxHasher().word64(float_bits(f)).word(FLOAT_CODE).finish());
  }
  if (tables.str_types.contains(t)) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) type_checked_failure();
    std::string_view view(text, static_cast<std::size_t>(len));
    uint64_t h = FxHasher().word64(hash_bytes(view)).word(0xFF).word(STR_CODE).finish();
    return PyValue(scalar_ref(), SmallStr(view), h);
  }
  if (tables.bool_types.contains(t)) {
    bool b = t == &PyBool_Type ? obj == Py_True : numpy_bool_value(obj, t);
    return PyValue(scalar_ref(), b, FxHasher().word(b ? 1 : 0).word(0).word(BOOL_CODE).finish());
  }
  SharedPyRef ref = share(PyRef::borrow(obj));
  if (PyType_IsSubtype(t, indexable_type())) {
    uint64_t h =
        FxHasher().word64(reinterpret_cast<uintptr_t>(obj)).word(0).word(IND_CODE).finish();
    return PyValue(std::move(ref), StoredIndexable::from_py_ref(obj), h);
  }
  IterableKind kind;
  if (t == &PyList_Type) {
    kind = IterableKind::List;
  } else if (t == &PyTuple_Type) {
    kind = IterableKind::Tuple;
  } else if (t == &PyDict_Type) {
    kind = IterableKind::Dict;
  } else if (t == &PySet_Type) {
    kind = IterableKind::Set;
  } else {
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1 && PyErr_Occurred()) throw Panic(take_error_text());
    return PyValue(std::move(ref), UnknownValue{}, static_cast<uint64_t>(static_cast<int64_t>(h)));
  }
  uint64_t token = NEXT_ITERABLE_TOKEN.fetch_add(1, std::memory_order_relaxed);
  uint64_t h = FxHasher().word64(token).word(0).word(ITER_CODE).finish();
  return PyValue(std::move(ref), IterableValue{kind, token}, h);
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
        } else if constexpr (std::is_same_v<X, StoredIndexable>) {
          auto* u = std::get_if<StoredIndexable>(&other);
          return u != nullptr && x.object() == u->object();
        } else {
          return std::holds_alternative<UnknownValue>(other) && a.object() == b.object();
        }
      },
      a.primitave_);
}

PyRef PyValue::to_object() const {
  switch (kind()) {
    case ValueKind::Int:
      return PyRef::steal_or_throw(PyLong_FromLongLong(std::get<int64_t>(primitave_)));
    case ValueKind::Float:
      return PyRef::steal_or_throw(PyFloat_FromDouble(std::get<double>(primitave_)));
    case ValueKind::Str: {
      std::string_view s = std::get<SmallStr>(primitave_).view();
      return PyRef::steal_or_throw(
          PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    }
    case ValueKind::Bool:
      return PyRef::borrow(std::get<bool>(primitave_) ? Py_True : Py_False);
    default:
      check(obj_ != nullptr, "value without its object");
      return PyRef::borrow(obj_->get());
  }
}

std::string PyValue::debug_text() const {
  std::string out = "PyValue { obj: ";
  out += obj_ ? "Some(" + debug_object(obj_->get()) + ")" : "None";
  out += ", primitave: ";
  std::visit(
      [&](const auto& x) {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, int64_t>) {
          out += "Int(" + std::to_string(x) + ")";
        } else if constexpr (std::is_same_v<X, double>) {
          out += "Float(" + debug_float(x) + ")";
        } else if constexpr (std::is_same_v<X, SmallStr>) {
          out += "Str(" + debug_string(x.view()) + ")";
        } else if constexpr (std::is_same_v<X, bool>) {
          out += x ? "Bool(true)" : "Bool(false)";
        } else if constexpr (std::is_same_v<X, IterableValue>) {
          static constexpr const char* NAMES[] = {"List", "Dict", "Tuple", "Set"};
          out += std::string("Iterable(") + NAMES[static_cast<int>(x.kind)] + ", " +
                 debug_object(object()) + ")";
        } else if constexpr (std::is_same_v<X, StoredIndexable>) {
          out += "Ind(" + debug_object(x.object()) + ")";
        } else {
          out += "Unknown";
        }
      },
      primitave_);
  out += ", hash: " + std::to_string(hash_) + " }";
  return out;
}

}  // namespace quorvane
