"""Pairs and triples of operations on one small KeyPathSet, made to meet at
every step of their keys' hashes and comparisons (trie_schedules.py): each
schedule with at most two preemptions must end as some sequential order of
the operations would, path by path. The meetings named below run whole;
of the rest, the pairs run with one in four of their two-preemption
schedules, and one triple in forty runs (everything with
VESK_TRIE_SCHEDULES_FULL=1)."""

import hashlib
import itertools
import os

import pytest

import trie_schedules as ts

FULL = os.environ.get("VESK_TRIE_SCHEDULES_FULL") == "1"
PAIR_SHARE = 1 if FULL else 4
TRIPLE_SHARE = 1 if FULL else 40
SHOWN = 3  # failing trials described in full; the others in one line each

INITIAL = [(), ("a.b",), ("a.b", "a.c"), ("a.b", "a.b.c"), ("a.b.c",), ("a.b.c", "a.b")]
OPS = [("add", "a.b"), ("add", "a.b.c"), ("add", "a.c"),
       ("remove", "a.b"), ("remove", "a.c"), ("remove", "a.b.c"), ("in", "a.b"),
       ("update", ("a.d",)), ("update", ("a.b.c",)),
       ("intersection_update", ("a.c",)), ("intersection_update", ("x",)),
       ("difference_update", ("a.b",)), ("difference_update", ("a.c",)), ("clear", None),
       ("copy", None), ("update_into", ("a.d",)), ("difference", ("a.c",)),
       ("union", ("a.b.c",)),
       # Walks whose other set is the set, or shares its nodes.
       ("update", ts.SELF), ("union_in_place", ts.SELF), ("intersection_update", ts.SELF),
       ("difference_update", ts.SELF), ("update", ts.Shared("a")),
       ("intersection_update", ts.Shared("a")), ("difference_update", ts.Shared("a"))]

# Where operations met and ended in no sequential order, by what went wrong.
MEETINGS = {
    # A removal's prune dropped the nodes adds filled while it looked the
    # key up.
    "prune drops what adds stored": (["a.b"], [("remove", "a.b"), ("add", "a.b.c"),
                                               ("add", "a.b")]),
    "prune drops an add, parent pruned": (["a.b", "a.c"], [("remove", "a.b"), ("add", "a.b"),
                                                           ("remove", "a.c")]),
    "added, then not found": (["a.b"], [("remove", "a.b"), ("add", "a.b"), ("in", "a.b")]),
    # An add or update brought back what an intersection dropped.
    "add after intersection": (["a.b", "a.c"], [("add", "a.b"),
                                                ("intersection_update", ("a.c",))]),
    "update after intersection": (["a.b", "a.c"], [("update", ("a.d",)),
                                                   ("intersection_update", ("x",))]),
    "seen, then dropped": (["a.b.c"], [("add", "a.b"), ("in", "a.b"),
                                       ("intersection_update", ("a.c",))]),
    # Deleting a key another operation had deleted raised KeyError.
    "remove meets intersection": (["a.b"], [("remove", "a.b"), ("intersection_update", ("x",))]),
    "difference meets intersection": (["a.b"], [("difference_update", ("a.b",)),
                                                ("intersection_update", ("x",))]),
    # A str key's prune met a key of the same hash whose comparison runs
    # Python code: the node went with what an add stored meanwhile.
    "str key beside a key of its hash": (["a.b", "a.'b"], [("remove", "a.'b"),
                                                           ("add", "a.'b")]),
    # A merge of the set into itself stored again a marker it had read, after
    # a removal took it (an add kept the node's size), or a branch a clear
    # dropped.
    **{f"{name}(s) after a removal": (["a.b.c", "a.b"], [(name, ts.SELF), ("remove", "a.b"),
                                                         ("add", "a.b.d")])
       for name in ("update", "union_in_place")},
    "update(s) after a clear": (["a.b", "a.c"], [("add", "a.c"), ("update", ts.SELF),
                                                 ("clear", None)]),
    # An intersection of the set with itself dropped a key it had found gone,
    # with what an add stored there after: the lookup paused comparing a key
    # of its hash, and the root kept its size.
    "intersection_update(s) after a removal": (["a.b", "'a.x"], [
        ("intersection_update", ts.SELF), ("remove", "a.b"), ("add", "a.b")]),
    # A new set made from the set kept the node a removal emptied while the
    # walk went down to it.
    **{f"{name} reads a node a removal emptied": (["a.b", "a.c"], [(name, arg),
                                                                     ("remove", "a.c")])
       for name, arg in [("copy", None), ("deepcopy", None), ("union", ("x",)), ("+", ("x",)),
                         ("difference", ("x",)), ("intersection", ("a.b", "a.c")),
                         ("update_into", ("x",)), ("under", None)]},
}


def share(text, n):
    """Whether `text` falls in the fixed one-in-`n` sample."""
    return n == 1 or int(hashlib.sha256(text.encode()).hexdigest(), 16) % n == 0


def sweep(cases, pick=lambda case: None):
    """Explores each case; fails listing every trial that ends in an outcome
    no sequential order gives, the first few in full."""
    failures, reached = [], 0
    with ts.pool() as workers:
        for case in cases:
            for trial in ts.explore(case, workers, pick=pick(case)):
                reached += 1
                if trial.faults:
                    failures.append(trial)
    if failures:
        lines = [f"{len(failures)} of {reached} trials end in no sequential order"]
        lines += [f"{t.case} ({t.faults[0]})" for t in failures]
        lines += ["", *(t.account() for t in failures[:SHOWN])]
        pytest.fail("\n".join(lines), pytrace=False)
    return reached


@pytest.mark.parametrize("initial, ops", MEETINGS.values(), ids=MEETINGS.keys())
def test_meetings_end_in_a_sequential_order(initial, ops):
    assert sweep([ts.Case(initial, ops)]) > 20


def leaves(n):
    """Keeps every schedule with fewer than two preemptions and one in `n`
    of those with two."""
    def pick(case):
        return lambda schedule: (sum(b is not None for _, b in schedule) < 2
                                 or share(f"{case}/{schedule}", n))
    return pick


@pytest.mark.parametrize("initial", INITIAL, ids=lambda i: "{" + ",".join(i) + "}")
def test_pairs_end_in_a_sequential_order(initial):
    sweep([ts.Case(initial, ops) for ops in itertools.combinations(OPS, 2)], leaves(PAIR_SHARE))


@pytest.mark.parametrize("initial", INITIAL, ids=lambda i: "{" + ",".join(i) + "}")
def test_triples_end_in_a_sequential_order(initial):
    cases = [ts.Case(initial, ops) for ops in itertools.combinations(OPS, 3)]
    sweep([case for case in cases if share(str(case), TRIPLE_SHARE)])


def test_the_orders_keep_operations_that_ended_before_others_began_first():
    case = ts.Case(["a.b"], [("remove", "a.b"), ("add", "a.b"), ("update", ("a.b",))])
    either = case.allowed(frozenset(), frozenset())["a.b"]
    assert (((0, True), (1, True)), True) in either and (((0, True), (1, False)), False) in either
    # The add ended before the removal began: only the removal's effect stays.
    assert case.allowed(frozenset({(1, 0), (2, 0)}), frozenset())["a.b"] == {
        (((0, True), (1, False)), False)}
    # An update that raised midway may have stored the path or not.
    assert case.allowed(frozenset({(1, 0)}), frozenset({2}))["a.b"] == {
        (((0, True), (1, False)), False), (((0, True), (1, False)), True)}
