"""How Quorvane's cost grows with the size of plain Python workloads that were superlinear or
overflowed the native stack.

Each case and size runs in a fresh interpreter with a timeout; the table gives the elapsed
seconds of the measured step, how much the process's resident memory grew over it (after, and
at its peak), and a note.  A case that times out or crashes is reported as such.

    python benchmarks/scaling.py                      # default sizes
    python benchmarks/scaling.py --linked-list 500,1000,2000 --timeout 200
    python benchmarks/scaling.py --only not_depth,missing_reads --not-depth 1000,8000

Sizes are comma-separated lists.  ``--python`` runs the cases with another interpreter (one
with another build of Quorvane installed).
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import textwrap

# Shared by every case: memory figures from /proc, a timer, and the report line.
MEASURE = r'''
import gc, json, os, sys, time

def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0

def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")            # resets the peak resident size
        return True
    except OSError:
        return False

class Measure:
    def __enter__(self):
        gc.collect()
        self.peak_reset = _reset_peak()
        self.rss = _status("VmRSS")
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.t0
        self.rss_after = _status("VmRSS")
        self.peak = _status("VmHWM")
        return False

def report(m, note=""):
    mib = 1 << 20
    print(json.dumps({
        "seconds": m.seconds,
        "rss_growth": (m.rss_after - m.rss) / mib,
        "peak_growth": (m.peak - m.rss) / mib if m.peak_reset else None,
        "note": note,
    }))

from Quorvane import Index, Indexable, PyQueryExpr as Q
n = int(sys.argv[1])
'''

CASES = {
    # Every node of a linked list added to one index: each node is nested under every
    # earlier one.
    "linked_list": ("linked list, every node added to one index (nodes)", r'''
nodes = [Indexable(v=i) for i in range(n)]
for i in range(1, n):
    nodes[i].nxt = nodes[i - 1]
index = Index()
with Measure() as m:
    for node in nodes:
        index.add_object(node)
assert len(index.collect()) == n
report(m)
'''),
    # Reads of names no object ever had: they must be looked up, not interned.
    "missing_reads": ("reads of distinct never-assigned names (reads)", r'''
obj = Indexable(a=1)
names = [f"missing{i}" for i in range(n)]
with Measure() as m:
    for name in names:
        getattr(obj, name, None)
report(m)
'''),
    "missing_queries": ("queries on distinct never-assigned names (queries)", r'''
index = Index()
index.add_object_many([Indexable(a=i) for i in range(100)])
names = [f"absent{i}" for i in range(n)]
with Measure() as m:
    for name in names:
        index.get_by_attribute(**{name: 1})
report(m)
'''),
    # Query builders copying their children; a deep tree is refused with RecursionError.
    "not_depth": ("Q.not_ nested (levels), built and dropped", r'''
with Measure() as m:
    q, depth, note = Q.eq("a", 1), 0, ""
    try:
        for depth in range(1, n + 1):
            q = Q.not_(q)
    except RecursionError:
        note = f"RecursionError at level {depth}"
    del q
report(m, note)
'''),
    # One object holding one long string, added to an index.
    "long_string": ("one string of this many bytes, indexed", r'''
import random
text = "".join(random.Random(1).choice("abcdefghij") for _ in range(n))
obj = Indexable(s=text)
index = Index()
with Measure() as m:
    index.add_object(obj)
assert index.get_by_attribute(s=text) == [obj]
report(m)
'''),
    # Many 10 KB strings: the index should cost a few times the strings' own size at most.
    "many_strings": ("strings of 10 KB each, one per object, indexed (strings)", r'''
import random
rng = random.Random(2)
size = int(os.environ.get("SCALING_STRING_BYTES", "10240"))
objs = [Indexable(s=f"{i:08d}" + "".join(rng.choice("abcdefghij") for _ in range(size - 8)))
        for i in range(n)]
index = Index()
with Measure() as m:
    index.add_object_many(objs)
own = n * size
report(m, f"strings hold {own / (1 << 20):.2f} MiB; growth is {(m.rss_after - m.rss) / own:.1f}x that")
'''),
    # Stack depth: lists nested inside lists.
    "nested_lists": ("lists nested this deep, indexed", r'''
value = "innermost"
for _ in range(n):
    value = [value]
obj = Indexable(l=value)
index = Index()
with Measure() as m:
    index.add_object(obj)
assert index.get_by_attribute(l="innermost") == [obj]
report(m)
'''),
    # Stack depth: the head of a linked list, its whole tail nested under it.
    "linked_head": ("head of a linked list added (nodes)", r'''
head = None
for i in range(n):
    head = Indexable(v=i, nxt=head)
index = Index()
with Measure() as m:
    index.add_object(head)
report(m)
'''),
    # Stack depth: the last reference to a chain of objects dropped (no index at all).
    "drop_chain": ("chain of Indexable objects dropped (objects)", r'''
head = None
for i in range(n):
    head = Indexable(v=i, nxt=head)
with Measure() as m:
    del head
report(m)
'''),
    # Garbage collection: dropped parent/child pairs with a back link.
    "dropped_cycles": ("parent/child pairs with a back link dropped, then gc (pairs)", r'''
with Measure() as m:
    for i in range(n):
        parent = Indexable(k=i)
        parent.child = Indexable(up=parent)
    del parent
    gc.collect()
report(m, "RSS growth = memory kept after gc.collect()")
'''),
}

DEFAULTS = {
    "linked_list": "100000",
    "missing_reads": "20000",
    "missing_queries": "20000",
    "not_depth": "8000",
    "long_string": "10240,40960",
    "many_strings": "10000",
    "nested_lists": "50000",
    "linked_head": "20000",
    "drop_chain": "100000",
    "dropped_cycles": "200000",
}


def run_case(python: str, case: str, size: int, timeout: float) -> dict:
    code = MEASURE + textwrap.dedent(CASES[case][1])
    try:
        proc = subprocess.run([python, "-c", code, str(size)], capture_output=True, text=True,
                              timeout=timeout, env=dict(os.environ))
    except subprocess.TimeoutExpired:
        return {"outcome": f"timeout (> {timeout:.0f} s)"}
    if proc.returncode < 0:
        try:
            name = signal.Signals(-proc.returncode).name
        except ValueError:
            name = str(-proc.returncode)
        return {"outcome": f"crash ({name})"}
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["?"])[-1]
        return {"outcome": f"failed: {last[:80]}"}
    try:
        result = json.loads(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"outcome": "no result printed"}
    result["outcome"] = "ok"
    return result


def cell(value, fmt):
    return "" if value is None else format(value, fmt)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter that runs the cases (default: this one)")
    parser.add_argument("--timeout", type=float, default=120.0,
                        help="seconds allowed for one case at one size (default 120)")
    parser.add_argument("--only", default=",".join(CASES),
                        help="comma-separated cases to run (default: all)")
    for case, default in DEFAULTS.items():
        parser.add_argument("--" + case.replace("_", "-"), default=default, metavar="SIZES",
                            help=f"{CASES[case][0]} (default {default})")
    args = parser.parse_args(argv)

    chosen = [c.strip() for c in args.only.split(",") if c.strip()]
    unknown = [c for c in chosen if c not in CASES]
    if unknown:
        parser.error(f"unknown case(s): {', '.join(unknown)}; known: {', '.join(CASES)}")

    print("| case | size | outcome | seconds | RSS growth (MiB) | peak growth (MiB) | note |")
    print("| --- | ---: | --- | ---: | ---: | ---: | --- |")
    for case in chosen:
        sizes = [int(s) for s in getattr(args, case).split(",") if s.strip()]
        for size in sizes:
            r = run_case(args.python, case, size, args.timeout)
            print(f"| {CASES[case][0]} | {size:,} | {r['outcome']} | "
                  f"{cell(r.get('seconds'), '.3f')} | {cell(r.get('rss_growth'), '.1f')} | "
                  f"{cell(r.get('peak_growth'), '.1f')} | {r.get('note', '')} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
