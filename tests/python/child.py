"""Runs a piece of test code in a child interpreter, so that a crash or a hang fails one test
instead of ending the whole run.

The child is ``sys.executable`` with the parent's environment (a sanitizer build's preload and
``PYTHONPATH`` carry over), this directory first on its path (so it can import ``scan_oracle``
and this module), ``faulthandler`` enabled, and a watchdog that dumps every thread's stack
shortly before the parent gives up on it.  Timeouts only catch hangs: they are far above what
the work needs, and grow under a sanitizer (``QUORVANE_TIMEOUT_SCALE`` overrides the factor).

The code signals success by printing ``ok`` as its last line (``run_ok``).

Also holds the checks the child code shares: comparing an engine's answers with a scan of its
members' current values.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent


def _timeout_scale() -> float:
    override = os.environ.get("QUORVANE_TIMEOUT_SCALE")
    if override:
        return float(override)
    preload = os.environ.get("LD_PRELOAD", "")
    # Sanitized builds run 3-10 times slower.
    return 8.0 if ("asan" in preload or "tsan" in preload) else 1.0


SCALE = _timeout_scale()

# A child whose memory runs away fails alone instead of waking the kernel's out-of-memory
# killer.  Not under a sanitizer: its shadow memory needs the whole address space.
_SANITIZED = any(s in os.environ.get("LD_PRELOAD", "") for s in ("asan", "tsan"))
# Whether a sanitizer runtime is preloaded (its allocator is not safe to fork
# while other threads allocate).
SANITIZED = _SANITIZED
MEMORY_LIMIT = None if _SANITIZED else int(
    float(os.environ.get("QUORVANE_CHILD_MEMORY_GIB", "12")) * (1 << 30))


def _limit_memory():
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))

# Armed first in every child: a hang leaves a stack dump of every thread instead of nothing.
_PREAMBLE = (
    "import faulthandler, os, sys\n"
    "faulthandler.dump_traceback_later(float(os.environ['QUORVANE_CHILD_WATCHDOG']), exit=True)\n"
)


@dataclass
class Outcome:
    returncode: int | None  # None: killed by the parent after the timeout
    stdout: str
    stderr: str
    timeout: float

    @property
    def ok(self) -> bool:
        lines = self.stdout.strip().splitlines()
        return self.returncode == 0 and bool(lines) and lines[-1] == "ok"

    def describe(self) -> str:
        if self.returncode is None:
            what = f"hang: still running after {self.timeout:.0f} s, killed"
        elif self.returncode < 0:
            try:
                name = signal.Signals(-self.returncode).name
            except ValueError:
                name = str(-self.returncode)
            what = f"crash: killed by {name}"
        elif "Timeout (" in self.stderr:
            what = f"hang: the watchdog fired after {self.timeout * 0.9:.0f} s"
        elif self.returncode != 0:
            what = f"exit status {self.returncode}"
        else:
            what = "finished without printing ok"
        return (f"child {what}\n--- stdout (tail) ---\n{self.stdout[-3000:]}"
                f"\n--- stderr (tail) ---\n{self.stderr[-6000:]}")


def run(code: str, *, timeout: float = 120.0, args: tuple[str, ...] = ()) -> Outcome:
    """Runs ``code`` (dedented) in a child interpreter; ``timeout`` is scaled by ``SCALE``."""
    limit = timeout * SCALE
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(HERE), env.get("PYTHONPATH")) if p)
    env["QUORVANE_CHILD_WATCHDOG"] = str(limit * 0.9)
    env["PYTHONFAULTHANDLER"] = "1"
    proc = subprocess.Popen(
        [sys.executable, "-c", _PREAMBLE + textwrap.dedent(code), *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, cwd=HERE,
        start_new_session=True, preexec_fn=_limit_memory if MEMORY_LIMIT else None)
    try:
        out, err = proc.communicate(timeout=limit)
        return Outcome(proc.returncode, out, err, limit)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        return Outcome(None, out, err, limit)


def run_ok(code: str, **kwargs) -> str:
    """Runs ``code`` in a child and fails the test unless it exits cleanly after printing ``ok``;
    returns the child's standard output."""
    outcome = run(code, **kwargs)
    assert outcome.ok, outcome.describe()
    return outcome.stdout


# ---- checks used inside child code (and in-process tests) ----------------------------------

def eq_queries(objects, names):
    """One equality query per distinct value the objects currently offer on ``names`` (dotted
    paths allowed; elements of containers included), plus one on a value nobody holds."""
    import scan_oracle as so

    seen, out = set(), []
    for obj in objects:
        for name in names:
            for value in so.path_candidates(obj, name):
                key = (name, type(value), id(value) if not _hashable(value) else value)
                if key not in seen:
                    seen.add(key)
                    out.append(("eq", name, value))
    out += [("eq", name, "never held") for name in names]
    return out


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def disagreement(engine, members, queries, focus=None):
    """The first query (as text) on which ``engine`` differs from a scan of ``members``, or
    None.  ``collect()`` is compared first.  With ``focus`` (some of the members), answers are
    compared on those objects only, which keeps large indexes cheap to check."""
    import scan_oracle as so

    got = sorted(map(id, engine.collect()))
    if got != sorted(map(id, members)):
        return f"collect(): {len(got)} objects, expected {len(members)}"
    member_ids = {id(o) for o in members}
    universe = members if focus is None else list(
        {id(o): o for o in focus if id(o) in member_ids}.values())
    inside = {id(o) for o in universe}
    for q in queries:
        got = sorted(i for i in map(id, engine.reduced_query(so.to_expr(q)).collect())
                     if i in inside)
        want = sorted(map(id, so.scan(universe, q)))
        if got != want:
            return f"{so.describe(q)}: {len(got)} found, {len(want)} expected"
    return None
