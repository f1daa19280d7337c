"""PyQueryExpr builders, their argument errors, their repr and their lack of a truth value."""
import datetime
import decimal

import pytest

from Quorvane import PyQueryExpr as Q

NAMESPACE = {"Q": Q, "Decimal": decimal.Decimal, "datetime": datetime}

# (query, its repr): the builder calls that make it, values by their repr.
REPRS = [
    *[(build("a", 5), f"Q.{build.__name__}('a', 5)")
      for build in (Q.eq, Q.ne, Q.gt, Q.ge, Q.lt, Q.le)],
    *[(build("s", "x"), f"Q.{build.__name__}('s', 'x')")
      for build in (Q.starts_with, Q.ends_with, Q.contains)],
    (Q.eq(attr="k", value=1.5), "Q.eq('k', 1.5)"),
    (Q.eq("k", 'x"y\'z'), "Q.eq('k', 'x\"y\\'z')"),
    (Q.eq("k", True), "Q.eq('k', True)"),
    (Q.eq("k", None), "Q.eq('k', None)"),
    (Q.eq("k", decimal.Decimal("0.1")), "Q.eq('k', Decimal('0.1'))"),
    (Q.lt("k", datetime.date(2024, 1, 2)), "Q.lt('k', datetime.date(2024, 1, 2))"),
    (Q.eq('a"b\\c\n', 1), "Q.eq('a\"b\\\\c\\n', 1)"),
    (Q.and_(), "Q.and_()"),
    (Q.in_("a", []), "Q.in_('a', [])"),
    (Q.in_("a", ("x", "y", "z")), "Q.in_('a', ['x', 'y', 'z'])"),
    (Q.bt("a", 10, 1), "Q.bt('a', 10, 1)"),
    (Q.bt("a", None, 5), "Q.bt('a', None, 5)"),
    (Q.bt("a", "x", None), "Q.bt('a', 'x', None)"),
    (Q.not_(Q.eq("a", 1)), "Q.not_(Q.eq('a', 1))"),
    (Q.eq("maker", "Kia") & Q.gt("price", 1), "Q.and_(Q.eq('maker', 'Kia'), Q.gt('price', 1))"),
    (Q.or_(Q.eq("a", 1), ~Q.in_("b", [2, 3.5])), "Q.or_(Q.eq('a', 1), Q.not_(Q.in_('b', [2, 3.5])))"),
]


@pytest.mark.parametrize("query, text", REPRS, ids=[text for _, text in REPRS])
def test_repr_is_the_expression_that_builds_the_query(query, text):
    assert repr(query) == text
    assert repr(eval(text, NAMESPACE)) == text


def test_repr_of_a_value_showing_its_own_query_stops_there():
    class Loop:
        def __hash__(self):
            return 1

        def __repr__(self):
            return f"Loop({holder[0]!r})"

    holder = []
    holder.append(Q.eq("a", Loop()))
    assert repr(holder[0]) == "Q.eq('a', Loop(...))"


def test_combining_copies_trees_deeply():
    leaf = Q.eq("a", 1)
    pair = Q.and_(leaf, leaf)
    assert repr(pair).count("Q.eq(") == 2
    nested = Q.or_(pair, Q.not_(pair))
    del leaf, pair
    assert repr(nested).count("Q.eq(") == 4


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Q.eq(1, 2), "argument 'attr': must be str, not int"),
        (lambda: Q.in_("a", "abc"), "PyQueryExpr.in_() takes an iterable of values, not a str"),
        (lambda: Q.in_("a", 5), "PyQueryExpr.in_() takes an iterable of values, not int"),
        (lambda: Q.and_(Q.eq("a", 1), 5), "argument 'exprs': must be PyQueryExpr, not int"),
        (lambda: Q.not_(5), "argument 'exprs': must be PyQueryExpr, not int"),
        *[(lambda build=build, value=value: build("s", value),
           f"{build.__name__} on attribute 's': the text to look for must be a str, not {kind}")
          for build in (Q.starts_with, Q.ends_with, Q.contains)
          for value, kind in ((1, "int"), (None, "NoneType"), (["x"], "list"))],
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
    assert repr(Q.in_("a", Seq())) == "Q.in_('a', [0, 1])"  # a failing length is only a hint


class TestOperators:
    """``&``, ``|`` and ``~`` build and_, or_ and not_; a chain makes one node."""

    @staticmethod
    def shape(q):
        return repr(q)

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
        assert repr(q).count("Q.eq(") == 3000
        assert repr(q).count("Q.or_(") == 1

    def test_other_operands_are_not_supported(self):
        q = Q.eq("a", 1)
        for other in (1, "a", None, True):
            with pytest.raises(TypeError, match="unsupported operand"):
                q & other
            with pytest.raises(TypeError, match="unsupported operand"):
                other | q

    @pytest.mark.parametrize("use", [
        lambda a, b: a and b, lambda a, b: a or b, lambda a, b: not a, lambda a, b: bool(a),
        lambda a, b: 1 if a else 0, lambda a, b: [x for x in [a] if x],
    ])
    def test_a_query_has_no_truth_value(self, use):
        # `a and b` would quietly be b alone, `not a` False: refused, naming the operators.
        a, b = Q.eq("maker", "Kia"), Q.gt("price", 1)
        with pytest.raises(TypeError, match=r"truth value of a PyQueryExpr.*& \(and\), \| \(or\) and ~"):
            use(a, b)


class TestValuesOfBuilders:
    def test_in_accepts_any_iterable(self):
        expected = repr(Q.in_("a", [1, 2, 3]))
        for values in ((1, 2, 3), range(1, 4), (x for x in (1, 2, 3)), iter([1, 2, 3]),
                       {1: "x", 2: "y", 3: "z"}, {1, 2, 3}, frozenset({1, 2, 3})):
            assert repr(Q.in_("a", values)) == expected
