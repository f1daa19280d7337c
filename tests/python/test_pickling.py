"""pickle, copy.copy and copy.deepcopy of Indexable objects, indexes, views and queries, and a
round trip through a multiprocessing worker.

Objects travel by their attribute values and arrive in no index; an index travels as its
objects, indexed again on arrival; a view as its objects; a query as the builder calls that make
it. Every arrival answers like a scan of what arrived.
"""

from __future__ import annotations

import copy
import dataclasses
import multiprocessing
import pickle
import re

import pytest

from Quorvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q

import child
import scan_oracle as so


class Product(Indexable):
    pass


class Maker(Indexable):
    pass


@dataclasses.dataclass(frozen=True)
class Price(Indexable):
    amount: int
    currency: str = "EUR"


@dataclasses.dataclass(slots=True, frozen=True)
class SlottedPrice(Indexable):
    amount: int
    currency: str = "EUR"


class Versioned(Indexable):
    """Keeps its own state format."""

    def __getstate__(self):
        return {"v": 2, **vars(self)}

    def __setstate__(self, state):
        state = dict(state)
        state.pop("v")
        super().__setstate__({k: v for k, v in state.items()} | {"restored": True})


PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
COPIES = {
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, p))) for p in PROTOCOLS},
    "deepcopy": copy.deepcopy,
}
QUERIES = [("eq", "name", "lamp"), ("gt", "price", 10), ("bt", "price", None, 10),
           ("eq", "tags", "home"), ("eq", "maker.city", "Oslo"), ("eq", "maker.maker.city", "Oslo"),
           ("ne", "maker.city", "Lund"), ("eq", "ok", True), ("eq", "cost.amount", 3),
           ("starts_with", "name", "d")]


def shop():
    oslo, lund = Maker(city="Oslo"), Maker(city="Lund")
    oslo.maker = lund  # makers refer to each other
    lund.maker = oslo
    products = [
        Product(name="lamp", price=12.5, tags=["home", ("light", 3)], maker=oslo, ok=True,
                cost=Price(3), meta={"k": 1}, none=None),
        Product(name="desk", price=80, tags={"home", "office"}, maker=lund, ok=False),
        Product(name="dart", price=2, tags=[], maker=oslo),
    ]
    products[2].self = products[2]
    products[2].tags.append(products[2].tags)  # a list holding itself
    return products


def indexed_shop():
    products = shop()
    index = Index()
    index.add_object_many(products)
    return products, index


def check(index, members, queries=QUERIES):
    problem = child.disagreement(index, members, queries)
    assert problem is None, problem


def same_values(a, b, seen=None):
    """Attribute values equal, following nested objects (cycles included)."""
    seen = set() if seen is None else seen
    if (id(a), id(b)) in seen:
        return True
    seen.add((id(a), id(b)))
    if isinstance(a, Indexable):
        return (type(a) is type(b) and a is not b and vars(a).keys() == vars(b).keys()
                and all(same_values(vars(a)[k], vars(b)[k], seen) for k in vars(a)))
    if isinstance(a, (list, tuple)):
        return (type(a) is type(b) and len(a) == len(b)
                and all(same_values(x, y, seen) for x, y in zip(a, b)))
    return a == b or (a is None and b is None)


class TestObjects:
    @pytest.mark.parametrize("how", COPIES)
    def test_round_trip_by_attribute_values(self, how):
        products, index = indexed_shop()
        copies = COPIES[how](products)
        for original, arrived in zip(products, copies):
            assert same_values(original, arrived)
            assert arrived not in index
        # Shapes survive: shared objects stay shared, cycles stay cycles.
        assert copies[0].maker is copies[2].maker
        assert copies[0].maker.maker.maker is copies[0].maker
        assert copies[2].self is copies[2] and copies[2].tags[-1] is copies[2].tags
        # Arrived objects are free: changing them touches no index.
        copies[0].price = 1000
        assert index.get_by_attribute(price=1000) == []
        fresh = Index()
        fresh.add_object_many(copies)
        check(fresh, copies, QUERIES + [("eq", "price", 1000)])

    def test_shallow_copy_shares_the_values(self):
        products = shop()
        duplicate = copy.copy(products[0])
        assert duplicate is not products[0] and vars(duplicate) == vars(products[0])
        assert duplicate.maker is products[0].maker and duplicate.tags is products[0].tags

    def test_frozen_dataclass_and_own_state_format(self):
        for price in (Price(4, "USD"), SlottedPrice(4, "USD")):
            for arrived in (pickle.loads(pickle.dumps(price)), copy.copy(price),
                            copy.deepcopy(price)):
                assert arrived == price and arrived is not price
                assert hash(arrived) == hash(price) and vars(arrived) == vars(price)
        v = Versioned(a=1)
        arrived = pickle.loads(pickle.dumps(v))
        assert vars(arrived) == {"a": 1, "restored": True}

    def test_state_must_be_a_dict(self):
        with pytest.raises(TypeError, match="must be dict, not"):
            Product().__setstate__([("a", 1)])


class TestIndexes:
    @pytest.mark.parametrize("how", COPIES)
    def test_round_trip_indexes_the_arrived_objects(self, how):
        products, index = indexed_shop()
        arrived = COPIES[how](index)
        assert isinstance(arrived, Index) and len(arrived) == len(index)
        members = arrived.collect()
        assert not {id(o) for o in members} & {id(o) for o in products}
        check(arrived, members)
        members[0].price = 11
        check(arrived, members, QUERIES + [("eq", "price", 11)])

    def test_shallow_copy_holds_the_same_objects_independently(self):
        products, index = indexed_shop()
        duplicate = copy.copy(index)
        assert duplicate.collect() == index.collect()
        duplicate.remove_object(products[0])
        assert products[0] in index and products[0] not in duplicate
        products[1].price = 3
        check(duplicate, products[1:], QUERIES + [("eq", "price", 3)])
        check(index, products, QUERIES + [("eq", "price", 3)])

    def test_empty_index(self):
        arrived = pickle.loads(pickle.dumps(Index()))
        assert isinstance(arrived, Index) and len(arrived) == 0


class TestViews:
    @pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
    def test_a_view_travels_as_its_objects(self, how):
        products, index = indexed_shop()
        view = index.reduced_query(Q.lt("price", 50))
        arrived = {"pickle": lambda v: pickle.loads(pickle.dumps(v)), "copy": copy.copy,
                   "deepcopy": copy.deepcopy}[how](view)
        assert isinstance(arrived, FilteredIndex) and len(arrived) == len(view)
        members = arrived.collect()
        if how == "copy":
            assert members == view.collect()
        for q in QUERIES:
            so.check_result(arrived.reduced_query(so.to_expr(q)).collect(),
                            so.scan(members, q), how, q)
        # Refinements follow later assignments to what arrived.
        members[0].price = 7
        so.check_result(arrived.reduced(price=7).collect(), [members[0]], "after assignment")


class TestQueries:
    @staticmethod
    def shape(q):
        return re.sub(r"Py\(0x[0-9a-f]+\)|hash: \d+", "", repr(q))

    def queries(self):
        maker = Maker(city="Oslo")
        shared = Q.eq("name", "lamp") | Q.gt("price", 10)
        return maker, [
            Q.eq("name", "lamp"), Q.bt("price", 1, 20), Q.bt("price", None, 5), Q.in_("tags", {"home"}),
            Q.and_(), Q.or_(), ~Q.starts_with("name", "d") & Q.le("price", 90.5),
            Q.and_(shared, Q.not_(shared), Q.or_(shared, Q.contains("name", "a"))),
            Q.eq("none", None), Q.ends_with("name", "k"), Q.ge("x", 1.5), Q.eq("maker", maker),
        ]

    @pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
    def test_round_trip_builds_the_same_query(self, how):
        maker, queries = self.queries()
        products = shop() + [Product(maker=maker, name="x")]
        index = Index()
        index.add_object_many(products)
        for q in queries:
            arrived = {"pickle": lambda x: pickle.loads(pickle.dumps(x)), "copy": copy.copy,
                       "deepcopy": copy.deepcopy}[how](q)
            assert self.shape(arrived) == self.shape(q)
            expected = index.reduced_query(q).collect()
            if q is queries[-1] and how != "copy":
                # An object travels by value: the query arrives holding a copy of `maker`.
                expected = []
            assert index.reduced_query(arrived).collect() == expected

    def test_shared_and_deep_trees_travel_without_growing_or_recursing(self):
        q = Q.eq("a", 1)
        for _ in range(40):
            q = Q.and_(q, q)  # 2**40 leaves as a tree, 41 distinct nodes
        assert len(pickle.dumps(q)) < 4000
        deep = Q.eq("a", 1)
        for _ in range(998):
            deep = Q.not_(deep)
        assert self.shape(pickle.loads(pickle.dumps(deep))) == self.shape(deep)

    @pytest.mark.parametrize("steps", [[], [("nope", "a", (1,))], [("eq", (0,))],
                                       [("and_", (3,))], [("eq", "a", (1, 2))], [5]])
    def test_malformed_steps_are_refused(self, steps):
        with pytest.raises((ValueError, TypeError)):
            Q._from_steps(steps)


def worker_query(index, query, view):
    """Runs in a spawned process: answers built from what arrived, sent back."""
    found = index.reduced_query(query).collect()
    for obj in found:
        obj.seen = True
    return len(index), found, len(view), view.reduced_query(query).collect()


class TestMultiprocessing:
    def test_index_query_and_view_round_trip_through_a_worker(self):
        products, index = indexed_shop()
        query = Q.eq("maker.city", "Oslo") & Q.gt("price", 5)
        view = index.reduced_query(Q.ge("price", 10))
        context = multiprocessing.get_context("spawn")
        with context.Pool(1) as pool:
            size, found, view_size, refined = pool.apply(worker_query, (index, query, view))
        expected = so.scan(products, ("and", [("eq", "maker.city", "Oslo"), ("gt", "price", 5)]))
        assert size == len(products) and view_size == len(view)
        assert [o.name for o in found] == [o.name for o in expected]
        assert [o.name for o in refined] == [o.name for o in expected if o.price >= 10]
        assert all(o.seen for o in found) and not any(hasattr(o, "seen") for o in products)
        assert all(o not in index for o in found)
