// Process-wide type tables that drive value conversion: the interpreter's
// scalar types, numpy's scalar types when numpy is importable, and the
// Indexable class. Filled once on first use (with the GIL held).
#pragma once

#include <array>

#include "python/py_ref.h"

namespace quorvane {

// At most two types per kind: the builtin one, then numpy's when present.
struct TypeList {
  std::array<PyTypeObject*, 2> types{};
  bool contains(PyTypeObject* t) const noexcept {
    return t == types[0] || (types[1] && t == types[1]);
  }
};

struct TypeTables {
  TypeList int_types;    // int, numpy.int64
  TypeList float_types;  // float, numpy.float64
  TypeList str_types;    // str, numpy.str_
  TypeList bool_types;   // bool, numpy.bool
};

// The tables, initialised once per process; needs the GIL.
const TypeTables& type_tables();

// The Indexable class (created by module init).
PyTypeObject* indexable_type() noexcept;

}  // namespace quorvane
