"""Threads writing symbolic containers and objects at once, and the oracle
their end state is checked against (written for the free-threaded
interpreter; under an interpreter with the global lock a short switch
interval makes the threads interleave).

Every thread keeps its own record of what it made, wrote and was told;
nothing is shared between threads but the containers under test. After the
threads are joined the oracle checks the end state against all the records:
where each child sits, what names it as parent, and the field updates that
reported each change."""

import contextlib
from collections import Counter
import random
import sys
import threading
import time

import pytest

import vesk_core._native as native
from helpers import MISSING, Dict, List, SharedHoldError
from races import started, switching_often
from vesk.symbolic.object_classes import object_class

# A write that meets another thread's hold on the same node is refused with
# the binding layer's borrow error: a legitimate outcome that changes nothing.
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")
CYCLE = "would create a cycle"


@pytest.fixture(autouse=True)
def interleaved():
    with switching_often():
        yield


def is_borrow_error(e):
    return isinstance(e, RuntimeError) and str(e) in BORROW_ERRORS


@contextlib.contextmanager
def refusals(*allowed):
    """Swallows a legitimate refusal of one write: a borrow error, or an
    exception of one of the `allowed` classes."""
    try:
        yield
    except RuntimeError as e:
        if not is_borrow_error(e):
            raise
    except allowed:
        pass


class Stop(threading.Event):
    """The event the workers watch; setting it also releases the barrier,
    so a thread still waiting there ends too."""

    def __init__(self, barrier):
        super().__init__()
        self.barrier = barrier

    def set(self):
        super().set()
        self.barrier.abort()


def race(threads, work, logs=None):
    """Runs `work(tid, stop)` on `threads` threads released together, each
    with its own Log of `logs` active when given; stops and joins them on
    every way out and re-raises the first failure of a worker."""
    barrier = threading.Barrier(threads)
    stop = Stop(barrier)

    def run(tid):
        barrier.wait()
        with logs[tid].active() if logs else contextlib.nullcontext():
            work(tid, stop)

    on_threads(threads, run, stop)


def on_threads(threads, run, stop):
    """Runs `run(tid)` on `threads` threads and joins them; the first
    failure of a worker sets (or, a Barrier, breaks) `stop` for the others
    and is raised here, never lost in the thread."""
    failures = []

    def guarded(tid):
        try:
            run(tid)
        except threading.BrokenBarrierError:
            pass
        except BaseException as e:
            failures.append(e)
            if isinstance(stop, threading.Barrier):
                stop.abort()
            else:
                stop.set()

    with started([threading.Thread(target=guarded, args=(t,)) for t in range(threads)], stop):
        pass
    if failures:
        raise failures[0]


def steps(stop, items):
    """The items, one at a time, until `stop` is set."""
    for item in items:
        if stop.is_set():
            return
        yield item


def rng(tid, salt=0):
    """A generator of the thread's own."""
    return random.Random(tid * 7919 + salt)


class Log:
    """A thread's own record of the field updates its writes reported. A
    container class logs to it through `logging(cls)`."""

    local = threading.local()

    def __init__(self):
        self.updates = []

    @classmethod
    def current(cls):
        return cls.local.log

    @contextlib.contextmanager
    def active(self):
        Log.local.log = self
        try:
            yield self
        finally:
            Log.local.log = None


def notify_to_thread_log(self, updates):
    """A `_notify_field_updates` that records into the calling thread's Log."""
    Log.current().updates.extend(updates)


def parent(node):
    return node._topo_parent


def assert_no_cycle(nodes):
    """Each node's parent chain ends without meeting a node twice."""
    for node in nodes:
        seen, current = {id(node)}, parent(node)
        while current is not None:
            assert id(current) not in seen, f"cycle through {node!r}"
            seen.add(id(current))
            current = parent(current)


def assert_chains(updates, initial, final, key_of, blank=MISSING):
    """The updates of each key chain: every value a key held is reported
    replaced once for each time it was written there (as the old value of
    one update and the new value of the one before), and the last new value
    is what the key holds now.

    `initial` and `final` map keys to what they held before and after
    (absent: `blank`, the missing value unless given). Values are told apart
    by identity."""
    by_key = {}
    for u in updates:
        by_key.setdefault(key_of(u), []).append(u)
    for key in set(by_key) | set(initial) | set(final):
        us = by_key.get(key, [])
        balance = Counter(id(u.new_value) for u in us)
        balance.subtract(id(u.old_value) for u in us)
        balance[id(final.get(key, blank))] -= 1
        balance[id(initial.get(key, blank))] += 1
        unbalanced = {v: n for v, n in balance.items() if n}
        assert not unbalanced, f"{key}: the reported changes do not chain ({len(us)} updates)"


def assert_children(container, stored, made, root_path, path_of=None):
    """Every stored child names `container` as parent and (with `path_of`)
    its key's path; every child made but not stored names another parent or
    none; no child is stored twice."""
    ids = [id(v) for v in stored.values()]
    assert len(set(ids)) == len(ids), "a child stored twice"
    for key, value in stored.items():
        if hasattr(type(value), "sym_clone"):
            assert parent(value) is container, f"{key}: stored child names another parent"
            if path_of is not None:
                assert value._topo_path == path_of(key, root_path), f"{key}: wrong path"
    here = set(ids)
    for child in made:
        if hasattr(type(child), "sym_clone") and id(child) not in here:
            assert parent(child) is not container, f"{child!r} let go but names the container"


# ------------------------------------------------------------ native rounds

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
THREADS = 8


def rounds(n):
    """`n` rounds without the global lock; a tenth of them under it."""
    return n if FREE_THREADED else max(n // 10, 20)


class Counted(Dict):
    """A child that keeps every `topo_setparent` call it gets: the one
    record a test shares between threads, because it is what it tests."""

    def topo_setparent(self, parent):
        self.__dict__.setdefault("parents", []).append(parent)
        super().topo_setparent(parent)


def origin_nodes():
    """A new node of each kind whose origin a test records."""
    cls = {slots: object_class("Origins", [("f", native.Any(default=None))], slots=slots)
           for slots in (False, True)}
    return {"dict": Dict, "list": List, "object": cls[False], "record": cls[True]}


def set_origin(node, source, tag):
    """`sym_setorigin`, or over a record the node-state function."""
    if hasattr(type(node), "__slot_field_names__"):
        return native._node_setorigin(node, source, tag)
    return node.sym_setorigin(source, tag)


def origin_cell(node, *origin):
    """A node's origin as it is stored, read (or written, unchecked)."""
    if isinstance(node, (native.SymDict, native.SymList)):
        return setattr(node, "_sym_origin", *origin) if origin else node._sym_origin
    return native._probe_node_set(node, 5, *origin) if origin else native._probe_node_get(node, 5)


def let_gos(child):
    return sum(p is None for p in child.__dict__.get("parents", ()))


def outcome_of(write):
    """"ok", "refused" (the borrow refusal) or the exception's class; any
    other RuntimeError (a panic, a hold reported otherwise) is raised."""
    try:
        write()
    except RuntimeError as e:
        if not is_borrow_error(e):
            raise
        return "refused"
    except Exception as e:      # the write's own outcome, checked by the caller
        return type(e).__name__
    return "ok"


def in_rounds(n, threads, write, seconds=None, least=20):
    """Runs round after round: the threads are released together and each
    makes `write(r, tid)`, which answers its outcome; a round starts when
    every thread ended the one before. With `seconds`, the rounds end early
    once that time has passed and `least` are done: on a loaded machine a
    race takes fewer rounds instead of running into the test's timeout.
    Answers the outcomes of the rounds run, each a list by thread, and each
    thread's Log of updates."""
    outcomes = [[None] * threads for _ in range(n)]
    logs = [Log() for _ in range(threads)]
    end = None if seconds is None else time.monotonic() + seconds
    ran = [0, n]    # rounds begun, rounds to run: changed by the barrier's action alone

    def begin_round():
        if end is not None and ran[0] >= least and time.monotonic() > end:
            ran[1] = ran[0]
        else:
            ran[0] += 1

    barrier = threading.Barrier(threads, action=begin_round)

    def run(tid):
        with logs[tid].active():
            for r in range(n):
                barrier.wait()
                if r >= ran[1]:
                    break
                outcomes[r][tid] = write(r, tid)

    on_threads(threads, run, barrier)
    del outcomes[ran[1]:]
    return outcomes, logs
