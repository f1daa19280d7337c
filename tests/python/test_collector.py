"""Cycles that pass through an Index, a view, an ordered view or a query are found and freed by
Python's cyclic garbage collector, as cycles of plain objects are; and a program that keeps
objects in a module-level index releases them (their finalizers run) when it ends.
"""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap

import pytest

from Quorvane import Index, Indexable, PyQueryExpr as Q


class Box:
    pass


def boxed(index):
    box = Box()
    box.index = index
    return box


# How each member is tied back to its index (or to itself); `index` is dropped afterwards.
LINKS = {
    "its index": lambda obj, index: setattr(obj, "home", index),
    "a view of its index": lambda obj, index: setattr(obj, "home", index.reduced(k=1)),
    "a query view of its index": lambda obj, index: setattr(
        obj, "home", index.reduced_query(Q.ge("k", 0))),
    "an ordered view of its index": lambda obj, index: setattr(obj, "home", index.order_by("k")),
    "a list holding its index": lambda obj, index: setattr(obj, "home", [index]),
    "a plain object holding its index": lambda obj, index: setattr(obj, "home", boxed(index)),
    "its index and a view of it": lambda obj, index: (
        setattr(obj, "home", index), setattr(obj, "view", index.reduced())),
    "a query on itself": lambda obj, index: setattr(obj, "q", Q.eq("me", obj)),
}


@pytest.mark.parametrize("link", LINKS.values(), ids=LINKS.keys())
def test_cycles_through_the_module_are_freed_by_one_collection(link):
    freed = []

    class Member(Indexable):
        def __del__(self):
            freed.append(self.n)

    index = Index()
    members = [Member(n=n, k=1) for n in range(500)]
    index.add_object_many(members)
    for obj in members:
        link(obj, index)
    del members, obj, index
    gc.collect()
    assert sorted(freed) == list(range(500))


SCRIPT = """
import sys

from Quorvane import Index, Indexable


class Job(Indexable):
    def describe(self):
        return self.name


JOBS = Index()
for i in range(100):
    log = open(f"{sys.argv[1]}/job{i}.log", "w")
    log.write("x" * 1000)  # buffered: written when the file object is finalized
    JOBS.add_object(Job(name=f"job{i}", log=log))
"""


def test_objects_of_a_module_level_index_are_finalized_when_the_program_ends(tmp_path):
    script = tmp_path / "jobs.py"
    script.write_text(textwrap.dedent(SCRIPT))
    out = subprocess.run([sys.executable, str(script), str(tmp_path)], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    sizes = [(tmp_path / f"job{i}.log").stat().st_size for i in range(100)]
    assert sizes == [1000] * 100
