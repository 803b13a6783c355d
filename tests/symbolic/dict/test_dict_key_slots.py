"""Writes on keys of classes of their own (StrEnum members, str subclasses,
bools) at native speed, round after round (fewer, with a short switch
interval, under the global lock, or on a machine too loaded to run them in
ten seconds): keys the dict holds apart never refuse each other, and keys
it holds equal meet whatever their classes, so no child is left naming the
dict unstored (write_races.py)."""

import enum
import sys
import time

import pytest

from helpers import Dict, KeyPath
from races import for_a_while
from write_races import (
    Log, assert_chains, assert_children, interleaved, is_borrow_error,  # noqa: F401
    notify_to_thread_log, race, steps,
)

ROUNDS = 1500 if not getattr(sys, "_is_gil_enabled", lambda: True)() else 150
ROOT = KeyPath("root")
Color = enum.StrEnum("Color", ["red", "green", "blue", "cyan", "pink", "gray", "teal", "navy"])


class Logged(Dict):
    _notify_field_updates = notify_to_thread_log


class Name(str):
    pass


def yielding(base):
    """A key class whose hash is Python code letting other threads run, as
    the dict's own lookups and stores under it run it too."""
    return type(f"Yielding{base.__name__}", (base,), {
        "__hash__": lambda self: time.sleep(0) or base.__hash__(self)})


DISTINCT = {"StrEnum": list(Color), "str subclass": [Name(f"k{i}") for i in range(8)],
            "bool": [False, True]}
EQUAL = {"StrEnum": [Color.red, "red", yielding(str)("red")],
         "str subclass": [Name("a"), "a", yielding(str)("a")],
         "bool": [True, 1, yielding(int)(1)]}


def run(keys, write):
    """Each thread writes under its own key; answers the children each made
    and the updates every thread was told."""
    d, made, logs = Logged(root_path=ROOT), [[] for _ in keys], [Log() for _ in keys]

    def work(tid, stop):
        for n in steps(stop, for_a_while(10, ROUNDS, min(ROUNDS, 300))):
            write(d, keys[tid], n, made[tid])

    race(len(keys), work, logs)
    stored = dict(d.sym_items())
    assert_children(d, stored, [c for cs in made for c in cs], ROOT, KeyPath)
    return d, stored, made, [u for log in logs for u in log.updates]


@pytest.mark.parametrize("kind", DISTINCT)
def test_writes_on_distinct_keys_never_refuse_each_other(kind):
    def write(d, key, n, made):
        made.append(Dict(n=n))
        d[key] = made[-1]     # a refusal fails the test

    d, stored, made, updates = run(DISTINCT[kind], write)
    assert all(stored[k] is m[-1] for k, m in zip(DISTINCT[kind], made))
    assert_chains(updates, {}, stored, lambda u: u.path.key)


@pytest.mark.parametrize("kind", EQUAL)
def test_writes_on_equal_keys_of_different_classes_meet(kind):
    def write(d, key, n, made):
        try:
            if n % 4 == 3:
                del d[key]
            else:
                made.append(Dict(n=n))
                d[key] = made[-1]
        except KeyError:
            pass
        except RuntimeError as e:
            if not is_borrow_error(e):
                raise

    d, stored, made, updates = run(EQUAL[kind], write)
    assert len(stored) <= 1
    assert all(c._topo_path == KeyPath() for m in made for c in m if c._topo_parent is None)
    assert_chains(updates, {}, {0: v for v in stored.values()}, lambda u: 0)   # one key
