"""Threads changing one object's or record's node state at once (written for
the free-threaded interpreter). A SymObject write that meets another
thread's hold is refused with the binding layer's borrow error, a
legitimate outcome that stores nothing; record cells are written under
per-object critical sections and never refuse. The end state must be one of
the values some thread wrote."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict
from object_helpers import KeyPath, made, made_record, node_record_class, object_class

THREADS, ROUNDS = 8, 200
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")


def _target(layout):
    if layout == "object":
        return made(object_class("O", [("a", native.Any())]), a=Dict())
    return made_record(node_record_class("R", ["a"]), a=Dict())


@pytest.mark.parametrize("layout", ["object", "record"])
def test_racing_parent_and_path_writes_end_with_a_written_value(layout):
    inst = _target(layout)
    barrier = threading.Barrier(THREADS)
    parents = [object() for _ in range(THREADS)]
    paths = [KeyPath(f"t{t}") for t in range(THREADS)]
    wrote = [set() for _ in range(THREADS)]   # which roles each thread stored
    failures = []

    def run(tid):
        barrier.wait()
        for n in range(ROUNDS):
            try:
                if n % 2:
                    native._node_setpath(inst, paths[tid])
                    wrote[tid].add(1)
                else:
                    native._node_setparent(inst, parents[tid])
                    wrote[tid].add(0)
                native._probe_node_get(inst, n % 2)
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    failures.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    parent, path = native._probe_node_get(inst, 0), native._probe_node_get(inst, 1)
    assert any(parent is parents[t] for t in range(THREADS) if 0 in wrote[t])
    assert any(path is paths[t] for t in range(THREADS) if 1 in wrote[t])


def test_racing_flag_writes_and_seals():
    obj = _target("object")
    barrier = threading.Barrier(THREADS)
    failures = []

    def run(tid):
        barrier.wait()
        for n in range(ROUNDS):
            try:
                if tid % 2:
                    obj._sealed = bool(n % 2)
                else:
                    native._node_seal(obj, bool(n % 3))
                obj._sealed, obj._topo_parent, obj.field_dict()
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    failures.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert obj._sealed in (True, False) and obj.field_dict()["a"]._sealed in (True, False)
