#include "index/interfaces/index.h"

#include "index/core/indexing.h"
#include "index/interfaces/filtered_index.h"
#include "index/interfaces/query.h"
#include "index/types.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"

namespace quorvane {
namespace {

PyTypeObject* INDEX_TYPE = nullptr;

IndexAPI& api_of(PyObject* self) {
  return *reinterpret_cast<IndexObject*>(self)->api;
}

PyObject* Index_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const Signature sig{"Index.__new__()", {}};
    bind_tuple(sig, args, kwargs);
    return wrap_index(IndexAPI::create());
  });
}

PyObject* Index_collect(PyObject* self, PyObject*) {
  return guarded([&] { return object_list(api_of(self).members()); });
}

PyObject* Index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.add_object()", {"py_ref"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    PyObject* obj = reinterpret_cast<PyObject*>(
        extract_instance<IndexableObject>(bound[0], indexable_type(), "Indexable", "py_ref"));
    std::shared_ptr<IndexAPI> api = reinterpret_cast<IndexObject*>(self)->api;
    add_objects(*api, {share(PyRef::borrow(obj))});
    return PyRef::borrow(Py_None);
  });
}

// The keyword methods share binding and conversion.
std::vector<QueryRef> keyword_conditions(const char* full_name, PyObject* args, PyObject* kwargs) {
  Signature sig{full_name, {}, true};
  BoundArgs bound = bind_tuple(sig, args, kwargs);
  return kwargs_to_query(bound.kwargs.get());
}

PyObject* Index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto conditions = keyword_conditions("Index.get_by_attribute()", args, kwargs);
    FilteredView view = without_gil([&] { return api_of(self).reduced(conditions); });
    return collect_list(view);
  });
}

PyObject* Index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto conditions = keyword_conditions("Index.reduced()", args, kwargs);
    return wrap_view(without_gil([&] { return api_of(self).reduced(conditions); }));
  });
}

PyObject* Index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto conditions = keyword_conditions("Index.reduce()", args, kwargs);
    without_gil([&] { api_of(self).reduce(conditions); });
    return PyRef::borrow(Py_None);
  });
}

PyObject* Index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.reduced_query()", {"query"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    QueryRef query =
        extract_instance<PyQueryExprObject>(bound[0], query_type(), "PyQueryExpr", "query")->expr;
    return wrap_view(without_gil([&] { return api_of(self).reduced_query(*query); }));
  });
}

#define QUORVANE_FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;
constexpr int VARKW = METH_VARARGS | METH_KEYWORDS;

PyMethodDef INDEX_METHODS[] = {
    {"collect", Index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"reduced", QUORVANE_FAST(Index_reduced), VARKW, "reduced($self, **kwargs)\n--\n\n"},
    {"reduce", QUORVANE_FAST(Index_reduce), VARKW, "reduce($self, **kwargs)\n--\n\n"},
    {"get_by_attribute", QUORVANE_FAST(Index_get_by_attribute), VARKW,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"add_object_many", QUORVANE_FAST(Index_add_object_many), FAST,
     "add_object_many($self, objs)\n--\n\n"},
    {"add_object", QUORVANE_FAST(Index_add_object), FAST, "add_object($self, py_ref)\n--\n\n"},
    {"reduced_query", QUORVANE_FAST(Index_reduced_query), FAST,
     "reduced_query($self, query)\n--\n\n"},
    {"union_with", QUORVANE_FAST(Index_union_with), FAST, "union_with($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot INDEX_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(
                        native_dealloc<IndexObject, std::shared_ptr<IndexAPI>, &IndexObject::api>)},
    {Py_tp_methods, INDEX_METHODS},
    {0, nullptr},
};

PyType_Spec INDEX_SPEC = {"Quorvane.Index", static_cast<int>(sizeof(IndexObject)), 0,
                          Py_TPFLAGS_DEFAULT, INDEX_SLOTS};

}  // namespace

PyRef wrap_index(std::shared_ptr<IndexAPI> api) {
  return new_instance(INDEX_TYPE, &IndexObject::api, std::move(api));
}

PyTypeObject* index_type() noexcept {
  return INDEX_TYPE;
}

PyTypeObject* create_index_type() {
  return create_type_once(INDEX_TYPE, INDEX_SPEC);
}

}  // namespace quorvane
