"""PyQueryExpr builders, their argument errors and the text form of their repr."""
import re

import pytest

from Quorvane import PyQueryExpr as Q

def value_form(cast):
    return r"PyValue \{ obj: Some\(Py\(0x[0-9a-f]+\)\), primitave: " + re.escape(cast) + r", hash: \d+ \}"


@pytest.mark.parametrize(
    "build, name",
    [(Q.eq, "Eq"), (Q.ne, "Ne"), (Q.gt, "Gt"), (Q.ge, "Ge"), (Q.lt, "Lt"), (Q.le, "Le"),
     (Q.starts_with, "StartsWi"), (Q.ends_with, "EndsWi"), (Q.contains, "Contains")],
)
def test_two_argument_leaves(build, name):
    text = repr(build("a", 5))
    assert re.fullmatch(rf"<QueryExpr: {name}\(\"a\", {value_form('Int(5)')}\)>", text), text
    assert repr(build(attr="a", value=5)).startswith(f"<QueryExpr: {name}(")


@pytest.mark.parametrize(
    "value, cast",
    [(1.5, "Float(1.5)"), (2.0, "Float(2.0)"), ("x\"y", 'Str("x\\"y")'), (True, "Bool(true)"),
     (None, "Unknown")],
)
def test_value_casts_in_the_text_form(value, cast):
    assert re.fullmatch(rf"<QueryExpr: Eq\(\"k\", {value_form(cast)}\)>", repr(Q.eq("k", value)))


def test_composites_and_their_empty_forms():
    assert repr(Q.and_()) == "<QueryExpr: And([])>"
    assert repr(Q.or_()) == "<QueryExpr: Or([])>"
    assert repr(Q.in_("a", [])) == '<QueryExpr: In("a", [])>'
    inner = value_form("Int(1)")
    assert re.fullmatch(rf"<QueryExpr: Not\(Eq\(\"a\", {inner}\)\)>", repr(Q.not_(Q.eq("a", 1))))
    text = repr(Q.in_("a", ("x", "y", "z")))
    assert [m for m in re.findall(r'Str\("(\w)"\)', text)] == ["x", "y", "z"]
    bt = repr(Q.bt("a", 10, 1))
    assert bt.index("Int(10)") < bt.index("Int(1)")  # bounds kept in the given order


def test_attribute_names_are_written_escaped():
    assert repr(Q.eq('a"b\\c\n', 1)).startswith('<QueryExpr: Eq("a\\"b\\\\c\\n", ')


def test_combining_copies_trees_deeply():
    leaf = Q.eq("a", 1)
    pair = Q.and_(leaf, leaf)
    assert repr(pair).count("Eq(") == 2
    assert repr(leaf).startswith("<QueryExpr: Eq(")
    nested = Q.or_(pair, Q.not_(pair))
    del leaf, pair
    assert repr(nested).count("Eq(") == 4


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Q.eq(1, 2), "argument 'attr': 'int' object cannot be converted to 'PyString'"),
        (lambda: Q.in_("a", "abc"), "argument 'values': Can't extract `str` to `Vec`"),
        (lambda: Q.in_("a", 5), "argument 'values': 'int' object cannot be converted to 'Iterable'"),
        (lambda: Q.and_(Q.eq("a", 1), 5),
         "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
        (lambda: Q.not_(5), "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
        (lambda: Q.eq("a"), "PyQueryExpr.eq() missing 1 required positional argument: 'value'"),
        (lambda: Q.bt("a", 1), "PyQueryExpr.bt() missing 1 required positional argument: 'upper'"),
        (lambda: Q.eq("a", 1, 2), "PyQueryExpr.eq() takes 2 positional arguments but 3 were given"),
        (lambda: Q.and_(x=Q.eq("a", 1)), "PyQueryExpr.and_() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_failing_iteration_of_values_fails_the_call():
    def boom():
        yield 1
        raise ValueError("stop")

    class Seq:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 2:
                return i
            raise IndexError

    with pytest.raises(ValueError, match="stop"):
        Q.in_("a", boom())  # the iteration's own error, unchanged
    assert repr(Q.in_("a", Seq())).count("Int(") == 2  # a failing length is only a hint


class TestOperators:
    """``&``, ``|`` and ``~`` build and_, or_ and not_; a chain makes one node."""

    @staticmethod
    def shape(q):
        """The repr without the addresses and hashes of the values."""
        return re.sub(r"Py\(0x[0-9a-f]+\)|hash: \d+", "", repr(q))

    def test_operators_build_the_combinators(self):
        a, b, c = Q.eq("a", 1), Q.gt("b", 2), Q.starts_with("s", "x")
        assert self.shape(a & b) == self.shape(Q.and_(a, b))
        assert self.shape(a | b) == self.shape(Q.or_(a, b))
        assert self.shape(~a) == self.shape(Q.not_(a))
        assert self.shape(a & b & c) == self.shape(Q.and_(a, b, c))
        assert self.shape((a | b) | (c | a)) == self.shape(Q.or_(a, b, c, a))
        assert self.shape(a & (b | c)) == self.shape(Q.and_(a, Q.or_(b, c)))
        assert self.shape(~(a & b)) == self.shape(Q.not_(Q.and_(a, b)))
        assert self.shape(Q.and_() & a) == self.shape(Q.and_(a))

    def test_long_chains_do_not_deepen_the_tree(self):
        q = Q.eq("a", 0)
        for i in range(1, 3000):
            q = q | Q.eq("a", i)
        assert repr(q).count("Eq(") == 3000
        assert repr(q).count("Or(") == 1

    def test_other_operands_are_not_supported(self):
        q = Q.eq("a", 1)
        for other in (1, "a", None, True):
            with pytest.raises(TypeError, match="unsupported operand"):
                q & other
            with pytest.raises(TypeError, match="unsupported operand"):
                other | q


class TestValuesOfBuilders:
    def test_in_accepts_any_iterable(self):
        expected = re.findall(r"Int\((\d)\)", repr(Q.in_("a", [1, 2, 3])))
        for values in ((1, 2, 3), range(1, 4), (x for x in (1, 2, 3)), iter([1, 2, 3]),
                       {1: "x", 2: "y", 3: "z"}):
            assert re.findall(r"Int\((\d)\)", repr(Q.in_("a", values))) == expected
        for values in ({1, 2, 3}, frozenset({1, 2, 3})):
            assert sorted(re.findall(r"Int\((\d)\)", repr(Q.in_("a", values)))) == expected

    def test_bt_keeps_a_none_bound_as_given(self):
        assert re.fullmatch(rf"<QueryExpr: Bt\(\"a\", {value_form('Unknown')}, "
                            rf"{value_form('Int(5)')}\)>", repr(Q.bt("a", None, 5)))
        assert "Unknown" in repr(Q.bt("a", 1.5, None))
        assert repr(Q.bt("a", "x", None)).count("Unknown") == 1
