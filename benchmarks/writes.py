"""Writes, beside the tools Python users pick today: building an index with the objects' own
construction counted, constructing one object, removing members one by one and by a query,
relinking nested objects shared by few and by many, and threads assigning while others query.

    .venv/bin/python benchmarks/writes.py            # full sizes (about 7 minutes)
    .venv/bin/python benchmarks/writes.py --quick    # small sizes (about 2 minutes)
    .venv/bin/python benchmarks/writes.py --only remove,threads --tools quorvane,hand

The tables go to build/benchmarks-writes.md (--quick: build/benchmarks-writes-quick.md) and the
raw figures to the .json beside it. benchmarks/compare.py puts the tables into its report; once
they are written, this script writes that report again from compare.py's raw figures
(build/benchmarks.json, or build/benchmarks-quick.json for --quick) when they exist, unless
--no-render says not to. `make bench` runs it after compare.py.

Every measurement runs in a fresh worker process (this script with --worker), one per tool and
case, under the interpreter the tool needs (ducks runs from build/ducks-venv, as in
compare.py). Peers use ordinary objects of a class whose __init__ sets the attributes; Quorvane
uses an Indexable subclass called with the same keywords. After the writes, every worker checks
its tool against a plain scan of the Python data: the members the tool holds (their number and
the sum of their positions), and the tool's own answers (counts of every color and of the
removal query; for nested objects, every zone's members by dotted path; after the threads,
every query the threads ran). A mismatch is listed under Problems and makes the exit status 1.

Cases (--only; sizes of the full run, then of --quick):
  build      the cars data set of compare.py (1,000,000; 100,000): making the objects by a
             keyword call, then indexing them; each part and the sum, median of up to 3 runs,
             the first run beside it
  construct  ns per object for an Indexable subclass with 5 keyword attributes, a plain class
             whose __init__ sets them, a @dataclass derived from Indexable and a plain @dataclass
  remove     5% of the cars (500,000; 100,000) matching `color == 'red' and 2 <= doors <= 3`,
             removed one by one and by the query, beside each tool's natural equivalent; a
             list comprehension that rebuilds the list without them is the reference
  relink     entities (200,000; 40,000) holding `pos = Pos(zone=z)`, each zone shared by 40 or
             by 20,000 entities: `e.pos = Pos(zone=z2)` and `remove_object(e)` per operation
  threads    cars (200,000; 50,000): 2 threads assigning attributes of random members while 2
             threads query (an equality, a range, a count) for 3 s (1 s); each kind alone too
"""
import argparse
import collections
import datetime
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEERS = os.path.join(HERE, "peers")
sys.path.insert(0, PEERS)
import common  # noqa: E402

ATTRS = common.CARS_ATTRS  # manufacturer, model, color, doors, price
COLORS = common.CARS_COLORS
# About 5% of the cars: 10% are red, half of them have 2 or 3 doors.
REMOVE_CONDS = [("color", "eq", "red"), ("doors", "bt", (2, 3))]

BUILD_TOOLS = ["quorvane_many", "quorvane", "hand", "frozendex", "dex", "pandas", "polars",
               "sqlite", "littletable", "listcomp"]
REMOVE_TOOLS = ["quorvane_many", "hand", "dex", "frozendex", "pandas", "polars", "sqlite",
                "littletable", "listcomp"]
RELINK_TOOLS = ["quorvane", "hand", "plain"]
THREAD_TOOLS = ["quorvane", "sqlite", "hand"]
# Peers whose structures are not safe for threads: every call on them holds this lock.
GUARDED = {"sqlite": "one connection (`check_same_thread=False`, autocommit) guarded by a "
                     "`threading.Lock`",
           "hand": "guarded by a `threading.Lock`"}
CASES = ("build", "construct", "remove", "relink", "threads")
# Ways of removing run only up to a size: (tool, way) -> (most objects, why).
SLOW_WAYS = {("littletable", "delete"): (
    100_000, "its rows x removals comparisons grow with the square of the size")}


def sizes(quick):
    if quick:
        return {"build_objects": 100_000, "build_repeat": 3, "construct_objects": 20_000,
                "construct_runs": 5, "remove_objects": 100_000, "remove_repeat": 3,
                "one_budget_s": 1.0, "bulk_budget_s": 5.0, "relink_entities": 40_000, "relink_ops": 2_000,
                "sharers": [40, 20_000], "relink_budget_s": 2.0, "thread_objects": 50_000,
                "thread_seconds": 1.0}
    return {"build_objects": 1_000_000, "build_repeat": 3, "construct_objects": 100_000,
            "construct_runs": 9, "remove_objects": 500_000, "remove_repeat": 3,
            "one_budget_s": 8.0, "bulk_budget_s": 20.0, "relink_entities": 200_000, "relink_ops": 20_000,
            "sharers": [40, 20_000], "relink_budget_s": 10.0, "thread_objects": 200_000,
            "thread_seconds": 3.0}


# ---------------------------------------------------------------------------------------------
# Objects
# ---------------------------------------------------------------------------------------------

class Car:
    """The peers' objects: a plain class whose __init__ sets the attributes."""

    def __init__(self, manufacturer, model, color, doors, price):
        self.manufacturer = manufacturer
        self.model = model
        self.color = color
        self.doors = doors
        self.price = price


def car_rows(n):
    """(columns, rows): the cars data set of compare.py, as columns and as tuples of values."""
    columns = common.make_columns("cars", n)
    return columns, list(zip(*(columns[a] for a in ATTRS)))


def make_cars(cls, rows):
    return [cls(manufacturer=a, model=b, color=c, doors=d, price=e) for a, b, c, d, e in rows]


def car_class(tool):
    if tool.uses_indexable:
        from quorvane_peer import Item
        return Item
    return Car


def check_index(tool, index, objs, position, columns, keep, conds=None):
    """Problems found comparing the tool with a scan of the positions in keep: its members
    (number, sum of positions), its own count of every color and of the conditions."""
    problems = []
    got = tool.members(index, objs)
    sig = [len(got), sum(position[id(o)] for o in got)]
    want = [len(keep), sum(keep)]
    if sig != want:
        problems.append(f"members (count, sum of positions) {sig}, a scan {want}")
    counts = collections.Counter(columns["color"][i] for i in keep)
    queries = [(f"count of color == {c!r}", [("color", "eq", c)], counts.get(c, 0))
               for c in COLORS]
    if conds:
        expected = sum(all(common.cond_holds(c, columns, i) for c in conds) for i in keep)
        queries.append((f"count of {' and '.join(map(common.describe_cond, conds))}", conds,
                        expected))
    for text, cs, expected in queries:
        fn = tool.prepare(index, objs, {"kind": "count", "conds": cs})
        if fn is None:
            continue
        answer = int(fn())
        if answer != expected:
            problems.append(f"{text}: {answer}, a scan {expected}")
    return problems


# ---------------------------------------------------------------------------------------------
# Workers (one process each; the result is one JSON line)
# ---------------------------------------------------------------------------------------------

def worker_build(name, p):
    """Objects made by a keyword call, then indexed: both timed, each run with new objects."""
    tool, version = common.load_tool(name)
    n = p["objects"]
    columns, rows = car_rows(n)
    cls = car_class(tool)
    runs, problems = [], []
    spent = 0.0
    while len(runs) < p["repeat"] and (not runs or spent < p["budget_s"]):
        gc.collect()
        start = time.perf_counter()
        objs = make_cars(cls, rows)
        made = time.perf_counter()
        index = tool.build(objs, ATTRS)
        done = time.perf_counter()
        runs.append([made - start, done - made])
        spent += done - start
        if len(runs) == 1:
            position = {id(o): i for i, o in enumerate(objs)}
            problems = check_index(tool, index, objs, position, columns, range(n))
            del position
        del index, objs
    return {"version": version, "label": tool.label, "runs": runs, "problems": problems}


def worker_construct(p):
    """ns per object of a comprehension of keyword calls, the classes taking turns."""
    from dataclasses import dataclass

    from Quorvane import Index, Indexable
    from Quorvane import PyQueryExpr as Q

    class Item(Indexable):
        pass

    @dataclass
    class IndexableData(Indexable):
        manufacturer: str
        model: str
        color: str
        doors: int
        price: float

    @dataclass
    class PlainData:
        manufacturer: str
        model: str
        color: str
        doors: int
        price: float

    columns, rows = car_rows(p["objects"])
    cases = {"indexable": Item, "plain_init": Car, "indexable_dataclass": IndexableData,
             "plain_dataclass": PlainData}
    times = {key: [] for key in list(cases) + ["tuple"]}
    problems = []
    for r in range(p["runs"]):
        keys = list(times)
        keys = keys[r % len(keys):] + keys[:r % len(keys)]
        for key in keys:
            gc.collect()
            start = time.perf_counter()
            if key == "tuple":
                objs = [(a, b, c, d, e) for a, b, c, d, e in rows]
            else:
                objs = make_cars(cases[key], rows)
            times[key].append((time.perf_counter() - start) * 1e9 / len(rows))
            if r == 0 and key != "tuple":
                got = [(o.manufacturer, o.model, o.color, o.doors, o.price) for o in objs]
                if got != rows:
                    problems.append(f"{key}: the objects do not hold the values given")
                if issubclass(cases[key], Indexable):
                    index = Index()
                    index.add_object_many(objs)
                    counts = collections.Counter(columns["color"])
                    for c in COLORS:
                        if index.count(Q.eq("color", c)) != counts[c]:
                            problems.append(f"{key}: count of color == {c!r} in an Index "
                                            f"differs from a scan")
                    del index
            del objs
    return {"ns": times, "problems": problems}


def worker_remove(name, p):
    """One way of removing the objects matching REMOVE_CONDS, on a fresh index each run."""
    tool, version = common.load_tool(name)
    n = p["objects"]
    columns, rows = car_rows(n)
    objs = make_cars(car_class(tool), rows)
    position = {id(o): i for i, o in enumerate(objs)}
    targets = common.matches(REMOVE_CONDS, columns)
    gc.collect()
    gc.freeze()  # the data set is long-lived: the collector need not walk it again
    out = {"version": version, "label": tool.label, "targets": len(targets)}
    if p["way"] == "one":
        out["ways"] = [[key, text, fn is not None] for key, text, fn in tool.removals()]
        out["what"] = tool.one_by_one
        if getattr(tool, "remover", None) is None:
            return dict(out, unsupported=True)
        index = tool.build(objs, ATTRS)
        gc.collect()
        remove = tool.remover(index, objs)
        flush = getattr(tool, "flush", None)
        done = 0
        start = time.perf_counter()
        deadline = start + p["budget_s"]
        for pos in targets:
            remove(pos, objs[pos])
            done += 1
            if not done & 31 and time.perf_counter() > deadline:
                break
        if flush is not None:
            flush(index)
        out["seconds"] = time.perf_counter() - start
        out["done"] = done
        removed = set(targets[:done])
        keep = [i for i in range(n) if i not in removed]
        out["problems"] = check_index(tool, index, objs, position, columns, keep, REMOVE_CONDS)
        return out
    way = next(w for w in tool.removals() if w[0] == p["way"])
    out["what"], fn = way[1], way[2]
    if fn is None:
        return dict(out, unsupported=True)
    targeted = set(targets)
    keep = [i for i in range(n) if i not in targeted]
    runs, problems = [], []
    while len(runs) < p["repeat"] and (not runs or sum(runs) < p["budget_s"]):
        index = tool.build(objs, ATTRS)
        gc.collect()
        start = time.perf_counter()
        index, answered = fn(index, objs, REMOVE_CONDS)
        runs.append(time.perf_counter() - start)
        if len(runs) == 1:
            problems = check_index(tool, index, objs, position, columns, keep, REMOVE_CONDS)
            out["answered"] = answered
            if answered is not None and answered != len(targets):
                problems.append(f"the call answers {answered} removed, a scan {len(targets)}")
        del index
    return dict(out, runs=runs, problems=problems)


def worker_relink(name, p):
    """Entities whose `pos` holds a Pos whose `zone` is shared by p["sharers"] entities:
    relinking (`e.pos = Pos(zone=z2)`) and removing, timed in batches of 100 operations."""
    n, sharers, ops = p["entities"], p["sharers"], p["ops"]
    zones_n = max(1, n // sharers)
    if name == "quorvane":
        from importlib.metadata import version as dist_version

        from Quorvane import Index, Indexable
        from Quorvane import PyQueryExpr as Q
        version = "Quorvane " + dist_version("Quorvane")

        class Zone(Indexable):
            pass

        class Pos(Indexable):
            pass

        class Entity(Indexable):
            pass
    else:
        version = "Python " + sys.version.split()[0]

        class Zone:
            def __init__(self, name):
                self.name = name

        class Pos:
            def __init__(self, zone):
                self.zone = zone

        class Entity:
            def __init__(self, eid, pos):
                self.eid = eid
                self.pos = pos

    zones = [Zone(name=f"zone-{z:05d}") for z in range(zones_n)]
    entities = [Entity(eid=i, pos=Pos(zone=zones[i % zones_n])) for i in range(n)]
    position = {id(e): i for i, e in enumerate(entities)}
    if name == "quorvane":
        index = Index()
        index.add_object_many(entities)
    elif name == "hand":
        by_zone = collections.defaultdict(set)  # pos.zone.name -> entities
        for e in entities:
            by_zone[e.pos.zone.name].add(e)
    gc.collect()
    gc.freeze()

    rng = random.Random(5)
    order = rng.sample(range(n), min(n, 2 * ops))
    relinked, removed = order[:ops], order[ops:2 * ops]
    pairs = [(entities[i], zones[(i % zones_n + 1) % zones_n]) for i in relinked]

    def timed(batches, body):
        """Seconds of each batch, until p["budget_s"] is spent."""
        out = []
        for batch in batches:
            start = time.perf_counter()
            body(batch)
            out.append(time.perf_counter() - start)
            if sum(out) > p["budget_s"]:
                break
        return out

    def batched(items):
        return [items[k:k + 100] for k in range(0, len(items), 100)]

    if name == "hand":
        def relink(batch):
            for e, z in batch:
                by_zone[e.pos.zone.name].discard(e)
                e.pos = Pos(zone=z)
                by_zone[z.name].add(e)

        def remove(batch):
            for e in batch:
                by_zone[e.pos.zone.name].discard(e)
    else:
        def relink(batch):
            for e, z in batch:
                e.pos = Pos(zone=z)

        def remove(batch):
            for e in batch:
                index.remove_object(e)

    def check(gone, when):
        """Every zone's members, from the tool, against a scan of the entities left."""
        problems = []
        scan = collections.defaultdict(list)
        for i, e in enumerate(entities):
            if i in gone:
                continue
            zname = e.pos.zone.name
            if zname != zones[expected_zone.get(i, i % zones_n)].name:
                problems.append(f"{when}: entity {i} reads zone {zname}")
                break
            scan[zname].append(i)
        for z in zones if name != "plain" else ():  # plain objects: the scan is all there is
            want = [len(scan[z.name]), sum(scan[z.name])]
            if name == "quorvane":
                got = index.reduced_query(Q.eq("pos.zone.name", z.name)).collect()
            else:
                got = by_zone.get(z.name, ())
            sig = [len(got), sum(position[id(e)] for e in got)]
            if sig != want:
                problems.append(f"{when}: pos.zone.name == {z.name!r} answers {sig} (count, sum "
                                f"of positions), a scan {want}")
        if name == "quorvane" and len(index) != n - len(gone):
            problems.append(f"{when}: {len(index)} members, a scan {n - len(gone)}")
        return problems

    out = {"version": version, "zones": zones_n}
    out["relink"] = timed(batched(pairs), relink)
    out["relinked"] = done = min(len(pairs), 100 * len(out["relink"]))
    expected_zone = {i: (i % zones_n + 1) % zones_n for i in relinked[:done]}
    problems = check(set(), "after the relinks")
    if name != "plain":
        out["remove"] = timed(batched([entities[i] for i in removed]), remove)
        out["removed"] = done = min(len(removed), 100 * len(out["remove"]))
        problems += check(set(removed[:done]), "after the removals")
    out["problems"] = problems
    return out


def worker_threads(name, p):
    """Assigners and queriers on one index for p["seconds"] each configuration."""
    tool, version = common.load_tool("quorvane_many" if name == "quorvane" else name)
    n, seconds = p["objects"], p["seconds"]
    if name == "sqlite":
        tool.check_same_thread = False
    columns, rows = car_rows(n)
    objs = make_cars(car_class(tool), rows)
    position = {id(o): i for i, o in enumerate(objs)}
    index = tool.build(objs, ATTRS)
    if name == "sqlite":
        index.isolation_level = None  # autocommit: every UPDATE is its own transaction
    gc.collect()
    gc.freeze()  # the objects and the index are long-lived: the collector need not walk them
    lock = threading.Lock() if name in GUARDED else None
    setter = tool.setter(index, objs)

    # The queries: equalities on model (~1%), price ranges 500 wide (~1%), counts of a color
    # (~10%), taking turns.
    rng = random.Random(9)
    models = sorted(set(columns["model"]))
    queries = []
    for k in range(10):
        lo = round(rng.uniform(1000.0, 50000.0), 2)
        queries += [{"kind": "find", "conds": [("model", "eq", rng.choice(models))]},
                    {"kind": "find", "conds": [("price", "bt", (lo, lo + 500.0))]},
                    {"kind": "count", "conds": [("color", "eq", COLORS[k])]}]
    fns = [tool.prepare(index, objs, q) for q in queries]
    if lock is not None:
        def guard(fn):
            def guarded():
                with lock:
                    return fn()
            return guarded
        fns = [guard(fn) for fn in fns]

    running = [False]
    errors = []

    def assigner(seed, counts, slot):
        r = random.Random(seed)
        done = 0
        try:
            while running[0]:
                pos = r.randrange(n)
                obj = objs[pos]
                if done & 1:
                    attr, value = "price", round(1000.0 + r.random() * 50000.0, 2)
                else:
                    attr, value = "color", COLORS[r.randrange(len(COLORS))]
                if lock is None:
                    setter(pos, obj, attr, value)
                else:
                    with lock:
                        setter(pos, obj, attr, value)
                done += 1
        except Exception as e:  # reported, not raised in the thread
            errors.append(f"assigner: {e!r}")
        counts[slot] = done

    def querier(start, counts, slot):
        done, k = 0, start
        try:
            while running[0]:
                fns[k % len(fns)]()
                k += 1
                done += 1
        except Exception as e:
            errors.append(f"querier: {e!r}")
        counts[slot] = done

    # A warm-up (one thread of each kind for a third of the time, not reported), then the
    # configurations.
    configs = [(1, 1), (1, 0), (0, 1), (2, 0), (0, 2), (2, 2)]
    results = []
    for a, q in configs:
        counts = [0] * (a + q)
        threads = [threading.Thread(target=assigner, args=(100 * len(results) + i, counts, i))
                   for i in range(a)]
        threads += [threading.Thread(target=querier, args=(7 * i, counts, a + i))
                    for i in range(q)]
        running[0] = True
        start = time.perf_counter()
        for t in threads:
            t.start()
        time.sleep(seconds if results else seconds / 3)
        running[0] = False
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - start
        results.append({"assigners": a, "queriers": q, "seconds": elapsed,
                        "assignments": sum(counts[:a]), "queries": sum(counts[a:])})

    # The tool's answers against a scan of the objects' values now.
    problems = list(errors)
    current = {attr: [getattr(o, attr) for o in objs] for attr in ATTRS}
    for query in queries:
        _, expected = common.scan_answer(query, current)
        got = common.signature(query, tool.prepare(index, objs, query)(), position)
        if got != expected:
            problems.append(f"after the threads, {common.describe(query)}: {got}, a scan "
                            f"{expected}")
    return {"version": version, "label": tool.label, "configs": results[1:],
            "problems": problems}


def worker_main(args):
    # Replies go through a private copy of stdout; anything a library prints goes to stderr.
    channel = os.fdopen(os.dup(sys.stdout.fileno()), "w")
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    p = json.loads(args.params)
    if args.worker == "build":
        out = worker_build(args.tool, p)
    elif args.worker == "construct":
        out = worker_construct(p)
    elif args.worker == "remove":
        out = worker_remove(args.tool, p)
    elif args.worker == "relink":
        out = worker_relink(args.tool, p)
    elif args.worker == "threads":
        out = worker_threads(args.tool, p)
    else:
        raise ValueError(args.worker)
    channel.write(json.dumps(out) + "\n")
    channel.flush()


# ---------------------------------------------------------------------------------------------
# Coordinator
# ---------------------------------------------------------------------------------------------

def log(text):
    print(text, file=sys.stderr, flush=True)


def run_worker(case, tool, params, timeout):
    import compare
    python = compare.python_for(tool) if tool in common.TOOL_MODULES else sys.executable
    cmd = [python, os.path.abspath(__file__), "--worker", case, "--tool", tool,
           "--params", json.dumps(params)]
    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"did not finish within {timeout:.0f} s"}
    if proc.returncode != 0 or not proc.stdout.strip():
        lines = proc.stderr.strip().splitlines()
        return {"error": lines[-1] if lines else f"exited with status {proc.returncode}"}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out["wall_s"] = time.perf_counter() - start
    return out


def available_tools(names):
    import compare
    found = {}
    for name in names:
        if name not in common.TOOL_MODULES:
            found[name] = True
        elif name not in found:
            found[name] = compare.available(name)
    return found


def measure(only, tools, sz):
    raw = {}
    wanted = (lambda t: True) if tools is None else (lambda t: t.split("_")[0] in tools)
    avail = available_tools(set(BUILD_TOOLS + REMOVE_TOOLS + THREAD_TOOLS))
    raw["available"] = avail
    if "build" in only:
        raw["build"] = {}
        for tool in filter(wanted, BUILD_TOOLS):
            if not avail[tool]:
                continue
            raw["build"][tool] = res = run_worker(
                "build", tool, {"objects": sz["build_objects"], "repeat": sz["build_repeat"],
                                "budget_s": 15.0}, timeout=900)
            log(f"  build {tool}: {short(res)}")
    if "construct" in only:
        raw["construct"] = run_worker("construct", "quorvane",
                                      {"objects": sz["construct_objects"],
                                       "runs": sz["construct_runs"]}, timeout=600)
        log(f"  construct: {short(raw['construct'])}")
    if "remove" in only:
        raw["remove"] = {}
        for tool in filter(wanted, REMOVE_TOOLS):
            if not avail[tool]:
                continue
            base = {"objects": sz["remove_objects"], "repeat": sz["remove_repeat"],
                    "budget_s": sz["one_budget_s"]}
            res = run_worker("remove", tool, dict(base, way="one"), timeout=900)
            raw["remove"][tool] = {"one": res}
            log(f"  remove {tool} one by one: {short(res)}")
            for key, _, ok in res.get("ways", ()):
                most, why = SLOW_WAYS.get((tool, key), (None, ""))
                if not ok:
                    got = {"unsupported": True}
                elif most is not None and sz["remove_objects"] > most:
                    got = {"skipped": f"not run at {sz['remove_objects']:,} objects ({why}: "
                                      f"{(sz['remove_objects'] / most) ** 2:,.0f} times as many "
                                      f"as at {most:,}, where `--quick` measures it)"}
                else:
                    got = run_worker("remove", tool,
                                     dict(base, way=key, budget_s=sz["bulk_budget_s"]),
                                     timeout=900)
                raw["remove"][tool][key] = got
                log(f"  remove {tool} {key}: {short(got)}")
    if "relink" in only:
        raw["relink"] = {}
        for sharers in sz["sharers"]:
            for tool in filter(wanted, RELINK_TOOLS):
                key = f"{tool} {sharers}"
                raw["relink"][key] = res = run_worker(
                    "relink", tool, {"entities": sz["relink_entities"], "sharers": sharers,
                                     "ops": sz["relink_ops"], "budget_s": sz["relink_budget_s"]},
                    timeout=900)
                log(f"  relink {key}: {short(res)}")
    if "threads" in only:
        raw["threads"] = {}
        for tool in filter(wanted, THREAD_TOOLS):
            raw["threads"][tool] = res = run_worker(
                "threads", tool, {"objects": sz["thread_objects"],
                                  "seconds": sz["thread_seconds"]}, timeout=900)
            log(f"  threads {tool}: {short(res)}")
    return raw


def short(res):
    if "error" in res:
        return "ERROR " + res["error"]
    text = json.dumps({k: v for k, v in res.items() if k not in ("version", "label", "ways")})
    return text if len(text) < 160 else text[:157] + "..."


# ---------------------------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------------------------

def fmt(x, digits=None):
    """About three significant digits, thousands separated."""
    if x is None:
        return "n/a"
    if digits is not None:
        return f"{x:,.{digits}f}"
    if x == 0:
        return "0"
    if abs(x) >= 100:
        return f"{x:,.0f}"
    if abs(x) >= 10:
        return f"{x:.1f}"
    if abs(x) >= 1:
        return f"{x:.2f}"
    return f"{x:.3g}"


def ratio(x, ref):
    import compare
    return compare.fmt_ratio(x / ref) if x is not None and ref else ""


def label(tool):
    import compare
    return compare.LABELS.get(tool, tool)


def not_installed(tool):
    import compare
    return compare.NOT_INSTALLED.get(tool, "not installed (`compare.py --install`)")


def build_section(raw, sz):
    res = raw["build"]
    n = sz["build_objects"]
    out = [f"### Building, object construction included (cars, {n:,} objects, 5 attributes)", "",
           "Each tool in a fresh process: the values are made first; what is timed is making "
           "the objects by a keyword call of their class (`Item(manufacturer=..., model=..., "
           "color=..., doors=..., price=...)`, `Item` an `Indexable` subclass, for Quorvane; "
           "the same call of a plain class whose `__init__` sets the five attributes for the "
           "peers; the cyclic garbage collector on, as in a program), then building the index "
           f"over them. Medians of up to {sz['build_repeat']} runs, each with new objects; the "
           "first run, in the fresh process, beside them. Checked: every index's members and "
           "its count of each color equal a scan.", "",
           "| tool | what is timed | objects ms | index ms | objects + index ms | first run ms "
           "| runs | ratio to Quorvane `add_object_many` |",
           "|---|---|---:|---:|---:|---:|---:|---:|"]
    what = {"quorvane_many": "`[Item(**kw) ...]`, then `index.add_object_many(objs)`",
            "quorvane": "`[Item(**kw) ...]`, then `index.add_object(obj)` for each",
            "hand": "`[Car(**kw) ...]`, then a dict of value -> set per attribute and sorted keys",
            "frozendex": "`[Car(**kw) ...]`, then `FrozenDex(objs, attrs)`",
            "dex": "`[Car(**kw) ...]`, then `Dex(objs, attrs)`",
            "pandas": "`[Car(**kw) ...]`, then a DataFrame of their attributes",
            "polars": "`[Car(**kw) ...]`, then a polars DataFrame of their attributes",
            "sqlite": "`[Car(**kw) ...]`, then `INSERT` of every row, an index per column, "
                      "`ANALYZE`",
            "littletable": "`[Car(**kw) ...]`, then `Table.insert_many` and an index per "
                           "attribute",
            "listcomp": "`[Car(**kw) ...]`, then `list(objs)`"}
    ref = None
    if "quorvane_many" in res and "runs" in res["quorvane_many"]:
        ref = statistics.median(a + b for a, b in res["quorvane_many"]["runs"]) * 1000
    for tool in BUILD_TOOLS:
        if tool not in res:
            if not raw["available"].get(tool, True):
                out.append(f"| {label(tool)} | {not_installed(tool)} | | | | | | |")
            continue
        r = res[tool]
        if "error" in r:
            out.append(f"| {label(tool)} | {what[tool]}: failed ({r['error']}) | | | | | | |")
            continue
        objs_ms = statistics.median(a for a, _ in r["runs"]) * 1000
        index_ms = statistics.median(b for _, b in r["runs"]) * 1000
        total = statistics.median(a + b for a, b in r["runs"]) * 1000
        first = sum(r["runs"][0]) * 1000
        out.append(f"| {label(tool)} | {what[tool]} | {fmt(objs_ms)} | {fmt(index_ms)} | "
                   f"{fmt(total)} | {fmt(first)} | {len(r['runs'])} | {ratio(total, ref)} |")
    return out


def construct_section(raw, sz):
    r = raw["construct"]
    out = ["### Constructing one object (5 keyword attributes)", "",
           f"Nanoseconds per object of `[cls(manufacturer=a, model=b, color=c, doors=d, "
           f"price=e) for a, b, c, d, e in rows]` over {sz['construct_objects']:,} rows of the "
           f"cars (the objects kept until the run ends, then dropped untimed); median of "
           f"{sz['construct_runs']} runs, the classes taking turns within each run. Checked: "
           "every object holds the values given, and an Index of the Indexable ones counts "
           "each color as a scan does.", ""]
    if "error" in r:
        return out + [f"Failed: {r['error']}"]
    rows = [("indexable", "`class Item(Indexable): pass`, called with keywords"),
            ("indexable_dataclass", "`@dataclass class Item(Indexable)` with the 5 fields"),
            ("plain_init", "plain class whose `__init__` sets the 5 attributes"),
            ("plain_dataclass", "plain `@dataclass` with the 5 fields"),
            ("tuple", "the loop alone: a tuple of the 5 values")]
    ref = statistics.median(r["ns"]["plain_init"])
    out += ["| class | ns per object (median) | fastest run | ratio to the plain class |",
            "|---|---:|---:|---:|"]
    for key, text in rows:
        ns = r["ns"][key]
        out.append(f"| {text} | {fmt(statistics.median(ns))} | {fmt(min(ns))} | "
                   f"{ratio(statistics.median(ns), ref)} |")
    return out


def remove_section(raw, sz):
    res = raw["remove"]
    n = sz["remove_objects"]
    targets = next((r["one"]["targets"] for r in res.values() if "targets" in r["one"]), None)
    cond_text = " and ".join(map(common.describe_cond, REMOVE_CONDS))
    share = f" ({targets:,}, {targets / n:.1%})" if targets else ""
    out = [f"### Removing 5% of {n:,} cars", "",
           f"The cars matching `{cond_text}`{share}. Every tool in a fresh process per way of "
           "removing, its index built untimed first. Checked after the removals: the members "
           "left (their number and the sum of their positions) and the tool's own count of "
           "each color and of the removed condition equal a scan of the cars that should "
           "remain.", "",
           "#### One by one", "",
           f"The cars removed in the order of their positions, one call each. A tool still "
           f"removing after {sz['one_budget_s']:g} s stops there: its time per removal is "
           "measured over the removals it made, and the time for all of them is that figure "
           "times their number (marked *extrapolated*).", "",
           "| tool | what is timed (per removal) | removals timed | µs per removal | all "
           "removals ms | ratio to Quorvane |", "|---|---|---:|---:|---:|---:|"]
    ref_one = None
    q = res.get("quorvane_many", {}).get("one", {})
    if q.get("done"):
        ref_one = q["seconds"] / q["done"]
    for tool in REMOVE_TOOLS:
        name = "Quorvane" if tool == "quorvane_many" else label(tool)
        if tool not in res:
            if not raw["available"].get(tool, True):
                out.append(f"| {name} | {not_installed(tool)} | | | | |")
            continue
        r = res[tool]["one"]
        if "error" in r:
            out.append(f"| {name} | failed: {r['error']} | | | | |")
            continue
        if r.get("unsupported"):
            out.append(f"| {name} | no removal: the index is immutable | | | | |")
            continue
        per = r["seconds"] / r["done"]
        whole = per * r["targets"] * 1000
        extra = "" if r["done"] == r["targets"] else " (extrapolated)"
        out.append(f"| {name} | {r['what']} | {r['done']:,} of {r['targets']:,} | "
                   f"{fmt(per * 1e6)} | {fmt(whole)}{extra} | {ratio(per, ref_one)} |")
    out += ["", "#### By the query", "",
            f"All of them in one go, as each tool would naturally do it; median of up to "
            f"{sz['remove_repeat']} runs (no new run after {sz['bulk_budget_s']:g} s), each on a "
            "new index. The query (or mask, or "
            "comprehension) is built inside the timed call. *removed* is the number the call "
            "answers, where it answers one. The list comprehension, which rebuilds the list "
            "of objects without them, is the reference.", "",
            "| tool | what is timed | ms (median) | runs | ratio to the list comprehension "
            "| removed |", "|---|---|---:|---:|---:|---:|"]
    ref = res.get("listcomp", {}).get("rebuild", {})
    ref_ms = statistics.median(ref["runs"]) * 1000 if ref.get("runs") else None
    for tool in REMOVE_TOOLS:
        name = "Quorvane" if tool == "quorvane_many" else label(tool)
        if tool not in res:
            if not raw["available"].get(tool, True):
                out.append(f"| {name} | {not_installed(tool)} | | | | |")
            continue
        ways = res[tool]["one"].get("ways", [])
        if not ways and "error" not in res[tool]["one"]:
            out.append(f"| {name} | no removal: the index is immutable | | | | |")
        for key, what, _ in ways:
            r = res[tool].get(key, {})
            if "error" in r:
                out.append(f"| {name} | {what}: failed ({r['error']}) | | | | |")
            elif r.get("unsupported"):
                why = ("not available: this build of Quorvane has no `Index.remove_where`"
                       if key == "remove_where" else "not available")
                out.append(f"| {name} | {what}: {why} | n/a | | | |")
            elif "skipped" in r:
                out.append(f"| {name} | {what}: {r['skipped']} | n/a | | | |")
            else:
                ms = statistics.median(r["runs"]) * 1000
                answered = "" if r.get("answered") is None else f"{r['answered']:,}"
                mark = " (reference)" if tool == "listcomp" else ""
                out.append(f"| {name}{mark} | {what} | {fmt(ms)} | {len(r['runs'])} | "
                           f"{ratio(ms, ref_ms)} | {answered} |")
    return out


def relink_section(raw, sz):
    res = raw["relink"]
    n, ops = sz["relink_entities"], sz["relink_ops"]
    out = [f"### Relinking nested objects shared by few and by many ({n:,} entities)", "",
           "A game-entity store: every entity `e` holds `e.pos = Pos(zone=z)`, each zone "
           "(`Zone(name=...)`) shared by 40 entities or by 20,000; the index holds the entities "
           "and is queried by `Q.eq(\"pos.zone.name\", name)`. What is timed: "
           f"`e.pos = Pos(zone=z2)` (the new `Pos` made in the statement) for up to {ops:,} "
           f"entities in random order, z2 the next zone, then the removal of up to {ops:,} "
           f"other entities, in batches of 100 operations; a series stops after "
           f"{sz['relink_budget_s']:g} s (*operations* says how many ran). The hand-written index is a dict of zone name -> set "
           "of entities that each relink and removal updates (a set move; it does not follow a "
           "zone's renaming); *plain objects* is the assignment with no index. Checked after "
           "the relinks and after the removals: every zone's members by dotted path (their "
           "number and the sum of their positions) equal a scan of the entities left.", "",
           "| tool | zone shared by | zones | operation (what is timed) | operations | µs per "
           "operation (mean) | median of batches of 100 | ratio to plain objects |",
           "|---|---:|---:|---|---:|---:|---:|---:|"]
    for sharers in sz["sharers"]:
        plain = res.get(f"plain {sharers}", {})
        plain_us = (sum(plain["relink"]) / plain["relinked"] * 1e6
                    if plain.get("relink") else None)
        for tool in RELINK_TOOLS:
            r = res.get(f"{tool} {sharers}")
            if r is None:
                continue
            name = {"plain": "plain objects", "hand": label("hand"), "quorvane": "Quorvane"}[tool]
            if "error" in r:
                out.append(f"| {name} | {sharers:,} | | failed: {r['error']} | | | | |")
                continue
            for op, count, text in (
                    ("relink", "relinked", "`e.pos = Pos(zone=z2)`"),
                    ("remove", "removed", "`index.remove_object(e)`" if tool == "quorvane"
                     else "discard from its zone's set")):
                if op not in r:
                    continue
                mean = sum(r[op]) / r[count] * 1e6
                median = statistics.median(r[op]) / 100 * 1e6
                rel = ratio(mean, plain_us) if op == "relink" else ""
                out.append(f"| {name} | {sharers:,} | {r['zones']:,} | {text} | {r[count]:,} | "
                           f"{fmt(mean)} | {fmt(median)} | {rel} |")
    return out


def threads_section(raw, sz):
    res = raw["threads"]
    n, seconds = sz["thread_objects"], sz["thread_seconds"]
    out = [f"### Threads: assignments and queries at once (cars, {n:,} objects)", "",
           f"Each configuration runs for {seconds:g} s of wall time on one index in one process "
           "(Python's GIL included), after an unreported warm-up of one thread of each kind. An assigning thread picks a random member and sets its "
           "`color` (one of 10) or its `price` (a new float), in turn; a querying thread runs, "
           "in turn, an equality on `model` (~1%, the objects collected), a `price` range 500 "
           "wide (~1%, collected) and a count of one `color` (~10%). Counted: the operations "
           "completed by all threads of a kind, per second of the run. *vs alone* divides by "
           "the same figure of one thread of that kind running alone. Quorvane takes no lock of "
           "the caller's; sqlite3 is " + GUARDED["sqlite"] + "; the hand-written index is "
           + GUARDED["hand"] + ". Checked after the runs: every query the threads ran answers "
           "as a scan of the objects' final values.", "",
           "| tool | threads | assignments/s | vs 1 assigner alone | queries/s | vs 1 querier "
           "alone |", "|---|---|---:|---:|---:|---:|"]
    for tool in THREAD_TOOLS:
        r = res.get(tool)
        if r is None:
            continue
        name = "Quorvane" if tool == "quorvane" else label(tool)
        if "error" in r:
            out.append(f"| {name} | failed: {r['error']} | | | | |")
            continue
        alone = {}
        for c in r["configs"]:
            if (c["assigners"], c["queriers"]) == (1, 0):
                alone["a"] = c["assignments"] / c["seconds"]
            if (c["assigners"], c["queriers"]) == (0, 1):
                alone["q"] = c["queries"] / c["seconds"]
        for c in r["configs"]:
            a, q = c["assigners"], c["queriers"]
            what = " + ".join(filter(None, [f"{a} assigning" if a else "",
                                            f"{q} querying" if q else ""]))
            ar = c["assignments"] / c["seconds"] if a else None
            qr = c["queries"] / c["seconds"] if q else None
            out.append(f"| {name} | {what} | {fmt(ar, 0) if a else ''} | "
                       f"{ratio(ar, alone.get('a')) if a else ''} | {fmt(qr, 0) if q else ''} | "
                       f"{ratio(qr, alone.get('q')) if q else ''} |")
    return out


def problems_of(raw):
    found = []

    def visit(where, node):
        if isinstance(node, dict):
            for p in node.get("problems", ()):
                found.append(f"{where}: {p}")
            if "error" in node:
                found.append(f"{where}: {node['error']}")
            for k, v in node.items():
                if isinstance(v, dict):
                    visit(f"{where} {k}".strip(), v)
    for case in CASES:
        if case in raw:
            visit(case, raw[case])
    return found


def write_report(path, raw, sz, meta):
    versions = set()

    def collect(node):
        if isinstance(node, dict):
            if isinstance(node.get("version"), str):
                versions.add(node["version"])
            for v in node.values():
                collect(v)
    collect(raw)
    out = [f"Measured by `{meta['command']}` on {meta['date']} from {meta['source']} "
           f"({meta['machine']}; {meta['elapsed'] / 60:.1f} minutes). Versions: "
           + "; ".join(sorted(versions)) + ".", ""]
    problems = problems_of(raw)
    if problems:
        out += ["#### Problems", ""] + [f"- {p}" for p in problems] + [""]
    for case, section in (("build", build_section), ("construct", construct_section),
                          ("remove", remove_section), ("relink", relink_section),
                          ("threads", threads_section)):
        if case in raw:
            out += section(raw, sz) + [""]
    with open(path, "w") as f:
        f.write("\n".join(out))
    return problems


def render_compare_report(quick):
    """compare.py's report again from its raw figures, now that these tables are new."""
    raw = os.path.join(ROOT, "build", "benchmarks-quick.json" if quick else "benchmarks.json")
    if not os.path.exists(raw):
        log(f"{raw} does not exist yet: the comparison report takes these tables in at its "
            "next run")
        return
    subprocess.run([sys.executable, os.path.join(HERE, "compare.py"), "--render", raw],
                   check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--only", help="comma-separated cases: " + ", ".join(CASES))
    parser.add_argument("--tools", help="comma-separated subset of: quorvane, hand, frozendex, "
                                        "dex, pandas, polars, sqlite, littletable, listcomp, plain")
    parser.add_argument("--md", help="report path")
    parser.add_argument("--no-render", action="store_true",
                        help="do not write compare.py's report again")
    parser.add_argument("--worker", choices=CASES, help=argparse.SUPPRESS)
    parser.add_argument("--tool", help=argparse.SUPPRESS)
    parser.add_argument("--params", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker_main(args)
        return 0

    import compare
    sz = sizes(args.quick)
    only = args.only.split(",") if args.only else list(CASES)
    tools = set(args.tools.split(",")) | {"quorvane"} if args.tools else None
    md = args.md or os.path.join(ROOT, "build", "benchmarks-writes-quick.md" if args.quick
                                 else "benchmarks-writes.md")
    start = time.perf_counter()
    raw = measure(only, tools, sz)
    elapsed = time.perf_counter() - start
    meta = {"command": "python benchmarks/writes.py" + (" --quick" if args.quick else ""),
            "date": datetime.date.today().isoformat(), "source": compare.source_state(),
            "machine": compare.machine(), "elapsed": elapsed, "sizes": sz}
    os.makedirs(os.path.dirname(os.path.abspath(md)), exist_ok=True)
    with open(os.path.splitext(md)[0] + ".json", "w") as f:
        json.dump({"meta": meta, "raw": raw}, f, indent=1)
    problems = write_report(md, raw, sz, meta)
    log(f"measured in {elapsed / 60:.1f} minutes; wrote {md}")
    for p in problems:
        log("PROBLEM: " + p)
    if not args.no_render and not args.md:
        render_compare_report(args.quick)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
