"""What repr shows of indexes, views and objects: what a user would type or needs to know,
never addresses or internal names. (Queries: test_query_expr.py.)"""
import dataclasses
import gc

import pytest

from Quorvane import Index, Indexable
from conftest import Thing


def ordered():
    return Index([Thing(p=p) for p in range(30)])


REPRS = [
    (lambda: Index(), "<Index of 0 objects>"),
    (lambda: Index([Thing()]), "<Index of 1 object>"),
    (lambda: Index(Thing(n=i) for i in range(1234)), "<Index of 1,234 objects>"),
    (lambda: Index([Thing(k=1), Thing(k=2)]).reduced(k=1), "<FilteredIndex of 1 object>"),
    (lambda: ordered().order_by("p"), "<OrderedView of 30 objects by 'p' ascending>"),
    (lambda: ordered().order_by("p", True).offset(10).limit(12),
     "<OrderedView of 12 objects by 'p' descending, offset 10, limit 12>"),
    (lambda: ordered().reduced().order_by("it's").limit(0),
     "<OrderedView of 0 objects by \"it's\" ascending, limit 0>"),
    (lambda: Thing(), "Thing()"),
    (lambda: Indexable(maker="Kia", price=12000), "Indexable(maker='Kia', price=12000)"),
    (lambda: Thing(s='say "hi"', l=[1, None], f=0.5, owner=Thing(name="Ada")),
     "Thing(s='say \"hi\"', l=[1, None], f=0.5, owner=Thing(name='Ada'))"),
    (lambda: Thing(**{f"a{i}": i for i in range(9)}),
     "Thing(a0=0, a1=1, a2=2, a3=3, a4=4, a5=5, ...)"),
]


@pytest.mark.parametrize("make, text", REPRS, ids=[text for _, text in REPRS])
def test_repr_says_what_it_is(make, text):
    assert repr(make()) == text


def test_objects_met_again_inside_their_own_repr_show_as_dots():
    me = Thing(a=1)
    me.me = me
    listed = Thing()
    listed.l = [listed, 2]
    a, b = Thing(name="a"), Thing(name="b")
    a.other, b.other = b, a
    assert repr(me) == "Thing(a=1, me=...)"
    assert repr(listed) == "Thing(l=[..., 2])"
    assert repr(a) == "Thing(name='a', other=Thing(name='b', other=...))"


def test_a_long_chain_shows_its_first_links_only():
    head = Thing(n=0)
    for n in range(1, 10_000):
        head = Thing(n=n, next=head)
    text = repr(head)
    assert text.startswith("Thing(n=9999, next=Thing(n=9998, next=")
    assert text.endswith("Thing(...)" + ")" * 8)


def test_classes_keep_their_own_repr():
    class Own(Indexable):
        def __repr__(self):
            return "mine"

    @dataclasses.dataclass
    class Data(Indexable):
        maker: str

    assert repr(Own(a=1)) == "mine"
    assert repr(Data("Kia")).endswith(".Data(maker='Kia')")  # the dataclass's own


def test_a_value_changing_its_holder_while_shown_does_no_harm():
    class Meddler:
        def __repr__(self):
            for i in range(50):
                setattr(holder, f"x{i}", [i] * 10)  # the holder's attributes move
            holder.m = None  # and this value loses its last reference
            gc.collect()
            return "Meddler()"

    holder = Thing(m=Meddler(), n=1)
    index = Index([holder])
    assert repr(holder) == "Thing(m=Meddler(), n=1)"
    assert index.get_by_attribute(x49=49) == [holder] and holder.m is None
