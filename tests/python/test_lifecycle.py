"""Objects leaving an index (remove_object, remove_object_many, discard_object, clear, reduce by
query) and the container protocol of Index and FilteredIndex (len, bool, iteration, ``in``).

After every removal the index answers like a scan of its remaining members, views taken earlier
keep their members, and nested objects that only the removed objects reached are released, cycles
among them included.
"""

from __future__ import annotations

import gc
import weakref

import pytest

from Quorvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q

import child
import scan_oracle as so


class Item(Indexable):
    pass


class Node(Indexable):
    pass


def catalogue():
    """Objects with every kind of value: numbers, strings, bools, lists, nested objects."""
    shared = Node(name="shared", w=1)
    objs = []
    for i in range(12):
        objs.append(Item(a=i % 4, f=i / 2, s=f"s{i % 3}", b=i % 2 == 0, l=[i, f"e{i % 5}", (i % 3,)],
                         n=shared if i % 3 == 0 else Node(name=f"n{i}", w=i)))
    return objs, shared


QUERIES = [("eq", "a", 1), ("ne", "a", 1), ("gt", "f", 2.0), ("bt", "a", 1, 2), ("eq", "s", "s1"),
           ("starts_with", "s", "s"), ("contains", "l", "e1"), ("eq", "l", 4), ("eq", "l", 2),
           ("eq", "b", True), ("eq", "n.name", "shared"), ("eq", "n.w", 5), ("ne", "n.name", "n4"),
           ("not", ("eq", "l", 0)), ("in", "a", [0, 3]), ("and", [])]


def check(index, members, queries=QUERIES):
    problem = child.disagreement(index, members, queries)
    assert problem is None, problem


def alive(refs):
    gc.collect()
    return [r() for r in refs if r() is not None]


class TestRemoveObject:
    def test_removed_object_leaves_every_answer(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        members = list(objs)
        for victim in (objs[3], objs[0], objs[11], objs[6]):
            index.remove_object(victim)
            members.remove(victim)
            check(index, members)
        assert len(index) == len(members)

    def test_key_lookups_leave_out_objects_removed_from_either_end_or_the_middle(self):
        # Members added in one batch fill a range of ids; removing the first, the last or
        # one between leaves a gap that every key lookup must see, re-adding closes it, and
        # new members beyond the range are found.
        objs = [Item(k=i % 3) for i in range(30)]
        index = Index()
        index.add_object_many(objs)
        by_id = sorted(objs, key=lambda o: index.collect().index(o))
        members = list(objs)

        def agree():
            for k in range(3):
                want = sorted(id(o) for o in members if o.k == k)
                assert sorted(map(id, index.get_by_attribute(k=k))) == want
                assert sorted(map(id, index.reduced_query(Q.eq("k", k)).collect())) == want
                assert sorted(map(id, index.reduced(k=k).collect())) == want
                assert index.count(k=k) == len(want)

        agree()
        for victim in (by_id[0], by_id[-1], by_id[15]):
            index.remove_object(victim)
            members.remove(victim)
            agree()
        index.add_object(by_id[15])
        members.append(by_id[15])
        agree()
        # Objects whose ids lie beyond the range the first ones filled.
        extra = [Item(k=i % 3) for i in range(30)]
        index.add_object_many(extra)
        members += extra
        agree()

    def test_non_member_raises_key_error_with_the_object_and_changes_nothing(self):
        objs, _ = catalogue()
        index, other = Index(), Index()
        index.add_object_many(objs[:6])
        other.add_object(objs[8])
        for stranger in (objs[7], objs[8], Item(a=1)):
            with pytest.raises(KeyError) as info:
                index.remove_object(stranger)
            assert info.value.args == (stranger,)
        index.remove_object(objs[2])
        with pytest.raises(KeyError):
            index.remove_object(objs[2])  # removed already
        check(index, objs[:2] + objs[3:6])
        check(other, [objs[8]])

    def test_discard_removes_members_and_ignores_the_rest(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs[:6])
        assert index.discard_object(objs[1]) is None
        index.discard_object(objs[1])
        index.discard_object(objs[9])
        check(index, [objs[0]] + objs[2:6])
        with pytest.raises(TypeError, match="must be Indexable, not"):
            index.discard_object("not an object")

    def test_readding_indexes_the_values_of_the_moment(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        victim = objs[5]
        index.remove_object(victim)
        victim.a, victim.s, victim.l = 99, "changed", ["new"]
        check(index, objs[:5] + objs[6:])  # assignments while out change nothing here
        assert index.get_by_attribute(a=99) == []
        index.add_object(victim)
        check(index, objs, QUERIES + [("eq", "a", 99), ("eq", "l", "new"), ("eq", "s", "changed")])

    def test_other_indexes_keep_the_object_current(self):
        objs, _ = catalogue()
        first, second = Index(), Index()
        first.add_object_many(objs)
        second.add_object_many(objs)
        first.remove_object(objs[4])
        objs[4].a = 50
        assert second.get_by_attribute(a=50) == [objs[4]]
        assert first.get_by_attribute(a=50) == []
        check(second, objs, QUERIES + [("eq", "a", 50)])

    def test_objects_without_attributes_and_with_empty_containers(self):
        bare, empty = Item(), Item(l=[], t=(), s="")
        index = Index()
        index.add_object_many([bare, empty])
        index.remove_object(bare)
        assert index.collect() == [empty]
        index.remove_object(empty)
        assert index.collect() == [] and len(index) == 0


class TestRemoveMany:
    def test_removes_all_given_in_one_call(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        index.remove_object_many(objs[::2])
        check(index, objs[1::2])

    @pytest.mark.parametrize("shape", [list, tuple, set, frozenset, lambda xs: (x for x in xs)],
                             ids=["list", "tuple", "set", "frozenset", "generator"])
    def test_accepts_any_iterable(self, shape):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        index.remove_object_many(shape(objs[:4]))
        check(index, objs[4:])

    def test_duplicates_are_removed_once(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs[:4])
        index.remove_object_many([objs[1], objs[1], objs[2], objs[1]])
        check(index, [objs[0], objs[3]])

    def test_one_bad_element_removes_nothing(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs[:6])
        with pytest.raises(KeyError) as info:
            index.remove_object_many([objs[0], objs[1], objs[9], objs[2]])
        assert info.value.args == (objs[9],)
        with pytest.raises(TypeError, match="takes Indexable objects; item 1 is"):
            index.remove_object_many([objs[0], 5])
        with pytest.raises(TypeError, match="takes an iterable of Indexable objects, not a str"):
            index.remove_object_many("abc")
        check(index, objs[:6])

    def test_empty_batch_changes_nothing(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        index.remove_object_many([])
        check(index, objs)


class TestViewsAreSnapshots:
    def test_views_taken_before_keep_their_members(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        view = index.reduced_query(Q.lt("a", 2))
        members = [o for o in objs if o.a < 2]
        before = view.collect()
        index.remove_object_many(members[:3])
        index.clear()
        assert view.collect() == before
        so.check_result(before, members, "view")
        assert len(view) == len(members)
        assert all(o in view for o in members)
        # Refinements read the index's values: what it dropped answers like an object without
        # attributes there, so only complements match it.
        assert view.reduced(a=1).collect() == []
        so.check_result(view.reduced_query(Q.ne("a", 1)).collect(), members, "complement")
        # A rebase indexes the members anew.
        rebased = view.rebase()
        check(rebased, members, [("eq", "a", 1), ("lt", "a", 2), ("eq", "n.name", "shared")])

    def test_views_taken_after_do_not_see_removed_objects(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        index.remove_object(objs[1])
        view = index.reduced(a=1)
        assert objs[1] not in view
        assert set(map(id, view)) == {id(o) for o in objs if o.a == 1 and o is not objs[1]}


    def test_a_dropped_object_lives_exactly_as_long_as_a_view_that_lists_it(self):
        index = Index()
        index.add_object_many([Item(a=i % 2) for i in range(6)])
        early = index.reduced(a=1)  # pins the objects it lists
        gone = [o for o in early][:2]
        refs = [weakref.ref(o) for o in gone]
        index.remove_object_many(gone)
        del gone
        gc.collect()
        assert all(r() is not None for r in refs)
        late = index.reduced(a=1)  # made after the removal: keeps nothing removed before it
        index.clear()
        del early
        gc.collect()
        assert all(r() is None for r in refs), "objects no live view lists were kept"
        survivors = [weakref.ref(o) for o in late]
        assert len(late.collect()) == 1 and all(r() is not None for r in survivors)
        del late
        gc.collect()
        assert all(r() is None for r in survivors)

    def test_views_of_every_age_collect_through_churn(self):
        index = Index()
        objs = [Item(a=i % 3, n=i) for i in range(60)]
        index.add_object_many(objs)
        views, expected = [], []
        for round_ in range(6):
            views.append(index.reduced_query(Q.ne("a", 7)))
            expected.append(list(index.collect()))
            index.remove_object_many(objs[round_ * 10:round_ * 10 + 10])
            index.add_object_many(objs[round_ * 10:round_ * 10 + 5])  # some come back
        for view, members in zip(views, expected):
            assert view.collect() == members
            # Ordering reads the index's values: members it dropped since have none there and
            # come last, in collect() order.
            held = [o for o in members if o in index]
            dropped = [o for o in members if o not in index]
            assert view.order_by("n", descending=True).collect() == \
                sorted(held, key=lambda o: -o.n) + dropped


class TestNestedObjectsLeaveWithTheirHolders:
    def test_shared_nested_object_stays_while_another_holder_reaches_it(self):
        objs, shared = catalogue()
        index = Index()
        index.add_object_many(objs)
        holders = [o for o in objs if o.n is shared]
        for k, holder in enumerate(holders[:-1]):
            index.remove_object(holder)
            so.check_result(index.reduced_query(Q.eq("n.name", "shared")).collect(),
                            holders[k + 1:], "holders left")
        ref = weakref.ref(shared)
        index.remove_object(holders[-1])
        assert index.reduced_query(Q.eq("n.name", "shared")).collect() == []
        del objs, shared, holders, holder
        assert not alive([ref])

    def test_chain_through_lists_and_objects_is_released(self):
        leaf = Node(name="leaf")
        middle = Node(name="middle", l=[leaf, [Node(name="deep", p=leaf)]])
        holder = Item(n=middle)
        index = Index()
        index.add_object(holder)
        assert index.reduced_query(Q.eq("n.l.p.name", "leaf")).collect() == [holder]
        refs = [weakref.ref(o) for o in (leaf, middle, holder)]
        index.remove_object(holder)
        del leaf, middle, holder
        assert not alive(refs)

    @pytest.mark.parametrize("length", [1, 2, 3, 100])
    def test_cycle_reached_only_through_the_removed_object_is_released(self, length):
        ring = [Node(name=f"r{k}") for k in range(length)]
        for k, node in enumerate(ring):
            node.p = ring[(k + 1) % length]
        holder, keeper = Item(n=ring[0]), Item(n=Node(name="kept"))
        index = Index()
        index.add_object_many([holder, keeper])
        refs = [weakref.ref(o) for o in ring]
        index.remove_object(holder)
        check(index, [keeper], [("eq", "n.name", "kept"), ("eq", "n.p.name", "r1")])
        del ring, holder, node
        assert not alive(refs)

    def test_cycle_through_a_list_that_holds_itself(self):
        a, b = Node(name="a"), Node(name="b")
        a.l = [b, 1]
        a.l.append(a.l)
        b.l = (a,)
        holder = Item(n=a)
        index = Index()
        index.add_object(holder)
        refs = [weakref.ref(a), weakref.ref(b)]
        index.remove_object(holder)
        del a, b, holder
        assert not alive(refs)

    def test_cycle_still_reached_from_another_member_stays(self):
        a, b = Node(name="a"), Node(name="b")
        a.p, b.p = b, a
        first, second = Item(n=a), Item(n=b)
        index = Index()
        index.add_object_many([first, second])
        index.remove_object(first)
        check(index, [second], [("eq", "n.name", "b"), ("eq", "n.p.name", "a"),
                                ("eq", "n.p.p.name", "b"), ("eq", "n.p.p.p.name", "a")])
        a.name = "A"  # still indexed: the path sees the new value
        assert index.reduced_query(Q.eq("n.p.name", "A")).collect() == [second]

    def test_members_pointing_at_each_other_removed_one_by_one(self):
        a, b = Node(name="a"), Node(name="b")
        a.p, b.p = b, a
        index = Index()
        index.add_object_many([a, b])
        index.remove_object(a)
        # a is still reached through b, so paths through it answer.
        check(index, [b], [("eq", "p.name", "a"), ("eq", "p.p.name", "b"), ("eq", "name", "a")])
        refs = [weakref.ref(a), weakref.ref(b)]
        index.remove_object(b)
        assert len(index) == 0
        del a, b
        assert not alive(refs)


class TestClear:
    def test_clear_empties_the_index_and_releases_its_objects(self):
        objs, shared = catalogue()
        index = Index()
        index.add_object_many(objs)
        refs = [weakref.ref(o) for o in objs] + [weakref.ref(shared)]
        assert index.clear() is None
        assert len(index) == 0 and not index and index.collect() == []
        check(index, [])
        del objs, shared
        assert not alive(refs)

    def test_cleared_index_is_usable_again(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        index.clear()
        index.add_object_many(objs[:5])
        objs[0].a = 77
        check(index, objs[:5], QUERIES + [("eq", "a", 77)])


class TestReduceByQuery:
    def test_reduce_with_a_query_keeps_what_reduced_query_finds(self):
        objs, _ = catalogue()
        for q in [("gt", "f", 2.0), ("or", [("eq", "s", "s1"), ("eq", "n.name", "shared")]),
                  ("not", ("contains", "l", "e1"))]:
            index = Index()
            index.add_object_many(objs)
            expected = index.reduced_query(so.to_expr(q)).collect()
            assert index.reduce(so.to_expr(q)) is None
            assert index.collect() == expected
            check(index, so.scan(objs, q))

    def test_query_and_keywords_together(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        index.reduce(Q.gt("f", 1.0), b=True)
        check(index, [o for o in objs if o.f > 1.0 and o.b])

    def test_a_keyword_named_query_is_an_attribute_equality(self):
        objs = [Item(query=i % 2) for i in range(6)]
        index = Index()
        index.add_object_many(objs)
        index.reduce(query=1)
        so.check_result(index.collect(), [o for o in objs if o.query == 1], "reduce(query=1)")


class TestContainerProtocol:
    def test_len_bool_iteration_and_membership_of_an_index(self):
        objs, _ = catalogue()
        index = Index()
        assert len(index) == 0 and not index and list(index) == []
        index.add_object_many(objs)
        index.add_object(objs[0])
        assert len(index) == len(objs) and index
        assert list(index) == index.collect()  # ascending id order
        assert all(o in index for o in objs)
        for stranger in (Item(), 1, "s", None, objs[0].n):
            assert stranger not in index
        index.remove_object(objs[0])
        assert objs[0] not in index and len(index) == len(objs) - 1

    def test_len_bool_iteration_and_membership_of_a_view(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        view = index.reduced(b=True)
        assert isinstance(view, FilteredIndex)
        members = [o for o in objs if o.b]
        assert len(view) == len(members) and view
        assert list(view) == view.collect()
        assert all(o in view for o in members)
        assert not any(o in view for o in objs if not o.b)
        assert 3 not in view
        empty = index.reduced(a=-1)
        assert len(empty) == 0 and not empty and list(empty) == []

    def test_iteration_works_on_the_members_of_the_moment_it_began(self):
        objs, _ = catalogue()
        index = Index()
        index.add_object_many(objs)
        order = index.collect()
        seen = []
        for obj in index:
            seen.append(obj)
            index.discard_object(obj)  # removing while iterating is allowed
            index.add_object(Item(a=-1))  # and adding: neither changes this iteration
        assert seen == order
        assert len(index) == len(objs) and all(o.a == -1 for o in index)
