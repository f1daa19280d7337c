// The module entry: PyInit_Quorvane, registration, __version__ and
// sum_as_string.
#include <atomic>
#include <string>

#include "index/indexable.h"
#include "index/interfaces/facet_counts.h"
#include "index/interfaces/filtered_index.h"
#include "index/interfaces/index.h"
#include "index/interfaces/ordered_view.h"
#include "index/interfaces/query.h"
#include "index/interfaces/view_iterator.h"
#include "python/arg_binding.h"
#include "python/gil.h"

namespace quorvane {
namespace {

std::atomic<int64_t> OWNING_INTERPRETER{-1};
PyObject* MODULE = nullptr;

std::size_t extract_size_t(PyObject* obj, const char* param) {
  return convert_arg(param, [&] {
    PyRef index = PyRef::steal_or_throw(PyNumber_Index(obj));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErr::fetch();
    if (value > SIZE_MAX) {
      throw PyErr(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(value);
  });
}

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"sum_as_string()", {"a", "b"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    std::size_t a = extract_size_t(bound[0], "a");
    std::size_t b = extract_size_t(bound[1], "b");
    std::string text = std::to_string(a + b);  // wraps modulo 2^width
    return str_from_utf8(text);
  });
}

PyDoc_STRVAR(SUM_AS_STRING_DOC,
             "sum_as_string(a, b)\n--\n\n"
             "Formats the sum of two numbers as string.\n\n"
             "Returns str(a + b) for integers (or objects with __index__) from 0 to 2**64 - 1; "
             "the sum wraps modulo 2**64.\n"
             "Raises OverflowError for a negative argument or one of 2**64 or more, TypeError "
             "for an argument that is not an integer.\n"
             "Keeps the GIL.");

PyMethodDef SUM_AS_STRING_DEF = {"sum_as_string", QUORVANE_FAST(sum_as_string), FAST_KW,
                                 SUM_AS_STRING_DOC};

PyDoc_STRVAR(MODULE_DOC,
             "A native module for Python that indexes Python objects by their "
             "attribute values.\n\n"
             "Derive your classes from Indexable, add their objects to an Index, and find them "
             "by equality, numeric range, string prefix, suffix or substring, membership, "
             "and/or/not, through dotted paths and the elements of list, tuple and set values. "
             "Queries are built with the static methods of PyQueryExpr and answered as "
             "FilteredIndex views, counted without building objects, ordered and paged as "
             "OrderedView, and summed up by value with count_by. Assigning an attribute "
             "re-indexes the object in every Index that holds it.\n\n"
             "Classes: Index, Indexable, FilteredIndex, OrderedView, PyQueryExpr; "
             "PanicException is raised "
             "only for internal failures. The user's guide is docs/guide.md in the source "
             "distribution.");

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "Quorvane", MODULE_DOC, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    throw PyErr::fetch();
  }
}

PyRef init_module() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PyErr::fetch();
  int64_t expected = -1;
  if (!OWNING_INTERPRETER.compare_exchange_strong(expected, id) && expected != id) {
    throw PyErr(PyExc_ImportError,
                "Quorvane does not support subinterpreters: it is already loaded in another "
                "interpreter of this process");
  }
  if (MODULE != nullptr) return PyRef::borrow(MODULE);
  install_gil_aware_waiting();
  PyRef module = PyRef::steal_or_throw(PyModule_Create(&MODULE_DEF));
  PyRef name = PyRef::steal_or_throw(PyUnicode_FromString("Quorvane"));
  PyRef function =
      PyRef::steal_or_throw(PyCMethod_New(&SUM_AS_STRING_DEF, module.get(), name.get(), nullptr));
  PyRef fname = PyRef::steal_or_throw(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(fname.get())) throw_cannot_convert(fname.get(), "str");
  if (PyObject_SetAttr(module.get(), fname.get(), function.get()) < 0) throw PyErr::fetch();
  if (PyModule_AddStringConstant(module.get(), "__version__", QUORVANE_VERSION) < 0) {
    throw PyErr::fetch();
  }
  add_type(module.get(), "Index", create_index_type());
  add_type(module.get(), "Indexable", create_indexable_type());
  add_type(module.get(), "FilteredIndex", create_filtered_index_type());
  add_type(module.get(), "PyQueryExpr", create_query_type());
  add_type(module.get(), "OrderedView", create_ordered_view_type());
  create_view_iterator_type();
  if (PyModule_AddObjectRef(module.get(), "FacetCounts", create_facet_counts_type()) < 0) {
    throw PyErr::fetch();
  }
  PyObject* panic = panic_exception_type();
  if (panic == nullptr) throw PyErr::fetch();
  if (PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) throw PyErr::fetch();
  MODULE = Py_NewRef(module.get());
  return module;
}

}  // namespace
}  // namespace quorvane

PyMODINIT_FUNC PyInit_Quorvane(void) {
  return quorvane::guarded([] { return quorvane::init_module(); });
}
