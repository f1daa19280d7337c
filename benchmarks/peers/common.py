"""Common harness of the comparison benchmarks: data sets, queries, timing, worker process.

One worker process per tool and data set holds the objects and the tool's index for the whole
measurement and is driven by benchmarks/compare.py through its stdin and stdout:

    python benchmarks/peers/common.py --tool NAME --dataset ducks|cars|events --objects N [...]

The worker generates the data set from a fixed seed (the same objects in every process, since
only the standard library's `random` is used), builds the tool's index while measuring time and
RSS growth, and reports on one JSON line. It then answers commands, one JSON line each way:

    {"cmd": "calibrate"}   runs every query once untimed, returns each answer's signature (checked
                           by the coordinator against a plain scan of the data) and the batch size
                           that makes one timed sample last about --sample-ms
    {"cmd": "run", "q": i} one timed sample of query i (and of its baselines in the reference
                           worker): the mean time per call of a batch of back-to-back calls
    {"cmd": "finish"}      further builds for a median, optionally one under tracemalloc; exits

The coordinator visits the workers round-robin, so every tool gets the same number of samples
of every query, taken under the same load of the machine.

Peer modules (one per tool) live beside this file and expose `TOOLS`, a dict of name -> class with:
    label                  text used in the report
    uses_indexable         True when the objects must be Quorvane Indexable instances
    build(objs, attrs)     returns the tool's index over the objects
    prepare(index, objs, query)
                           returns a zero-argument callable that answers the query (see QUERY
                           KINDS below), or None when the tool cannot express it
    notes(query)           text about how the query is answered (e.g. "predicate scan")
The reference tool (Quorvane) may also have baselines(index, objs, query, columns): a list of
(key, label, callable) measured beside each query in the same worker. A tool that answers only
some queries has applies(query): the others are left out of its rows rather than shown as n/a.

Write operations, used by benchmarks/writes.py (a tool without them is reported as such):
    one_by_one             text: what a call of remover's function does
    remover(index, objs)   returns remove(pos, obj), which takes the member obj (at position pos
                           of objs) out of the index
    flush(index)           optional: ends a series of writes (sqlite3: commit), timed with them
    removals()             a list of (key, what is timed, fn): fn(index, objs, conds) takes every
                           member matching the conditions out and returns (the index, a new one
                           for the tools whose removal makes a new frame or list; the number of
                           members removed when the call answers it, else None); fn is None
                           where this build of the tool lacks the call
    members(index, objs)   the objects the index holds, for the checks after the writes
    setter(index, objs)    returns set_value(pos, obj, attr, value): obj.attr = value, with the
                           index following (not thread-safe by itself: writes.py guards the peers
                           that need it with a lock)
"""
import argparse
import collections
import gc
import importlib
import itertools
import json
import os
import random
import resource
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# tool name -> peer module name; several tools may share one module.
TOOL_MODULES = {
    "quorvane": "quorvane_peer",
    "quorvane_many": "quorvane_peer",
    "dex": "ducks_peer",
    "frozendex": "ducks_peer",
    "littletable": "littletable_peer",
    "pandas": "pandas_peer",
    "sqlite": "sqlite_peer",
    "sqlite_composite": "sqlite_peer",
    "polars": "polars_peer",
    "hand": "hand_peer",
    "listcomp": "listcomp_peer",
}

# ---------------------------------------------------------------------------------------------
# Data sets and queries.
#
# A condition is (attr, op, value): op is "eq", "bt" (inclusive (lo, hi)), "gt", "in" (a tuple of
# values), "starts_with", "contains" (substring) or "has" (the attribute is a list holding the
# value); (None, "or", [conditions]) holds when one of its conditions does. A list of conditions
# must all hold.
#
# QUERY KINDS (the dict of a query has "name", "kind" and the fields its kind needs):
#   find      conds             the list of matching objects (any order)
#   get       conds             the same, as a keyword lookup (Quorvane's get_by_attribute)
#   count     conds             the number of matching objects
#   first     attr, limit       the `limit` objects of smallest `attr`, in that order
#   count_by  conds, attr       {value of attr: number of matching objects with it}
#   assign    attr, pool        gives the next object of `pool` (positions) a new unique string
#                               value of `attr`; the index must follow
# ---------------------------------------------------------------------------------------------

DUCKS_ATTRS = ("size", "type", "color", "shape")
DUCKS_TYPES = ("A", "B", "C", "D", "E")
DUCKS_COLORS = ("red", "green", "blue", "yellow", "purple")
DUCKS_SHAPES = ("circle", "square", "triangle", "hexagon")

CARS_ATTRS = ("manufacturer", "model", "color", "doors", "price")
CARS_MAKERS = {
    "Ford": "Focus", "Opel": "Astra", "Toyota": "Corolla", "Honda": "Civic", "Renault": "Clio",
    "Peugeot": "Partner", "Fiat": "Panda", "Volkswagen": "Golf", "Skoda": "Octavia", "Kia": "Ceed",
}
CARS_TRIMS = ("Base", "Comfort", "Sport", "Luxe", "Eco", "Turbo", "Hybrid", "Touring", "Edition",
              "Plus")
CARS_COLORS = ("red", "blue", "green", "black", "white", "silver", "grey", "yellow", "orange",
               "brown")

EVENTS_ATTRS = ("user_id", "session", "latency", "level", "service", "tags")
EVENTS_LEVELS = ("DEBUG", "INFO", "WARN", "ERROR", "FATAL")
EVENTS_LEVEL_WEIGHTS = (30, 50, 10, 9, 1)
EVENTS_SERVICES = tuple(f"svc-{i:02d}" for i in range(50))
EVENTS_TAGS = tuple(f"tag{i:02d}" for i in range(30))

ATTRS = {"ducks": DUCKS_ATTRS, "cars": CARS_ATTRS, "events": EVENTS_ATTRS}
# Attributes holding a list of values (indexed by element where a tool can).
LIST_ATTRS = {"tags"}

STATIC_QUERIES = {
    "ducks": [
        ("4 conditions, size between(50, 50) (~200 hits)",
         [("type", "eq", "B"), ("color", "eq", "red"), ("shape", "eq", "circle"),
          ("size", "bt", (50, 50))]),
        ("4 conditions, size == 50 (~200 hits)",
         [("type", "eq", "B"), ("color", "eq", "red"), ("shape", "eq", "circle"),
          ("size", "eq", 50)]),
    ],
    "cars": [
        ("eq color (~10%)", [("color", "eq", "red")]),
        ("eq model (~1%)", [("model", "eq", "Civic Sport")]),
        ("bt price (~20%)", [("price", "bt", (10000.0, 20000.0))]),
        ("starts_with model (~10%)", [("model", "starts_with", "Cor")]),
        ("contains model (~10%)", [("model", "contains", "Hybrid")]),
        ("and_ color, doors, price (~1%)",
         [("color", "eq", "red"), ("doors", "eq", 5), ("price", "bt", (10000.0, 30000.0))]),
    ],
}


# Column groups that sqlite_composite indexes together, one per multi-condition query of
# STATIC_QUERIES (equality columns first, the range column last).
COMPOSITE_INDEXES = [("type", "color", "shape", "size"), ("color", "doors", "price")]


def queries_for(dataset, columns):
    """The queries of a data set; the events queries take their values from the data."""
    if dataset in STATIC_QUERIES:
        return [{"key": name, "name": name, "kind": "find", "conds": conds}
                for name, conds in STATIC_QUERIES[dataset]]
    n = len(columns["user_id"])
    uid, ses, lat = columns["user_id"], columns["session"], columns["latency"]
    u1, s1 = uid[n // 2], ses[n // 3]
    u2, s2 = uid[n // 5], ses[n // 7]
    users = list(dict.fromkeys(uid[i] for i in range(n // 11, n, max(1, n // 97))))[:20]
    # The value that exactly n // 1000 latencies exceed (they are distinct floats).
    p999 = sorted(lat)[n - n // 1000 - 1]
    prefix = ses[n // 4][:len("sess-") + 3]  # 3 of 9 random digits: about 0.1% of the sessions
    # Objects whose session no other query looks at: re-assigning theirs changes no answer.
    pool = [i for i in range(0, n, 3)
            if ses[i] not in (s1, s2) and not ses[i].startswith(prefix)][:100_000]
    return [
        {"key": "eq_user", "name": "eq user_id (~10 hits)", "kind": "find",
         "conds": [("user_id", "eq", u1)]},
        {"key": "get_session", "name": "get_by_attribute session (~5 hits)", "kind": "get",
         "conds": [("session", "eq", s1)]},
        {"key": "in20", "name": "in_ 20 user ids (~200 hits)", "kind": "find",
         "conds": [("user_id", "in", tuple(users))]},
        {"key": "or2", "name": "or_ user_id, session (~15 hits)", "kind": "find",
         "conds": [(None, "or", [("user_id", "eq", u2), ("session", "eq", s2)])]},
        {"key": "range", "name": "latency above its 99.9th percentile (0.1%)", "kind": "find",
         "conds": [("latency", "gt", p999)]},
        {"key": "prefix", "name": "starts_with session (~0.1%)", "kind": "find",
         "conds": [("session", "starts_with", prefix)]},
        {"key": "scatter", "name": "eq level, scattered (~10%)", "kind": "find",
         "conds": [("level", "eq", "WARN")]},
        {"key": "tags", "name": "element of tags (~7%)", "kind": "find",
         "conds": [("tags", "has", "tag07")]},
        {"key": "count", "name": "count of level == 'INFO' (~50%)", "kind": "count",
         "conds": [("level", "eq", "INFO")]},
        {"key": "first", "name": "order_by latency, limit 10", "kind": "first",
         "attr": "latency", "limit": 10},
        {"key": "count_by", "name": "count_by service over level == 'WARN' (~10%)",
         "kind": "count_by",
         "conds": [("level", "eq", "WARN")], "attr": "service"},
        {"key": "assign", "name": "assign a new session", "kind": "assign", "attr": "session",
         "pool": pool},
    ]


def describe_cond(cond):
    attr, op, value = cond
    if op == "eq":
        return f"{attr} == {value!r}"
    if op == "bt":
        return f"{value[0]!r} <= {attr} <= {value[1]!r}"
    if op == "gt":
        return f"{attr} > {value!r}"
    if op == "in":
        return f"{attr} in ({len(value)} values)"
    if op == "starts_with":
        return f"{attr}.startswith({value!r})"
    if op == "contains":
        return f"{value!r} in {attr}"
    if op == "has":
        return f"{value!r} in {attr} (a list)"
    if op == "or":
        return "(" + " or ".join(describe_cond(c) for c in value) + ")"
    raise ValueError(op)


def describe(query):
    """Human text of a query, e.g. color == 'red' and 10000 <= price <= 20000."""
    kind = query["kind"]
    where = " and ".join(describe_cond(c) for c in query.get("conds", ()))
    if kind in ("find", "get"):
        return where
    if kind == "count":
        return f"count({where})"
    if kind == "first":
        return f"{query['limit']} smallest {query['attr']}"
    if kind == "count_by":
        return f"count by {query['attr']} where {where}"
    if kind == "assign":
        return f"obj.{query['attr']} = <new unique str>"
    raise ValueError(kind)


def make_columns(dataset, n, seed=1):
    """Attribute values as one list per attribute, deterministic for a given seed."""
    rng = random.Random(seed)
    if dataset == "ducks":
        return {
            "size": rng.choices(range(1, 101), k=n),
            "type": rng.choices(DUCKS_TYPES, k=n),
            "color": rng.choices(DUCKS_COLORS, k=n),
            "shape": rng.choices(DUCKS_SHAPES, k=n),
        }
    if dataset == "cars":
        makers = list(CARS_MAKERS)
        maker = rng.choices(makers, k=n)
        trims = rng.choices(CARS_TRIMS, k=n)
        # Interned model strings, as a program reading a catalogue would have them.
        models = {(m, t): sys.intern(f"{CARS_MAKERS[m]} {t}") for m in makers for t in CARS_TRIMS}
        rnd = rng.random
        return {
            "manufacturer": maker,
            "model": [models[m, t] for m, t in zip(maker, trims)],
            "color": rng.choices(CARS_COLORS, k=n),
            "doors": rng.choices((2, 3, 4, 5), k=n),
            "price": [round(1000.0 + rnd() * 50000.0, 2) for _ in range(n)],
        }
    if dataset == "events":
        # Distinct users and sessions grow with n, so that an equality hits ~10 and ~5 objects
        # at every size (100,000 users and 200,000 sessions at 1M objects).
        users, sessions = max(1, n // 10), max(1, n // 5)
        session_pool = [f"sess-{x:09d}" for x in rng.sample(range(10**9), sessions)]
        sample, randint = rng.sample, rng.randint
        lognorm = rng.lognormvariate
        return {
            "user_id": [rng.randrange(users) for _ in range(n)],
            "session": rng.choices(session_pool, k=n),
            "latency": [lognorm(3.0, 0.8) for _ in range(n)],  # ms, a long right tail
            "level": rng.choices(EVENTS_LEVELS, EVENTS_LEVEL_WEIGHTS, k=n),
            "service": rng.choices(EVENTS_SERVICES, k=n),
            "tags": [sample(EVENTS_TAGS, randint(1, 3)) for _ in range(n)],
        }
    raise ValueError(dataset)


class Plain:
    """The objects handed to the peer tools: an ordinary class with an instance __dict__."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def make_objects(cls, columns):
    names = list(columns)
    return [cls(**dict(zip(names, values))) for values in zip(*columns.values())]


def cond_holds(cond, columns, i):
    attr, op, value = cond
    if op == "or":
        return any(cond_holds(c, columns, i) for c in value)
    v = columns[attr][i]
    if op == "eq":
        return v == value
    if op == "bt":
        return value[0] <= v <= value[1]
    if op == "gt":
        return v > value
    if op == "in":
        return v in value
    if op == "starts_with":
        return v.startswith(value)
    if op in ("contains", "has"):
        return value in v
    raise ValueError(op)


def matches(conds, columns):
    """Positions of the objects satisfying the conditions, computed from the raw columns."""
    n = len(next(iter(columns.values())))
    keep = range(n)
    for cond in conds:
        keep = [i for i in keep if cond_holds(cond, columns, i)]
    return list(keep)


def scan_answer(query, columns):
    """(positions of the answer's objects or None, signature) from a plain scan of the data."""
    kind = query["kind"]
    if kind in ("find", "get"):
        pos = matches(query["conds"], columns)
        return pos, ["set", len(pos), sum(pos)]
    if kind == "count":
        return None, ["int", len(matches(query["conds"], columns))]
    if kind == "first":
        keys = columns[query["attr"]]
        # sorted() is stable: ties in position order, as Quorvane's ascending ids.
        pos = sorted(range(len(keys)), key=keys.__getitem__)[:query["limit"]]
        return pos, ["seq", pos]
    if kind == "count_by":
        col = columns[query["attr"]]
        counts = collections.Counter(col[i] for i in matches(query["conds"], columns))
        return None, ["dict", sorted([k, v] for k, v in counts.items())]
    if kind == "assign":
        return None, ["assign", "re-indexed"]
    raise ValueError(kind)


def signature(query, answer, position):
    """What is compared between tools: the answer reduced to JSON-able values."""
    kind = query["kind"]
    if kind in ("find", "get"):
        return ["set", len(answer), sum(position[id(o)] for o in answer)]
    if kind == "count":
        return ["int", int(answer)]
    if kind == "first":
        return ["seq", [position[id(o)] for o in answer]]
    if kind == "count_by":
        return ["dict", sorted([k, int(v)] for k, v in dict(answer).items())]
    raise ValueError(kind)


class Assigner:
    """State shared by the assign callables of a tool: the next object of the pool and a supply
    of new unique strings (made inside the timed call, at the same cost for every tool)."""

    def __init__(self, pool, prefix="new-"):
        self.pool = itertools.cycle(pool)
        self.counter = itertools.count()
        self.prefix = prefix
        self.last = None  # (position, old value, new value) of the last assignment

    def next(self, objs, attr):
        """(position, object, new value), remembering them for the check."""
        pos = next(self.pool)
        obj = objs[pos]
        new = f"{self.prefix}{next(self.counter)}"
        self.last = (pos, getattr(obj, attr), new)
        return pos, obj, new


# ---------------------------------------------------------------------------------------------
# Measuring
# ---------------------------------------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def malloc_trim():
    """Return the C allocator's free memory to the system (glibc); False where unavailable."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        return True
    except (OSError, AttributeError):
        return False


# Calls cheaper than this get one untimed call before every sample. Between two samples a
# worker waits while the others run, and its data leaves the CPU caches (on a shared virtual
# machine even when this one is idle): the first call afterwards can take several times as long
# as the next. Every tool is measured with its data as warm as in a loop of queries; for dearer
# calls the difference is a few percent and not worth doubling the run time.
WARM_UP_BELOW_MS = 20.0


def timed_batch(fn, k, warm=False):
    """Mean ms per call of k back-to-back calls (after one untimed call if warm)."""
    if warm:
        fn()
    calls = itertools.repeat(None, k)
    start = time.perf_counter()
    for _ in calls:
        fn()
    return (time.perf_counter() - start) * 1000 / k


def batch_size(fn, sample_ms, most=2000):
    """Calls per sample so that a sample lasts about sample_ms (one call for slow functions)."""
    ms = timed_batch(fn, 1)
    if ms * 2 < sample_ms:  # cheap: measure it again over a few calls, past first-call effects
        ms = timed_batch(fn, 5)
    return max(1, min(most, int(sample_ms / max(ms, 1e-6)))), ms


def load_tool(name):
    module = importlib.import_module(TOOL_MODULES[name])
    return module.TOOLS[name](), module.VERSION


class Worker:
    def __init__(self, args, reply):
        self.args = args
        self.reply = reply
        self.tool, version = load_tool(args.tool)
        self.out = {"tool": args.tool, "label": self.tool.label, "dataset": args.dataset,
                    "objects": args.objects, "python": sys.executable, "version": version}

    def build(self):
        args, out = self.args, self.out
        self.attrs = ATTRS[args.dataset]
        self.columns = make_columns(args.dataset, args.objects)
        if self.tool.uses_indexable:
            from quorvane_peer import Item
            cls = Item
        else:
            cls = Plain
        gc.collect()
        before_objects = rss_bytes()
        self.objs = make_objects(cls, self.columns)
        gc.collect()
        # The objects' own cost: Quorvane's objects carry their native record, plain ones do not.
        out["object_bytes_per_object"] = (rss_bytes() - before_objects) / args.objects
        self.position = {id(o): i for i, o in enumerate(self.objs)}
        self.queries = [] if args.no_queries else queries_for(args.dataset, self.columns)
        if not args.floor:
            # Only the reference worker needs the raw columns (scan answers, precomputed keys).
            self.columns = None
        # The data set is long-lived: keep the cyclic GC from re-scanning it during measurements.
        gc.collect()
        gc.freeze()

        # Build, first time in this fresh process: time and RSS growth.
        before = rss_bytes()
        start = time.perf_counter()
        self.index = self.tool.build(self.objs, self.attrs)
        self.build_times = [time.perf_counter() - start]
        gc.collect()
        out["rss_bytes_per_object"] = (rss_bytes() - before) / args.objects
        # What stays after the C allocator gives its free memory back: tells retained memory
        # from a transient peak of the build.
        if malloc_trim():
            out["rss_trimmed_bytes_per_object"] = (rss_bytes() - before) / args.objects
        out["first_build_ms"] = self.build_times[0] * 1000
        self.reply(dict(out, event="built"))

    def check_assign(self, query):
        """After an assignment, the tool's own equality lookup must find the object by its new
        value and no longer by its old one."""
        pos, old, new = self.assigner.last
        attr = query["attr"]
        found = {}
        for value in (old, new):
            fn = self.tool.prepare(self.index, self.objs,
                                   {"kind": "find", "conds": [(attr, "eq", value)]})
            found[value] = {self.position[id(o)] for o in fn()}
        ok = found[new] == {pos} and pos not in found[old]
        return ["assign", "re-indexed" if ok else f"stale: new value finds {sorted(found[new])}, "
                f"old value finds it: {pos in found[old]}"]

    def calibrate(self):
        args = self.args
        self.fns, self.ks, self.baselines = [], [], []
        entries = []
        for query in self.queries:
            entry = {"key": query["key"], "query": query["name"], "kind": query["kind"],
                     "text": describe(query)}
            if query["kind"] == "assign":
                self.assigner = Assigner(query["pool"])
                query = dict(query, assigner=self.assigner)
            fn = self.tool.prepare(self.index, self.objs, query)
            entry["note"] = self.tool.notes(query)  # after prepare, which may tell it more
            applies = getattr(self.tool, "applies", None)
            if applies is not None and not applies(query):
                entry["omit"] = True
            self.fns.append(fn)
            base = []
            if args.floor:
                pos, entry["expected"] = scan_answer(query, self.columns)
                base = self.floor_baselines(query, pos)
            if fn is None:
                entry["supported"] = False
                self.ks.append((0, False))
            else:
                answer = fn()
                entry["supported"] = True
                if query["kind"] == "assign":
                    entry["signature"] = self.check_assign(query)
                else:
                    entry["signature"] = signature(query, answer, self.position)
                del answer
                k, entry["first_ms"] = batch_size(fn, args.sample_ms)
                self.ks.append((k, entry["first_ms"] < WARM_UP_BELOW_MS))
                entry["batch"] = k
            measured = []
            for key, label, bfn in base:
                k, first = batch_size(bfn, args.sample_ms)
                measured.append((key, bfn, k, first < WARM_UP_BELOW_MS))
                entry.setdefault("baselines", []).append(
                    {"key": key, "label": label, "batch": k, "first_ms": first})
            self.baselines.append(measured)
            entries.append(entry)
        self.reply({"event": "calibrated", "queries": entries})

    def floor_baselines(self, query, pos):
        """Baselines timed beside the query in the reference worker, on its own objects."""
        objs = self.objs
        base = []
        if query["kind"] in ("find", "get"):
            k = len(pos)
            base.append(("floor", "floor: `[objs[i] for i in hits]`",
                         lambda pos=pos: [objs[i] for i in pos]))
            base.append(("slice", f"`list(objs[:{k}])`", lambda k=k: list(objs[:k])))
        extra = getattr(self.tool, "baselines", None)
        if extra is not None:
            base += extra(self.index, objs, query, self.columns)
        return base

    def run(self, qi):
        fn = self.fns[qi]
        result = {"event": "sample", "q": qi}
        if fn is not None:
            k, warm = self.ks[qi]
            result["ms"] = timed_batch(fn, k, warm)
        result["baselines"] = {key: timed_batch(bfn, k, warm)
                               for key, bfn, k, warm in self.baselines[qi]}
        self.reply(result)

    def finish(self):
        """More builds for a median (the first one counts), then tracemalloc if asked."""
        args = self.args
        result = {"event": "finished"}
        index = self.index
        self.index = self.fns = self.baselines = None
        while (len(self.build_times) < args.build_repeat
               and sum(self.build_times) < args.build_budget):
            del index
            gc.collect()
            start = time.perf_counter()
            index = self.tool.build(self.objs, self.attrs)
            self.build_times.append(time.perf_counter() - start)
        result["build_ms"] = statistics.median(self.build_times) * 1000
        result["build_runs"] = len(self.build_times)
        if args.tracemalloc:
            import tracemalloc
            del index
            gc.collect()
            tracemalloc.start()
            index = self.tool.build(self.objs, self.attrs)
            gc.collect()
            result["traced_bytes_per_object"] = tracemalloc.get_traced_memory()[0] / args.objects
            tracemalloc.stop()
        del index
        self.reply(result)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True, choices=sorted(TOOL_MODULES))
    parser.add_argument("--dataset", required=True, choices=sorted(ATTRS))
    parser.add_argument("--objects", type=int, required=True)
    parser.add_argument("--sample-ms", type=float, default=1.0,
                        help="a timed sample batches calls of a fast query up to about this long")
    parser.add_argument("--build-repeat", type=int, default=1)
    parser.add_argument("--build-budget", type=float, default=10.0,
                        help="no further builds once this many seconds were spent building")
    parser.add_argument("--tracemalloc", action="store_true")
    parser.add_argument("--no-queries", action="store_true", help="measure the build only")
    parser.add_argument("--floor", action="store_true",
                        help="reference worker: scan answers and baselines")
    args = parser.parse_args(argv)

    # Replies go through a private copy of stdout; anything a library prints goes to stderr.
    channel = os.fdopen(os.dup(sys.stdout.fileno()), "w")
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())

    def reply(doc):
        channel.write(json.dumps(doc) + "\n")
        channel.flush()

    worker = Worker(args, reply)
    worker.build()
    for line in sys.stdin:
        cmd = json.loads(line)
        if cmd["cmd"] == "calibrate":
            worker.calibrate()
        elif cmd["cmd"] == "run":
            worker.run(cmd["q"])
        elif cmd["cmd"] == "finish":
            worker.finish()
            return
        else:
            raise ValueError(cmd)


if __name__ == "__main__":
    main()
