"""How an object keeps its attributes: the assigned objects themselves, with what the indexes
need to find them again taken from those objects.  Values whose native form is rebuilt from the
object (ints of every size, floats, strs of every width, bools) must be found after they are
assigned and removed cleanly when they are replaced, in every index holding the object."""

import gc
import weakref

import pytest

from Quorvane import Index, Indexable, PyQueryExpr as Q
from conftest import Thing, ids

# Ints on both sides of the one-digit and two-digit boundaries of CPython's int layout, floats,
# strs of each internal width (ASCII, Latin-1, BMP, astral) and of heap length, bools.
TRICKY = [
    0, 1, -1, 2**30 - 1, 2**30, -(2**30), 2**31 + 5, 2**60 + 7, -(2**60) - 7, 2**63 - 1, -(2**63),
    0.5, -0.0, 1e300, float("inf"),
    "", "ascii", "café", "日本語", "emoji \U0001F600", "long " * 40, "é" * 100,
    True, False,
]


def eq_ids(index, name, value):
    return ids(index.reduced_query(Q.eq(name, value)).collect())


class TestReadsReturnTheAssignedObject:
    def test_same_object_every_read_for_every_kind(self):
        nested = Thing(x=1)
        values = [*TRICKY, nested, [1, 2], (3,), {4}, {"k": 5}, object()]
        obj = Thing()
        for i, value in enumerate(values):
            setattr(obj, f"v{i}", value)
        for i, value in enumerate(values):
            assert getattr(obj, f"v{i}") is value
            assert getattr(obj, f"v{i}") is getattr(obj, f"v{i}")

    def test_reads_after_reassignment_return_the_new_object(self):
        first, second = "x" * 50, "y" * 50
        obj = Thing(s=first)
        obj.s = second
        assert obj.s is second
        obj.s = 7
        assert obj.s == 7 and type(obj.s) is int

    def test_assigned_values_are_kept_alive_and_released_with_the_object(self):
        class Value:
            def __hash__(self):
                return 1

        value = Value()
        ref = weakref.ref(value)
        obj = Thing(v=value)
        del value
        gc.collect()
        assert ref() is obj.v
        obj.v = 1  # the replaced value is released
        gc.collect()
        assert ref() is None
        value = Value()
        ref = weakref.ref(value)
        obj.v = value
        del value, obj
        gc.collect()
        assert ref() is None

    def test_str_subclass_names_and_missing_names(self):
        class Name(str):
            pass

        obj = Thing(alpha=1)
        assert getattr(obj, Name("alpha")) == 1
        with pytest.raises(AttributeError) as info:
            getattr(obj, Name("beta"))
        assert info.value.args == ("beta",)
        assert not hasattr(obj, "\ud800")


class TestManyAttributes:
    @pytest.mark.parametrize("count", [1, 8, 9, 33, 200])
    def test_every_attribute_kept_in_order_and_indexed(self, count):
        by_keywords = Thing(**{f"a{i}": i for i in range(count)})
        one_by_one = Thing()
        for i in range(count):
            setattr(one_by_one, f"a{i}", i)
        index = Index()
        index.add_object_many([by_keywords, one_by_one])
        for obj in (by_keywords, one_by_one):
            assert obj.__dir__()[:count] == [f"a{i}" for i in range(count)]
            assert len(vars(obj)) == count
        for i in range(count):
            assert eq_ids(index, f"a{i}", i) == ids([by_keywords, one_by_one])
        # overwriting every attribute keeps the count and moves the object
        for i in range(count):
            setattr(one_by_one, f"a{i}", -i - 1)
        assert len(vars(one_by_one)) == count
        for i in range(count):
            assert eq_ids(index, f"a{i}", i) == ids([by_keywords])
            assert eq_ids(index, f"a{i}", -i - 1) == ids([one_by_one])


class TestValuesRebuiltFromTheirObjects:
    @pytest.mark.parametrize("value", TRICKY, ids=repr)
    def test_found_then_removed_when_replaced(self, value):
        obj, other = Thing(v=value), Thing(v="other")
        indexes = [Index() for _ in range(3)]
        for index in indexes:
            index.add_object_many([obj, other])
        for index in indexes:
            assert eq_ids(index, "v", value) == ids([obj])
        obj.v = "replaced"
        for index in indexes:
            assert eq_ids(index, "v", value) == []
            assert eq_ids(index, "v", "replaced") == ids([obj])
        obj.v = value  # and back
        for index in indexes:
            assert eq_ids(index, "v", value) == ids([obj])

    def test_ranges_and_text_queries_follow_replacements(self):
        objs = [Thing(n=v, s=s) for v, s in ((2**40, "née"), (-(2**35), "nöel"), (3, "noël"))]
        index = Index()
        for obj in objs:
            index.add_object(obj)
        assert ids(index.reduced_query(Q.gt("n", 2**39)).collect()) == ids(objs[:1])
        assert ids(index.reduced_query(Q.lt("n", -(2**34))).collect()) == ids(objs[1:2])
        assert ids(index.reduced_query(Q.starts_with("s", "n")).collect()) == ids(objs)
        objs[0].n, objs[0].s = 1, "x"
        objs[1].n = 2**50
        assert ids(index.reduced_query(Q.gt("n", 2**39)).collect()) == ids(objs[1:2])
        assert ids(index.reduced_query(Q.starts_with("s", "n")).collect()) == ids(objs[1:])

    def test_values_of_other_kinds_keep_matching(self):
        class Key:
            def __hash__(self):
                return 42

        key, nested = Key(), Thing(name="inner")
        obj = Thing(k=key, n=nested, t=(1, "a"))
        index = Index()
        index.add_object(obj)
        assert index.get_by_attribute(k=key) == [obj]
        assert index.reduced_query(Q.eq("n.name", "inner")).collect() == [obj]
        assert index.reduced_query(Q.eq("t", "a")).collect() == [obj]
        obj.k, obj.t = "plain", ()
        assert index.get_by_attribute(k=key) == []
        assert index.reduced_query(Q.eq("t", "a")).collect() == []


class TestContainersMutatedInPlace:
    def test_removal_takes_out_what_was_indexed_not_what_the_list_holds_now(self):
        tags = ["red", "blue"]
        obj, other = Thing(tags=tags), Thing(tags=["red"])
        index = Index()
        index.add_object_many([obj, other])
        tags.append("green")
        tags.remove("red")
        # not re-indexed until assigned again
        assert eq_ids(index, "tags", "red") == ids([obj, other])
        assert eq_ids(index, "tags", "green") == []
        obj.tags = ["yellow"]
        assert eq_ids(index, "tags", "red") == ids([other])
        assert eq_ids(index, "tags", "blue") == []
        assert eq_ids(index, "tags", "green") == []
        assert eq_ids(index, "tags", "yellow") == ids([obj])
        # assigning the mutated list again indexes its current elements
        obj.tags = tags
        assert eq_ids(index, "tags", "green") == ids([obj])
        assert eq_ids(index, "tags", "yellow") == []


class TestElementsOfEveryForm:
    # Elements are kept by form: numbers, bools, strings up to 8 bytes inside their entry, longer
    # strings after the entries, a string of 16 MiB and other kinds as whole values.
    ELEMENTS = TRICKY + ["12345678", "123456789", "x" * (1 << 24), float("nan"), (1, "in"), ("", "")]

    def test_each_element_found_and_removed_with_its_container(self):
        inner = Thing(name="inner")
        held = list(self.ELEMENTS) + [inner]
        obj, other = Thing(tags=held), Thing(tags=["12345678", "1234567", 0.5])
        index = Index()
        index.add_object_many([obj, other])
        union, copy = Index(), Index()
        union.add_object(other)
        copy.add_object(obj)
        union.union_with(copy)  # takes obj's elements from copy's lists
        for value in [v for v in self.ELEMENTS if v == v and not isinstance(v, tuple)] + [inner]:
            expected = ids([obj, other]) if value in ("12345678", 0.5) else ids([obj])
            for ix in (index, union):
                assert eq_ids(ix, "tags", value) == expected, value
        assert eq_ids(index, "tags", "in") == ids([obj])  # through the nested tuple
        assert ids(index.reduced_query(Q.starts_with("tags", "1234567")).collect()) == ids([obj, other])
        assert ids(index.reduced_query(Q.ends_with("tags", "789")).collect()) == ids([obj])
        held.clear()  # what was indexed goes, not what the list holds now
        obj.tags = ["new"]
        for value in self.ELEMENTS[:5] + ["123456789", "x" * (1 << 24), "in", inner]:
            assert eq_ids(index, "tags", value) == [], value
        assert eq_ids(index, "tags", "12345678") == ids([other])
        assert eq_ids(index, "tags", "new") == ids([obj])
        index.remove_object(other)
        assert index.reduced_query(Q.eq("tags", 0.5)).collect() == []


def test_an_object_in_many_indexes_moves_in_each():
    obj = Thing(a=1, s="x" * 30)
    indexes = [Index() for _ in range(20)]
    for index in indexes:
        index.add_object(obj)
    obj.a, obj.s = 2, "y" * 30
    for index in indexes:
        assert index.get_by_attribute(a=2, s="y" * 30) == [obj]
        assert index.get_by_attribute(a=1) == []
    # Joining after some engines died drops them from the object's list, keeps the living.
    del indexes[::2]
    gc.collect()
    late = [Index() for _ in range(3)]
    for index in late:
        index.add_object(obj)
        late[0].add_object(obj)  # listed once
    obj.a = 4
    for index in indexes + late:
        assert index.get_by_attribute(a=4) == [obj]
        assert index.get_by_attribute(a=2) == []
    del indexes, late, index
    gc.collect()
    obj.a = 3  # dead engines are skipped
    assert obj.a == 3
    alone = Index()
    alone.add_object(obj)
    assert alone.get_by_attribute(a=3) == [obj]
