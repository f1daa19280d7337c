// Text forms used by query reprs: strings in debug form (quoted, escaped),
// floats in their shortest round-trip form, Python objects by address.
#pragma once

#include <string>
#include <string_view>

#include "python/py_ref.h"

namespace quorvane {

// Between double quotes; quotes, backslashes and control characters escaped.
std::string debug_string(std::string_view text);
// Shortest form that reads back to the same double, with ".0" for integral
// values ("1.0", "0.1", "1e300", "NaN", "inf", "-inf").
std::string debug_float(double value);
// "Py(0x<lowercase hex address>)".
std::string debug_object(PyObject* obj);

}  // namespace quorvane
