import pytest

import Quorvane


class Thing(Quorvane.Indexable):
    """A plain Indexable subclass used across the tests."""


@pytest.fixture(scope="session")
def PanicException():
    return Quorvane.PanicException


def ids(objs):
    return sorted(map(id, objs))
