#include "index/interfaces/ordered_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "index/core/query/ordering.h"
#include "index/interfaces/facet_counts.h"
#include "index/interfaces/filtered_index.h"
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

// "<OrderedView of 12 objects by 'price' descending, offset 10, limit 20>":
// the objects it yields (len()), its key and direction, and its page when
// it has one.
PyObject* Ordered_repr(PyObject* self) {
  return guarded([&] {
    const Ordering& o = ordering_of(self);
    PyRef attribute = str_from_utf8(o.attribute);
    PyRef quoted = PyRef::steal_or_throw(PyObject_Repr(attribute.get()));
    const char* key = PyUnicode_AsUTF8(quoted.get());
    if (key == nullptr) throw PyErr::fetch();
    std::string detail = std::string(" by ") + key + (o.descending ? " descending" : " ascending");
    if (o.offset > 0) detail += ", offset " + std::to_string(o.offset);
    if (o.limit != UINT64_MAX) detail += ", limit " + std::to_string(o.limit);
    return sized_repr(ORDERED_NAME, page_size(o), detail);
  });
}

PyDoc_STRVAR(ORDERED_DOC,
             "The objects of a view in the order of one attribute's values, made by order_by "
             "on an Index or a FilteredIndex.\n\n"
             "Numbers of every kind come first (ascending), then strings (by code point, the "
             "empty string first), then False and True, then dates, naive datetimes, aware "
             "datetimes (by instant), naive times, aware times and timedeltas, each family "
             "ascending; descending=True reverses that order. Objects with equal values keep "
             "ascending id order, and objects lacking the attribute or holding a value that "
             "does not order (NaN, a list, tuple or set, an Indexable, a value of another "
             "kind) come last, in ascending id order, in either direction. Its objects are those "
             "of the view it was made from; the "
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

PyMethodDef ORDERED_METHODS[] = {
    {"collect", Ordered_collect, METH_NOARGS, ORDERED_COLLECT_DOC},
    {"limit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Ordered_narrow<true>)),
     METH_FASTCALL | METH_KEYWORDS, ORDERED_LIMIT_DOC},
    {"offset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Ordered_narrow<false>)),
     METH_FASTCALL | METH_KEYWORDS, ORDERED_OFFSET_DOC},
    {"values",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(Ordered_export<values_call, ORDERED_VALUES>)),
     METH_FASTCALL | METH_KEYWORDS, ORDERED_VALUES_DOC},
    {"to_dicts",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(Ordered_export<to_dicts_call, ORDERED_TO_DICTS>)),
     METH_FASTCALL | METH_KEYWORDS, ORDERED_TO_DICTS_DOC},
    {"to_pandas",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(Ordered_export<to_pandas_call, ORDERED_TO_PANDAS>)),
     METH_FASTCALL | METH_KEYWORDS, ORDERED_TO_PANDAS_DOC},
    {"to_arrow",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(Ordered_export<to_arrow_call, ORDERED_TO_ARROW>)),
     METH_FASTCALL | METH_KEYWORDS, ORDERED_TO_ARROW_DOC},
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

// A facet's value as the Python object it stands for.
PyRef facet_key(const Facet& facet) {
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
      facet.value);
}

}  // namespace

std::vector<uint32_t> page_ids(const Ordering& o, uint64_t start, uint64_t count) {
  const uint64_t limit = std::min(count, page_size(o) > start ? page_size(o) - start : 0);
  return read_values_deferred(o.source.view, [&](const EvalScope& scope) {
    return ordered_page(scope.maps, o.attribute, o.source.view.bitmap(), o.descending,
                        o.offset + start, limit, o.source.view.is_whole_index());
  });
}

PyRef order_by_call(FilteredView view, PyObject* index, const char* full_name,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{full_name, {"attribute", "descending"}, false, 1};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  std::string_view attribute = extract_str(bound[0], "attribute");
  // Only a bool: a truth value would read order_by("price", "asc") as
  // descending.
  if (bound[1] != nullptr && !PyBool_Check(bound[1])) {
    convert_arg("descending", [&] { throw_cannot_convert(bound[1], "True or False"); });
  }
  const bool descending = bound[1] == Py_True;
  return wrap_ordering(Ordering{IndexView{std::move(view), PyRef::borrow(index)},
                                std::string(attribute), descending});
}

PyRef count_by_call(const FilteredView& view, const char* full_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{full_name, {"attribute"}};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  std::string_view attribute = extract_str(bound[0], "attribute");
  std::vector<Facet> found = read_values(view, [&](const EvalScope& scope) {
    return facets(scope.maps, attribute, view.bitmap(), view.is_whole_index());
  });
  std::vector<std::pair<PyRef, PyRef>> pairs;
  pairs.reserve(found.size());
  for (const Facet& facet : found) {
    pairs.emplace_back(facet_key(facet),
                       PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(facet.count)));
  }
  return counts_mapping(pairs);
}

PyTypeObject* create_ordered_view_type() {
  return create_type_once(ORDERED_TYPE, ORDERED_SPEC);
}

}  // namespace quorvane
