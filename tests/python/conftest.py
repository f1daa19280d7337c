import pytest

import Quorvane


class Thing(Quorvane.Indexable):
    """A plain Indexable subclass used across the tests."""


def panic_type():
    """The module's PanicException class, taken from a failure it raises."""
    index = Quorvane.Index()
    index.add_object(Thing(x=1))
    try:
        index.reduced_query(Quorvane.PyQueryExpr.bt("x", "a", "b"))
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("bt with string bounds did not fail")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()


def ids(objs):
    return sorted(map(id, objs))
