"""Bad input raises the documented exception and leaves every index exactly as it was."""
import pytest

from Quorvane import Index, PyQueryExpr as Q
from conftest import Thing, ids


class NoHash:
    __hash__ = None


class RaisingHash:
    def __hash__(self):
        raise ValueError("no hash today")


class RaisingEq:
    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = object.__hash__


class RaisingSequence:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise KeyError("walked into a wall")
        return i


BIG = 2**70_000  # beyond the 65536 bits a number may have
SURROGATE = "\ud800"


@pytest.fixture
def world():
    objs = [Thing(a=i, s=f"v{i}", l=[i, f"e{i}"]) for i in range(6)]
    index = Index()
    index.add_object_many(objs)
    return objs, index


def snapshot(index):
    queries = [Q.eq("a", 1), Q.gt("a", 2), Q.eq("l", 3), Q.eq("l", "e4"), Q.starts_with("s", "v"),
               Q.eq("s", "v5"), Q.ne("a", 0), Q.eq("v", None)]
    return ids(index.collect()), [ids(index.reduced_query(q).collect()) for q in queries]


def assign(obj, name, value):
    setattr(obj, name, value)


CASES = [
    # (label, action(objs, index), exception, message fragment)
    ("add_object of an int", lambda o, i: i.add_object(5), TypeError, "must be Indexable, not int"),
    ("add_object with two arguments", lambda o, i: i.add_object(o[0], o[1]), TypeError, "takes 1 positional"),
    ("add_object_many of a str", lambda o, i: i.add_object_many("abc"), TypeError, "not a str"),
    ("add_object_many with a non-Indexable", lambda o, i: i.add_object_many([o[0], 1]), TypeError, "item 1 is int"),
    ("add_object_many of an int", lambda o, i: i.add_object_many(3), TypeError, "iterable of Indexable objects, not int"),
    ("add_object_many of a raising sequence", lambda o, i: i.add_object_many(RaisingSequence()), KeyError, "wall"),
    # The interpreter refuses the key before the call.
    ("non-str keyword key", lambda o, i: i.get_by_attribute(**{1: 2}), TypeError,
     "keywords must be strings"),
    ("reduce with a non-query", lambda o, i: i.reduce(1), TypeError, "argument 'query'"),
    ("reduce with two queries", lambda o, i: i.reduce(Q.eq("a", 1), Q.eq("a", 2)), TypeError, "takes 1 positional"),
    ("remove_object of a non-member", lambda o, i: i.remove_object(Thing(a=1)), KeyError, "Thing(a=1)"),
    ("remove_object of an int", lambda o, i: i.remove_object(5), TypeError, "must be Indexable"),
    ("discard_object of an int", lambda o, i: i.discard_object(5), TypeError, "must be Indexable"),
    ("remove_object_many with a non-member", lambda o, i: i.remove_object_many([o[0], Thing(), o[1]]), KeyError, "Thing()"),
    ("remove_object_many with a non-Indexable", lambda o, i: i.remove_object_many([o[0], 2]), TypeError, "item 1 is int"),
    ("remove_object_many of an int", lambda o, i: i.remove_object_many(3), TypeError, "iterable of Indexable objects, not int"),
    ("remove_object_many of a raising sequence", lambda o, i: i.remove_object_many(RaisingSequence()), KeyError, "wall"),
    ("reduced_query of a str", lambda o, i: i.reduced_query("a == 1"), TypeError, "must be PyQueryExpr, not str"),
    ("union_with a list", lambda o, i: i.union_with([]), TypeError, "must be Index, not list"),
    ("in_ with a str", lambda o, i: Q.in_("a", "xyz"), TypeError, "in_() takes an iterable of values, not a str"),
    ("in_ with a raising sequence", lambda o, i: Q.in_("a", RaisingSequence()), KeyError, "wall"),
    ("eq with a non-str attribute", lambda o, i: Q.eq(5, 1), TypeError, "argument 'attr'"),
    ("unhashable value assigned", lambda o, i: assign(o[0], "a", NoHash()), TypeError, "attribute 'a': unhashable"),
    ("unhashable value queried", lambda o, i: i.get_by_attribute(a=NoHash()), TypeError, "attribute 'a': unhashable"),
    ("unhashable element assigned", lambda o, i: assign(o[0], "l", [1, NoHash()]), TypeError, "attribute 'l': unhashable"),
    ("raising __hash__ assigned", lambda o, i: assign(o[1], "a", RaisingHash()), ValueError, "no hash today"),
    ("int too large assigned", lambda o, i: assign(o[2], "a", BIG), OverflowError, "attribute 'a'"),
    ("int too large in a list", lambda o, i: assign(o[2], "l", [1, [BIG]]), OverflowError, "attribute 'l'"),
    ("int too large queried", lambda o, i: i.reduced_query(Q.gt("a", -BIG)), OverflowError, "attribute 'a'"),
    ("int too large constructed", lambda o, i: Thing(a=BIG), OverflowError, "attribute 'a'"),
    ("lone surrogate assigned", lambda o, i: assign(o[3], "s", SURROGATE), ValueError, "attribute 's'"),
    ("lone surrogate in a tuple", lambda o, i: assign(o[3], "l", ("ok", SURROGATE)), ValueError, "attribute 'l'"),
    ("lone surrogate queried", lambda o, i: i.get_by_attribute(s=SURROGATE), ValueError, "attribute 's'"),
    ("bt with a str and a number", lambda o, i: Q.bt("a", "x", 1), TypeError, "bt on attribute 'a'"),
    ("bt with a bool bound", lambda o, i: Q.bt("a", None, True), TypeError, "bt on attribute 'a'"),
    ("query & int", lambda o, i: Q.eq("a", 1) & 1, TypeError, "unsupported operand"),
    ("str | query", lambda o, i: "a" | Q.eq("a", 1), TypeError, "unsupported operand"),
    ("delete an attribute", lambda o, i: delattr(o[4], "a"), AttributeError, "can't delete attribute"),
]


@pytest.mark.parametrize("label, action, exc, fragment", CASES, ids=[c[0] for c in CASES])
def test_bad_input_is_refused_without_changes(world, label, action, exc, fragment):
    objs, index = world
    before = snapshot(index)
    values_before = [(o.a, o.s, list(o.l)) for o in objs]
    with pytest.raises(exc) as info:
        action(objs, index)
    assert fragment in str(info.value)
    assert snapshot(index) == before
    assert [(o.a, o.s, list(o.l)) for o in objs] == values_before
    # the objects and the index stay fully usable
    objs[5].a = 100
    assert index.get_by_attribute(a=100) == [objs[5]]


@pytest.mark.parametrize("bulk", [False, True], ids=["add_object", "add_object_many"])
def test_object_with_a_bad_element_is_not_added(world, bulk):
    objs, index = world
    before = snapshot(index)
    holder = Thing(a=1)
    holder.l = [1]
    holder.l.append(BIG)  # in place: nothing converts it until it is indexed
    with pytest.raises(OverflowError, match="attribute 'l'"):
        index.add_object_many([objs[0], holder]) if bulk else index.add_object(holder)
    # the object stays usable: reads, assignments, and a later add
    assert holder.a == 1
    holder.a = 2
    assert snapshot(index) == before
    holder.l = [2]
    index.add_object(holder)
    assert holder in index.get_by_attribute(l=2)


def test_values_whose_eq_raises_are_compared_by_identity(world):
    objs, index = world
    odd = RaisingEq()
    objs[0].u = odd
    assert index.get_by_attribute(u=odd) == [objs[0]]
    assert index.get_by_attribute(u=RaisingEq()) == []


def test_list_shrinking_while_it_is_walked():
    class Shrinker:
        def __init__(self, target):
            self.target = target

        def __hash__(self):
            if self.target:
                self.target.pop()
            return 1

    items = [1, 2, 3]
    items.insert(0, Shrinker(items))
    obj = Thing(l=items)
    index = Index()
    index.add_object(obj)  # walks only up to the list's current end
    obj.l = [7, 8]
    assert index.get_by_attribute(l=7) == [obj]
    assert index.get_by_attribute(l=1) == []
