"""Threads writing one SymDict at once (written for the free-threaded
interpreter). A write that meets another thread's hold on the same child may
be refused with the binding layer's borrow error: a legitimate outcome that
stores nothing. The end state is checked against what each thread did."""

import threading

from helpers import MISSING, Dict, KeyPath
from races import started, switching_often

THREADS, ROUNDS, SHARED = 8, 200, ("s0", "s1")
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")


class Logged(Dict):
    """Each thread keeps its own log of the updates its writes reported."""

    local = threading.local()

    def _notify_field_updates(self, updates):
        self.local.log.extend(updates)


def test_concurrent_writes_to_shared_and_distinct_keys():
    d = Logged(root_path=KeyPath("root"))
    barrier = threading.Barrier(THREADS)
    written = [[] for _ in range(THREADS)]   # (key, value) of each successful write
    logs = [None] * THREADS
    failures = []

    def run(tid):
        Logged.local.log = logs[tid] = []
        own = f"t{tid}"
        barrier.wait()
        for n in range(ROUNDS):
            for key in (own, SHARED[n % 2]):
                value = Dict(tag=(tid, n))
                try:
                    d[key] = value
                except RuntimeError as e:
                    if str(e) not in BORROW_ERRORS:
                        failures.append(e)
                    continue
                written[tid].append((key, value))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    with started(threads, barrier):
        pass
    assert failures == []

    by_key = {}
    for tid in range(THREADS):
        for key, value in written[tid]:
            by_key.setdefault(key, []).append(value)
    assert set(d) == set(by_key)
    for key, value in d.items():
        assert any(value is v for v in by_key[key])
        assert value.topo_parent is d and value.topo_path == KeyPath(key, KeyPath("root"))
    for tid in range(THREADS):
        # A thread's own key ends with its last write; its updates report
        # exactly what its writes stored, the own key's as an unbroken chain.
        own = [v for k, v in written[tid] if k == f"t{tid}"]
        assert d[f"t{tid}"] is own[-1]
        assert [u.new_value for u in logs[tid]] == [v for _, v in written[tid]]
        chain = [u for u in logs[tid] if u.path == KeyPath(f"t{tid}", KeyPath("root"))]
        assert [u.old_value for u in chain] == [MISSING] + own[:-1]
        for u in logs[tid]:
            assert u.target is d
            assert u.old_value is MISSING or any(u.old_value is v for v in by_key[u.path.key])


def test_writes_reach_the_listener_the_class_has_while_it_is_swapped():
    # Each thread writes its own dictionary while another thread swaps the
    # class's listener back and forth: every write is heard exactly once, by
    # one of the two listeners, in the order of the thread's writes.
    local = threading.local()

    def heard_by(tag):
        def listen(self, updates):
            local.log.extend((tag, u) for u in updates)
        return listen

    Swapped = type("Swapped", (Dict,), {"_notify_field_updates": heard_by("a")})
    stop, barrier = threading.Event(), threading.Barrier(THREADS + 1)
    dicts = [Swapped(root_path=KeyPath(f"d{t}")) for t in range(THREADS)]
    logs = [None] * THREADS

    def write(tid):
        local.log = logs[tid] = []
        barrier.wait()
        for n in range(ROUNDS):
            dicts[tid]["k"] = n

    def swap():
        listeners = [heard_by("a"), heard_by("b")]
        barrier.wait()
        n = 0
        while not stop.is_set():
            Swapped._notify_field_updates = listeners[n % 2]
            n += 1

    swapper = threading.Thread(target=swap)
    writers = [threading.Thread(target=write, args=(t,)) for t in range(THREADS)]
    with switching_often(), started([swapper], stop, barrier):
        with started(writers, stop, barrier):
            pass
        stop.set()

    for tid, log in enumerate(logs):
        assert {tag for tag, _ in log} <= {"a", "b"}
        updates = [u for _, u in log]
        assert [u.new_value for u in updates] == list(range(ROUNDS))
        assert [u.old_value for u in updates] == [MISSING] + list(range(ROUNDS - 1))
        assert all(u.target is dicts[tid] and u.path == KeyPath("k", KeyPath(f"d{tid}"))
                   for u in updates)
        assert dicts[tid]["k"] == ROUNDS - 1
