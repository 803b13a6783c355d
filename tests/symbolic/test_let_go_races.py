"""Writes on one child racing on real threads inside the native steps
between their hook calls (written for the free-threaded interpreter; with
the global lock no other thread runs inside those steps, and the meetings
at hook calls are test_write_pairs.py's, so these are skipped there): every
child a write replaces or deletes is let go exactly once, and two writes
released together end as one of their sequential orders would
(pause_harness.py's oracle), over thousands of trials (fewer, never under
300, where the machine is too loaded to run them in ten seconds)."""

import collections
import sys
import threading

import pytest

import pause_harness as ph
import vesk_core._native as native
from helpers import MISSING, Dict, KeyPath, List
from object_helpers import object_class
from races import for_a_while
from write_races import Log, assert_chains, is_borrow_error, notify_to_thread_log, race, steps

pytestmark = pytest.mark.skipif(
    getattr(sys, "_is_gil_enabled", lambda: True)(),
    reason="with the global lock no thread runs between these native steps")

THREADS, ROUNDS = 4, 10000
_counts = threading.local()


class Counted(Dict):
    """A child that counts, on the calling thread, the times it is let go:
    a call another thread's momentary hold of its state refused let nothing
    go (its caller makes it again)."""

    def topo_setparent(self, parent):
        super().topo_setparent(parent)
        if parent is None:
            _counts.let_go[id(self)] += 1


class Holder(Dict):
    _notify_field_updates = notify_to_thread_log


class HolderList(List):
    _notify_field_updates = notify_to_thread_log


def dict_write(d, n, child):
    if n % 4 == 3:
        del d["k"]
    else:
        d["k"] = child


def list_write(lst, n, child):
    if n % 4 == 3:
        lst[0:1] = [child]
    else:
        lst[0] = child


def object_write(obj, n, child):
    obj.f = MISSING if n % 4 == 3 else child   # the field's default, None


def object_holder():
    cls = object_class("RaceHolder", [("f", native.Any(default=None))],
                       namespace={"_notify_field_updates": notify_to_thread_log})
    return cls(root_path=KeyPath("root"))


# The holder, its write, what the slot holds, and what it held at first.
LAYOUTS = {
    "dict key": (lambda: Holder(root_path=KeyPath("root")), dict_write,
                 lambda d: dict.get(d, "k", MISSING), MISSING),
    "list index": (lambda: HolderList([0], root_path=KeyPath("root")), list_write,
                   lambda lst: list.__getitem__(lst, 0), 0),
    "object field": (object_holder, object_write, lambda obj: obj.field_dict()["f"], None),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_each_replaced_child_is_let_go_once(layout):
    make, write, held, first = LAYOUTS[layout]
    holder = make()
    made = [[] for _ in range(THREADS)]
    counts = [collections.Counter() for _ in range(THREADS)]
    logs = [Log() for _ in range(THREADS)]

    def work(tid, stop):
        _counts.let_go = counts[tid]
        for n in steps(stop, range(ROUNDS)):
            child = Counted(tag=(tid, n))
            made[tid].append(child)
            try:
                write(holder, n, child)
            except KeyError:
                pass           # deleting a key another thread deleted first
            except RuntimeError as e:
                if not is_borrow_error(e):
                    raise

    race(THREADS, work, logs)
    updates = [u for log in logs for u in log.updates]
    replaced = collections.Counter(id(u.old_value) for u in updates)
    let_go = sum(counts, collections.Counter())
    wrong = [(c["tag"], let_go[id(c)], replaced[id(c)]) for cs in made for c in cs
             if let_go[id(c)] != replaced[id(c)] or replaced[id(c)] > 1]
    if wrong:
        pytest.fail(f"{len(wrong)} of {THREADS * ROUNDS} children let go a number of times other "
                    f"than they were reported replaced (tag, let go, replaced): {wrong[:10]}",
                    pytrace=False)
    assert_chains(updates, {"k": first}, {"k": held(holder)}, lambda u: "k")


# Pairs whose writes meet where no hook runs between their steps.
RACED = [
    ("dict", "del d0[k]", "del d0[k]"),
    ("dict", "del d0[k]", "move d0>d2"),
    ("dict", "del d0[k]", "d0[k]=MISSING"),
    ("free", "inner[x]=c", "d2[m]=c"),
    ("free", "lf.append(c)", "d2[m]=c"),
    ("free", "l1.append(c)", "l1.append(c)"),
]
TRIALS = 3000


@pytest.mark.parametrize("start, x, y", RACED, ids=[f"{x} & {y}" for _, x, y in RACED])
def test_two_writes_released_together(start, x, y):
    shape = ph.Shape("dict", start)
    failures, ran = [], 0
    for ran, _ in enumerate(for_a_while(10, TRIALS, 300), 1):
        trial = ph.Trial(shape, x, y)
        if trial.failed():
            failures.append(trial)
    if failures:
        pytest.fail(f"{len(failures)} of {ran} trials give an outcome no sequential order "
                    f"gives; the first:\n{failures[0].account()}", pytrace=False)
