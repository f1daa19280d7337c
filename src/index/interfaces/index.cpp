#include "index/interfaces/index.h"

#include "absl/container/flat_hash_set.h"
#include "index/core/indexing.h"
#include "index/interfaces/filtered_index.h"
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

PyTypeObject* INDEX_TYPE = nullptr;

IndexAPI& api_of(PyObject* self) {
  return *reinterpret_cast<IndexObject*>(self)->api;
}

// Whether a query over the members is likely long enough to pay for
// releasing the GIL (see WORTH_RELEASING_THE_GIL): by the number of members
// it may have to consider.
bool long_query(IndexAPI& api) {
  return api.member_count() >= 16 * WORTH_RELEASING_THE_GIL;
}

// Index(objs=(), /): the objects of any iterable are added as
// add_object_many adds them, all or nothing.
PyObject* Index_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const Signature sig{
        .full_name = "Index()", .params = {"objs"}, .required = 0, .positional_only = true};
    BoundArgs bound = bind_tuple(sig, args, kwargs);
    std::shared_ptr<IndexAPI> api = IndexAPI::create();
    if (bound[0] != nullptr) add_objects(*api, indexable_items(bound[0], sig.full_name));
    return wrap_index(std::move(api));
  });
}

// The collector sees the members and values the engine alone holds (see
// IndexAPI::visit_references), unless a thread works on an engine without
// the GIL: the references could then change between the collector's two
// readings, so none is shown (a later collection frees what this one keeps).
int Index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const std::shared_ptr<IndexAPI>& api = reinterpret_cast<IndexObject*>(self)->api;
  if (api == nullptr || threads_work_without_gil()) return 0;
  return api->visit_references([&](PyObject* object) { return visit(object, arg); });
}

// Breaks a cycle through the index by dropping its members, which leaves it
// an empty index. Their references are released once the engine's locks are.
int Index_tp_clear(PyObject* self) {
  return guarded_call(-1, [&] {
    std::shared_ptr<IndexAPI> api = reinterpret_cast<IndexObject*>(self)->api;
    if (api != nullptr) without_gil([&] { api->clear(); });
    return 0;
  });
}

PyObject* Index_collect(PyObject* self, PyObject*) {
  return guarded([&] { return collect_list(api_of(self).all_members()); });
}

Py_ssize_t Index_len(PyObject* self) {
  return guarded_call<Py_ssize_t>(
      -1, [&] { return static_cast<Py_ssize_t>(api_of(self).member_count()); });
}

int Index_contains(PyObject* self, PyObject* obj) {
  return guarded_call(-1, [&] {
    // Anything but an Indexable is simply not a member.
    return PyObject_TypeCheck(obj, indexable_type()) && api_of(self).is_member(obj) ? 1 : 0;
  });
}

PyObject* Index_repr(PyObject* self) {
  return guarded([&] { return sized_repr("Index", api_of(self).member_count()); });
}

// Iterates over the members as collect() lists them when iteration begins,
// a batch at a time.
PyObject* Index_iter(PyObject* self) {
  return guarded([&] {
    return iterate_view(IndexView{api_of(self).all_members(), PyRef::borrow(self)});
  });
}

// The Indexable argument `param` as an owned reference.
StoredItem indexable_arg(PyObject* obj, const char* param) {
  extract_instance<IndexableObject>(obj, indexable_type(), "Indexable", param);
  return StoredItem::borrow(obj);
}

[[noreturn]] void throw_not_member(PyObject* obj) {
  PyErr_SetObject(PyExc_KeyError, obj);
  throw PyErr::fetch();
}

// remove_object and discard_object differ only in what a non-member does.
template <bool kMustBeMember, const char* kName>
PyObject* Index_remove_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{kName, {"obj"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    StoredItem item = indexable_arg(bound[0], "obj");
    const std::size_t removed = remove_objects(api_of(self), {item});
    if (kMustBeMember && removed == 0) throw_not_member(bound[0]);
    return PyRef::borrow(Py_None);
  });
}

constexpr char REMOVE_OBJECT[] = "Index.remove_object()";
constexpr char DISCARD_OBJECT[] = "Index.discard_object()";

PyObject* Index_remove_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.remove_object_many()", {"objs", "progress"}, false, 1};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    ProgressReporter progress(bound[1] == nullptr ? Py_None : bound[1], "progress");
    // Every element is checked before anything changes: one that is not an
    // Indexable, or not a member, removes nothing.
    std::vector<StoredItem> batch;
    absl::flat_hash_set<PyObject*> seen;
    for (StoredItem& item : indexable_items(bound[0], sig.full_name)) {
      if (seen.insert(item.get()).second) batch.push_back(std::move(item));
    }
    IndexAPI& api = api_of(self);
    for (const StoredItem& item : batch) {
      if (!api.is_member(item.get())) throw_not_member(item.get());
    }
    auto call = [&](std::size_t done, std::size_t total) { progress(done, total); };
    BatchProgress report(call);
    remove_objects(api, batch, progress ? &report : nullptr);
    return PyRef::borrow(Py_None);
  });
}

// Pickling and copying: (Index, (), members); __setstate__ adds them, so
// that they are indexed by the values they arrive with.
PyObject* Index_pickle(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef members = collect_list(api_of(self).all_members());
    return PyRef::steal_or_throw(
        Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), members.get()));
  });
}

PyObject* Index_setstate(PyObject* self, PyObject* state) {
  return guarded([&] {
    std::vector<StoredItem> batch = indexable_items(state, "Index.__setstate__()");
    std::shared_ptr<IndexAPI> api = reinterpret_cast<IndexObject*>(self)->api;
    add_objects(*api, std::move(batch));
    return PyRef::borrow(Py_None);
  });
}

PyObject* Index_clear(PyObject* self, PyObject*) {
  return guarded([&] {
    IndexAPI& api = api_of(self);
    native_work(long_query(api), [&] { api.clear(); });
    drain_pending_releases();
    return PyRef::borrow(Py_None);
  });
}

PyObject* Index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.add_object()", {"py_ref"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    PyObject* obj = reinterpret_cast<PyObject*>(
        extract_instance<IndexableObject>(bound[0], indexable_type(), "Indexable", "py_ref"));
    std::shared_ptr<IndexAPI> api = reinterpret_cast<IndexObject*>(self)->api;
    add_objects(*api, {StoredItem::borrow(obj)});
    return PyRef::borrow(Py_None);
  });
}

// The keyword equalities of a call taking keywords only.
std::vector<QueryRef> keywords_only(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return keyword_conditions(bind_fastcall(sig, args, nargs, kwnames));
}

PyObject* Index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.get_by_attribute()", {}, true};
    const BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    IndexAPI& api = api_of(self);
    auto listed = [](absl::InlinedVector<PyRef, 16>& objects) {
      PyRef list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(objects.size())));
      for (std::size_t i = 0; i < objects.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects[i].release());
      }
      return list;
    };
    // A key lookup of plain values needs no query: the keys come straight
    // from the arguments.
    EqualKeys keys;
    const bool plain = keyword_keys(bound, keys);
    if (plain) {
      if (auto few = api.few_equal(keys)) return listed(*few);
    }
    auto conditions = keyword_conditions(bound);
    // Values of other kinds, once converted.
    if (!plain && equal_keys(conditions, keys)) {
      if (auto few = api.few_equal(keys)) return listed(*few);
    }
    FilteredView view = read_work(long_query(api), [&] { return api.reduced(conditions); });
    return collect_list(view);
  });
}

// A view of the members that satisfy every condition.
PyRef reduced_view(PyObject* self, const std::vector<QueryRef>& conditions) {
  IndexAPI& api = api_of(self);
  if (auto few = api.few_equal_view(conditions)) return wrap_view(std::move(*few), self);
  return wrap_view(read_work(long_query(api), [&] { return api.reduced(conditions); }), self);
}

PyObject* Index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.reduced()", {}, true};
    return reduced_view(self, keywords_only(sig, args, nargs, kwnames));
  });
}

// reduce(query=None, /, **kwargs): keeps the members satisfying the query
// and every keyword equality.
PyObject* Index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto conditions = query_and_keywords("Index.reduce()", args, nargs, kwnames);
    IndexAPI& api = api_of(self);
    native_work(long_query(api), [&] { api.reduce(conditions); });
    drain_pending_releases();
    return PyRef::borrow(Py_None);
  });
}

// remove_where(query=None, /, **kwargs): drops the members that match and
// says how many.
PyObject* Index_remove_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] {
    auto conditions = query_and_keywords("Index.remove_where()", args, nargs, kwnames);
    IndexAPI& api = api_of(self);
    const uint64_t n = native_work(long_query(api), [&] { return api.remove_where(conditions); });
    drain_pending_releases();
    return PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(n));
  });
}

PyObject* Index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    return reduced_view(self, query_and_keywords("Index.reduced_query()", args, nargs, kwnames));
  });
}

PyObject* Index_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    auto conditions = query_and_keywords("Index.count()", args, nargs, kwnames);
    IndexAPI& api = api_of(self);
    std::optional<uint64_t> n = api.few_equal_count(conditions);
    if (!n) n = read_work(long_query(api), [&] { return api.count(conditions); });
    return PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(*n));
  });
}

PyObject* Index_order_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    return order_by_call(api_of(self).all_members(), self, "Index.order_by()", args, nargs,
                         kwnames);
  });
}

PyObject* Index_count_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    return count_by_call(api_of(self).all_members(), "Index.count_by()", args, nargs, kwnames);
  });
}

// values, to_dicts, to_pandas and to_arrow of the members, as collect() lists
// them.
template <PyRef (*kExport)(const ExportSource&, const char*, PyObject* const*, Py_ssize_t,
                           PyObject*),
          const char* kName>
PyObject* Index_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const FilteredView members = api_of(self).all_members();
    return kExport(ExportSource{members}, kName, args, nargs, kwnames);
  });
}

constexpr char INDEX_VALUES[] = "Index.values()";
constexpr char INDEX_TO_DICTS[] = "Index.to_dicts()";
constexpr char INDEX_TO_PANDAS[] = "Index.to_pandas()";
constexpr char INDEX_TO_ARROW[] = "Index.to_arrow()";

template <Aggregate kKind, const char* kName>
PyObject* Index_aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&] {
    return aggregate_call(kKind, api_of(self).all_members(), kName, args, nargs, kwnames);
  });
}
constexpr char INDEX_MIN[] = "Index.min()", INDEX_MAX[] = "Index.max()",
               INDEX_SUM[] = "Index.sum()", INDEX_MEAN[] = "Index.mean()";

PyObject* Index_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    IndexAPI& api = api_of(self);
    return explain_call(api.all_members(), &api, "Index.explain()", args, nargs, kwnames);
  });
}

// The docstrings of Index: the text signature, then what each method does,
// returns and raises, and whether it releases the GIL.
PyDoc_STRVAR(INDEX_DOC,
             "Index(objs=(), /)\n--\n\n"
             "A set of Indexable objects, indexed by every attribute they have; Index(objs) "
             "starts with the objects of the iterable objs, added as add_object_many adds "
             "them (all or nothing, and with the same errors).\n\n"
             "Objects join through add_object, add_object_many and union_with, and stay "
             "indexed by their current values: assigning an attribute re-indexes the object "
             "in every Index that holds it. Indexable objects held in attribute values (and "
             "in the elements of list, tuple and set values) are indexed too, for dotted "
             "paths such as 'owner.name'. An Index keeps its objects, and the objects they "
             "reach, alive until it is dropped. Any number of threads may use it at once.\n"
             "Cannot be subclassed. Index[T] is accepted for type annotations.");

PyDoc_STRVAR(COLLECT_DOC,
             "collect($self)\n--\n\n"
             "Returns a new list of the objects added to the index, in ascending id order "
             "(the order every answer uses); objects only reached through attributes are not "
             "listed.\n"
             "Keeps the GIL, except while it waits for another thread to finish changing the "
             "index.");

PyDoc_STRVAR(ADD_OBJECT_DOC,
             "add_object($self, py_ref)\n--\n\n"
             "Adds one Indexable object, indexed by all its attributes. Adding an object "
             "the index holds keeps one member and indexes again the elements of its list, "
             "tuple and set values, which may have changed in place.\n\n"
             "Returns None.\n"
             "Raises TypeError when py_ref is not an Indexable. Raises OverflowError, "
             "TypeError or ValueError, naming the attribute, when an element of one of its "
             "list, tuple or set values cannot be indexed; nothing has changed then. Raises "
             "RuntimeError when code run by the indexing (a __hash__, a __del__) kept "
             "changing the object.\n"
             "Releases the GIL while it writes the index when the values to index (container "
             "elements included) number 4,096 or more; keeps it for fewer.");

PyDoc_STRVAR(ADD_OBJECT_MANY_DOC,
             "add_object_many($self, objs, progress=None)\n--\n\n"
             "Adds every Indexable of the iterable objs (a list, a generator...), all or "
             "nothing: the items are all taken and checked first. Faster than "
             "add_object one by one for large batches, which are written by several "
             "threads. progress, when given, is called as progress(done, total) (objects "
             "written, objects in all) from the calling thread, with no lock of the index "
             "held, after the first part of the work, then a few times a second at most, "
             "and once at the end; the objects become "
             "members together after that last call. An exception it raises (or a "
             "KeyboardInterrupt meanwhile) stops the call and leaves the index as it was.\n\n"
             "Returns None.\n"
             "Raises TypeError when objs is a str or not iterable, or when one of its items "
             "is not an Indexable. Raises OverflowError, TypeError or ValueError, naming the "
             "attribute, when an element of a list, tuple or set value cannot be indexed. On "
             "any of these errors no object of the batch has been added. Raises RuntimeError "
             "as add_object does; TypeError when progress is neither None nor callable, and "
             "what progress raises.\n"
             "Releases the GIL while it writes the index when the values to index (container "
             "elements included) number 4,096 or more; keeps it for fewer.");

PyDoc_STRVAR(UNION_WITH_DOC,
             "union_with($self, other)\n--\n\n"
             "Adds every object of the Index other to this index; other is left as it was. "
             "Merging an index with itself changes nothing.\n\n"
             "Returns None.\n"
             "Raises TypeError when other is not an Index.\n"
             "Releases the GIL while it merges.");

PyDoc_STRVAR(GET_BY_ATTRIBUTE_DOC,
             "get_by_attribute($self, **kwargs)\n--\n\n"
             "Returns a new list of the objects whose attributes equal every keyword "
             "argument (name=value, as PyQueryExpr.eq(name, value)), in ascending id order; "
             "no keywords lists every object.\n"
             "Raises TypeError for positional arguments (a query goes to reduced_query) or a "
             "keyword given a PyQueryExpr; OverflowError, TypeError or ValueError, naming the "
             "attribute, for a value that cannot be indexed.\n"
             "Keeps the GIL while it searches (equalities are answered from value sets), "
             "unless a search of an index of 65,536 objects or more runs for half a "
             "millisecond: it lets go of it then, for the rest.");

PyDoc_STRVAR(REDUCED_DOC,
             "reduced($self, **kwargs)\n--\n\n"
             "Returns a FilteredIndex of the objects whose attributes equal every keyword "
             "argument (name=value, as PyQueryExpr.eq(name, value)); no keywords: every "
             "object. The index is not changed.\n"
             "Raises as get_by_attribute does.\n"
             "Keeps the GIL while it searches (equalities are answered from value sets), "
             "unless a search of an index of 65,536 objects or more runs for half a "
             "millisecond: it lets go of it then, for the rest.");

PyDoc_STRVAR(REDUCE_DOC,
             "reduce($self, query=None, /, **kwargs)\n--\n\n"
             "Narrows the index in place to the objects that match the PyQueryExpr query (when "
             "given) and whose attributes equal every keyword argument; the others leave it. "
             "Views made earlier keep their objects.\n\n"
             "Returns None.\n"
             "Raises TypeError when query is not a PyQueryExpr, for a second positional "
             "argument, or for a keyword given a PyQueryExpr (a query goes first, "
             "positionally); OverflowError, TypeError or ValueError, naming the attribute, for "
             "a value that cannot be indexed; nothing has changed then.\n"
             "Releases the GIL while it narrows an index of 65,536 objects or more; keeps it "
             "for a smaller one.");

PyDoc_STRVAR(REDUCED_QUERY_DOC,
             "reduced_query($self, query=None, /, **kwargs)\n--\n\n"
             "Returns a FilteredIndex of the objects that match the PyQueryExpr query (when "
             "given) and whose attributes equal every keyword argument; no arguments: every "
             "object. The index is not changed.\n"
             "Raises as reduce does.\n"
             "Releases the GIL once a search of an index of 65,536 objects or more has run for "
             "half a millisecond, for the rest of it; a shorter search keeps it (handing the "
             "GIL over would cost more).");

PyDoc_STRVAR(REMOVE_WHERE_DOC,
             "remove_where($self, query=None, /, **kwargs)\n--\n\n"
             "Removes every member that matches the PyQueryExpr query (when given) and whose "
             "attributes equal every keyword argument; no arguments: every member. The "
             "members go together, through set operations over the index's values rather "
             "than one by one, and with them every object only they reached. Views made "
             "earlier keep their objects; index.reduce(~query) is the same removal.\n\n"
             "Returns the number of members removed (an int).\n"
             "Raises as reduce does; nothing has changed then.\n"
             "Releases the GIL while it removes from an index of 65,536 objects or more; keeps "
             "it for a smaller one.");

PyDoc_STRVAR(REMOVE_OBJECT_DOC,
             "remove_object($self, obj)\n--\n\n"
             "Removes the member obj from the index, and from the index's nested objects "
             "every object it alone reached. Views made earlier keep their objects.\n\n"
             "Returns None.\n"
             "Raises KeyError when obj is not a member; TypeError when it is not an "
             "Indexable.\n"
             "Releases the GIL while it removes when the values to take out (container "
             "elements included) number 4,096 or more; keeps it for fewer.");

PyDoc_STRVAR(DISCARD_OBJECT_DOC,
             "discard_object($self, obj)\n--\n\n"
             "Removes obj as remove_object does if it is a member; otherwise does nothing.\n\n"
             "Returns None.\n"
             "Raises TypeError when obj is not an Indexable.\n"
             "Releases the GIL while it removes when the values to take out (container "
             "elements included) number 4,096 or more; keeps it for fewer.");

PyDoc_STRVAR(REMOVE_OBJECT_MANY_DOC,
             "remove_object_many($self, objs, progress=None)\n--\n\n"
             "Removes every object of the iterable objs, all or nothing: every one must be a "
             "member. progress, when given, is called as progress(done, total) as "
             "add_object_many calls it; the objects leave in parts between its calls, and "
             "an exception it raises (or a KeyboardInterrupt meanwhile) adds those removed "
             "back before it propagates.\n\n"
             "Returns None.\n"
             "Raises KeyError, removing none, when one is not a member; TypeError when objs is "
             "not iterable or holds something that is not an Indexable, or when progress is "
             "neither None nor callable; what progress raises.\n"
             "Releases the GIL while it removes when the values to take out (container "
             "elements included) number 4,096 or more; keeps it for fewer.");

PyDoc_STRVAR(CLEAR_DOC,
             "clear($self)\n--\n\n"
             "Removes every member. Views made earlier keep their objects.\n\n"
             "Returns None.\n"
             "Raises nothing.\n"
             "Releases the GIL while it removes the members of an index of 65,536 objects or "
             "more; keeps it for a smaller one.");

PyDoc_STRVAR(COUNT_DOC,
             "count($self, query=None, /, **kwargs)\n--\n\n"
             "Returns the number of objects that match the PyQueryExpr query (when given) and "
             "whose attributes equal every keyword argument; no arguments: every object. No "
             "object is built.\n"
             "Raises as reduce does.\n"
             "Releases the GIL once a search of an index of 65,536 objects or more has run for "
             "half a millisecond, for the rest of it; a shorter search keeps it (handing the "
             "GIL over would cost more).");

PyDoc_STRVAR(ORDER_BY_DOC,
             "order_by($self, *keys, descending=False)\n--\n\n"
             "Returns an OrderedView of the index's objects in the order of their values of "
             "the keys: by the first, ties by the next, then by id (see OrderedView for the "
             "order of values and objects lacking a key); its members are those of the index "
             "now. A key is an attribute or dotted path, ascending, '-name' for descending, "
             "or a tuple (name, 'asc') or (name, 'desc'); descending=True turns the keys given "
             "without a direction (order_by(name, True) is order_by(name, descending=True)).\n"
             "Raises TypeError when no key is given, a key is not a str or a pair, descending is "
             "not a bool, or a bare 'asc' or 'desc' follows a key; "
             "ValueError for a direction other than 'asc' and 'desc'.\n"
             "Keeps the GIL; reading the OrderedView releases it.");

PyDoc_STRVAR(COUNT_BY_DOC,
             "count_by($self, *attributes, query=None)\n--\n\n"
             "Returns a dict mapping each value of attribute to the number of objects holding "
             "it (an object whose list, tuple or set value holds it counts once; a dotted path "
             "counts each object once for each value it reaches), from the "
             "index's sets: no object is built. Values no object holds are left out; values "
             "that compare equal are one key: numbers of equal value (an integral number is "
             "given as an int, a float as a float, another number as one of the objects "
             "holding it), aware datetimes of one instant (given as one of them); the counts "
             "of True and 1 (False and 0), one key in Python, add up. Values without a hash "
             "(objects that compare by their fields, such as dataclass instances, which "
             "equality matches by identity) are counted by identity: the answer is then a "
             "FacetCounts, a mapping in which they are keys. Several attributes count "
             "combinations: {(value, ...): number of objects holding each of them}, an object "
             "lacking one of the attributes left out. query, a PyQueryExpr, counts only the "
             "objects matching it.\n"
             "Raises TypeError when no attribute is given, an attribute is not a str or query "
             "is not a PyQueryExpr.\n"
             "Releases the GIL while it counts an index of 65,536 objects or more; keeps it "
             "for a smaller one.");

PyMethodDef INDEX_METHODS[] = {
    {"collect", Index_collect, METH_NOARGS, COLLECT_DOC},
    {"reduced", QUORVANE_FAST(Index_reduced), FAST_KW, REDUCED_DOC},
    {"reduce", QUORVANE_FAST(Index_reduce), FAST_KW, REDUCE_DOC},
    {"get_by_attribute", QUORVANE_FAST(Index_get_by_attribute), FAST_KW, GET_BY_ATTRIBUTE_DOC},
    {"add_object_many", QUORVANE_FAST(Index_add_object_many), FAST_KW, ADD_OBJECT_MANY_DOC},
    {"add_object", QUORVANE_FAST(Index_add_object), FAST_KW, ADD_OBJECT_DOC},
    {"reduced_query", QUORVANE_FAST(Index_reduced_query), FAST_KW, REDUCED_QUERY_DOC},
    {"union_with", QUORVANE_FAST(Index_union_with), FAST_KW, UNION_WITH_DOC},
    {"remove_object", QUORVANE_FAST((Index_remove_one<true, REMOVE_OBJECT>)), FAST_KW,
     REMOVE_OBJECT_DOC},
    {"discard_object", QUORVANE_FAST((Index_remove_one<false, DISCARD_OBJECT>)), FAST_KW,
     DISCARD_OBJECT_DOC},
    {"remove_object_many", QUORVANE_FAST(Index_remove_object_many), FAST_KW,
     REMOVE_OBJECT_MANY_DOC},
    {"remove_where", QUORVANE_FAST(Index_remove_where), FAST_KW, REMOVE_WHERE_DOC},
    {"clear", Index_clear, METH_NOARGS, CLEAR_DOC},
    {"count", QUORVANE_FAST(Index_count), FAST_KW, COUNT_DOC},
    {"order_by", QUORVANE_FAST(Index_order_by), FAST_KW, ORDER_BY_DOC},
    {"count_by", QUORVANE_FAST(Index_count_by), FAST_KW, COUNT_BY_DOC},
    {"values", QUORVANE_FAST((Index_export<values_call, INDEX_VALUES>)), FAST_KW, VALUES_DOC},
    {"to_dicts", QUORVANE_FAST((Index_export<to_dicts_call, INDEX_TO_DICTS>)), FAST_KW,
     TO_DICTS_DOC},
    {"to_pandas", QUORVANE_FAST((Index_export<to_pandas_call, INDEX_TO_PANDAS>)), FAST_KW,
     TO_PANDAS_DOC},
    {"to_arrow", QUORVANE_FAST((Index_export<to_arrow_call, INDEX_TO_ARROW>)), FAST_KW,
     TO_ARROW_DOC},
    {"min", QUORVANE_FAST((Index_aggregate<Aggregate::Min, INDEX_MIN>)), FAST_KW, MIN_DOC},
    {"max", QUORVANE_FAST((Index_aggregate<Aggregate::Max, INDEX_MAX>)), FAST_KW, MAX_DOC},
    {"sum", QUORVANE_FAST((Index_aggregate<Aggregate::Sum, INDEX_SUM>)), FAST_KW, SUM_DOC},
    {"mean", QUORVANE_FAST((Index_aggregate<Aggregate::Mean, INDEX_MEAN>)), FAST_KW, MEAN_DOC},
    {"explain", QUORVANE_FAST(Index_explain), FAST_KW, EXPLAIN_DOC},
    {"__reduce__", Index_pickle, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the index as its class and the list of its objects."},
    {"__setstate__", Index_setstate, METH_O,
     "__setstate__($self, state)\n--\n\nAdds the objects of the list state."},
    GENERIC_ALIAS_METHOD,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot INDEX_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(INDEX_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(Index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(
                        native_dealloc<IndexObject, std::shared_ptr<IndexAPI>, &IndexObject::api>)},
    {Py_tp_methods, INDEX_METHODS},
    {Py_tp_traverse, reinterpret_cast<void*>(Index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Index_tp_clear)},
    {Py_sq_length, reinterpret_cast<void*>(Index_len)},
    {Py_sq_contains, reinterpret_cast<void*>(Index_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(Index_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(Index_repr)},
    {0, nullptr},
};

PyType_Spec INDEX_SPEC = {"Quorvane.Index", static_cast<int>(sizeof(IndexObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          INDEX_SLOTS};

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
