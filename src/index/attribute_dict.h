// AttributeDict: what `obj.__dict__` and `vars(obj)` give for an Indexable,
// a dict of its attributes whose writes reach the object.
#pragma once

#include "python/py_ref.h"

namespace quorvane {

// A new AttributeDict of the attributes of the Indexable `owner` (GIL held).
PyRef attribute_dict(PyObject* owner);

// Stores every attribute of the Indexable `owner` into the dict `dict`, in
// the order of their first assignment (GIL held, no lock).
void copy_attributes(PyObject* owner, PyObject* dict);

}  // namespace quorvane
