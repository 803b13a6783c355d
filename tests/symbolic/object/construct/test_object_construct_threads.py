"""Threads constructing objects of one new class at once (written for the
free-threaded interpreter): every thread may miss the class's metadata
cache and build its own; each object must equal the one a serial
construction makes, and the class ends with one ObjectCtorMeta."""

import threading

import vesk_core._native as native
from construct_helpers import snapshot
from object_helpers import KeyPath, object_class
from races import started

THREADS, ROUNDS = 8, 50


def kwargs_for(tid, n):
    return {"x": tid * 1000 + n, "name": f"t{tid}", "tags": [tid, n], "attrs": {"n": n}}


def test_threads_constructing_one_new_class():
    def make_class():
        return object_class("Racy", [("x", native.Int()), ("name", native.Str()),
                                     ("tags", native.List(native.Int())), ("attrs", native.Dict()),
                                     ("flag", native.Bool(default=True))])

    cls = make_class()
    barrier = threading.Barrier(THREADS)
    made = [[] for _ in range(THREADS)]
    failures = []

    def run(tid):
        barrier.wait()
        try:
            for n in range(ROUNDS):
                made[tid].append(cls(**kwargs_for(tid, n), root_path=KeyPath(f"r{tid}")))
        except Exception as e:       # no outcome of the race is an error
            failures.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    with started(threads, barrier):
        pass
    assert failures == []
    assert type(vars(cls)["__native_ctor_meta__"]) is native.ObjectCtorMeta
    oracle = make_class()
    for tid in range(THREADS):
        for n, obj in enumerate(made[tid]):
            expected = oracle(**kwargs_for(tid, n), root_path=KeyPath(f"r{tid}"))
            assert snapshot(obj) == snapshot(expected)
