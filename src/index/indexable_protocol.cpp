#include "index/indexable_protocol.h"

#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/attribute_dict.h"
#include "index/core/indexing.h"
#include "index/indexable.h"
#include "index/types.h"
#include "python/arg_binding.h"
#include "python/gil.h"

namespace quorvane {
namespace {

PyObject*& staged_slot(PyObject* self) {
  return reinterpret_cast<IndexableObject*>(self)->staged;
}

// A __slots__ entry of a subclass: not used, since the attribute lives
// natively; only object.__setattr__ writes it (through its descriptor).
bool is_subclass_slot(const PyMemberDef& member) {
  return member.type == Py_T_OBJECT_EX &&
         member.offset >= static_cast<Py_ssize_t>(sizeof(IndexableObject));
}

// Moves what object.__setattr__ wrote into __slots__ entries of `self`'s
// classes into the native attributes (see settle_staged).
void settle_slots(PyObject* self, PendingWork* into, std::optional<PyErr>& first_error) {
  PyTypeObject* type = Py_TYPE(self);
  // Only a subclass with __slots__ makes the instance larger.
  if (type->tp_basicsize <= static_cast<Py_ssize_t>(sizeof(IndexableObject))) return;
  PyRef mro = PyRef::borrow(type->tp_mro);
  for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
    if (base->tp_members == nullptr || !PyType_IsSubtype(base, indexable_type())) continue;
    for (const PyMemberDef* m = base->tp_members; m->name != nullptr; ++m) {
      if (!is_subclass_slot(*m)) continue;
      auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + m->offset);
      if (*slot == nullptr) continue;
      PyRef value = PyRef::borrow(*slot);
      PyRef name = PyRef::steal_or_throw(PyUnicode_FromString(m->name));
      try {
        assign_if(
            self, name.get(), value.get(), [&] { return *slot == value.get(); }, into);
      } catch (PyErr& err) {
        if (!first_error) first_error.emplace(std::move(err));
      }
      // Emptied unless a newer value was written meanwhile.
      if (*slot == value.get()) {
        *slot = nullptr;
        Py_DECREF(value.get());
      }
    }
  }
}

// Takes `key` out of `dict` if it still maps to `value` (GIL held, no lock).
void forget_if_same(PyObject* dict, PyObject* key, PyObject* value) {
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (k != key) continue;
    if (v == value && PyDict_DelItem(dict, key) < 0) throw PyErr::fetch();
    return;
  }
}

}  // namespace

PyObject* Indexable_getstate(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef dict = PyRef::steal_or_throw(PyDict_New());
    copy_attributes(self, dict.get());
    return dict;
  });
}

// Writes through it reach the object: see attribute_dict.cpp for why.
PyObject* Indexable_get_dict(PyObject* self, void*) {
  return guarded([&] { return attribute_dict(self); });
}

// Stored as they are: a frozen dataclass is restored too; an index already
// holding the object indexes them.
PyObject* Indexable_setstate(PyObject* self, PyObject* state) {
  return guarded([&] {
    if (state != Py_None) {
      convert_arg("state", [&] {
        if (!PyDict_Check(state)) throw_cannot_convert(state, "dict");
      });
      std::vector<std::pair<PyRef, PyRef>> items;
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(state, &pos, &key, &value)) {
        items.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
      }
      for (const auto& [name, value] : items) assign_attribute(self, name.get(), value.get());
    }
    return PyRef::borrow(Py_None);
  });
}

// The state is what __getstate__ gives, so a subclass's own is honoured.
PyObject* Indexable_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef copyreg = PyRef::steal_or_throw(PyImport_ImportModule("copyreg"));
    PyRef newobj = PyRef::steal_or_throw(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    PyRef state = PyRef::steal_or_throw(PyObject_CallMethod(self, "__getstate__", nullptr));
    return PyRef::steal_or_throw(Py_BuildValue(
        "(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get()));
  });
}

void settle_staged(PyObject* self, PendingWork* into) {
  std::optional<PyErr> first_error;
  settle_slots(self, into, first_error);
  PyObject* dict = staged_slot(self);
  if (dict == nullptr || PyDict_GET_SIZE(dict) == 0) {
    if (first_error) throw std::move(*first_error);
    return;
  }
  // The dict stays in its slot even when emptied: engines ask about it
  // without the GIL (may_have_staged), so it is released only with the
  // object.
  PyRef keep = PyRef::borrow(dict);
  while (PyDict_GET_SIZE(dict) > 0) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    if (!PyDict_Next(dict, &pos, &k, &v)) break;
    PyRef key = PyRef::borrow(k);
    PyRef value = PyRef::borrow(v);
    try {
      assign_if(
          self, key.get(), value.get(),
          [&] {
            // By identity, walking the entries: a lookup could compare keys
            // with a str subclass's __eq__, which must not run under a lock.
            Py_ssize_t at = 0;
            PyObject *name, *current;
            while (PyDict_Next(dict, &at, &name, &current)) {
              if (name == key.get()) return current == value.get();
            }
            return false;
          },
          into);
    } catch (PyErr& err) {
      if (!first_error) first_error.emplace(std::move(err));
    }
    // Unless a newer value was written meanwhile (its own turn comes).
    forget_if_same(dict, key.get(), value.get());
  }
  if (first_error) throw std::move(*first_error);
}

bool may_have_staged(PyObject* self) noexcept {
  // Written by the interpreter with the GIL; read here atomically without
  // it. Once made, the dict lives as long as the object.
  PyObject* dict = std::atomic_ref<PyObject*>(staged_slot(self)).load(std::memory_order_acquire);
  if (dict == nullptr) return false;
  auto& used = reinterpret_cast<PyDictObject*>(dict)->ma_used;
  return std::atomic_ref<Py_ssize_t>(used).load(std::memory_order_relaxed) > 0;
}

PyRef class_data_descriptor(PyObject* self, PyObject* name) {
  PyObject* found = _PyType_Lookup(Py_TYPE(self), name);
  if (found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr) return PyRef();
  if (Py_IS_TYPE(found, &PyMemberDescr_Type) &&
      is_subclass_slot(*reinterpret_cast<PyMemberDescrObject*>(found)->d_member)) {
    return PyRef();
  }
  return PyRef::borrow(found);
}

namespace {

// Refuses the positional arguments of `self`'s construction, as object.__init__
// does: they are only a class's own __new__'s business (a class with its own
// __new__ and no __init__ of its own).
[[gnu::cold]] int refuse_positionals(PyObject* self, Py_ssize_t count) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_init == indexable_type()->tp_init && type->tp_new != indexable_type()->tp_new) {
    return 0;
  }
  return guarded_call(-1, [&] {
    // The class's own call unless its own __init__ passed them on.
    const std::string callee = type->tp_init == indexable_type()->tp_init
                                   ? type_name(self) + "()"
                                   : std::string("Indexable.__init__()");
    throw_type_error(callee + " takes attributes as keyword arguments (name=value), not " +
                     std::to_string(count) + " positional argument" + (count == 1 ? "" : "s"));
    return -1;
  });
}

}  // namespace

int Indexable_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (args != nullptr && PyTuple_GET_SIZE(args) > 0) {
    if (refuse_positionals(self, PyTuple_GET_SIZE(args)) < 0) return -1;
  }
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return 0;
  return guarded_call(-1, [&] {
    // The call's own dict, which no other code sees: its items stay put.
    PyRef keep = PyRef::borrow(kwargs);
    absl::InlinedVector<std::pair<PyObject*, PyObject*>, 8> items;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) items.emplace_back(key, value);
    // Through the class's own __setattr__ when it has one; else straight to
    // the native attributes, except for names it has descriptors for.
    const bool own_setattr = Py_TYPE(self)->tp_setattro != indexable_type()->tp_setattro;
    if (!own_setattr) settle_staged(self);
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
      auto [name, item] = items[i];
      if (!own_setattr && PyUnicode_Check(name) && !class_data_descriptor(self, name)) continue;
      // In keyword order: the plain ones before it first.
      assign_attributes(self, std::span(items).subspan(plain_from, i - plain_from));
      plain_from = i + 1;
      if (PyObject_SetAttr(self, name, item) < 0) throw PyErr::fetch();
    }
    assign_attributes(self, std::span(items).subspan(plain_from));
    return 0;
  });
}

}  // namespace quorvane
