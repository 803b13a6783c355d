"""Threads changing one SymList at once (written for the free-threaded
interpreter; under an interpreter with the global lock a short switch
interval makes them interleave). A write or read that meets another
thread's hold on the list may be refused with the binding layer's borrow
error: a legitimate outcome that changes nothing. Each thread keeps its own
record; the end state is checked against what all of them did."""

import threading

import pytest

import vesk_core._native as native
from helpers import MISSING, Dict, KeyPath, List, scope
from races import started, switching_often

THREADS, ROUNDS = 8, 150
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")


@pytest.fixture(autouse=True)
def interleaved():
    with switching_often():
        yield


class Logged(List):
    """Each thread keeps its own log of the notifications it caused."""

    local = threading.local()

    def _notify_field_updates(self, updates):
        self.local.log.append(updates)


def run_threads(target):
    barrier = threading.Barrier(THREADS)
    failures = []

    def run(tid):
        Logged.local.log = []
        barrier.wait()
        try:
            target(tid)
        except BaseException as e:   # reported below, never lost in the thread
            failures.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    with started(threads, barrier):
        pass
    assert failures == []


def test_concurrent_appends_keep_every_item_once():
    lst = Logged(root_path=KeyPath("root"))
    appended = [[] for _ in range(THREADS)]
    logs = [None] * THREADS

    def append(tid):
        logs[tid] = Logged.local.log
        for n in range(ROUNDS):
            item = Dict(tag=(tid, n)) if n % 3 == 0 else (tid, n)
            try:
                lst.append(item)
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    raise
                continue
            appended[tid].append(item)

    run_threads(append)
    everything = [item for items in appended for item in items]
    assert len(lst) == len(everything)
    assert sorted(map(id, lst)) == sorted(map(id, everything))   # each exactly once
    for tid in range(THREADS):
        # One notification per append, naming what that append stored.
        assert [[u.new_value for u in batch] for batch in logs[tid]] == [[x] for x in appended[tid]]
        assert all(u.old_value is MISSING and u.target is lst for [u] in logs[tid])
    assert all(x.topo_parent is lst for x in lst if type(x) is Dict)


class Token:
    """Inferential: a pop runs Python code between reading it and removing
    it, so another thread can get in between even under the global lock."""

    def infer(self):
        return self


def test_concurrent_pops_remove_every_item_at_most_once():
    original = [Token() for _ in range(THREADS * ROUNDS // 2)]
    lst = Logged(original)
    popped = [[] for _ in range(THREADS)]
    logs = [None] * THREADS

    def pop(tid):
        logs[tid] = Logged.local.log
        index = 0 if tid % 2 else -1
        while True:
            try:
                popped[tid].append(lst.pop(index))
            except IndexError:
                return
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    raise

    run_threads(pop)
    taken = [item for items in popped for item in items] + list(lst)
    assert sorted(map(id, taken)) == sorted(map(id, original)) and lst == []
    for tid in range(THREADS):
        # The update of each pop reports the very item that pop returned.
        assert [batch[0].old_value for batch in logs[tid]] == popped[tid]
        assert all(len(batch) == 1 and batch[0].new_value is MISSING for batch in logs[tid])


def test_a_list_shrunk_while_read_gives_a_result_or_an_index_error():
    lst = Logged([Dict(n=k) for k in range(40)], root_path=KeyPath("r"))
    reads = (lambda: list(lst), lambda: lst.sym_seal(), lambda: lst.sym_seal(False),
             lambda: lst._clone_if_primitive(), lambda: lst.copy(), lambda: lst[::2],
             lambda: lst.topo_setpath(KeyPath("moved")), lambda: list(lst.sym_items()))

    def shrink_or_read(tid):
        for n in range(ROUNDS // 3):
            try:
                if tid == 0:   # this thread writes through sealing by the others
                    with scope(native._FLAG_SEALED, False):
                        del lst[0]
                        lst.append(Dict(n=-1))
                        lst.pop(n % 2 - 1)
                else:
                    reads[(tid + n) % len(reads)]()
            except IndexError:
                pass
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    raise

    run_threads(shrink_or_read)
    assert all(type(item) is Dict and item.topo_parent is lst for item in lst)


def test_appends_under_a_shared_spec_follow_its_change():
    spec = native.List(native.Int())
    lst = Logged(value_spec=spec, root_path=KeyPath("root"))
    stored = [[] for _ in range(THREADS)]

    def appends(tid, values):
        for v in values:
            try:
                lst.append(v)
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    raise
                continue
            stored[tid].append(v)

    run_threads(lambda tid: appends(tid, [tid * ROUNDS + n for n in range(ROUNDS)]))

    def positive(value):
        if value < 0:
            raise ValueError("negative")

    spec.element.set_validator(positive)
    refused = [0] * THREADS

    def negatives(tid):
        for n in range(ROUNDS):
            try:
                lst.append(-1 - n)
            except ValueError:
                refused[tid] += 1
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    raise

    run_threads(negatives)
    assert sorted(lst) == sorted(v for values in stored for v in values)
    assert all(v >= 0 for v in lst) and sum(refused) > 0
