"""Throughput on many threads, each on its own data, in one run.

On the free-threaded interpreter, threads that work on their own data should
never meet: N threads should do about N times the work of one. Each row runs
the same task on 1, 2, 4 and 8 threads (each thread its own data, the specs,
classes and root path shared as a program shares them) and prints
throughput over one thread; the control row is pure Python filling each
thread's own dict and lists, so the machine's own ceiling is measured in the
same run. Under each row, the CPU time per call on 2, 4 and 8 threads over
one thread's: flat where the threads never meet, whatever else the machine
runs.

Threads that share an object count it: on this build a count of an object
another thread made is an atomic update of one cache line every such thread
writes. A bound container holds its spec and root path and counts its class;
an update record holds the field it names. Those are the caller's objects
and live as long as the interpreter's counting says (nothing is made
immortal), so the rows that must store them meet on them. Beside each such
row, its twin is pure Python on the same threads storing the same shared
references (each dict holding the shared spec and root path, each update
record the shared field): the floor the data model itself sets. The value-
spec rows hold no shared reference per element and are held to the control;
the symbolic rows to their twins (the last column).

With the global lock every row stays near 1x; the figures mean something
only on python3.14t (run it with `make bench-scaling`, or
`tools/toolchain.sh run env PYTHONPATH=/checkout/python:/usr/lib/python3/dist-packages
/opt/python3.14t/bin/python3.14t bench/bench_scaling.py [piece of a row's title ...]`).
Where a thread row falls short, bench/sample_threads.py shows where its
threads spend their time.
"""

import sys
import threading
import time

from benchkit import Report, at_most, duration  # noqa: E402  (also puts the checkout on the path)

import vesk.symbolic  # noqa: E402  (the stand-in bridges)
import vesk.typing  # noqa: E402
from vesk.symbolic.containers import Dict as SymDictClass  # noqa: E402
from vesk.symbolic.containers import FieldUpdate  # noqa: E402
from vesk.symbolic.containers import List as SymListClass  # noqa: E402
from vesk.symbolic.object_classes import object_class  # noqa: E402
from vesk_core import KeyPath  # noqa: E402
from vesk_core import _native as n  # noqa: E402

THREADS = (1, 2, 4, 8)
TRIALS = 3
TARGET_SECONDS = 0.4  # of one thread's work per trial


def _quiet(self, updates):
    """The listener of every symbolic row: it does nothing."""


def control():
    def task():
        d, a, b = {}, [], []
        for i in range(2_000):
            d[i] = i
            a.append(i)
            b.append(str(i))
    return task


def list_int_apply():
    spec = n.List(n.Int())

    def make():
        data = list(range(10_000))
        return lambda: spec.apply(data)
    return make


def list_dict_apply():
    spec = n.List(n.Dict([("a", n.Int()), ("b", n.Str()), ("c", n.Float()), ("d", n.Bool()),
                          ("tags", n.List(n.Str()))]))

    def make():
        data = [{"a": i, "b": "x", "c": 1.5, "d": True, "tags": ["p", "q"]} for i in range(1_000)]
        return lambda: spec.apply(data)
    return make


def list_union_apply():
    spec = n.List(n.Union([n.Int(), n.Str()]))

    def make():
        data = [i if i % 2 else str(i) for i in range(5_000)]
        return lambda: spec.apply(data)
    return make


class QuietDict(SymDictClass):
    _notify_field_updates = _quiet


class QuietList(SymListClass):
    _notify_field_updates = _quiet


def shared_root():
    """The root path every root container holds (the bridge's empty path),
    which the symbolic rows' containers share and their twins hold."""
    return QuietDict({})._topo_path


def dict_spec():
    return n.Dict([("i0", n.Int()), ("i1", n.Int()), ("i2", n.Int()), ("s0", n.Str()),
                   ("s1", n.Str())])


DICT_SOURCE = {"i0": 1, "i1": 2, "i2": 3, "s0": "a", "s1": "b"}


def sym_dict_construct():
    spec = dict_spec()

    def make():
        src = dict(DICT_SOURCE)

        def task():
            for _ in range(500):
                QuietDict(src, value_spec=spec)
        return task
    return make


class TwinDict(dict):
    """What a bound dictionary holds of what threads share, in Python."""
    __slots__ = ("spec", "root")


def dict_twin():
    spec, root = dict_spec(), shared_root()

    def make():
        src = dict(DICT_SOURCE)

        def task():
            for _ in range(500):
                d = TwinDict(src)
                d.spec, d.root = spec, root
        return task
    return make


def object_writes():
    Point = object_class("Point", [("x", n.Int())], namespace={"_notify_field_updates": _quiet})

    def make():
        point = Point(x=0)

        def task():
            for i in range(2_000):
                point.x = i
        return task
    return make


class Listener:
    _notify_field_updates = _quiet


def write_twin():
    """An object's int write in Python: the value stored in the object's own
    dictionary, one update record holding the shared field (and the object's
    own key path of it), handed to the listener."""
    field = n.Field("x", n.Int())

    def make():
        target, path = Listener(), KeyPath("x")
        values = target.__dict__

        def task():
            notify = target._notify_field_updates
            for i in range(2_000):
                old = values.get("x")
                values["x"] = i
                notify([FieldUpdate(path, target, field, old, i)])
        return task
    return make


def list_appends():
    spec = n.List(n.Int())

    def make():
        def task():
            lst = QuietList([], value_spec=spec)
            append = lst.append
            for i in range(2_000):
                append(i)
        return task
    return make


class TwinList(list):
    """What a bound list holds of what threads share, in Python."""
    __slots__ = ("spec", "root")


def append_twin():
    """Appends in Python: a list holding the shared spec and root path, and
    per item one update record holding the shared element field (the
    missing value as the old value), handed to the listener."""
    spec, root = n.List(n.Int()), shared_root()
    missing = n.missing_value_singleton()

    def make():
        def task():
            lst = TwinList()
            lst.spec, lst.root = spec, root
            field, path, notify = spec.element, KeyPath(0), _quiet
            for i in range(2_000):
                lst.append(i)
                notify(lst, [FieldUpdate(path, lst, field, missing, i)])
        return task
    return make


ROWS = [
    ("control: pure Python, own dict and lists", lambda: control),
    ("List(Int()) apply, 10k ints, shared spec", list_int_apply),
    ("List(Dict) 5 keys with a list of str", list_dict_apply),
    ("List(Union([Int(), Str()])), 5k", list_union_apply),
    ("SymDict construction, 5 fields, shared spec", sym_dict_construct),
    ("twin: dict holding the shared spec and root", dict_twin),
    ("int writes to own object of shared class", object_writes),
    ("twin: write, update record with the shared field", write_twin),
    ("appends to own SymList, shared List(Int())", list_appends),
    ("twin: appends, records with the shared element", append_twin),
]

# The symbolic rows and the pure-Python twin of each: the twin's scaling in
# the same run is what the shared references the row must store allow.
TWIN_OF = {
    "SymDict construction, 5 fields, shared spec": "twin: dict holding the shared spec and root",
    "int writes to own object of shared class": "twin: write, update record with the shared field",
    "appends to own SymList, shared List(Int())": "twin: appends, records with the shared element",
}
# What a symbolic row must reach of its twin's scaling at 8 threads, and a
# value-spec row of the control's.
OF_TWIN, OF_CONTROL = 0.9, 0.75


def calibrate(task):
    """How many calls of `task` take about TARGET_SECONDS on one thread."""
    task()
    start, calls = time.perf_counter(), 0
    while time.perf_counter() - start < 0.05:
        task()
        calls += 1
    per_call = (time.perf_counter() - start) / calls
    return max(1, int(TARGET_SECONDS / per_call))


def throughput(make, threads, calls):
    """Calls per second of `threads` threads each calling its own task
    `calls` times, started together, and the process's CPU time per call
    over the same span; the best of TRIALS of each. CPU time leaves out the
    time a thread waits for a core that other work holds, so on a busy
    machine it still tells contention (CPU per call growing with the
    threads) from a lack of cores (throughput alone falling short)."""
    best, best_cpu = 0.0, float("inf")
    for _ in range(TRIALS):
        barrier = threading.Barrier(threads + 1)
        done = []

        def run():
            # Each thread makes its own data, as a program's threads would:
            # an object used only by the thread that made it needs no atomic
            # reference counting on the free-threaded build.
            task = make()
            task()
            barrier.wait()
            for _ in range(calls):
                task()
            done.append(time.perf_counter())

        workers = [threading.Thread(target=run) for _ in range(threads)]
        for w in workers:
            w.start()
        barrier.wait()
        start, cpu_start = time.perf_counter(), time.process_time()
        for w in workers:
            w.join()
        cpu = time.process_time() - cpu_start
        best = max(best, threads * calls / (max(done) - start))
        best_cpu = min(best_cpu, cpu / (threads * calls))
    return best, best_cpu


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    report = Report(f"Threads each on their own data ({'global lock' if gil else 'free-threaded'}): "
                    f"time per call on {THREADS[-1]} threads against one thread; "
                    "scaling = throughput over one thread")
    if gil:
        report.skip("every row", "the global lock serialises the threads; run `make bench-scaling`")
        return
    # Rows may be picked by pieces of their titles; the control always runs,
    # and a symbolic row's twin runs with it, before it.
    wanted = [piece.lower() for piece in sys.argv[1:]]
    picked = {title for i, (title, _) in enumerate(ROWS)
              if i == 0 or not wanted or any(piece in title.lower() for piece in wanted)}
    picked |= {TWIN_OF[title] for title in picked if title in TWIN_OF}
    rows = [(title, factory) for title, factory in ROWS if title in picked]
    rows.sort(key=lambda row: row[0] in TWIN_OF)  # twins and the rest first
    control_scaling = None
    scalings = {}
    for title, factory in rows:
        make = factory()
        calls = calibrate(make())
        base, base_cpu = throughput(make, 1, calls)
        runs = [throughput(make, t, calls) for t in THREADS[1:]]
        scaling = [rate / base for rate, _ in runs]
        if control_scaling is None:
            control_scaling = scaling[-1]
        scalings[title] = scaling[-1]
        columns = ", ".join(f"{t} threads {r:.2f}x" for t, r in zip(THREADS[1:], scaling))
        twin = scalings.get(TWIN_OF.get(title))
        of_twin = f", {scaling[-1] / twin:.2f} of its twin" if twin else ""
        report.section(f"{title}: {columns}; {scaling[-1] / control_scaling:.2f} of the control"
                       f"{of_twin}")
        # Flat from 1 to 8 threads where the threads never meet.
        cpu = ", ".join(f"{t} {c / base_cpu:.2f}" for t, (_, c) in zip(THREADS[1:], runs))
        report.section(f"   CPU time per call: 1 thread {duration(base_cpu)}; "
                       f"over it on {cpu} threads")
        targets = ()
        if twin:
            targets = (at_most("one thread", 1 / (OF_TWIN * twin)),)
        elif not title.startswith(("control", "twin")):
            # At least 0.75 of the control's scaling, and never below 4x.
            targets = (at_most("one thread", 1 / (OF_CONTROL * control_scaling)),
                       at_most("one thread", 1 / 4))
        report.row(title, 1 / (base * scaling[-1]), {"one thread": 1 / base}, targets)


if __name__ == "__main__":
    main()
