#include "index/indexable.h"

#include <algorithm>

#include "index/core/id_alloc.h"
#include "index/core/index.h"
#include "index/core/insertion_chain.h"
#include "index/core/structures/string_interner/string_interner.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"

namespace quorvane {

// ---- the native record ------------------------------------------------------

Indexable::Indexable() : Indexable(AttributeMap()) {}

Indexable::Indexable(AttributeMap attributes)
    : attributes_(std::make_shared<Mutex<AttributeMap>>(std::move(attributes))),
      membership_(std::make_shared<Mutex<MembershipList>>()),
      id_(allocate_id()),
      owns_id_(true) {}

Indexable::Indexable(Indexable&& other) noexcept
    : attributes_(std::move(other.attributes_)),
      membership_(std::move(other.membership_)),
      id_(other.id_),
      owns_id_(std::exchange(other.owns_id_, false)) {}

Indexable Indexable::alias() const {
  return Indexable(attributes_, membership_, id_, false);
}

Indexable::~Indexable() {
  if (owns_id_) free_id(id_);
}

namespace {
// Whether `a` and `b` share one engine's control block (no reference taken).
bool same_engine(const std::weak_ptr<IndexAPI>& a, const std::shared_ptr<IndexAPI>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}
}  // namespace

void trim_indexes(MembershipList& list, const std::shared_ptr<IndexAPI>& excluded) {
  const std::shared_ptr<IndexAPI>& default_engine = default_index();
  auto dead = std::remove_if(list.begin(), list.end(), [&](const IndexMeta& meta) {
    return meta.engine.expired() || same_engine(meta.engine, excluded) ||
           same_engine(meta.engine, default_engine);
  });
  list.erase(dead, list.end());
}

void Indexable::register_engine(const std::shared_ptr<IndexAPI>& engine) const {
  with_object_lock(*membership_, POISONED_LOCK, [&](MembershipList& list) {
    // An engine is listed once: an object shared by many holders (a nested
    // value) is registered again for each of them, and a growing list would
    // make every registration and every assignment slower.
    for (const IndexMeta& meta : list) {
      if (same_engine(meta.engine, engine)) return;
    }
    trim_indexes(list, default_index());
    // One fixed order of engines for every object (by the engines' shared
    // control blocks, which stays consistent even if an engine dies meanwhile).
    auto at = std::upper_bound(list.begin(), list.end(), engine,
                               [](const std::shared_ptr<IndexAPI>& e, const IndexMeta& meta) {
                                 return e.owner_before(meta.engine);
                               });
    list.insert(at, IndexMeta{engine});
  });
}

namespace detail {
std::vector<HeldObjectLock>& held_object_locks() noexcept {
  thread_local std::vector<HeldObjectLock> held;
  return held;
}
}  // namespace detail

// ---- the Python class -------------------------------------------------------

namespace {

PyTypeObject* INDEXABLE_TYPE = nullptr;

// Freed Indexable instances kept for reuse: 512 slots, at most 511 filled.
constexpr std::size_t FREE_LIST_SLOTS = 512;
Mutex<std::vector<PyObject*>>& free_list() {
  static auto* list = new Mutex<std::vector<PyObject*>>();
  return *list;
}

PyObject* Indexable_alloc(PyTypeObject* type, Py_ssize_t nitems) {
  if (type == INDEXABLE_TYPE) {
    PyObject* reused = nullptr;
    {
      auto list = free_list().lock();
      if (!list->empty()) {
        reused = list->back();
        list->pop_back();
      }
    }
    if (reused != nullptr) {
      std::memset(static_cast<void*>(reused), 0, static_cast<std::size_t>(type->tp_basicsize));
      return PyObject_Init(reused, type);
    }
  }
  return PyType_GenericAlloc(type, nitems);
}

void Indexable_dealloc(PyObject* self) {
  EntryScope entry;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<IndexableObject*>(self)->record.~Indexable();
  bool kept = false;
  if (type == INDEXABLE_TYPE) {
    auto list = free_list().lock();
    if (list->size() + 1 < FREE_LIST_SLOTS) {
      list->push_back(self);
      kept = true;
    }
  }
  if (!kept) type->tp_free(self);
  Py_DECREF(type);
}

PyObject* Indexable_new(PyTypeObject* cls, PyObject* /*args*/, PyObject* kwargs) {
  return guarded([&] {
    AttributeMap attributes;
    if (kwargs != nullptr) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        uint32_t attr = INTERNER().intern(extract_str(key, "key"));
        attributes.insert(attr, PyValue::stored_from_object(value));
      }
    }
    Indexable record(std::move(attributes));
    allocfunc alloc = cls->tp_alloc != nullptr ? cls->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(cls, 0);
    if (obj == nullptr) throw PyErr::fetch();
    new (&reinterpret_cast<IndexableObject*>(obj)->record) Indexable(std::move(record));
    return PyRef::steal(obj);
  });
}

// The attribute id of a `str` attribute name.
uint32_t attribute_id(PyObject* name) {
  return INTERNER().intern(extract_str(name, "name"));
}

PyObject* Indexable_getattro(PyObject* self, PyObject* name) {
  return guarded([&] {
    try {
      if (!PyUnicode_Check(name)) extract_str(name, "name");
      Py_ssize_t len = 0;
      const char* text = PyUnicode_AsUTF8AndSize(name, &len);
      if (text == nullptr) throw PyErr::fetch();
      const Indexable& rec = record_of(self);
      PyRef found = with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
        uint32_t attr = INTERNER().intern(std::string_view(text, static_cast<std::size_t>(len)));
        const PyValue* value = attrs.get(attr);
        return value != nullptr ? value->to_object() : PyRef();
      });
      if (found) return found;
      return PyRef::steal_or_throw(PyObject_GenericGetAttr(self, name));
    } catch (PyErr& err) {
      if (!err.matches(PyExc_AttributeError)) throw;
      // The error carries the name alone, as a missing native attribute does.
      PyErr_SetObject(PyExc_AttributeError, name);
      throw PyErr::fetch();
    }
  });
}

// Assignment re-indexes the object in every engine that holds it before the
// new value is stored. The membership list is held from the first engine
// update to the store, so that two assignments to one object cannot
// interleave their removals and additions. Engine updates run with the GIL
// released; a thread holding the GIL that finds the list busy waits for it
// without the GIL (the lock family's wait hook).
void assign_attribute(PyObject* self, PyObject* name, PyObject* value) {
  uint32_t attr = attribute_id(name);
  PyValue new_value = PyValue::stored_from_object(value);
  const Indexable& rec = record_of(self);
  Indexable keep_alive = rec.alias();
  std::exception_ptr failure;
  with_object_lock(rec.membership(), POISONED_LOCK, [&](MembershipList& list) {
    std::vector<std::shared_ptr<IndexAPI>> engines;
    for (const IndexMeta& meta : list) {
      if (auto engine = meta.engine.lock()) engines.push_back(std::move(engine));
    }
    if (engines.empty()) {
      with_object_lock(rec.attributes(), CANNOT_READ,
                       [&](AttributeMap& attrs) { attrs.insert(attr, new_value); });
      return;
    }
    // A container is walked once, before any engine changes, so that an
    // element that cannot be converted fails the assignment cleanly (and is
    // rethrown once the lock is released: it is not a failure of its holder).
    std::optional<PreparedValue> prepared;
    try {
      prepared.emplace(prepare_value(new_value));
    } catch (...) {
      failure = std::current_exception();
      return;
    }
    GilRelease release;
    InsertionScope scope(rec.id());
    for (const auto& engine : engines) engine->ensure_maps({attr});
    // The attributes stay locked from the first engine update to the store:
    // an engine dropping the object meanwhile (and reading its values to
    // remove them) sees either the old value everywhere or the new one.
    with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
      const PyValue* old = attrs.get(attr);
      for (const auto& engine : engines) engine->note_assignment(rec.id(), attr, old, new_value);
      for (const auto& engine : engines) {
        // An engine that dropped the object (narrowing, or a nested engine
        // whose last holder let go) is not updated.
        if (!engine->member_ids.read()->contains(rec.id())) continue;
        if (old != nullptr) engine->remove_index(rec.id(), attr, *old);
        engine->add_prepared(rec.id(), attr, *prepared);
      }
      attrs.insert(attr, new_value);
    });
    engines.clear();
  });
  if (failure) std::rethrow_exception(failure);
}

int Indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return guarded_call(-1, [&] {
    if (value == nullptr) throw_attribute_error("can't delete attribute");
    assign_attribute(self, name, value);
    return 0;
  });
}

PyObject* Indexable_repr(PyObject* self) {
  return guarded([&] {
    std::size_t count = with_object_lock(record_of(self).attributes(), CANNOT_READ,
                                         [](AttributeMap& attrs) { return attrs.size(); });
    std::string text = "<Indexable with " + std::to_string(count) + " attributes>";
    return PyRef::steal_or_throw(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  });
}

PyObject* Indexable_dir(PyObject* self, PyObject*) {
  return guarded([&] {
    auto snapshot = INTERNER().snapshot();
    std::vector<uint32_t> keys =
        with_object_lock(record_of(self).attributes(), CANNOT_READ, [](AttributeMap& attrs) {
          std::vector<uint32_t> out;
          attrs.for_each([&](uint32_t key, const PyValue&) { out.push_back(key); });
          return out;
        });
    PyRef result = PyRef::steal_or_throw(PyList_New(0));
    for (uint32_t key : keys) {
      std::string_view text = snapshot->str(key);
      PyRef s = PyRef::steal_or_throw(
          PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
      if (PyList_Append(result.get(), s.get()) < 0) throw PyErr::fetch();
    }
    PyRef builtins = PyRef::steal_or_throw(PyImport_ImportModule("builtins"));
    PyRef object = PyRef::steal_or_throw(PyObject_GetAttrString(builtins.get(), "object"));
    PyRef names = PyRef::steal_or_throw(PyObject_CallMethod(object.get(), "__dir__", "O", self));
    if (!PyList_Check(names.get())) throw_cannot_convert(names.get(), "PyList");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      if (PyList_Append(result.get(), PyList_GET_ITEM(names.get(), i)) < 0) throw PyErr::fetch();
    }
    return result;
  });
}

PyMethodDef INDEXABLE_METHODS[] = {
    {"__dir__", Indexable_dir, METH_NOARGS, PyDoc_STR("__dir__($self)\n--\n\n")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot INDEXABLE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Indexable_new)},
    {Py_tp_alloc, reinterpret_cast<void*>(Indexable_alloc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Indexable_dealloc)},
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    INDEXABLE_SLOTS,
};

}  // namespace

PyTypeObject* indexable_type() noexcept {
  return INDEXABLE_TYPE;
}

PyTypeObject* create_indexable_type() {
  return create_type_once(INDEXABLE_TYPE, INDEXABLE_SPEC);
}

StoredIndexable StoredIndexable::from_py_ref(PyObject* obj) {
  return StoredIndexable{share(PyRef::borrow(obj)),
                         std::make_shared<Indexable>(record_of(obj).alias())};
}

uint32_t StoredIndexable::id() const noexcept {
  return owned_handle->id();
}

}  // namespace quorvane
