#include "index/interfaces/facet_counts.h"

#include "python/errors.h"

namespace quorvane {
namespace {

// Written in Python: a Mapping gets its mixin methods for free, and nothing
// here is on a hot path (the counting itself is native).
constexpr const char* FACET_COUNTS_SOURCE = R"PY(
from collections.abc import Mapping as _Mapping


class FacetCounts(_Mapping):
    """FacetCounts(pairs=())

    The counts count_by gives when some of the values counted have no hash
    (objects that compare by their fields, such as dataclass instances, which
    an index matches by identity): a read-only mapping from each value to the
    number of objects holding it. Such values are keys by identity; the
    others are keys as in a dict (True and 1 are one key). pairs is an
    iterable of (value, count); counts of one key add up.
    """

    __slots__ = ("_hashed", "_by_id")

    def __init__(self, pairs=()):
        hashed, by_id = {}, {}
        for value, count in pairs:
            try:
                hashed[value] = hashed.get(value, 0) + count
            except TypeError:
                held = by_id.get(id(value))
                by_id[id(value)] = (value, count + (held[1] if held is not None else 0))
        self._hashed, self._by_id = hashed, by_id

    def __getitem__(self, key):
        try:
            return self._hashed[key]
        except TypeError:
            held = self._by_id.get(id(key))
            if held is not None and held[0] is key:
                return held[1]
            raise KeyError(key) from None

    def __iter__(self):
        yield from self._hashed
        for value, _ in self._by_id.values():
            yield value

    def __len__(self):
        return len(self._hashed) + len(self._by_id)

    def __eq__(self, other):
        if not isinstance(other, _Mapping):
            return NotImplemented
        if len(self) != len(other):
            return False
        for key, count in self.items():
            try:
                if other[key] != count:
                    return False
            except (KeyError, TypeError):
                return False
        return True

    __hash__ = None

    def __repr__(self):
        return "FacetCounts({" + ", ".join(f"{k!r}: {v!r}" for k, v in self.items()) + "})"

    def __reduce__(self):
        return (FacetCounts, (list(self.items()),))
)PY";

PyObject* FACET_COUNTS = nullptr;

}  // namespace

PyObject* create_facet_counts_type() {
  if (FACET_COUNTS != nullptr) return FACET_COUNTS;
  PyRef globals = PyRef::steal_or_throw(PyDict_New());
  if (PyDict_SetItemString(globals.get(), "__name__", PyUnicode_FromString("Quorvane")) < 0 ||
      PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
    throw PyErr::fetch();
  }
  PyRef done = PyRef::steal_or_throw(
      PyRun_String(FACET_COUNTS_SOURCE, Py_file_input, globals.get(), globals.get()));
  PyObject* type = PyDict_GetItemString(globals.get(), "FacetCounts");  // borrowed
  if (type == nullptr) throw PyErr(PyExc_SystemError, "FacetCounts was not defined");
  // Kept for the life of the process.
  FACET_COUNTS = Py_NewRef(type);
  return FACET_COUNTS;
}

PyRef counts_mapping(const std::vector<std::pair<PyRef, PyRef>>& pairs) {
  // Sized once: the keys are distinct but for True and 1, False and 0.
  PyRef out = PyRef::steal_or_throw(_PyDict_NewPresized(static_cast<Py_ssize_t>(pairs.size())));
  for (const auto& [key, count] : pairs) {
    // Checked first: a dict would refuse the key. (A str or an int always
    // hashes; the dict then reads the str's cached hash.)
    PyTypeObject* type = Py_TYPE(key.get());
    if (type != &PyUnicode_Type && type != &PyLong_Type && PyObject_Hash(key.get()) == -1) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErr::fetch();
      PyErr_Clear();
      PyRef list = PyRef::steal_or_throw(PyList_New(0));
      for (const auto& [k, n] : pairs) {
        PyRef pair = PyRef::steal_or_throw(PyTuple_Pack(2, k.get(), n.get()));
        if (PyList_Append(list.get(), pair.get()) < 0) throw PyErr::fetch();
      }
      return PyRef::steal_or_throw(PyObject_CallOneArg(FACET_COUNTS, list.get()));
    }
    // True and 1 (False and 0) are one dict key in Python though separate
    // values here: their counts add up rather than one replacing the other.
    PyObject* held = nullptr;
    const int found = PyDict_SetDefaultRef(out.get(), key.get(), count.get(), &held);
    if (found < 0) throw PyErr::fetch();
    PyRef previous = PyRef::steal(held);
    if (found == 1) {
      PyRef total = PyRef::steal_or_throw(PyNumber_Add(held, count.get()));
      if (PyDict_SetItem(out.get(), key.get(), total.get()) < 0) throw PyErr::fetch();
    }
  }
  return out;
}

}  // namespace quorvane
