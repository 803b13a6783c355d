"""Objects the caller hands in, or the package makes, that many threads
share (a root path, a bound spec, a container class, an object class and
its field) live exactly as long as the interpreter's own counting says,
however often threads use them: dropped, they are freed at the next
collection, with their finalizers run and what they hold let go."""

import pytest

from fresh import run_fresh

THREADS_PRELUDE = """
import gc, sys, threading, weakref
import vesk.symbolic, vesk.typing
import vesk_core._native as native
from vesk.symbolic.containers import Dict, List
from vesk.symbolic.object_classes import object_class
vesk.typing.install()
vesk.symbolic.install()

def on_threads(task, count=8):
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

class Quiet(Dict):
    def _notify_field_updates(self, updates):
        pass
"""


def test_shared_objects_used_by_many_threads_are_freed_when_dropped():
    run_fresh("""
        finalized = []

        class Root:
            # A root path that owns something to flush when it goes.
            def __del__(self):
                finalized.append("root")

        class Token:
            # What a spec or field alone holds: freed with it, and only then.
            pass

        class Holder:
            pass

        def batch():
            root = Root()
            tokens = [Token() for _ in range(3)]
            holder = Holder()          # the spec is seen only through it
            holder.spec = native.Dict([("a", native.Any(default=tokens[0]))])
            cls = type("PerBatch", (Quiet,), {})
            point = object_class("Point", [("x", native.Any(default=tokens[1]))],
                                 namespace={"_notify_field_updates": lambda s, u: None})
            lspec = native.List(native.Any(default=tokens[2]))
            def work():
                p = point(x=0)
                for i in range(3 * 4096):
                    cls({"a": i}, value_spec=holder.spec, root_path=root)
                    List([i], value_spec=lspec)
                    p.x = i
            on_threads(work)
            return [weakref.ref(o) for o in (*tokens, cls, point)] + [root]

        refs = batch()
        root = refs.pop()
        del root
        gc.collect()
        gc.collect()
        assert finalized == ["root"], finalized
        alive = [r() for r in refs if r() is not None]
        assert not alive, alive
    """, prelude=THREADS_PRELUDE)


def test_memory_stays_flat_over_batches_of_specs_made_and_dropped():
    run_fresh("""
        import tracemalloc

        def batch():
            spec = native.Dict([("a", native.Int())])
            lspec = native.List(native.Int())
            cls = type("PerBatch", (Quiet,), {})
            def work():
                for i in range(4500):
                    cls({"a": i}, value_spec=spec)
                    List([i], value_spec=lspec)
            on_threads(work, count=4)

        def settled():
            # A spec's deferred count frees it at a collection; what it held
            # goes at the next.
            for _ in range(3):
                gc.collect()
            return tracemalloc.get_traced_memory()[0]

        for _ in range(3):               # warm caches and free lists
            batch()
        tracemalloc.start()
        growth = []
        for _ in range(2):
            before = settled()
            for _ in range(10):
                batch()
            growth.append(settled() - before)
        # Kept, each batch's spec, list spec and class would hold several KB;
        # a table the interpreter grows once shows in one phase only.
        assert min(growth) < 3_000, growth
    """, prelude=THREADS_PRELUDE)
