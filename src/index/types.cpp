#include "index/types.h"

#include <atomic>

namespace quorvane {
namespace {

// The type `name` of `module`, or null: any error while looking it up
// only means the type is not recognised.
PyTypeObject* type_attribute(PyObject* module, const char* name) {
  PyObject* attr = PyObject_GetAttrString(module, name);
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

// The class `name` of module `module` once that module is imported, cached
// for the life of the process in `cache`.
PyTypeObject* module_class(std::atomic<PyTypeObject*>& cache, PyObject* module, const char* name) {
  PyTypeObject* current = cache.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  PyRef found = imported_module(module);
  if (!found) return nullptr;
  PyTypeObject* type = type_attribute(found.get(), name);
  if (type == nullptr) return nullptr;
  PyTypeObject* expected = nullptr;
  if (!cache.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
    Py_DECREF(type);
    return expected;
  }
  return type;
}

}  // namespace

PyRef imported_module(PyObject* name) {
  if (name == nullptr) {
    PyErr_Clear();  // the name could not be made
    return PyRef();
  }
  PyRef module = PyRef::steal(PyImport_GetModule(name));
  if (!module) PyErr_Clear();
  // sys.modules[name] = None blocks the import: the module is not there.
  if (module.get() == Py_None) return PyRef();
  return module;
}

const NumpyTypes* numpy_types() {
  // Built once, by the first conversion after numpy appeared in sys.modules.
  // Two threads may both build it (attribute lookups can switch threads);
  // one result wins and both are equal.
  static std::atomic<const NumpyTypes*> types{nullptr};
  const NumpyTypes* current = types.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  // Looks into sys.modules only; a half-initialised numpy (being imported)
  // is taken as it is: its scalar types exist before its submodules.
  static PyObject* const NAME = PyUnicode_InternFromString("numpy");
  PyRef numpy = imported_module(NAME);
  if (!numpy) return nullptr;
  auto* built = new NumpyTypes{
      type_attribute(numpy.get(), "bool_"), type_attribute(numpy.get(), "integer"),
      type_attribute(numpy.get(), "floating"), type_attribute(numpy.get(), "float16"),
      type_attribute(numpy.get(), "float32")};
  const NumpyTypes* expected = nullptr;
  if (!types.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
    delete built;
    return expected;
  }
  return built;
}

PyTypeObject* decimal_type() {
  static std::atomic<PyTypeObject*> type{nullptr};
  static PyObject* const MODULE = PyUnicode_InternFromString("decimal");
  return module_class(type, MODULE, "Decimal");
}

PyTypeObject* fraction_type() {
  static std::atomic<PyTypeObject*> type{nullptr};
  static PyObject* const MODULE = PyUnicode_InternFromString("fractions");
  return module_class(type, MODULE, "Fraction");
}

}  // namespace quorvane
