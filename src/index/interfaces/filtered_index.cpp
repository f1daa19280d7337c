#include "index/interfaces/filtered_index.h"

#include "index/core/indexing.h"
#include "index/core/query/query_ops.h"
#include "index/indexable.h"
#include "index/interfaces/index.h"
#include "index/interfaces/query.h"
#include "index/types.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"

namespace quorvane {
namespace {

PyTypeObject* FILTERED_TYPE = nullptr;

const FilteredView& view_of(PyObject* self) {
  return reinterpret_cast<FilteredIndexObject*>(self)->view;
}

constexpr char FILTERED_NAME[] = "FilteredIndex";

PyObject* Filtered_collect(PyObject* self, PyObject*) {
  return guarded([&] { return collect_list(view_of(self)); });
}

Py_ssize_t Filtered_len(PyObject* self) {
  return static_cast<Py_ssize_t>(view_of(self).objects().size());
}

int Filtered_contains(PyObject* self, PyObject* obj) {
  // The view holds its objects, so a member's id is its own.
  return PyObject_TypeCheck(obj, indexable_type()) &&
                 view_of(self).bitmap().contains(record_of(obj).id())
             ? 1
             : 0;
}

PyObject* Filtered_iter(PyObject* self) {
  return guarded([&] {
    PyRef list = collect_list(view_of(self));
    return PyRef::steal_or_throw(PyObject_GetIter(list.get()));
  });
}

PyObject* Filtered_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const Signature sig{"FilteredIndex.reduced()", {}, true};
    BoundArgs bound = bind_tuple(sig, args, kwargs);
    auto conditions = kwargs_to_query(bound.kwargs.get());
    const FilteredView& view = view_of(self);
    return wrap_view(without_gil([&] {
      auto maps = view.query_maps()->read();
      return view.narrowed(
          evaluate_and_queries_vec(EvalScope{*maps, view.reach()}, view.bitmap(), conditions));
    }));
  });
}

PyObject* Filtered_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"FilteredIndex.reduced_query()", {"query"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    const QueryExpr& query = *query_arg(bound[0], "query");
    const FilteredView& view = view_of(self);
    // Runs with the GIL held; a busy lock is waited for without it.
    auto maps = view.query_maps()->read();
    Bitmap ids = evaluate_query(EvalScope{*maps, view.reach()}, view.bitmap(), query);
    ids.intersect_with(view.bitmap());
    return wrap_view(view.narrowed(std::move(ids)));
  });
}

PyObject* Filtered_rebase(PyObject* self, PyObject*) {
  return guarded([&] {
    std::shared_ptr<IndexAPI> api = IndexAPI::create();
    add_objects(*api, view_of(self).objects());
    return wrap_index(std::move(api));
  });
}

// Pickling and copying: the view's objects, restored as the view of every
// member of a new index of them (kept alive by the view).
PyObject* Filtered_pickle(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef restore = PyRef::steal_or_throw(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(FILTERED_TYPE), "_from_objects"));
    PyRef objects = collect_list(view_of(self));
    return PyRef::steal_or_throw(Py_BuildValue("(O(O))", restore.get(), objects.get()));
  });
}

PyObject* Filtered_from_objects(PyObject*, PyObject* objs) {
  return guarded([&] {
    std::vector<StoredItem> batch = indexable_items(objs, "objs");
    std::shared_ptr<IndexAPI> api = IndexAPI::create();
    add_objects(*api, batch);
    FilteredView view = without_gil([&] { return api->reduced({}); });
    view.keep_engine(std::move(api));
    return wrap_view(std::move(view));
  });
}

PyMethodDef FILTERED_METHODS[] = {
    {"reduced", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Filtered_reduced)),
     METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Filtered_reduced_query)),
     METH_FASTCALL | METH_KEYWORDS, "reduced_query($self, query)\n--\n\n"},
    {"collect", Filtered_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"rebase", Filtered_rebase, METH_NOARGS, "rebase($self)\n--\n\n"},
    {"__reduce__", Filtered_pickle, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"_from_objects", Filtered_from_objects, METH_O | METH_CLASS,
     "_from_objects($cls, objs)\n--\n\nThe view of every object of objs, in a new index "
     "(restores a pickled view)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FILTERED_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<FILTERED_NAME>)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(
         native_dealloc<FilteredIndexObject, FilteredView, &FilteredIndexObject::view>)},
    {Py_tp_methods, FILTERED_METHODS},
    {Py_sq_length, reinterpret_cast<void*>(Filtered_len)},
    {Py_sq_contains, reinterpret_cast<void*>(Filtered_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(Filtered_iter)},
    {0, nullptr},
};

PyType_Spec FILTERED_SPEC = {"Quorvane.FilteredIndex",
                             static_cast<int>(sizeof(FilteredIndexObject)), 0, Py_TPFLAGS_DEFAULT,
                             FILTERED_SLOTS};

}  // namespace

PyRef wrap_view(FilteredView view) {
  return new_instance(FILTERED_TYPE, &FilteredIndexObject::view, std::move(view));
}

PyRef collect_list(const FilteredView& view) {
  return object_list(view.objects());
}

PyRef object_list(const std::vector<StoredItem>& objects) {
  PyRef list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  for (std::size_t i = 0; i < objects.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(objects[i]->get()));
  }
  return list;
}

PyTypeObject* filtered_index_type() noexcept {
  return FILTERED_TYPE;
}

PyTypeObject* create_filtered_index_type() {
  return create_type_once(FILTERED_TYPE, FILTERED_SPEC);
}

}  // namespace quorvane
