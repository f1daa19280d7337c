"""A user's mistake is an ordinary exception, raised before anything changes.

Values the index cannot hold (numbers beyond 65536 bits, unhashable values, text with lone
surrogates) raise OverflowError / TypeError / ValueError naming the attribute, wherever they
come in: construction, assignment, add_object, add_object_many (also as elements of
containers).  The object stays fully usable and every index unchanged.  PanicException is kept
for the engine's own failures, and code can catch it by name.
"""

from __future__ import annotations

import contextlib
import datetime
import decimal

import pytest

import Quorvane
from Quorvane import Index, Indexable, PyQueryExpr as Q

import child


class Item(Indexable):
    pass


class NoHash:
    __hash__ = None


class RaisingHash:
    def __hash__(self):
        raise ZeroDivisionError("hash of a broken value")


BAD_VALUES = [
    # (label, value, expected exception)
    ("int 2**70000", 2**70_000, OverflowError),
    ("int -2**70000", -(2**70_000), OverflowError),
    ("Decimal 1e30000 in a list", [1, decimal.Decimal("1e30000")], OverflowError),
    ("int 2**70000 deep in a tuple", (1, (2, [3, 2**70_000])), OverflowError),
    ("unhashable value", NoHash(), TypeError),
    ("unhashable element", [1, NoHash()], TypeError),
    ("lone surrogate", "a\ud800", ValueError),
    ("lone surrogate in a tuple", ("ok", "\udfff"), ValueError),
]


def test_panic_exception_is_reachable_by_name():
    panic = Quorvane.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)


def make_world():
    objs = [Item(a=i, s=f"v{i}", l=[i, f"e{i}"]) for i in range(5)]
    index, other = Index(), Index()
    index.add_object_many(objs)
    other.add_object(objs[0])
    return objs, index, other


QUERIES = [Q.eq("a", 1), Q.gt("a", 1), Q.eq("l", 2), Q.eq("l", "e3"), Q.starts_with("s", "v"),
           Q.eq("a", None), Q.ne("a", 0), Q.eq("b", 1), Q.eq("c", "x")]


def snapshot(*indexes):
    return [[sorted(map(id, i.collect()))] + [sorted(map(id, i.reduced_query(q).collect()))
                                               for q in QUERIES] for i in indexes]


def values(objs):
    return [(o.a, o.s, list(o.l)) for o in objs]


@contextlib.contextmanager
def raises_naming(exc, attr):
    """The block raises ``exc`` (a PanicException is not one) with a message naming ``attr``."""
    with pytest.raises(exc) as info:
        yield info
    assert f"'{attr}'" in str(info.value), str(info.value)


def still_usable(obj, objs, index, other):
    """The object reads, takes assignments and is added like any other; indexes follow."""
    obj.a  # a poisoned object raised here
    obj.a = 77
    assert obj.a == 77
    index.add_object(obj)
    assert obj in index.get_by_attribute(a=77)
    obj.a = 78
    assert index.get_by_attribute(a=77) == []
    objs[1].a = 100
    assert index.get_by_attribute(a=100) == [objs[1]]
    other.add_object_many([obj, objs[2]])
    assert {id(o) for o in other.get_by_attribute(a=78)} == {id(obj)}


SCALARS = [b for b in BAD_VALUES if not isinstance(b[1], (list, tuple))]


# Containers are walked when their holder is indexed (they may change in place until then), so
# construction is checked with scalar values.
@pytest.mark.parametrize("label, bad, exc", SCALARS, ids=[b[0] for b in SCALARS])
def test_construction(label, bad, exc):
    with raises_naming(exc, "c"):
        Item(a=1, c=bad)


@pytest.mark.parametrize("label, bad, exc", BAD_VALUES, ids=[b[0] for b in BAD_VALUES])
class TestValuesTheIndexCannotHold:
    def test_assignment_to_an_indexed_object(self, label, bad, exc):
        objs, index, other = make_world()
        before, vals = snapshot(index, other), values(objs)
        with raises_naming(exc, "c"):
            objs[0].c = bad
        with raises_naming(exc, "a"):
            objs[1].a = bad
        assert snapshot(index, other) == before
        assert values(objs) == vals
        assert not hasattr(objs[0], "c")
        still_usable(objs[0], objs, index, other)

    def test_add_object(self, label, bad, exc):
        objs, index, other = make_world()
        obj = Item(a=1, c=[0])
        obj.c.append(bad)  # in place: nothing converts it until the object is indexed
        before = snapshot(index, other)
        with raises_naming(exc, "c"):
            index.add_object(obj)
        assert snapshot(index, other) == before
        obj.c = [5]
        still_usable(obj, objs, index, other)

    def test_add_object_many(self, label, bad, exc):
        objs, index, other = make_world()
        obj = Item(a=1, c=[0])
        obj.c.append(bad)
        fresh = Item(a=2)
        before, vals = snapshot(index, other), values(objs)
        with raises_naming(exc, "c"):
            index.add_object_many([fresh, objs[3], obj])
        with raises_naming(exc, "c"):
            other.add_object_many([obj] + [Item(k=i) for i in range(300)])
        assert snapshot(index, other) == before
        assert values(objs) == vals
        # neither the bad object nor the others of the batch are poisoned
        assert fresh.a == 2 and list(obj.c)[0] == 0
        obj.c = [5]
        still_usable(obj, objs, index, other)
        fresh.a = 30
        index.add_object(fresh)
        assert index.get_by_attribute(a=30) == [fresh]


@pytest.mark.parametrize("lower, upper", [(1, "z"), (None, None), (True, None), ("a", 2.5),
                                          (datetime.date(2024, 1, 1), 3), (1, [2])])
def test_bt_refuses_bounds_without_one_common_order_when_built(lower, upper):
    with raises_naming(TypeError, "price"):
        Q.bt("price", lower, upper)


def test_bt_with_numeric_bounds_still_works():
    objs = [Item(price=p) for p in (1, 2.5, 4, 10)]
    index = Index()
    index.add_object_many(objs)
    found = lambda q: sorted(map(id, index.reduced_query(q).collect()))
    assert found(Q.bt("price", 2, 4.0)) == sorted(map(id, objs[1:3]))
    assert found(Q.bt("price", 1.0, 1)) == [id(objs[0])]


def test_names_that_cannot_be_encoded_are_missing_attributes():
    obj = Item(a=1)
    assert hasattr(obj, "\ud800") is False
    assert getattr(obj, "x\udcff", "default") == "default"
    with pytest.raises(AttributeError):
        getattr(Indexable(), "\ud800")
    assert obj.a == 1


NO_NUMPY = """
import sys
from Quorvane import Index, Indexable, PyQueryExpr as Q

class Item(Indexable):
    pass

objs = [Item(i=7, f=7.5, s="text", b=True, n=None, l=[1, (2.0, "x")], o=object(), z=10**18)
        for _ in range(3)]
index = Index()
index.add_object(objs[0])
index.add_object_many(objs[1:])
objs[0].i = 8
for q in (Q.eq("i", 7), Q.eq("f", 7.5), Q.eq("s", "text"), Q.eq("b", True), Q.eq("n", None),
          Q.eq("l", 2), Q.gt("z", 1.5), Q.in_("s", ["text", 3]), Q.bt("i", 0, 9.5),
          Q.starts_with("s", "te"), Q.not_(Q.eq("i", 8))):
    index.reduced_query(q).collect()
index.get_by_attribute(i=8, f=7.5)
assert "numpy" not in sys.modules, "numpy was imported"
print("ok")
"""


def test_values_are_recognised_without_importing_numpy():
    child.run_ok(NO_NUMPY, timeout=120)


NUMPY_IMPORTED_LATE = """
from Quorvane import Index, Indexable

class Item(Indexable):
    pass

index = Index()
index.add_object(Item(x=7))          # values converted before numpy was imported
import numpy as np
a, b, c, d = Item(x=np.int64(7)), Item(x=np.float64(7.0)), Item(x=np.str_("s")), Item(x=np.bool_(True))
index.add_object_many([a, b, c, d])
got = lambda v: sorted(map(id, index.get_by_attribute(x=v)))
assert len(got(7)) == 3 and id(a) in got(7) and id(b) in got(np.int64(7)), "numbers"
assert got("s") == [id(c)] and got(np.str_("s")) == [id(c)], "text"
assert got(True) == [id(d)] and got(np.bool_(True)) == [id(d)], "bool"
print("ok")
"""


def test_numpy_scalars_are_recognised_once_numpy_is_imported_later():
    pytest.importorskip("numpy")
    child.run_ok(NUMPY_IMPORTED_LATE, timeout=120)
