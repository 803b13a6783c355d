"""SymList writes racing: appends against a size bound, index writes on
shared positions, every mutator at once, removals of present values while
the list shrinks, insertions at the end beside index writes, and extends
meeting at a bound; each end state checked against what every thread did
and was told (write_races.py). An insertion at the end paused while the
list grows (paused_pairs.py)."""

import pytest

import vesk_core._native as native
from helpers import MISSING, Dict, Insertion, KeyPath, List
from paused_pairs import Pausing, race as paused_race
from write_races import (
    THREADS, Log, assert_chains, assert_children, assert_no_cycle, in_rounds, interleaved,
    is_borrow_error, outcome_of, race, refusals, rng, rounds, steps,
)

ROUNDS = 400
ROOT = KeyPath("root")
FULL = "List reached its max size"


class Logged(List):
    def _notify_field_updates(self, updates):
        Log.current().updates.append(updates)


def flat(log):
    return [u for batch in log.updates for u in batch]


def child(tid, n):
    return Dict(tag=(tid, n)) if n % 2 else (tid, n)


@pytest.mark.parametrize("threads", [8, 16])
@pytest.mark.parametrize("op", ["append", "insert", "extend", "slice"])
def test_growth_never_passes_the_bound_and_names_where_each_item_landed(threads, op):
    bound = threads * ROUNDS // 3
    lst = Logged(value_spec=native.List(native.Any(), max_size=bound), root_path=ROOT)
    made = [[] for _ in range(threads)]
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        for n in steps(stop, range(ROUNDS)):
            item = child(tid, n)
            made[tid].append(item)
            try:
                if op == "append":
                    lst.append(item)
                elif op == "insert":
                    lst.insert(10**6 if n % 3 else -1, item)
                elif op == "extend":
                    lst.extend([item])
                else:
                    lst[10**6:] = [item]
            except ValueError as e:
                assert FULL in str(e) or "Cannot extend List" in str(e)
            except RuntimeError as e:
                assert str(e) in ("Already borrowed", "Already mutably borrowed")

    race(threads, work, logs)
    assert len(lst) == bound
    everything = [x for xs in made for x in xs]
    updates = [u for log in logs for u in flat(log)]
    assert len(updates) == bound and all(u.old_value is MISSING for u in updates)
    assert sorted(id(u.new_value) for u in updates) == sorted(map(id, lst))
    if op != "insert":   # appends never move an item once it is stored
        for u in updates:
            assert lst[u.path.key] is u.new_value, f"{u} names another index"
        stored = dict(enumerate(lst))
        assert_children(lst, stored, everything, ROOT, lambda i, root: KeyPath(i, root))
    else:
        assert_children(lst, dict(enumerate(lst)), everything, ROOT)


@pytest.mark.parametrize("index", ["length", "past the end"])
def test_insertions_at_the_end_never_meet_index_writes(index):
    # One thread inserts at the end (it alone grows the list), the others
    # write their own positions: an insertion there moves no item, so
    # nothing is refused.
    threads = 4
    with Log().active():
        lst = Logged([Dict(n=i) if i % 2 else i for i in range(threads)], root_path=ROOT)
    initial = dict(enumerate(lst))
    made = [[] for _ in range(threads)]
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        for n in steps(stop, range(ROUNDS)):
            item = Dict(tag=(tid, n)) if n % 2 else (tid, n)
            made[tid].append(item)
            if tid:
                lst[tid] = item
            else:
                lst.insert(len(lst) if index == "length" else 10**6, item)

    race(threads, work, logs)
    stored = dict(enumerate(lst))
    assert list(lst)[threads:] == made[0]
    assert all(stored[tid] is made[tid][-1] for tid in range(1, threads))
    everything = list(initial.values()) + [x for xs in made for x in xs]
    assert_children(lst, stored, everything, ROOT, lambda i, root: KeyPath(i, root))
    assert_chains([u for log in logs for u in flat(log)], initial, stored, lambda u: u.path.key)


def test_extends_meeting_at_a_bound_leave_nothing_when_they_fail():
    # Small bounded lists, eight threads extending each with two or three
    # items: an extend the bound refuses stored nothing, and every item held
    # was reported.
    n = max(rounds(600), 60)
    lists = [Logged([-1], value_spec=native.List(native.Int(), max_size=9), root_path=ROOT)
             for _ in range(n)]

    def extend(r, tid):
        items = [10**9 * (tid + 1) + 10 * r + k for k in range(2 + (r + tid) % 2)]
        return outcome_of(lambda: lists[r].extend(items)), items

    outcomes, logs = in_rounds(n, THREADS, extend, seconds=20)
    told = {id(u.new_value) for log in logs for u in flat(log)}
    for r, got in enumerate(outcomes):
        now = {id(v) for v in list.__iter__(lists[r])}
        assert len(now) <= 9 and now - told == {id(list.__getitem__(lists[r], 0))}, r
        for outcome, items in got:
            assert outcome in ("ok", "ValueError", "refused"), (r, outcome)
            assert [id(v) in now for v in items] == [outcome == "ok"] * len(items), (r, got)


@pytest.mark.parametrize("threads", [8, 16])
def test_index_writes_on_shared_positions_and_appends(threads):
    with Log().active():
        lst = Logged([Dict(n=i) for i in range(4)], root_path=ROOT)
    initial = dict(enumerate(lst))
    made = [[] for _ in range(threads)]
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        r = rng(tid)
        for n in steps(stop, range(ROUNDS)):
            item = Dict(tag=(tid, n))
            made[tid].append(item)
            with refusals():
                if r.random() < 0.2:
                    lst.append(item)
                else:
                    lst[r.randrange(4)] = item

    race(threads, work, logs)
    everything = list(initial.values()) + [x for xs in made for x in xs]
    stored = dict(enumerate(lst))
    assert_children(lst, stored, everything, ROOT, lambda i, root: KeyPath(i, root))
    updates = [u for log in logs for u in flat(log)]
    assert_chains(updates, initial, stored, lambda u: u.path.key)


@pytest.mark.parametrize("threads", [8, 16])
def test_every_mutator_at_once(threads):
    with Log().active():
        lst = Logged([Dict(n=i) for i in range(8)], root_path=ROOT)
    initial = list(lst)
    made = [[] for _ in range(threads)]
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        r = rng(tid, 2)
        for n in steps(stop, range(ROUNDS)):
            item = Dict(tag=(tid, n))
            made[tid].append(item)
            k = r.randrange(8)
            with refusals(IndexError, ValueError):
                if k == 0:
                    lst.append(item)
                elif k == 1:
                    lst.insert(r.randrange(-3, 4), item)
                elif k == 2:
                    lst.extend([item, Insertion(Dict(tag=(tid, n, "x")))])
                elif k == 3:
                    lst.pop(r.choice([0, -1]))
                elif k == 4:
                    del lst[r.randrange(-2, 2)]
                elif k == 5:
                    lst[r.randrange(-2, 2)] = item
                elif k == 6:
                    present = list(lst)
                    if present:
                        lst.remove(r.choice(present))
                else:
                    lst[0:1] = [item]

    race(threads, work, logs)
    updates = [u for log in logs for u in flat(log)]
    ids = [id(x) for x in lst]
    assert len(set(ids)) == len(ids), "an item stored twice"
    news = [id(u.new_value) for u in updates if u.new_value is not MISSING]
    olds = [id(u.old_value) for u in updates if u.old_value is not MISSING]
    assert len(set(news)) == len(news) and len(set(olds)) == len(olds)
    # What was ever stored is what is stored now or was reported gone.
    assert set(news) | {id(x) for x in initial} == set(ids) | set(olds)
    assert not set(ids) & set(olds)
    removed = {id(u.old_value) for u in updates if u.new_value is MISSING}
    everything = initial + [x for xs in made for x in xs]
    for x in everything:
        if id(x) in set(ids):
            assert x._topo_parent is lst
        elif id(x) not in removed:   # replaced, or never stored: detached
            assert x._topo_parent is not lst, f"{x!r} replaced but names the list"
    assert_no_cycle([x for x in everything] + [lst])


@pytest.mark.parametrize("threads", [8, 16])
def test_removing_present_values_while_the_list_shrinks(threads):
    per = ROUNDS // 4
    values = [[("v", t, n) for n in range(per)] for t in range(threads)]
    with Log().active():
        lst = Logged([v for vs in zip(*values) for v in vs])
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        r = rng(tid, 3)
        mine = values[tid][:]
        r.shuffle(mine)
        for v in steps(stop, mine):
            lst.remove(v)   # present until this thread removes it

    race(threads, work, logs)
    assert lst == []
    for tid in range(threads):
        assert sorted(u.old_value for u in flat(logs[tid])) == sorted(values[tid])


@pytest.mark.parametrize("index, expected", [(1, [0, 5, 7]), (100, [0, 7, 5])])
@pytest.mark.parametrize("insert", ["insert", "marker"])
def test_an_insertion_at_the_end_lands_before_its_index_as_the_list_has_grown(insert, index,
                                                                             expected):
    # At the end when it began, the insertion's index is inside the list by
    # its store: in either order the item goes before that index (an index
    # still past the end appends).
    pause = Pausing(at=5)
    lst = List([0], value_spec=native.List(native.Any(transform=pause)), root_path=ROOT)
    first = (lambda: lst.insert(index, 5)) if insert == "insert" else (
        lambda: lst._set_item_without_permission_check(index, Insertion(5)))
    assert paused_race(first, lambda: lst.append(7), pause) == {"a": "ok", "b": "ok"}
    assert list(lst) == expected
