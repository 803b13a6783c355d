"""Threads changing one object's or record's node state at once (written for
the free-threaded interpreter). A SymObject write that meets another
thread's hold is refused with the binding layer's borrow error, a
legitimate outcome that stores nothing; record cells are written under
per-object critical sections and never refuse. Each role must end holding a
value that some thread wrote."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict
from object_helpers import KeyPath, made, made_record, node_record_class, object_class
from races import started

THREADS, ROUNDS = 8, 200
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")


@pytest.mark.parametrize("layout", ["object", "record"])
def test_racing_node_state_writes_end_with_a_written_value(layout):
    if layout == "object":
        inst = made(object_class("O", [("a", native.Any())]), a=Dict())
    else:
        inst = made_record(node_record_class("R", ["a"]), a=Dict())
    barrier = threading.Barrier(THREADS)
    parents = [object() for _ in range(THREADS)]
    paths = [KeyPath(f"t{t}") for t in range(THREADS)]
    wrote = [set() for _ in range(THREADS)]   # the roles each thread stored
    failures = []
    ops = [(0, lambda t: native._node_setparent(inst, parents[t])),
           (1, lambda t: native._node_setpath(inst, paths[t])),
           (2, lambda t: native._node_seal(inst, t % 2 == 0))]

    def run(tid):
        barrier.wait()
        for n in range(ROUNDS):
            role, op = ops[n % 3]
            try:
                op(tid)
                wrote[tid].add(role)
                native._probe_node_get(inst, role)
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    failures.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    with started(threads, barrier):
        pass
    assert failures == []
    parent, path = native._probe_node_get(inst, 0), native._probe_node_get(inst, 1)
    assert any(parent is parents[t] for t in range(THREADS) if 0 in wrote[t])
    assert any(path is paths[t] for t in range(THREADS) if 1 in wrote[t])
    assert native._probe_node_get(inst, 2) in (True, False)
