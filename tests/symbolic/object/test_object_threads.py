"""Threads changing one object's or record's node state at once (written for
the free-threaded interpreter). A SymObject write that meets another
thread's hold is refused with the binding layer's borrow error, a
legitimate outcome that stores nothing; record cells are written under
per-object critical sections and never refuse. Each role must end holding a
value that some thread wrote. Reads of an object (its fields, methods, node
state, JSON form and `_sym_attributes` view) go on beside any of that, and
beside one another."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict
from object_helpers import (
    KeyPath, PausingChild, made, made_record, node_record_class, object_class,
)
from paused_pairs import Pausing, race
from races import for_a_while, started

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


def reader_object():
    cls = object_class("Read", [("a", native.Any(default=None)), ("b", native.Any(default=None))],
                       native_slots=True)
    return cls, cls(a=1, b=Dict(x=1))


def reads_beside(write, read, readers):
    """Runs `write(i)` for a while on one thread (none when it is None) and
    `read()` on `readers` threads until it is done; the first failure of
    any of them is raised."""
    stop, failures = threading.Event(), []

    def guarded(body):
        try:
            body()
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)
        stop.set()

    def reading():
        for _ in (iter(int, 1) if write else for_a_while(0.5, 2000, 100)):
            if stop.is_set():
                return
            read()

    threads = [threading.Thread(target=guarded, args=(reading,)) for _ in range(readers)]
    if write:
        threads.append(threading.Thread(target=guarded, args=(
            lambda: [write(i) for i in for_a_while(0.5, 5000, 200)],)))
    with started(threads, stop):
        pass
    if failures:
        raise failures[0]


# One thread's writes on the object `o` (`i` counts them; `spare` is an
# object of its class, `holder` a dict), each holding its state for a moment.
BESIDE_READS = {
    "sym_seal": lambda o, i, spare, holder: o.sym_seal(i % 2 == 0),
    "sym_setorigin": lambda o, i, spare, holder: o.sym_setorigin(None, "t"),
    "raw flag": lambda o, i, spare, holder: setattr(o, "_sealed", i % 2 == 0),
    "__init__ again": lambda o, i, spare, holder: o.__init__(a=1, b=o.b),
    "placed and let go": lambda o, i, spare, holder: (holder.__setitem__("p", o),
                                                      holder.__delitem__("p")),
    "set as a field and let go": lambda o, i, spare, holder: (setattr(spare, "b", o),
                                                              setattr(spare, "b", None)),
}


@pytest.mark.parametrize("writer", sorted(BESIDE_READS))
def test_reads_of_an_object_go_on_beside_one_writer(writer):
    cls, o = reader_object()
    child, spare, holder = o.b, cls(a=0), Dict()
    home = Dict(o=o) if writer in ("sym_seal", "sym_setorigin", "raw flag") else None

    def read():
        assert o.a == 1 and o.b is child and callable(o.sym_seal)
        assert o._topo_parent in (home, holder, spare)
        assert native._native_to_json_walk(o)["a"] == 1
        assert home is None or native._native_to_json_walk(home)["o"]["a"] == 1

    reads_beside(lambda i: BESIDE_READS[writer](o, i, spare, holder), read, 3)


# What runs beside threads reading one object's `_sym_attributes`: other
# readers only, a writer into its child dict, a writer of a plain field, or
# one sealing and unsealing the object (and so its child).
BESIDE_VIEWS = {
    "readers": None,
    "writes into a child": lambda o, i: o.b.__setitem__("x", Dict(i=i)),
    "plain field writes": lambda o, i: setattr(o, "a", i),
    "sym_seal": lambda o, i: o.sym_seal(i % 2 == 0),
}


@pytest.mark.parametrize("beside", sorted(BESIDE_VIEWS))
def test_readers_of_an_object_view_refuse_neither_readers_nor_writes_below(beside):
    _, o = reader_object()
    child, write = o.b, BESIDE_VIEWS[beside]

    def read():
        view = o._sym_attributes
        assert view["b"] is child and view.topo_parent is o and isinstance(view["a"], int)

    reads_beside(write and (lambda i: write(o, i)), read, 7)
    assert child._topo_parent is o and child._topo_path == KeyPath("b")
    assert child._sealed is o._sealed   # no view sealed the child again


def test_an_object_view_read_beside_a_write_paused_below_it():
    # The write into the object's child holds that child and the object
    # above it for its whole run; the view only reads them.
    _, o = reader_object()
    new, pause = PausingChild(n=1), Pausing(1)
    new.__dict__["pause"] = pause
    views = []
    outcomes = race(lambda: o.b.__setitem__("x", new),
                    lambda: views.append(o._sym_attributes), pause)
    assert outcomes == {"a": "ok", "b": "ok"}
    assert views[0]["b"] is o.b and o.b["x"] is new and new._topo_parent is o.b
