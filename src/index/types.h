// The types that drive value conversion beyond the interpreter's own int,
// float, str and bool: numpy's scalar types, decimal.Decimal and
// fractions.Fraction (each recognised only once the program has imported its
// module, never importing it here) and the Indexable class.
#pragma once

#include "python/py_ref.h"

namespace quorvane {

// The module named by the str `name` if it is in sys.modules (and not None
// there), else null; never imports it. Needs the GIL. Callers keep their
// names as interned strings made once.
PyRef imported_module(PyObject* name);

// numpy's scalar types that convert like bool, and the abstract bases of its
// integer and floating scalars (names that numpy 1 and 2 both have).
struct NumpyTypes {
  PyTypeObject* bool_ = nullptr;
  PyTypeObject* integer = nullptr;
  PyTypeObject* floating = nullptr;
  PyTypeObject* float16 = nullptr;
  PyTypeObject* float32 = nullptr;
};

// numpy's types once numpy is in sys.modules, else null (asked again on the
// next call). Needs the GIL. Importing numpy costs hundreds of milliseconds
// and starts its thread pools, so a program that never imported it never
// pays for it here.
const NumpyTypes* numpy_types();

// decimal.Decimal and fractions.Fraction once their modules are in
// sys.modules, else null (asked again on the next call). Need the GIL.
PyTypeObject* decimal_type();
PyTypeObject* fraction_type();

// The Indexable class (created by module init).
PyTypeObject* indexable_type() noexcept;

}  // namespace quorvane
