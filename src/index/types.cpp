#include "index/types.h"

#include <atomic>

namespace quorvane {
namespace {

// numpy's scalar type of that name, or null: numpy is optional, and any error
// while looking it up only means the type is not recognised.
PyTypeObject* numpy_type(PyObject* numpy, const char* name) {
  if (numpy == nullptr) return nullptr;
  PyObject* attr = PyObject_GetAttrString(numpy, name);
  if (attr == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyType_Check(attr)) {
    Py_DECREF(attr);
    return nullptr;
  }
  // Kept for the life of the process.
  return reinterpret_cast<PyTypeObject*>(attr);
}

TypeTables build_tables() {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) PyErr_Clear();
  TypeTables t;
  t.int_types.types = {&PyLong_Type, numpy_type(numpy, "int64")};
  t.float_types.types = {&PyFloat_Type, numpy_type(numpy, "float64")};
  t.str_types.types = {&PyUnicode_Type, numpy_type(numpy, "str_")};
  t.bool_types.types = {&PyBool_Type, numpy_type(numpy, "bool")};
  Py_XDECREF(numpy);
  return t;
}

}  // namespace

const TypeTables& type_tables() {
  // The first caller holds the GIL; the import may release it, so a plain
  // static initialiser (which would make a second thread wait while holding
  // the GIL) is not used. Concurrent first users may both build the tables;
  // one result wins and both are equal.
  static std::atomic<const TypeTables*> tables{nullptr};
  const TypeTables* current = tables.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  auto* built = new TypeTables(build_tables());
  const TypeTables* expected = nullptr;
  if (!tables.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
    delete built;
    return *expected;
  }
  return *built;
}

}  // namespace quorvane
