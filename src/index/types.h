// The types that drive value conversion beyond the interpreter's own int,
// float, str and bool: numpy's scalar types (recognised only once the program
// has imported numpy, never importing it here) and the Indexable class.
#pragma once

#include "python/py_ref.h"

namespace quorvane {

// numpy's scalar types that convert like int, float, str and bool.
struct NumpyTypes {
  PyTypeObject* int64 = nullptr;
  PyTypeObject* float64 = nullptr;
  PyTypeObject* str_ = nullptr;
  PyTypeObject* bool_ = nullptr;
};

// numpy's types once numpy is in sys.modules, else null (asked again on the
// next call). Needs the GIL. Importing numpy costs hundreds of milliseconds
// and starts its thread pools, so a program that never imported it never
// pays for it here.
const NumpyTypes* numpy_types();

// The Indexable class (created by module init).
PyTypeObject* indexable_type() noexcept;

}  // namespace quorvane
