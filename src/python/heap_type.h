// Plumbing shared by the module's classes: heap types created once from
// their specs, instances that carry one native field, and the slots that
// create and destroy such instances.
#pragma once

#include <new>
#include <utility>

#include "python/errors.h"
#include "python/gil.h"

namespace quorvane {

// Creates the type of `spec` on first call and keeps it in `cache` for the
// life of the process. Needs the GIL; throws the interpreter's error.
inline PyTypeObject* create_type_once(PyTypeObject*& cache, PyType_Spec& spec) {
  if (cache == nullptr) {
    cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (cache == nullptr) throw PyErr::fetch();
  }
  return cache;
}

// A new instance of `type` whose native field `member` is moved from `value`.
template <class Object, class Field>
PyRef new_instance(PyTypeObject* type, Field Object::*member, Field value) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) throw PyErr::fetch();
  new (&(reinterpret_cast<Object*>(obj)->*member)) Field(std::move(value));
  return PyRef::steal(obj);
}

// tp_dealloc of a heap type whose instances carry the native field `member`.
template <class Object, class Field, Field Object::*member>
void native_dealloc(PyObject* self) {
  EntryScope entry;
  PyTypeObject* type = Py_TYPE(self);
  // The collector must not see the object while its field is destroyed.
  if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
  (reinterpret_cast<Object*>(self)->*member).~Field();
  type->tp_free(self);
  Py_DECREF(type);
}

// The method entry that makes `Cls[T]` valid at run time (as for list[int]),
// for classes the type stubs declare generic.
inline constexpr PyMethodDef GENERIC_ALIAS_METHOD = {
    "__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
    "Returns the generic alias Cls[item], for annotations."};

// tp_new of a class that Python code cannot construct.
template <const char* kName>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", kName);
  return nullptr;
}

}  // namespace quorvane
