"""Writes that meet on one child at native speed, round after round: threads
released together by a barrier each make one write of the round (written
for the free-threaded interpreter; under the global lock a short switch
interval makes them interleave, over fewer rounds). Each write ends as a
sequential order of the round's writes would end it, or fails at once with
the borrow refusal having changed nothing. Every round's end state is
checked against an oracle: who succeeded and who raised what, where each
child sits, what names it as parent, how often each child was let go
(counted by the child itself), and the field updates each write reported
(write_races.py)."""

import collections

import pytest

from helpers import MISSING, Dict, KeyPath, List, SharedHoldError
from vesk.symbolic.object_classes import object_class
from vesk.symbolic.objects import ConstructError
import vesk_core._native as native
from write_races import (
    THREADS, Counted, assert_chains, in_rounds, interleaved, let_gos,  # noqa: F401
    notify_to_thread_log, origin_cell, origin_nodes, outcome_of, rounds, set_origin,
)

ROOT = KeyPath("root")


class LoggedDict(Dict):
    _notify_field_updates = notify_to_thread_log


class LoggedList(List):
    _notify_field_updates = notify_to_thread_log


def calls(child):
    return child.__dict__.get("parents", [])


def updates_of(logs, target):
    return [u for log in logs for u in log.updates if u.target is target]


def test_one_free_child_written_to_one_list_position_by_every_thread():
    # Sequentially every write succeeds (the first places the child, the
    # others find it there); none may find it held elsewhere.
    n = rounds(2000)
    work = [(LoggedList([0, 1], root_path=ROOT), Dict(n=r)) for r in range(n)]

    def write(r, tid):
        lst, c = work[r]
        return outcome_of(lambda: lst.__setitem__(1, c))

    outcomes, logs = in_rounds(n, THREADS, write)
    for r, ((lst, c), got) in enumerate(zip(work, outcomes)):
        assert set(got) <= {"ok", "refused"}, (r, got)
        if "ok" not in got:     # every write met another one: nothing changed
            assert list(list.__iter__(lst)) == [0, 1] and c._topo_parent is None
            assert c._topo_path == KeyPath() and updates_of(logs, lst) == []
            continue
        assert list.__getitem__(lst, 1) is c and c._topo_parent is lst
        assert c._topo_path == KeyPath(1, ROOT)
        [update] = updates_of(logs, lst)    # the placement; the others store nothing
        assert (update.old_value, update.new_value) == (1, c)


def holder_kinds():
    obj = object_class("RaceHolder", [("f", native.Any(default=None))], native_slots=True,
                       namespace={"_notify_field_updates": notify_to_thread_log})
    return {
        "dict": (lambda old: LoggedDict({"k": old}, root_path=ROOT),
                 lambda h: dict.get(h, "k"), lambda h, v: h.__setitem__("k", v),
                 KeyPath("k", ROOT)),
        "object": (lambda old: obj(f=old, root_path=ROOT), lambda h: h.f,
                   lambda h, v: setattr(h, "f", v), KeyPath("f", ROOT)),
    }


@pytest.mark.parametrize("kind", ["dict", "object"])
def test_one_new_child_written_over_one_old_child_by_every_thread(kind):
    # The old child is let go exactly once, by the write that replaced it.
    make, read, assign, path = holder_kinds()[kind]
    n = rounds(2000)
    work = [(Counted(n=r), Dict(n=r)) for r in range(n)]
    holders = [make(old) for old, _ in work]

    def write(r, tid):
        return outcome_of(lambda: assign(holders[r], work[r][1]))

    outcomes, logs = in_rounds(n, THREADS, write)
    for r, ((old, c), holder, got) in enumerate(zip(work, holders, outcomes)):
        assert set(got) <= {"ok", "refused"}, (r, got)
        if "ok" not in got:     # every write met another one: nothing changed
            assert read(holder) is old and old._topo_parent is holder and let_gos(old) == 0
            assert c._topo_parent is None and c._topo_path == KeyPath()
            assert updates_of(logs, holder) == []
            continue
        assert read(holder) is c and c._topo_parent is holder and c._topo_path == path
        assert let_gos(old) == 1, (r, old.parents)
        assert old._topo_parent is None and old._topo_path == KeyPath()
        [update] = updates_of(logs, holder)
        assert (update.old_value, update.new_value) == (old, c)


def test_distinct_children_replacing_one_key_are_each_let_go_once():
    threads, n = 4, rounds(4000)
    d = LoggedDict(root_path=ROOT)
    made = [[Counted(tid=tid, n=i) for i in range(n)] for tid in range(threads)]

    def write(r, tid):
        return outcome_of(lambda: d.__setitem__("k", made[tid][r]))

    outcomes, logs = in_rounds(n, threads, write)
    assert all(set(got) <= {"ok", "refused"} for got in outcomes)
    stored = d._sym_getattr("k")
    assert stored._topo_parent is d and let_gos(stored) == 0
    updates = updates_of(logs, d)
    assert_chains(updates, {}, {"k": stored}, lambda u: u.path.key)
    replaced = {id(u.old_value) for u in updates}
    for tid, children in enumerate(made):
        for r, child in enumerate(children):
            if child is stored:
                continue
            placed = outcomes[r][tid] == "ok"
            # A child that was stored and replaced is let go once; one whose
            # write was refused was never touched.
            assert let_gos(child) == (1 if placed else 0), (tid, r, child.__dict__.get("parents"))
            assert (id(child) in replaced) == placed
            assert child._topo_parent is None


def test_deletes_racing_a_move_of_the_deleted_child():
    # Two threads delete one key while a third moves its child into a list
    # once the child is free, pops it and lets it go: the child ends free,
    # and can be placed again.
    n = rounds(1500)
    work = []
    for r in range(n):
        c = Counted(n=r)
        work.append((LoggedDict({"k": c}, root_path=ROOT), LoggedList([], root_path=ROOT), c))

    def write(r, tid):
        d, lst, c = work[r]
        if tid < 2:
            return outcome_of(lambda: d.__delitem__("k"))
        for _ in range(50):
            got = outcome_of(lambda: lst.append(c))
            if got == "ok":
                item = lst.pop()
                assert item is c
                c.topo_setparent(None)
                return "moved"
            assert got in ("refused", "SharedHoldError"), got
        return "never free"

    outcomes, logs = in_rounds(n, 3, write)
    for r, ((d, lst, c), got) in enumerate(zip(work, outcomes)):
        deletes = sorted(got[:2])
        assert len(lst) == 0
        if deletes == ["refused", "refused"]:     # both met the mover's claim
            assert got[2] == "never free" and d._sym_getattr("k") is c
            assert c._topo_parent is d and let_gos(c) == 0
            continue
        assert deletes in (["KeyError", "ok"], ["ok", "refused"]), (r, got)
        assert "k" not in d and c._topo_parent is None, (r, got, c.parents)
        # Let go by the delete, and by the mover's own call when it moved it.
        assert let_gos(c) == 1 + (got[2] == "moved"), (r, got, c.parents)
        [update] = updates_of(logs, d)
        assert (update.old_value, update.new_value) == (c, MISSING)
        List([], root_path=ROOT).append(c)      # free to be placed again


def test_placing_a_container_while_others_place_into_it():
    # b into a under its key, c into b under its key: whatever the order,
    # c's path is b's actual path and its key.
    n = rounds(1000)
    work = [(LoggedDict(root_path=KeyPath("A")), Dict(), Dict()) for _ in range(n)]

    def write(r, tid):
        a, b, c = work[r]
        if tid % 2 == 0:
            return outcome_of(lambda: a.__setitem__(f"x{tid}", b))
        return outcome_of(lambda: b.__setitem__(f"y{tid}", c))

    outcomes, logs = in_rounds(n, 4, write)
    for r, ((a, b, c), got) in enumerate(zip(work, outcomes)):
        b_writes, c_writes = got[0::2], got[1::2]
        assert set(b_writes) <= {"ok", "refused", "SharedHoldError"}, got
        assert set(c_writes) <= {"ok", "refused", "SharedHoldError"}, got
        assert b_writes.count("ok") <= 1 and c_writes.count("ok") <= 1, got
        assert ("ok" in b_writes) == (b._topo_parent is a)
        if "ok" in b_writes:
            [key] = [f"x{2 * i}" for i, g in enumerate(b_writes) if g == "ok"]
            assert dict.get(a, key) is b and b._topo_path == KeyPath(key, KeyPath("A"))
        if "ok" in c_writes:
            [key] = [f"y{2 * i + 1}" for i, g in enumerate(c_writes) if g == "ok"]
            assert dict.get(b, key) is c and c._topo_parent is b
            assert c._topo_path == KeyPath(key, b._topo_path), (r, got)


class SlowKey:
    """A sort key that lets other threads run while the sort holds the list
    emptied."""

    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return self.value < other.value


def test_writes_meeting_a_sort_are_refused_never_out_of_range():
    n = rounds(600)
    lst = LoggedList(list(range(40)), root_path=ROOT)

    def write(r, tid):
        if tid == 0:
            return outcome_of(lambda: lst.sort(key=SlowKey, reverse=r % 2 == 1))
        token = tid * 1_000_000 + r
        op = (r + tid) % 3
        if op == 0:
            return outcome_of(lambda: lst.__setitem__(0, token))
        got = outcome_of(lst.pop if op == 1 else lambda: lst.__delitem__(0))
        if got == "ok":     # put one back, so the list never runs short
            while outcome_of(lambda: lst.append(token)) == "refused":
                pass
        return got

    outcomes, logs = in_rounds(n, THREADS, write)
    assert {g for got in outcomes for g in got} <= {"ok", "refused"}
    # What the list holds is what it began with and what every update says.
    held = collections.Counter(range(40))
    for u in updates_of(logs, lst):
        held.update([u.new_value])
        held.subtract([u.old_value])
    del held[MISSING]
    assert sorted(list.__iter__(lst)) == sorted(held.elements())


def test_an_index_from_the_end_against_writes_at_the_front():
    # One thread writes the last item, another inserts and deletes at the
    # front: every write of the last item replaces the last item.
    n = rounds(3000)
    lst = LoggedList([Dict(n=i) for i in range(4)], root_path=ROOT)
    last = list.__getitem__(lst, -1)

    def write(r, tid):
        if tid == 0:
            return outcome_of(lambda: lst.__setitem__(-1, Dict(n=("last", r))))
        # Only this thread removes items: the list keeps two or more, so
        # the front is never the last item.
        if r % 2 == 0 or len(lst) <= 2:
            return outcome_of(lambda: lst.insert(0, Dict(n=("front", r))))
        return outcome_of(lambda: lst.__delitem__(0))

    outcomes, logs = in_rounds(n, 2, write)
    assert {g for got in outcomes for g in got} <= {"ok", "refused"}
    lasts = [u for u in logs[0].updates if u.target is lst]
    assert_chains(lasts, {-1: last}, {-1: list.__getitem__(lst, -1)}, lambda u: u.path.key)
    for u in lasts:
        assert u.old_value._topo_parent is None


def test_pops_from_the_end_against_insertions_at_the_front():
    # Pops take the items from the end, in order: the first items in
    # descending order, then the inserted ones in the order they came in.
    n = rounds(3000)
    lst = LoggedList(list(range(n)), root_path=ROOT)

    def write(r, tid):
        if tid == 0:
            got = []
            outcome = outcome_of(lambda: got.append(lst.pop()))
            return (outcome, got)
        return (outcome_of(lambda: lst.insert(0, -1 - r)), [-1 - r])

    outcomes, _ = in_rounds(n, 2, write)
    popped = [got[0][1][0] for got in outcomes if got[0][0] == "ok"]
    inserted = [got[1][1][0] for got in outcomes if got[1][0] == "ok"]
    assert {got[0][0] for got in outcomes} | {got[1][0] for got in outcomes} <= {"ok", "refused"}
    first = [v for v in popped if v >= 0]
    assert first == sorted(first, reverse=True)
    assert popped == first + inserted[:len(popped) - len(first)]


@pytest.mark.parametrize("child", ["dict", "object"])
@pytest.mark.parametrize("slots", [True, False], ids=["record", "object"])
def test_constructions_meeting_on_one_child(slots, child):
    # Objects built around one free child on every thread at once: one takes
    # it, the others find it held or meet the one taking it; none reports a
    # panic (an object child's own state read while another thread stamps it
    # included).
    R = object_class("RaceBuilt", [("f", native.Any(default=None))], slots=slots,
                     native_slots=True)
    Child = object_class("RaceChild", [("n", native.Int())], native_slots=True)
    n = rounds(1500)
    work = [Dict(n=r) if child == "dict" else Child(n=r) for r in range(n)]
    made = [[None] * THREADS for _ in range(n)]

    def write(r, tid):
        def construct():
            try:
                made[r][tid] = R(f=work[r], root_path=ROOT)
            except ConstructError as e:
                # An object's construction hands its failure to the package's
                # `prepare_construct_error`, which wraps it.
                if "is already held by another parent" not in str(e):
                    raise
                raise SharedHoldError(str(e)) from e
        return outcome_of(construct)

    outcomes, _ = in_rounds(n, THREADS, write)
    for r, (c, got) in enumerate(zip(work, outcomes)):
        assert set(got) <= {"ok", "refused", "SharedHoldError"}, (r, got)
        assert got.count("ok") <= 1, (r, got)
        if "ok" in got:
            [record] = [x for x in made[r] if x is not None]
            assert record.f is c and c._topo_parent is record
            assert c._topo_path == KeyPath("f", ROOT)
        else:
            assert c._topo_parent is None and c._topo_path == KeyPath()


def test_writes_and_deletes_while_the_holder_is_re_pathed():
    # A write or delete refused while another thread re-paths the dictionary
    # changed nothing: every key's reported changes chain to what it holds,
    # and every child it holds names it under the path it has at the end.
    n = rounds(1500)
    keys = [f"k{i}" for i in range(4)]
    initial = {k: Dict(n=k) for k in keys}
    d = LoggedDict(initial, root_path=ROOT)

    def write(r, tid):
        if tid == 0:
            return outcome_of(lambda: d.topo_setpath(KeyPath(f"p{r % 3}")))
        key = keys[(r + tid) % len(keys)]
        if (r + tid) % 3 == 0:
            got = outcome_of(lambda: d.__delitem__(key))
            return "ok" if got == "KeyError" else got     # deleted by another first
        value = Dict(n=(tid, r)) if (r + tid) % 3 == 1 else (tid, r)
        return outcome_of(lambda: d.__setitem__(key, value))

    outcomes, logs = in_rounds(n, 4, write)
    assert {g for got in outcomes for g in got} <= {"ok", "refused"}
    final = dict(d.sym_items())
    assert_chains(updates_of(logs, d), initial, final, lambda u: u.path.key)
    for key, value in final.items():
        if isinstance(value, Dict):
            assert value._topo_parent is d and value._topo_path == KeyPath(key, d._topo_path)


@pytest.mark.parametrize("kind", ["dict", "list", "object", "record"])
def test_origins_from_different_sources_on_one_node(kind):
    # Two threads record an origin on one node from different sources: the
    # first decides and stores, and the other meets its claim or its origin;
    # never both, the later silently replacing the other.
    n = rounds(3000)
    nodes, sources = [origin_nodes()[kind]() for _ in range(n)], [object(), object()]

    def write(r, tid):
        return outcome_of(lambda: set_origin(nodes[r], sources[tid], "t"))

    outcomes, _ = in_rounds(n, 2, write, seconds=20)
    for r, got in enumerate(outcomes):
        assert sorted(got) in (["ok", "refused"], ["ValueError", "ok"]), (r, got)
        assert origin_cell(nodes[r]).source is sources[got.index("ok")], (r, got)


def test_an_object_constructed_again_while_two_threads_write_it():
    # Two threads write a field holding a node while a third runs `__init__`
    # again on the live object: each ends as one sequential order of the
    # three ends it, or refused at once having changed nothing; the object
    # keeps its fields, and no child a refused write made names it.
    O = object_class("RaceRebuilt", [("a", native.Int()), ("h", native.Any(default=None))],
                     native_slots=True)
    n = rounds(400)
    work = [(O(a=-1, h=None, root_path=ROOT), [Dict(t=0), Dict(t=1)]) for _ in range(n)]

    def write(r, tid):
        o, children = work[r]
        if tid == 2:
            return outcome_of(lambda: o.__init__(a=r, h=None, root_path=ROOT))
        return outcome_of(lambda: setattr(o, "h", children[tid]))

    outcomes, _ = in_rounds(n, 3, write, seconds=30)
    for r, got in enumerate(outcomes):
        o, children = work[r]
        assert set(got) <= {"ok", "refused"}, (r, got)
        assert o.field_dict() is not None and o.a == (r if got[2] == "ok" else -1), (r, got)
        held = o.h
        assert held is None or (held in children and got[children.index(held)] == "ok"), r
        if held is None:
            assert got[2] == "ok", (r, got)
        else:
            assert held._topo_parent is o and held._topo_path == KeyPath("h", ROOT)
        for tid, c in enumerate(children):
            if got[tid] == "refused":
                assert c._topo_parent is None and c._topo_path == KeyPath(), (r, tid)
    o = work[-1][0]
    o.h = Dict(t=2)                                   # writable still
    assert o.h == Dict(t=2)


def sequential_ends(items, mine, moves):
    """The end of every order of `mine` (one write or none) among `moves`
    (kept in their order): the ids held and popped, how often each item was
    let go (a replaced one once, a popped one never), and the updates."""
    ends = []
    for i in range(len(moves) + 1):
        lst, popped, gone, updates = list(items), [], collections.Counter(), []
        for op, arg in moves[:i] + mine + moves[i:]:
            if op == "put":     # values by position, from the front
                for k, v in enumerate(arg):
                    gone[id(lst[k])] += isinstance(lst[k], Counted)
                    updates.append((k, id(lst[k]), id(v)))
                    lst[k] = v
            elif op == "insert":
                lst.insert(0, arg)
                updates.append((0, id(MISSING), id(arg)))
            else:
                popped.append(lst.pop(0))
                updates.append((0, id(popped[-1]), id(MISSING)))
        ends.append(([id(c) for c in lst], [id(p) for p in popped], +gone, sorted(updates)))
    return ends


@pytest.mark.parametrize("write", ["slice", "index"])
def test_a_write_by_position_against_moves_of_its_items(write):
    # A two-item slice at the front, or an index write over a plain item
    # there, against an insertion at the front and a pop of what is first
    # then: each ends as in a sequential order, or is refused before its
    # first effect, no hook of its children called and no item let go.
    n = rounds(3000)
    work = [([Counted(i=i) if i % 2 else i for i in range(6)], Counted(v=r), Counted(w=r),
             Counted(x=r)) for r in range(n)]
    lists = [LoggedList(items, root_path=ROOT) for items, *_ in work]

    def write_of(r, tid):
        lst, (_, v, v2, x) = lists[r], work[r]
        if tid == 0:
            return outcome_of(lambda: lst.__setitem__(slice(0, 2) if write == "slice" else 0,
                                                      [v, v2] if write == "slice" else v))
        popped = []
        first = outcome_of(lambda: lst.insert(0, x))
        second = outcome_of(lambda: popped.append(lst.pop(0))) if first == "ok" else None
        return first, second, popped

    outcomes, logs = in_rounds(n, 2, write_of, seconds=20)
    for r, (mine, (first, second, popped)) in enumerate(outcomes):
        lst, (items, v, v2, x) = lists[r], work[r]
        assert {mine, first} <= {"ok", "refused"} and second in (None, "ok", "refused"), r
        put = [("put", [v, v2] if write == "slice" else [v])] * (mine == "ok")
        moves = [("insert", x)] * (first == "ok") + [("pop", None)] * (second == "ok")
        now = list(list.__iter__(lst))
        end = ([id(c) for c in now], [id(p) for p in popped],
               collections.Counter({id(c): let_gos(c) for c in items + [v, v2, x]
                                    if isinstance(c, Counted) and let_gos(c)}),
               sorted((u.path.key, id(u.old_value), id(u.new_value))
                      for u in updates_of(logs, lst)))
        assert end in sequential_ends(items, put, moves), (r, mine, first, second)
        assert all(c._topo_parent is lst for c in now if isinstance(c, Counted))
        if mine == "refused":
            assert calls(v) == calls(v2) == [], r



@pytest.mark.parametrize("other", ["extend", "clear"])
def test_an_index_write_decides_before_its_hooks(other):
    # `l[-1] = r` over a plain item while another thread extends the list
    # with a node, or `l[2] = r` over a node while it clears the list: the
    # write stores where it claimed, or fails having called no hook of r's;
    # the end is one of the two orders.
    n = rounds(2000)
    work = [(LoggedList([Dict(), Dict(), 2 if other == "extend" else Dict()], root_path=ROOT),
             Counted(r=r), Dict(e=r)) for r in range(n)]

    def write(r, tid):
        lst, new, extra = work[r]
        if tid:
            return outcome_of(lambda: lst.extend([extra]) if other == "extend" else lst.clear())
        return outcome_of(lambda: lst.__setitem__(-1 if other == "extend" else 2, new))

    outcomes, _ = in_rounds(n, 2, write, seconds=20)
    for r, got in enumerate(outcomes):
        lst, new, extra = work[r]
        now = list(list.__iter__(lst))
        assert calls(new) == ([lst] if got[0] == "ok" else []), (r, got)
        at = next((i for i, v in enumerate(now) if v is new), 2)
        assert new._topo_path == (KeyPath(at, ROOT) if got[0] == "ok" else KeyPath()), r
        if other == "extend":   # the write first, or alone, or after the extend
            assert got.count("refused") < 2 and "IndexError" not in got, (r, got)
            assert now[2:] in ([new if got[0] == "ok" else 2] + [extra] * (got[1] == "ok"),
                               [2, new] * (got == ["ok", "ok"])), (r, got)
        else:                   # the write first (cleared after), or refused
            assert got in (["ok", "ok"], ["IndexError", "ok"], ["refused", "ok"],
                           ["ok", "refused"]), (r, got)
            assert now == ([] if got[1] == "ok" else now[:2] + [new]), (r, got)
