"""The module's classes behave as CPython's built-in classes do: abstract subclasses of
Indexable cannot be instantiated, and the module's own types cannot be changed (their
subclasses can)."""

from __future__ import annotations

import abc

import pytest

from Quorvane import Indexable

import child


def test_abstract_subclasses_cannot_be_instantiated():
    class Shape(Indexable, abc.ABC):
        @abc.abstractmethod
        def area(self): ...

    class Square(Shape):
        def area(self):
            return self.side ** 2

    with pytest.raises(TypeError, match="Can't instantiate abstract class Shape"):
        Shape(side=2)
    assert Square(side=3).area() == 9


# Run in a child: on a mutable type each change would stay for the rest of the session.
CHANGES = r"""
import Quorvane
from Quorvane import FilteredIndex, Index, Indexable, OrderedView, PyQueryExpr

changes = {
    "Indexable.__new__": lambda: setattr(Indexable, "__new__", lambda cls, **kw: None),
    "del Index.__len__": lambda: delattr(Index, "__len__"),
}
for t in (Indexable, Index, FilteredIndex, OrderedView, PyQueryExpr):
    changes[f"{t.__name__}.extra"] = lambda t=t: setattr(t, "extra", 1)
accepted = []
for name, change in changes.items():
    try:
        change()
    except TypeError:
        pass
    else:
        accepted.append(name)
assert not accepted, f"changes accepted: {accepted}"


class Sub(Indexable):
    pass


Sub.extra = 1
Sub.describe = lambda self: f"sub {self.n}"
assert Sub(n=2).describe() == "sub 2" and Sub().extra == 1 and len(Index()) == 0
print("ok")
"""


def test_the_modules_types_are_immutable():
    child.run_ok(CHANGES, timeout=60)
