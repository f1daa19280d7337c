"""Indexable subclasses behave like Python classes: __init__ and super().__init__, properties and
other data descriptors, dataclasses (frozen ones too), object.__setattr__, vars().

Attributes are kept natively and indexed; whatever a class does to set them, reads see the
latest write and indexes answer like a scan of what reads return.
"""

from __future__ import annotations

import copy
import dataclasses
import functools
import json
import pickle

import pytest

from Quorvane import Index, Indexable, PyQueryExpr as Q

import child
import scan_oracle as so


def check(index, members, queries):
    problem = child.disagreement(index, members, queries)
    assert problem is None, problem


class TestInit:
    def test_super_init_takes_the_keywords(self):
        class Product(Indexable):
            def __init__(self, name, **kwargs):
                super().__init__(**kwargs)
                self.name = name.upper()

        p = Product("lamp", price=10, tags=["home"])
        assert (p.name, p.price, p.tags) == ("LAMP", 10, ["home"])
        index = Index()
        index.add_object(p)
        check(index, [p], [("eq", "name", "LAMP"), ("eq", "price", 10), ("eq", "tags", "home")])

    def test_an_init_of_its_own_decides_what_becomes_an_attribute(self):
        class Consumes(Indexable):
            def __init__(self, secret, visible):
                self.visible = visible * 2

        class NoHash:
            __hash__ = None

        # `secret` could not be indexed; it is consumed, never stored.
        obj = Consumes(secret=NoHash(), visible=2)
        assert vars(obj) == {"visible": 4}
        assert not hasattr(obj, "secret")

    def test_init_runs_the_class_assignment_in_keyword_order(self):
        seen = []

        class Logged(Indexable):
            def __setattr__(self, name, value):
                seen.append(name)
                super().__setattr__(name, value * 10)

        obj = Logged(b=1, a=2)
        assert seen == ["b", "a"] and (obj.b, obj.a) == (10, 20)

    def test_positionals_are_refused_unless_a_new_of_the_class_takes_them(self):
        class OwnInit(Indexable):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)

        class OwnNew(Indexable):
            def __new__(cls, label, **kwargs):
                obj = super().__new__(cls)
                obj.label = label
                return obj

        class Plain(Indexable):
            pass

        for make, refused in [
            (lambda: Indexable(1, a=3), "Indexable() takes attributes as keyword arguments"),
            (lambda: Plain(1, 2), "Plain() takes attributes as keyword arguments (name=value), "
                                  "not 2 positional arguments"),
            (lambda: OwnInit(1), "Indexable.__init__() takes attributes as keyword arguments"),
        ]:
            with pytest.raises(TypeError) as info:
                make()
            assert str(info.value).startswith(refused)
        assert vars(OwnNew("x", a=1)) == {"label": "x", "a": 1}  # __new__'s positionals

    def test_init_may_run_again(self):
        obj = Indexable(a=3)
        index = Index()
        index.add_object(obj)
        obj.__init__(a=4, b=5)
        check(index, [obj], [("eq", "a", 4), ("eq", "b", 5), ("eq", "a", 3)])


class Priced(Indexable):
    """A property over a native attribute, as classes commonly store money in cents."""

    @property
    def price(self):
        return self.cents / 100

    @price.setter
    def price(self, value):
        self.cents = round(value * 100)

    @property
    def label(self):
        return f"{self.name}: {self.price:.2f}"


class Positive:
    """A data descriptor that checks its values and keeps them as native `_<name>`."""

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, owner=None):
        return self if obj is None else getattr(obj, "_" + self.name)

    def __set__(self, obj, value):
        if value <= 0:
            raise ValueError(f"{self.name} must be positive")
        setattr(obj, "_" + self.name, value)

    def __delete__(self, obj):
        raise AttributeError(f"{self.name} cannot be deleted")


class Stock(Indexable):
    quantity = Positive()


class TestDataDescriptors:
    def test_property_getter_and_setter_run(self):
        p = Priced(name="pen", price=1.25)
        assert vars(p) == {"name": "pen", "cents": 125}
        assert p.price == 1.25 and p.label == "pen: 1.25"
        index = Index()
        index.add_object(p)
        p.price = 2.5
        assert vars(p) == {"name": "pen", "cents": 250}
        check(index, [p], [("eq", "cents", 250), ("eq", "cents", 125)])
        # What a getter computes is not stored, so not indexed: the stored value is.
        assert index.get_by_attribute(price=2.5) == []

    def test_property_without_setter_refuses_assignment(self):
        p = Priced(name="pen", cents=5)
        with pytest.raises(AttributeError):
            p.label = "x"
        assert vars(p) == {"name": "pen", "cents": 5}

    def test_custom_descriptor_checks_and_stores(self):
        s = Stock(quantity=3)
        index = Index()
        index.add_object(s)
        with pytest.raises(ValueError, match="positive"):
            s.quantity = 0
        with pytest.raises(AttributeError, match="cannot be deleted"):
            del s.quantity
        assert s.quantity == 3
        s.quantity = 7
        check(index, [s], [("eq", "_quantity", 7), ("eq", "_quantity", 3)])
        assert isinstance(Stock.quantity, Positive)

    def test_class_attributes_and_methods_still_resolve(self):
        class Defaults(Indexable):
            colour = "grey"

            def describe(self):
                return f"{self.colour} {self.kind}"

            @classmethod
            def make(cls):
                return cls(kind="made")

        obj = Defaults.make()
        assert obj.describe() == "grey made"
        obj.colour = "red"  # a native attribute shadows the plain class attribute
        assert obj.describe() == "red made" and Defaults.colour == "grey"

    def test_class_can_be_changed_to_a_sibling(self):
        class A(Indexable):
            pass

        class B(Indexable):
            def who(self):
                return "b"

        obj = A(x=1)
        index = Index()
        index.add_object(obj)
        obj.__class__ = B
        assert obj.who() == "b" and obj.x == 1 and index.get_by_attribute(x=1) == [obj]


@dataclasses.dataclass
class Line(Indexable):
    sku: str
    qty: int = 1
    tags: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass(frozen=True)
class Money(Indexable):
    amount: int
    currency: str = "EUR"


@dataclasses.dataclass(frozen=True)
class Offer(Indexable):
    title: str
    price: Money
    total: int = dataclasses.field(init=False)

    def __post_init__(self):
        object.__setattr__(self, "total", self.price.amount * 2)


class TestDataclasses:
    def test_fields_are_indexed(self):
        lines = [Line("a", 2, ["x"]), Line("b"), Line(sku="c", qty=5, tags=["x", "y"])]
        index = Index()
        index.add_object_many(lines)
        check(index, lines, [("eq", "sku", "b"), ("ge", "qty", 2), ("eq", "tags", "x"),
                             ("eq", "tags", "y"), ("ne", "qty", 1)])
        lines[1].qty = 9
        check(index, lines, [("eq", "qty", 9), ("eq", "qty", 1)])
        assert lines[0] == Line("a", 2, ["x"]) and repr(lines[1]) == "Line(sku='b', qty=9, tags=[])"
        assert dataclasses.asdict(lines[2]) == {"sku": "c", "qty": 5, "tags": ["x", "y"]}

    def test_frozen_fields_are_indexed(self):
        prices = [Money(5), Money(7, "USD"), Money(5, "USD")]
        index = Index()
        index.add_object_many(prices)
        check(index, prices, [("eq", "amount", 5), ("eq", "currency", "USD"), ("lt", "amount", 6)])
        one = Index()
        one.add_object(Money(3))
        assert one.get_by_attribute(amount=3)[0].currency == "EUR"

    def test_frozen_stays_frozen_and_hashes_by_fields(self):
        m = Money(5)
        index = Index()
        index.add_object(m)
        with pytest.raises(dataclasses.FrozenInstanceError):
            m.amount = 6
        assert m == Money(5) and hash(m) == hash(Money(5)) and {m, Money(5)} == {m}
        check(index, [m], [("eq", "amount", 5), ("eq", "amount", 6)])

    def test_frozen_nested_in_holders_and_post_init(self):
        offers = [Offer("lamp", Money(10)), Offer("desk", Money(40, "USD"))]
        index = Index()
        index.add_object_many(offers)
        check(index, offers, [("eq", "total", 20), ("eq", "price.amount", 40),
                              ("eq", "price.currency", "EUR"), ("gt", "price.amount", 5)])
        # A frozen value assigned to an object already indexed: its fields reach the paths.
        holder = Line("z")
        index.add_object(holder)
        holder.tags = [Money(99, "GBP")]
        holder.qty = Money(1, "CHF")
        check(index, offers + [holder], [("eq", "tags.amount", 99), ("eq", "qty.currency", "CHF"),
                                         ("eq", "tags.currency", "GBP")])

    def test_replace_makes_a_new_object(self):
        m = Money(5)
        index = Index()
        index.add_object(m)
        n = dataclasses.replace(m, amount=6)
        assert n.amount == 6 and n not in index and index.get_by_attribute(amount=6) == []


@dataclasses.dataclass(slots=True)
class SlottedLine(Indexable):
    sku: str
    qty: int = 1


@dataclasses.dataclass(slots=True, frozen=True)
class SlottedMoney(Indexable):
    amount: int
    currency: str = "EUR"


class TestSlots:
    """A name in __slots__ is an attribute like any other: kept natively and indexed (so
    dataclass(slots=True) classes are indexed by their fields)."""

    def test_slot_names_are_indexed(self):
        class Slotted(Indexable):
            __slots__ = ("x",)

        obj = Slotted(x=1, y=2)
        index = Index()
        index.add_object(obj)
        obj.x = 3
        assert vars(obj) == {"x": 3, "y": 2}
        check(index, [obj], [("eq", "x", 3), ("eq", "x", 1), ("eq", "y", 2)])
        object.__setattr__(obj, "x", 4)
        assert obj.x == 4
        check(index, [obj], [("eq", "x", 4), ("eq", "x", 3)])

    def test_slotted_dataclasses(self):
        objs = [SlottedLine("a", 2), SlottedLine("b"), SlottedMoney(5), SlottedMoney(6, "USD")]
        index = Index()
        index.add_object_many(objs)
        check(index, objs, [("eq", "sku", "a"), ("eq", "qty", 1), ("eq", "amount", 5),
                            ("eq", "currency", "USD"), ("gt", "amount", 5)])
        objs[0].qty = 7
        with pytest.raises(dataclasses.FrozenInstanceError):
            objs[2].amount = 1
        check(index, objs, [("eq", "qty", 7), ("eq", "qty", 2), ("eq", "amount", 1)])
        assert objs[2] == SlottedMoney(5) and repr(objs[1]) == "SlottedLine(sku='b', qty=1)"


class TestObjectSetattr:
    """object.__setattr__ bypasses the class's assignment; its value is what reads return, and
    an index holding the object takes it at the object's next read, assignment or indexing."""

    def test_reads_see_the_latest_write(self):
        class Plain(Indexable):
            pass

        obj = Plain(a=1)
        object.__setattr__(obj, "a", 2)
        assert obj.a == 2 and vars(obj) == {"a": 2}
        object.__setattr__(obj, "b", "x")
        object.__setattr__(obj, "b", "y")
        obj.a = 3  # a later ordinary write wins over the earlier ones
        assert vars(obj) == {"a": 3, "b": "y"}
        object.__setattr__(obj, "a", 4)
        assert obj.__dict__ == {"a": 4, "b": "y"}

    def test_indexes_take_the_value_at_the_next_use(self):
        obj = Indexable(a=1, l=[1])
        index = Index()
        index.add_object(obj)
        object.__setattr__(obj, "a", 2)
        object.__setattr__(obj, "l", [5, 6])
        assert obj.a == 2
        check(index, [obj], [("eq", "a", 2), ("eq", "a", 1), ("eq", "l", 5), ("eq", "l", 1)])
        fresh = Indexable()
        object.__setattr__(fresh, "a", 7)
        index.add_object(fresh)  # taken when it is indexed
        check(index, [obj, fresh], [("eq", "a", 7), ("eq", "a", 2)])

    def test_a_value_that_cannot_be_indexed_raises_at_the_next_use(self):
        obj = Indexable(a=1)
        object.__setattr__(obj, "a", 2**70_000)
        with pytest.raises(OverflowError, match="attribute 'a'"):
            obj.a
        assert obj.a == 1  # the value was dropped; the object is intact

    def test_a_custom_setattr_calling_object_setattr(self):
        class Audited(Indexable):
            def __setattr__(self, name, value):
                object.__setattr__(self, name, value)
                object.__setattr__(self, "edits", getattr(self, "edits", 0) + 1)

        obj = Audited(a=1)
        obj.a = 2
        index = Index()
        index.add_object(obj)
        check(index, [obj], [("eq", "a", 2), ("eq", "edits", 2), ("eq", "edits", 4)])


class TestVars:
    def test_vars_is_a_new_dict_of_the_attributes(self):
        inner = Indexable()
        obj = Indexable(a=1, s="x", l=[1], n=inner, none=None)
        d = vars(obj)
        assert isinstance(d, dict) and d is not vars(obj)
        assert d == {"a": 1, "s": "x", "l": [1], "n": inner, "none": None}
        assert d["l"] is obj.l and d["n"] is inner
        assert json.loads(json.dumps(vars(Indexable(a=1, s="x")))) == {"a": 1, "s": "x"}
        for copied in (copy.copy(d), copy.deepcopy(d), pickle.loads(pickle.dumps(d))):
            assert type(copied) is dict and copied.keys() == d.keys()
        assert vars(Indexable()) == {}
        with pytest.raises(AttributeError):
            obj.__dict__ = {}

    @pytest.mark.parametrize("write, expected", [
        (lambda d: d.__setitem__("a", 5), {"a": 5}),
        (lambda d: d.update(a=5, new=1), {"a": 5, "new": 1}),
        (lambda d: d.update({"a": 5}, new=1), {"a": 5, "new": 1}),
        (lambda d: d.update([("a", 5)]), {"a": 5}),
        (lambda d: d.__ior__({"a": 5}), {"a": 5}),
        (lambda d: d.setdefault("new", 7), {"new": 7}),
        (lambda d: d.setdefault("a", 7), {"a": 1}),  # present: nothing is written
    ])
    def test_writes_through_vars_are_assignments(self, write, expected):
        # They reach the object and every index holding it, as `obj.name = value` does.
        obj = Indexable(a=1, s="x")
        indexes = [Index([obj]), Index([obj])]
        d = vars(obj)
        write(d)
        for name, value in expected.items():
            assert getattr(obj, name) == value and d[name] == value
            for index in indexes:
                assert index.get_by_attribute(**{name: value}) == [obj]
        assert vars(obj) == d

    @pytest.mark.parametrize("write, exc", [
        (lambda d: d.__setitem__("a", bytearray()), TypeError),  # cannot be indexed
        (lambda d: d.__setitem__(1, 2), TypeError),
        (lambda d: d.__delitem__("a"), AttributeError), (lambda d: d.pop("a"), AttributeError),
        (lambda d: d.popitem(), AttributeError), (lambda d: d.clear(), AttributeError),
    ])
    def test_writes_through_vars_that_fail_change_nothing(self, write, exc):
        obj = Indexable(a=1)
        index = Index([obj])
        d = vars(obj)
        with pytest.raises(exc):
            write(d)
        assert vars(obj) == d == {"a": 1} and index.get_by_attribute(a=1) == [obj]

    def test_dataclass_like_code_writes_through_its_dict(self):
        class Kwargs(Indexable):
            def __init__(self, **kwargs):
                self.__dict__.update(kwargs)

        class Cached(Indexable):
            calls = 0

            @functools.cached_property
            def total(self):
                type(self).calls += 1
                return self.a + 1

        assert vars(Kwargs(a=1, b=2)) == {"a": 1, "b": 2}
        cached = Cached(a=1)
        index = Index([cached])
        assert (cached.total, cached.total, Cached.calls) == (2, 2, 1)
        assert index.get_by_attribute(total=2) == [cached]

    def test_subclass_instances_have_no_other_dict(self):
        class Sub(Indexable):
            pass

        obj = Sub(a=1)
        obj.b = 2
        assert vars(obj) == {"a": 1, "b": 2}
        assert obj.__dir__()[:2] == ["a", "b"]
