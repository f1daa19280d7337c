#include "index/interfaces/ordered_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "index/core/query/ordering.h"
#include "index/core/query/query_ops.h"
#include "index/interfaces/facet_counts.h"
#include "index/interfaces/filtered_index.h"
#include "index/interfaces/query.h"
#include "index/interfaces/view_aggregates.h"
#include "index/interfaces/view_export.h"
#include "index/interfaces/view_iterator.h"
#include "index/value_conversion.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"

namespace quorvane {
namespace {

PyTypeObject* ORDERED_TYPE = nullptr;
constexpr char ORDERED_NAME[] = "OrderedView";

const Ordering& ordering_of(PyObject* self) {
  return reinterpret_cast<OrderedViewObject*>(self)->ordering;
}

int Ordered_traverse(PyObject* self, visitproc visit, void* arg) {
  return view_traverse(self, ordering_of(self).source, visit, arg);
}

int Ordered_clear(PyObject* self) {
  return guarded_call(-1, [&] {
    view_clear(reinterpret_cast<OrderedViewObject*>(self)->ordering.source);
    return 0;
  });
}

PyRef wrap_ordering(Ordering ordering) {
  return new_instance(ORDERED_TYPE, &OrderedViewObject::ordering, std::move(ordering));
}

// The number of objects of the page.
uint64_t page_size(const Ordering& o) {
  const uint64_t size = o.source.view.size();
  return size <= o.offset ? 0 : std::min(o.limit, size - o.offset);
}

// The objects at positions [start, start + count) of the page, as a list.
PyRef page_list(const Ordering& o, uint64_t start, uint64_t count) {
  std::vector<uint32_t> ids = page_ids(o, start, count);
  drain_pending_releases();
  return collect_list(o.source.view, ids);
}

// The objects of the page as a view of their own (the view ordered, when the
// page holds all of it): what count_by and the aggregates read.
FilteredView page_view(const Ordering& o) {
  if (o.offset == 0 && o.limit >= o.source.view.size()) return o.source.view;
  std::vector<uint32_t> ids = read_values(o.source.view, [&](const EvalScope& scope) {
    return ordered_page(scope, o.keys, o.source.view.bitmap(), o.offset, o.limit,
                        o.source.view.is_whole_index());
  });
  std::sort(ids.begin(), ids.end());
  return o.source.view.narrowed(Bitmap::from_ids(ids));
}

template <Aggregate kKind, const char* kName>
PyObject* Ordered_aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    return aggregate_call(kKind, page_view(ordering_of(self)), kName, args, nargs, kwnames);
  });
}
constexpr char ORDERED_MIN[] = "OrderedView.min()", ORDERED_MAX[] = "OrderedView.max()",
               ORDERED_SUM[] = "OrderedView.sum()", ORDERED_MEAN[] = "OrderedView.mean()";

PyObject* Ordered_count_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    return count_by_call(page_view(ordering_of(self)), "OrderedView.count_by()", args, nargs,
                         kwnames);
  });
}

PyObject* Ordered_collect(PyObject* self, PyObject*) {
  return guarded([&] { return page_list(ordering_of(self), 0, UINT64_MAX); });
}

Py_ssize_t Ordered_len(PyObject* self) {
  return guarded_call<Py_ssize_t>(
      -1, [&] { return static_cast<Py_ssize_t>(page_size(ordering_of(self))); });
}

PyObject* Ordered_iter(PyObject* self) {
  return guarded([&] { return iterate_ordering(ordering_of(self)); });
}

// values, to_dicts, to_pandas and to_arrow of the page, in its order.
template <PyRef (*kExport)(const ExportSource&, const char*, PyObject* const*, Py_ssize_t,
                           PyObject*),
          const char* kName>
PyObject* Ordered_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    const Ordering& o = ordering_of(self);
    return kExport(ExportSource{o.source.view, &o}, kName, args, nargs, kwnames);
  });
}

constexpr char ORDERED_VALUES[] = "OrderedView.values()";
constexpr char ORDERED_TO_DICTS[] = "OrderedView.to_dicts()";
constexpr char ORDERED_TO_PANDAS[] = "OrderedView.to_pandas()";
constexpr char ORDERED_TO_ARROW[] = "OrderedView.to_arrow()";

// limit(n) and offset(n): a page within this page.
template <bool kLimit>
PyObject* Ordered_narrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{kLimit ? "OrderedView.limit()" : "OrderedView.offset()", {"n"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    const uint64_t n = extract_count(bound[0], "n");
    Ordering next = ordering_of(self);
    if (kLimit) {
      next.limit = std::min(next.limit, n);
    } else {
      next.offset += std::min(n, UINT64_MAX - next.offset);
      if (next.limit != UINT64_MAX) next.limit -= std::min(next.limit, n);
    }
    return wrap_ordering(std::move(next));
  });
}

PyObject* Ordered_item(PyObject* self, PyObject* key) {
  return guarded([&] {
    const Ordering& o = ordering_of(self);
    const auto size = static_cast<Py_ssize_t>(page_size(o));
    if (PySlice_Check(key)) {
      Py_ssize_t start, stop, step;
      if (PySlice_Unpack(key, &start, &stop, &step) < 0) throw PyErr::fetch();
      const Py_ssize_t count = PySlice_AdjustIndices(size, &start, &stop, step);
      if (count == 0) return PyRef::steal_or_throw(PyList_New(0));
      if (step == 1)
        return page_list(o, static_cast<uint64_t>(start), static_cast<uint64_t>(count));
      // Another step: the span the slice covers, then every step-th of it.
      const Py_ssize_t low = step > 0 ? start : start + (count - 1) * step;
      const Py_ssize_t span = (count - 1) * (step > 0 ? step : -step) + 1;
      PyRef covered = page_list(o, static_cast<uint64_t>(low), static_cast<uint64_t>(span));
      PyRef out = PyRef::steal_or_throw(PyList_New(count));
      for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t at = step > 0 ? i * step : (start - low) + i * step;
        PyList_SET_ITEM(out.get(), i, Py_NewRef(PyList_GET_ITEM(covered.get(), at)));
      }
      return out;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw PyErr::fetch();
    if (i < 0) i += size;
    if (i < 0 || i >= size) {
      PyErr_SetString(PyExc_IndexError, "OrderedView index out of range");
      throw PyErr::fetch();
    }
    PyRef one = page_list(o, static_cast<uint64_t>(i), 1);
    return PyRef::borrow(PyList_GET_ITEM(one.get(), 0));
  });
}

// "<OrderedView of 12 objects by 'kind' ascending then 'price' descending,
// offset 10, limit 20>": the objects it yields (len()), its keys with their
// directions, and its page when it has one.
PyObject* Ordered_repr(PyObject* self) {
  return guarded([&] {
    const Ordering& o = ordering_of(self);
    std::string detail = " by ";
    for (std::size_t k = 0; k < o.keys.size(); ++k) {
      PyRef path = str_from_utf8(o.keys[k].path);
      PyRef quoted = PyRef::steal_or_throw(PyObject_Repr(path.get()));
      const char* shown = PyUnicode_AsUTF8(quoted.get());
      if (shown == nullptr) throw PyErr::fetch();
      if (k > 0) detail += " then ";
      detail += shown;
      detail += o.keys[k].descending ? " descending" : " ascending";
    }
    if (o.offset > 0) detail += ", offset " + std::to_string(o.offset);
    if (o.limit != UINT64_MAX) detail += ", limit " + std::to_string(o.limit);
    return sized_repr(ORDERED_NAME, page_size(o), detail);
  });
}

PyDoc_STRVAR(ORDERED_DOC,
             "The objects of a view in the order of one or more attributes' values, made by "
             "order_by on an Index or a FilteredIndex.\n\n"
             "Numbers of every kind come first (ascending), then strings (by code point, the "
             "empty string first), then False and True, then dates, naive datetimes, aware "
             "datetimes (by instant), naive times, aware times and timedeltas, each family "
             "ascending; descending=True reverses that order. Objects with equal values keep "
             "ascending id order, and objects lacking the attribute or holding a value that "
             "does not order (NaN, a list, tuple or set, an Indexable, a value of another "
             "kind) come last, in ascending id order, in either direction. With several keys, "
             "objects tied on one key are ordered by the next (those lacking a key form one "
             "group, last), and ties on every key by id. A dotted path orders an object by "
             "the one value it reaches; an object whose path passes a list, tuple or set, or "
             "reaches several objects, has no single value and comes last, as a container "
             "value does. Its objects are those of the view it was made from; the "
             "order follows their values when it is read. limit and offset return pages of "
             "it; len(), iteration, indexing and slicing read only the objects they need. "
             "It cannot be constructed (TypeError) or subclassed.");

PyDoc_STRVAR(ORDERED_COLLECT_DOC,
             "collect($self)\n--\n\n"
             "Returns a new list of the objects in order.\n"
             "Releases the GIL while it walks the values of a view of 65,536 objects or more; "
             "keeps it for a smaller one.");

PyDoc_STRVAR(ORDERED_LIMIT_DOC,
             "limit($self, n)\n--\n\n"
             "Returns an OrderedView of the first n objects of this one.\n"
             "Raises TypeError when n is not an int; ValueError when it is negative.\n"
             "Keeps the GIL.");

PyDoc_STRVAR(ORDERED_OFFSET_DOC,
             "offset($self, n)\n--\n\n"
             "Returns an OrderedView of this one's objects after the first n.\n"
             "Raises TypeError when n is not an int; ValueError when it is negative.\n"
             "Keeps the GIL.");

PyDoc_STRVAR(ORDERED_COUNT_BY_DOC,
             "count_by($self, *attributes, query=None)\n--\n\n"
             "Returns what FilteredIndex.count_by returns, for the objects of this page.\n"
             "Raises as FilteredIndex.count_by does.\n"
             "Releases the GIL while it counts 65,536 objects or more; keeps it for fewer.");

PyMethodDef ORDERED_METHODS[] = {
    {"collect", Ordered_collect, METH_NOARGS, ORDERED_COLLECT_DOC},
    {"count_by", QUORVANE_FAST(Ordered_count_by), FAST_KW, ORDERED_COUNT_BY_DOC},
    {"min", QUORVANE_FAST((Ordered_aggregate<Aggregate::Min, ORDERED_MIN>)), FAST_KW, MIN_DOC},
    {"max", QUORVANE_FAST((Ordered_aggregate<Aggregate::Max, ORDERED_MAX>)), FAST_KW, MAX_DOC},
    {"sum", QUORVANE_FAST((Ordered_aggregate<Aggregate::Sum, ORDERED_SUM>)), FAST_KW, SUM_DOC},
    {"mean", QUORVANE_FAST((Ordered_aggregate<Aggregate::Mean, ORDERED_MEAN>)), FAST_KW, MEAN_DOC},
    {"limit", QUORVANE_FAST(Ordered_narrow<true>), FAST_KW, ORDERED_LIMIT_DOC},
    {"offset", QUORVANE_FAST(Ordered_narrow<false>), FAST_KW, ORDERED_OFFSET_DOC},
    {"values", QUORVANE_FAST((Ordered_export<values_call, ORDERED_VALUES>)), FAST_KW,
     ORDERED_VALUES_DOC},
    {"to_dicts", QUORVANE_FAST((Ordered_export<to_dicts_call, ORDERED_TO_DICTS>)), FAST_KW,
     ORDERED_TO_DICTS_DOC},
    {"to_pandas", QUORVANE_FAST((Ordered_export<to_pandas_call, ORDERED_TO_PANDAS>)), FAST_KW,
     ORDERED_TO_PANDAS_DOC},
    {"to_arrow", QUORVANE_FAST((Ordered_export<to_arrow_call, ORDERED_TO_ARROW>)), FAST_KW,
     ORDERED_TO_ARROW_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ORDERED_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(ORDERED_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<ORDERED_NAME>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(
                        native_dealloc<OrderedViewObject, Ordering, &OrderedViewObject::ordering>)},
    {Py_tp_methods, ORDERED_METHODS},
    {Py_tp_traverse, reinterpret_cast<void*>(Ordered_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Ordered_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(Ordered_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(Ordered_iter)},
    {Py_sq_length, reinterpret_cast<void*>(Ordered_len)},
    {Py_mp_length, reinterpret_cast<void*>(Ordered_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(Ordered_item)},
    {0, nullptr},
};

PyType_Spec ORDERED_SPEC = {"Quorvane.OrderedView", static_cast<int>(sizeof(OrderedViewObject)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                            ORDERED_SLOTS};

// One key of order_by: "name", "-name" or (name, "asc" | "desc"); a key
// without a direction takes `descending`.
SortKey sort_key(PyObject* arg, bool descending) {
  if (PyTuple_Check(arg)) {
    if (PyTuple_GET_SIZE(arg) != 2) {
      throw PyErr(PyExc_TypeError, "an order_by key tuple is (attribute, 'asc' or 'desc')");
    }
    std::string_view path = extract_str(PyTuple_GET_ITEM(arg, 0), "attribute");
    PyObject* way = PyTuple_GET_ITEM(arg, 1);
    const bool asc = PyUnicode_Check(way) && PyUnicode_EqualToUTF8(way, "asc");
    const bool desc = PyUnicode_Check(way) && PyUnicode_EqualToUTF8(way, "desc");
    if (!asc && !desc) {
      PyErr_Format(PyExc_ValueError, "order_by direction must be 'asc' or 'desc', not %R", way);
      throw PyErr::fetch();
    }
    return SortKey{std::string(path), desc};
  }
  std::string_view path = extract_str(arg, "attribute");
  if (path.starts_with('-')) return SortKey{std::string(path.substr(1)), true};
  return SortKey{std::string(path), descending};
}

// The keys or attributes a call of `full_name` collects positionally, and
// its keyword-only `param`: TypeError when no key is given.
BoundArgs bind_keys(const char* full_name, const char* param, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{full_name, {param}, false, 0, false, true};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  if (bound.extra.empty()) {
    throw PyErr(PyExc_TypeError,
                std::string(full_name) + " missing 1 required positional argument: 'attribute'");
  }
  return bound;
}

// Only a bool: a truth value would read order_by("price", "asc") as
// descending.
bool direction_flag(PyObject* flag) {
  if (!PyBool_Check(flag)) {
    convert_arg("descending", [&] { throw_cannot_convert(flag, "True or False"); });
  }
  return flag == Py_True;
}

// A bare "asc" or "desc" after a key is a direction written as a key (it
// would otherwise order by an attribute of that name and ignore the intent).
bool is_bare_direction(PyObject* arg) {
  return PyUnicode_Check(arg) &&
         (PyUnicode_EqualToUTF8(arg, "asc") || PyUnicode_EqualToUTF8(arg, "desc") ||
          PyUnicode_GET_LENGTH(arg) == 0);
}

}  // namespace

PyRef order_by_call(FilteredView view, PyObject* index, const char* full_name,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs bound = bind_keys(full_name, "descending", args, nargs, kwnames);
  std::span<PyObject* const> given = bound.extra;
  PyObject* descending = bound[0];
  // order_by(name, flag): the flag is the direction when it is no key.
  if (given.size() == 2 && !PyUnicode_Check(given[1]) && !PyTuple_Check(given[1])) {
    if (descending != nullptr) {
      throw PyErr(PyExc_TypeError,
                  std::string(full_name) + " got multiple values for argument 'descending'");
    }
    descending = given[1];
    given = given.first(1);
  }
  for (std::size_t i = 1; i < given.size(); ++i) {
    if (is_bare_direction(given[i])) {
      convert_arg("descending", [&] {
        throw PyErr(PyExc_TypeError,
                    "must be True or False; a key's direction is written '-name' or "
                    "(name, 'asc' | 'desc')");
      });
    }
  }
  const bool down = descending != nullptr && direction_flag(descending);
  std::vector<SortKey> keys;
  keys.reserve(given.size());
  for (PyObject* key : given) keys.push_back(sort_key(key, down));
  return wrap_ordering(Ordering{IndexView{std::move(view), PyRef::borrow(index)}, std::move(keys)});
}

PyRef count_by_call(const FilteredView& view, const char* full_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs bound = bind_keys(full_name, "query", args, nargs, kwnames);
  QueryRef query;
  if (bound[0] != nullptr && bound[0] != Py_None) query = query_arg(bound[0], "query");
  std::vector<std::string> paths;
  for (PyObject* path : bound.extra) paths.emplace_back(extract_str(path, "attribute"));
  // The view's objects matching the query, as count(query) counts them.
  std::optional<FilteredView> matching;
  if (query) {
    Bitmap ids = read_values(view, [&](const EvalScope& scope) {
      return evaluate_query(scope, view.bitmap(), *query).intersected(view.bitmap());
    });
    matching.emplace(view.narrowed(std::move(ids)));
  }
  const FilteredView& counted = matching ? *matching : view;
  std::vector<std::pair<PyRef, PyRef>> pairs;
  if (paths.size() == 1) {
    std::vector<Facet> found = read_values(counted, [&](const EvalScope& scope) {
      return facets(scope, paths[0], counted.bitmap(), counted.is_whole_index());
    });
    pairs.reserve(found.size());
    for (const Facet& facet : found) {
      pairs.emplace_back(facet_object(facet.value),
                         PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(facet.count)));
    }
    return counts_mapping(pairs);
  }
  FacetTable table = read_values(counted, [&](const EvalScope& scope) {
    return combined_facets(scope, paths, counted.bitmap());
  });
  // Each value's object once, shared by the tuples holding it.
  std::vector<std::vector<PyRef>> objects(table.values.size());
  for (std::size_t k = 0; k < table.values.size(); ++k) {
    for (const FacetValue& value : table.values[k]) objects[k].push_back(facet_object(value));
  }
  pairs.reserve(table.counts.size());
  for (const auto& [combination, count] : table.counts) {
    PyRef key = PyRef::steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(combination.size())));
    for (std::size_t k = 0; k < combination.size(); ++k) {
      PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(k),
                       Py_NewRef(objects[k][combination[k]].get()));
    }
    pairs.emplace_back(std::move(key), PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(count)));
  }
  return counts_mapping(pairs);
}

PyRef facet_object(const FacetValue& value) {
  return std::visit(
      [](const auto& v) -> PyRef {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, NumericKey>) {
          auto number = number_of_key(v);
          if (const auto* i = std::get_if<int64_t>(&number)) {
            return PyRef::steal_or_throw(PyLong_FromLongLong(*i));
          }
          const double f = std::get<double>(number);
          if (std::isfinite(f) && f == std::trunc(f)) {
            return PyRef::steal_or_throw(PyLong_FromDouble(f));
          }
          return PyRef::steal_or_throw(PyFloat_FromDouble(f));
        } else if constexpr (std::is_same_v<V, RationalKey>) {
          // An integer is given as an int; a fraction as an object holding it.
          if (v.number->is_integer()) return int_of_rational(*v.number);
          return PyRef::borrow(v.object.get());
        } else if constexpr (std::is_same_v<V, TemporalKey>) {
          return PyRef::borrow(v.object.get());
        } else if constexpr (std::is_same_v<V, SmallStr>) {
          return str_from_utf8(v.view());
        } else if constexpr (std::is_same_v<V, bool>) {
          return PyRef::borrow(v ? Py_True : Py_False);
        } else {
          return PyRef::borrow(v.object());
        }
      },
      value);
}

std::vector<uint32_t> page_ids(const Ordering& o, uint64_t start, uint64_t count) {
  const uint64_t limit = std::min(count, page_size(o) > start ? page_size(o) - start : 0);
  return read_values_deferred(o.source.view, [&](const EvalScope& scope) {
    return ordered_page(scope, o.keys, o.source.view.bitmap(), o.offset + start, limit,
                        o.source.view.is_whole_index());
  });
}

PyTypeObject* create_ordered_view_type() {
  return create_type_once(ORDERED_TYPE, ORDERED_SPEC);
}

}  // namespace quorvane
