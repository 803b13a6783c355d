"""Objects that threads other than their maker count over and over (a
class's field named in every update, a spec and root path every bound
container holds, the container's class) are kept for good on the
free-threaded build, with the other threads stopped, and only those: an
object its own thread uses stays mortal, and nothing changes with the
global lock. Writes and constructions racing with that keep every value
and update."""

import sys
import threading

import pytest

import vesk_core._native as native
from fresh import run_fresh
from races import started
from vesk.symbolic.containers import List
from vesk.symbolic.object_classes import object_class

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
MANY = 3 * 4096   # past the uses that make an object hot, whatever slot it shares


def immortal(obj):
    return sys._is_immortal(obj)


# Run in a fresh interpreter: which objects a thread has met is kept by
# address, and an address an earlier test's object had may come back.
FRESH_PRELUDE = """
import sys, threading
import vesk.symbolic, vesk.typing
import vesk_core._native as native
from vesk.symbolic.containers import Dict, List
from vesk.symbolic.object_classes import object_class
vesk.typing.install()
vesk.symbolic.install()
FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
MANY = 3 * 4096
immortal = sys._is_immortal

def on_workers(task, count=1):
    # Threads meant to be two run side by side: a thread that ended may
    # pass its identity on to the next one.
    barrier, errors = threading.Barrier(count), []
    def run():
        try:
            barrier.wait()
            task()
        except BaseException as error:
            errors.append(error)
    threads = [threading.Thread(target=run) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]

def notify(self, updates):
    self.__dict__["named"] = updates[-1].field

class Quiet(Dict):
    def _notify_field_updates(self, updates):
        pass

def heavy_use(point, spec, cls):
    # Writes to an object of `point` and constructions of `cls` bound to
    # `spec`, MANY of each; the field the writes named.
    p = point(x=0)
    for i in range(MANY):
        p.x = i
        cls({"a": i}, value_spec=spec)
    assert p.x == MANY - 1
    return p.named
"""


def test_what_two_other_threads_count_over_and_over_is_kept_for_good():
    run_fresh("""
        point = object_class("Point", [("x", native.Int())],
                             namespace={"_notify_field_updates": notify})
        spec = native.Dict([("a", native.Int())])
        cls = type("Kept", (Quiet,), {})
        field = heavy_use(point, spec, cls)      # the maker's own uses
        assert not immortal(field) and not immortal(spec)
        on_workers(lambda: heavy_use(point, spec, cls))
        assert not immortal(field) and not immortal(spec)   # one other thread meets no one
        on_workers(lambda: heavy_use(point, spec, cls), count=2)
        for obj in (field, spec, cls):
            assert immortal(obj) == FREE_THREADED, obj
        # Kept objects work on as before.
        assert cls({"a": 1}, value_spec=spec) == {"a": 1}
        assert heavy_use(point, spec, cls) is field
    """, prelude=FRESH_PRELUDE)


def test_an_object_met_now_and_then_stays_mortal():
    run_fresh("""
        specs = [native.List(native.Int()) for _ in range(64)]
        def work():
            for _ in range(4096 // 64 * 2):
                for s in specs:          # each met seldom among the others
                    List([1], value_spec=s)
        on_workers(work, count=2)
        assert sum(immortal(s) for s in specs) == 0
    """, prelude=FRESH_PRELUDE)


def point_class():
    """A class whose objects keep the field their last update named."""
    def notify(self, updates):
        self.__dict__["named"] = updates[-1].field
    return object_class("Point", [("x", native.Int())],
                        namespace={"_notify_field_updates": notify})


@pytest.mark.skipif(not FREE_THREADED, reason="only the free-threaded build keeps objects")
def test_writes_and_constructions_while_objects_are_kept():
    point = point_class()
    spec = native.List(native.Int())
    threads, barrier = 8, threading.Barrier(8)
    results = [None] * threads

    class Heard(List):
        def _notify_field_updates(self, updates):
            self.heard.extend(u.new_value for u in updates)

    def work(slot):
        barrier.wait()
        p, lists = point(x=0), []
        for i in range(MANY // 2):
            p.x = i
            lst = Heard([], value_spec=spec)
            lst.heard = []
            lst.append(i)
            lists.append(lst)
        results[slot] = (p.x, lists)

    with started([threading.Thread(target=work, args=(k,)) for k in range(threads)], barrier):
        pass
    for x, lists in results:
        assert x == MANY // 2 - 1
        assert [list(lst) for lst in lists] == [[i] for i in range(MANY // 2)]
        assert all(lst.heard == [i] and lst[0] == i for i, lst in enumerate(lists))
        assert all(lst.topo_parent is None and not lst.topo_path for lst in lists)
    assert immortal(spec)
