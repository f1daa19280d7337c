"""How Quorvane's memory and costs grow from 1 million to 10 million objects, beside plain Python
objects with a hand-written dict-of-sets index and a pandas DataFrame of the same values.

    python benchmarks/growth.py                          # 1M, 5M and 10M objects (~15 minutes
                                                         # on 2 cores; 13 GiB at its peak)
    python benchmarks/growth.py --quick                  # 100k and 500k objects, written to
                                                         # build/benchmarks-growth-quick.md
    python benchmarks/growth.py --sizes 1000000,5000000  # chosen sizes
    python benchmarks/growth.py --render build/benchmarks-growth.json   # the report again
    python benchmarks/growth.py --moonshot               # opt-in, not part of `make bench`:
                                                         # 100 million objects of 3 attributes

The default run writes build/benchmarks-growth.md, which benchmarks/compare.py puts into
docs/benchmarks.md (`make bench` runs both), and the raw figures to build/benchmarks-growth.json.

Every tool runs at every size in a fresh interpreter, one after the other. Before a process
starts, its peak memory is estimated (from the figures of a smaller size of the same run where
there is one); a size that would not fit in what the machine has available is skipped and the
report says so. The workload, generated from a fixed seed (numpy's generator, identical in every
process): per object a unique int `id` (a permutation of 0..n-1), an int `k` of 1,000 values, a
float `f` in [0, 1), a 10-character str `s` drawn from 100,000 distinct strings, and `tags`, a list
of 1 to 3 distinct strings of 30 (Zipf weights: `tag00` is in about 43% of the lists, `tag29` in
2%). The values are made before anything is measured and shared by the objects (as values read
once and referenced by the objects would be).

Tools (one process each):
  quorvane   `Item(id=..., k=..., f=..., s=..., tags=...)` objects (an Indexable subclass built with
             keywords) and one Index over them, filled with one add_object_many call
  hand       plain objects (a class whose __init__ sets the five attributes) and a hand-written
             index: a dict per attribute of value -> set of objects (tags element by element), a
             sorted list of the keys of id, k, f and s for ranges and pages; for the unique id also
             an id -> object dict, measured on its own
  pandas     a DataFrame of the five columns (default dtypes: int64, float64, str, and tags as
             an object column of the lists) and the tags exploded beside it as a str Series (one
             row per element, labelled by the row), made with the frame; a pandas user has rows,
             not objects, so its answers are lists of the `id` values of the rows
  unique     one-hit equality on a unique 10-character str `u`: Quorvane objects of that one
             attribute at 10,000 objects and at every size, beside a dict lookup returning a list
  small      10,000 indexes of 10 objects of 3 attributes, indexes of one object, empty ones, and
             what an attribute that no member of an index has costs that index (Quorvane and hand)

Every answer is checked in its own process against a scan of the Python values (the hit count and
the ids of the hits, the ids in order for a page, every count of a grouping); a mismatch is
reported under Problems and makes the exit status 1.

The moonshot (`--moonshot`, opt-in) makes 100 million objects of three small attributes (an int
id, an int of 1,000 values, a str from a pool of 1,000 strings) in chunks of a million, each added
with add_object_many and dropped from Python (the index keeps them), and reports the peak and final
resident memory and whether it fit. It stops early, and says so, when less memory is left than two
more chunks need. The exact command:

    .venv/bin/python benchmarks/growth.py --moonshot

(`--moonshot-objects N` makes N objects instead.) It prints its table and writes it to
build/benchmarks-growth-moonshot.md, the raw figures beside it in .json.
"""
from __future__ import annotations

import argparse
import collections
import datetime
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from bisect import bisect_left, bisect_right
from itertools import chain, islice, repeat
from operator import attrgetter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
GIB = 1 << 30

SEED = 20261208
K_VALUES = 1000
S_VALUES = 100_000
TAGS = tuple(f"tag{j:02d}" for j in range(30))
TAG_WEIGHT_EXPONENT = 1.0  # Zipf weights of the tags: tag00 in ~43% of the lists
COMMON_TAG = "tag00"
COMMON_TAG_SHARE = 0.43
AND_HITS = 300  # the and_ of 4 conditions aims at about this many hits at every size
SCATTERED_HITS = 100_000
RANGE_HITS = 999
PAGE = 20
SMALL_INDEXES, SMALL_OBJECTS = 10_000, 10
UNIQUE_SMALL = 10_000

DEFAULT_SIZES = (1_000_000, 5_000_000, 10_000_000)
QUICK_SIZES = (100_000, 500_000)
MAIN_TOOLS = ("quorvane", "hand", "pandas")

# Peak resident memory of a process, before any run of this invocation gives a better figure:
# (fixed bytes, bytes per object), on the high side. Values, objects, index and the answers
# kept for the checks are all in it.
ESTIMATE = {"quorvane": (200e6, 1500), "hand": (200e6, 1400), "pandas": (300e6, 600),
            "unique": (150e6, 600), "small": (1.5e9, 0)}
MARGIN = 1.5 * GIB  # left for the rest of the machine


# =============================================================================================
# Measuring, shared by the workers
# =============================================================================================

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak():
    """Resets VmHWM to the current resident size; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def malloc_trim():
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        return True
    except (OSError, AttributeError):
        return False


def mem_available():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def log(text):
    print(text, file=sys.stderr, flush=True)


class Peak:
    """Tracks the process's peak resident size across resets of VmHWM."""

    def __init__(self):
        self.seen = 0

    def reset(self):
        self.seen = max(self.seen, status("VmHWM"))
        return reset_peak()

    def process_peak(self):
        return max(self.seen, status("VmHWM"))


def timed(fn, budget=2.0, samples=9, batch_s=0.005):
    """Median and fastest ms per call: samples of back-to-back calls lasting about batch_s each
    (one call for slow functions), at least 3 samples, fewer than `samples` past the budget."""
    fn()
    start = time.perf_counter()
    fn()
    one = time.perf_counter() - start
    k = max(1, min(200_000, int(batch_s / max(one, 1e-8))))
    per, begun = [], time.perf_counter()
    while len(per) < samples:
        t0 = time.perf_counter()
        for _ in repeat(None, k):
            fn()
        per.append((time.perf_counter() - t0) / k)
        if len(per) >= 3 and time.perf_counter() - begun > budget:
            break
    return {"ms": statistics.median(per) * 1000, "min_ms": min(per) * 1000, "samples": len(per),
            "batch": k}


def measure(fn, check, slow=0.3):
    """Calls fn once and hands its answer to check, then times it: a call slower than `slow`
    seconds counts as the first of three samples of one call each; faster ones go to timed()."""
    t0 = time.perf_counter()
    answer = fn()
    first = time.perf_counter() - t0
    check(answer)
    del answer
    if first <= slow:
        return timed(fn)
    per = [first]
    for _ in range(2):
        t0 = time.perf_counter()
        fn()
        per.append(time.perf_counter() - t0)
    return {"ms": statistics.median(per) * 1000, "min_ms": min(per) * 1000, "samples": 3,
            "batch": 1}


class Checks:
    def __init__(self):
        self.rows = []

    def same(self, what, got, expected):
        ok = got == expected
        detail = "" if ok else f"got {short(got)}, a scan {short(expected)}"
        self.rows.append([what, ok, detail])
        if not ok:
            log(f"    CHECK FAILED: {what}: {detail}")
        return ok

    def ids(self, what, objs, expected_ids):
        """An unordered answer of objects: hit count and the set of their ids."""
        got = sorted(o.id for o in objs)
        return self.same(what, [len(got), got], [len(expected_ids), expected_ids])


def short(value):
    text = repr(value)
    return text if len(text) < 100 else text[:97] + "..."


def module_state():
    import Quorvane
    path = Quorvane.__file__
    return {"version": Quorvane.__version__, "module_mtime": os.path.getmtime(path)}


# =============================================================================================
# The workload
# =============================================================================================

def pooled(pool, arr, chunk=1 << 16):
    """[pool[i] for i in arr], converted a chunk at a time: no list of n temporary ints is left
    as free memory for the objects measured later to reuse."""
    out = []
    for lo in range(0, len(arr), chunk):
        out.extend(map(pool.__getitem__, arr[lo:lo + chunk].tolist()))
    return out


def make_values(n, seed=SEED):
    """The five columns as Python lists (values shared between objects where they repeat), and
    the numpy array of f (for choosing constants)."""
    import numpy as np
    rng = np.random.default_rng(seed)
    ids = rng.permutation(n).tolist()
    kpool = list(range(K_VALUES))
    ks = pooled(kpool, rng.integers(0, K_VALUES, n))
    farr = rng.random(n)
    fs = farr.tolist()
    # 100,000 distinct strings of 10 lowercase letters.
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    raw = rng.integers(0, 26 ** 10, int(S_VALUES * 1.1))
    _, first = np.unique(raw, return_index=True)
    raw = raw[np.sort(first)][:S_VALUES]
    digits = (raw[:, None] // (26 ** np.arange(10))) % 26
    spool = ["".join(row) for row in letters[digits]]
    ss = pooled(spool, rng.integers(0, S_VALUES, n))
    # Tags: 1 to 3 distinct tags, drawn without replacement with Zipf weights (Gumbel top-k).
    logw = -TAG_WEIGHT_EXPONENT * np.log(np.arange(1, len(TAGS) + 1))
    counts = rng.integers(1, 4, n)
    tags = []
    chunk = 1 << 16
    for lo in range(0, n, chunk):
        m = min(chunk, n - lo)
        keys = logw + rng.gumbel(size=(m, len(TAGS)))
        top = np.argsort(-keys, axis=1)[:, :3]
        c = counts[lo:lo + m]
        code = np.where(c == 1, top[:, 0],
                        np.where(c == 2, 30 + top[:, 0] * 30 + top[:, 1],
                                 930 + top[:, 0] * 900 + top[:, 1] * 30 + top[:, 2]))
        tags.extend(map(list, map(TAG_LISTS.__getitem__, code.tolist())))
        del keys, top, code
    return {"id": ids, "k": ks, "f": fs, "s": ss, "tags": tags}, farr


# Every list of 1 to 3 distinct tags, by code: a; 30 + 30a + b; 930 + 900a + 30b + c.
TAG_LISTS = ([(TAGS[a],) for a in range(30)]
             + [(TAGS[a], TAGS[b]) for a in range(30) for b in range(30)]
             + [(TAGS[a], TAGS[b], TAGS[c]) for a in range(30) for b in range(30)
                for c in range(30)])


def constants(n, farr):
    """The query constants at size n: the and_ of 4 conditions aims at ~AND_HITS hits, the
    scattered answer at ~SCATTERED_HITS, the narrow ranges at exactly RANGE_HITS."""
    import numpy as np
    frac = min(1.0, math.sqrt(AND_HITS * K_VALUES / (n * COMMON_TAG_SHARE)))
    sorted_f = np.sort(farr)
    j = n // 2
    a = n // 3
    return {
        "and_k": 7, "and_tag": COMMON_TAG, "and_f": round(frac, 6), "and_id": int(n * (1 - frac)),
        "pair_k": 11, "pair_tag": COMMON_TAG,
        "range_id": (a, a + RANGE_HITS - 1),
        "range_f": (float(sorted_f[j]), float(sorted_f[min(n - 1, j + RANGE_HITS - 1)])),
        "scatter_k": max(1, min(K_VALUES, round(SCATTERED_HITS * K_VALUES / n))),
    }


def expectations(v, c):
    """The answers of every query, from scans of the Python values."""
    import heapq
    ids, ks, fs, ss, tags = v["id"], v["k"], v["f"], v["s"], v["tags"]
    K, T, F, I = c["and_k"], c["and_tag"], c["and_f"], c["and_id"]
    e = {}
    e["and4"] = sorted(a for a, b, x, t in zip(ids, ks, fs, tags)
                       if b == K and T in t and x < F and a >= I)
    e["page"] = [ids[i] for i in heapq.nsmallest(PAGE, range(len(fs)), key=fs.__getitem__)]
    e["count_by_k"] = collections.Counter(ks)
    e["count_by_s"] = collections.Counter(ss)
    lo, hi = c["range_id"]
    e["range_id"] = sorted(a for a in ids if lo <= a <= hi)
    lo, hi = c["range_f"]
    e["range_f"] = sorted(a for a, x in zip(ids, fs) if lo <= x <= hi)
    K2, T2 = c["pair_k"], c["pair_tag"]
    e["pair"] = sorted(a for a, b, t in zip(ids, ks, tags) if b == K2 and T2 in t)
    e["eq_k"] = sorted(a for a, b in zip(ids, ks) if b == K2)
    sk = c["scatter_k"]
    e["scatter_pos"] = [i for i, b in enumerate(ks) if b < sk]
    e["scatter"] = sorted(ids[i] for i in e["scatter_pos"])
    return e


def hits_of(e):
    return {key: len(e[key]) for key in ("and4", "range_id", "range_f", "pair", "eq_k", "scatter")}


def prepare(n):
    """Values, constants and expected answers; the values are frozen out of the cyclic GC."""
    t0 = time.perf_counter()
    v, farr = make_values(n)
    c = constants(n, farr)
    del farr
    e = expectations(v, c)
    gc.collect()
    gc.freeze()
    malloc_trim()
    log(f"    values and scans: {time.perf_counter() - t0:.1f} s")
    return v, c, e


# =============================================================================================
# Workers: one tool at one size, in a fresh process; each prints one JSON line
# =============================================================================================

def work_quorvane(n):
    v, c, e = prepare(n)
    from Quorvane import Index, Indexable, PyQueryExpr as Q

    class Item(Indexable):
        pass

    out = {"module": module_state(), "hits": hits_of(e), "constants": c}
    checks, peak = Checks(), Peak()
    ids, ks, fs, ss, tags = v["id"], v["k"], v["f"], v["s"], v["tags"]

    m0 = rss()
    t0 = time.perf_counter()
    objs = [Item(id=a, k=b, f=x, s=s, tags=t) for a, b, x, s, t in zip(ids, ks, fs, ss, tags)]
    out["construct_s"] = time.perf_counter() - t0
    gc.collect()
    m1 = rss()
    out["objects_bpo"] = (m1 - m0) / n

    peak.reset()
    start = rss()
    t0 = time.perf_counter()
    index = Index()
    index.add_object_many(objs)
    out["bulk_s"] = time.perf_counter() - t0
    hwm = status("VmHWM")
    gc.collect()
    m2 = rss()
    malloc_trim()
    m3 = rss()
    out["index_bpo"] = (m2 - m1) / n
    out["index_kept_bpo"] = (m3 - m1) / n
    out["all_in_bpo"] = (m2 - m0) / n
    out["peak_extra_bpo"] = (hwm - start) / n
    log(f"    objects {out['construct_s']:.1f} s, add_object_many {out['bulk_s']:.1f} s, "
        f"index {out['index_bpo']:.0f} B/object")
    gc.freeze()

    K, T, F, I = c["and_k"], c["and_tag"], c["and_f"], c["and_id"]
    K2, T2 = c["pair_k"], c["pair_tag"]
    id_lo, id_hi = c["range_id"]
    f_lo, f_hi = c["range_f"]
    sk = c["scatter_k"]
    pos = e["scatter_pos"]
    # Baselines on the same objects: a list of the objects sorted by the attribute and the
    # sorted keys beside it (the bisect slice), and the floor.
    by_id = sorted(objs, key=attrgetter("id"))
    keys_id = [o.id for o in by_id]
    by_f = sorted(objs, key=attrgetter("f"))
    keys_f = [o.f for o in by_f]

    q = {}

    def run(key, fn, check):
        q[key] = measure(fn, check)

    run("and4_count", lambda: index.count(Q.and_(Q.eq("k", K), Q.eq("tags", T), Q.lt("f", F),
                                                  Q.ge("id", I))),
        lambda r: checks.same("and_ of 4 conditions, count", r, len(e["and4"])))
    run("and4", lambda: index.reduced_query(Q.and_(Q.eq("k", K), Q.eq("tags", T), Q.lt("f", F),
                                                   Q.ge("id", I))).collect(),
        lambda r: checks.ids("and_ of 4 conditions, collect", r, e["and4"]))
    run("page", lambda: index.order_by("f").limit(PAGE).collect(),
        lambda r: checks.same("order_by(f).limit(20)", [o.id for o in r], e["page"]))
    run("count_by_k", lambda: index.count_by("k"),
        lambda r: checks.same("count_by(k)", r, e["count_by_k"]))
    run("count_by_s", lambda: index.count_by("s"),
        lambda r: checks.same("count_by(s)", r, e["count_by_s"]))
    run("range_id", lambda: index.reduced_query(Q.bt("id", id_lo, id_hi)).collect(),
        lambda r: checks.ids("bt id", r, e["range_id"]))
    run("range_f", lambda: index.reduced_query(Q.bt("f", f_lo, f_hi)).collect(),
        lambda r: checks.ids("bt f", r, e["range_f"]))
    run("slice_id", lambda: by_id[bisect_left(keys_id, id_lo):bisect_right(keys_id, id_hi)],
        lambda r: checks.ids("bisect slice of the objects sorted by id", r, e["range_id"]))
    run("slice_f", lambda: by_f[bisect_left(keys_f, f_lo):bisect_right(keys_f, f_hi)],
        lambda r: checks.ids("bisect slice of the objects sorted by f", r, e["range_f"]))
    run("pair", lambda: index.reduced_query(Q.and_(Q.eq("k", K2), Q.eq("tags", T2))).collect(),
        lambda r: checks.ids("and_ eq k, eq tags", r, e["pair"]))
    run("eq_k", lambda: index.reduced_query(Q.eq("k", K2)).collect(),
        lambda r: checks.ids("eq k", r, e["eq_k"]))
    run("scatter", lambda: index.reduced_query(Q.lt("k", sk)).collect(),
        lambda r: checks.ids("lt k, scattered hits", r, e["scatter"]))
    run("floor", lambda: [objs[i] for i in pos],
        lambda r: checks.ids("floor", r, e["scatter"]))
    checks.same("len(index)", len(index), n)
    out["queries"] = q
    out["checks"] = checks.rows
    out["peak_rss"] = peak.process_peak()
    return out


class HandIndex:
    """The hand-written index: a dict per attribute of value -> set of objects (the elements of
    list attributes one by one), and the sorted keys of the scalar attributes."""

    def __init__(self, objs, scalar, lists, sorted_keys=True):
        self.by, self.keys = {}, {}
        for attr in scalar:
            self.by[attr] = sets_of(objs, attr)
        for attr in lists:
            self.by[attr] = sets_of_elements(objs, attr)
        if sorted_keys:
            for attr in scalar:
                self.keys[attr] = sorted(self.by[attr])


def sets_of(objs, attr):
    d = collections.defaultdict(set)
    for o, value in zip(objs, map(attrgetter(attr), objs)):
        d[value].add(o)
    return d


def sets_of_elements(objs, attr):
    d = collections.defaultdict(set)
    for o, values in zip(objs, map(attrgetter(attr), objs)):
        for value in values:
            d[value].add(o)
    return d


EMPTY = frozenset()


class Plain:
    def __init__(self, id, k, f, s, tags):
        self.id = id
        self.k = k
        self.f = f
        self.s = s
        self.tags = tags


def work_hand(n):
    v, c, e = prepare(n)
    out = {"hits": hits_of(e), "constants": c}
    checks, peak = Checks(), Peak()
    ids, ks, fs, ss, tags = v["id"], v["k"], v["f"], v["s"], v["tags"]

    m0 = rss()
    t0 = time.perf_counter()
    objs = [Plain(a, b, x, s, t) for a, b, x, s, t in zip(ids, ks, fs, ss, tags)]
    out["construct_s"] = time.perf_counter() - t0
    gc.collect()
    m1 = rss()
    out["objects_bpo"] = (m1 - m0) / n

    # The index, part by part: each part's time, and its resident growth after gc.collect().
    peak.reset()
    start = rss()
    parts, seconds, by, keys = {}, {}, {}, {}
    steps = [(f"{attr}_sets", lambda attr=attr: by.__setitem__(attr, sets_of(objs, attr)))
             for attr in ("id", "k", "f", "s")]
    steps.append(("tags_sets", lambda: by.__setitem__("tags", sets_of_elements(objs, "tags"))))
    steps += [(f"{attr}_keys", lambda attr=attr: keys.__setitem__(attr, sorted(by[attr])))
              for attr in ("id", "k", "f", "s")]
    for name, step in steps:
        before = rss()
        t0 = time.perf_counter()
        step()
        seconds[name] = time.perf_counter() - t0
        gc.collect()
        parts[name] = (rss() - before) / n
    hwm = status("VmHWM")
    m2 = rss()
    out["bulk_s"] = sum(seconds.values())
    out["index_bpo"] = (m2 - m1) / n
    out["peak_extra_bpo"] = (hwm - start) / n
    malloc_trim()
    out["index_kept_bpo"] = (rss() - m1) / n
    out["all_in_bpo"] = (m2 - m0) / n
    # The id -> object dict, the other way to index a unique attribute.
    before = rss()
    t0 = time.perf_counter()
    id_obj = {o.id: o for o in objs}
    seconds["id_dict"] = time.perf_counter() - t0
    gc.collect()
    parts["id_dict"] = (rss() - before) / n
    out["parts_bpo"], out["parts_s"] = parts, seconds
    out["index_iddict_bpo"] = out["index_bpo"] - parts["id_sets"] + parts["id_dict"]
    out["all_in_iddict_bpo"] = out["all_in_bpo"] - parts["id_sets"] + parts["id_dict"]
    out["bulk_iddict_s"] = out["bulk_s"] - seconds["id_sets"] + seconds["id_dict"]
    log(f"    objects {out['construct_s']:.1f} s, hand index {out['bulk_s']:.1f} s, "
        f"index {out['index_bpo']:.0f} B/object")
    gc.freeze()

    K, T, F, I = c["and_k"], c["and_tag"], c["and_f"], c["and_id"]
    K2, T2 = c["pair_k"], c["pair_tag"]
    id_lo, id_hi = c["range_id"]
    f_lo, f_hi = c["range_f"]
    sk = c["scatter_k"]
    by_id, by_k, by_f, by_s, by_tags = by["id"], by["k"], by["f"], by["s"], by["tags"]
    keys_id, keys_k, keys_f = keys["id"], keys["k"], keys["f"]

    def below(ks_, d, x):  # the objects of the keys < x
        return chain.from_iterable(map(d.__getitem__, ks_[:bisect_left(ks_, x)]))

    def from_(ks_, d, x):  # the objects of the keys >= x
        return chain.from_iterable(map(d.__getitem__, ks_[bisect_left(ks_, x):]))

    def between(ks_, d, lo, hi):
        return chain.from_iterable(map(d.__getitem__,
                                       ks_[bisect_left(ks_, lo):bisect_right(ks_, hi)]))

    def and4_sets():
        sets = sorted((by_k.get(K, EMPTY), by_tags.get(T, EMPTY), set(below(keys_f, by_f, F)),
                       set(from_(keys_id, by_id, I))), key=len)
        return sets[0].intersection(*sets[1:])

    q = {}

    def run(key, fn, check):
        q[key] = measure(fn, check)

    run("and4", lambda: list(and4_sets()),
        lambda r: checks.ids("and_ of 4 conditions, set intersection", r, e["and4"]))
    run("and4_filter", lambda: [o for o in by_k.get(K, EMPTY) & by_tags.get(T, EMPTY)
                                if o.f < F and o.id >= I],
        lambda r: checks.ids("and_ of 4 conditions, equalities then tests", r, e["and4"]))
    run("page", lambda: list(islice(chain.from_iterable(map(by_f.__getitem__, keys_f[:PAGE])),
                                    PAGE)),
        lambda r: checks.same("first 20 by f", [o.id for o in r], e["page"]))
    run("count_by_k", lambda: {value: len(objs_) for value, objs_ in by_k.items()},
        lambda r: checks.same("count by k", r, e["count_by_k"]))
    run("count_by_s", lambda: {value: len(objs_) for value, objs_ in by_s.items()},
        lambda r: checks.same("count by s", r, e["count_by_s"]))
    run("range_id", lambda: list(between(keys_id, by_id, id_lo, id_hi)),
        lambda r: checks.ids("id range", r, e["range_id"]))
    run("range_f", lambda: list(between(keys_f, by_f, f_lo, f_hi)),
        lambda r: checks.ids("f range", r, e["range_f"]))
    run("pair", lambda: list(by_k.get(K2, EMPTY) & by_tags.get(T2, EMPTY)),
        lambda r: checks.ids("eq k and eq tags", r, e["pair"]))
    run("eq_k", lambda: list(by_k.get(K2, EMPTY)),
        lambda r: checks.ids("eq k", r, e["eq_k"]))
    run("scatter", lambda: list(below(keys_k, by_k, sk)),
        lambda r: checks.ids("k below, scattered hits", r, e["scatter"]))
    probe = ids[n // 2]
    run("id_dict", lambda: [id_obj[probe]],
        lambda r: checks.same("id -> object dict", [o.id for o in r], [probe]))
    out["queries"] = q
    out["checks"] = checks.rows
    out["peak_rss"] = peak.process_peak()
    return out


def work_pandas(n):
    v, c, e = prepare(n)
    import numpy as np
    import pandas as pd
    try:
        import pyarrow
        out = {"version": f"pandas {pd.__version__} (pyarrow {pyarrow.__version__})"}
    except ImportError:
        out = {"version": f"pandas {pd.__version__}"}
    out.update(hits=hits_of(e), constants=c)
    checks, peak = Checks(), Peak()

    peak.reset()
    m0 = rss()
    t0 = time.perf_counter()
    df = pd.DataFrame({"id": v["id"], "k": v["k"], "f": v["f"], "s": v["s"], "tags": v["tags"]})
    exploded = df["tags"].explode().astype("str")
    out["bulk_s"] = time.perf_counter() - t0
    hwm = status("VmHWM")
    gc.collect()
    m1 = rss()
    out["index_bpo"] = out["all_in_bpo"] = (m1 - m0) / n
    out["peak_extra_bpo"] = (hwm - m0) / n
    malloc_trim()
    out["index_kept_bpo"] = (rss() - m0) / n
    log(f"    frame {out['bulk_s']:.1f} s, {out['index_bpo']:.0f} B/object")
    gc.freeze()

    K, T, F, I = c["and_k"], c["and_tag"], c["and_f"], c["and_id"]
    K2, T2 = c["pair_k"], c["pair_tag"]
    id_lo, id_hi = c["range_id"]
    f_lo, f_hi = c["range_f"]
    sk = c["scatter_k"]
    rows = exploded.index.to_numpy()

    def has(tag):
        m = np.zeros(len(df), dtype=bool)
        m[rows[(exploded == tag).to_numpy()]] = True
        return m

    def and4_mask():
        return (df["k"] == K).to_numpy() & has(T) & (df["f"] < F).to_numpy() & \
            (df["id"] >= I).to_numpy()

    def ids_of(mask):
        return df["id"][mask].tolist()

    q = {}

    def run(key, fn, check):
        q[key] = measure(fn, check)

    def same_ids(what, expected):
        return lambda r: checks.same(what, [len(r), sorted(r)], [len(expected), expected])

    run("and4_count", lambda: int(and4_mask().sum()),
        lambda r: checks.same("and_ of 4 conditions, count", r, len(e["and4"])))
    run("and4", lambda: ids_of(and4_mask()), same_ids("and_ of 4 conditions", e["and4"]))
    run("page", lambda: df.nsmallest(PAGE, "f")["id"].tolist(),
        lambda r: checks.same("nsmallest f", r, e["page"]))
    run("count_by_k", lambda: df["k"].value_counts().to_dict(),
        lambda r: checks.same("value_counts k", r, e["count_by_k"]))
    run("count_by_s", lambda: df["s"].value_counts().to_dict(),
        lambda r: checks.same("value_counts s", r, e["count_by_s"]))
    run("range_id", lambda: ids_of(df["id"].between(id_lo, id_hi).to_numpy()),
        same_ids("between id", e["range_id"]))
    run("range_f", lambda: ids_of(df["f"].between(f_lo, f_hi).to_numpy()),
        same_ids("between f", e["range_f"]))
    run("pair", lambda: ids_of((df["k"] == K2).to_numpy() & has(T2)),
        same_ids("eq k and tags", e["pair"]))
    run("eq_k", lambda: ids_of((df["k"] == K2).to_numpy()), same_ids("eq k", e["eq_k"]))
    run("scatter", lambda: ids_of((df["k"] < sk).to_numpy()), same_ids("k below", e["scatter"]))
    out["queries"] = q
    out["checks"] = checks.rows
    out["peak_rss"] = peak.process_peak()
    return out


def work_unique(n):
    """One-hit equality on a unique str attribute, beside a dict lookup returning a list."""
    import numpy as np
    from Quorvane import Index, Indexable, PyQueryExpr as Q

    class Item(Indexable):
        pass

    rng = np.random.default_rng(SEED + 1)
    us = [f"u{x:09d}" for x in rng.permutation(n)]
    gc.collect()
    gc.freeze()
    out = {"module": module_state()}
    checks, peak = Checks(), Peak()
    objs = [Item(u=u) for u in us]
    gc.collect()
    peak.reset()
    m0 = rss()
    index = Index()
    index.add_object_many(objs)
    gc.collect()
    out["index_bpo"] = (rss() - m0) / n
    d = {o.u: o for o in objs}
    gc.freeze()
    target = objs[n // 2]
    value = "".join(list(us[n // 2]))  # an equal string, not the object the index holds
    q = {}
    fn = lambda: index.reduced_query(Q.eq("u", value)).collect()
    checks.same("eq u", fn(), [target])
    q["eq"] = timed(fn, samples=15)
    fn = lambda: index.get_by_attribute(u=value)
    checks.same("get_by_attribute u", fn(), [target])
    q["get"] = timed(fn, samples=15)
    fn = lambda: [d[value]]
    checks.same("dict lookup", fn(), [target])
    q["dict"] = timed(fn, samples=15)
    out["queries"] = q
    out["checks"] = checks.rows
    out["peak_rss"] = peak.process_peak()
    return out


SMALL_NAMES = 10  # attribute names queried / lost per index
KNOWN_NAMES = 100  # attribute names held by objects of another index


def small_values(count, seed):
    import random
    rng = random.Random(seed)
    colors = ("red", "green", "blue", "black", "white")
    return [(i, colors[i % 5], rng.random()) for i in range(count)]


def work_small(n):
    """Many small indexes (n is unused: the sizes are fixed)."""
    tool = os.environ.get("GROWTH_SMALL_TOOL", "quorvane")
    count = SMALL_INDEXES * SMALL_OBJECTS
    rows = small_values(count, SEED)
    out = {"tool": tool}
    checks = Checks()
    if tool == "quorvane":
        from Quorvane import Index, Indexable, PyQueryExpr as Q

        class Item(Indexable):
            pass
        out["module"] = module_state()

        def make(rows_):
            return [Item(a=a, b=b, c=c) for a, b, c in rows_]

        def build(objs_):
            ix = Index()
            ix.add_object_many(objs_)
            return ix
    else:
        class Small:
            def __init__(self, a, b, c):
                self.a = a
                self.b = b
                self.c = c

        def make(rows_):
            return [Small(a, b, c) for a, b, c in rows_]

        def build(objs_):
            return HandIndex(objs_, ("a", "b", "c"), ())

    gc.collect()
    m = rss()
    objs = make(rows)
    gc.collect()
    out["object_bytes"] = (rss() - m) / count
    more = [make(rows)]  # for a further batch, made before measuring
    singles = make(rows[:SMALL_INDEXES])
    gc.collect()
    gc.freeze()

    def per_index(fn, indexes=SMALL_INDEXES):
        gc.collect()
        before = rss()
        kept = fn()
        gc.collect()
        return kept, (rss() - before) / indexes

    def of_ten(pool):
        return [build(pool[j * SMALL_OBJECTS:(j + 1) * SMALL_OBJECTS])
                for j in range(SMALL_INDEXES)]

    tens, out["index_10"] = per_index(lambda: of_ten(objs))
    ones, out["index_1"] = per_index(lambda: [build([o]) for o in singles])
    empties, out["index_0"] = per_index(lambda: [build([]) for _ in range(SMALL_INDEXES)])
    middle = SMALL_INDEXES // 2
    sample, members = tens[middle], objs[middle * SMALL_OBJECTS:(middle + 1) * SMALL_OBJECTS]
    if tool == "quorvane":
        checks.same("index of 10: members", sorted(o.a for o in sample.collect()),
                    sorted(o.a for o in members))
        checks.same("index of 10: eq b", sorted(o.a for o in sample.reduced_query(
            Q.eq("b", "red")).collect()), sorted(o.a for o in members if o.b == "red"))
        checks.same("index of 1", [o.a for o in ones[3].collect()], [singles[3].a])
        names = [f"absent{j}" for j in range(SMALL_NAMES)]

        def query_absent():
            for ix in tens:
                for name in names:
                    ix.count(Q.eq(name, 1))
                    ix.count_by(name)
                    ix.order_by(name).limit(1).collect()
        _, grew = per_index(query_absent)
        out["absent_queried"] = grew / SMALL_NAMES
        checks.same("absent attribute: count", tens[0].count(Q.eq(names[0], 1)), 0)
        # Attribute names that objects of another index hold.
        holder = Item(**{f"known{j}": j for j in range(KNOWN_NAMES)})
        other = build([holder])
        tens_b, per_b = per_index(lambda: of_ten(more[0]))
        out["index_10_after_names"] = per_b
        out["absent_known"] = (per_b - out["index_10"]) / KNOWN_NAMES
        checks.same("the index of the object with other names", len(other), 1)
        # Attributes every member once had: an object holding them added, then removed.
        lost = [Item(**{f"lost{j}": j for j in range(SMALL_NAMES)}) for _ in range(SMALL_INDEXES)]

        def add_and_remove():
            for ix, o in zip(tens, lost):
                ix.add_object(o)
                ix.remove_object(o)
        _, grew = per_index(add_and_remove)
        out["absent_lost"] = grew / SMALL_NAMES
        checks.same("lost attribute: count", tens[0].count(Q.eq("lost0", 0)), 0)
        checks.same("index of 10 after add/remove", len(tens[0]), SMALL_OBJECTS)
        del tens_b, other
    else:
        checks.same("index of 10: eq b", sorted(o.a for o in sample.by["b"].get("red", EMPTY)),
                    sorted(o.a for o in members if o.b == "red"))
    out["checks"] = checks.rows
    out["peak_rss"] = status("VmHWM")
    return out


def work_moonshot(n):
    """n objects of three small attributes, in chunks of a million, into one index."""
    import numpy as np
    from Quorvane import Index, Indexable, PyQueryExpr as Q

    class Item(Indexable):
        pass

    chunk = 1_000_000
    rng = np.random.default_rng(SEED + 2)
    kpool = list(range(1000))
    spool = [f"name-{j:04d}" for j in range(1000)]
    out = {"module": module_state(), "objects": n, "chunk": chunk}
    index = Index()
    gc.disable()  # nothing here makes cycles; a full collection would walk every object
    made, t0 = 0, time.perf_counter()
    k_counts = np.zeros(1000, dtype=np.int64)
    per_chunk = None
    peak = Peak()
    out["stopped"] = None
    while made < n:
        m = min(chunk, n - made)
        left = mem_available()
        need = 2 * (per_chunk or 400 * chunk) + MARGIN
        if left < need:
            out["stopped"] = (f"stopped at {made:,} objects: {left / GIB:.1f} GiB available, "
                              f"two more chunks and a margin need {need / GIB:.1f} GiB")
            break
        peak.reset()
        before = rss()
        kk = rng.integers(0, 1000, m)
        k_counts += np.bincount(kk, minlength=1000)
        sk = rng.integers(0, 1000, m).tolist()
        objs = [Item(id=i, k=kpool[a], s=spool[b])
                for i, a, b in zip(range(made, made + m), kk.tolist(), sk)]
        index.add_object_many(objs)
        del objs, kk, sk
        made += m
        per_chunk = max(per_chunk or 0, status("VmHWM") - before)
        if made % (10 * chunk) == 0 or made == n:
            log(f"    {made:,} objects, RSS {rss() / GIB:.1f} GiB, peak "
                f"{peak.process_peak() / GIB:.1f} GiB, {time.perf_counter() - t0:.0f} s")
    out["made"] = made
    out["seconds"] = time.perf_counter() - t0
    out["peak_rss"] = peak.process_peak()
    out["final_rss"] = rss()
    checks = Checks()
    checks.same("len(index)", len(index), made)
    checks.same("count eq k", index.count(Q.eq("k", 7)), int(k_counts[7]))
    probe = made // 2
    checks.same("eq id", [o.id for o in index.reduced_query(Q.eq("id", probe)).collect()], [probe])
    out["checks"] = checks.rows
    out["fit"] = made == n and out["stopped"] is None
    return out


WORKERS = {"quorvane": work_quorvane, "hand": work_hand, "pandas": work_pandas,
           "unique": work_unique, "small": work_small, "moonshot": work_moonshot}


# =============================================================================================
# The coordinator
# =============================================================================================

def run_worker(tool, n, timeout, env=None):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", tool, str(n)]
    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=None, text=True, timeout=timeout,
                              env=dict(os.environ, **(env or {})))
    except subprocess.TimeoutExpired:
        return {"outcome": f"timeout (> {timeout:.0f} s)"}
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        if proc.returncode < 0:
            return {"outcome": f"killed by signal {-proc.returncode}", "seconds": elapsed}
        return {"outcome": f"failed (exit status {proc.returncode})", "seconds": elapsed}
    try:
        result = json.loads(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"outcome": "no result printed", "seconds": elapsed}
    result.update(outcome="ok", seconds=elapsed)
    return result


class Planner:
    """Estimates a process's peak memory: the per-object figure of ESTIMATE, or the one measured
    at a smaller size of this run (trusted alone from a million objects up, where the fixed part
    no longer hides it; below that it can only raise the estimate)."""

    def __init__(self):
        self.learned = {}  # tool -> (objects, bytes per object)

    def learn(self, tool, n, result):
        if result.get("outcome") == "ok" and result.get("peak_rss"):
            per = (result["peak_rss"] - ESTIMATE[tool][0]) / n
            if n >= self.learned.get(tool, (0, 0))[0]:
                self.learned[tool] = (n, per)

    def estimate(self, tool, n):
        fixed, per = ESTIMATE[tool]
        if tool in self.learned:
            at, measured = self.learned[tool]
            per = measured * 1.3 if at >= 1_000_000 else max(per, measured * 1.3)
        return fixed + per * n


def available(module):
    import importlib.util
    return importlib.util.find_spec(module) is not None


def coordinate(sizes, md_path, json_path, command):
    planner = Planner()
    runs = []  # (tool, n, result)
    started = time.perf_counter()

    def launch(tool, n, env=None, label=None):
        label = label or tool
        need = planner.estimate(tool, n)
        free = mem_available()
        if need + MARGIN > free:
            result = {"outcome": f"skipped: needs about {need / GIB:.1f} GiB, "
                                 f"{free / GIB:.1f} GiB available",
                      "estimate": need}
            log(f"{label} {n:,}: {result['outcome']}")
        elif label == "pandas" and not available("pandas"):
            result = {"outcome": "pandas is not installed (`make bench` installs it)"}
            log(f"{label} {n:,}: {result['outcome']}")
        else:
            log(f"{label} {n:,}: estimated peak {need / GIB:.1f} GiB of {free / GIB:.1f} GiB "
                "available")
            result = run_worker(tool, n, timeout=900 + n * 3e-4, env=env)
            result["estimate"] = need
            planner.learn(tool, n, result)
            log(f"{label} {n:,}: {result['outcome']} in {result.get('seconds', 0):.0f} s, peak "
                f"{result.get('peak_rss', 0) / GIB:.2f} GiB")
        runs.append((label, n, result))
        return result

    for n in sizes:
        for tool in MAIN_TOOLS:
            launch(tool, n)
    for n in sorted({UNIQUE_SMALL, *sizes}):
        launch("unique", n)
    for tool in ("quorvane", "hand"):
        launch("small", SMALL_INDEXES * SMALL_OBJECTS, env={"GROWTH_SMALL_TOOL": tool},
               label=f"small_{tool}")
    elapsed = time.perf_counter() - started
    meta = {"command": command, "date": datetime.date.today().isoformat(),
            "source": source_state(), "machine": machine(), "elapsed": elapsed,
            "sizes": list(sizes)}
    os.makedirs(os.path.dirname(json_path), exist_ok=True)
    with open(json_path, "w") as f:
        json.dump({"meta": meta, "runs": runs}, f, indent=1)
    text, problems = render(runs, meta)
    os.makedirs(os.path.dirname(md_path), exist_ok=True)
    with open(md_path, "w") as f:
        f.write(text)
    print(text)
    log(f"wrote {md_path} and {json_path} ({elapsed / 60:.1f} minutes)")
    for p in problems:
        log("PROBLEM: " + p)
    return 1 if problems else 0


def machine():
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            total = int(f.readline().split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        total = 0
    return (f"{os.cpu_count()} cores, {cpu}, {total / GIB:.0f} GiB, Linux {platform.release()}, "
            f"Python {platform.python_version()}")


def source_state():
    try:
        head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown commit"
    return f"commit {head}" + (" with uncommitted changes in src/" if dirty else "")


# =============================================================================================
# The report
# =============================================================================================

def size_label(n):
    if n >= 1_000_000 and n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    if n >= 1000 and n % 1000 == 0:
        return f"{n // 1000}k"
    return f"{n:,}"


def fmt_ms(ms):
    if ms is None:
        return "-"
    if ms <= 0:
        return "0"
    if ms < 1:
        return f"{ms:.{2 - math.floor(math.log10(ms))}f}"
    return f"{ms:.2f}" if ms < 100 else f"{ms:,.0f}"


def fmt_s(s):
    if s is None:
        return "-"
    return f"{s:.3f}" if s < 1 else f"{s:.2f}" if s < 100 else f"{s:,.0f}"


def fmt_bytes(b):
    return "-" if b is None else f"{b:,.0f}"


def fmt_x(x):
    if x is None:
        return "-"
    if 0 < x < 0.01:
        return f"{x:.{1 - math.floor(math.log10(x))}f}x"
    return f"{x:.2f}x" if x < 10 else f"{x:,.0f}x"


def render(runs, meta):
    sizes = meta["sizes"]
    res = {(tool, n): r for tool, n, r in runs}

    def ok(tool, n):
        r = res.get((tool, n))
        return r if r and r.get("outcome") == "ok" else None

    def get(tool, n, *path):
        r = ok(tool, n)
        for p in path:
            if r is None:
                return None
            r = r.get(p)
        return r

    def qms(tool, n, key, field="ms"):
        return get(tool, n, "queries", key, field)

    ran = [n for n in sizes if any(ok(t, n) for t in MAIN_TOOLS)]
    lo = ran[0] if ran else None

    def growth(values):
        """values: {n: value}; the growth from the smallest to the largest size that ran."""
        have = [n for n in sizes if values.get(n) is not None]
        if len(have) < 2 or not values[have[0]]:
            return "-"
        a, b = have[0], have[-1]
        return f"{fmt_x(values[b] / values[a])} ({size_label(a)} → {size_label(b)})"

    header = "| measure | tool | " + " | ".join(f"{n:,}" for n in sizes) + " | growth |"
    rule = "|---|---|" + "---:|" * len(sizes) + "---|"

    def row(measure, tool_label, values, fmt):
        cells = " | ".join(fmt(values.get(n)) for n in sizes)
        return f"| {measure} | {tool_label} | {cells} | {growth(values)} |"

    problems = []
    for tool, n, r in runs:
        if r.get("outcome") != "ok" and not r["outcome"].startswith(("skipped", "pandas is not")):
            problems.append(f"{tool} at {n:,}: {r['outcome']}")
        for what, good, detail in (r.get("checks") or []):
            if not good:
                problems.append(f"{tool} at {n:,}: {what}: {detail}")
    builds = {}  # mtime of the installed module -> the processes that ran it
    for tool, n, r in runs:
        if r.get("module"):
            builds.setdefault(r["module"]["module_mtime"], []).append(f"{tool} at {size_label(n)}")

    out = [f"Generated by `{meta['command']}` on {meta['date']} from {meta['source']} "
           f"({meta['machine']}; {meta['elapsed'] / 60:.1f} minutes). Do not edit by hand: run "
           "it again."]
    if len(builds) > 1:
        stamp = lambda t: datetime.datetime.fromtimestamp(t, datetime.timezone.utc).strftime(
            "%H:%M:%S UTC")
        out += ["", "The installed module was rebuilt during the run (by other work on the "
                "engine), so its processes did not all run the same build: " + "; ".join(
                    f"the build of {stamp(t)} ran {', '.join(names)}"
                    for t, names in sorted(builds.items())) + "."]
    out += ["",
            "Each tool runs at each size in a fresh process; the processes run one after the "
            "other. The workload: per object a unique int `id` (a permutation of 0..n-1), an int "
            f"`k` of {K_VALUES:,} values, a float `f` in [0, 1), a 10-character str `s` drawn from "
            f"{S_VALUES:,} distinct strings, and `tags`, a list of 1 to 3 distinct strings of 30 "
            "drawn with Zipf weights (`tag00` is in about 43% of the lists). The values are made "
            "before anything is measured and shared by the objects. Quorvane: `Item(id=..., k=..., "
            "f=..., s=..., tags=...)` (an `Indexable` subclass built with keywords) and one "
            "`add_object_many`. Hand: plain objects (a class whose `__init__` sets the five "
            "attributes) and a dict per attribute of value -> set of objects (`tags` element by "
            "element), with a sorted list of the keys of `id`, `k`, `f` and `s` for ranges and "
            "pages; for the unique `id` also an `id -> object` dict, measured on its own. pandas: "
            "a DataFrame of the five columns (default dtypes: int64, float64, str; `tags` an "
            "object column of the lists) and the tags exploded into a str Series beside it, made "
            "with the frame; a pandas user has rows, not objects, so its answers are lists of `id` "
            "values. Every answer was checked in its process against a scan of the Python values "
            "(hit count and the ids of the hits; the ids in order for a page; every count of a "
            "grouping). Times are medians of batches of back-to-back calls (the fastest batch "
            "is in the raw figures); the machine is shared, so they move between runs. *growth* "
            "divides the figure at the largest size that ran by the one at the smallest.",
            ""]
    not_run = [f"{tool} at {n:,}: {r['outcome']}" for tool, n, r in runs
               if r.get("outcome", "").startswith(("skipped", "pandas is not"))]
    if not_run:
        out += ["Not run: " + "; ".join(not_run) + ".", ""]
    if problems:
        out += ["### Problems", ""] + [f"- {p}" for p in problems] + [""]

    # ---- targets
    targets = []

    def target(label, measured, met):
        targets.append((label, measured, met))

    def at(n):
        return f"at {n:,}"

    mid = 5_000_000 if 5_000_000 in ran else (ran[-1] if ran else None)
    if mid:
        x = get("quorvane", mid, "index_bpo")
        target(f"index bytes/object <= 150 ({at(mid)})",
               f"{fmt_bytes(x)} bytes/object" if x is not None else "not measured",
               x is not None and x <= 150)
    common = [n for n in ran if ok("quorvane", n) and ok("hand", n)]
    big = common[-1] if common else None
    if big:
        a, b = get("quorvane", big, "objects_bpo"), get("hand", big, "objects_bpo")
        target(f"Indexable bytes/object <= 1.5x the plain object with the same values ({at(big)})",
               f"{fmt_x(a / b)} ({a:,.0f} vs {b:,.0f} bytes)", a / b <= 1.5)
        a, b = get("quorvane", big, "all_in_bpo"), get("hand", big, "all_in_bpo")
        c = get("hand", big, "all_in_iddict_bpo")
        target(f"all-in below plain objects + hand index ({at(big)})",
               f"{a:,.0f} vs {b:,.0f} bytes/object ({c:,.0f} with the id -> object dict)",
               a < b and a < c)
    qbig = next((n for n in reversed(ran) if ok("quorvane", n)), None)
    if qbig:
        p = get("quorvane", qbig, "peak_extra_bpo")
        kept = get("quorvane", qbig, "index_kept_bpo")
        target(f"extra peak of a bulk add <= 1.25x the index it leaves ({at(qbig)})",
               f"{fmt_x(p / kept)} ({p:,.0f} vs {kept:,.0f} bytes/object kept after malloc_trim)",
               p / kept <= 1.25)
    five = next((n for n in ran if lo and n == 5 * lo), None)
    if lo and five and ok("quorvane", lo) and ok("quorvane", five):
        a, b = get("quorvane", lo, "bulk_s"), get("quorvane", five, "bulk_s")
        target(f"bulk add time {size_label(lo)} -> {size_label(five)} <= 5.5x",
               f"{fmt_x(b / a)} ({fmt_s(a)} s -> {fmt_s(b)} s)", b / a <= 5.5)

    def per_size(label, key, tool, base_key, limit, base_tool="hand", sizes_=None):
        cells, met, seen = [], True, False
        for n in (sizes_ or ran):
            a, b = qms("quorvane", n, key), qms(base_tool, n, base_key)
            if a is None or b is None:
                continue
            seen = True
            cells.append(f"{size_label(n)}: {fmt_x(a / b)} ({fmt_ms(a)} vs {fmt_ms(b)} ms)")
            met = met and a / b <= limit
        target(label, "; ".join(cells) if seen else "not measured", seen and met)

    per_size("`and_` of 4 conditions (`collect()`) <= the hand index's set intersection",
             "and4", "quorvane", "and4", 1.0)
    if lo and five and ok("quorvane", lo) and ok("quorvane", five):
        a, b = qms("quorvane", lo, "page"), qms("quorvane", five, "page")
        target(f"`order_by(\"f\").limit(20)` {size_label(lo)} -> {size_label(five)} <= 1.5x",
               f"{fmt_x(b / a)} ({fmt_ms(a)} -> {fmt_ms(b)} ms)", b / a <= 1.5)
    per_size("`count_by` of 1,000 values <= 3x the hand index", "count_by_k", "quorvane",
             "count_by_k", 3.0)
    per_size("`count_by` of 100,000 values <= the hand index", "count_by_s", "quorvane",
             "count_by_s", 1.0)
    if lo:
        for attr in ("id", "f"):
            a, b = qms("quorvane", lo, f"range_{attr}"), qms("quorvane", lo, f"slice_{attr}")
            if a is not None and b is not None:
                target(f"narrow range on `{attr}` ({RANGE_HITS} hits of {lo:,}) <= 2x the bisect "
                       "slice of a sorted list",
                       f"{fmt_x(a / b)} ({fmt_ms(a)} vs {fmt_ms(b)} ms)", a / b <= 2.0)
    per_size(f"`collect()` of {SCATTERED_HITS:,} scattered hits <= 1.3x the floor", "scatter",
             "quorvane", "floor", 1.3, base_tool="quorvane")
    a, b = get("small_quorvane", SMALL_INDEXES * SMALL_OBJECTS, "index_10"), \
        get("small_hand", SMALL_INDEXES * SMALL_OBJECTS, "index_10")
    if a is not None and b is not None:
        target("an index of 10 objects with 3 attributes <= the hand index's bytes",
               f"{a:,.0f} vs {b:,.0f} bytes per index", a <= b)
    one_m = 1_000_000 if ok("unique", 1_000_000) else next(
        (n for n in sizes if ok("unique", n)), None)
    if one_m:
        a, b = get("unique", one_m, "queries", "eq", "ms"), get("unique", one_m, "queries",
                                                                 "dict", "ms")
        target(f"one-hit equality on a unique string {at(one_m)} <= 3x a dict lookup returning a "
               "list", f"{fmt_x(a / b)} ({fmt_ms(a)} vs {fmt_ms(b)} ms)", a / b <= 3.0)
        small = get("unique", UNIQUE_SMALL, "queries", "eq", "ms")
        if small:
            cells, met = [], True
            for n in sizes:
                x = get("unique", n, "queries", "eq", "ms")
                if x is None or n < one_m:
                    continue
                cells.append(f"{size_label(n)}: {fmt_x(x / small)} ({fmt_ms(x)} ms)")
                met = met and x / small <= 1.2
            target(f"the same one-hit equality flat (<= 1.2x) from {UNIQUE_SMALL:,} "
                   f"({fmt_ms(small)} ms) to {size_label(one_m)} and beyond", "; ".join(cells), met)
    out += ["### Targets", "", "| target | measured | met |", "|---|---|---|"]
    out += [f"| {t} | {m} | {'yes' if good else '**no**'} |" for t, m, good in targets]
    out += ["", f"{sum(1 for *_, g in targets if g)} of {len(targets)} targets met.", ""]

    # ---- memory
    def vals(tool, *path):
        return {n: get(tool, n, *path) for n in sizes}

    out += ["### Memory, bytes per object", "",
            "Resident growth of the process, divided by the number of objects. *objects alone*: "
            "over the construction of the objects; *index alone*: over the bulk add, after "
            "`gc.collect()`; *kept after malloc_trim*: the same once glibc has returned its free "
            "memory; *all-in*: objects and index; *extra peak*: VmHWM during the bulk add (reset "
            "before it through `/proc/self/clear_refs`) above the resident size at its start.",
            "", header, rule]
    rows = [
        ("objects alone", "Quorvane `Item`", vals("quorvane", "objects_bpo")),
        ("objects alone", "plain object", vals("hand", "objects_bpo")),
        ("index alone", "Quorvane", vals("quorvane", "index_bpo")),
        ("index alone", "hand (id: value -> set)", vals("hand", "index_bpo")),
        ("index alone", "hand (id: id -> object dict)", vals("hand", "index_iddict_bpo")),
        ("index alone", "pandas frame + exploded tags", vals("pandas", "index_bpo")),
        ("kept after malloc_trim", "Quorvane", vals("quorvane", "index_kept_bpo")),
        ("kept after malloc_trim", "hand (id: value -> set)", vals("hand", "index_kept_bpo")),
        ("kept after malloc_trim", "pandas", vals("pandas", "index_kept_bpo")),
        ("all-in", "Quorvane objects + index", vals("quorvane", "all_in_bpo")),
        ("all-in", "plain objects + hand (id: value -> set)", vals("hand", "all_in_bpo")),
        ("all-in", "plain objects + hand (id: id -> object dict)",
         vals("hand", "all_in_iddict_bpo")),
        ("all-in", "pandas (no objects)", vals("pandas", "all_in_bpo")),
        ("extra peak of the bulk add", "Quorvane `add_object_many`",
         vals("quorvane", "peak_extra_bpo")),
        ("extra peak of the bulk add", "hand index build", vals("hand", "peak_extra_bpo")),
        ("extra peak of the bulk add", "pandas frame", vals("pandas", "peak_extra_bpo")),
    ]
    out += [row(m, t, v, fmt_bytes) for m, t, v in rows]
    ratio = {n: (get("quorvane", n, "peak_extra_bpo") / get("quorvane", n, "index_kept_bpo"))
             if ok("quorvane", n) else None for n in sizes}
    out.append(row("extra peak / index kept", "Quorvane", ratio, fmt_x))
    parts = [("id_sets", "`id`: value -> set"), ("id_dict", "`id`: id -> object dict"),
             ("k_sets", "`k`: value -> set"), ("f_sets", "`f`: value -> set"),
             ("s_sets", "`s`: value -> set"), ("tags_sets", "`tags`: element -> set"),
             ("id_keys", "`id` sorted keys"), ("k_keys", "`k` sorted keys"),
             ("f_keys", "`f` sorted keys"), ("s_keys", "`s` sorted keys")]
    out += [row("hand index, by part", label, vals("hand", "parts_bpo", key), fmt_bytes)
            for key, label in parts]
    out += [""]

    # ---- build
    out += ["### Construction and bulk add, seconds", "", header, rule]
    out += [row(m, t, v, fmt_s) for m, t, v in [
        ("object construction", "Quorvane `Item(**kw)`", vals("quorvane", "construct_s")),
        ("object construction", "plain object", vals("hand", "construct_s")),
        ("bulk add", "Quorvane `add_object_many`", vals("quorvane", "bulk_s")),
        ("bulk add", "hand index (id: value -> set)", vals("hand", "bulk_s")),
        ("bulk add", "hand index (id: id -> object dict)", vals("hand", "bulk_iddict_s")),
        ("bulk add", "pandas frame + exploded tags", vals("pandas", "bulk_s"))]]
    out += [row("hand index, by part", label, vals("hand", "parts_s", key), fmt_s)
            for key, label in parts]
    out += [""]

    # ---- queries
    def hits(key):
        h = {n: get("quorvane", n, "hits", key) or get("hand", n, "hits", key) for n in sizes}
        return " / ".join("-" if h[n] is None else f"{h[n]:,}" for n in sizes)

    def cnst(n, key):
        return get("quorvane", n, "constants", key) or get("hand", n, "constants", key)

    and_text = "; ".join(f"{size_label(n)}: `f < {cnst(n, 'and_f')}`, `id >= {cnst(n, 'and_id'):,}`"
                         for n in sizes if cnst(n, "and_f") is not None)
    out += ["### Queries, median ms per call", "",
            f"The constants of the `and_` of 4 conditions change with the size so that it hits a "
            f"few hundred objects at every size (`k == 7`, `{COMMON_TAG}` in `tags`, and "
            f"{and_text}); "
            f"the hits at each size are given after the query, smallest size first. Quorvane's "
            "expressions are built inside the timed call, as a user writes them. The hand index "
            "intersects sets (the ranges become sets of the objects of their keys, found by "
            "bisect); *equalities then tests* intersects the two equality sets and tests the two "
            "ranges on the objects left, which is faster. The bisect slice and the floor run in "
            "Quorvane's process on its objects.", "", header, rule]
    Q_ROWS = [
        (f"`and_` of 4 conditions ({hits('and4')} hits)", [
            ("Quorvane `index.count(Q.and_(...))`", "quorvane", "and4_count"),
            ("Quorvane `reduced_query(Q.and_(...)).collect()`", "quorvane", "and4"),
            ("hand: set intersection, listed", "hand", "and4"),
            ("hand: equalities then tests", "hand", "and4_filter"),
            ("pandas: mask, `sum()`", "pandas", "and4_count"),
            ("pandas: mask, ids", "pandas", "and4")]),
        (f"first page of {PAGE} by `f`", [
            (f"Quorvane `order_by(\"f\").limit({PAGE}).collect()`", "quorvane", "page"),
            ("hand: slice of the sorted keys, their sets", "hand", "page"),
            (f"pandas `nsmallest({PAGE}, \"f\")`", "pandas", "page")]),
        (f"count by `k` ({K_VALUES:,} values)", [
            ("Quorvane `count_by(\"k\")`", "quorvane", "count_by_k"),
            ("hand: dict of `len(set)`", "hand", "count_by_k"),
            ("pandas `value_counts().to_dict()`", "pandas", "count_by_k")]),
        (f"count by `s` ({S_VALUES:,} values)", [
            ("Quorvane `count_by(\"s\")`", "quorvane", "count_by_s"),
            ("hand: dict of `len(set)`", "hand", "count_by_s"),
            ("pandas `value_counts().to_dict()`", "pandas", "count_by_s")]),
        (f"narrow range on the unique `id` ({hits('range_id')} hits)", [
            ("Quorvane `reduced_query(Q.bt(\"id\", a, a + 998)).collect()`", "quorvane",
             "range_id"),
            ("bisect slice of the objects sorted by `id`", "quorvane", "slice_id"),
            ("hand: bisect over the sorted keys, their sets", "hand", "range_id"),
            ("pandas `between`, ids", "pandas", "range_id")]),
        (f"narrow range on `f` ({hits('range_f')} hits)", [
            ("Quorvane `reduced_query(Q.bt(\"f\", lo, hi)).collect()`", "quorvane", "range_f"),
            ("bisect slice of the objects sorted by `f`", "quorvane", "slice_f"),
            ("hand: bisect over the sorted keys, their sets", "hand", "range_f"),
            ("pandas `between`, ids", "pandas", "range_f")]),
        (f"`eq k` and `eq tags` ({COMMON_TAG}, in ~43% of the lists; {hits('pair')} hits)", [
            ("Quorvane `collect()`", "quorvane", "pair"),
            ("hand: set intersection", "hand", "pair"),
            ("pandas: masks, ids", "pandas", "pair")]),
        (f"`eq k` alone ({hits('eq_k')} hits)", [
            ("Quorvane `collect()`", "quorvane", "eq_k"),
            ("hand: the set, listed", "hand", "eq_k"),
            ("pandas: mask, ids", "pandas", "eq_k")]),
        (f"scattered hits, `k` below a bound ({hits('scatter')} hits)", [
            ("Quorvane `reduced_query(Q.lt(\"k\", c)).collect()`", "quorvane", "scatter"),
            ("floor: `[objs[i] for i in hits]`", "quorvane", "floor"),
            ("hand: bisect over the sorted keys, their sets", "hand", "scatter"),
            ("pandas: mask, ids", "pandas", "scatter")]),
    ]
    for query, tools in Q_ROWS:
        first = True
        for label, tool, key in tools:
            out.append(row(query if first else "", label,
                           {n: qms(tool, n, key) for n in sizes}, fmt_ms))
            first = False
    pair = {n: (qms("quorvane", n, "pair") / qms("quorvane", n, "eq_k"))
            if qms("quorvane", n, "pair") and qms("quorvane", n, "eq_k") else None for n in sizes}
    hpair = {n: (qms("hand", n, "pair") / qms("hand", n, "eq_k"))
             if qms("hand", n, "pair") and qms("hand", n, "eq_k") else None for n in sizes}
    out.append(row("`eq k` and `eq tags` / `eq k` alone", "Quorvane", pair, fmt_x))
    out.append(row("", "hand", hpair, fmt_x))
    out += [""]

    # ---- unique
    usizes = sorted({UNIQUE_SMALL, *sizes})
    if any(ok("unique", n) for n in usizes):
        out += ["### One hit on a unique string", "",
                "Objects of one attribute `u`, a unique 10-character str, in one index; the value "
                "looked up is an equal string, not the one the index holds. The dict maps `u` to "
                "the object and the call returns `[d[value]]`.", "",
                "| objects | Quorvane `reduced_query(Q.eq(\"u\", value)).collect()` ms | "
                "`get_by_attribute(u=value)` ms | dict lookup ms | Quorvane / dict | "
                f"Quorvane / Quorvane at {UNIQUE_SMALL:,} | index bytes/object |",
                "|---:|---:|---:|---:|---:|---:|---:|"]
        base = get("unique", UNIQUE_SMALL, "queries", "eq", "ms")
        for n in usizes:
            r = ok("unique", n)
            if not r:
                outcome = (res.get(("unique", n)) or {}).get("outcome", "not run")
                out.append(f"| {n:,} | {outcome} | | | | | |")
                continue
            e, g, d = (r["queries"][k]["ms"] for k in ("eq", "get", "dict"))
            out.append(f"| {n:,} | {fmt_ms(e)} | {fmt_ms(g)} | {fmt_ms(d)} | {fmt_x(e / d)} | "
                       f"{fmt_x(e / base) if base else '-'} | {r['index_bpo']:,.0f} |")
        out += [""]

    # ---- small indexes
    sq = ok("small_quorvane", SMALL_INDEXES * SMALL_OBJECTS)
    sh = ok("small_hand", SMALL_INDEXES * SMALL_OBJECTS)
    if sq or sh:
        def cell(r, key):
            return "-" if not r or r.get(key) is None else f"{r[key]:,.0f}"

        def ratio_cell(key):
            if sq and sh and sq.get(key) is not None and sh.get(key):
                return fmt_x(sq[key] / sh[key])
            return "-"
        out += ["### Many small indexes", "",
                f"{SMALL_INDEXES:,} indexes made one after the other in one process, the objects "
                "(`a` a unique int, `b` one of 5 strings, `c` a float) made beforehand: bytes per "
                "index, the objects not included (resident growth divided by the number of "
                "indexes). The hand index is the same as above (value -> set per attribute, "
                "sorted keys). An attribute no member has: *known elsewhere* compares indexes of "
                f"10 objects made after an object holding {KNOWN_NAMES} other attribute names was "
                f"put in another index with those made before, per name; *queried* is the growth "
                f"of `count`, `count_by` and `order_by(...).limit(1)` on {SMALL_NAMES} names no "
                f"member has, per index and name; *lost* adds to each index an object holding "
                f"{SMALL_NAMES} attributes of its own and removes it, per index and name.", "",
                "| bytes | Quorvane | hand | Quorvane / hand |", "|---|---:|---:|---:|",
                f"| an object of 3 attributes | {cell(sq, 'object_bytes')} | "
                f"{cell(sh, 'object_bytes')} | {ratio_cell('object_bytes')} |",
                f"| an index of {SMALL_OBJECTS} objects | {cell(sq, 'index_10')} | "
                f"{cell(sh, 'index_10')} | {ratio_cell('index_10')} |",
                f"| an index of 1 object | {cell(sq, 'index_1')} | {cell(sh, 'index_1')} | "
                f"{ratio_cell('index_1')} |",
                f"| an empty index | {cell(sq, 'index_0')} | {cell(sh, 'index_0')} | "
                f"{ratio_cell('index_0')} |",
                f"| an attribute no member has, known elsewhere (per index) | "
                f"{cell(sq, 'absent_known')} | - | |",
                f"| an attribute no member has, queried (per index) | "
                f"{cell(sq, 'absent_queried')} | - | |",
                f"| an attribute every member lost (per index) | {cell(sq, 'absent_lost')} | - | |",
                ""]

    # ---- runs
    out += ["### Processes", "",
            "| tool | objects | outcome | seconds | peak RSS GiB | estimated GiB |",
            "|---|---:|---|---:|---:|---:|"]
    for tool, n, r in runs:
        peak = r.get("peak_rss")
        est = r.get("estimate")
        out.append(f"| {tool} | {n:,} | {r['outcome']} | {r.get('seconds', 0):,.0f} | "
                   f"{'-' if not peak else f'{peak / GIB:.2f}'} | "
                   f"{'-' if not est else f'{est / GIB:.1f}'} |")
    versions = sorted({r["version"] for _, _, r in runs if r.get("version")})
    mods = sorted({r["module"]["version"] for _, _, r in runs if r.get("module")})
    out += ["", "Versions: " + "; ".join([f"Quorvane {m}" for m in mods] + versions) + ".", ""]
    return "\n".join(out), problems


def moonshot(objects):
    log(f"moonshot: {objects:,} objects of 3 attributes, {mem_available() / GIB:.1f} GiB available")
    r = run_worker("moonshot", objects, timeout=6 * 3600)
    made = r.get("made")
    command = "python benchmarks/growth.py --moonshot" + (
        "" if objects == 100_000_000 else f" --moonshot-objects {objects}")
    lines = [f"### Moonshot: {objects:,} objects of 3 attributes "
             f"(`{command}`, {datetime.date.today().isoformat()}, {source_state()}; "
             f"{machine()})", "",
             "An int `id` (0..n-1), an int `k` of 1,000 values and a str `s` from a pool of 1,000, "
             "made in chunks of a million, each added with `add_object_many` and dropped from "
             "Python (the index keeps the objects), the cyclic GC off.", "",
             "| objects asked | objects indexed | fit | seconds | peak RSS GiB | final RSS GiB | "
             "final bytes/object | note |", "|---:|---:|---|---:|---:|---:|---:|---|"]
    if r.get("outcome") != "ok":
        lines.append(f"| {objects:,} | - | no | - | - | - | - | {r.get('outcome')} |")
    else:
        bad = [f"{w}: {d}" for w, good, d in r["checks"] if not good]
        note = r["stopped"] or "every object indexed"
        if bad:
            note += "; CHECK FAILED: " + "; ".join(bad)
        lines.append(f"| {objects:,} | {made:,} | {'yes' if r['fit'] else '**no**'} | "
                     f"{r['seconds']:,.0f} | {r['peak_rss'] / GIB:.2f} | "
                     f"{r['final_rss'] / GIB:.2f} | "
                     f"{r['final_rss'] / max(made, 1):,.0f} | {note} |")
    text = "\n".join(lines) + "\n"
    os.makedirs(BUILD, exist_ok=True)
    with open(os.path.join(BUILD, "benchmarks-growth-moonshot.md"), "w") as f:
        f.write(text)
    with open(os.path.join(BUILD, "benchmarks-growth-moonshot.json"), "w") as f:
        json.dump(r, f, indent=1)
    print(text)
    return 0 if r.get("outcome") == "ok" and all(g for _, g, _ in r.get("checks", [])) else 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", help="comma-separated numbers of objects "
                        "(default 1000000,5000000,10000000)")
    parser.add_argument("--quick", action="store_true", help="100,000 and 500,000 objects")
    parser.add_argument("--md", help="report path (default build/benchmarks-growth.md, "
                        "build/benchmarks-growth-quick.md with --quick)")
    parser.add_argument("--moonshot", action="store_true",
                        help="only the 100 million object run (opt-in)")
    parser.add_argument("--moonshot-objects", type=int, default=100_000_000)
    parser.add_argument("--render", metavar="JSON",
                        help="write the report again from the raw figures of a run")
    parser.add_argument("--worker", nargs=2, metavar=("TOOL", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.worker:
        tool, n = args.worker[0], int(args.worker[1])
        result = WORKERS[tool](n)
        print(json.dumps(result))
        return 0
    if args.moonshot:
        return moonshot(args.moonshot_objects)
    if args.render:
        with open(args.render) as f:
            raw = json.load(f)
        md = args.md or os.path.splitext(args.render)[0] + ".md"
        text, problems = render([tuple(r) for r in raw["runs"]], raw["meta"])
        with open(md, "w") as f:
            f.write(text)
        log(f"wrote {md}")
        return 1 if problems else 0
    if args.sizes:
        sizes = sorted({int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()})
    else:
        sizes = list(QUICK_SIZES if args.quick else DEFAULT_SIZES)
    md = args.md or os.path.join(BUILD, "benchmarks-growth-quick.md" if args.quick
                                 else "benchmarks-growth.md")
    json_path = os.path.splitext(md)[0] + ".json"
    command = "python benchmarks/growth.py" + (" --quick" if args.quick else "") + \
        (f" --sizes {args.sizes}" if args.sizes else "")
    return coordinate(sizes, md, json_path, command)


if __name__ == "__main__":
    sys.exit(main())
