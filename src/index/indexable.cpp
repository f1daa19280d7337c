#include "index/indexable.h"

#include <algorithm>
#include <new>
#include <vector>

#include "index/core/id_alloc.h"
#include "index/core/index.h"
#include "index/core/indexing.h"
#include "index/core/structures/string_interner/string_interner.h"
#include "index/indexable_protocol.h"
#include "index/types.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"
#include "python/repr.h"

namespace quorvane {

// ---- the native record ------------------------------------------------------

Indexable::Indexable(AttributeMap attributes, uint32_t id) noexcept
    : attributes_(std::move(attributes)), id_(id) {}

Indexable::~Indexable() {
  try {
    free_id(id_);  // a leaf lock: never waits for the GIL
  } catch (const Panic&) {
    // A poisoned pool keeps the id out of reuse; a destructor has no one to tell.
  }
}

AttributeMap Indexable::take_attributes(const ObjectGuard&) {
  ++version_;
  return std::exchange(attributes_, AttributeMap());
}

Membership::~Membership() {
  for (EngineAnchor* anchor : anchors()) EngineAnchor::unref(anchor);
  if (word_ & LIST) delete list();
}

std::span<EngineAnchor* const> Membership::anchors() const noexcept {
  if (word_ == 0) return {};
  if (word_ & LIST) return {list()->data(), list()->size()};
  return {reinterpret_cast<EngineAnchor* const*>(&word_), 1};
}

void Membership::add(EngineAnchor* anchor) {
  // An engine is listed once: an object re-added (or linked again) would
  // otherwise make every later assignment slower.
  for (EngineAnchor* listed : anchors()) {
    if (listed == anchor) return;
  }
  List kept, dropped;
  kept.reserve(anchors().size() + 1);
  for (EngineAnchor* listed : anchors()) {
    (listed->engine.expired() ? dropped : kept).push_back(listed);
  }
  kept.insert(std::upper_bound(kept.begin(), kept.end(), anchor), anchor);
  // Made whole before anything is released, so that a failure changes nothing.
  List* list = nullptr;
  if (kept.size() > 1) list = new List(std::move(kept));
  anchor->refs.fetch_add(1, std::memory_order_relaxed);
  for (EngineAnchor* gone : dropped) EngineAnchor::unref(gone);
  if (word_ & LIST) delete this->list();
  word_ = list != nullptr ? reinterpret_cast<uintptr_t>(list) | LIST
                          : reinterpret_cast<uintptr_t>(anchor);
}

void Indexable::register_engine(ObjectGuard& guard, const std::shared_ptr<IndexAPI>& engine) {
  guard->engines.add(engine->anchor());
}

std::vector<std::shared_ptr<IndexAPI>> Indexable::live_engines(const ObjectGuard& guard) {
  std::vector<std::shared_ptr<IndexAPI>> engines;
  for (EngineAnchor* anchor : guard->engines.anchors()) {
    if (auto engine = anchor->engine.lock()) engines.push_back(std::move(engine));
  }
  return engines;
}

// ---- the Python class -------------------------------------------------------

namespace {

PyTypeObject* INDEXABLE_TYPE = nullptr;

// A chain of objects each holding the next through an attribute is
// released by nested deallocations, one per link. Past this depth an object
// waits in its thread's list, which the outermost deallocation empties, so
// the native stack stays shallow however long the chain. (The interpreter's
// own limit lets thousands of levels nest: enough to overflow a thread's
// small stack, or a sanitized build's.)
constexpr int MAX_NESTED_DEALLOCS = 64;
[[gnu::tls_model("initial-exec")]] thread_local int NESTED_DEALLOCS = 0;
[[gnu::tls_model("initial-exec")]] thread_local std::vector<PyObject*>* DEFERRED_DEALLOCS = nullptr;

// Queues `self` for the outermost deallocation; false when there is no
// memory to queue it (it is then released at once, nested).
bool defer_dealloc(PyObject* self) noexcept {
  try {
    if (DEFERRED_DEALLOCS == nullptr) DEFERRED_DEALLOCS = new std::vector<PyObject*>();
    DEFERRED_DEALLOCS->push_back(self);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void release_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of(self).~Indexable();
  Py_CLEAR(reinterpret_cast<IndexableObject*>(self)->staged);
  type->tp_free(self);
  Py_DECREF(type);
}

// Releases `self` one level deeper; the outermost level then releases what
// deeper ones queued (which may queue more) and frees the queue.
void release_nested(PyObject* self) {
  ++NESTED_DEALLOCS;
  release_instance(self);
  if (NESTED_DEALLOCS == 1) {
    while (DEFERRED_DEALLOCS != nullptr && !DEFERRED_DEALLOCS->empty()) {
      PyObject* next = DEFERRED_DEALLOCS->back();
      DEFERRED_DEALLOCS->pop_back();
      release_instance(next);
    }
    delete std::exchange(DEFERRED_DEALLOCS, nullptr);
  }
  --NESTED_DEALLOCS;
}

void Indexable_dealloc(PyObject* self) {
  EntryScope entry;
  PyObject_GC_UnTrack(self);
  if (NESTED_DEALLOCS >= MAX_NESTED_DEALLOCS && defer_dealloc(self)) return;
  // The trashcan also bounds chains that pass through other kinds of
  // objects (lists, plain instances) between ours.
  Py_TRASHCAN_BEGIN(self, Indexable_dealloc) release_nested(self);
  Py_TRASHCAN_END
}

// The collector sees the objects the attribute values hold, so that cycles
// through attributes and containers are freed. Engines hold their objects
// through references the collector does not see, which keeps every object of
// an index alive.
int Indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<IndexableObject*>(self)->staged);
  int result = 0;
  record_of(self).attributes().for_each_object([&](uint32_t, PyObject* value) {
    if (result == 0) result = visit(value, arg);
  });
  return result;
}

int Indexable_clear(PyObject* self) {
  return guarded_call(-1, [&] {
    Indexable& rec = record_of(self);
    AttributeMap released = [&] {
      auto guard = rec.lock();
      return rec.take_attributes(guard);
    }();
    Py_CLEAR(reinterpret_cast<IndexableObject*>(self)->staged);
    // Released here, with no lock held: their finalizers may run.
    return 0;
  });
}

// Only allocates: the keywords are assigned by __init__, so that a subclass
// with an __init__ of its own decides what becomes an attribute.
PyObject* Indexable_new(PyTypeObject* cls, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return guarded([&] {
    // The id first: taking it may wait for the pool (and a failure leaves
    // nothing to undo), while nothing may run between the allocation and the
    // record's construction, so that the collector never sees the object
    // without its record.
    const uint32_t id = allocate_id();
    // object.__new__ allocates, and refuses an abstract class as it does
    // for any other class; arguments are __init__'s business.
    static PyObject* const NO_ARGS = PyTuple_New(0);
    PyObject* obj = NO_ARGS != nullptr ? PyBaseObject_Type.tp_new(cls, NO_ARGS, nullptr) : nullptr;
    if (obj == nullptr) {
      free_id(id);
      throw PyErr::fetch();
    }
    auto* instance = reinterpret_cast<IndexableObject*>(obj);
    new (&instance->native_holders) std::atomic<uint32_t>(0);
    new (&instance->record) Indexable(AttributeMap(), id);
    return PyRef::steal(obj);
  });
}

// Attribute ids of recently read names, by the name object: a read then
// costs no hashing of the name's text. Each entry keeps its name alive, so an
// address is never mistaken for another name's. Used with the GIL held.
class NameCache {
 public:
  static constexpr std::size_t SIZE = 512;

  std::optional<uint32_t> find(PyObject* name) const noexcept {
    const Entry& e = entries_[slot(name)];
    if (e.name == name) return e.attr;
    return std::nullopt;
  }
  void remember(PyObject* name, uint32_t attr) noexcept {
    Entry& e = entries_[slot(name)];
    PyObject* old = std::exchange(e.name, Py_NewRef(name));
    e.attr = attr;
    Py_XDECREF(old);  // a str: no Python code runs
  }

 private:
  struct Entry {
    PyObject* name = nullptr;
    uint32_t attr = 0;
  };
  static std::size_t slot(PyObject* name) noexcept {
    return (reinterpret_cast<uintptr_t>(name) >> 4) & (SIZE - 1);
  }
  Entry entries_[SIZE];
};

NameCache NAME_CACHE;

}  // namespace

// Exact strs are remembered by the cache (a subclass instance may compare by
// its text alone).
std::optional<uint32_t> attribute_id(PyObject* name) {
  const bool exact = PyUnicode_CheckExact(name);
  if (exact) {
    if (auto attr = NAME_CACHE.find(name)) return attr;
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &len);
  if (text == nullptr) {
    // A name that cannot be encoded names no attribute.
    PyErr_Clear();
    return std::nullopt;
  }
  // Looked up, never interned: a name no object ever had has no id.
  auto attr = INTERNER().find(std::string_view(text, static_cast<std::size_t>(len)));
  if (attr && exact) NAME_CACHE.remember(name, *attr);
  return attr;
}

uint32_t intern_attribute(PyObject* name, std::string_view text) {
  const bool exact = PyUnicode_CheckExact(name);
  if (exact) {
    if (auto attr = NAME_CACHE.find(name)) return *attr;
  }
  const uint32_t attr = INTERNER().intern(text);
  if (exact) NAME_CACHE.remember(name, attr);
  return attr;
}

namespace {

// A new reference to the stored object of `name`, else to what the class
// gives (methods, class attributes); else null with AttributeError(name)
// raised, formatting no message and throwing no native exception.
PyObject* stored_or_generic(PyObject* self, PyObject* name) {
  if (auto attr = attribute_id(name)) {
    if (PyObject* value = record_of(self).attributes().object(*attr)) return Py_NewRef(value);
  }
  PyObject* found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, /*suppress=*/1);
  if (found == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
  return found;
}

// Whether values written by object.__setattr__ (into the instance dict, or
// a subclass's __slots__ entries) may wait to be settled before a read.
bool may_need_settling(PyObject* self) {
  if (Py_TYPE(self)->tp_basicsize > static_cast<Py_ssize_t>(sizeof(IndexableObject))) return true;
  PyObject* staged = reinterpret_cast<IndexableObject*>(self)->staged;
  return staged != nullptr && PyDict_GET_SIZE(staged) > 0;
}

PyObject* Indexable_getattro(PyObject* self, PyObject* name) {
  // The common read: an exact str, nothing to settle, and no data descriptor
  // of the class for the name (the type's lookup cache answers that).
  if (PyUnicode_CheckExact(name) && !may_need_settling(self)) {
    PyObject* descr = _PyType_Lookup(Py_TYPE(self), name);
    if (descr == nullptr || Py_TYPE(descr)->tp_descr_set == nullptr) {
      return stored_or_generic(self, name);
    }
  }
  return guarded([&] {
    if (!PyUnicode_Check(name)) extract_str(name, "name");
    settle_staged(self);
    // The class's data descriptors first (properties, __class__...), as
    // they come before an instance dict.
    if (PyRef descr = class_data_descriptor(self, name)) {
      descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
      if (get == nullptr) return descr;
      return PyRef::steal_or_throw(
          get(descr.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    }
    return PyRef::steal(stored_or_generic(self, name));
  });
}

// How many attributes the objects of a class end up with, so that an
// object's first assignment makes room for them all (dataclasses and
// __init__ methods assign one attribute at a time). Keyed by the class's
// address, which a later class may reuse: a hint wrong then only sizes one
// block wrong. Used with the GIL held.
class ShapeHints {
 public:
  uint32_t find(PyTypeObject* type) const noexcept {
    const Entry& e = entries_[slot(type)];
    return e.type == type ? e.attrs : 0;
  }
  void remember(PyTypeObject* type, uint32_t attrs) noexcept {
    Entry& e = entries_[slot(type)];
    if (e.type != type) e = Entry{type, 0};
    e.attrs = std::max(e.attrs, std::min<uint32_t>(attrs, MAX_HINT));
  }

 private:
  static constexpr uint32_t MAX_HINT = 64;
  struct Entry {
    PyTypeObject* type = nullptr;
    uint32_t attrs = 0;
  };
  static std::size_t slot(PyTypeObject* type) noexcept {
    return (reinterpret_cast<uintptr_t>(type) >> 4) & 63;
  }
  Entry entries_[64];
};

ShapeHints SHAPE_HINTS;

// The usual assignment, done at once: a str name the class has no data
// descriptor for, a value kept bare (nothing to convert), an object no index
// holds and nothing left aside by object.__setattr__; the object's lock is
// tried. False, having changed nothing, when that does not apply (the long
// way then handles it). GIL held, inside an entry scope.
bool assign_plainly(PyObject* self, PyObject* name, PyObject* value) {
  if (value == nullptr || !PyUnicode_CheckExact(name) || may_need_settling(self)) return false;
  PyObject* descr = _PyType_Lookup(Py_TYPE(self), name);
  if (descr != nullptr && Py_TYPE(descr)->tp_descr_set != nullptr) return false;
  std::optional<AttributeMap::Slot> slot = AttributeMap::Slot::make_bare(value);
  if (!slot) return false;
  const std::optional<uint32_t> known = NAME_CACHE.find(name);
  const uint32_t attr = known ? *known : intern_attribute(name, extract_str(name, "name"));
  Indexable& rec = record_of(self);
  AttributeMap::Slot replaced;  // released after the lock
  {
    auto guard = rec.try_lock_quiet();
    if (!guard) return false;
    if (!(*guard)->engines.empty()) return false;
    const bool first = rec.attributes().empty();
    if (first) rec.reserve_attributes(*guard, SHAPE_HINTS.find(Py_TYPE(self)));
    replaced = rec.store(*guard, attr, std::move(*slot));
    if (!first) SHAPE_HINTS.remember(Py_TYPE(self), static_cast<uint32_t>(rec.attributes().size()));
  }
  return true;
}

int Indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return guarded_call(-1, [&] {
    if (assign_plainly(self, name, value)) return 0;
    if (!PyUnicode_Check(name)) extract_str(name, "name");
    // Older values written by object.__setattr__ first, then this one.
    settle_staged(self);
    if (PyRef descr = class_data_descriptor(self, name)) {
      if (Py_TYPE(descr.get())->tp_descr_set(descr.get(), self, value) < 0) throw PyErr::fetch();
      return 0;
    }
    if (value == nullptr) throw_attribute_error("can't delete attribute");
    assign_attribute(self, name, value);
    return 0;
  });
}

// How an object shows itself, as a dataclass does: its class name and its
// first attributes as keywords, e.g. Car(maker='Kia', price=12000, ...).
// Values show by their repr, which may run Python code: their references are
// copied out first, and no lock is held meanwhile. An object met again inside
// its own repr shows as "..." (reprlib.recursive_repr), and an Indexable
// value nested more than MAX_REPR_DEPTH reprs deep as "Car(...)", so that the
// native stack stays shallow however long a chain of objects is.
constexpr std::size_t REPR_ATTRIBUTES = 6;
constexpr int MAX_REPR_DEPTH = 8;
[[gnu::tls_model("initial-exec")]] thread_local int REPR_DEPTH = 0;

PyObject* Indexable_repr(PyObject* self) {
  return guarded([&] {
    settle_staged(self);
    ReprScope scope(self);
    if (scope.reentered()) return PyRef::steal_or_throw(PyUnicode_FromString("..."));
    std::string text = type_name(self) + "(";
    if (REPR_DEPTH >= MAX_REPR_DEPTH) {
      text += "...)";
    } else {
      std::vector<std::pair<uint32_t, PyRef>> shown;
      bool more = false;
      record_of(self).attributes().for_each_object([&](uint32_t attr, PyObject* value) {
        if (shown.size() < REPR_ATTRIBUTES) {
          shown.emplace_back(attr, PyRef::borrow(value));
        } else {
          more = true;
        }
      });
      ++REPR_DEPTH;
      struct Leave {
        ~Leave() { --REPR_DEPTH; }
      } leave;
      for (std::size_t i = 0; i < shown.size(); ++i) {
        if (i > 0) text += ", ";
        text += INTERNER().str(shown[i].first);
        text += '=';
        text += repr_text(shown[i].second.get());
      }
      text += more ? ", ...)" : ")";
    }
    return str_from_utf8(text);
  });
}

PyObject* Indexable_dir(PyObject* self, PyObject*) {
  return guarded([&] {
    settle_staged(self);
    PyRef result = PyRef::steal_or_throw(PyList_New(0));
    std::vector<uint32_t> keys;
    record_of(self).attributes().for_each_object(
        [&](uint32_t key, PyObject*) { keys.push_back(key); });
    for (uint32_t key : keys) {
      std::string_view text = INTERNER().str(key);
      PyRef s = str_from_utf8(text);
      if (PyList_Append(result.get(), s.get()) < 0) throw PyErr::fetch();
    }
    PyRef builtins = PyRef::steal_or_throw(PyImport_ImportModule("builtins"));
    PyRef object = PyRef::steal_or_throw(PyObject_GetAttrString(builtins.get(), "object"));
    PyRef names = PyRef::steal_or_throw(PyObject_CallMethod(object.get(), "__dir__", "O", self));
    if (!PyList_Check(names.get())) {
      throw_type_error("object.__dir__() must return a list, not " + type_name(names.get()));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      if (PyList_Append(result.get(), PyList_GET_ITEM(names.get(), i)) < 0) throw PyErr::fetch();
    }
    return result;
  });
}

// The docstrings of Indexable: the text signature, then what it does, returns
// and raises, and whether it releases the GIL.
PyDoc_STRVAR(INDEXABLE_DOC,
             "Indexable(**kwargs)\n--\n\n"
             "Base class of the objects an Index holds: derive your classes from it.\n\n"
             "Keyword arguments become attributes; positional arguments raise TypeError "
             "(unless the class has a __new__ of its own that takes them and no __init__ of "
             "its own). "
             "Attributes are kept natively. Reading one returns an equal value (a new int, "
             "float, str or bool, or the very object stored for any other kind); a name that "
             "is not an attribute of the object is looked up on its class as usual. Assigning "
             "one stores the value and re-indexes the object in every Index that holds it "
             "before the assignment returns, releasing the GIL while the indexes are updated "
             "when the value is a container of 4,096 elements or more. "
             "Deleting an attribute raises AttributeError. vars(obj) and obj.__dict__ are a "
             "new dict of the attributes whose writes assign them. repr() shows the class name "
             "and the first attributes, Car(maker='Kia', price=12000, ...), unless the class "
             "defines its own __repr__.\n"
             "Raises OverflowError, TypeError or ValueError, naming the attribute, for a value "
             "that cannot be indexed (a number beyond 65536 bits, an unhashable "
             "object of no recognised kind, a str that cannot be encoded as UTF-8), when the "
             "object is made or the attribute assigned; nothing has changed then. An "
             "assignment raises RuntimeError when code it runs (a __hash__, a __del__) kept "
             "changing the object.");

PyDoc_STRVAR(INDEXABLE_DIR_DOC,
             "__dir__($self)\n--\n\n"
             "Returns a new list of the object's attribute names followed by the names "
             "object.__dir__ gives.\n"
             "Keeps the GIL.");

PyMethodDef INDEXABLE_METHODS[] = {
    {"__dir__", Indexable_dir, METH_NOARGS, INDEXABLE_DIR_DOC},
    {"__getstate__", Indexable_getstate, METH_NOARGS,
     PyDoc_STR("__getstate__($self)\n--\n\nA dict of the attributes.")},
    {"__setstate__", Indexable_setstate, METH_O,
     PyDoc_STR("__setstate__($self, state)\n--\n\nAssigns every item of the dict state.")},
    {"__reduce__", Indexable_reduce, METH_NOARGS, PyDoc_STR("__reduce__($self)\n--\n\n")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef INDEXABLE_GETSETS[] = {
    {"__dict__", Indexable_get_dict, nullptr,
     PyDoc_STR("A new dict of the attributes; writing an item through it assigns the "
               "attribute (re-indexing the object), deleting one raises AttributeError."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The instance dict slot (see IndexableObject), shared by every subclass.
PyMemberDef INDEXABLE_MEMBERS[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(IndexableHead, staged), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot INDEXABLE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(INDEXABLE_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(Indexable_new)},
    {Py_tp_init, reinterpret_cast<void*>(Indexable_init)},
    {Py_tp_members, INDEXABLE_MEMBERS},
    {Py_tp_getset, INDEXABLE_GETSETS},
    {Py_tp_dealloc, reinterpret_cast<void*>(Indexable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Indexable_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(Indexable_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(Indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(Indexable_setattro)},
    {Py_tp_methods, INDEXABLE_METHODS},
    {0, nullptr},
};

PyType_Spec INDEXABLE_SPEC = {
    "Quorvane.Indexable",
    static_cast<int>(sizeof(IndexableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    INDEXABLE_SLOTS,
};

}  // namespace

PyTypeObject* indexable_type() noexcept {
  return INDEXABLE_TYPE;
}

bool reads_stored(PyTypeObject* type, PyObject* name) {
  return type->tp_getattro == Indexable_getattro && _PyType_Lookup(type, name) == nullptr;
}

bool needs_settling(PyObject* obj) {
  return may_need_settling(obj);
}

PyTypeObject* create_indexable_type() {
  return create_type_once(INDEXABLE_TYPE, INDEXABLE_SPEC);
}

}  // namespace quorvane
