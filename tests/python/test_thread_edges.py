"""Threads at the edges: an index released by the thread assigning one of its objects, queries
nested as deep as the builders allow evaluated on a small thread stack, and a program that
ends while threads still work in the module.  Each case runs in a child interpreter.
"""

from __future__ import annotations

import signal

import pytest

import child

LAST_INDEX_DROPPED_DURING_AN_ASSIGNMENT = r"""
import threading

from Quorvane import Index, Indexable


class Thing(Indexable):
    pass


shared = Thing(x=0)


class Tenant(Indexable):
    def __del__(self):
        shared.y = self.k  # assigns the object another thread may be assigning


stop = False


def writer():
    i = 0
    while not stop:
        shared.x = i
        i += 1


thread = threading.Thread(target=writer)
thread.start()
for _ in range(2000):
    index = Index()
    index.add_object(shared)
    index.add_object_many([Tenant(k=k) for k in range(20)])
    del index  # the writer's assignment may hold the last reference to the engine
stop = True
thread.join()
assert shared.y in range(20)
print("ok")
"""


def test_index_released_inside_an_assignment_runs_finalizers_outside_the_objects_lock():
    child.run_ok(LAST_INDEX_DROPPED_DURING_AN_ASSIGNMENT, timeout=60)


DEEP_QUERY_ON_A_SMALL_STACK = r"""
import sys
import threading

from Quorvane import Index, Indexable, PyQueryExpr as Q


class Thing(Indexable):
    pass


index = Index()
index.add_object_many([Thing(a=i % 7) for i in range(2000)])
answers = []


def work():
    q = Q.eq("a", 1)
    for _ in range(999):  # 1000 levels, the most the builders accept
        q = Q.and_(q, Q.ne("a", 9))
    if sys.argv[1] == "reduced_query":
        answers.append(len(index.reduced_query(q)))
    elif sys.argv[1] == "count":
        answers.append(index.count(q))
    elif sys.argv[1] == "reduce":
        index.reduce(q)
        answers.append(len(index))
    else:
        answers.append(len(repr(q)) >= 1000)
    del q  # destroyed on this thread too


threading.stack_size(256 * 1024)
thread = threading.Thread(target=work)
thread.start()
thread.join()
assert answers == [True if sys.argv[1] == "repr" else 286], answers
print("ok")
"""


@pytest.mark.parametrize("use", ["reduced_query", "count", "reduce", "repr"])
def test_deepest_query_on_a_256_kib_thread_stack(use):
    child.run_ok(DEEP_QUERY_ON_A_SMALL_STACK, args=(use,), timeout=60)


EXIT_WHILE_THREADS_WORK = r"""
import os
import signal
import sys
import threading

from Quorvane import Index, Indexable, PyQueryExpr as Q


class Thing(Indexable):
    pass


index = Index()
objs = [Thing(a=i % 10, s=f"s{i}") for i in range(20_000)]
index.add_object_many(objs)
started = threading.Barrier(3)


def query():
    started.wait()
    while True:
        index.count(Q.lt("a", 5))
        index.reduced_query(Q.starts_with("s", "s1")).collect()


def assign():
    started.wait()
    i = 0
    while True:
        objs[i % len(objs)].a = i
        i += 1


def bulk():
    started.wait()
    while True:
        other = Index()
        other.add_object_many([Thing(a=i) for i in range(20_000)])
        Index().union_with(other)


shape = sys.argv[1]
workers = {"daemon query": [query, query], "daemon assign": [assign, assign],
           "daemon bulk and union": [bulk, bulk], "interrupted join": [query, assign]}[shape]
for work in workers:
    threading.Thread(target=work, daemon=shape.startswith("daemon")).start()
started.wait()
if shape == "interrupted join":
    # Arrives while the interpreter waits for the threads at exit.
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
print("ok", flush=True)
"""

# What a program ending this way exits with, as it does without the module: 0, or the
# status of an interrupt.
CHOSEN = {0, -signal.SIGINT, 128 + signal.SIGINT}


@pytest.mark.parametrize("shape", ["daemon query", "daemon assign", "daemon bulk and union",
                                   "interrupted join"])
def test_program_ending_while_threads_work_exits_with_its_own_status(shape):
    for _ in range(4):
        outcome = child.run(EXIT_WHILE_THREADS_WORK, args=(shape,), timeout=60)
        assert outcome.returncode in CHOSEN and "ok" in outcome.stdout, outcome.describe()
