#include "index/interfaces/filtered_index.h"

#include <algorithm>

#include "index/core/indexing.h"
#include "index/core/query/query_ops.h"
#include "index/indexable.h"
#include "index/interfaces/index.h"
#include "index/interfaces/ordered_view.h"
#include "index/interfaces/query.h"
#include "index/interfaces/view_aggregates.h"
#include "index/interfaces/view_export.h"
#include "index/interfaces/view_iterator.h"
#include "index/types.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"

namespace quorvane {
namespace {

PyTypeObject* FILTERED_TYPE = nullptr;

IndexView& state_of(PyObject* self) {
  return reinterpret_cast<FilteredIndexObject*>(self)->state;
}
const FilteredView& view_of(PyObject* self) {
  return state_of(self).view;
}
// A view narrowed from `self`'s, of the same index.
PyRef wrap_narrowed(PyObject* self, FilteredView view) {
  return wrap_view(std::move(view), state_of(self).index.get());
}

constexpr char FILTERED_NAME[] = "FilteredIndex";

int Filtered_traverse(PyObject* self, visitproc visit, void* arg) {
  return view_traverse(self, state_of(self), visit, arg);
}

int Filtered_clear(PyObject* self) {
  return guarded_call(-1, [&] {
    view_clear(state_of(self));
    return 0;
  });
}

PyObject* Filtered_collect(PyObject* self, PyObject*) {
  return guarded([&] { return collect_list(view_of(self)); });
}

Py_ssize_t Filtered_len(PyObject* self) {
  return guarded_call<Py_ssize_t>(-1,
                                  [&] { return static_cast<Py_ssize_t>(view_of(self).size()); });
}

int Filtered_contains(PyObject* self, PyObject* obj) {
  // The view holds its objects, so a member's id is its own.
  return PyObject_TypeCheck(obj, indexable_type()) &&
                 view_of(self).bitmap().contains(record_of(obj).id())
             ? 1
             : 0;
}

PyObject* Filtered_iter(PyObject* self) {
  return guarded([&] { return iterate_view(state_of(self)); });
}

// A view of the members of `self` that satisfy every condition.
PyRef narrowed_view(PyObject* self, const std::vector<QueryRef>& conditions) {
  const FilteredView& view = view_of(self);
  Bitmap ids = read_values(
      view,
      [&](const EvalScope& scope) {
        return evaluate_and_queries_vec(scope, view.bitmap(), conditions)
            .intersected(view.bitmap());
      },
      ReadRelease::WhenLong);
  return wrap_narrowed(self, view.narrowed(std::move(ids)));
}

PyObject* Filtered_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"FilteredIndex.reduced()", {}, true};
    return narrowed_view(self, keyword_conditions(bind_fastcall(sig, args, nargs, kwnames)));
  });
}

PyObject* Filtered_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] {
    return narrowed_view(self,
                         query_and_keywords("FilteredIndex.reduced_query()", args, nargs, kwnames));
  });
}

PyObject* Filtered_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    auto conditions = query_and_keywords("FilteredIndex.count()", args, nargs, kwnames);
    const FilteredView& view = view_of(self);
    if (conditions.empty()) return PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(view.size()));
    const uint64_t n = read_values(
        view,
        [&](const EvalScope& scope) {
          return evaluate_and_queries_vec(scope, view.bitmap(), conditions)
              .intersected(view.bitmap())
              .cardinality();
        },
        ReadRelease::WhenLong);
    return PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(n));
  });
}

PyObject* Filtered_order_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    return order_by_call(view_of(self), state_of(self).index.get(), "FilteredIndex.order_by()",
                         args, nargs, kwnames);
  });
}

PyObject* Filtered_count_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    return count_by_call(view_of(self), "FilteredIndex.count_by()", args, nargs, kwnames);
  });
}

// values, to_dicts, to_pandas and to_arrow of the view's objects.
template <PyRef (*kExport)(const ExportSource&, const char*, PyObject* const*, Py_ssize_t,
                           PyObject*),
          const char* kName>
PyObject* Filtered_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&] { return kExport(ExportSource{view_of(self)}, kName, args, nargs, kwnames); });
}

constexpr char FILTERED_VALUES[] = "FilteredIndex.values()";
constexpr char FILTERED_TO_DICTS[] = "FilteredIndex.to_dicts()";
constexpr char FILTERED_TO_PANDAS[] = "FilteredIndex.to_pandas()";
constexpr char FILTERED_TO_ARROW[] = "FilteredIndex.to_arrow()";

PyObject* Filtered_repr(PyObject* self) {
  return guarded([&] { return sized_repr(FILTERED_NAME, view_of(self).size()); });
}

template <Aggregate kKind, const char* kName>
PyObject* Filtered_aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] { return aggregate_call(kKind, view_of(self), kName, args, nargs, kwnames); });
}
constexpr char FILTERED_MIN[] = "FilteredIndex.min()", FILTERED_MAX[] = "FilteredIndex.max()",
               FILTERED_SUM[] = "FilteredIndex.sum()", FILTERED_MEAN[] = "FilteredIndex.mean()";

PyObject* Filtered_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    return explain_call(view_of(self), nullptr, "FilteredIndex.explain()", args, nargs, kwnames);
  });
}

PyObject* Filtered_rebase(PyObject* self, PyObject*) {
  return guarded([&] {
    std::shared_ptr<IndexAPI> api = IndexAPI::create();
    add_objects(*api, view_of(self).items());
    return wrap_index(std::move(api));
  });
}

// The docstrings of FilteredIndex: the text signature, then what each method
// does, returns and raises, and whether it releases the GIL.
PyDoc_STRVAR(FILTERED_DOC,
             "A read-only view: the objects of an Index that matched a query when it ran.\n\n"
             "Made by the reduced and reduced_query methods of Index and FilteredIndex; it "
             "cannot be constructed (TypeError) or subclassed. Its membership is a snapshot: "
             "objects added to or dropped from the index later do not change it, and the "
             "objects it lists stay alive while it does. Refining it queries the objects' current "
             "values, within its members. FilteredIndex[T] is accepted for type "
             "annotations.");

PyDoc_STRVAR(FILTERED_COLLECT_DOC,
             "collect($self)\n--\n\n"
             "Returns a new list of the view's objects in ascending id order.\n"
             "Keeps the GIL.");

PyDoc_STRVAR(FILTERED_REDUCED_DOC,
             "reduced($self, **kwargs)\n--\n\n"
             "Returns a FilteredIndex of the view's objects whose attributes equal every "
             "keyword argument (name=value, as PyQueryExpr.eq(name, value)); no keywords: "
             "the same objects.\n"
             "Raises as Index.get_by_attribute does.\n"
             "Keeps the GIL while it searches (equalities are answered from value sets), "
             "unless a search of a view of 65,536 objects or more runs for half a "
             "millisecond: it lets go of it then, for the rest.");

PyDoc_STRVAR(FILTERED_REDUCED_QUERY_DOC,
             "reduced_query($self, query=None, /, **kwargs)\n--\n\n"
             "Returns a FilteredIndex of the view's objects that match the PyQueryExpr query "
             "(when given) and whose attributes equal every keyword argument; no arguments: "
             "the same objects.\n"
             "Raises as Index.reduce does.\n"
             "Releases the GIL once a search of a view of 65,536 objects or more has run for "
             "half a millisecond, for the rest of it; a shorter search keeps it (handing the "
             "GIL over would cost more).");

PyDoc_STRVAR(FILTERED_REBASE_DOC,
             "rebase($self)\n--\n\n"
             "Returns a new Index of the view's objects, independent of the view's index: "
             "objects added to either later are not shared (assignments still update "
             "both).\n"
             "Raises as Index.add_object_many does for the view's objects.\n"
             "Releases the GIL while it writes the new index when the values to index number "
             "4,096 or more; keeps it for fewer.");

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
    std::vector<StoredItem> batch = indexable_items(objs, "FilteredIndex._from_objects()");
    std::shared_ptr<IndexAPI> api = IndexAPI::create();
    add_objects(*api, std::move(batch));
    FilteredView view = without_gil([&] { return api->reduced({}); });
    PyRef index = wrap_index(std::move(api));
    return wrap_view(std::move(view), index.get());
  });
}

PyDoc_STRVAR(FILTERED_COUNT_DOC,
             "count($self, query=None, /, **kwargs)\n--\n\n"
             "Returns the number of the view's objects that match the PyQueryExpr query (when "
             "given) and whose attributes equal every keyword argument; no arguments: "
             "len(view). No object is built.\n"
             "Raises as Index.reduce does.\n"
             "Releases the GIL once a search of a view of 65,536 objects or more has run for "
             "half a millisecond, for the rest of it; a shorter search keeps it (handing the "
             "GIL over would cost more).");

PyDoc_STRVAR(FILTERED_ORDER_BY_DOC,
             "order_by($self, *keys, descending=False)\n--\n\n"
             "Returns an OrderedView of the view's objects in the order of their values of "
             "the keys: by the first, ties by the next, then by id (see OrderedView for the "
             "order of values and objects lacking a key). A key is an attribute or dotted "
             "path, ascending, '-name' for descending, or a tuple (name, 'asc') or (name, "
             "'desc'); descending=True turns the keys given without a direction "
             "(order_by(name, True) is order_by(name, descending=True)).\n"
             "Raises TypeError when no key is given, a key is not a str or a pair, descending is "
             "not a bool, or a bare 'asc' or 'desc' follows a key; "
             "ValueError for a direction other than 'asc' and 'desc'.\n"
             "Keeps the GIL; reading the OrderedView releases it.");

PyDoc_STRVAR(FILTERED_COUNT_BY_DOC,
             "count_by($self, *attributes, query=None)\n--\n\n"
             "Returns a dict mapping each value of attribute to the number of the view's "
             "objects holding it (an object whose list, tuple or set value holds it counts "
             "once; a dotted path counts each object once for each value it reaches), from "
             "the index's sets: no object is built. Values no object of the view "
             "holds are left out; values that compare equal are one key: numbers of equal "
             "value (an integral number is given as an int, a float as a float, another "
             "number as one of the objects holding it), aware datetimes of one instant "
             "(given as one of them); the counts of True and 1 (False and 0), one key in "
             "Python, add up. Values without a hash (objects that compare by their fields, "
             "such as dataclass instances, which equality matches by identity) are counted by "
             "identity: the answer is then a FacetCounts, a mapping in which they are keys. "
             "Several attributes count combinations: {(value, ...): number of objects holding "
             "each of them}, an object lacking one of the attributes left out. query, a "
             "PyQueryExpr, counts only the objects matching it.\n"
             "Raises TypeError when no attribute is given, an attribute is not a str or query "
             "is not a PyQueryExpr.\n"
             "Releases the GIL while it counts a view of 65,536 objects or more; keeps it "
             "for a smaller one.");

// The entries of the methods Index, FilteredIndex and OrderedView share.

PyMethodDef FILTERED_METHODS[] = {
    {"reduced", QUORVANE_FAST(Filtered_reduced), FAST_KW, FILTERED_REDUCED_DOC},
    {"reduced_query", QUORVANE_FAST(Filtered_reduced_query), FAST_KW, FILTERED_REDUCED_QUERY_DOC},
    {"collect", Filtered_collect, METH_NOARGS, FILTERED_COLLECT_DOC},
    {"rebase", Filtered_rebase, METH_NOARGS, FILTERED_REBASE_DOC},
    {"count", QUORVANE_FAST(Filtered_count), FAST_KW, FILTERED_COUNT_DOC},
    {"order_by", QUORVANE_FAST(Filtered_order_by), FAST_KW, FILTERED_ORDER_BY_DOC},
    {"count_by", QUORVANE_FAST(Filtered_count_by), FAST_KW, FILTERED_COUNT_BY_DOC},
    {"values", QUORVANE_FAST((Filtered_export<values_call, FILTERED_VALUES>)), FAST_KW, VALUES_DOC},
    {"to_dicts", QUORVANE_FAST((Filtered_export<to_dicts_call, FILTERED_TO_DICTS>)), FAST_KW,
     TO_DICTS_DOC},
    {"to_pandas", QUORVANE_FAST((Filtered_export<to_pandas_call, FILTERED_TO_PANDAS>)), FAST_KW,
     TO_PANDAS_DOC},
    {"to_arrow", QUORVANE_FAST((Filtered_export<to_arrow_call, FILTERED_TO_ARROW>)), FAST_KW,
     TO_ARROW_DOC},
    {"min", QUORVANE_FAST((Filtered_aggregate<Aggregate::Min, FILTERED_MIN>)), FAST_KW, MIN_DOC},
    {"max", QUORVANE_FAST((Filtered_aggregate<Aggregate::Max, FILTERED_MAX>)), FAST_KW, MAX_DOC},
    {"sum", QUORVANE_FAST((Filtered_aggregate<Aggregate::Sum, FILTERED_SUM>)), FAST_KW, SUM_DOC},
    {"mean", QUORVANE_FAST((Filtered_aggregate<Aggregate::Mean, FILTERED_MEAN>)), FAST_KW,
     MEAN_DOC},
    {"explain", QUORVANE_FAST(Filtered_explain), FAST_KW, EXPLAIN_DOC},
    {"__reduce__", Filtered_pickle, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the view as the list of its objects."},
    {"_from_objects", Filtered_from_objects, METH_O | METH_CLASS,
     "_from_objects($cls, objs)\n--\n\nThe view of every object of objs, in a new index "
     "(restores a pickled view)."},
    GENERIC_ALIAS_METHOD,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FILTERED_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(FILTERED_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<FILTERED_NAME>)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(
         native_dealloc<FilteredIndexObject, IndexView, &FilteredIndexObject::state>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Filtered_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Filtered_clear)},
    {Py_tp_methods, FILTERED_METHODS},
    {Py_sq_length, reinterpret_cast<void*>(Filtered_len)},
    {Py_sq_contains, reinterpret_cast<void*>(Filtered_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(Filtered_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(Filtered_repr)},
    {0, nullptr},
};

PyType_Spec FILTERED_SPEC = {
    "Quorvane.FilteredIndex", static_cast<int>(sizeof(FilteredIndexObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, FILTERED_SLOTS};

}  // namespace

PyRef wrap_view(FilteredView view, PyObject* index) {
  return new_instance(FILTERED_TYPE, &FilteredIndexObject::state,
                      IndexView{std::move(view), PyRef::borrow(index)});
}

int view_traverse(PyObject* self, const IndexView& state, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(state.index.get());
  return 0;
}

void view_clear(IndexView& state) {
  state.view.drop_objects();
  state.index = PyRef();
}

namespace {

// A new list of `size` objects that `fill(items)` writes, borrowed, into its
// slots. The list is made before the item table is locked: allocating may
// run the cyclic collector, and with it finalizers that change the index.
template <class Fill>
PyRef objects_list(std::size_t size, Fill&& fill) {
  PyRef list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(size)));
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  try {
    fill(items);
  } catch (...) {
    std::fill(items, items + size, nullptr);  // the list owns none of them yet
    throw;
  }
  for (std::size_t i = 0; i < size; ++i) Py_INCREF(items[i]);
  return list;
}

}  // namespace

PyRef sized_repr(const char* class_name, uint64_t count, std::string_view detail) {
  // The count with thousands separators, as f"{count:,}" writes it.
  std::string digits = std::to_string(count);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  std::string text = std::string("<") + class_name + " of " + grouped +
                     (count == 1 ? " object" : " objects") + std::string(detail) + ">";
  return str_from_utf8(text);
}

PyRef collect_list(const FilteredView& view) {
  return objects_list(view.size(), [&](PyObject** items) { view.objects_into(items); });
}

PyRef collect_list(const FilteredView& view, std::span<const uint32_t> ids) {
  return objects_list(ids.size(), [&](PyObject** items) { view.objects_into(ids, items); });
}

PyTypeObject* filtered_index_type() noexcept {
  return FILTERED_TYPE;
}

PyTypeObject* create_filtered_index_type() {
  return create_type_once(FILTERED_TYPE, FILTERED_SPEC);
}

}  // namespace quorvane
