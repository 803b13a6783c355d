"""Walking and converting what other threads write (written for the
free-threaded interpreter): a result, a decline or a race's error, never a
crash; a result shares no container with its tree, and nothing a writer
inserts lands in one unchecked (no marker key, no refused value)."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict, List
from json_trees import made, shapes
from races import started
from vesk.symbolic.jsonify import to_json

THREADS, ROUNDS = 8, 300
RACE_ERRORS = ("Already borrowed", "Already mutably borrowed", "changed size during iteration",
               "keys changed during iteration")


def _race(writer, reader, attempts=5):
    """`writer(tid, n)` on odd threads, `reader()` on even ones: the
    readers' answers, after checking that every error is a race's. A reader
    may decline every time writers keep it busy (as they can on the
    free-threaded build), so the race is run again, a few times at most,
    until some reader answered."""
    for _ in range(attempts):
        answers = _race_once(writer, reader)
        if any(a is not None for a in answers):
            return answers
    raise AssertionError(f"no reader answered in {attempts} races")


def _race_once(writer, reader):
    barrier = threading.Barrier(THREADS)
    answers, failures = [[] for _ in range(THREADS)], [[] for _ in range(THREADS)]

    def run(tid):
        barrier.wait()
        for n in range(ROUNDS):
            try:
                writer(tid, n) if tid % 2 else answers[tid].append(reader())
            except Exception as e:  # noqa: BLE001 - checked below
                if not (isinstance(e, RuntimeError) and any(s in str(e) for s in RACE_ERRORS)):
                    failures[tid].append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    with started(threads, barrier):
        pass
    assert [f for fs in failures for f in fs] == []
    return [a for mine in answers for a in mine]


def _containers(value):
    if type(value) in (dict, list):
        yield value
        for v in (value.values() if type(value) is dict else value):
            yield from _containers(v)


@pytest.mark.parametrize("road", ["walk", "object seam"])
def test_reading_a_tree_another_thread_writes(road):
    walk = road == "walk"
    a, b = (List([1]), Dict(k=0)) if walk else ([1], {"k": 0})
    obj = made(shapes().Point if walk else shapes().Flat, a=a, b=b)
    live = [[a, b, obj.field_dict()] for _ in range(THREADS)]  # identities stay unique

    def writer(tid, n):  # every write is undone soon after
        if n % 4 == 0:
            live[tid].append(child := (List if walk else list)([n]))
            list.append(a, child if n % 8 else (n,))
        elif n % 4 == 1:
            dict.__setitem__(b, "_type", n)
        elif n % 4 == 2:
            dict.pop(b, "_type", None)
        elif len(a) > 1:
            list.pop(a)

    read = (lambda: native._native_to_json_walk(obj)) if walk else (
        lambda: native._native_inline_object_to_json(obj, "ab"))
    answers = _race(writer, read)
    shared = {id(c) for cs in live for c in cs}
    for out in answers:
        if out is not None:
            assert "_type" not in out["b"] and all(type(v) in (int, list) for v in out["a"])
            assert not {id(c) for c in _containers(out)} & shared
    # The tree the writers leave is read as the package's serializer reads it.
    refused = "_type" in b or any(type(v) is tuple for v in a)
    assert read() == (None if refused else to_json(obj))
