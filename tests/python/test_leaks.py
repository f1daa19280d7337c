"""Every public operation, repeated, leaves no Python references or blocks behind."""
import copy
import datetime
import decimal
import fractions
import gc
import pickle
import subprocess
import sys

import pytest

import Quorvane
from Quorvane import Index, PyQueryExpr as Q
from conftest import Thing


def workload():
    marker = object()
    inner = Thing(c="x", n=1)
    objs = [Thing(a=i % 5, f=i / 3, s=f"s{i}", b=i % 2 == 0, l=[i, "e", (i, None)], n=inner, u=marker)
            for i in range(30)]
    index = Index()
    for obj in objs[:10]:
        index.add_object(obj)
    index.add_object_many(objs[10:])
    queries = [Q.eq("a", 1), Q.ne("s", "s3"), Q.gt("f", 2.0), Q.ge("a", 2), Q.lt("l", 5), Q.le("f", 1),
               Q.bt("a", 1, 3), Q.in_("s", ["s1", "s2", 7]), Q.starts_with("s", "s1"),
               Q.ends_with("s", "9"), Q.contains("l", "e"), Q.eq("n.c", "x"), Q.eq("u", marker),
               Q.and_(Q.eq("b", True), Q.or_(Q.lt("a", 2), Q.not_(Q.eq("a", 4))))]
    for q in queries:
        index.reduced_query(q).collect()
        repr(q)
    view = index.reduced(a=1)
    view.reduced(b=True).collect()
    view.reduced_query(Q.gt("f", 0)).collect()
    rebased = view.rebase()
    other = Index()
    other.add_object(Thing(a=9, l=[1]))
    index.union_with(other)
    rebased.union_with(index)
    objs[0].a = 42
    objs[1].l = [objs[2], [1, 2]]
    objs[2].n = objs[3]
    index.get_by_attribute(a=42)
    index.reduce(b=True)
    for call in (lambda: index.add_object(5), lambda: index.add_object_many("x"),
                 lambda: Q.in_("a", 5), lambda: Thing(v=2**70_000), lambda: index.reduced_query(Q.bt("a", "x", "y")),
                 lambda: objs[4].__setattr__("l", [1, "\ud800"])):
        try:
            call()
        except (TypeError, OverflowError, ValueError):
            pass
    # Removal, the container protocol, queries built with operators, narrowing by a query.
    ring = [Thing(k=i) for i in range(4)]
    for i, node in enumerate(ring):
        node.p = ring[(i + 1) % 4]
    holder = Thing(n=ring[0], l=[ring[1]])
    index.add_object_many([holder, objs[5]])
    index.remove_object(holder)
    index.discard_object(holder)
    index.remove_object_many({objs[6], objs[8]})
    len(index), objs[16] in index, list(index), len(view), objs[9] in view, list(view)
    index.reduce(Q.ge("a", 0) & ~Q.eq("a", 3) | Q.bt("a", None, 1), b=True)
    index.reduced_query(Q.in_("a", (x for x in range(3)))).collect()
    for call in (lambda: index.remove_object(Thing()), lambda: index.remove_object_many([objs[0], 1]),
                 lambda: Q.eq("a", 1) & 1):
        try:
            call()
        except (KeyError, TypeError):
            pass
    # vars, values written by object.__setattr__.
    vars(objs[12])
    object.__setattr__(objs[13], "a", 5)
    object.__setattr__(objs[14], "z", 2**70_000)
    try:
        objs[14].z
    except OverflowError:
        pass
    objs[13].a
    index.clear()
    del objs, index, view, rebased, other, ring, node, holder


def kinds_workload():
    """Values kept in the ordered rational and temporal buckets, through every operation."""
    objs = [Thing(d=decimal.Decimal(i) / 7, t=datetime.date(2024, 1, 1) + datetime.timedelta(i),
                  w=2**70 + i, z=datetime.datetime(2024, 1, 1, i % 24, tzinfo=datetime.timezone.utc),
                  l=[fractions.Fraction(i, 3), (datetime.timedelta(i),)])
            for i in range(30)]
    index = Index()
    index.add_object_many(objs[:20])
    for obj in objs[20:]:
        index.add_object(obj)
    for q in [Q.eq("d", fractions.Fraction(1, 7)), Q.bt("t", datetime.date(2024, 1, 5), None),
              Q.gt("w", 2**70 + 3), Q.le("z", datetime.datetime(2024, 1, 1, 5, tzinfo=datetime.timezone.utc)),
              Q.ge("l", 2), Q.lt("l", datetime.timedelta(3)), Q.ge("s", "s2")]:
        index.reduced_query(q).collect()
        index.count(q)
    index.count_by("d"), index.count_by("z"), index.count_by("l"), index.order_by("w").collect()
    rebased = index.reduced_query(Q.lt("w", 2**70 + 10)).rebase()
    rebased.union_with(index)
    objs[2].d = fractions.Fraction(2, 3)
    objs[3].t = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    index.remove_object(objs[4])
    index.reduce(Q.gt("d", 1))


def settle():
    gc.collect()
    Quorvane.sum_as_string(0, 0)  # an entry releases references queued by native threads
    gc.collect()


def assert_no_growth(fn, warm_up, rounds):
    """After ``warm_up`` calls (caches filling), ``rounds`` more calls leave the number of
    Python objects and of allocated blocks (almost) where they were."""
    for _ in range(warm_up):
        fn()
    settle()
    objects_before = len(gc.get_objects())
    blocks_before = sys.getallocatedblocks()
    for _ in range(rounds):
        fn()
    settle()
    assert len(gc.get_objects()) - objects_before < 50
    assert sys.getallocatedblocks() - blocks_before < 400


def test_repeated_operations_do_not_grow_objects_or_blocks():
    assert_no_growth(workload, 5, 40)


def test_repeated_operations_on_rational_and_temporal_values_do_not_grow():
    # Converting Decimals makes tuples of many sizes (their digits), which fill the
    # interpreter's tuple free lists for a while: a longer warm-up.
    assert_no_growth(kinds_workload, 200, 40)


def copies():
    marker = object()
    objs = [Thing(a=i % 5, f=i / 3, s=f"s{i}", l=[i, "e", (i, None)], n=Thing(c="x"), u=marker)
            for i in range(30)]
    index = Index()
    index.add_object_many(objs)
    for thing in (objs[10], index, index.reduced(a=1), Q.eq("a", 1) | Q.gt("f", 2)):
        pickle.loads(pickle.dumps(thing))
        copy.deepcopy(thing)
        copy.copy(thing)


def test_pickling_and_copying_do_not_grow_objects_or_blocks():
    # pickle and copy fill caches of their own for a while (still some 400 blocks after 100
    # calls, flat after about 600): a longer warm-up.
    assert_no_growth(copies, 600, 200)


@pytest.mark.parametrize("value", [
    object(), decimal.Decimal("0.1"), fractions.Fraction(1, 3), 2**100 + 1,
    datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc), datetime.timedelta(days=3)],
    ids=["object", "Decimal", "Fraction", "big int", "datetime", "timedelta"])
def test_values_are_released_when_objects_and_indexes_go(value):
    # Ordered kinds keep an object holding each value for count_by, until no object holds it.
    before = sys.getrefcount(value)
    for _ in range(20):
        obj = Thing(v=value, l=[value, (value,)])
        index = Index()
        index.add_object(obj)
        index.reduced_query(Q.eq("v", value)).collect()
        index.count_by("v")
        obj.v = value
        del obj, index
    settle()
    assert sys.getrefcount(value) == before
    index = Index()
    obj = Thing(v=value, l=[value])
    index.add_object(obj)
    obj.v, obj.l = 0, []  # the index lives on, the value's buckets are gone
    settle()
    assert sys.getrefcount(value) == before


@pytest.mark.skipif(sys.flags.dev_mode, reason="already under the debug allocator")
def test_workload_under_the_debug_allocator():
    code = (
        "import sys; sys.path.insert(0, sys.argv[1])\n"
        "import conftest, test_leaks\n"
        "for _ in range(3): test_leaks.workload(); test_leaks.kinds_workload()\n"
        "print('ok')\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code, str(__import__("pathlib").Path(__file__).parent)],
        env={"PYTHONMALLOC": "debug", "PATH": "/usr/bin:/bin"},
        capture_output=True, text=True, timeout=300,
    )
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-2000:]


def test_an_object_many_engines_hold_is_referenced_once_natively_and_released_with_the_last():
    # However many indexes, reach engines and pending steps hold an object, together they own
    # one reference to it; the first holder of a linked object is made on the assignment path.
    child = Thing(k=1)
    base = sys.getrefcount(child)
    indexes = [Index() for _ in range(3)]
    for index in indexes:
        index.add_object(child)
    assert sys.getrefcount(child) == base + 1
    parent = Thing(c=child, l=[child, [child]])
    indexes[0].add_object(parent)  # the child is now also in the index's reach engine
    assert indexes[0].reduced_query(Q.eq("c.k", 1)).collect() == [parent]
    view = indexes[1].reduced(k=1)
    for index in indexes:
        index.remove_object(child)
    settle()
    # Still held by the links and the reach engine, and the view collects it.
    assert view.collect() == [child]
    assert indexes[0].reduced_query(Q.eq("c.k", 1)).collect() == [parent]
    del view
    parent.c = parent.l = None
    settle()
    assert sys.getrefcount(child) == base
    assert indexes[0].count(Q.eq("c.k", 1)) == 0

    # A fresh object linked by assignment only: no holder exists, so one is made with the GIL.
    fresh = Thing(k=2, n=Thing(k=3))
    grandchild = fresh.n
    before = sys.getrefcount(fresh), sys.getrefcount(grandchild)
    for _ in range(3):
        parent.c = fresh
        assert indexes[0].reduced_query(Q.eq("c.n.k", 3)).collect() == [parent]
        parent.c = None
        assert indexes[0].count(Q.eq("c.k", 2)) == 0
    settle()
    assert (sys.getrefcount(fresh), sys.getrefcount(grandchild)) == before
