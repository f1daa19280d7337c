"""The Indexable class: construction, reads, assignment, deletion, listing."""
import gc

import pytest

from Quorvane import Index, Indexable
from conftest import Thing


def test_reading_a_missing_attribute_raises_attribute_error_carrying_the_name():
    obj = Thing(a=1)
    with pytest.raises(AttributeError) as info:
        obj.missing
    assert info.value.args == ("missing",)
    assert getattr(obj, "missing", "default") == "default"
    assert not hasattr(obj, "other")


def test_native_attributes_shadow_class_attributes_and_methods_still_resolve():
    class WithDefault(Indexable):
        colour = "class"

        def describe(self):
            return f"colour={self.colour}"

    obj = WithDefault(colour="native")
    assert obj.colour == "native"
    assert WithDefault().colour == "class"
    assert obj.describe() == "colour=native"
    assert callable(obj.__dir__)


def test_deletion_is_refused_and_changes_nothing():
    obj = Thing(a=1)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del obj.a
    assert obj.a == 1


def test_assignment_replaces_and_adds_attributes_in_place():
    obj = Thing(a=1)
    obj.a = "two"
    obj.b = [3]
    assert (obj.a, obj.b) == ("two", [3])
    assert vars(obj) == {"a": "two", "b": [3]}


def test_dir_lists_native_attributes_first_in_insertion_order():
    obj = Thing(zeta=1, alpha=2)
    obj.mid = 3
    names = obj.__dir__()
    assert names[:3] == ["zeta", "alpha", "mid"]
    assert "__class__" in names[3:]
    assert set(names) >= set(dir(object()))


def test_more_than_eight_attributes_are_all_kept():
    values = {f"attr{i}": i for i in range(20)}
    obj = Thing(**values)
    assert all(getattr(obj, k) == v for k, v in values.items())
    obj.attr3 = "changed"
    assert obj.attr3 == "changed"
    assert set(obj.__dir__()[:20]) == set(values)
    assert len(vars(obj)) == 20


def test_assignment_to_an_indexed_object_moves_it_in_every_index():
    obj = Thing(a=1)
    first, second = Index(), Index()
    first.add_object(obj)
    second.add_object(obj)
    obj.a = 2
    for index in (first, second):
        assert index.get_by_attribute(a=1) == []
        assert index.get_by_attribute(a=2) == [obj]


def test_objects_outlive_nothing_and_indexes_do_not_keep_dead_engines():
    obj = Thing(a=1)
    index = Index()
    index.add_object(obj)
    del index
    gc.collect()
    obj.a = 2  # the dead engine is skipped
    assert obj.a == 2
    other = Index()
    other.add_object(obj)
    assert other.get_by_attribute(a=2) == [obj]


def test_freed_instances_are_reused_and_start_empty():
    survivors = [Indexable(a=i) for i in range(600)]
    del survivors
    fresh = [Indexable() for _ in range(600)]
    assert all(vars(o) == {} for o in fresh)
    assert all(not hasattr(o, "a") for o in fresh)


def test_subclass_instances_may_carry_their_own_python_attributes_nowhere():
    class Slotted(Indexable):
        pass

    obj = Slotted(x=1)
    obj.y = 2  # stored natively, not in an instance dictionary
    assert obj.__dir__()[:2] == ["x", "y"]
