"""add_object_many and union_with answer exactly like adding objects one by one."""
import os

import pytest
from hypothesis import given, settings, strategies as st

from Quorvane import Index, Indexable, PyQueryExpr as Q
from conftest import Thing, ids
import child

EXAMPLES = int(os.environ.get("QUORVANE_HYPOTHESIS_EXAMPLES", "40"))
NAMES = ["a", "b", "s", "l"]

scalars = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.integers(-5, 5),
    st.floats(allow_nan=False, width=64),
    st.booleans(),
    st.text(max_size=12),
    st.text(alphabet="ab", max_size=40),
    st.none(),
)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner), max_leaves=6)


@st.composite
def batches(draw):
    """Objects, some holding earlier ones (also in lists, also themselves); a batch with repeats."""
    objs = []
    for _ in range(draw(st.integers(1, 12))):
        attrs = {n: draw(values) for n in draw(st.lists(st.sampled_from(NAMES), unique=True))}
        if objs and draw(st.booleans()):
            attrs["n"] = draw(st.sampled_from(objs))
        if objs and draw(st.booleans()):
            attrs["m"] = [draw(st.sampled_from(objs))]
        obj = Thing(**attrs)
        if draw(st.integers(0, 9)) == 0:
            obj.me = obj
        # an attribute that only late objects carry makes the maps grow mid-batch
        if len(objs) > 5:
            setattr(obj, f"late{len(objs) % 3}", draw(scalars))
        objs.append(obj)
    batch = draw(st.lists(st.sampled_from(objs), min_size=1, max_size=20))
    return objs, batch


def probe_queries(objs):
    qs = [Q.eq("me.a", 1), Q.eq("n.a", 1), Q.eq("m.s", "a"), Q.ne("late0", None)]
    for obj in objs:
        for name in NAMES + ["late0", "late1", "late2"]:
            if name not in obj.__dir__():
                continue
            v = getattr(obj, name)
            flat = v if isinstance(v, (list, tuple)) else [v]
            for x in flat:
                if isinstance(x, (list, tuple)):
                    continue
                qs.append(Q.eq(name, x))
                if isinstance(x, (int, float)) and not isinstance(x, bool):
                    qs += [Q.gt(name, x), Q.le(name, x), Q.bt(name, x, x)]
                if isinstance(x, str):
                    qs += [Q.starts_with(name, x[:2]), Q.contains(name, x[1:3]), Q.ends_with(name, x[-2:])]
                qs += [Q.eq(f"n.{name}", x), Q.eq(f"m.{name}", x)]
    return qs


def answers(index, queries):
    return [ids(index.reduced_query(q).collect()) for q in queries]


@settings(max_examples=EXAMPLES, deadline=None)
@given(batches())
def test_bulk_add_equals_adding_one_by_one(case):
    objs, batch = case
    one_by_one, bulk = Index(), Index()
    for obj in batch:
        one_by_one.add_object(obj)
    bulk.add_object_many(batch)
    assert ids(bulk.collect()) == ids(one_by_one.collect()) == ids(set(batch))
    queries = probe_queries(objs)
    assert answers(bulk, queries) == answers(one_by_one, queries)
    # both stay current after assignments
    for obj in batch[:3]:
        obj.a = 1
        obj.s = "ab"
    assert answers(bulk, queries) == answers(one_by_one, queries)


@settings(max_examples=EXAMPLES, deadline=None)
@given(batches(), st.data())
def test_union_equals_one_index_of_both(case, data):
    objs, batch = case
    split = data.draw(st.integers(0, len(batch)))
    left, right = batch[:split], batch[split:]
    a, b, expected = Index(), Index(), Index()
    a.add_object_many(left)
    for obj in right:
        b.add_object(obj)
    for obj in left + right:
        expected.add_object(obj)
    before_b = answers(b, probe_queries(objs))
    a.union_with(b)
    queries = probe_queries(objs)
    assert ids(a.collect()) == ids(expected.collect())
    assert answers(a, queries) == answers(expected, queries)
    assert answers(b, probe_queries(objs)) == before_b
    for obj in right[:3]:  # objects brought in from b keep a current
        obj.a = 2
        obj.l = ["ab", 7]
    assert answers(a, queries) == answers(expected, queries)


UNION_REACHES_CONTAINERS = """
from Quorvane import Index, Indexable, PyQueryExpr as Q

class T(Indexable):
    pass

inner = T(l=[1, "ab"], a=1)
outer = T(n=inner, a=2)
# objects nested only in the other index, and nested objects already members of the receiver
for receiver_holds_inner in (False, True):
    a, b = Index(), Index()
    if receiver_holds_inner:
        a.add_object(inner)
    b.add_object(outer)
    a.union_with(b)
    assert a.reduced_query(Q.eq("n.l", 1)).collect() == [outer]
    assert a.reduced_query(Q.eq("n.l", "ab")).collect() == [outer]
    inner.l = [2]
    assert a.reduced_query(Q.eq("n.l", 2)).collect() == [outer]
    inner.l = [1, "ab"]
print("ok")
"""


def test_union_reaches_nested_objects_holding_containers():
    """Once crashed: the nested objects a union brought in were indexed with containers that
    nobody had walked."""
    child.run_ok(UNION_REACHES_CONTAINERS)


def add_many(index, objs):
    index.add_object_many(objs)
    return index


# The two bulk entries: (name as errors give it, fills an empty index with objs or raises).
BULK_ENTRIES = [("Index.add_object_many()", add_many),
                ("Index()", lambda index, objs: Index(objs))]


@pytest.mark.parametrize("name, bulk", BULK_ENTRIES, ids=[n for n, _ in BULK_ENTRIES])
def test_bulk_entries_take_any_iterable_all_or_nothing(name, bulk):
    objs = [Thing(x=i) for i in range(5)]
    for iterable in (objs, tuple(objs), (o for o in objs), iter(objs), dict.fromkeys(objs), ()):
        expected = objs if iterable != () else []
        assert ids(bulk(Index(), iterable).collect()) == ids(expected)
    too_big = Thing(l=[1])
    too_big.l.append(2**70_000)  # in place: converted only when the object is indexed
    index = Index()
    for bad, exc, message in (
        ("abc", TypeError, f"{name} takes an iterable of Indexable objects, not a str"),
        (5, TypeError, f"{name} takes an iterable of Indexable objects, not int"),
        ((o for o in [objs[0], 5]), TypeError, f"{name} takes Indexable objects; item 1 is int"),
        ((o for o in [objs[0], too_big]), OverflowError, "attribute 'l'"),
    ):
        with pytest.raises(exc) as info:
            bulk(index, bad)
        assert message in str(info.value)
    assert index.collect() == []


@pytest.mark.parametrize("size", [1, 600_000])
def test_a_failing_value_in_a_batch_adds_nothing(size):
    # A large batch is written in parts: a value failing in the last part takes the parts
    # written before out again.
    good = [Thing(x=1, l=[i]) for i in range(size)]
    bad = Thing(x=1, l=[1])
    bad.l.append(2**70_000)  # in place: converted only when the object is indexed
    index = Index()
    with pytest.raises(OverflowError, match="attribute 'l'"):
        index.add_object_many(good + [bad])
    assert index.collect() == [] and index.count() == 0
    assert index.get_by_attribute(x=1) == [] and index.count(l=0) == 0
    # No object is left locked or half indexed.
    bad.l = [-3]
    bad.x = 2
    good[0].x = 5
    index.add_object_many([good[0], bad])
    assert index.get_by_attribute(l=-3) == [bad] and index.get_by_attribute(x=2) == [bad]
    assert index.get_by_attribute(x=5) == [good[0]] and index.count(l=0) == 1


def test_bulk_widens_string_columns_while_ids_are_pending():
    words = ["b", "ab"] + ["x" * n + "ab" for n in range(1, 80, 7)] + ["ab" * 30, "b"]
    objs = [Thing(s=w, l=[w, w[::-1]]) for w in words]
    bulk, single = Index(), Index()
    bulk.add_object_many(objs)
    for obj in objs:
        single.add_object(obj)
    for needle in ("b", "ab", "xab", "x" * 8, "ba"):
        for build in (Q.eq, Q.starts_with, Q.ends_with, Q.contains):
            for attr in ("s", "l"):
                assert ids(bulk.reduced_query(build(attr, needle)).collect()) == ids(
                    single.reduced_query(build(attr, needle)).collect()
                ), (build, attr, needle)


def test_many_true_values_pass_through_full_buffers():
    objs = [Thing(flag=True, n=i) for i in range(200)] + [Thing(flag=False, n=-1)]
    index = Index()
    index.add_object_many(objs)
    assert len(index.get_by_attribute(flag=True)) == 200
    assert len(index.reduced_query(Q.ge("n", 0)).collect()) == 200


def test_union_with_itself_or_empty_changes_nothing():
    objs = [Thing(x=i % 2, l=[i]) for i in range(10)]
    a = Index()
    a.add_object_many(objs)
    before = a.collect()
    a.union_with(a)
    a.union_with(Index())
    assert a.collect() == before
    assert ids(a.get_by_attribute(l=3)) == ids([objs[3]])
    empty = Index()
    empty.union_with(a)
    assert empty.collect() == before


def test_large_batches_answer_like_single_adds():
    # Thousands of consecutive ids fill whole id-set containers at once, and a
    # batch this large is written by several threads, each owning some maps.
    leaves = [Thing(a=i) for i in range(7)]
    objs = [
        Thing(n=i % 977, f=i / 7, s=f"w{i % 300:03d}", flag=i % 3 == 0, l=[i % 11, -i],
              leaf=leaves[i % 7])
        for i in range(40000)
    ]
    bulk, single = Index(), Index()
    bulk.add_object_many(objs[::-1])  # any order of the batch
    for obj in objs:
        single.add_object(obj)
    queries = [
        Q.eq("n", 5), Q.gt("n", 900), Q.bt("f", 10.0, 500.0), Q.lt("f", 3.0),
        Q.starts_with("s", "w1"), Q.contains("s", "99"), Q.eq("flag", True),
        Q.eq("l", 7), Q.lt("l", -39990), Q.and_(Q.eq("flag", False), Q.ge("n", 500)),
        Q.eq("leaf.a", 3), Q.eq("leaf", leaves[2]),
    ]
    for query in queries:
        got = ids(bulk.reduced_query(query).collect())
        assert got == ids(single.reduced_query(query).collect()), query
        assert got, query


def test_concurrent_batches_with_opposite_attribute_orders_finish():
    # Objects list their attributes in opposite orders; two batches writing to
    # the same maps must not wait for each other's map locks in a cycle.
    import threading
    import time

    index = Index()
    forward = [[Thing(a=i, b=str(i), c=[i]) for i in range(3000)] for _ in range(4)]
    backward = [[Thing(c=[i], b=str(i), a=i) for i in range(3000)] for _ in range(4)]

    def run(batches):
        for batch in batches:
            index.add_object_many(batch)

    threads = [threading.Thread(target=run, args=(b,), daemon=True) for b in (forward, backward)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + 90
    for thread in threads:
        thread.join(timeout=max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "bulk writers deadlocked"
    assert len(index.get_by_attribute(a=7)) == 8
    assert len(index.reduced_query(Q.eq("c", 2999)).collect()) == 8


def test_large_batch_written_while_assigned_ends_with_the_final_values():
    # Writer threads own different attributes of the same objects while another
    # thread assigns them, new attributes included; re-adding replaces values.
    import random
    import threading

    import scan_oracle as so

    objs = [Thing(n=i % 97, s=f"w{i % 50}", l=[i % 13, i % 5]) for i in range(40000)]
    index = Index()
    stop = threading.Event()

    def assign():
        rng = random.Random(5)
        while not stop.is_set():
            obj = rng.choice(objs)
            name = rng.choice(["n", "s", "l", "extra"])
            value = {"n": rng.randrange(97), "s": f"w{rng.randrange(50)}",
                     "l": [rng.randrange(13)], "extra": rng.randrange(5)}[name]
            setattr(obj, name, value)

    writer = threading.Thread(target=assign, daemon=True)
    writer.start()
    try:
        for _ in range(3):
            index.add_object_many(objs)
    finally:
        stop.set()
        writer.join(timeout=60)
    queries = ([("eq", "n", v) for v in range(0, 97, 7)] + [("eq", "s", "w7"), ("gt", "n", 90)]
               + [("eq", "l", v) for v in range(13)] + [("eq", "extra", v) for v in range(5)])
    for q in queries:
        so.check_result(index.reduced_query(so.to_expr(q)).collect(), so.scan(objs, q), "index", q)
