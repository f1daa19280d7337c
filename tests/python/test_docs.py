"""The documentation against the module: docstrings, the guide's API reference, the code
blocks of the README and the guide, and the docstrings' claims about the GIL."""

from __future__ import annotations

import gc
import inspect
import pathlib
import re
import sys
import threading
import time

import pytest

import Quorvane
from Quorvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q
from conftest import Thing

ROOT = pathlib.Path(__file__).resolve().parents[2]


# The reference script decides what is public; these tests share that decision.
sys.path.insert(0, str(ROOT / "scripts"))
import api_reference as reference  # noqa: E402


def public_callables():
    """(qualified name, object) of every public function and method, as the reference sees them."""
    found = [(fn.__name__, fn) for fn in reference.public_functions()]
    for cls in reference.public_classes():
        found += [(f"{cls.__name__}.{name}", member)
                  for name, member in reference.public_members(cls)]
    return found


CALLABLES = public_callables()


class TestDocstrings:
    def test_every_public_name_is_found(self):
        # The discovery the reference and these tests rely on sees the whole module.
        names = {name for name, _ in CALLABLES} | {c.__name__ for c in reference.public_classes()}
        assert {"sum_as_string", "Index", "Index.add_object", "FilteredIndex.rebase",
                "PyQueryExpr.bt", "Indexable", "PanicException"} <= names

    @pytest.mark.parametrize("name, obj", CALLABLES, ids=[n for n, _ in CALLABLES])
    def test_callables_have_a_signature_and_say_what_they_return_raise_and_do_with_the_gil(
            self, name, obj):
        assert obj.__text_signature__ is not None, f"{name}: no text signature"
        params = [p for p in inspect.signature(obj).parameters if p != "self"]
        body = reference.body(obj)
        assert body.strip() and not body.startswith(name.split(".")[-1] + "("), name
        assert "Returns" in body, f"{name}: does not say what it returns"
        if params:
            assert "Raises" in body, f"{name}: takes arguments but says nothing of errors"
        claims = [claim for claim in ("Releases the GIL", "Keeps the GIL") if claim in body]
        assert len(claims) == 1, f"{name}: says {claims or 'nothing'} about the GIL"

    @pytest.mark.parametrize("cls", reference.public_classes(), ids=lambda c: c.__name__)
    def test_classes_have_a_docstring_and_a_signature_when_they_can_be_made(self, cls):
        assert reference.body(cls).strip(), f"{cls.__name__}: no docstring"
        try:
            inspect.signature(cls)  # a class written in Python has one
            has_signature = True
        except ValueError:
            has_signature = False
        if not has_signature and not issubclass(cls, BaseException):
            with pytest.raises(TypeError, match="No constructor defined"):
                cls()

    @pytest.mark.parametrize("name, obj", CALLABLES, ids=[n for n, _ in CALLABLES])
    def test_the_text_signature_is_what_the_binding_accepts(self, name, obj):
        fn = callable_of(name, obj)
        params = [p for p in inspect.signature(obj).parameters.values() if p.name != "self"]
        if not any(p.kind is p.VAR_POSITIONAL for p in params):
            positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
            with pytest.raises(TypeError, match=rf"takes ({len(positional)} positional "
                                                r"argument|no arguments)"):
                fn(*[object()] * (len(positional) + 1))
        named = {p.name: object() for p in params if p.kind is p.POSITIONAL_OR_KEYWORD}
        if named:
            # Every name is accepted as a keyword: what fails is the value, not the binding.
            with pytest.raises(TypeError) as info:
                fn(**named)
            assert "keyword" not in str(info.value) and "missing" not in str(info.value)

    def test_the_module_says_what_it_is_and_where_the_guide_is(self):
        summary, _, rest = Quorvane.__doc__.partition("\n\n")
        assert "indexes Python objects" in summary and "docs/guide.md" in rest

    def test_help_shows_the_documentation(self):
        text = pydoc_text(Index)
        assert "add_object(self, /, py_ref)" in text
        assert "Releases the GIL while it writes the index when" in text


def callable_of(name, obj):
    """The function itself, or the method bound to an instance of its class."""
    class_name, _, method = name.rpartition(".")
    if not class_name:
        return obj
    cls = getattr(Quorvane, class_name)
    if isinstance(inspect.getattr_static(cls, method), staticmethod):
        return obj
    instance = {Index: Index, FilteredIndex: lambda: Index().reduced(), Indexable: Thing,
                Quorvane.OrderedView: lambda: Index().order_by("n")}[cls]()
    return getattr(instance, method)


def pydoc_text(obj):
    import pydoc
    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


class TestReference:
    def test_the_guide_carries_the_reference_written_from_the_docstrings(self):
        guide = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
        assert reference.with_reference(guide) == guide, (
            "docs/guide.md is out of date: run .venv/bin/python scripts/api_reference.py")

    def test_every_public_name_has_its_heading(self):
        section = reference.render()
        for name, _ in CALLABLES:
            assert re.search(rf"^#+ `{re.escape(name)}\(", section, re.M), name
        for cls in reference.public_classes():
            assert re.search(rf"^### (class )?`{cls.__name__}\b", section, re.M), cls.__name__

    def test_markdown_escapes_emphasis_outside_code(self):
        assert reference.markdown_text("add_object: a __hash__ of 2**64, `__del__`, not_") == (
            r"add_object: a \_\_hash\_\_ of 2\*\*64, `__del__`, not\_")


# ---- code blocks of the README and the guide -------------------------------------------------

def python_blocks(path):
    """(first line number, code) of each ```python block of a Markdown file."""
    text = path.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M)]


@pytest.mark.parametrize("doc", ["README.md", "docs/guide.md"])
def test_code_blocks_run_in_order_as_one_program(doc):
    path = ROOT / doc
    blocks = python_blocks(path)
    assert blocks, f"{doc} has no python block"
    namespace = {"__name__": "__doc_snippets__"}
    for line, code in blocks:
        # Padded so that a traceback points at the line of the document.
        exec(compile("\n" * (line - 1) + code, str(path), "exec"), namespace)


def test_block_extraction_keeps_line_numbers(tmp_path):
    doc = tmp_path / "x.md"
    doc.write_text("intro\n```python\na = 1\n```\n\n```text\nno\n```\n```python\nb = 2\nc\n```\n")
    assert python_blocks(doc) == [(3, "a = 1\n"), (10, "b = 2\nc\n")]


# ---- what the docstrings say about the GIL ---------------------------------------------------

def other_thread_ran_during(call):
    """Whether a waiting Python thread got to run while ``call()`` ran.

    Time-based thread switches are pushed out of reach, so the other thread can run only if
    ``call`` gives the GIL up itself.
    """
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    gate = threading.Lock()
    gate.acquire()
    ran = []

    def other():
        with gate:
            ran.append(True)

    worker = threading.Thread(target=other)
    gc.collect()
    gc.disable()  # no finalizer of unrelated garbage runs inside the call
    try:
        worker.start()
        gate.release()
        # Busy (the GIL held) while the other thread wakes and starts waiting for the GIL.
        deadline = time.perf_counter() + 0.003
        while time.perf_counter() < deadline:
            pass
        assert not ran, "the other thread ran before the call"
        call()
        return bool(ran)
    finally:
        gc.enable()
        sys.setswitchinterval(old_interval)
        worker.join()


N = 80_000  # above the size from which searches release the GIL


@pytest.fixture(scope="module")
def world():
    objs = [Thing(n=i, tag=i % 2, s=f"s{i}", l=[i, -i]) for i in range(N)]
    index = Index()
    index.add_object_many(objs)
    return objs, index


def big_in(attr="n"):
    return Q.in_(attr, range(0, N, 2))


def holding(*objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


# One call per public callable (and the assignment), with enough native work to show a release.
# Each entry makes its arguments first, outside the measured call.
EXERCISES = {
    "sum_as_string": lambda w: lambda: Quorvane.sum_as_string(1, 2),
    "Index.add_object": lambda w: (lambda i, o: lambda: i.add_object(o))(
        Index(), Thing(l=list(range(N)))),
    "Index.add_object_many": lambda w: (lambda i, b: lambda: i.add_object_many(b))(
        Index(), [Thing(n=i) for i in range(N)]),
    "Index.union_with": lambda w: (lambda i: lambda: i.union_with(w[1]))(Index()),
    "Index.reduce": lambda w: (lambda i: lambda: i.reduce(Q.eq("tag", 1)))(w[1].reduced().rebase()),
    "Index.remove_where": lambda w: (lambda i: lambda: i.remove_where(Q.eq("tag", 1)))(
        w[1].reduced().rebase()),
    "Index.reduced": lambda w: lambda: w[1].reduced(tag=1),
    "Index.reduced_query": lambda w: (lambda q: lambda: w[1].reduced_query(q))(big_in()),
    "Index.get_by_attribute": lambda w: lambda: w[1].get_by_attribute(tag=1),
    "Index.collect": lambda w: lambda: w[1].collect(),
    "Index.remove_object": lambda w: (lambda o: (lambda i: lambda: i.remove_object(o))(
        holding(o)))(Thing(l=list(range(N)))),
    "Index.discard_object": lambda w: (lambda o: (lambda i: lambda: i.discard_object(o))(
        holding(o)))(Thing(l=list(range(N)))),
    "Index.remove_object_many": lambda w: (lambda i: lambda: i.remove_object_many(w[0]))(
        holding(*w[0])),
    "Index.clear": lambda w: (lambda i: lambda: i.clear())(holding(*w[0])),
    "FilteredIndex.collect": lambda w: (lambda v: lambda: v.collect())(w[1].reduced()),
    "FilteredIndex.reduced": lambda w: (lambda v: lambda: v.reduced(tag=1))(w[1].reduced()),
    "FilteredIndex.reduced_query": lambda w: (lambda v, q: lambda: v.reduced_query(q))(
        w[1].reduced(), big_in()),
    "FilteredIndex.rebase": lambda w: (lambda v: lambda: v.rebase())(w[1].reduced()),
    "Index.count": lambda w: (lambda q: lambda: w[1].count(q))(big_in()),
    "Index.order_by": lambda w: lambda: w[1].order_by("n"),
    "Index.count_by": lambda w: lambda: w[1].count_by("n"),
    "FilteredIndex.count": lambda w: (lambda v, q: lambda: v.count(q))(w[1].reduced(), big_in()),
    "FilteredIndex.order_by": lambda w: (lambda v: lambda: v.order_by("n"))(w[1].reduced()),
    "FilteredIndex.count_by": lambda w: (lambda v: lambda: v.count_by("n"))(w[1].reduced()),
    "OrderedView.collect": lambda w: (lambda o: lambda: o.collect())(w[1].order_by("n")),
    "OrderedView.limit": lambda w: (lambda o: lambda: o.limit(5))(w[1].order_by("n")),
    "OrderedView.offset": lambda w: (lambda o: lambda: o.offset(5))(w[1].order_by("n")),
    # Projection, export and aggregates, of the index, a view and an order.
    **{f"{cls}.{method}": (lambda source, call: lambda w: (lambda v: lambda: call(v))(source(w)))(
        source, call)
       for cls, source in [("Index", lambda w: w[1]), ("FilteredIndex", lambda w: w[1].reduced()),
                           ("OrderedView", lambda w: w[1].order_by("n"))]
       for method, call in [("values", lambda v: v.values("n")),
                            ("to_dicts", lambda v: v.to_dicts("n")),
                            ("to_pandas", lambda v: v.to_pandas("n")),
                            ("to_arrow", lambda v: v.to_arrow("n")),
                            ("min", lambda v: v.min("n")), ("max", lambda v: v.max("n")),
                            ("sum", lambda v: v.sum("n")), ("mean", lambda v: v.mean("n")),
                            ("count_by", lambda v: v.count_by("n")),
                            ("explain", lambda v: v.explain(big_in()))]
       if (cls, method) not in {("OrderedView", "explain"), ("Index", "count_by"),
                                ("FilteredIndex", "count_by")}},
    **{f"PyQueryExpr.{name}": (lambda build: lambda w: lambda: build())(build)
       for name, build in [
           ("eq", lambda: Q.eq("n", 1)), ("ne", lambda: Q.ne("n", 1)),
           ("gt", lambda: Q.gt("n", 1)), ("ge", lambda: Q.ge("n", 1)),
           ("lt", lambda: Q.lt("n", 1)), ("le", lambda: Q.le("n", 1)),
           ("bt", lambda: Q.bt("n", 1, 2)), ("in_", lambda: big_in()),
           ("and_", lambda: Q.and_(*[Q.eq("n", i) for i in range(100)])),
           ("or_", lambda: Q.or_(*[Q.eq("n", i) for i in range(100)])),
           ("not_", lambda: Q.not_(Q.eq("n", 1))),
           ("starts_with", lambda: Q.starts_with("s", "s1")),
           ("ends_with", lambda: Q.ends_with("s", "1")),
           ("contains", lambda: Q.contains("s", "1"))]},
}


def claim(name):
    obj = dict(CALLABLES)[name]
    return "Releases the GIL" in reference.body(obj)


def test_every_public_callable_has_an_exercise():
    assert sorted(EXERCISES) == sorted(name for name, _ in CALLABLES)


@pytest.mark.parametrize("name", sorted(EXERCISES))
def test_the_gil_is_released_exactly_where_the_docstring_says(name, world):
    package = {"to_pandas": "pandas", "to_arrow": "pyarrow"}.get(name.rpartition(".")[2])
    if package:
        pytest.importorskip(package)
    if "may give it up" in reference.body(dict(CALLABLES)[name]) and not claim(name):
        pytest.skip("the package it calls decides when the GIL is given up")
    if claim(name):
        # The other thread must also be scheduled within the release: up to 40 tries.
        assert any(other_thread_ran_during(EXERCISES[name](world)) for _ in range(40)), (
            f"{name} says it releases the GIL; no other thread ran during it")
    else:
        assert not other_thread_ran_during(EXERCISES[name](world)), (
            f"{name} says it keeps the GIL; another thread ran during it")


@pytest.mark.parametrize("call", [
    lambda i: i.get_by_attribute(n=5), lambda i: i.reduced(n=5, tag=1),
    lambda i: i.reduced_query(Q.eq("s", "s7")), lambda i: i.count(n=5),
    # Searches of a large index that end before handing the GIL over would pay.
    lambda i: i.reduced_query(Q.eq("tag", 1)), lambda i: i.count(Q.lt("n", 100)),
    lambda i: i.reduced().reduced_query(Q.bt("n", 10, 20))])
def test_short_searches_keep_the_gil_as_their_docstrings_say(call, world):
    assert "Keeps the GIL while it searches" in Index.get_by_attribute.__doc__
    assert "a shorter search keeps it" in Index.reduced_query.__doc__
    assert not other_thread_ran_during(lambda: call(world[1]))


def test_assignment_to_an_indexed_object_releases_the_gil(world):
    assert "releasing the GIL while the indexes are updated" in Indexable.__doc__
    obj = Thing(l=[])
    index = Index()
    index.add_object(obj)
    values = list(range(N))
    assert any(other_thread_ran_during(lambda: setattr(obj, "l", values)) for _ in range(40))
    free = Thing(l=[])  # held by no index: nothing to update, the GIL is kept
    assert not other_thread_ran_during(lambda: setattr(free, "l", values))


def test_types_accept_subscripts_for_annotations():
    assert Index[Thing].__origin__ is Index
    assert FilteredIndex[Thing].__args__ == (Thing,)
