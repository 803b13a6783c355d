"""Plain threads with str keys on the free-threaded interpreter: one thread
adds or updates a path over and over, or copies the set, or merges,
intersects or subtracts the set with itself, while another removes it, or
drops its branch with an intersection or a clear. Every round's answers
(a copy's: the paths it holds) and the set it ends with must be what some
interleaving of the two threads' operations, one after the other, gives,
path by path, and a copy must hold no empty node (schedules with keys that
pause are in test_key_path_set_schedules.py)."""

import sys
import threading

import pytest

import vesk_core._native as native
from races import started
import trie_schedules as ts

KeyPathSet = native.KeyPathSet

pytestmark = pytest.mark.skipif(getattr(sys, "_is_gil_enabled", lambda: True)(),
                                reason="plain threads interleave finely only without the GIL")


def interleaves(initial, ops_a, got_a, ops_b, got_b, p, member_at_end):
    """Whether some interleaving of the two threads' operations, each run
    whole, gives path `p` the answers seen and ends it as it ended. A walk
    that raised because a node changed size under it may have done its part
    for `p` or not."""
    def moves(op, got, member):
        if got[0] == "raised":
            return [member, ts.effect(op, p, member)[1]]
        answer, after = ts.effect(op, p, member)
        return [after] if answer is None or answer == ts.answer(op, got, p, str) else []

    reached = {(0, 0, p in initial)}
    frontier = list(reached)
    while frontier:
        i, j, member = frontier.pop()
        nxt = []
        if i < len(ops_a):
            nxt += [(i + 1, j, m) for m in moves(ops_a[i], got_a[i], member)]
        if j < len(ops_b):
            nxt += [(i, j + 1, m) for m in moves(ops_b[j], got_b[j], member)]
        for state in nxt:
            if state not in reached:
                reached.add(state)
                frontier.append(state)
    return (len(ops_a), len(ops_b), member_at_end) in reached


def race(initial, ops_a, ops_b, rounds):
    """Runs the two threads' operations on a fresh set `rounds` times; the
    rounds whose outcome no interleaving gives, described."""
    start = threading.Barrier(2)
    sets = [KeyPathSet(list(initial)) for _ in range(rounds)]
    seen = {"a": [], "b": []}

    def thread(ops, out):
        calls = [[ts.bind(op, s, to_path=str) for op in ops] for s in sets]
        for round_calls in calls:
            start.wait()
            out.append([ts.outcome(call) for call in round_calls])

    threads = [threading.Thread(target=thread, args=(ops_a, seen["a"])),
               threading.Thread(target=thread, args=(ops_b, seen["b"]))]
    with started(threads, start):
        pass
    paths = sorted({*initial, *(q for op in (*ops_a, *ops_b) for q in ts.paths_of(op))})
    faults = []
    for s, got_a, got_b in zip(sets, seen["a"], seen["b"]):
        faults += ts.faults_of(ops_a, got_a)[0] + ts.faults_of(ops_b, got_b)[0]
        members = {str(q) for q in s}
        for p in paths:
            if not interleaves(initial, ops_a, got_a, ops_b, got_b, p, p in members):
                faults.append(f"{p}: {[o[1] for o in got_a]} / {[o[1] for o in got_b]}, "
                              f"ends {sorted(members)}")
    return faults


ROUNDS = 2_000
REPEATS = 12

CASES = {
    # An add that finds its path in a node the intersection then drops must
    # not bring the path back as already there.
    "add, intersection": (["a.b", "a.c"], [("add", "a.b")] * REPEATS,
                          [("intersection_update", ("a.c",))]),
    # An update must not bring back the branch an intersection dropped
    # while the update merged into it.
    "update, intersection": (["a.b", "a.c"], [("update", ("a.d",))] * REPEATS,
                             [("intersection_update", ("x",))]),
    "add, remove": (["a.b.c"], [("add", "a.b"), ("add", "a.b.c")] * (REPEATS // 2),
                    [("remove", "a.b.c"), ("remove", "a.b")] * (REPEATS // 2)),
    "update, remove": (["a.b"], [("update", ("a.b.c", "a.d"))] * REPEATS,
                       [("remove", "a.b"), ("remove", "a.b.c"), ("remove", "a.d")] * 4),
    # A walk whose other set is the set itself changes nothing: a merge must
    # not store again a marker it read before a removal took it, nor a
    # branch it read before a clear dropped it, and an intersection must not
    # drop what an add stored after a removal took a key it looked up.
    **{f"{name}(s), remove and add": (["a.b.c", "a.b", "a.c"], [(name, ts.SELF)] * REPEATS,
                                      [("remove", "a.b"), ("add", "a.b"), ("remove", "a.c"),
                                       ("add", "a.c")] * (REPEATS // 4))
       for name in ("update", "union_in_place", "intersection_update", "difference_update")},
    "update(s), clear and add": (["a.b"], [("update", ts.SELF)] * REPEATS,
                                 [("clear", None), ("add", "a.b")] * (REPEATS // 2)),
    # A new set made from the set must not keep a node that a removal
    # emptied, or an add had yet to fill, as the walk went down to it.
    **{f"{name}, remove and add": (["a.b", "a.c.d"], [(name, arg)] * REPEATS,
                                   [("remove", "a.c.d"), ("add", "a.c.d")] * (REPEATS // 2))
       for name, arg in [("copy", None), ("deepcopy", None), ("union", ("x",)), ("+", ("x",)),
                         ("difference", ("x",)), ("update_into", ("x",)), ("under", None)]},
}


@pytest.mark.parametrize("initial, ops_a, ops_b", CASES.values(), ids=CASES.keys())
def test_threads_end_as_some_interleaving(initial, ops_a, ops_b):
    faults = race(initial, ops_a, ops_b, ROUNDS)
    assert not faults, f"{len(faults)} faults in {ROUNDS} rounds, first: {faults[:5]}"
