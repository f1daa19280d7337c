import importlib
import subprocess
import sys

import pytest

import Quorvane
from Quorvane import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string
from Quorvane import PyQueryExpr as Q
from conftest import Thing


def test_registers_names_in_order_and_reimport_is_the_same_module():
    names = [n for n in vars(Quorvane) if not n.startswith("__")]
    assert names == ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr",
                     "OrderedView", "FacetCounts", "PanicException"]
    assert importlib.import_module("Quorvane") is Quorvane


def test_second_interpreter_is_refused():
    code = (
        "import Quorvane, _interpreters\n"
        "failure = _interpreters.run_string(_interpreters.create(), 'import Quorvane')\n"
        "print(failure.type.__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ImportError", out.stderr


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [((2, 3), {}, "5"), ((), {"a": 1, "b": 2}, "3"), ((2**64 - 1, 1), {}, "0"), ((True, 0), {}, "1")],
)
def test_sum_as_string(args, kwargs, expected):
    assert sum_as_string(*args, **kwargs) == expected


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: sum_as_string(-1, 0), OverflowError, None),
        (lambda: sum_as_string(2**64, 0), OverflowError, None),
        (lambda: sum_as_string("1", 2), TypeError, "argument 'a': "),
        (lambda: sum_as_string(1, None), TypeError, "argument 'b': "),
        (lambda: sum_as_string(1), TypeError,
         "sum_as_string() missing 1 required positional argument: 'b'"),
        (lambda: sum_as_string(), TypeError,
         "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: sum_as_string(1, 2, 3), TypeError,
         "sum_as_string() takes 2 positional arguments but 3 were given"),
        (lambda: sum_as_string(1, a=2), TypeError,
         "sum_as_string() got multiple values for argument 'a'"),
        (lambda: sum_as_string(1, 2, c=3), TypeError,
         "sum_as_string() got an unexpected keyword argument 'c'"),
        (lambda: Index(1), TypeError, "Index() takes an iterable of Indexable objects, not int"),
        (lambda: Index([], []), TypeError, "Index() takes 1 positional argument but 2 were given"),
        (lambda: Index(x=1), TypeError, "Index() got an unexpected keyword argument 'x'"),
        (lambda: Index().add_object(5), TypeError, "argument 'py_ref': must be Indexable, not int"),
        (lambda: Index().add_object(), TypeError,
         "Index.add_object() missing 1 required positional argument: 'py_ref'"),
        (lambda: Index().reduced_query(5), TypeError, "argument 'query': must be PyQueryExpr, not int"),
        (lambda: Index().count(Q.eq("a", 1), Q.eq("a", 2)), TypeError,
         "Index.count() takes 1 positional argument but 2 were given"),
        (lambda: Index().reduced().count(query=Q.eq("a", 1)), TypeError,
         "keyword 'query' is given a PyQueryExpr: keywords are equalities (name=value); pass a "
         "query positionally, as the first argument"),
        (lambda: Index().union_with(5), TypeError, "argument 'other': must be Index, not int"),
        (lambda: Index().order_by(1), TypeError, "argument 'attribute': must be str, not int"),
        (lambda: Index().order_by("n").limit("2"), TypeError, "argument 'n': must be int, not str"),
        (lambda: Thing().__setstate__(5), TypeError, "argument 'state': must be dict, not int"),
        (lambda: Index().reduced(1), TypeError,
         "Index.reduced() takes 0 positional arguments but 1 was given"),
        (lambda: FilteredIndex(), TypeError, "No constructor defined for FilteredIndex"),
        (lambda: PyQueryExpr(), TypeError, "No constructor defined for PyQueryExpr"),
    ],
)
def test_binding_and_conversion_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value).startswith(message) or str(info.value) == message


def test_conversion_error_keeps_its_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as info:
        sum_as_string(Bad(), 1)
    assert str(info.value) == "argument 'a': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_only_indexable_can_be_subclassed():
    class Mine(Indexable):
        pass

    assert isinstance(Mine(), Indexable)
    for base in (Index, FilteredIndex, PyQueryExpr):
        with pytest.raises(TypeError):
            type("X", (base,), {})


def test_docstrings_carry_text_signatures():
    assert sum_as_string.__doc__.splitlines()[0] == "Formats the sum of two numbers as string."
    assert sum_as_string.__text_signature__ == "(a, b)"
    assert Index.__text_signature__ == "(objs=(), /)"
    assert Indexable.__text_signature__ == "(**kwargs)"
    assert Index.add_object.__text_signature__ == "($self, py_ref)"
    assert PyQueryExpr.bt.__text_signature__ == "(attr, lower, upper)"


def test_internal_failures_are_not_caught_by_except_exception():
    # PanicException (internal failures only) is reachable by name and derives from
    # BaseException directly, so that `except Exception` does not swallow it.
    assert Quorvane.PanicException.__bases__ == (BaseException,)
    assert Quorvane.PanicException.__module__ == "Quorvane"
    caught = None
    try:
        try:
            raise Quorvane.PanicException("internal")
        except Exception:  # noqa: BLE001 - the point: this must not catch it
            caught = "exception"
    except BaseException as exc:  # noqa: BLE001
        caught = exc
    assert isinstance(caught, Quorvane.PanicException)
