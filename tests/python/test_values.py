"""How attribute values are converted, compared and given back."""
import enum
import math
import subprocess
import sys

import pytest

from Quorvane import Index, PyQueryExpr as Q
from conftest import Thing, ids


def index_of(*objs):
    index = Index()
    for obj in objs:
        index.add_object(obj)
    return index


def found(index, attr, value):
    return ids(index.reduced_query(Q.eq(attr, value)).collect())


def test_true_one_and_one_point_zero_are_distinct_keys_but_numbers_share_one():
    t, i, f = Thing(x=True), Thing(x=1), Thing(x=1.0)
    index = index_of(t, i, f)
    assert found(index, "x", True) == ids([t])
    assert found(index, "x", 1) == ids([i, f])
    assert found(index, "x", 1.0) == ids([i, f])
    assert found(index, "x", False) == []


def test_zeroes_and_equal_int_float_values_share_the_numeric_key():
    objs = [Thing(x=0), Thing(x=0.0), Thing(x=-0.0), Thing(x=2), Thing(x=2.0)]
    index = index_of(*objs)
    assert found(index, "x", 0) == ids(objs[:3])
    assert found(index, "x", -0.0) == ids(objs[:3])
    assert found(index, "x", 2.0) == ids(objs[3:])
    big = 2**53 + 1
    a, b = Thing(x=big), Thing(x=float(big))
    index = index_of(a, b)
    assert found(index, "x", big) == ids([a])
    assert found(index, "x", float(big)) == ids([b])


def test_nan_matches_nothing_and_orders_with_nothing():
    n, one = Thing(x=float("nan")), Thing(x=1)
    index = index_of(n, one)
    assert found(index, "x", float("nan")) == []
    assert ids(index.reduced_query(Q.gt("x", 0)).collect()) == ids([one])
    assert ids(index.reduced_query(Q.lt("x", 2)).collect()) == ids([one])
    assert ids(index.reduced_query(Q.ne("x", float("nan"))).collect()) == ids([n, one])
    assert math.isnan(n.x)


def test_unknown_kinds_match_only_the_same_object():
    class Colour(enum.Enum):
        RED = 1

    marker, data = frozenset({1}), bytes([1, 2, 3])
    objs = [Thing(x=None), Thing(x=Colour.RED), Thing(x=data), Thing(x=marker)]
    index = index_of(*objs, Thing(x=1), Thing(x="a"))
    assert found(index, "x", None) == ids([objs[0]])
    assert found(index, "x", Colour.RED) == ids([objs[1]])
    assert found(index, "x", bytes([1, 2, 3])) == []  # equal bytes, another object
    assert found(index, "x", data) == ids([objs[2]])
    assert found(index, "x", frozenset({1})) == []
    assert found(index, "x", marker) == ids([objs[3]])


def test_indexable_values_compare_by_identity():
    inner, twin = Thing(a=1), Thing(a=1)
    holder = Thing(x=inner)
    index = index_of(holder, Thing(x=twin))
    assert found(index, "x", inner) == ids([holder])


def test_containers_never_equal_another_container_value():
    lst = [1, 2]
    holder = Thing(x=lst)
    index = index_of(holder)
    assert found(index, "x", lst) == []
    assert found(index, "x", 2) == ids([holder])


@pytest.mark.parametrize(
    "value",
    [5, -(2**63), 2**63 - 1, 2.5, -0.0, float("inf"), "", "héllo", "x" * 100, True, False,
     None, (1, "a")],
)
def test_reading_gives_back_an_equal_value(value):
    obj = Thing(v=value)
    assert obj.v == value
    assert type(obj.v) is type(value)


def test_containers_and_unknown_objects_are_given_back_as_the_same_object():
    lst, other = [1, [2]], object()
    obj = Thing(l=lst, o=other)
    assert obj.l is lst
    assert obj.o is other


class NoHash:
    __hash__ = None


@pytest.mark.parametrize(
    "value, error",
    [(2**70_000, OverflowError), (-(2**70_000), OverflowError), ("\ud800", ValueError),
     (NoHash(), TypeError)],
    ids=["2**70000", "-2**70000", "surrogate", "unhashable"],
)
def test_values_that_cannot_be_indexed_are_ordinary_errors(value, error):
    with pytest.raises(error, match="attribute 'v'"):
        Thing(v=value)
    obj = Thing(v=1)
    with pytest.raises(error, match="attribute 'v'"):
        obj.v = value
    assert obj.v == 1


NUMPY_SCRIPT = """
import sys
if sys.argv[1] == "without":
    sys.modules["numpy"] = None  # makes "import numpy" fail
import Quorvane
from Quorvane import Index, Indexable, PyQueryExpr as Q
class T(Indexable): pass
if sys.argv[1] == "with":
    import numpy as np
    seven, true = np.int64(7), np.bool_(True)
    a, b, c, d = T(x=seven), T(x=np.float64(7.0)), T(x=np.str_("s")), T(x=true)
    e, f = T(x=np.int32(7)), T(x=np.uint8(7))
    index = Index()
    for o in (a, b, c, d, e, f):
        index.add_object(o)
    got = lambda v: sorted(map(id, index.reduced_query(Q.eq("x", v)).collect()))
    numbers = sorted(map(id, [a, b, e, f]))
    assert got(7) == numbers, "numpy integers and floats of every width are numbers"
    assert got(np.float32(7)) == numbers and got(np.int16(7)) == numbers
    assert got("s") == [id(c)], "str_ is a string"
    assert got(True) == [id(d)] and got(np.bool_(True)) == [id(d)], "numpy bool is a bool"
    assert got(1) == [], "a numpy bool is not a number"
    assert a.x is seven and d.x is true, "reads return the very object assigned"
else:
    o = T(x=5)
    index = Index()
    index.add_object(o)
    assert index.get_by_attribute(x=5) == [o]
print("ok")
"""


@pytest.mark.parametrize("mode", ["with", "without"])
def test_numpy_scalars_with_and_without_numpy(mode):
    pytest.importorskip("numpy")
    out = subprocess.run(
        [sys.executable, "-c", NUMPY_SCRIPT, mode], capture_output=True, text=True, timeout=120
    )
    assert out.stdout.strip() == "ok", out.stderr
