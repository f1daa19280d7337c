"""Several sort keys, dotted paths in orders and facets, facets of combinations, aggregates and
explain: the documented forms and edge behaviour. Random comparisons with a model are in
test_differential.py."""

from __future__ import annotations

import datetime as dt
import math
from decimal import Decimal
from fractions import Fraction

import pytest

from Quorvane import Index, PyQueryExpr as Q
from conftest import Thing


def shop():
    """Eight items in two kinds, prices with ties, each in one of two zones; one item without a
    price and one whose zone is a list (no single zone)."""
    north, south = Thing(biome="forest", x=2), Thing(biome="sea", x=1)
    items = [Thing(sku=f"S{i}", kind=["tool", "toy"][i % 2], price=[3, 1, 2, 1, 3, 2][i],
                   zone=[north, south][i % 2]) for i in range(6)]
    items.append(Thing(sku="S6", kind="toy", zone=north))
    items.append(Thing(sku="S7", kind="tool", price=2, zone=[north, south]))
    index = Index()
    index.add_object_many(items)
    return index


def skus(objs):
    return [o.sku for o in objs]


# Each expected order as its tie groups: ids order a group (the order collect() follows).
@pytest.mark.parametrize("args, kwargs, groups", [
    (("kind", "-price"), {}, ["S0 S4", "S2 S7", "S5", "S1 S3", "S6"]),
    ((("kind", "desc"), ("price", "asc")), {}, ["S1 S3", "S5", "S6", "S2 S7", "S0 S4"]),
    # descending turns the keys without a direction only.
    (("kind", "-price"), {"descending": True}, ["S5", "S1 S3", "S6", "S0 S4", "S2 S7"]),
    (("price", True), {}, ["S0 S4", "S2 S5 S7", "S1 S3", "S6"]),
    # A dotted key: one zone orders, a list of zones comes last.
    (("zone.x", "sku"), {}, ["S1", "S3", "S5", "S0", "S2", "S4", "S6", "S7"]),
    (("-zone.biome", "-sku"), {}, ["S5", "S3", "S1", "S6", "S4", "S2", "S0", "S7"]),
    # Objects lacking the first key form one group, last, ordered by the next key.
    (("price", "-kind"), {}, ["S1 S3", "S5", "S2 S7", "S0 S4", "S6"]),
])
def test_several_keys_order_ties_by_the_next_key_then_by_id(args, kwargs, groups):
    index = shop()
    rank = {o.sku: i for i, o in enumerate(index.collect())}
    want = [sku for group in groups for sku in sorted(group.split(), key=rank.__getitem__)]
    view = index.order_by(*args, **kwargs)
    assert skus(view) == want
    # Pages of every size and position agree with the whole order.
    for start in range(len(want) + 1):
        for size in range(len(want) - start + 1):
            assert skus(view.offset(start).limit(size)) == want[start:start + size]
    narrowed = index.reduced_query(Q.ne("sku", "S0")).order_by(*args, **kwargs)
    assert skus(narrowed) == [s for s in want if s != "S0"]


@pytest.mark.parametrize("args, kwargs, error, match", [
    ((), {}, TypeError, "missing 1 required positional argument"),
    ((1,), {}, TypeError, "must be str, not"),
    (("kind", 2.5, "price"), {}, TypeError, "must be str, not"),
    ((("kind",),), {}, TypeError, "'asc' or 'desc'"),
    ((("kind", "up"),), {}, ValueError, "'asc' or 'desc'"),
    ((("kind", "desc", "x"),), {}, TypeError, "'asc' or 'desc'"),
    (("kind", True), {"descending": True}, TypeError, "multiple values for argument"),
    # A direction written as a key would order by an attribute of that name.
    (("kind", "desc"), {}, TypeError, "written '-name'"),
    (("kind", "-price", "asc"), {}, TypeError, "written '-name'"),
    (("kind",), {"descending": "yes"}, TypeError, "must be True or False"),
    (("kind",), {"reverse": True}, TypeError, "unexpected keyword argument 'reverse'"),
])
def test_order_by_refuses_keys_it_cannot_read(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        shop().order_by(*args, **kwargs)


def test_order_by_repr_shows_every_key():
    index = shop()
    assert repr(index.order_by("kind")) == \
        "<OrderedView of 8 objects by 'kind' ascending>"
    assert repr(index.order_by("kind", "-price").limit(3)) == \
        "<OrderedView of 3 objects by 'kind' ascending then 'price' descending, limit 3>"


@pytest.mark.parametrize("args, kwargs, want", [
    (("zone.biome",), {}, {"forest": 5, "sea": 4}),
    (("kind", "zone.biome"), {},
     {("tool", "forest"): 4, ("tool", "sea"): 1, ("toy", "forest"): 1, ("toy", "sea"): 3}),
    (("kind", "price"), {}, {("tool", 3): 2, ("tool", 2): 2, ("toy", 1): 2, ("toy", 2): 1}),
    (("kind",), {"query": Q.ge("price", 2)}, {"tool": 4, "toy": 1}),
    (("zone.x", "kind"), {"query": Q.eq("kind", "toy")}, {(1, "toy"): 3, (2, "toy"): 1}),
    (("kind",), {"query": None}, {"tool": 4, "toy": 4}),
    (("missing", "kind"), {}, {}),
])
def test_count_by_follows_paths_combinations_and_queries(args, kwargs, want):
    index = shop()
    assert index.count_by(*args, **kwargs) == want
    assert index.reduced().count_by(*args, **kwargs) == want
    assert index.order_by("sku").count_by(*args, **kwargs) == want
    # A page counts its own objects only.
    page = index.order_by("sku").limit(2)
    assert page.count_by("kind") == {"tool": 1, "toy": 1}


@pytest.mark.parametrize("args, kwargs, match", [
    ((), {}, "missing 1 required positional argument"),
    ((3,), {}, "must be str, not"),
    (("kind",), {"query": "price > 2"}, "PyQueryExpr"),
    (("kind",), {"where": Q.eq("kind", "toy")}, "unexpected keyword argument 'where'"),
])
def test_count_by_refuses_bad_arguments(args, kwargs, match):
    with pytest.raises(TypeError, match=match):
        shop().count_by(*args, **kwargs)


D, F = Decimal, Fraction
DAY = dt.date(2024, 1, 1)


@pytest.mark.parametrize("values, want", [
    # (min, max, sum, mean); values None: the attribute is missing.
    ([3, 1, None, 2], (1, 3, 6, 2.0)),
    ([2**80, -1, 1], (-1, 2**80, 2**80, 2**80 / 3)),
    ([0.1] * 10, (0.1, 0.1, 1.0, 0.1)),
    ([F(1, 3), F(1, 6), 1], (F(1, 6), 1, F(3, 2), F(1, 2))),
    ([D("0.1"), D("0.2"), 1], (D("0.1"), 1, D("1.3"), D("1.3") / 3)),
    ([True, True, 1], (1, True, 3, 1.0)),
    ([1.5, math.nan, 2.5], (1.5, 2.5, 4.0, 2.0)),
    ([math.inf, 1], (1, math.inf, math.inf, math.inf)),
])
def test_aggregates_of_numbers_are_exact(values, want):
    index = Index()
    index.add_object_many([Thing() if v is None else Thing(v=v) for v in values])
    got = (index.min("v"), index.max("v"), index.sum("v"), index.mean("v"))
    assert got == want
    assert type(got[2]) is type(want[2]) and type(got[3]) is type(want[3])


@pytest.mark.parametrize("values, method, error, match", [
    ([], "min", ValueError, "no object holds an ordered value"),
    ([[1, 2]], "max", ValueError, "no object holds an ordered value"),
    ([], "mean", ValueError, "no object holds a number"),
    (["a", 1], "sum", TypeError, "holds a str"),
    ([DAY, 1], "mean", TypeError, "holds a date"),
    ([[1, 2], 1], "sum", TypeError, "list, tuple or set"),
    ([None, 1], "sum", TypeError, "another kind"),
    ([F(1, 3), D("0.1")], "sum", TypeError, "'decimal.Decimal' and 'Fraction'"),
])
def test_aggregates_refuse_what_python_refuses(values, method, error, match):
    index = Index()
    index.add_object_many([Thing(v=v) for v in values])
    with pytest.raises(error, match=match):
        getattr(index, method)("v")


def test_aggregates_defaults_orders_and_paths():
    index = shop()
    assert index.sum("missing") == 0
    for method in ("min", "max", "mean"):
        assert getattr(index, method)("missing", default="none") == "none"
    # Strings and temporal values order as order_by orders them: strings before dates.
    assert (index.min("kind"), index.max("sku")) == ("tool", "S7")
    dates = Index()
    dates.add_object_many([Thing(v=DAY), Thing(v=DAY + dt.timedelta(days=3)), Thing(v="z")])
    assert (dates.min("v"), dates.max("v")) == ("z", DAY + dt.timedelta(days=3))
    # Paths: an object with a list of zones has no single value and is passed over by min and
    # max, and refused by sum, as a list value is.
    assert (index.min("zone.x"), index.max("zone.biome")) == (1, "sea")
    with pytest.raises(TypeError, match="several objects"):
        index.sum("zone.x")
    assert index.reduced_query(Q.ne("sku", "S7")).sum("zone.x") == 11
    assert index.order_by("-price").limit(3).sum("price") == 8
    # An answer past the first few thousand values (read with the GIL held) is walked to.
    many = Index()
    many.add_object_many([Thing(v=i, odd=i % 2) for i in range(10_000)])
    for view, low, high in [(many.reduced_query(Q.ge("v", 9_990)), 9_990, 9_999),
                            (many.reduced_query(Q.lt("v", 5)), 0, 4)]:
        assert (view.min("v"), view.max("v")) == (low, high)


def test_explain_shows_estimates_order_and_early_stops():
    index = shop()
    plan = index.explain(Q.and_(Q.eq("kind", "toy"), Q.gt("price", 9), Q.starts_with("sku", "S")))
    assert plan.splitlines() == [
        "QUERY PLAN over 8 objects: 0 found",
        "1. gt('price', 9): estimated 0, searched 8, found 0",
        "2. eq('kind', 'toy'): estimated 4, not evaluated "
        "(stopped early: the answer was already empty)",
        "3. starts_with('sku', 'S'): estimated 8, not evaluated "
        "(stopped early: the answer was already empty)",
    ]
    plan = index.reduced_query(Q.ne("sku", "S0")).explain(
        Q.or_(Q.eq("price", 1), Q.not_(Q.eq("kind", "tool"))), kind="toy")
    assert plan.splitlines() == [
        "QUERY PLAN over 7 objects: 4 found",
        "1. eq('kind', 'toy'): estimated 4, searched 7, found 4",
        "2. or_ of 2: no estimate, searched 4, found 4",
        "   1. eq('price', 1): searched 4, found 2",
        "   2. not_: searched 4, found 4",
        "      1. eq('kind', 'tool'): searched 4, found 0",
    ]
    assert index.explain().splitlines() == ["QUERY PLAN over 8 objects: 8 found",
                                            "no condition: every object"]
    assert "answered from their value sets directly" in index.explain(sku="S1")
    with pytest.raises(TypeError):
        index.explain("kind")


@pytest.mark.parametrize("make", [
    lambda i: (i * 7919) % 2003 - 1000,                  # ints of both signs
    lambda i: ((i * 7919) % 2003 - 1000) / 7,            # floats
    lambda i: [5e-324, -5e-324, 2.0**1000, -(2.0**63)][i % 4] * (i + 1),
    lambda i: (i * 7919) % 2003 if i % 50 else "text",   # some groups hold a string
    lambda i: (i * 7919) % 2003 if i % 50 else Fraction(1, 3),  # ... or a rational number
    lambda i: (i * 7919) % 2003 if i % 50 else [i],      # ... or a list
])
def test_small_groups_order_like_sorting_them(make):
    # Tie groups of five among 2,000 distinct values: a group's keys are read one by one.
    objs = [Thing(g=i // 5, v=make(i)) for i in range(2000)]
    index = Index()
    index.add_object_many(objs)
    rank = {id(o): i for i, o in enumerate(index.collect())}

    def value_key(o, descending):
        # Numbers, then strings (reversed when descending), a list last either way.
        if isinstance(o.v, list):
            return (2, 0, rank[id(o)])
        if isinstance(o.v, str):
            return (0 if descending else 1, 0, rank[id(o)])
        return (1 if descending else 0, -o.v if descending else o.v, rank[id(o)])

    for descending in (False, True):
        got = index.order_by("g", ("v", "desc" if descending else "asc"))
        want = sorted(objs, key=lambda o: (o.g, value_key(o, descending)))
        assert [id(o) for o in got[:300]] == [id(o) for o in want[:300]]
        few = [o for o in objs if o.g < 3]
        got = index.reduced_query(Q.lt("g", 3)).order_by("v", descending=descending)
        assert [id(o) for o in got] == [
            id(o) for o in sorted(few, key=lambda o: value_key(o, descending))]
