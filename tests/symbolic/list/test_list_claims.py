"""A list write and a sort refuse each other before either's first effect;
`extend`, a slice and an append name their items where the list is while a
move of the list meets them; an index from the end is resolved where its
slot is claimed; what lands at the end moves no item and is named where it
lands. Paused at chosen points (paused_pairs.py), and at native speed
(write_races.py)."""

import collections
import enum
import threading
import time

import pytest

import vesk_core._native as native
from helpers import MISSING, Dict, KeyPath, List, SharedHoldError
from paused_pairs import REFUSED, Pausing, race
from write_races import THREADS, Counted, in_rounds, interleaved, outcome_of, rounds  # noqa: F401


class Gate:
    """Pauses the first `hit` on `thread` (race's first, "a") until `go`."""

    def __init__(self, thread="a"):
        self.thread = thread
        self.paused, self.go = threading.Event(), threading.Event()

    def hit(self, *_):
        if threading.current_thread().name == self.thread and not self.paused.is_set():
            self.paused.set()
            assert self.go.wait(10)


class Paused(Counted):
    """Pauses its first placement, after its `topo_setparent`."""

    def topo_setparent(self, parent):
        super().topo_setparent(parent)
        if parent is not None and "gate" in self.__dict__:
            self.gate.hit()


def placed(x):
    return x.__dict__.get("parents", [])


WRITES = {
    "slice": lambda lst, x, y: lst.__setitem__(slice(0, 2), [x, y]),
    "extended slice": lambda lst, x, y: lst.__setitem__(slice(0, 4, 2), [x, y]),
    "extend": lambda lst, x, y: lst.extend([x, y]),
    "index": lambda lst, x, y: lst.__setitem__(1, x),
    "index from the end": lambda lst, x, y: lst.__setitem__(-1, x),
    "append": lambda lst, x, y: lst.append(x),
    "insert": lambda lst, x, y: lst.insert(0, x),
}
# Paused at the first child's hook, and a write of two at its second's.
PAUSED = [(w, 0) for w in WRITES] + [(w, 1) for w in ("slice", "extended slice", "extend")]


def four():
    return List([Dict(n=i) for i in range(4)], root_path=KeyPath("l"))


def shape(lst):
    return [(dict(v), v._topo_parent is lst, v._topo_path) for v in list.__iter__(lst)]


@pytest.mark.parametrize("write, at", PAUSED, ids=[f"{w}-{at}" for w, at in PAUSED])
def test_a_sort_meeting_a_write_under_way_is_refused(write, at):
    # The sort is refused, its key never called, and the write ends as alone.
    lst, alone = four(), four()
    news = [Paused(t=0), Paused(t=1)]
    news[at].__dict__["gate"] = gate = Gate()
    keyed = []
    got = race(lambda: WRITES[write](lst, *news),
               lambda: lst.sort(key=lambda v: keyed.append(v) or 0), gate)
    assert got == {"a": "ok", "b": REFUSED} and keyed == []
    WRITES[write](alone, Dict(t=0), Dict(t=1))
    assert shape(lst) == [(d, True, p) for d, _, p in shape(alone)]


def source(items, gate):
    """The items, read with a pause after the first (Python code run while
    `extend` or a slice reads its source)."""
    for i, item in enumerate(items):
        if i == 1:
            gate.hit()
        yield item


class LateClass(Dict):
    """A child whose class is read (the insertion test, before any claim)
    through a property that may pause its reader."""

    gate = Gate()

    @property
    def __class__(self):
        type(self).gate.hit()
        return type(self)


@pytest.mark.parametrize("write", ["extend", "slice", "append"])
@pytest.mark.parametrize("move", ["re-path", "placement"])
def test_a_list_moved_while_a_write_reads_its_source(write, move):
    # A move while `extend` or a slice reads its source meets their claims
    # and is refused; one before an append's claims (its value's class read)
    # succeeds. Either way the items stored, and the clone `extend` makes of
    # one another tree holds, are named where the list is.
    lst = List([0, 1, 2], root_path=KeyPath("l0"))
    d1 = Dict(root_path=KeyPath("d1"))
    held = Dict(h=Dict(t="held"), root_path=KeyPath("other"))
    LateClass.gate = gate = Gate()
    items = [Dict(t="a"), Dict(t="b")] + ([held["h"]] if write == "extend" else [])
    first = {"extend": lambda: lst.extend(source(items, gate)),
             "slice": lambda: lst.__setitem__(slice(3, 3), source(items, gate)),
             "append": lambda: lst.append(LateClass(t="a"))}[write]
    second = (lambda: lst.topo_setpath(KeyPath("w", KeyPath("d1")))) if move == "re-path" else (
        lambda: d1.__setitem__("w", lst))
    got = race(first, second, gate)
    assert got == {"a": "ok", "b": "ok" if write == "append" else REFUSED}
    assert lst._topo_path == (KeyPath("w", KeyPath("d1")) if got["b"] == "ok" else KeyPath("l0"))
    added = list(list.__iter__(lst))[3:]
    assert len(added) == (1 if write == "append" else len(items))
    for i, v in enumerate(added, 3):
        assert v is not held["h"] and v._topo_parent is lst
        assert v._topo_path == KeyPath(i, lst._topo_path)


def test_an_index_from_the_end_racing_an_append_of_its_value():
    # In every order both succeed (appended first, the value is in the
    # index's own slot). The index write claims its value before it resolves
    # its slot, so the append, paused out, is refused instead.
    r = Dict(t="r")
    gate = Gate()
    spec = native.List(native.Any(transform=lambda x: gate.hit() or x))
    lst = List([0, Dict(t="c")], value_spec=spec, root_path=KeyPath("l"))
    assert race(lambda: lst.__setitem__(-1, r), lambda: lst.append(r), gate) == {
        "a": "ok", "b": REFUSED}
    assert list(list.__iter__(lst)) == [0, r] and r._topo_path == KeyPath(1, KeyPath("l"))


def test_an_index_from_the_end_resolved_where_its_slot_is_claimed():
    # `l[-1] = r` read the length before an insertion at the front and an
    # index write that stored r at 1: r is held elsewhere for the slot x
    # claims (the last), and stays stored once.
    lst = List([0, Dict(t="c")], root_path=KeyPath("l"))
    c = list.__getitem__(lst, 1)
    r = LateClass(t="r")
    LateClass.gate = gate = Gate()

    def between():
        lst.insert(0, Dict(t="front"))
        lst[1] = r

    got = race(lambda: lst.__setitem__(-1, r), between, gate)
    assert got["b"] == "ok" and got["a"][0] is SharedHoldError
    assert list(list.__iter__(lst))[1:] == [r, c] and c._topo_parent is lst


def test_an_index_write_goes_over_its_occupant_moved_meanwhile():
    # `l[1] = r` paused while an insertion at the front moves its occupant c
    # and a write into the item moved to 1 holds that item: the index write
    # replaces c where it is, meeting no claim after its first effect.
    a0, c = Dict(n=0), Dict(n=1)
    lst = List([a0, c], root_path=KeyPath("l"))
    r, p = Paused(t="r"), Paused(t="p")
    r.__dict__["gate"] = gate = Gate()
    p.__dict__["gate"] = held = Gate("w")
    w = threading.Thread(target=lambda: a0.__setitem__("k", p), name="w")

    def meanwhile():
        lst.insert(0, Dict(n="front"))
        w.start()
        assert held.paused.wait(10)

    try:
        got = race(lambda: lst.__setitem__(1, r), meanwhile, gate)
    finally:
        held.go.set()
        w.join()
    assert got == {"a": "ok", "b": "ok"} and list(list.__iter__(lst))[1:] == [a0, r]
    assert c._topo_parent is None and r._topo_path == KeyPath(1, KeyPath("l"))


class Shared(enum.Enum):
    """A plain value a list may hold at several places."""

    M = 1


def gated_list(items, gate):
    spec = native.List(native.Any(transform=lambda x: gate.hit() or x))
    return List(items, value_spec=spec, root_path=KeyPath("l"))


@pytest.mark.parametrize("between", ["insert", "delete"])
def test_an_index_write_over_a_value_the_list_holds_twice(between):
    # `l[2] = r` paused after its claims, its occupant a plain value the
    # list also holds at 0: an insertion or removal elsewhere, which would
    # move both, meets the write's claim of the list's positions and is
    # refused, so the write is never taken to the other one.
    gate = Gate()
    lst, r = gated_list([Shared.M, 0, Shared.M], gate), Dict(t="r")
    op = (lambda: lst.insert(0, 5)) if between == "insert" else (lambda: lst.__delitem__(1))
    got = race(lambda: lst.__setitem__(2, r), op, gate)
    assert got == {"a": "ok", "b": REFUSED}
    assert [v if v is not r else "r" for v in list.__iter__(lst)] == [Shared.M, 0, "r"]


# Writes by position over plain items of [0, 1, 2, 3, 4], and the position of
# the item a removal at the front moves onto one of theirs (an insertion
# there moves item 0 onto position 1).
BY_POSITION = {
    "slice": (lambda lst, x, y: lst.__setitem__(slice(1, 3), [x, y]), 3),
    "extended slice": (lambda lst, x, y: lst.__setitem__(slice(1, 4, 2), [x, y]), 2),
    "index": (lambda lst, x, y: lst.__setitem__(1, x), 2),
}


@pytest.mark.parametrize("write", list(BY_POSITION))
@pytest.mark.parametrize("move", ["insert", "delete"])
def test_a_write_by_position_and_a_move_of_its_items_decide_before_any_hook(write, move):
    # `a` goes by position over plain items, paused after its claims (in its
    # elements' transform), while an insertion at the front or a removal
    # there would move onto one of its positions an item that a third write
    # holds: the move meets a's claim of the list's positions and is refused,
    # and a ends as alone, its children placed once and never let go.
    gate, held = Gate(), Gate("w")
    d = Dict(n="d")
    write, moved = BY_POSITION[write]
    items = [0, 1, 2, 3, 4]
    items[0 if move == "insert" else moved] = d
    lst = gated_list(items, gate)
    x, y = Counted(t="x"), Counted(t="y")
    p = Paused(t="p")
    p.__dict__["gate"] = held
    w = threading.Thread(target=lambda: d.__setitem__("k", p), name="w")

    def meanwhile():
        lst.insert(0, Dict(n="front")) if move == "insert" else lst.__delitem__(0)
        w.start()
        assert held.paused.wait(10)

    try:
        got = race(lambda: write(lst, x, y), meanwhile, gate)
    finally:
        held.go.set()
        if w.ident:
            w.join()
    assert got == {"a": "ok", "b": REFUSED}
    write(items, x, y)
    assert list(list.__iter__(lst)) == items and d._topo_parent is lst
    assert placed(x) == [lst] and placed(y) == ([lst] if any(v is y for v in items) else [])


@pytest.mark.parametrize("second", ["same list", "other list"])
def test_writes_from_the_end_of_one_plain_value_never_meet(second):
    # Two writes of one enum member at different slots (of one list or of
    # two) claim nothing of the value: both succeed.
    gate = Gate()
    lst, other = gated_list([0, 1, 2], gate), List([0, 1, 2])
    op = (lambda: lst.__setitem__(-2, Shared.M)) if second == "same list" else (
        lambda: other.__setitem__(-1, Shared.M))
    assert race(lambda: lst.__setitem__(-1, Shared.M), op, gate) == {"a": "ok", "b": "ok"}
    target, at = (lst, -2) if second == "same list" else (other, -1)
    assert list.__getitem__(target, at) is Shared.M is list.__getitem__(lst, -1)


def slow_key(value):
    time.sleep(0)      # lets other threads run while the items are out
    return id(value) % 97


def test_writes_meeting_sorts_at_native_speed():
    # Equal-length slices, index writes and extends followed by as many
    # pops meet sorts whose key lets other threads in: every write succeeds
    # or is refused having placed nothing; the list keeps its length, holds
    # each child once, and every child it holds names it.
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

    outcomes, _ = in_rounds(n, THREADS, write, seconds=15)
    assert {g for got in outcomes for g in got} <= {"ok", "refused"}
    assert len(lst) == size
    assert max(collections.Counter(map(id, list.__iter__(lst))).values()) == 1
    assert all(v._topo_parent is lst for v in list.__iter__(lst))
    for tid in range(1, THREADS):
        for news, got in zip(made[tid], (o[tid] for o in outcomes)):
            if got == "refused":     # before its first effect: never placed
                assert [placed(x) for x in news] == [[], []], news


@pytest.mark.parametrize("write", list(WRITES))
def test_a_write_meeting_a_sort_paused_in_its_key_is_refused(write):
    # Refused before its first effect: no hook of its children called, the
    # list left to the sort, and an index write refused rather than
    # finding the list the sort emptied too short.
    lst, alone = four(), four()
    gate = Gate()
    news = [Counted(t=0), Counted(t=1)]
    got = race(lambda: lst.sort(key=lambda v: gate.hit() or -v["n"]),
               lambda: WRITES[write](lst, *news), gate)
    assert got == {"a": "ok", "b": REFUSED} and [placed(x) for x in news] == [[], []]
    alone.sort(key=lambda v: -v["n"])
    assert shape(lst) == shape(alone)


@pytest.mark.parametrize("index", [1, -1])
def test_an_index_write_resumed_while_a_sort_runs_is_refused(index):
    # The write checked its index against the list's length, then paused
    # before its claims (its value's class read) while a sort began: it
    # resumes with the list emptied by the sort, and is refused, not told
    # its index is out of range; its value is never placed.
    lst = four()
    r = LateClass(t="r")
    LateClass.gate = held = Gate("w")
    got = {}
    w = threading.Thread(target=lambda: got.update(w=outcome_of(
        lambda: lst.__setitem__(index, r))), name="w")
    gate = Gate()

    def resume_the_write():
        held.go.set()
        w.join()

    w.start()
    try:
        assert held.paused.wait(10)
        got.update(race(lambda: lst.sort(key=lambda v: gate.hit() or v["n"]),
                        resume_the_write, gate))
    finally:
        held.go.set()
        w.join()
    assert got == {"a": "ok", "b": "ok", "w": "refused"}
    assert r._topo_parent is None
    assert [d for d, _, _ in shape(lst)] == [{"n": i} for i in range(4)]


class FailsPaused(Dict):
    """Pauses at the hook `fails` names (its path, or its letting go), then
    raises there."""

    def topo_setpath(self, path):
        if self.__dict__.get("fails") == "path":
            self.gate.hit()
            raise LookupError("refused")
        super().topo_setpath(path)

    def topo_setparent(self, parent):
        if parent is None and self.__dict__.get("fails") == "let go":
            self.gate.hit()
            raise LookupError("refused")
        super().topo_setparent(parent)


class ByThread(List):
    """Keeps the updates each thread's writes report apart."""

    def _notify_field_updates(self, updates):
        self.__dict__.setdefault(threading.current_thread().name, []).extend(updates)


BIG = 10 ** 15     # an int no other code holds
# Writes whose stores are taken back when a hook after the first one fails:
# (the write, the item that fails, where it starts, what its hook does, the
# position of the first store).
TAKEN_BACK = {
    "slice": (lambda lst, bad: lst.__setitem__(slice(0, 2), [BIG, bad]), None, "path", 0),
    "extend": (lambda lst, bad: lst.extend([BIG, bad]), None, "path", None),
    "index over an item let go": (lambda lst, bad: lst.__setitem__(2, BIG), 2, "let go", 2),
}
MOVES = {
    "insert": lambda lst, at: lst.insert(0, -1),
    "pop": lambda lst, at: lst.pop(0),
    "delete": lambda lst, at: lst.__delitem__(0),
    "reverse": lambda lst, at: lst.reverse(),
    "write over its store": lambda lst, at: lst.__setitem__(at, -2),
}
MEETINGS = [(w, m) for w in TAKEN_BACK for m in MOVES
            if not (m == "write over its store" and TAKEN_BACK[w][3] is None)]


@pytest.mark.parametrize("write, move", MEETINGS, ids=[f"{w}-{m}" for w, m in MEETINGS])
def test_a_write_taken_back_while_another_moves_or_writes_its_store(write, move):
    # The write stores a plain value, pauses in a later hook, which then
    # fails: it is taken back whole where its store is, and the other write,
    # made meanwhile, ends as it would alone (or is refused, having done
    # nothing), reporting what it changed there.
    first, starts_at, fails, at = TAKEN_BACK[write]

    def world(fails=None):
        bad = FailsPaused(t="bad")
        bad.__dict__.update(fails=fails, gate=Gate())
        items = [Dict(n=0), 1, bad if starts_at == 2 else Dict(n=2), 3]
        # Bound to a spec that keeps plain values as they are: once a write
        # has read the spec, a plain value written over a plain one takes the
        # road that claims nothing.
        lst = ByThread(items, value_spec=native.List(native.Any()), root_path=KeyPath("l"))
        lst[3] = 3
        return lst, bad

    def seen(lst, thread):
        as_seen = lambda v: v if isinstance(v, int) or v is MISSING else dict(v)   # noqa: E731
        return ([as_seen(v) for v in list.__iter__(lst)],
                [(u.path, as_seen(u.old_value)) for u in lst.__dict__.get(thread, [])])

    lst, bad = world(fails)
    got = race(lambda: first(lst, bad), lambda: MOVES[move](lst, at), bad.gate)
    assert got["a"] == (LookupError, "refused") and got["b"] in ("ok", REFUSED)
    alone, _ = world()
    if got["b"] == "ok":
        MOVES[move](alone, at)
    assert seen(lst, "b") == seen(alone, "MainThread") and "a" not in lst.__dict__


class ClonedSlowly(Counted):
    """Pauses its first clone, when it has a gate."""

    def sym_clone(self, deep=False, memo=None):
        if "gate" in self.__dict__:
            self.gate.hit()
        return super().sym_clone(deep, memo)


# Writes on a list or its first member (paused in its new child's placement
# when the write is the one paused).
INTO_SOURCE = {
    "index write over a member": lambda lst, new: lst.__setitem__(0, new),
    "index write elsewhere": lambda lst, new: lst.__setitem__(1, new),
    "write into a member": lambda lst, new: list.__getitem__(lst, 0).__setitem__("z", new),
}


@pytest.mark.parametrize("write", list(INTO_SOURCE))
@pytest.mark.parametrize("paused", ["copy", "write"])
def test_a_copy_reads_its_source_as_a_read_does(write, paused):
    # Paused in a member's clone, or while a write into the list or a member
    # holds its claims: neither meets the other, both succeed, and the copy
    # holds clones of what it read, each naming it, having called no hook of
    # the source's members.
    lst = List([ClonedSlowly(n=0), ClonedSlowly(n=1)], root_path=KeyPath("l"))
    members = list(list.__iter__(lst))
    gate = Gate()
    new = Paused(t="new")
    (members[0] if paused == "copy" else new).__dict__["gate"] = gate
    made = []
    copy, change = (lambda: made.append(lst.copy())), (lambda: INTO_SOURCE[write](lst, new))
    got = race(copy, change, gate) if paused == "copy" else race(change, copy, gate)
    assert got == {"a": "ok", "b": "ok"}
    [copied] = made
    assert len(copied) == 2 and type(copied) is List
    for i, item in enumerate(list.__iter__(copied)):
        assert all(item is not x for x in members + [new])
        assert item._topo_parent is copied and item._topo_path == KeyPath(i)
    assert all(p is not copied for x in members for p in placed(x))



def beside(first, second, gate, third, held, then=lambda: None):
    """`first` paused at `gate` while `third` starts on thread "w" and
    pauses at `held` (or ends), and `second` runs; then `first` ends, `then`
    runs, and `third` ends. The outcomes of all three."""
    got = {}
    w = threading.Thread(target=lambda: got.update(w=outcome_of(third)), name="w")

    def meanwhile():
        w.start()
        while not held.paused.is_set() and w.is_alive():
            time.sleep(0.001)
        second()

    try:
        got.update(race(first, meanwhile, gate))
        then()
    finally:
        held.go.set()
        if w.ident:
            w.join()
    return got


def items_of(lst):
    return list(list.__iter__(lst))


# A write placing r at 2, paused in r's placement, while another runs:
# (items, the write, the other, the other's outcome).
BESIDE = {
    "insertion at the end, index write by position": (
        lambda: [0, 1], lambda lst, r: lst.insert(2, r),
        lambda lst: lst.__setitem__(0, Dict()), "ok"),
    "insertion past the end, index write by position": (
        lambda: [0, 1], lambda lst, r: lst.insert(10 ** 6, r),
        lambda lst: lst.__setitem__(0, Dict()), "ok"),
    "index write over a node, clear": (
        lambda: [Dict(), Dict(), Dict()], lambda lst, r: lst.__setitem__(2, r),
        lambda lst: lst.clear(), REFUSED),
}


@pytest.mark.parametrize("meeting", BESIDE)
def test_a_write_paused_placing_its_child_beside_another(meeting):
    # An insertion at or past the end moves no item: a write by position
    # goes on beside it. A `clear` would take out the node an index write
    # claimed, and is refused. The paused write ends as alone.
    items, write, other, expected = BESIDE[meeting]
    lst = List(items(), root_path=KeyPath("l"))
    r = Paused(t="r")
    r.__dict__["gate"] = gate = Gate()
    assert race(lambda: write(lst, r), lambda: other(lst), gate) == {"a": "ok", "b": expected}
    assert items_of(lst)[2] is r and placed(r) == [lst] and r._topo_path == KeyPath(2, KeyPath("l"))


class PausingSpec:
    """A spec read by attribute (stored raw as a list's `_value_spec`), whose
    element field read pauses its reader."""

    min_size = 0

    def __init__(self, gate):
        self.gate = gate

    @property
    def element(self):
        self.gate.hit()


def test_an_index_write_finds_the_list_cleared_since_its_range_check():
    # It fails as after the `clear`, never appending to the emptied list.
    lst = List([Dict(), Dict(), Dict()], root_path=KeyPath("l"))
    lst._value_spec = PausingSpec(gate := Gate())
    x = Counted(t="x")
    assert race(lambda: lst.__setitem__(2, x), lst.clear, gate) == {
        "a": (IndexError, "list assignment index out of range. Length=0, index=2"), "b": "ok"}
    assert len(lst) == 0 and placed(x) == []


def test_an_insertion_begun_at_the_end_finds_the_list_grown_past_its_index():
    # Paused, it finds the list grown past its index by an append: it would
    # move an item, and claims the list's order then, which an index write
    # over a plain item holds: it is refused having changed nothing.
    gate, held = Gate(), Gate("w")
    lst = gated_list([0, Dict(n=1)], gate)
    p = Paused(t="p")
    p.__dict__["gate"] = held
    got = beside(lambda: lst.insert(2, 5), lambda: lst.append(7), gate,
                 lambda: lst.__setitem__(0, p), held)
    assert got == {"a": REFUSED, "b": "ok", "w": "ok"}
    assert items_of(lst)[0] is p and items_of(lst)[2:] == [7]


def test_slices_past_the_end_land_and_are_named_as_appends_are():
    pause = Pausing(at=5)
    lst = ByThread([0], value_spec=native.List(native.Any(transform=pause)),
                   root_path=KeyPath("l"))
    got = race(lambda: lst.__setitem__(slice(5, 7), [5]),
               lambda: lst.__setitem__(slice(5, 7), [7]), pause)
    assert got == {"a": "ok", "b": "ok"} and items_of(lst) == [0, 7, 5]
    assert [(u.path, u.new_value) for t in "ab" for u in lst.__dict__[t]] == [
        (KeyPath(2, KeyPath("l")), 5), (KeyPath(1, KeyPath("l")), 7)]


def test_an_index_from_the_end_stores_where_it_claimed_while_the_list_grows():
    # `l[-1] = r` over a plain item, paused, while an `extend` of nodes has
    # stored its first at the new end and holds it, placing its second.
    lst = List([Dict(n=0), 1], root_path=KeyPath("l"))
    r, e1, e2 = Paused(t="r"), Dict(t="e1"), Paused(t="e2")
    r.__dict__["gate"] = gate = Gate()
    e2.__dict__["gate"] = held = Gate("w")
    got = beside(lambda: lst.__setitem__(-1, r), lambda: None, gate,
                 lambda: lst.extend([e1, e2]), held)
    assert got == {"a": "ok", "b": "ok", "w": "ok"} and placed(r) == [lst]
    assert items_of(lst)[1:] == [r, e1, e2] and r._topo_path == KeyPath(1, KeyPath("l"))


def test_extends_that_meet_the_bound_leave_nothing_when_they_fail():
    # Two extends paused placing their second items, appends filling the
    # list meanwhile: one that fails has stored nothing, and every item held
    # was reported by a write that succeeded.
    lst = ByThread([0], value_spec=native.List(native.Any(), max_size=4), root_path=KeyPath("l"))
    p, q = Paused(t="p"), Paused(t="q")
    p.__dict__["gate"] = gate = Gate()
    q.__dict__["gate"] = held = Gate("w")
    [first] = items_of(lst)
    got = beside(lambda: lst.extend([1, p]), lambda: lst.append(3), gate,
                 lambda: lst.extend([2, q]), held, lambda: outcome_of(lambda: lst.append(5)))
    told = [first] + [u.new_value for t in ("a", "b", "w") for u in lst.__dict__.get(t, [])]
    assert len(lst) <= 4 and all(any(v is x for x in told) for v in items_of(lst))
    for t, given in (("a", [1, p]), ("w", [2, q])):
        assert [any(v is x for v in items_of(lst)) for x in given] == [got[t] == "ok"] * 2
