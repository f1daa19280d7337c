#include "index/attribute_dict.h"

#include <string>
#include <utility>
#include <vector>

#include "index/core/indexing.h"
#include "index/core/structures/string_interner/string_interner.h"
#include "index/indexable.h"
#include "index/indexable_protocol.h"
#include "python/arg_binding.h"
#include "python/gil.h"
#include "python/heap_type.h"

namespace quorvane {
namespace {

// Maintainer's note: why writes go through. `vars(obj)` must be a real dict,
// since serializers take only dicts (json.dumps(vars(obj)),
// json.dumps(obj, default=vars)); and dataclass-like code writes through it
// (`self.__dict__.update(kwargs)` in an __init__, functools.cached_property
// storing what it computed). A read-only mapping would break the first; a
// plain copy, as before, made the second change nothing without a word. So
// it is a dict subclass holding a copy of the attributes made when it was
// asked for, and each of its writes is first an assignment to the object:
// stored and re-indexed in every index that holds the object, bypassing the
// class's __setattr__ and descriptors as a write to an instance dict does.
// Only then does the dict change, so a write that fails (a value that cannot
// be indexed) changes neither. Deleting is refused, since attributes cannot
// be deleted. Its reads are those of the copy: later assignments to the
// object do not show in a dict taken before them.
struct AttributeDictObject {
  PyDictObject dict;
  PyObject* owner;  // the Indexable written to; null once the collector cleared it
};

PyTypeObject* ATTRIBUTE_DICT_TYPE = nullptr;
constexpr char ATTRIBUTE_DICT_NAME[] = "AttributeDict";

PyObject*& owner_of(PyObject* self) {
  return reinterpret_cast<AttributeDictObject*>(self)->owner;
}

// `self[key] = value`: the object first, then the dict.
void write_through(PyObject* self, PyObject* key, PyObject* value) {
  if (PyRef owner = PyRef::borrow(owner_of(self))) {
    if (!PyUnicode_Check(key)) {
      throw_type_error("attribute name must be a str, not " + type_name(key));
    }
    settle_staged(owner.get());
    assign_attribute(owner.get(), key, value);
  }
  if (PyDict_SetItem(self, key, value) < 0) throw PyErr::fetch();
}

[[noreturn]] void refuse_deletion() {
  throw_attribute_error(
      "the attributes of an Indexable cannot be deleted: assign a placeholder such as None "
      "instead");
}

int AttributeDict_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  return guarded_call(-1, [&] {
    if (value == nullptr) refuse_deletion();
    write_through(self, key, value);
    return 0;
  });
}

// Writes every item of `dict(*args, **kwargs)` through, in order; a failing
// one stops the update with the items before it written, as dict.update does.
void update_through(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyRef items =
      PyRef::steal_or_throw(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), args, kwargs));
  // Copied out: the assignments may run code that changes the dict.
  std::vector<std::pair<PyRef, PyRef>> pairs;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(items.get(), &pos, &key, &value)) {
    pairs.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
  }
  for (const auto& [k, v] : pairs) write_through(self, k.get(), v.get());
}

PyObject* AttributeDict_update(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    if (PyTuple_GET_SIZE(args) > 1) {
      throw_type_error("update expected at most 1 argument, got " +
                       std::to_string(PyTuple_GET_SIZE(args)));
    }
    update_through(self, args, kwargs);
    return PyRef::borrow(Py_None);
  });
}

PyObject* AttributeDict_inplace_or(PyObject* self, PyObject* other) {
  return guarded([&] {
    PyRef args = PyRef::steal_or_throw(PyTuple_Pack(1, other));
    update_through(self, args.get(), nullptr);
    return PyRef::borrow(self);
  });
}

PyObject* AttributeDict_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] {
    if (nargs < 1 || nargs > 2) {
      throw_type_error("setdefault expected 1 or 2 arguments, got " + std::to_string(nargs));
    }
    PyObject* fallback = nargs == 2 ? args[1] : Py_None;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(self, args[0], &found) < 0) throw PyErr::fetch();
    if (found != nullptr) return PyRef::steal(found);
    write_through(self, args[0], fallback);
    return PyRef::borrow(fallback);
  });
}

PyObject* AttributeDict_refuse(PyObject*, PyObject* const*, Py_ssize_t) {
  return guarded([&]() -> PyRef { refuse_deletion(); });
}

// Copies and pickles are plain dicts: they are not the object's any more.
PyObject* AttributeDict_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    PyRef copy = PyRef::steal_or_throw(PyDict_Copy(self));
    return PyRef::steal_or_throw(
        Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyDict_Type), copy.get()));
  });
}

int AttributeDict_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(owner_of(self));
  return PyDict_Type.tp_traverse(self, visit, arg);
}

int AttributeDict_clear(PyObject* self) {
  Py_CLEAR(owner_of(self));
  return PyDict_Type.tp_clear(self);
}

void AttributeDict_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(owner_of(self));
  // Frees the items and the object (the trashcan of dict's own dealloc
  // stays out of a subclass's way).
  PyDict_Type.tp_dealloc(self);
  Py_DECREF(type);
}

PyMethodDef ATTRIBUTE_DICT_METHODS[] = {
    {"update", QUORVANE_FAST(AttributeDict_update), METH_VARARGS | METH_KEYWORDS,
     "update($self, other=(), /, **kwargs)\n--\n\n"
     "Assigns every item to the object, as dict.update writes them."},
    {"setdefault", QUORVANE_FAST(AttributeDict_setdefault), METH_FASTCALL,
     "setdefault($self, key, default=None, /)\n--\n\n"
     "Assigns default to the object when the dict lacks key; returns dict[key]."},
    {"pop", QUORVANE_FAST(AttributeDict_refuse), METH_FASTCALL,
     "Refused: attributes cannot be deleted (AttributeError)."},
    {"popitem", QUORVANE_FAST(AttributeDict_refuse), METH_FASTCALL,
     "Refused: attributes cannot be deleted (AttributeError)."},
    {"clear", QUORVANE_FAST(AttributeDict_refuse), METH_FASTCALL,
     "Refused: attributes cannot be deleted (AttributeError)."},
    {"__reduce__", AttributeDict_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles and copies as a plain dict."},
    {nullptr, nullptr, 0, nullptr},
};
#undef QUORVANE_FAST

PyType_Slot ATTRIBUTE_DICT_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>("The attributes of an Indexable as a dict (obj.__dict__, vars(obj)), copied "
                       "when asked for: a write through it assigns the attribute on the object, "
                       "which re-indexes it; deleting is refused.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<ATTRIBUTE_DICT_NAME>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(AttributeDict_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(AttributeDict_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(AttributeDict_clear)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(AttributeDict_ass_subscript)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(AttributeDict_inplace_or)},
    {Py_tp_methods, ATTRIBUTE_DICT_METHODS},
    {0, nullptr},
};

PyType_Spec ATTRIBUTE_DICT_SPEC = {
    "Quorvane.AttributeDict", static_cast<int>(sizeof(AttributeDictObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, ATTRIBUTE_DICT_SLOTS};

PyTypeObject* attribute_dict_type() {
  if (ATTRIBUTE_DICT_TYPE == nullptr) {
    PyRef bases = PyRef::steal_or_throw(PyTuple_Pack(1, &PyDict_Type));
    ATTRIBUTE_DICT_TYPE = reinterpret_cast<PyTypeObject*>(
        PyType_FromSpecWithBases(&ATTRIBUTE_DICT_SPEC, bases.get()));
    if (ATTRIBUTE_DICT_TYPE == nullptr) throw PyErr::fetch();
  }
  return ATTRIBUTE_DICT_TYPE;
}

}  // namespace

void copy_attributes(PyObject* owner, PyObject* dict) {
  settle_staged(owner);
  // Copied out first: creating the Python objects may run the collector, and
  // with it finalizers that assign this very object.
  std::vector<std::pair<uint32_t, PyRef>> values;
  record_of(owner).attributes().for_each_object(
      [&](uint32_t attr, PyObject* value) { values.emplace_back(attr, PyRef::borrow(value)); });
  for (const auto& [attr, object] : values) {
    std::string_view name = INTERNER().str(attr);
    PyRef key = str_from_utf8(name);
    if (PyDict_SetItem(dict, key.get(), object.get()) < 0) throw PyErr::fetch();
  }
}

PyRef attribute_dict(PyObject* owner) {
  static PyObject* const NO_ARGS = PyTuple_New(0);
  if (NO_ARGS == nullptr) throw PyErr::fetch();
  PyRef dict = PyRef::steal_or_throw(PyDict_Type.tp_new(attribute_dict_type(), NO_ARGS, nullptr));
  copy_attributes(owner, dict.get());
  owner_of(dict.get()) = Py_NewRef(owner);
  return dict;
}

}  // namespace quorvane
