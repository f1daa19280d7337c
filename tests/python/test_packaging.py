"""What gets installed: the version, the package metadata, the type stubs (checked against the
module by mypy's stubtest and used on typed programs), and the portable wheel of `make wheel`."""

from __future__ import annotations

import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import Quorvane

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
STUBS = ROOT / "stubs" / "Quorvane.pyi"


def run(cmd, cwd, env=None, timeout=600):
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def clean_env(**extra):
    """The environment without the variables that point Python at this checkout or a build."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "MYPYPATH", "LD_PRELOAD")}
    env.update(extra)
    return env


class TestVersionAndMetadata:
    def test_version_is_the_one_written_in_pyproject(self):
        assert Quorvane.__version__ == PYPROJECT["project"]["version"]
        assert importlib.metadata.version("Quorvane") == Quorvane.__version__

    def test_installed_metadata_carries_licence_urls_and_classifiers(self):
        project = PYPROJECT["project"]
        meta = importlib.metadata.metadata("Quorvane")
        assert meta["License-Expression"] == project["license"] == "Apache-2.0"
        assert meta["Requires-Python"] == project["requires-python"]
        assert sorted(meta.get_all("Classifier")) == sorted(project["classifiers"])
        assert meta["Keywords"].split(",") == project["keywords"]
        urls = dict(entry.split(", ", 1) for entry in meta.get_all("Project-URL"))
        assert urls == project["urls"] and {"Homepage", "Documentation"} <= set(urls)
        assert meta["Description-Content-Type"] == "text/markdown"
        files = {str(f) for f in importlib.metadata.files("Quorvane")}
        assert any(f.endswith("licenses/LICENSE") for f in files), files
        assert "Apache License" in (ROOT / "LICENSE").read_text(encoding="utf-8")


@pytest.mark.packaging
class TestStubs:
    def test_stubs_are_installed_beside_the_module_and_as_a_stub_package(self):
        site = pathlib.Path(Quorvane.__file__).parent
        source = STUBS.read_text(encoding="utf-8")
        assert (site / "Quorvane.pyi").read_text(encoding="utf-8") == source
        assert (site / "Quorvane-stubs" / "__init__.pyi").read_text(encoding="utf-8") == source

    def test_stubtest_finds_no_difference_between_stubs_and_module(self, tmp_path):
        out = run([sys.executable, "-m", "mypy.stubtest", "Quorvane"], tmp_path, clean_env())
        assert out.returncode == 0, out.stdout + out.stderr

    def test_stubtest_reports_a_method_the_stubs_lack(self, tmp_path):
        # The check can fail: stubs without Index.union_with are caught.
        stubs = tmp_path / "stubs"
        stubs.mkdir()
        text = STUBS.read_text(encoding="utf-8")
        trimmed = re.sub(r"\n    def union_with\(.*", "", text)
        assert trimmed != text
        (stubs / "Quorvane.pyi").write_text(trimmed, encoding="utf-8")
        out = run([sys.executable, "-m", "mypy.stubtest", "Quorvane"], tmp_path,
                  clean_env(MYPYPATH=str(stubs)))
        assert out.returncode != 0
        assert "Quorvane.Index.union_with is not present in stub" in out.stdout


GOOD_PROGRAM = """
from Quorvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q


class Car(Indexable):
    maker: str
    price: int


cars: Index[Car] = Index()
cars.add_object(Car(maker="Volvo", price=41000))
cars.add_object_many([Car(maker="Kia", price=p) for p in (19000, 21000)])
view: FilteredIndex[Car] = cars.reduced_query(
    Q.and_(Q.bt("price", 0, 50_000.5), Q.starts_with("maker", "K"), Q.in_("price", [19000])))
prices: list[int] = [car.price for car in view.collect()]
again: Index[Car] = view.reduced(maker="Kia").rebase()
again.union_with(cars)
anything = Index()                      # an Index[Indexable]: no annotation needed
anything.add_object(Car(maker="Fiat", price=1))
assert prices == [19000], prices
print(len(again.collect()), len(anything.collect()))
"""

BAD_PROGRAM = """
from Quorvane import Index, Indexable, PyQueryExpr as Q


class Car(Indexable):
    price: int


class Boat(Indexable):
    pass


cars: Index[Car] = Index()
cars.reduced_quer(Q.eq("price", 1))
cars.add_object(Boat())
name: str = cars.collect()[0].price
Q.bt(5, 1, 2)
Q.and_(Q.eq("price", 1), "price")
cars.order_by("price", descending="asc")
Q.starts_with("name", 1)
Car(1, 2)
"""

# line: mypy error code, for BAD_PROGRAM
BAD_LINES = {14: "attr-defined", 15: "arg-type", 16: "assignment", 17: "arg-type",
             18: "arg-type", 19: "arg-type", 20: "arg-type", 21: "call-arg"}


def mypy(program, tmp_path, *options):
    source = tmp_path / "program.py"
    source.write_text(program, encoding="utf-8")
    return run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *options,
                str(source)], tmp_path, clean_env())


def reported(out):
    """{line: error code} of mypy's error lines."""
    return {int(m.group(1)): m.group(2)
            for m in re.finditer(r"program\.py:(\d+): error: .*\[([\w-]+)\]$", out.stdout, re.M)}


@pytest.mark.packaging
class TestTypedPrograms:
    def test_a_correct_program_type_checks_and_runs(self, tmp_path):
        out = mypy(GOOD_PROGRAM, tmp_path)
        assert out.returncode == 0, out.stdout + out.stderr
        ran = run([sys.executable, str(tmp_path / "program.py")], tmp_path, clean_env())
        assert ran.returncode == 0 and ran.stdout.split() == ["3", "1"], ran.stderr

    def test_typos_and_wrong_types_are_reported(self, tmp_path):
        out = mypy(BAD_PROGRAM, tmp_path)
        assert reported(out) == BAD_LINES, out.stdout
        assert 'has no attribute "reduced_quer"' in out.stdout


# ---- the wheel of `make wheel` ---------------------------------------------------------------

SMOKE = """
import pathlib, sys
import Quorvane
from Quorvane import Index, Indexable, PyQueryExpr as Q

class Car(Indexable):
    pass

index = Index()
index.add_object_many([Car(maker=m, price=p, tags=[m.lower()]) for m, p in
                       [("Volvo", 41000), ("Fiat", 12000), ("Kia", 19000)]])
hits = index.reduced_query(Q.and_(Q.lt("price", 20000), Q.ne("tags", "kia"))).collect()
assert [car.maker for car in hits] == ["Fiat"], hits
print(Quorvane.__version__)
print(pathlib.Path(Quorvane.__file__).resolve())
"""


@pytest.fixture(scope="module")
def wheel():
    out = run(["make", "-s", "wheel"], ROOT, timeout=1800)
    assert out.returncode == 0, out.stdout + out.stderr
    wheels = sorted((ROOT / "dist").glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def fresh_venv(wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    made = run([sys.executable, "-m", "venv", "--without-pip", str(venv)], venv.parent)
    assert made.returncode == 0, made.stderr
    python = venv / "bin" / "python"
    installed = run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
                     "--no-deps", "--no-index", str(wheel)], venv.parent, clean_env())
    assert installed.returncode == 0, installed.stdout + installed.stderr
    site = pathlib.Path(run([str(python), "-c", "import sysconfig; print(sysconfig.get_path("
                             "'platlib'))"], venv.parent, clean_env()).stdout.strip())
    return python, site


@pytest.mark.packaging
class TestWheel:
    def test_auditwheel_gives_a_manylinux_tag_and_finds_nothing_to_graft(self, wheel):
        assert re.search(r"-cp313-cp313-manylinux_\d+_\d+_x86_64\.whl$", wheel.name), wheel.name
        auditwheel = pathlib.Path(sys.executable).parent / "auditwheel"
        out = run([str(auditwheel), "show", str(wheel)], ROOT)
        assert out.returncode == 0, out.stderr
        text = " ".join(out.stdout.split())
        assert re.search(r'consistent with the following platform tag: "manylinux_\d+_\d+_x86_64"',
                         text), text
        # Whatever is left outside the wheel is on the policy's list of system libraries.
        outside = set(re.findall(r"(lib[\w+.-]+\.so[.\d]*) with versions", text))
        assert outside <= {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libstdc++.so.6",
                           "libpthread.so.0"}, outside

    def test_it_runs_a_query_in_a_fresh_virtual_environment(self, fresh_venv):
        python, site = fresh_venv
        out = run([str(python), "-I", "-c", SMOKE], site.parent, clean_env())
        assert out.returncode == 0, out.stderr
        version, module = out.stdout.split()
        assert version == PYPROJECT["project"]["version"]
        assert pathlib.Path(module).parent == site.resolve()

    def test_roaring_and_abseil_resolve_from_inside_the_wheel(self, fresh_venv):
        _, site = fresh_venv
        (extension,) = site.glob("Quorvane.cpython-*.so")
        out = run(["ldd", str(extension)], site, clean_env())
        assert out.returncode == 0, out.stderr
        resolved = dict(re.findall(r"^\s*(\S+) => (\S+)", out.stdout, re.M))
        ours = {name: path for name, path in resolved.items()
                if name.startswith(("libroaring", "libabsl"))}
        assert any(n.startswith("libroaring") for n in ours), out.stdout
        assert any(n.startswith("libabsl") for n in ours), out.stdout
        libs = (site / "quorvane.libs").resolve()
        for name, path in ours.items():
            assert pathlib.Path(path).resolve().parent == libs, (name, path)
        assert "not found" not in out.stdout, out.stdout

    def test_stubs_come_with_the_wheel_and_mypy_uses_them(self, fresh_venv, tmp_path):
        python, site = fresh_venv
        assert (site / "Quorvane.pyi").is_file()
        out = mypy(BAD_PROGRAM, tmp_path, "--python-executable", str(python))
        assert reported(out) == BAD_LINES, out.stdout
