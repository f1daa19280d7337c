"""Lazy iteration of indexes and views, values()/to_dicts()/to_pandas()/to_arrow(), and the
progress callback of the bulk methods."""

import gc
import signal
import sys
import threading
import weakref
from importlib.util import find_spec

import pytest

from Quorvane import Index, Indexable, PyQueryExpr as Q
from conftest import Thing


def build(n, **extra):
    objs = [Thing(n=i, half=i // 2, s=f"s{i:05d}", **extra) for i in range(n)]
    index = Index()
    index.add_object_many(objs)
    return objs, index


SOURCES = {
    "index": lambda index: index,
    "view": lambda index: index.reduced_query(Q.lt("n", 700)),
    "ordered": lambda index: index.order_by("half", descending=True),
    "page": lambda index: index.order_by("s").offset(3).limit(600),
}


@pytest.mark.parametrize("source", SOURCES)
def test_iteration_lists_what_collect_lists_across_batches(source):
    # 1,000 objects: several batches, and ordered walks of growing size.
    _, index = build(1000)
    view = SOURCES[source](index)
    assert [id(o) for o in view] == [id(o) for o in view.collect()]
    iterator = iter(view)
    assert iter(iterator) is iterator
    first = next(iterator)
    assert first is view.collect()[0]
    rest = list(iterator)
    assert len(rest) == len(view.collect()) - 1
    assert list(iterator) == []  # exhausted stays exhausted


def test_iteration_keeps_the_members_it_began_with():
    objs, index = build(600)
    before = index.collect()
    iterator = iter(index)
    head = [next(iterator) for _ in range(10)]
    index.remove_object_many(objs[300:])  # objects not yet fetched leave the index
    index.add_object(Thing(n=-1))          # and one joins it
    got = head + list(iterator)
    assert [id(o) for o in got] == [id(o) for o in before]  # the snapshot, in id order


def test_ordered_iteration_meets_each_object_once_while_values_change():
    objs, index = build(2000)
    seen = []
    for obj in index.order_by("n"):
        seen.append(obj)
        # Objects not yet met move before the walk's position, met ones after it.
        if len(seen) == 300:
            for later in objs[1000:1100]:
                later.n = -later.n
            for earlier in objs[:100]:
                earlier.n += 10_000
    assert sorted(map(id, seen)) == sorted(map(id, objs))


def test_an_iterator_shared_by_threads_hands_out_every_object_once():
    objs, index = build(20_000)
    view = index.reduced_query(Q.ge("n", 0))
    rank = {id(o): i for i, o in enumerate(view.collect())}
    iterator = iter(view)
    got = [[] for _ in range(4)]

    def drain(out):
        for obj in iterator:
            out.append(obj)

    threads = [threading.Thread(target=drain, args=(out,)) for out in got]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    merged = [o for out in got for o in out]
    assert sorted(map(id, merged)) == sorted(map(id, objs))
    for out in got:  # each thread sees its share in the view's order
        ranks = [rank[id(o)] for o in out]
        assert ranks == sorted(ranks)


def test_an_iterator_in_a_cycle_is_collected():
    _, index = build(300)
    iterator = iter(index)
    next(iterator)
    holder = Thing()
    holder.it = iterator  # holder -> iterator -> index -> holder
    index.add_object(holder)
    probe = weakref.ref(holder)
    del holder, iterator, index
    gc.collect()
    assert probe() is None


class Priced(Indexable):
    discount = 0.1  # a class attribute: every object reads it

    @property
    def net(self):
        return self.price * (1 - self.discount)


class Lazy(Indexable):
    def __getattr__(self, name):
        if name == "computed":
            return 42
        raise AttributeError(name)


class Holder(Indexable):
    pass


def test_values_read_as_getattr_reads():
    plain = Priced(price=10, name="a")
    shadowed = Priced(price=20, name="b", discount=0.5)  # stored value over the class's
    lazy = Lazy(price=30)
    staged = Priced(price=40)
    object.__setattr__(staged, "name", "staged")  # left aside by object.__setattr__
    owner = Holder(who=plain)
    index = Index()
    index.add_object_many([plain, shadowed, lazy, staged, owner])
    objs = index.collect()
    cases = [
        (("price",), None),
        (("net",), None),
        (("discount",), None),
        (("computed",), None),
        (("name",), None),
        (("who.name",), None),
        (("who.net",), None),
        (("price", "name"), None),
        (("nowhere.at.all",), "x"),
    ]
    for attributes, default in cases:
        def read(obj, path):
            value = obj
            for part in path.split("."):
                value = getattr(value, part, default)
            return value

        expected = [read(o, attributes[0]) if len(attributes) == 1
                    else tuple(read(o, a) for a in attributes) for o in objs]
        assert index.values(*attributes, default=default) == expected, attributes


def test_values_without_a_default_name_the_object_and_the_attribute():
    present, absent = Thing(a=1), Thing(b=2)
    index = Index()
    index.add_object_many([present, absent])
    with pytest.raises(AttributeError) as info:
        index.values("a")
    assert info.value.name == "a" and info.value.obj is absent
    assert "'a'" in str(info.value)
    with pytest.raises(AttributeError):  # the ... the signature shows is no default
        index.values("a", default=...)


class Exploding(Indexable):
    @property
    def boom(self):
        raise ValueError("from the property")


@pytest.mark.parametrize("call, error, message", [
    (lambda v: v.values(), TypeError, "at least one attribute"),
    (lambda v: v.values(3), TypeError, "attributes"),
    (lambda v: v.to_dicts(b"n"), TypeError, "attributes"),
    (lambda v: v.values("n", fallback=1), TypeError, "unexpected keyword"),
    (lambda v: v.to_dicts(default=1), TypeError, "unexpected keyword"),
    (lambda v: v.values("boom"), ValueError, "from the property"),
    pytest.param(lambda v: v.to_pandas("boom"), ValueError, "from the property",
                 marks=pytest.mark.skipif(find_spec("pandas") is None, reason="needs pandas")),
])
def test_bad_arguments_and_errors_of_user_code(call, error, message):
    index = Index()
    index.add_object_many([Exploding(n=1), Exploding(n=2)])
    for view in (index, index.reduced(), index.order_by("n")):
        with pytest.raises(error, match=message):
            call(view)


def test_to_dicts_with_and_without_names():
    a, b = Thing(n=1, s="x"), Thing(n=2, l=[1])
    index = Index()
    index.add_object_many([a, b])
    assert index.to_dicts() == [vars(o) for o in index.collect()]
    assert index.to_dicts("s", "n") == [
        {k: getattr(o, k) for k in ("s", "n") if hasattr(o, k)} for o in index.collect()]
    ordered = index.order_by("n", descending=True)
    assert ordered.to_dicts("n") == [{"n": 2}, {"n": 1}]


def test_tables_have_typed_columns_and_fill_missing_values():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    objs = [Thing(i=k, f=k / 2, b=k % 2 == 0, s=f"s{k}", mixed=k if k % 2 else "odd",
                  big=2**70 + k) for k in range(5)]
    objs.append(Thing(i=9))  # lacks the others
    index = Index()
    index.add_object_many(objs)
    frame = index.to_pandas()
    assert list(frame.columns) == ["i", "f", "b", "s", "mixed", "big"]
    assert str(frame["i"].dtype) == "int64"
    rows = index.collect()
    complete = index.reduced_query(Q.lt("i", 5))
    typed = complete.to_pandas("i", "f", "b")
    assert [str(t) for t in typed.dtypes] == ["int64", "float64", "bool"]
    assert typed["f"].tolist() == complete.values("f")
    assert frame["s"].isna().tolist() == [not hasattr(o, "s") for o in rows]
    assert frame["big"].tolist() == [getattr(o, "big", None) for o in rows]  # beyond int64
    table = index.to_arrow("i", "s")
    assert table.column_names == ["i", "s"]
    assert table.column("s").to_pylist() == [getattr(o, "s", None) for o in rows]
    assert table.column("i").type == pa.int64()
    assert index.order_by("i", descending=True).to_pandas("i")["i"].tolist() == sorted(
        index.values("i"), reverse=True)
    empty = Index().to_pandas("i")
    assert len(empty) == 0 and list(empty.columns) == ["i"]
    assert isinstance(frame, pd.DataFrame)


@pytest.mark.parametrize("method, package", [("to_pandas", "pandas"), ("to_arrow", "pyarrow")])
def test_a_missing_package_says_what_to_install(method, package, monkeypatch):
    monkeypatch.setitem(sys.modules, package, None)  # import then raises ImportError
    _, index = build(3)
    with pytest.raises(ImportError, match=f"pip install {package}") as info:
        getattr(index, method)("n")
    assert isinstance(info.value.__cause__, ImportError)


# ---- progress --------------------------------------------------------------------------------

class Stop(Exception):
    pass


def stop_before_the_end(done, total):
    if done < total:
        raise Stop


def stop_at_the_end(done, total):
    raise Stop


def interrupt(done, total):
    signal.raise_signal(signal.SIGINT)  # taken as KeyboardInterrupt at the next part


@pytest.mark.parametrize("callback, error", [
    (stop_before_the_end, Stop), (stop_at_the_end, Stop), (interrupt, KeyboardInterrupt)])
def test_an_interrupted_add_leaves_the_index_as_it_was(callback, error):
    kept = Thing(n=-1, l=[7])
    index = Index()
    index.add_object(kept)
    objs = [Thing(n=i, l=[i % 5], owner=Holder(who=kept)) for i in range(150_000)]
    with pytest.raises(error):
        index.add_object_many(objs + [kept], progress=callback)
    assert index.collect() == [kept]
    assert index.count(Q.eq("l", 3)) == 0 and index.count(Q.eq("owner.who.n", -1)) == 0
    assert index.count(Q.eq("l", 7)) == 1
    index.add_object_many(objs[:10])  # the same objects can still join
    assert index.count(Q.eq("l", 3)) == 2 and index.count(Q.eq("owner.who.n", -1)) == 10


@pytest.mark.parametrize("callback, error", [
    (stop_before_the_end, Stop), (stop_at_the_end, Stop), (interrupt, KeyboardInterrupt)])
def test_an_interrupted_removal_adds_back_what_it_removed(callback, error):
    objs, index = build(20_000, l=[1, 2])
    view = index.reduced()
    with pytest.raises(error):
        index.remove_object_many(objs[5:], progress=callback)
    assert sorted(map(id, index)) == sorted(map(id, objs))
    assert index.count(Q.eq("l", 2)) == 20_000 and index.count(Q.eq("s", "s19999")) == 1
    assert len(view) == 20_000


def test_progress_is_reported_from_the_calling_thread_and_ends_with_the_total():
    objs = [Thing(n=i) for i in range(200_000)]
    calls, threads, members = [], [], []
    index = Index()

    def progress(done, total):
        calls.append((done, total))
        threads.append(threading.get_ident())
        members.append(len(index))  # no lock of the index is held: it can be read

    index.add_object_many(objs, progress=progress)
    assert calls[-1] == (200_000, 200_000) and len(index) == 200_000
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    assert set(threads) == {threading.get_ident()}
    assert set(members) == {0}  # members together, after the last call
    calls.clear()
    index.remove_object_many(objs, progress=progress)
    assert calls[-1] == (200_000, 200_000) and len(index) == 0
    calls.clear()
    Index().add_object_many([], progress=progress)
    assert calls == [(0, 0)]


@pytest.mark.parametrize("method", ["add_object_many", "remove_object_many"])
def test_progress_must_be_callable(method):
    obj = Thing(n=1)
    index = Index()
    index.add_object(obj)
    with pytest.raises(TypeError, match="argument 'progress'.*Callable"):
        getattr(index, method)([obj], progress=5)
    assert index.collect() == [obj]
