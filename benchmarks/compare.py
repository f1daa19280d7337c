"""Compares Quorvane with the tools Python users pick today for finding objects by attributes:
ducks (Dex, FrozenDex), littletable, pandas boolean masks, polars filter expressions, an indexed
in-memory sqlite3 table (also with a composite index for the multi-condition queries), a
hand-written dict-of-sets index and a plain list comprehension, plus the floor (only building
the Python list of the result objects).

    .venv/bin/python benchmarks/compare.py --install   # peers into .venv, ducks into build/ducks-venv
                                                       # (polars too, where it installs)
    .venv/bin/python benchmarks/compare.py             # full run
    .venv/bin/python benchmarks/compare.py --quick     # 100k objects, to check the harness
    .venv/bin/python benchmarks/compare.py --render build/benchmarks.json   # report again

The full run writes docs/benchmarks.md and docs/benchmarks.png; --quick writes
build/benchmarks-quick.md and .png unless --md/--png say otherwise. Raw figures go to a JSON file
beside the report in build/. The report takes in the tables of benchmarks/memory.py
(build/benchmarks-memory.md) and of benchmarks/writes.py (build/benchmarks-writes.md, or
build/benchmarks-writes-quick.md for a --quick report) as they are when it is written; writes.py
writes the report again (--render) once its tables are new.

Each tool runs in its own long-lived worker process per data set (see
benchmarks/peers/common.py), which builds the tool's index once (its time and RSS growth are
measured in that fresh process) and keeps it. The workers are then visited round-robin: every
round runs every query once in every worker, the tools in an order that rotates from round to
round, so every tool gets the same number of samples taken under the same load of the machine;
the report gives medians. Every tool's answer to every query is checked against a plain scan of
the data (hit count and the sum of the positions of the hit objects, the positions in order
for an ordered answer, the counts of a grouping; after an assignment, the tool's own lookup by
the new and the old value); a mismatch is reported and makes the exit status 1.
"""
import argparse
import datetime
import json
import math
import os
import platform
import select
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEERS = os.path.join(ROOT, "benchmarks", "peers")
sys.path.insert(0, PEERS)
import common

DUCKS_VENV = os.path.join(ROOT, "build", "ducks-venv")
DUCKS_PY = os.path.join(DUCKS_VENV, "bin", "python")
# ducks 0.5.1 declares numpy<2 and BTrees<5: BTrees 4 does not build on Python 3.13 here, so the
# newest BTrees is installed beside it (ducks is installed without its declared dependencies).
DUCKS_PACKAGES = ["BTrees", "cykhash>=2,<3", "numpy<2", "readerwriterlock>=1.0.9,<2",
                  "sortednp>=0.4,<0.5"]
VENV_PACKAGES = ["littletable", "pandas", "pyarrow", "matplotlib"]
# Peers whose wheels may be missing for a machine: a failed install is reported and the tool's
# rows say that it is not installed.
OPTIONAL_PACKAGES = ["polars"]

QUERY_TOOLS = ["quorvane", "hand", "frozendex", "dex", "pandas", "polars", "sqlite",
               "sqlite_composite", "littletable", "listcomp"]
BUILD_TOOLS = ["quorvane", "quorvane_many", "hand", "frozendex", "dex", "pandas", "polars",
               "sqlite", "sqlite_composite", "littletable", "listcomp"]
# The events have no query of several conditions that one composite index serves.
EVENTS_QUICK_TOOLS = [t for t in BUILD_TOOLS if t != "sqlite_composite"]
# At a million events littletable is left out: every query but an equality is a predicate scan
# that copies its answer into a new indexed Table, and removing a row to re-index it scans the
# rows, so one round of its queries alone takes longer than all the other tools together.
EVENTS_TOOLS = [t for t in EVENTS_QUICK_TOOLS if t != "littletable"]
COLORS = {"quorvane": "#d62728", "quorvane_many": "#ff9896", "hand": "#e377c2",
          "frozendex": "#1f77b4", "dex": "#aec7e8", "pandas": "#2ca02c", "polars": "#bcbd22",
          "sqlite": "#9467bd", "sqlite_composite": "#c5b0d5", "littletable": "#8c564b",
          "listcomp": "#7f7f7f", "floor": "#000000"}
LABELS = {"quorvane": "Quorvane", "quorvane_many": "Quorvane add_object_many",
          "hand": "hand-written dict index", "frozendex": "ducks FrozenDex", "dex": "ducks Dex",
          "pandas": "pandas", "polars": "polars", "sqlite": "sqlite3 :memory:",
          "sqlite_composite": "sqlite3 (composite index)", "littletable": "littletable",
          "listcomp": "list comprehension", "floor": "floor (list of results)"}
# Why a tool may be missing, for its rows in the report.
NOT_INSTALLED = {"polars": "not installed in .venv: `compare.py --install` tries "
                           "`pip install polars`, which did not succeed here or was not run"}


def install():
    def run(cmd):
        print("+", " ".join(cmd), file=sys.stderr)
        subprocess.run(cmd, check=True)
    run([sys.executable, "-m", "pip", "install", "-q", *VENV_PACKAGES])
    for package in OPTIONAL_PACKAGES:
        print("+", sys.executable, "-m pip install -q", package, file=sys.stderr)
        if subprocess.run([sys.executable, "-m", "pip", "install", "-q", package]).returncode:
            print(f"{package} did not install: its rows will say so", file=sys.stderr)
    if not os.path.exists(DUCKS_PY):
        base = getattr(sys, "_base_executable", sys.executable)
        run([base, "-m", "venv", DUCKS_VENV])
    run([DUCKS_PY, "-m", "pip", "install", "-q", *DUCKS_PACKAGES])
    run([DUCKS_PY, "-m", "pip", "install", "-q", "--no-deps", "ducks==0.5.1"])


def python_for(tool):
    return DUCKS_PY if tool in ("dex", "frozendex") else sys.executable


def available(tool):
    py = python_for(tool)
    if not os.path.exists(py):
        return False
    module = common.TOOL_MODULES[tool]
    probe = subprocess.run([py, "-c", f"import sys; sys.path.insert(0, {PEERS!r}); import {module}"],
                           capture_output=True, check=False)
    return probe.returncode == 0


# ---------------------------------------------------------------------------------------------
# Workers
# ---------------------------------------------------------------------------------------------

class WorkerFailed(Exception):
    pass


class Worker:
    """One long-lived worker process, spoken to in JSON lines."""

    def __init__(self, tool, dataset, n, *, floor, queries, build_repeat, tracemalloc):
        self.tool = tool
        cmd = [python_for(tool), os.path.join(PEERS, "common.py"), "--tool", tool,
               "--dataset", dataset, "--objects", str(n), "--build-repeat", str(build_repeat)]
        if tracemalloc:
            cmd.append("--tracemalloc")
        if floor:
            cmd.append("--floor")
        if not queries:
            cmd.append("--no-queries")
        self.stderr = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr)
        self.buffer = b""

    def read(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                self.kill()
                raise WorkerFailed(f"no answer within {timeout:.0f} s")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    self.proc.wait()
                    raise WorkerFailed(self.last_error())
                self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def request(self, cmd, timeout):
        try:
            self.proc.stdin.write((json.dumps(cmd) + "\n").encode())
            self.proc.stdin.flush()
        except BrokenPipeError:
            self.proc.wait()
            raise WorkerFailed(self.last_error()) from None
        return self.read(timeout)

    def last_error(self):
        self.stderr.seek(0)
        lines = self.stderr.read().strip().splitlines()
        return lines[-1] if lines else f"exited with status {self.proc.returncode}"

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def close(self):
        self.kill()
        self.stderr.close()


def run_group(dataset, n, tools, opts, log):
    """Builds every tool's index (one worker at a time), checks the answers, times the queries
    round-robin, then lets every worker finish its builds. Returns {tool: result}."""
    results, workers = {}, {}

    def fail(tool, error):
        log(f"  {tool}: {error}")
        results[tool] = {"tool": tool, "label": LABELS[tool], "error": error}
        w = workers.pop(tool, None)
        if w:
            w.close()

    def finish(tool):
        w = workers[tool]
        try:
            results[tool].update(w.request({"cmd": "finish"}, timeout=opts.get("timeout", 1800)))
        except WorkerFailed as e:
            fail(tool, str(e))
            return
        workers.pop(tool).close()

    for tool in tools:
        start = time.perf_counter()
        queries = tool != "quorvane_many"
        w = workers[tool] = Worker(tool, dataset, n, floor=(tool == "quorvane"), queries=queries,
                                   build_repeat=opts["build_repeat"],
                                   tracemalloc=opts["tracemalloc"])
        try:
            results[tool] = w.read(timeout=opts.get("timeout", 1800))
        except WorkerFailed as e:
            fail(tool, str(e))
            continue
        built_s = results[tool]["first_build_ms"] / 1000
        log(f"  {tool:14s} {dataset} {n:>9,}: built in {built_s:.1f} s "
            f"({time.perf_counter() - start:.0f} s with the data)")
        if not queries:
            finish(tool)

    # One untimed call of every query: answers, and the batch that makes a sample ~1 ms.
    for tool in list(workers):
        try:
            got = workers[tool].request({"cmd": "calibrate"}, timeout=opts.get("timeout", 1800))
            results[tool]["queries"] = got["queries"]
        except WorkerFailed as e:
            fail(tool, str(e))

    def sample_cost(entry):
        def one(e):
            calls = e.get("batch", 0) + (e.get("first_ms", 0) < common.WARM_UP_BELOW_MS)
            return calls * e.get("first_ms", 0)
        return one(entry) + sum(one(b) for b in entry.get("baselines", ()))

    round_ms = sum(sample_cost(e) for t in workers for e in results[t]["queries"])
    rounds = max(opts["min_rounds"], min(opts["max_rounds"],
                                         math.ceil(opts["budget"] * 1000 / max(round_ms, 1e-3))))
    log(f"  {len(workers)} workers, about {round_ms / 1000:.1f} s a round: {rounds} rounds")
    order = [t for t in tools if t in workers]
    nq = max((len(results[t]["queries"]) for t in order), default=0)
    samples = {t: [[] for _ in range(nq)] for t in order}
    base_samples = {t: [{} for _ in range(nq)] for t in order}
    start = time.perf_counter()
    for r in range(rounds):
        shift = r % len(order) if order else 0
        turn = order[shift:] + order[:shift]
        for qi in range(nq):
            for tool in turn:
                if tool not in workers:
                    continue
                entry = results[tool]["queries"][qi]
                timeout = max(120.0, 20 * sample_cost(entry) / 1000)
                try:
                    got = workers[tool].request({"cmd": "run", "q": qi}, timeout=timeout)
                except WorkerFailed as e:
                    fail(tool, f"round {r + 1}, {entry['query']}: {e}")
                    continue
                if "ms" in got:
                    samples[tool][qi].append(got["ms"])
                for key, ms in got["baselines"].items():
                    base_samples[tool][qi].setdefault(key, []).append(ms)
    log(f"  {rounds} rounds in {time.perf_counter() - start:.0f} s")

    for tool in list(workers):
        for qi, entry in enumerate(results[tool]["queries"]):
            measured = [(entry, samples[tool][qi])]
            measured += [(b, base_samples[tool][qi].get(b["key"], []))
                         for b in entry.get("baselines", ())]
            for e, got in measured:
                if got:
                    e.update(ms=statistics.median(got), min_ms=min(got), runs=len(got), samples=got)
        finish(tool)
    return results


def plan(quick):
    """(dataset, objects, tools, options) of every group of workers."""
    if quick:
        return [
            ("ducks", 100_000, QUERY_TOOLS, {"budget": 10, "min_rounds": 5, "max_rounds": 31,
                                             "build_repeat": 1, "tracemalloc": False}),
            ("cars", 100_000, BUILD_TOOLS, {"budget": 15, "min_rounds": 5, "max_rounds": 31,
                                            "build_repeat": 3, "tracemalloc": True}),
            ("events", 100_000, EVENTS_QUICK_TOOLS, {"budget": 30, "min_rounds": 5,
                                                     "max_rounds": 31, "build_repeat": 1,
                                                     "tracemalloc": False}),
            ("events", 10_000, ["quorvane", "hand"], {"budget": 5, "min_rounds": 5,
                                                      "max_rounds": 31, "build_repeat": 1,
                                                      "tracemalloc": False}),
        ]
    return [
        ("ducks", 2_000_000, QUERY_TOOLS, {"budget": 40, "min_rounds": 7, "max_rounds": 41,
                                           "build_repeat": 1, "tracemalloc": False}),
        ("cars", 100_000, QUERY_TOOLS, {"budget": 20, "min_rounds": 7, "max_rounds": 41,
                                        "build_repeat": 1, "tracemalloc": False}),
        ("cars", 1_000_000, BUILD_TOOLS, {"budget": 60, "min_rounds": 7, "max_rounds": 41,
                                          "build_repeat": 3, "tracemalloc": True}),
        ("events", 1_000_000, EVENTS_TOOLS, {"budget": 90, "min_rounds": 7, "max_rounds": 41,
                                             "build_repeat": 1, "tracemalloc": False}),
        ("events", 10_000, ["quorvane", "hand"], {"budget": 10, "min_rounds": 7,
                                                  "max_rounds": 41, "build_repeat": 1,
                                                  "tracemalloc": False}),
    ]


# ---------------------------------------------------------------------------------------------
# Checking and reporting
# ---------------------------------------------------------------------------------------------

def check(groups):
    """Every tool's answer must equal the scan's, Quorvane's included."""
    problems = []
    for key, results in groups.items():
        ref = results.get("quorvane")
        if not ref or "error" in ref:
            problems.append(f"{key}: no reference worker")
            continue
        expected = {q["key"]: q["expected"] for q in ref["queries"]}
        for tool, res in results.items():
            if "error" in res:
                problems.append(f"{key} {tool}: {res['error']}")
                continue
            for q in res.get("queries", []):
                if q["supported"] and q["signature"] != expected[q["key"]]:
                    problems.append(f"{key} {q['query']}: {res['label']} answers "
                                    f"{short(q['signature'])}, a scan {short(expected[q['key']])}")
    return problems


def short(sig):
    text = json.dumps(sig)
    return text if len(text) < 120 else text[:117] + "..."


def fmt_ms(ms):
    """Milliseconds to about three significant digits."""
    if ms is None:
        return "n/a"
    if ms <= 0:
        return "0"
    if ms < 1:
        return f"{ms:.{2 - math.floor(math.log10(ms))}f}"
    return f"{ms:.2f}" if ms < 100 else f"{ms:,.0f}"


def fmt_ratio(x):
    """A ratio to two decimals, or to two significant digits when it is smaller than 0.01."""
    if x is None:
        return ""
    if 0 < x < 0.01:
        return f"{x:.{1 - math.floor(math.log10(x))}f}x"
    return f"{x:.2f}x" if x < 10 else f"{x:,.0f}x"


def answer_size(sig):
    kind = sig[0]
    if kind == "set":
        return f"{sig[1]:,}"
    if kind == "int":
        return f"{sig[1]:,}"
    if kind in ("seq", "dict"):
        return f"{len(sig[1]):,}"
    return ""


def query_entry(results, tool, key):
    res = results.get(tool)
    if not res or "error" in res:
        return None
    for q in res.get("queries", []):
        if q["key"] == key:
            return q
    return None


def q_ms(results, tool, key):
    q = query_entry(results, tool, key)
    return q.get("ms") if q and q["supported"] else None


def base_ms(results, key, base):
    q = query_entry(results, "quorvane", key)
    for b in (q or {}).get("baselines", ()):
        if b["key"] == base:
            return b.get("ms")
    return None


def missing_note(tool):
    return NOT_INSTALLED.get(tool, "not installed")


def query_table(results, tools, missing=()):
    """missing: tools of the group that could not run here; each gets a row saying so."""
    ref = results["quorvane"]
    lines = ["| query | answer | tool | median ms | ratio to Quorvane | x floor | samples | note |",
             "|---|---:|---|---:|---:|---:|---:|---|"]
    for qref in ref["queries"]:
        key = qref["key"]
        qms = qref.get("ms")
        floor = base_ms(results, key, "floor")
        first = True
        for tool in tools:
            q = query_entry(results, tool, key)
            if q is None or q.get("omit"):
                continue
            cell = f"{qref['query']}<br>`{qref['text']}`" if first else ""
            size = answer_size(qref["expected"]) if first else ""
            first = False
            name = f"**{LABELS[tool]}**" if tool == "quorvane" else LABELS[tool]
            if not q["supported"] or q.get("ms") is None:
                note = q["note"] or "cannot express it"
                lines.append(f"| {cell} | {size} | {name} | n/a | | | | {note} |")
                continue
            ratio = q["ms"] / qms if qms else None
            xfloor = q["ms"] / floor if floor else None
            lines.append(f"| {cell} | {size} | {name} | {fmt_ms(q['ms'])} | {fmt_ratio(ratio)} | "
                         f"{fmt_ratio(xfloor)} | {q['runs']} | {q['note']} |")
        for tool in missing:
            lines.append(f"| | | {LABELS[tool]} | n/a | | | | {missing_note(tool)} |")
        for b in qref.get("baselines", ()):
            if b.get("ms") is None:
                continue
            ratio = b["ms"] / qms if qms else None
            xfloor = b["ms"] / floor if floor else None
            lines.append(f"| | | *{b['label']}* | {fmt_ms(b['ms'])} | {fmt_ratio(ratio)} | "
                         f"{fmt_ratio(xfloor)} | {b['runs']} | |")
    return "\n".join(lines)


def with_objects(res):
    """Bytes per object of the objects and the index together (None for old raw figures)."""
    objects = res.get("object_bytes_per_object")
    return None if objects is None else objects + res["rss_bytes_per_object"]


def build_table(results, tools, missing=()):
    ref = results.get("quorvane")
    lines = ["| tool | build median ms | runs | ratio to Quorvane | RSS growth bytes/object | "
             "after malloc_trim | objects + index bytes/object | tracemalloc bytes/object |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for tool in tools:
        res = results.get(tool)
        if not res or "error" in res or "build_ms" not in res:
            continue
        ratio = res["build_ms"] / ref["build_ms"] if ref and "build_ms" in ref else None
        traced = res.get("traced_bytes_per_object")
        traced_s = "" if traced is None else f"{traced:,.0f}"
        if tool.startswith("quorvane") and traced is not None:
            traced_s += " (native memory not seen)"
        trimmed = res.get("rss_trimmed_bytes_per_object")
        trimmed_s = "" if trimmed is None else f"{trimmed:,.0f}"
        whole = with_objects(res)
        whole_s = "" if whole is None else f"{whole:,.0f}"
        lines.append(f"| {res['label']} | {fmt_ms(res['build_ms'])} | {res['build_runs']} | "
                     f"{fmt_ratio(ratio)} | {res['rss_bytes_per_object']:,.0f} | {trimmed_s} | "
                     f"{whole_s} | {traced_s} |")
    for tool in missing:
        lines.append(f"| {LABELS[tool]} | n/a | | | | | | {missing_note(tool)} |")
    return "\n".join(lines)


def group_key(ds, n):
    return f"{ds} {n:,}"


def best_ratio(results, key, tool_a, tool_b):
    qa, qb = query_entry(results, tool_a, key), query_entry(results, tool_b, key)
    if qa and qb and qa.get("min_ms") and qb.get("min_ms"):
        return qb["min_ms"] / qa["min_ms"]
    return None


def targets(groups, plan_):
    """(target, measured, met) rows of the ducks and cars workloads."""
    rows = []
    d_key = next((group_key(ds, n) for ds, n, _, _ in plan_ if ds == "ducks"), None)
    d = groups.get(d_key, {})
    ref = d.get("quorvane")
    if ref and "error" not in ref:
        for q in ref["queries"]:
            qms = q.get("ms")
            for tool, need in (("frozendex", 2.0), ("dex", 4.0)):
                theirs = q_ms(d, tool, q["key"])
                if qms is None or theirs is None:
                    continue
                got = theirs / qms
                best = best_ratio(d, q["key"], "quorvane", tool)
                rows.append((f"{d_key}, {q['query']}: at least {need:.0f}x faster than "
                             f"{LABELS[tool]}",
                             f"{got:.2f}x ({fmt_ms(qms)} ms vs {fmt_ms(theirs)} ms; "
                             f"fastest samples: {best:.2f}x)", got >= need))
    for ds, n, _, _ in plan_:
        if ds != "cars":
            continue
        key = group_key(ds, n)
        ref = groups.get(key, {}).get("quorvane")
        if not ref or "error" in ref:
            continue
        for q in ref["queries"]:
            fl = next((b for b in q.get("baselines", ()) if b["key"] == "floor"), None)
            if q.get("ms") is None or not fl or fl.get("ms") is None:
                continue
            x = q["ms"] / fl["ms"]
            best = q["min_ms"] / fl["min_ms"]
            rows.append((f"{key}: {q['query']} within 3x of the floor",
                         f"{x:.2f}x ({fmt_ms(q['ms'])} ms vs floor {fmt_ms(fl['ms'])} ms; "
                         f"fastest samples: {best:.2f}x)", x <= 3.0))
    big = max((n for ds, n, _, _ in plan_ if ds == "cars"), default=None)
    g = groups.get(group_key("cars", big), {}) if big else {}
    dex = g.get("dex")
    if dex and "error" not in dex and "build_ms" in dex:
        for tool in ("quorvane", "quorvane_many"):
            r = g.get(tool)
            if not r or "error" in r or "build_ms" not in r:
                continue
            rows.append((f"cars {big:,}: {r['label']} builds faster than ducks Dex",
                         f"{fmt_ms(r['build_ms'])} ms vs {fmt_ms(dex['build_ms'])} ms",
                         r["build_ms"] < dex["build_ms"]))
            mine, theirs = with_objects(r), with_objects(dex)
            if mine is not None and theirs is not None:
                rows.append((f"cars {big:,}: {r['label']} uses less memory than ducks Dex "
                             "(RSS, objects included)",
                             f"{mine:,.0f} vs {theirs:,.0f} bytes/object", mine < theirs))
    return rows


def events_targets(big, small):
    """(target, measured, met) rows of the events workload: big and small are the results of
    the large and the 10,000-object groups."""
    rows = []
    at = f"{big['quorvane']['objects']:,}"

    def entry(results, tool, key, base=None):
        """The query's (or its baseline's) measured entry, or None."""
        q = query_entry(results, tool, key) if results else None
        if q and base:
            q = next((b for b in q.get("baselines", ()) if b["key"] == base), None)
        return q if q and q.get("ms") is not None else None

    def row(label, mine, theirs, name, met, as_fast):
        """mine and theirs are entries; met(ratio) decides; as_fast shows theirs / mine."""
        if mine is None or theirs is None:
            rows.append((label, "not measured", False))
            return
        x = theirs["ms"] / mine["ms"] if as_fast else mine["ms"] / theirs["ms"]
        best = (theirs["min_ms"] / mine["min_ms"] if as_fast
                else mine["min_ms"] / theirs["min_ms"])
        what = " as fast" if as_fast else ""
        rows.append((label, f"{fmt_ratio(x)}{what} (Quorvane {fmt_ms(mine['ms'])} ms, {name} "
                     f"{fmt_ms(theirs['ms'])} ms; fastest samples: {fmt_ratio(best)}{what})",
                     met(x)))

    def within(label, mine, theirs, name, limit):
        row(label, mine, theirs, name, lambda x: x <= limit, False)

    def faster(label, mine, theirs, name, factor):
        row(label, mine, theirs, name, lambda x: x >= factor, True)

    def quorvane(key, results=big):
        return entry(results, "quorvane", key)

    for key, what in (("eq_user", "one-hit eq user_id"),
                      ("get_session", "one-hit get_by_attribute(session=...)")):
        within(f"{what} at {at} <= 3x the hand dict lookup", quorvane(key),
               entry(big, "hand", key), "hand", 3.0)
        within(f"{what} at {at} <= 1.5x Quorvane's at 10,000", quorvane(key),
               quorvane(key, small), "at 10,000", 1.5)
    within(f"in_ of 20 user ids at {at} <= 3x hand", quorvane("in20"),
           entry(big, "hand", "in20"), "hand", 3.0)
    for key, what in (("range", "0.1% latency range"), ("prefix", "0.1% session prefix")):
        within(f"{what} at {at} <= 3x the floor", quorvane(key),
               entry(big, "quorvane", key, "floor"), "floor", 3.0)
    within(f"~100,000 scattered hits collected at {at} <= 1.3x the floor", quorvane("scatter"),
           entry(big, "quorvane", "scatter", "floor"), "floor", 1.3)
    faster(f"`len(view)` of a 50% answer at {at} >= 100x as fast as `len(view.collect())`",
           quorvane("count"), entry(big, "quorvane", "count", "collect_len"),
           "len(view.collect())", 100)
    within(f"`order_by(...).limit(10)` at {at} <= 3x `heapq.nsmallest` over precomputed keys",
           quorvane("first"), entry(big, "quorvane", "first", "heapq_keys"), "heapq", 3.0)
    faster(f"`order_by(...).limit(10)` at {at} >= 100x as fast as sorting the collected objects",
           quorvane("first"), entry(big, "quorvane", "first", "sort_collected"), "sorted", 100)
    faster(f"`count_by` over a 10% view at {at} >= 20x as fast as `Counter`",
           quorvane("count_by"), entry(big, "quorvane", "count_by", "counter"), "Counter", 20)
    faster(f"`count_by` over a 10% view at {at} faster than pandas `value_counts`",
           quorvane("count_by"), entry(big, "pandas", "count_by"), "pandas", 1.0 + 1e-9)
    for q in big["quorvane"]["queries"]:
        theirs = entry(big, "frozendex", q["key"])
        if theirs is not None:
            faster(f"{q['query']} at {at}: faster than ducks FrozenDex", quorvane(q["key"]),
                   theirs, "FrozenDex", 1.0 + 1e-9)
    return rows


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
    return (f"{os.cpu_count()} cores, {cpu}, Linux {platform.release()}, "
            f"Python {platform.python_version()}")


def source_state():
    """Commit of the work tree (read only), with a note when src/ has uncommitted changes."""
    try:
        head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown commit"
    return f"commit {head}" + (" with uncommitted changes in src/" if dirty else "")


def targets_table(rows):
    out = ["| target | measured | met |", "|---|---|---|"]
    out += [f"| {t} | {m} | {'yes' if ok else '**no**'} |" for t, m, ok in rows]
    return out


def write_report(path, groups, plan_, problems, meta):
    versions = {}
    for results in groups.values():
        for res in results.values():
            if "version" in res:
                versions[res["label"]] = res["version"]
    out = [
        "# Quorvane compared with other in-memory object finders",
        "",
        f"Generated by `{meta['command']}` on {meta['date']} from {meta['source']} "
        f"({meta['machine']}; {meta['elapsed'] / 60:.1f} minutes). Do not edit by hand: run it "
        "again.",
        "",
        "Versions: " + "; ".join(f"{v}" for v in sorted(set(versions.values()))) + ".",
        "",
        "How it is measured: every tool runs in its own long-lived worker process per data set, "
        "which builds the tool's index once over the same generated objects (ordinary Python "
        "objects for the peers, `Indexable` instances for Quorvane) and keeps it. The workers "
        "are visited round-robin: each round runs every query once in every worker, the order "
        "of the tools rotating from round to round, so every tool has the same number of "
        "samples (*samples*), taken under the same load of the machine; the tables give their "
        "medians. A sample of a fast query is the mean of a batch of back-to-back calls lasting "
        "about a millisecond. Every query that answers objects hands back a Python list of them "
        "(`reduced_query(...).collect()` for Quorvane, `Dex[...]`, `FrozenDex[...].tolist()`, "
        "`list(table.where(...))`, a boolean mask then the objects at its positions, `SELECT id` "
        "then the objects with those ids); Quorvane's calls are written as a user writes them, an "
        "equality as `Q.eq(attribute, value)` inside the timed call and keywords as literal "
        "keywords. *ratio to Quorvane* is the tool's time divided by "
        "Quorvane's (above 1: Quorvane is faster). *x floor* divides by the floor, the time to "
        "build a list of the same result objects from precomputed positions. Every tool's "
        "answer equals that of a plain scan of the data (hit count and sum of hit positions, "
        "the positions in order for an ordered answer, every count of a grouping; after an "
        "assignment, the tool's own lookup of the new and the old value) unless listed under "
        "Problems. The machine is shared with other work, so figures move between runs; the "
        "targets table also gives the ratio of the fastest samples where it helps. ducks runs "
        "in its own virtual environment of the same interpreter (`build/ducks-venv`: ducks "
        "0.5.1 declares numpy<2 and BTrees<5, which cannot live in the project's .venv beside "
        "numpy 2; BTrees 4 does not build on Python 3.13, so BTrees 6 is used). Every attribute "
        "is indexed in every tool that has indexes; sqlite3 tables are ANALYZEd. The "
        "hand-written index is what a competent Python user would write: a dict per attribute "
        "of value -> set of objects, a sorted list of the keys for ranges and prefixes "
        "(`bisect`), set operations to combine conditions. *sqlite3 (composite index)* is the "
        "same table with, besides the index per column, one composite index per "
        "multi-condition query (its equality columns first, the range column last): it is "
        "shown only for those queries, with the index and the plan SQLite chose for it, and "
        "its build includes that index. polars holds one column per attribute and answers "
        "with filter expressions, the objects gathered through a column of positions.",
        "",
    ]
    missing = meta.get("missing", [])
    if missing:
        out += ["Not measured here: " + "; ".join(f"{LABELS[t]} ({missing_note(t)})"
                                                   for t in missing) + ".", ""]
    if problems:
        out += ["## Problems", ""] + [f"- {p}" for p in problems] + [""]
    rows = targets(groups, plan_)
    if rows:
        out += ["## Targets", ""] + targets_table(rows) + [""]
    for ds, n, tools, _ in plan_:
        key = group_key(ds, n)
        results = groups.get(key, {})
        if ds == "events" or "quorvane" not in results or "error" in results["quorvane"]:
            continue
        if ds == "ducks":
            title = (f"## Workload 1: the ducks workload, {n:,} objects "
                     "(size 1..100, type of 5, color of 5, shape of 4)")
        else:
            title = (f"## Workload 2: cars, {n:,} objects "
                     "(manufacturer of 10, model of 100, color of 10, doors 2..5, price 1,000..51,000)")
        out += [title, "", query_table(results, QUERY_TOOLS, missing), ""]
    for ds, n, tools, _ in plan_:
        if ds == "cars" and "quorvane_many" in tools:
            key = group_key(ds, n)
            out += [f"## Workloads 3 and 4: build and memory, {ds} {n:,} objects", "",
                    "RSS growth is measured around the first build in a fresh process (the fair "
                    "figure: Quorvane's and sqlite's native memory is invisible to tracemalloc); "
                    "*after malloc_trim* is the same growth once glibc has returned its free memory "
                    "to the system (what the index keeps, without the build's transient peak); "
                    "tracemalloc counts what a second build allocates through Python's allocators "
                    "and is still held. The list comprehension's index is a list of the objects.",
                    "", build_table(groups.get(key, {}), BUILD_TOOLS, missing), ""]
    out += events_section(groups, plan_, missing)
    memory = os.path.join(ROOT, "build", "benchmarks-memory.md")
    if os.path.exists(memory):
        with open(memory) as f:
            out += ["## Memory per object, objects included (`python benchmarks/memory.py`)", "",
                    f.read().strip(), ""]
    # The growth report from 1 to 10 million objects, as benchmarks/growth.py last wrote it.
    growth = os.path.join(ROOT, "build", "benchmarks-growth-quick.md" if meta.get("quick")
                          else "benchmarks-growth.md")
    if os.path.exists(growth):
        with open(growth) as f:
            out += ["## Growth with the number of objects "
                    f"(`python benchmarks/growth.py{' --quick' if meta.get('quick') else ''}`)",
                    "", f.read().strip(), ""]
    writes = os.path.join(ROOT, "build", "benchmarks-writes-quick.md" if meta.get("quick")
                          else "benchmarks-writes.md")
    if os.path.exists(writes):
        with open(writes) as f:
            out += ["## Writes: building, removing, relinking, threads "
                    f"(`python benchmarks/writes.py{' --quick' if meta.get('quick') else ''}`)",
                    "", f.read().strip(), ""]
    out += ["## The floor", "",
            "Shown in every query table as the *floor* row: `[objs[i] for i in hits]` over "
            "precomputed hit positions on Quorvane's own objects (the cost of handing back a "
            "list of those objects and nothing more), with `list(objs[:k])` (contiguous, cheaper) "
            "beneath it. It is a loop run by the interpreter: a copy made in C, such as "
            "`list(a_set)` in the hand-written index or FrozenDex's numpy gather and `.tolist()`, "
            "can take less on a large answer.", "",
            "![query, build and memory figures](benchmarks.png)", ""]
    with open(path, "w") as f:
        f.write("\n".join(out))


def events_section(groups, plan_, missing=()):
    sizes = sorted({n for ds, n, _, _ in plan_ if ds == "events"})
    if not sizes:
        return []
    big_n, small_n = sizes[-1], (sizes[0] if len(sizes) > 1 else None)
    big = groups.get(group_key("events", big_n), {})
    small = groups.get(group_key("events", small_n), {}) if small_n else {}
    if "quorvane" not in big or "error" in big["quorvane"]:
        return []
    tools = next(t for ds, n, t, _ in plan_ if ds == "events" and n == big_n)
    out = [f"## Workload 5: events, {big_n:,} objects", "",
           f"An event log: `user_id` (int, {big_n // 10:,} distinct), `session` (str, "
           f"{big_n // 5:,} distinct), `latency` (float, log-normal), `level` (5 values: 30%, 50%, "
           "10%, 9%, 1%), `service` (50 strings), `tags` (a list of 1 to 3 of 30 strings). The "
           "query values are taken from the data (fixed seed). An element query matches an "
           "object whose list holds the value (`Q.eq(\"tags\", \"tag07\")`); ducks cannot index "
           "the elements of a list and sqlite3 keeps them in a second table of (id, element) "
           "rows. The assignment gives the next of a set of objects a new unique session string "
           "(made inside the timed call, for every tool alike); every tool must then find the "
           "object by its new session and no longer by its old one. The baselines under a "
           "query run in Quorvane's worker on its own objects: what a Quorvane user would write "
           "without the dedicated call, and the plain-Python floor."]
    if "littletable" not in tools:
        out += ["", "littletable is left out at this size: every query of it but an equality is a "
                "predicate scan that copies its answer into a new indexed Table, and removing a "
                "row to re-index it scans the rows, so a round of its queries alone takes longer "
                "than all the other tools together (it is measured in `--quick` runs)."]
    out += [""]
    rows = events_targets(big, small or None)
    out += ["### Targets", ""] + targets_table(rows) + [""]
    missing = [t for t in missing if t in EVENTS_QUICK_TOOLS]
    out += ["### Queries", "", query_table(big, QUERY_TOOLS, missing), ""]
    if small and "quorvane" in small and "error" not in small["quorvane"]:
        out += [f"### The same one-hit lookups at {small_n:,} objects", "",
                "The data set is generated the same way with ten times fewer users and sessions, "
                "so that an equality hits as many objects as at the larger size.", "",
                query_table(dict(small, quorvane=dict(small["quorvane"], queries=[
                    q for q in small["quorvane"]["queries"]
                    if q["key"] in ("eq_user", "get_session", "in20", "or2")])), QUERY_TOOLS),
                ""]
    out += [f"### Build and memory, events {big_n:,} objects", "",
            "As for the cars: RSS growth around the first build in a fresh process, and with "
            "the objects themselves.", "", build_table(big, BUILD_TOOLS, missing), ""]
    return out


def write_chart(path, groups, plan_):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    def query_groups(selected):
        out = []  # (label, {tool: ms})
        for ds, n in selected:
            results = groups.get(group_key(ds, n), {})
            ref = results.get("quorvane")
            if not ref or "error" in ref:
                continue
            for q in ref["queries"]:
                vals = {t: q_ms(results, t, q["key"]) for t in QUERY_TOOLS}
                vals = {t: v for t, v in vals.items() if v is not None}
                floor = base_ms(results, q["key"], "floor")
                if floor is not None:
                    vals["floor"] = floor
                short_name = textwrap.fill(q["query"].split(" (")[0], 22)
                out.append((f"{ds} {n // 1000:,}k\n{short_name}", vals))
        return out

    cars_big = max((n for ds, n, _, _ in plan_ if ds == "cars"), default=None)
    first = [(ds, n) for ds, n, _, _ in plan_ if ds == "ducks" or (ds == "cars" and n == cars_big)]
    events_big = max((n for ds, n, _, _ in plan_ if ds == "events"), default=None)
    panels = [("Query time including the Python list of results (lower is better)",
               query_groups(first))]
    if events_big:
        panels.append((f"Events, {events_big:,} objects (lower is better)",
                       query_groups([("events", events_big)])))
    panels = [p for p in panels if p[1]]
    fig = plt.figure(figsize=(18, 6 * (len(panels) + 1)))
    series = QUERY_TOOLS + ["floor"]
    width = 0.85 / len(series)
    for pi, (title, qgroups) in enumerate(panels):
        ax = fig.add_subplot(len(panels) + 1, 1, pi + 1)
        for si, tool in enumerate(series):
            xs = [gi + (si - len(series) / 2 + 0.5) * width
                  for gi, (_, v) in enumerate(qgroups) if tool in v]
            ys = [max(v[tool], 1e-4) for _, v in qgroups if tool in v]
            if xs:
                ax.bar(xs, ys, width, label=LABELS[tool], color=COLORS[tool])
        ax.set_yscale("log")
        ax.set_xticks(range(len(qgroups)))
        ax.set_xticklabels([g for g, _ in qgroups], fontsize=7)
        ax.set_ylabel("median ms per query (log)")
        ax.set_title(title)
        ax.legend(fontsize=8, ncol=5)
        ax.grid(axis="y", which="major", alpha=0.3)

    # Build and memory of the cars, or of the events when the cars were not run.
    bkey = (group_key("cars", cars_big) if cars_big
            else group_key("events", events_big) if events_big else None)
    bres = groups.get(bkey, {})
    tools = [t for t in BUILD_TOOLS
             if t in bres and "error" not in bres[t] and "build_ms" in bres[t]]
    rows = len(panels) + 1
    for pi, (field, title) in enumerate((("build_ms", f"Build over {bkey} objects, ms (log)"),
                                         ("rss_bytes_per_object", "RSS growth, bytes per object (log)"))):
        ax = fig.add_subplot(rows, 2, 2 * (rows - 1) + 1 + pi)
        floor_v = 1e-3 if field == "build_ms" else 1.0  # a log axis cannot show 0
        vals = [max(bres[t][field], floor_v) for t in tools]
        ax.bar(range(len(tools)), vals, color=[COLORS[t] for t in tools])
        ax.set_yscale("log")
        ax.set_xticks(range(len(tools)))
        ax.set_xticklabels([LABELS[t] for t in tools], rotation=30, ha="right", fontsize=8)
        ax.set_title(title)
        ax.grid(axis="y", which="major", alpha=0.3)
        for i, v in enumerate(vals):
            ax.text(i, v, f"{v:,.0f}", ha="center", va="bottom", fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=80)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small run (100k objects)")
    parser.add_argument("--install", action="store_true",
                        help="install the peer tools (.venv and build/ducks-venv), then exit")
    parser.add_argument("--tools", help="comma-separated subset of: " + ", ".join(BUILD_TOOLS))
    parser.add_argument("--datasets", help="comma-separated subset of: ducks, cars, events")
    parser.add_argument("--md", help="report path")
    parser.add_argument("--png", help="chart path")
    parser.add_argument("--render", metavar="JSON",
                        help="write the report and chart again from the raw figures of a run")
    args = parser.parse_args()
    if args.install:
        install()
        return 0

    def log(text):
        print(text, file=sys.stderr, flush=True)

    if args.render:
        with open(args.render) as f:
            raw_doc = json.load(f)
        meta, groups = raw_doc["meta"], raw_doc["groups"]
        md, png = report_paths(args.md, args.png, meta["quick"])
        write_outputs(md, png, groups, [tuple(p) for p in meta["plan"]], meta, log)
        return 0

    md, png = report_paths(args.md, args.png, args.quick)
    raw = os.path.join(ROOT, "build", os.path.basename(os.path.splitext(md)[0]) + ".json")
    chosen = set(args.tools.split(",")) | {"quorvane"} if args.tools else set(BUILD_TOOLS)
    missing = [t for t in BUILD_TOOLS if t in chosen and not available(t)]
    if missing:
        print(f"not installed: {', '.join(missing)} (run {sys.argv[0]} --install); skipped",
              file=sys.stderr)
        chosen -= set(missing)
    if "quorvane" not in chosen:
        print("Quorvane is not importable: run `make install` first", file=sys.stderr)
        return 2

    plan_ = plan(args.quick)
    if args.datasets:
        wanted = set(args.datasets.split(","))
        plan_ = [p for p in plan_ if p[0] in wanted]
    plan_ = [(ds, n, [t for t in tools if t in chosen], opts) for ds, n, tools, opts in plan_]
    source = source_state()
    groups = {}
    start = time.perf_counter()
    for ds, n, tools, opts in plan_:
        key = group_key(ds, n)
        log(key)
        group_start = time.perf_counter()
        groups[key] = run_group(ds, n, tools, opts, log)
        log(f"  {key}: {time.perf_counter() - group_start:.0f} s")
    elapsed = time.perf_counter() - start

    meta = {"command": "python benchmarks/compare.py" + (" --quick" if args.quick else ""),
            "date": datetime.date.today().isoformat(), "source": source, "machine": machine(),
            "elapsed": elapsed, "quick": args.quick, "plan": plan_, "missing": missing}
    os.makedirs(os.path.dirname(raw), exist_ok=True)
    with open(raw, "w") as f:
        json.dump({"meta": meta, "groups": groups}, f, indent=1)
    log(f"measured in {elapsed / 60:.1f} minutes; raw figures in {raw}")
    problems = write_outputs(md, png, groups, plan_, meta, log)
    return 1 if problems else 0


def report_paths(md, png, quick):
    md = md or os.path.join(ROOT, "build" if quick else "docs",
                            "benchmarks-quick.md" if quick else "benchmarks.md")
    return md, png or os.path.splitext(md)[0] + ".png"


def write_outputs(md, png, groups, plan_, meta, log):
    """Checks the answers, writes the report and the chart; returns the problems."""
    problems = check(groups)
    os.makedirs(os.path.dirname(os.path.abspath(md)), exist_ok=True)
    write_report(md, groups, plan_, problems, meta)
    write_chart(png, groups, plan_)
    log(f"wrote {md} and {png}")
    for p in problems:
        log("PROBLEM: " + p)
    return problems


if __name__ == "__main__":
    sys.exit(main())
