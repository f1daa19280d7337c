#include "index/types.h"

#include <atomic>

namespace quorvane {
namespace {

// numpy's scalar type of that name, or null: any error while looking it up
// only means the type is not recognised.
PyTypeObject* numpy_type(PyObject* numpy, const char* name) {
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

}  // namespace

const NumpyTypes* numpy_types() {
  // Built once, by the first conversion after numpy appeared in sys.modules.
  // Two threads may both build it (attribute lookups can switch threads);
  // one result wins and both are equal.
  static std::atomic<const NumpyTypes*> types{nullptr};
  const NumpyTypes* current = types.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
  if (!name) {
    PyErr_Clear();
    return nullptr;
  }
  // Looks into sys.modules only; a half-initialised numpy (being imported)
  // is taken as it is: its scalar types exist before its submodules.
  PyRef numpy = PyRef::steal(PyImport_GetModule(name.get()));
  if (!numpy) {
    PyErr_Clear();
    return nullptr;
  }
  auto* built = new NumpyTypes{numpy_type(numpy.get(), "int64"), numpy_type(numpy.get(), "float64"),
                               numpy_type(numpy.get(), "str_"), numpy_type(numpy.get(), "bool_")};
  const NumpyTypes* expected = nullptr;
  if (!types.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
    delete built;
    return expected;
  }
  return built;
}

}  // namespace quorvane
