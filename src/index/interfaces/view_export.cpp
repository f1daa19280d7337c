#include "index/interfaces/view_export.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "index/core/structures/string_interner/string_interner.h"
#include "index/indexable.h"
#include "index/indexable_protocol.h"
#include "python/arg_binding.h"
#include "python/gil.h"

namespace quorvane {
namespace {

// The ids of `source`'s objects, in its order.
std::vector<uint32_t> ids_in_order(const ExportSource& source) {
  if (source.ordering == nullptr) return source.view.bitmap().to_vector();
  std::vector<uint32_t> ids = page_ids(*source.ordering, 0, UINT64_MAX);
  drain_pending_releases();
  return ids;
}

// Calls `visit(i, obj)` for the object of each id of `ids`, in order, with
// `obj` borrowed: it stays alive while the view `keep` does, as a view keeps
// every object it lists, members or not (see FilteredView). Objects are
// fetched a few thousand at a time (one read lock of the item table each),
// and read while the fetch has them in the processor's cache.
template <class Visit>
void visit_objects(const FilteredView& keep, const std::vector<uint32_t>& ids, Visit&& visit) {
  constexpr std::size_t CHUNK = 4096, AHEAD = 8;
  std::vector<PyObject*> objects(std::min(CHUNK, ids.size()));
  for (std::size_t start = 0; start < ids.size(); start += CHUNK) {
    const std::size_t n = std::min(CHUNK, ids.size() - start);
    keep.objects_into({ids.data() + start, n}, objects.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (i + AHEAD < n) record_of(objects[i + AHEAD]).attributes().prefetch();
      visit(start + i, objects[i]);
    }
  }
}

// Keeps the cyclic collector from running while it lives (unless it was
// off already). Building a million tuples or dicts would otherwise start
// collections that walk every object of the process again and again, for
// no garbage: a new container's items are alive.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

// Reads one attribute, or a dotted path of them ("owner.name"), of many
// objects as getattr would. An Indexable whose class adds nothing of that
// name (no property, method or class attribute, no attribute lookup of its
// own) is read from its stored attributes, with no Python code run; any
// other object, and an Indexable holding values object.__setattr__ left
// aside, goes through getattr.
class AttributeReader {
 public:
  AttributeReader(PyObject* path, const char* param) : path_(PyRef::borrow(path)) {
    std::string_view text = extract_str(path, param);
    for (std::size_t start = 0;;) {
      const std::size_t dot = text.find('.', start);
      std::string_view part = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
      PyObject* name =
          PyUnicode_FromStringAndSize(part.data(), static_cast<Py_ssize_t>(part.size()));
      if (name == nullptr) throw PyErr::fetch();
      PyUnicode_InternInPlace(&name);
      Segment segment;
      segment.name = PyRef::steal(name);
      segments_.push_back(std::move(segment));
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
    forget_classes();
  }

  PyObject* path() const noexcept { return path_.get(); }

  // A new reference to the value of `obj`, or null when it has none (no
  // exception set). An error other than AttributeError that its own code
  // raises is thrown.
  PyRef read(PyObject* obj) {
    PyRef current = PyRef::borrow(obj);
    for (Segment& segment : segments_) {
      PyObject* at = current.get();
      if (reads_stored_here(segment, Py_TYPE(at)) && !needs_settling(at)) {
        PyObject* value = segment.attr ? record_of(at).attributes().object(*segment.attr) : nullptr;
        if (value == nullptr) return PyRef();
        current = PyRef::borrow(value);
        continue;
      }
      PyObject* value = PyObject_GetAttr(at, segment.name.get());
      // Python code ran: a class may have changed, a name been used first.
      forget_classes();
      if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErr::fetch();
        PyErr_Clear();
        return PyRef();
      }
      current = PyRef::steal(value);
    }
    return current;
  }

 private:
  struct Segment {
    PyRef name;                    // an interned str
    std::optional<uint32_t> attr;  // none: no object ever had it
    // The last class found to read the name from the stored attributes, at
    // its version (a class changes version whenever it is changed).
    PyTypeObject* plain_type = nullptr;
    unsigned int plain_version = 0;
  };

  bool reads_stored_here(Segment& segment, PyTypeObject* type) {
    if (type == segment.plain_type && type->tp_version_tag == segment.plain_version) return true;
    if (!reads_stored(type, segment.name.get())) return false;
    // The lookup gave the class a version unless it cannot have one.
    if (type->tp_version_tag != 0) {
      segment.plain_type = type;
      segment.plain_version = type->tp_version_tag;
    }
    return true;
  }

  void forget_classes() {
    for (Segment& segment : segments_) {
      segment.plain_type = nullptr;
      segment.attr = attribute_id(segment.name.get());
    }
  }

  absl::InlinedVector<Segment, 2> segments_;
  PyRef path_;
};

// The readers of the attribute arguments (at least one when `required`).
std::vector<AttributeReader> readers_of(const BoundArgs& bound, const char* full_name,
                                        bool required) {
  if (required && bound.extra.empty()) {
    throw_type_error(std::string(full_name) + " needs at least one attribute name");
  }
  std::vector<AttributeReader> readers;
  readers.reserve(bound.extra.size());
  for (PyObject* path : bound.extra) readers.emplace_back(path, "attributes");
  return readers;
}

// AttributeError for `obj` lacking `path`, naming both (and carrying them
// as the error's name and obj, as Python's own does).
[[noreturn]] void throw_missing(PyObject* obj, PyObject* path) {
  PyRef error = PyRef::steal_or_throw(PyUnicode_FromFormat(
      "%R has no attribute %R (give a default to read such objects)", obj, path));
  PyRef exc = PyRef::steal_or_throw(PyObject_CallOneArg(PyExc_AttributeError, error.get()));
  if (PyObject_SetAttrString(exc.get(), "name", path) < 0 ||
      PyObject_SetAttrString(exc.get(), "obj", obj) < 0) {
    throw PyErr::fetch();
  }
  throw PyErr(std::move(exc));
}

// The names of the attributes that the objects of `ids` store, each once,
// in the order they are first met.
std::vector<PyRef> stored_names(const FilteredView& keep, const std::vector<uint32_t>& ids) {
  std::vector<uint32_t> attrs;
  absl::flat_hash_map<uint32_t, bool> seen;
  visit_objects(keep, ids, [&](std::size_t, PyObject* obj) {
    settle_staged(obj);
    record_of(obj).attributes().for_each_object([&](uint32_t attr, PyObject*) {
      if (seen.try_emplace(attr, true).second) attrs.push_back(attr);
    });
  });
  std::vector<PyRef> names;
  names.reserve(attrs.size());
  for (uint32_t attr : attrs) {
    std::string_view text = INTERNER().str(attr);
    names.push_back(str_from_utf8(text));
  }
  return names;
}

// One column of a table, gathered value by value. While every value is an
// exact int within 64 bits, an exact float, or a bool (the same kind for the
// whole column, none missing), their native values are kept too, so that
// the column becomes a typed numpy array: what pandas and pyarrow take
// without looking at each value again.
class Column {
 public:
  explicit Column(std::size_t n) {
    objects_.reserve(n);
    natives_.reserve(n);
  }

  // Adds the next value (null: missing, None).
  void add(PyRef value) {
    if (!value) {
      kind_ = Kind::Other;
      objects_.push_back(PyRef::borrow(Py_None));
      return;
    }
    if (kind_ != Kind::Other) {
      uint64_t native = 0;
      Kind kind = Kind::Other;
      PyObject* v = value.get();
      if (PyBool_Check(v)) {
        kind = Kind::Bool;
        native = v == Py_True ? 1 : 0;
      } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
          kind = Kind::Int;
          native = static_cast<uint64_t>(i);
        }
      } else if (PyFloat_CheckExact(v)) {
        kind = Kind::Float;
        native = std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v));
      }
      if (kind_ == Kind::Empty) kind_ = kind;
      if (kind != kind_) {
        kind_ = Kind::Other;
      } else {
        natives_.push_back(native);
      }
    }
    objects_.push_back(std::move(value));
  }

  // The column: a numpy array (`numpy` not null) of a typed column, else a
  // list of the values.
  PyRef finish(PyObject* numpy) {
    const auto n = static_cast<Py_ssize_t>(objects_.size());
    const char* dtype = kind_ == Kind::Int     ? "int64"
                        : kind_ == Kind::Float ? "float64"
                        : kind_ == Kind::Bool  ? "bool"
                                               : nullptr;
    if (numpy != nullptr && dtype != nullptr) {
      PyRef array = PyRef::steal_or_throw(PyObject_CallMethod(numpy, "empty", "ns", n, dtype));
      Py_buffer view;
      if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        throw PyErr::fetch();
      }
      if (kind_ == Kind::Bool) {
        auto* out = static_cast<uint8_t*>(view.buf);
        for (std::size_t i = 0; i < natives_.size(); ++i) out[i] = natives_[i] != 0 ? 1 : 0;
      } else if (!natives_.empty()) {
        std::memcpy(view.buf, natives_.data(), natives_.size() * sizeof(uint64_t));
      }
      PyBuffer_Release(&view);
      return array;
    }
    PyRef list = PyRef::steal_or_throw(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyList_SET_ITEM(list.get(), i, objects_[static_cast<std::size_t>(i)].release());
    }
    return list;
  }

 private:
  enum class Kind { Empty, Int, Float, Bool, Other };
  Kind kind_ = Kind::Empty;
  std::vector<PyRef> objects_;
  std::vector<uint64_t> natives_;  // while kind_ is Int, Float or Bool
};

// The columns of a table: each attribute (every stored one when none is
// given) as a column of the objects' values, None where an object lacks it;
// a dict from name to column, in the order of the names. Typed columns are
// numpy arrays when numpy can be imported.
PyRef columns(const ExportSource& source, const BoundArgs& bound, const char* full_name) {
  std::vector<AttributeReader> readers = readers_of(bound, full_name, false);
  const FilteredView keep = source.view;
  const std::vector<uint32_t> ids = ids_in_order(source);
  if (readers.empty()) {
    for (const PyRef& name : stored_names(keep, ids)) {
      readers.emplace_back(name.get(), "attributes");
    }
  }
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) PyErr_Clear();  // lists then
  std::vector<Column> table;
  table.reserve(readers.size());
  for (std::size_t k = 0; k < readers.size(); ++k) table.emplace_back(ids.size());
  {
    CollectorPause pause;
    visit_objects(keep, ids, [&](std::size_t, PyObject* obj) {
      for (std::size_t k = 0; k < readers.size(); ++k) table[k].add(readers[k].read(obj));
    });
  }
  PyRef dict = PyRef::steal_or_throw(PyDict_New());
  for (std::size_t k = 0; k < readers.size(); ++k) {
    PyRef column = table[k].finish(numpy.get());
    if (PyDict_SetItem(dict.get(), readers[k].path(), column.get()) < 0) throw PyErr::fetch();
  }
  return dict;
}

// The module `name`, imported on first use; ImportError naming the package
// to install when it is missing.
PyRef import_optional(const char* name, const char* full_name) {
  PyObject* module = PyImport_ImportModule(name);
  if (module != nullptr) return PyRef::steal(module);
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyErr::fetch();
  PyErr original = PyErr::fetch();
  PyErr error(PyExc_ImportError, std::string(full_name) + " needs " + name +
                                     ", which is not installed: pip install " + name);
  PyException_SetCause(error.exception(), Py_NewRef(original.exception()));
  throw error;
}

}  // namespace

PyRef values_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{full_name, {"default"}, false, 0, false, true};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  std::vector<AttributeReader> readers = readers_of(bound, full_name, true);
  // Ellipsis, the default the signature shows, is no default.
  PyObject* fallback = bound[0] == Py_Ellipsis ? nullptr : bound[0];
  const FilteredView keep = source.view;
  const std::vector<uint32_t> ids = ids_in_order(source);
  const auto width = static_cast<Py_ssize_t>(readers.size());
  auto value_of = [&](PyObject* obj, AttributeReader& reader) {
    PyRef value = reader.read(obj);
    if (value) return value.release();
    if (fallback == nullptr) throw_missing(obj, reader.path());
    return Py_NewRef(fallback);
  };
  PyRef list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  CollectorPause pause;
  visit_objects(keep, ids, [&](std::size_t i, PyObject* obj) {
    PyObject* row;
    if (width == 1) {
      row = value_of(obj, readers[0]);
    } else {
      PyRef tuple = PyRef::steal_or_throw(PyTuple_New(width));
      for (Py_ssize_t k = 0; k < width; ++k) {
        PyTuple_SET_ITEM(tuple.get(), k, value_of(obj, readers[static_cast<std::size_t>(k)]));
      }
      row = tuple.release();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  });
  return list;
}

PyRef to_dicts_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{full_name, {}, false, 0, false, true};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  std::vector<AttributeReader> readers = readers_of(bound, full_name, false);
  const FilteredView keep = source.view;
  const std::vector<uint32_t> ids = ids_in_order(source);
  PyRef list = PyRef::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  // Every stored attribute: keys made once per name.
  absl::flat_hash_map<uint32_t, PyRef> keys;
  absl::InlinedVector<std::pair<uint32_t, PyRef>, 16> stored;
  CollectorPause pause;
  visit_objects(keep, ids, [&](std::size_t i, PyObject* obj) {
    PyRef dict = PyRef::steal_or_throw(PyDict_New());
    for (AttributeReader& reader : readers) {
      PyRef value = reader.read(obj);
      if (value && PyDict_SetItem(dict.get(), reader.path(), value.get()) < 0) {
        throw PyErr::fetch();
      }
    }
    if (readers.empty()) {
      settle_staged(obj);
      // Copied out first: making a key may run finalizers that assign this
      // very object.
      stored.clear();
      record_of(obj).attributes().for_each_object(
          [&](uint32_t attr, PyObject* value) { stored.emplace_back(attr, PyRef::borrow(value)); });
      for (const auto& [attr, value] : stored) {
        PyRef& key = keys[attr];
        if (!key) {
          std::string_view text = INTERNER().str(attr);
          key = str_from_utf8(text);
        }
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PyErr::fetch();
      }
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  });
  return list;
}

PyRef to_pandas_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{full_name, {}, false, 0, false, true};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  PyRef pandas = import_optional("pandas", full_name);
  PyRef table = columns(source, bound, full_name);
  PyRef frame = PyRef::steal_or_throw(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  return PyRef::steal_or_throw(PyObject_CallOneArg(frame.get(), table.get()));
}

PyRef to_arrow_call(const ExportSource& source, const char* full_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{full_name, {}, false, 0, false, true};
  BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
  PyRef arrow = import_optional("pyarrow", full_name);
  PyRef table = columns(source, bound, full_name);
  PyRef make = PyRef::steal_or_throw(PyObject_GetAttrString(arrow.get(), "table"));
  return PyRef::steal_or_throw(PyObject_CallOneArg(make.get(), table.get()));
}

// What an OrderedView's export says of the GIL: its walk of the values.
#define ORDERED_GIL                                                                        \
  "Releases the GIL while it walks the values of a view of 65,536 objects or more; keeps " \
  "it for a smaller one."

#define QUORVANE_VALUES_BODY                                                                   \
  "values($self, /, *attributes, default=...)\n--\n\n"                                         \
  "Returns a new list of the value of attribute for each object, in collect()'s order; given " \
  "several attributes, a tuple of their values per object. An "                                \
  "attribute may be a dotted path ('owner.name'). Values are read as getattr reads them "      \
  "(a property, or a class's own attribute lookup, is called), but those an Indexable stores " \
  "are read directly, with no attribute lookup per value. An object lacking an attribute (or " \
  "a step of a path) gives default.\n"                                                         \
  "Raises AttributeError, naming the object and the attribute, for an object lacking one "     \
  "when no default is given (the ... the signature shows is no default); TypeError when no "   \
  "attribute is given or one is not a str; what a property raises.\n"
const char VALUES_DOC[] = QUORVANE_VALUES_BODY "Keeps the GIL.";
const char ORDERED_VALUES_DOC[] = QUORVANE_VALUES_BODY ORDERED_GIL;

#define QUORVANE_TO_DICTS_BODY                                                          \
  "to_dicts($self, /, *attributes)\n--\n\n"                                             \
  "Returns a new list of one dict per object, in collect()'s order: attribute "         \
  "name to value for each of the attributes given (read as values() reads them; an "    \
  "attribute an object lacks is left out of its dict), or, with none given, for every " \
  "attribute the object stores (as vars(obj) lists them).\n"                            \
  "Raises TypeError when an attribute is not a str; what a property raises.\n"
const char TO_DICTS_DOC[] = QUORVANE_TO_DICTS_BODY "Keeps the GIL.";
const char ORDERED_TO_DICTS_DOC[] = QUORVANE_TO_DICTS_BODY ORDERED_GIL;

#define QUORVANE_TO_PANDAS_BODY                                                              \
  "to_pandas($self, /, *attributes)\n--\n\n"                                                 \
  "Returns a new pandas.DataFrame with one row per object, in the order the view lists "     \
  "them, and one column per attribute given (read as values() reads them), or, with none "   \
  "given, per attribute any of the objects stores (in the order they are first met). An "    \
  "object lacking an attribute has None there (NaN in a numeric column). The columns are "   \
  "built directly, not from one dict per row.\n"                                             \
  "Raises ImportError when pandas is not installed (pip install pandas); TypeError when an " \
  "attribute is not a str; what a property or pandas raises.\n"
// pandas gives the GIL up while it copies the columns into the frame.
#define PANDAS_GIL                                                                      \
  "Releases the GIL while pandas builds the frame, and while an OrderedView walks the " \
  "values of a view of 65,536 objects or more; keeps it while it reads the objects."
const char TO_PANDAS_DOC[] = QUORVANE_TO_PANDAS_BODY PANDAS_GIL;
const char ORDERED_TO_PANDAS_DOC[] = QUORVANE_TO_PANDAS_BODY PANDAS_GIL;

#define QUORVANE_TO_ARROW_BODY                                                              \
  "to_arrow($self, /, *attributes)\n--\n\n"                                                 \
  "Returns a new pyarrow.Table with one row per object, in collect()'s order, "             \
  "and one column per attribute given (read as values() reads them), or, with none given, " \
  "per attribute any of the objects stores (in the order they are first met). An object "   \
  "lacking an attribute has a null there.\n"                                                \
  "Raises ImportError when pyarrow is not installed (pip install pyarrow); TypeError when " \
  "an attribute is not a str; what a property or pyarrow raises (pyarrow.ArrowInvalid, or " \
  "ArrowTypeError, for a column mixing values it cannot hold together).\n"
// pyarrow converts Python values holding the GIL and gives it up only for
// moments, so only an order's own walk is promised to release it.
const char TO_ARROW_DOC[] = QUORVANE_TO_ARROW_BODY
    "Keeps the GIL while it reads the objects; pyarrow may give it up for moments while it "
    "builds the table.";
const char ORDERED_TO_ARROW_DOC[] = QUORVANE_TO_ARROW_BODY
    "Releases the GIL while it walks the values of a view of 65,536 objects or more; keeps "
    "it while it reads the objects (pyarrow may give it up for moments while it builds the "
    "table).";

}  // namespace quorvane
