// Conversion of the values that compare by value beyond the interpreter's
// own int, float, str and bool: numbers of every kind (ints of any size,
// numpy scalars, Decimal, Fraction) and the datetime module's values. Needs
// the GIL: it runs Python code (a tzinfo's utcoffset, a Decimal's methods).
//
// Every number becomes its exact value: an int64 or a double when it is one
// (so that 2**63, Decimal("1.5") and Fraction(4, 2) share the keys of the
// float 2**63, 1.5 and the int 2), else a RationalNumber.
#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include "index/core/structures/rational_number/rational_number.h"
#include "index/core/structures/temporal/temporal_value.h"
#include "python/py_ref.h"

namespace quorvane {

using NumberForm = std::variant<int64_t, double, RationalRef>;

// The value of an int object of any size, subclasses included. A number
// beyond RationalNumber::MAX_BITS raises OverflowError naming `attr`.
NumberForm number_of_int(PyObject* obj, std::string_view attr);

// The value of a number of a recognised kind that is not an int or a float
// (nor a subclass of one): a numpy integer or floating scalar, a Decimal, a
// Fraction; nothing for any other object. A NaN becomes the float NaN; a
// signalling Decimal NaN is refused as Python refuses to hash it; errors
// name `attr`.
std::optional<NumberForm> other_number(PyObject* obj, std::string_view attr);

// The key of a date, datetime, time or timedelta (subclasses included),
// once the datetime module is imported; nothing for any other object. A
// tzinfo's own error passes through, naming `attr`.
std::optional<TemporalValue> temporal_value(PyObject* obj, std::string_view attr);

// An int object for an integral RationalNumber (GIL held).
PyRef int_of_rational(const RationalNumber& number);

}  // namespace quorvane
