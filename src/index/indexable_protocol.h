// What an Indexable does as a Python object besides keeping its attributes:
// initialisation, the class's data descriptors, values that
// object.__setattr__ leaves aside, its attribute dict, copying and pickling.
//
// object.__setattr__(obj, name, value) (which frozen dataclasses use in
// __init__) does not go through the class's assignment: it writes the
// instance dict, the `staged` slot of IndexableObject. The module moves every
// value it finds there into the native attributes, in the order written,
// before it reads, assigns, lists, copies or indexes the object, so that
// every read sees the latest write; an index that already holds the object
// takes such a value at that moment.
#pragma once

#include "python/py_ref.h"

namespace quorvane {

struct PendingWork;

// Moves the values object.__setattr__ left in `self`'s instance dict into its
// native attributes (GIL held, no native lock). Nested work goes to `into`
// when given, else is worked off here. A value that cannot be indexed is
// dropped and its error raised once the others are moved.
void settle_staged(PyObject* self, PendingWork* into = nullptr);

// Whether `self` may hold such values. Engines ask without the GIL: the
// answer may be late by a concurrent object.__setattr__, whose value is then
// taken at the object's next use.
bool may_have_staged(PyObject* self) noexcept;

// The data descriptor (property, slot, __class__...) that `self`'s class
// defines for `name`, or null. Such descriptors take precedence over the
// native attributes, as over an instance dict.
PyRef class_data_descriptor(PyObject* self, PyObject* name);

// Indexable.__init__(**kwargs): assigns each keyword through the object's
// own assignment (its class's __setattr__ and descriptors). Positional
// arguments raise TypeError, unless the class has a __new__ of its own and
// no __init__ of its own (they are then that __new__'s).
int Indexable_init(PyObject* self, PyObject* args, PyObject* kwargs);

// __getstate__ (a dict of the attributes), __setstate__ (assigns a dict's
// items as they are, bypassing the class's __setattr__ and descriptors),
// __reduce__ (copyreg.__newobj__ with the class, and the state).
PyObject* Indexable_getstate(PyObject* self, PyObject*);
PyObject* Indexable_setstate(PyObject* self, PyObject* state);
PyObject* Indexable_reduce(PyObject* self, PyObject*);
// The __dict__ getter (vars(obj)): a new AttributeDict of the attributes,
// whose writes assign them (attribute_dict.h).
PyObject* Indexable_get_dict(PyObject* self, void*);

}  // namespace quorvane
