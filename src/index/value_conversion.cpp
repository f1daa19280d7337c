#include "index/value_conversion.h"

#include <datetime.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "index/types.h"
#include "python/errors.h"

namespace quorvane {
namespace {

constexpr int NATIVE_BYTES_FLAGS =
    Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER;

[[noreturn]] void refuse(PyObject* type, const char* message, std::string_view attr) {
  PyErr_SetString(type, message);
  throw_for_attribute(attr);
}

PyRef checked(PyObject* result, std::string_view attr) {
  if (result == nullptr) throw_for_attribute(attr);
  return PyRef::steal(result);
}

// `name` of `obj` as its base type `base` defines it: a subclass's own
// override is never consulted, since Python compares such a value by what the
// base type stores (Decimal.__eq__ ignores an overridden as_integer_ratio).
PyRef base_attribute(PyTypeObject* base, PyObject* obj, const char* name, std::string_view attr) {
  PyRef key = checked(PyUnicode_InternFromString(name), attr);
  PyObject* descr = _PyType_Lookup(base, key.get());  // borrowed
  if (descr == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s has no attribute '%s'", base->tp_name, name);
    throw_for_attribute(attr);
  }
  descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
  if (get == nullptr) return PyRef::borrow(descr);
  return checked(get(descr, obj, reinterpret_cast<PyObject*>(base)), attr);
}

// `obj.name()` with the method of its base type `base` (see base_attribute).
PyRef call_base_method(PyTypeObject* base, PyObject* obj, const char* name, std::string_view attr) {
  PyRef method = base_attribute(base, obj, name, attr);
  return checked(PyObject_CallNoArgs(method.get()), attr);
}

bool truth(PyObject* obj, std::string_view attr) {
  const int t = PyObject_IsTrue(obj);
  if (t < 0) throw_for_attribute(attr);
  return t == 1;
}

// The sign of an exact int: -1, 0 or 1.
int sign_of(PyObject* integer, std::string_view attr) {
  PyRef zero = checked(PyLong_FromLong(0), attr);
  const int below = PyObject_RichCompareBool(integer, zero.get(), Py_LT);
  if (below < 0) throw_for_attribute(attr);
  if (below == 1) return -1;
  const int above = PyObject_RichCompareBool(integer, zero.get(), Py_GT);
  if (above < 0) throw_for_attribute(attr);
  return above;
}

// An exact int from a result that must be an int (a subclass is copied).
PyRef exact_int(PyObject* value, const char* what, std::string_view attr) {
  if (!PyLong_Check(value)) refuse(PyExc_TypeError, what, attr);
  return checked(PyNumber_Index(value), attr);
}

// The numerator and denominator of an as_integer_ratio() result: a tuple of
// two ints, the denominator positive.
std::pair<PyRef, PyRef> ratio_parts(PyObject* ratio, std::string_view attr) {
  constexpr const char* NOT_A_PAIR = "as_integer_ratio() did not give a pair of ints";
  if (!PyTuple_Check(ratio) || PyTuple_GET_SIZE(ratio) != 2) {
    refuse(PyExc_TypeError, NOT_A_PAIR, attr);
  }
  PyRef n = exact_int(PyTuple_GET_ITEM(ratio, 0), NOT_A_PAIR, attr);
  PyRef d = exact_int(PyTuple_GET_ITEM(ratio, 1), NOT_A_PAIR, attr);
  if (sign_of(d.get(), attr) <= 0) {
    refuse(PyExc_ValueError, "as_integer_ratio() gave a denominator that is not positive", attr);
  }
  return {std::move(n), std::move(d)};
}

// The magnitude of an exact int, refused beyond the size kept exactly.
Magnitude magnitude_of(PyObject* integer, std::string_view attr) {
  PyRef absolute = checked(PyNumber_Absolute(integer), attr);
  const Py_ssize_t size = PyLong_AsNativeBytes(absolute.get(), nullptr, 0, NATIVE_BYTES_FLAGS);
  if (size < 0) throw_for_attribute(attr);
  if (static_cast<std::size_t>(size) > RationalNumber::MAX_BITS / 8) {
    refuse(PyExc_OverflowError, "number too large to index (more than 65536 bits)", attr);
  }
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  if (PyLong_AsNativeBytes(absolute.get(), bytes.data(), size, NATIVE_BYTES_FLAGS) < 0) {
    throw_for_attribute(attr);
  }
  return magnitude_of_bytes(bytes);
}

// The int64 value of an exact int, or nothing when it does not fit; `sign`
// receives the side it overflows to.
std::optional<int64_t> int64_of(PyObject* integer, int& overflow, std::string_view attr) {
  const long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_for_attribute(attr);
  if (overflow != 0) return std::nullopt;
  return static_cast<int64_t>(v);
}

// The comparison of a finite double with n/d (d > 0): -1, 0 or 1.
int compare_with_ratio(double f, PyObject* n, PyObject* d, std::string_view attr) {
  PyRef as_float = checked(PyFloat_FromDouble(f), attr);
  PyRef ratio = call_base_method(&PyFloat_Type, as_float.get(), "as_integer_ratio", attr);
  auto [fn, fd] = ratio_parts(ratio.get(), attr);
  // f = fn / fd, so f <=> n / d is fn * d <=> n * fd.
  PyRef left = checked(PyNumber_Multiply(fn.get(), d), attr);
  PyRef right = checked(PyNumber_Multiply(n, fd.get()), attr);
  PyRef difference = checked(PyNumber_Subtract(left.get(), right.get()), attr);
  return sign_of(difference.get(), attr);
}

NumericKey min_key(NumericKey a, NumericKey b) {
  return b < a ? b : a;
}
NumericKey max_key(NumericKey a, NumericKey b) {
  return a < b ? b : a;
}

// The number n / d, for exact ints with d > 0 and no common factor.
NumberForm number_of_ratio(PyObject* n, PyObject* d, std::string_view attr) {
  Magnitude numerator = magnitude_of(n, attr);
  Magnitude denominator = magnitude_of(d, attr);
  const bool integral = denominator.size() == 1 && denominator[0] == 1;
  int overflow = 0;
  if (integral) {
    if (auto v = int64_of(n, overflow, attr)) return *v;
  }
  const int sign = sign_of(n, attr);
  // An int divided by an int is correctly rounded; beyond the doubles' range
  // it overflows, which stands for the infinity on that side.
  double approx;
  if (PyObject* quotient = PyNumber_TrueDivide(n, d)) {
    approx = PyFloat_AsDouble(quotient);
    Py_DECREF(quotient);
  } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    approx = sign < 0 ? -HUGE_VAL : HUGE_VAL;
  } else {
    throw_for_attribute(attr);
  }
  const int approx_order =
      std::isinf(approx) ? (approx > 0 ? 1 : -1) : compare_with_ratio(approx, n, d, attr);
  if (approx_order == 0) return approx;
  // The neighbours among the doubles, then among the int64s.
  NumericKey below = numeric_key(approx_order < 0 ? approx : std::nextafter(approx, -HUGE_VAL));
  NumericKey above = numeric_key(approx_order > 0 ? approx : std::nextafter(approx, HUGE_VAL));
  PyRef floor = checked(PyNumber_FloorDivide(n, d), attr);
  if (auto f = int64_of(floor.get(), overflow, attr)) {
    below = max_key(below, numeric_key(*f));
    // Not an integer (an integral int64 was returned above): the ceiling is
    // the next integer.
    if (*f < std::numeric_limits<int64_t>::max()) above = min_key(above, numeric_key(*f + 1));
  } else if (overflow > 0) {
    below = max_key(below, numeric_key(std::numeric_limits<int64_t>::max()));
  } else {
    above = min_key(above, numeric_key(std::numeric_limits<int64_t>::min()));
  }
  return std::make_shared<const RationalNumber>(sign < 0, std::move(numerator),
                                                std::move(denominator), approx, below, above);
}

NumberForm number_of_exact_int(PyObject* integer, std::string_view attr) {
  int overflow = 0;
  if (auto v = int64_of(integer, overflow, attr)) return *v;
  PyRef one = checked(PyLong_FromLong(1), attr);
  return number_of_ratio(integer, one.get(), attr);
}

// A Decimal's value. Its digits and exponent are checked before its exact
// fraction is built: Decimal("1e999999999") is a small object whose
// fraction would not fit in memory.
// Read through Decimal's own methods, whatever a subclass overrides.
NumberForm number_of_decimal(PyObject* obj, PyTypeObject* decimal, std::string_view attr) {
  PyRef finite = call_base_method(decimal, obj, "is_finite", attr);
  if (!truth(finite.get(), attr)) {
    PyRef signalling = call_base_method(decimal, obj, "is_snan", attr);
    if (truth(signalling.get(), attr)) {
      // Python refuses to hash (and to compare) a signalling NaN.
      if (PyObject_Hash(obj) == -1) throw_for_attribute(attr);
      return std::numeric_limits<double>::quiet_NaN();
    }
    PyRef as_float = call_base_method(decimal, obj, "__float__", attr);  // a NaN or an infinity
    if (!PyFloat_Check(as_float.get())) refuse(PyExc_TypeError, "__float__() gave no float", attr);
    return PyFloat_AS_DOUBLE(as_float.get());
  }
  PyRef parts = call_base_method(decimal, obj, "as_tuple", attr);
  if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 3) {
    refuse(PyExc_TypeError, "as_tuple() did not give (sign, digits, exponent)", attr);
  }
  const Py_ssize_t count = PyObject_Length(PyTuple_GET_ITEM(parts.get(), 1));
  if (count < 0) throw_for_attribute(attr);
  int overflow = 0;
  auto e = int64_of(PyTuple_GET_ITEM(parts.get(), 2), overflow, attr);
  // 10**k takes k * log2(10) < 3.33 k bits. Compared without negating or
  // adding anything that could overflow.
  constexpr int64_t MAX_DIGITS = static_cast<int64_t>(RationalNumber::MAX_BITS * 3 / 10);
  if (!e || *e < -MAX_DIGITS || *e > MAX_DIGITS || count > MAX_DIGITS - (*e < 0 ? -*e : *e)) {
    refuse(PyExc_OverflowError, "number too large to index (more than 65536 bits)", attr);
  }
  PyRef ratio = call_base_method(decimal, obj, "as_integer_ratio", attr);
  auto [n, d] = ratio_parts(ratio.get(), attr);
  return number_of_ratio(n.get(), d.get(), attr);
}

// Read through Fraction's own properties, whatever a subclass overrides.
NumberForm number_of_fraction(PyObject* obj, PyTypeObject* fraction, std::string_view attr) {
  PyRef n = base_attribute(fraction, obj, "numerator", attr);
  PyRef d = base_attribute(fraction, obj, "denominator", attr);
  constexpr const char* NOT_INTS = "a Fraction whose numerator or denominator is not an int";
  PyRef exact_n = exact_int(n.get(), NOT_INTS, attr);
  PyRef exact_d = exact_int(d.get(), NOT_INTS, attr);
  if (sign_of(exact_d.get(), attr) <= 0) {
    refuse(PyExc_ValueError, "a Fraction whose denominator is not positive", attr);
  }
  return number_of_ratio(exact_n.get(), exact_d.get(), attr);
}

// A numpy floating scalar that is not a float64 (which is a float).
NumberForm number_of_numpy_floating(PyObject* obj, const NumpyTypes& numpy, std::string_view attr) {
  PyRef as_float = checked(PyNumber_Float(obj), attr);
  const double f = PyFloat_AS_DOUBLE(as_float.get());
  PyTypeObject* t = Py_TYPE(obj);
  // A half or single float is exactly its double; a NaN is a NaN whatever
  // its width.
  if (t == numpy.float16 || t == numpy.float32 || std::isnan(f)) return f;
  // Wider floats (long double) may hold more than a double: their exact
  // fraction, unless they are infinite.
  PyObject* ratio = PyObject_CallMethod(obj, "as_integer_ratio", nullptr);
  if (ratio == nullptr) {
    if (!std::isinf(f) || !PyErr_ExceptionMatches(PyExc_OverflowError)) throw_for_attribute(attr);
    PyErr_Clear();
    return f;
  }
  PyRef owned = PyRef::steal(ratio);
  auto [n, d] = ratio_parts(ratio, attr);
  return number_of_ratio(n.get(), d.get(), attr);
}

// The datetime module's C API once the module is imported, else null (asked
// again on the next call).
const PyDateTime_CAPI* datetime_api() {
  static std::atomic<const PyDateTime_CAPI*> api{nullptr};
  const PyDateTime_CAPI* current = api.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  static PyObject* const NAME = PyUnicode_InternFromString("datetime");
  if (!imported_module(NAME)) return nullptr;
  // The module is imported already, so this only reads its attribute.
  auto* found = static_cast<const PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
  if (found == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  api.store(found, std::memory_order_release);
  return found;
}

int64_t micros_of_delta(PyObject* delta) {
  return PyDateTime_DELTA_GET_DAYS(delta) * MICROS_PER_DAY +
         int64_t{PyDateTime_DELTA_GET_SECONDS(delta)} * 1000000 +
         PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

// The UTC offset of an aware datetime or time in microseconds, or nothing
// when it is naive (no tzinfo, or one whose utcoffset is None). Asked of
// `base` (datetime or time), whose utcoffset asks the tzinfo and checks its
// answer, whatever a subclass overrides; the answer is checked again here.
std::optional<int64_t> utc_offset(PyTypeObject* base, PyObject* obj, PyObject* tzinfo,
                                  std::string_view attr) {
  if (tzinfo == Py_None) return std::nullopt;
  PyRef offset = call_base_method(base, obj, "utcoffset", attr);
  if (offset.get() == Py_None) return std::nullopt;
  if (!PyObject_TypeCheck(offset.get(), datetime_api()->DeltaType)) {
    refuse(PyExc_TypeError, "utcoffset() gave neither a timedelta nor None", attr);
  }
  return micros_of_delta(offset.get());
}

int64_t micros_of_day(int hour, int minute, int second, int micro) {
  return ((int64_t{hour} * 60 + minute) * 60 + second) * 1000000 + micro;
}

// A datetime or time at `local` microseconds: of the aware family, by its
// UTC offset, when its tzinfo gives one, else of the naive family.
TemporalValue with_offset(PyTypeObject* base, PyObject* obj, PyObject* tzinfo, int64_t local,
                          TemporalFamily naive, TemporalFamily aware, std::string_view attr) {
  if (auto offset = utc_offset(base, obj, tzinfo, attr)) {
    return TemporalValue{aware, local - *offset, 0};
  }
  return TemporalValue{naive, local, 0};
}

}  // namespace

NumberForm number_of_int(PyObject* obj, std::string_view attr) {
  if (PyLong_CheckExact(obj)) return number_of_exact_int(obj, attr);
  // A subclass's value, without its own methods (an exact copy).
  PyRef exact = checked(PyNumber_Index(obj), attr);
  return number_of_exact_int(exact.get(), attr);
}

std::optional<NumberForm> other_number(PyObject* obj, std::string_view attr) {
  PyTypeObject* t = Py_TYPE(obj);
  if (const NumpyTypes* numpy = numpy_types()) {
    if (numpy->integer != nullptr && PyType_IsSubtype(t, numpy->integer)) {
      PyRef exact = checked(PyNumber_Index(obj), attr);
      return number_of_exact_int(exact.get(), attr);
    }
    if (numpy->floating != nullptr && PyType_IsSubtype(t, numpy->floating)) {
      return number_of_numpy_floating(obj, *numpy, attr);
    }
  }
  if (PyTypeObject* decimal = decimal_type(); decimal != nullptr && PyType_IsSubtype(t, decimal)) {
    return number_of_decimal(obj, decimal, attr);
  }
  if (PyTypeObject* fraction = fraction_type();
      fraction != nullptr && PyType_IsSubtype(t, fraction)) {
    return number_of_fraction(obj, fraction, attr);
  }
  return std::nullopt;
}

std::optional<TemporalValue> temporal_value(PyObject* obj, std::string_view attr) {
  const PyDateTime_CAPI* api = datetime_api();
  if (api == nullptr) return std::nullopt;
  PyTypeObject* t = Py_TYPE(obj);
  // datetime derives from date: it is tested first.
  if (PyType_IsSubtype(t, api->DateTimeType)) {
    const int64_t days =
        ordinal_of(PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj));
    const int64_t local =
        days * MICROS_PER_DAY +
        micros_of_day(PyDateTime_DATE_GET_HOUR(obj), PyDateTime_DATE_GET_MINUTE(obj),
                      PyDateTime_DATE_GET_SECOND(obj), PyDateTime_DATE_GET_MICROSECOND(obj));
    return with_offset(api->DateTimeType, obj, PyDateTime_DATE_GET_TZINFO(obj), local,
                       TemporalFamily::DateTime, TemporalFamily::AwareDateTime, attr);
  }
  if (PyType_IsSubtype(t, api->DateType)) {
    return TemporalValue{
        TemporalFamily::Date,
        ordinal_of(PyDateTime_GET_YEAR(obj), PyDateTime_GET_MONTH(obj), PyDateTime_GET_DAY(obj)),
        0};
  }
  if (PyType_IsSubtype(t, api->TimeType)) {
    const int64_t local =
        micros_of_day(PyDateTime_TIME_GET_HOUR(obj), PyDateTime_TIME_GET_MINUTE(obj),
                      PyDateTime_TIME_GET_SECOND(obj), PyDateTime_TIME_GET_MICROSECOND(obj));
    return with_offset(api->TimeType, obj, PyDateTime_TIME_GET_TZINFO(obj), local,
                       TemporalFamily::Time, TemporalFamily::AwareTime, attr);
  }
  if (PyType_IsSubtype(t, api->DeltaType)) {
    const int64_t within_day = int64_t{PyDateTime_DELTA_GET_SECONDS(obj)} * 1000000 +
                               PyDateTime_DELTA_GET_MICROSECONDS(obj);
    return TemporalValue{TemporalFamily::Duration, PyDateTime_DELTA_GET_DAYS(obj),
                         static_cast<uint64_t>(within_day)};
  }
  return std::nullopt;
}

PyRef int_of_rational(const RationalNumber& number) {
  const Magnitude& limbs = number.numerator();
  std::vector<unsigned char> bytes(limbs.size() * 4);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<unsigned char>(limbs[i / 4] >> (8 * (i % 4)));
  }
  PyRef magnitude = PyRef::steal_or_throw(
      PyLong_FromUnsignedNativeBytes(bytes.data(), bytes.size(), NATIVE_BYTES_FLAGS));
  if (!number.negative()) return magnitude;
  return PyRef::steal_or_throw(PyNumber_Negative(magnitude.get()));
}

}  // namespace quorvane
