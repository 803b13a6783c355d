"""A list write meets another write's claims before its first effect: a sort
(which takes every item out while its key runs) and a write under way on
the list refuse each other at once, the refused one having called no hook
and moved nothing; `extend` and a slice name their items where the list is
while they read their source; an index from the end is resolved where its
slot is claimed. Paused at chosen points (every interpreter), and at native
speed (write_races.py)."""

import collections
import threading
import time

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, List
from races import started
from write_races import THREADS, Counted, in_rounds, interleaved, outcome_of, rounds  # noqa: F401

WAIT = 10
REFUSAL = "Already mutably borrowed"


class Gate:
    """Pauses the first call of `hit` (on the thread `only`, when given)
    until `go` is set."""

    def __init__(self, only=None):
        self.only = only
        self.paused, self.go = threading.Event(), threading.Event()

    def hit(self):
        if self.only not in (None, threading.current_thread().name) or self.paused.is_set():
            return
        self.paused.set()
        assert self.go.wait(WAIT)


class Hooked(Dict):
    """A child that keeps its topology calls; the first placement of one
    with a gate pauses after its `topo_setparent`."""

    def topo_setpath(self, path):
        self.__dict__.setdefault("calls", []).append(("path", path))
        super().topo_setpath(path)

    def topo_setparent(self, parent):
        self.__dict__.setdefault("calls", []).append(("parent", parent))
        super().topo_setparent(parent)
        gate = self.__dict__.get("gate")
        if gate is not None and parent is not None:
            gate.hit()


def calls(x):
    return x.__dict__.get("calls", [])


def run(outcomes, name, op):
    try:
        op()
        outcomes[name] = "ok"
    except Exception as e:     # the operation's outcome, checked by the test
        outcomes[name] = REFUSAL if str(e) == REFUSAL else type(e).__name__


def paused(first, gate, second):
    """`first` on thread "a" until `gate` holds it, `second` on thread "b"
    to its end meanwhile (or to its own gate), then `first` ends: each one's
    outcome, "ok" or what it raised."""
    outcomes = {}
    a = threading.Thread(target=run, args=(outcomes, "a", first), name="a")
    b = threading.Thread(target=run, args=(outcomes, "b", second), name="b")
    with started([a], gate.go):
        assert gate.paused.wait(WAIT), "the first operation never paused"
        with started([b]):
            pass
        gate.go.set()
    return outcomes


WRITES = {
    "slice": lambda lst, x, y: lst.__setitem__(slice(0, 2), [x, y]),
    "extended slice": lambda lst, x, y: lst.__setitem__(slice(0, 4, 2), [x, y]),
    "extend": lambda lst, x, y: lst.extend([x, y]),
    "index": lambda lst, x, y: lst.__setitem__(1, x),
    "index from the end": lambda lst, x, y: lst.__setitem__(-1, x),
    "append": lambda lst, x, y: lst.append(x),
    "insert": lambda lst, x, y: lst.insert(0, x),
}
# Each write paused at its first child's hook, and a write of two at its
# second child's (its first stored).
PAUSED = [(w, 0) for w in WRITES] + [(w, 1) for w in ("slice", "extended slice", "extend")]


def fresh_list():
    return List([Dict(n=i) for i in range(4)], root_path=KeyPath("l"))


def tags(lst):
    return [dict.get(v, "n", dict.get(v, "t")) for v in list.__iter__(lst)]


@pytest.mark.parametrize("write, at", PAUSED, ids=[f"{w}-{at}" for w, at in PAUSED])
def test_a_sort_meeting_a_write_under_way_is_refused(write, at):
    # The write pauses in a hook of a child it places; a sort then is
    # refused, its key never called, and the write ends as it would alone.
    lst, alone = fresh_list(), fresh_list()
    news = [Hooked(t=0), Hooked(t=1)]
    gate = news[at].__dict__["gate"] = Gate()
    keyed = []
    got = paused(lambda: WRITES[write](lst, *news),
                 gate, lambda: lst.sort(key=lambda v: keyed.append(v) or 0))
    assert got == {"a": "ok", "b": REFUSAL} and keyed == []
    WRITES[write](alone, Dict(t=0), Dict(t=1))
    assert tags(lst) == tags(alone)
    assert [v._topo_path for v in list.__iter__(lst)] == \
        [v._topo_path for v in list.__iter__(alone)]
    assert all(v._topo_parent is lst for v in list.__iter__(lst))


@pytest.mark.parametrize("write", WRITES)
def test_a_write_meeting_a_sort_is_refused_before_its_first_effect(write):
    lst = fresh_list()
    before = list(list.__iter__(lst))
    news = [Hooked(t=0), Hooked(t=1)]
    gate = Gate()

    def key(value):
        gate.hit()
        return -dict.__getitem__(value, "n")

    got = paused(lambda: lst.sort(key=key), gate, lambda: WRITES[write](lst, *news))
    # Refused, never out of range (the list reads empty while the key runs).
    assert got == {"a": "ok", "b": REFUSAL}
    assert list(list.__iter__(lst)) == before[::-1]
    for x in news:
        assert calls(x) == [] and x._topo_parent is None


class Source:
    """An iterable whose reading pauses after its first item (Python code
    run while `extend` or a slice reads its source)."""

    def __init__(self, items, gate):
        self.items, self.gate = items, gate

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == 1:
                self.gate.hit()
            yield item


class LateClass(Dict):
    """A child whose class is read (the insertion test, before any claim)
    through a property that may pause its reader."""

    gate = None

    @property
    def __class__(self):
        if LateClass.gate is not None:
            LateClass.gate.hit()
        return type(self)


@pytest.mark.parametrize("write", ["extend", "slice", "append"])
@pytest.mark.parametrize("move", ["re-path", "placement"])
def test_a_list_moved_while_a_write_reads_its_source(write, move):
    # A move while `extend` or a slice reads its source (Python code) meets
    # their claims and is refused; one before an append's claims (its value's
    # class read) succeeds. Either way the items the write stores, and the
    # clone `extend` makes of one another tree holds, are named where the
    # list is.
    lst = List([0, 1, 2], root_path=KeyPath("l0"))
    d1 = Dict(root_path=KeyPath("d1"))
    held = Dict(h=Dict(t="held"), root_path=KeyPath("other"))
    gate = Gate(only="a")
    items = [Dict(t="a"), Dict(t="b")] + ([held["h"]] if write == "extend" else [])
    first = {"extend": lambda: lst.extend(Source(items, gate)),
             "slice": lambda: lst.__setitem__(slice(3, 3), Source(items, gate)),
             "append": lambda: lst.append(LateClass(t="a"))}[write]
    second = (lambda: lst.topo_setpath(KeyPath("w", KeyPath("d1")))) if move == "re-path" else (
        lambda: d1.__setitem__("w", lst))
    LateClass.gate = gate if write == "append" else None
    try:
        got = paused(first, gate, second)
    finally:
        LateClass.gate = None
    assert got == {"a": "ok", "b": "ok" if write == "append" else REFUSAL}
    assert lst._topo_path == (KeyPath("w", KeyPath("d1")) if got["b"] == "ok" else KeyPath("l0"))
    assert len(lst) == 3 + (len(items) if write != "append" else 1)
    for i, v in enumerate(list(list.__iter__(lst))[3:], 3):
        assert v is not held["h"]
        assert v._topo_parent is lst and v._topo_path == KeyPath(i, lst._topo_path)


class Transformed:
    """An element transform that pauses on its first call with `value`."""

    def __init__(self, value):
        self.value, self.gate = value, Gate()

    def __call__(self, x):
        if x is self.value:
            self.gate.hit()
        return x


def test_an_index_from_the_end_racing_an_append_of_its_value():
    # Every order succeeds: the append first leaves the value last, where
    # the index write finds it in its own slot. The index write claims its
    # value before it resolves its slot, so the append is refused instead.
    r = Dict(t="r")
    pause = Transformed(r)
    lst = List([0, Dict(t="c")], value_spec=native.List(native.Any(transform=pause)),
               root_path=KeyPath("l"))
    got = paused(lambda: lst.__setitem__(-1, r), pause.gate, lambda: lst.append(r))
    assert got == {"a": "ok", "b": REFUSAL}
    assert list(list.__iter__(lst)) == [0, r] and r._topo_path == KeyPath(1, KeyPath("l"))


def test_an_index_from_the_end_resolved_where_its_slot_is_claimed():
    # x (`l[-1] = r`) read the length before an insertion at the front and
    # an index write that stored r at 1; r is held there when x claims its
    # slot: refused as held elsewhere, r stored once.
    lst = List([0, Dict(t="c")], root_path=KeyPath("l"))
    c = list.__getitem__(lst, 1)
    r = LateClass(t="r")
    LateClass.gate = gate = Gate(only="a")
    try:
        def between():
            lst.insert(0, Dict(t="front"))
            lst[1] = r

        got = paused(lambda: lst.__setitem__(-1, r), gate, between)
    finally:
        LateClass.gate = None
    assert got == {"a": "SharedHoldError", "b": "ok"}
    assert list(list.__iter__(lst))[1:] == [r, c] and c._topo_parent is lst


def slow_key(value):
    time.sleep(0)      # lets other threads run while the items are out
    return id(value) % 97


def test_writes_meeting_sorts_at_native_speed():
    # Equal-length slices, index writes and extends followed
    # by as many pops meet sorts whose key lets other threads in: every
    # write succeeds or is refused having placed nothing; the list keeps its
    # length, holds each child once, and every child it holds names it.
    n = rounds(400)
    size = 24
    lst = List([Counted(n=i) for i in range(size)], root_path=KeyPath("l"))
    made = [[] for _ in range(THREADS)]

    def pop_one():
        while outcome_of(lst.pop) == "refused":
            pass

    def write(r, tid):
        if tid == 0:
            return outcome_of(lambda: lst.sort(key=slow_key, reverse=r % 2 == 1))
        news = [Counted(n=(tid, r, k)) for k in range(2)]
        made[tid].append(news)
        op, at = (r + tid) % 3, (r * 7 + tid) % (size - 2)
        if op == 0:
            return outcome_of(lambda: lst.__setitem__(slice(at, at + 2), news))
        if op == 1:     # by an index from the start or from the end
            return outcome_of(lambda: lst.__setitem__(at - size * (r % 2), news[0]))
        got = outcome_of(lambda: lst.extend(news))
        if got == "ok":
            pop_one()
            pop_one()
        return got

    outcomes, _ = in_rounds(n, THREADS, write)
    assert {g for got in outcomes for g in got} <= {"ok", "refused"}
    assert len(lst) == size
    assert max(collections.Counter(map(id, list.__iter__(lst))).values()) == 1
    for v in list.__iter__(lst):
        assert v._topo_parent is lst
    for tid in range(1, THREADS):
        for news, got in zip(made[tid], (o[tid] for o in outcomes)):
            if got == "refused":     # before its first effect: never placed
                assert all(x.__dict__.get("parents", []) == [] for x in news), news
