"""Threads racing one mutator: the shape every "apply while another thread
changes the spec" test shares, and the guard that stops and joins a test's
threads on every way out of it."""

import contextlib
import sys
import threading
import time


# How long the threads of a block that failed are given to end.
STOPPING = 30


@contextlib.contextmanager
def started(threads, *stops):
    """Starts `threads` and joins every thread that was started when the
    block ends; when it ends by an exception (a failed assertion, a thread
    that could not start, or the test's timeout during the join, included),
    first sets each of `stops`, the Events the threads watch, and breaks
    each Barrier among them, so no thread waits for one that never comes
    or outlives the test. Then it waits for them a while only: a thread
    that will not end is conftest.py's to report, and the exception goes
    on."""
    begun = []
    try:
        for t in threads:
            t.start()
            begun.append(t)
        yield threads
        for t in begun:
            t.join()
    except BaseException:
        for stop in stops:
            if isinstance(stop, threading.Barrier):
                stop.abort()
            else:
                stop.set()
        deadline = time.monotonic() + STOPPING
        for t in begun:
            t.join(max(0.0, deadline - time.monotonic()))
        raise


class Pause:
    """A point in the Python code an operation calls in its middle (a
    transform, a `__repr__`, a property): the thread `on` names sets
    `entered` there and waits until `go` is set; every other thread passes.
    `on` is named once the thread is made, since what it runs needs the
    pause first."""

    def __init__(self):
        self.entered, self.go, self.on = threading.Event(), threading.Event(), None

    def __call__(self):
        if threading.current_thread() is self.on:
            self.entered.set()
            assert self.go.wait(10)


def run_against_mutator(worker, mutator, stop, workers=8):
    """Runs `mutator()` on its own thread while `workers` threads each run
    `worker(k)` to the end; then sets `stop`, which the mutator watches, and
    waits for it."""
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(workers)]
    m = threading.Thread(target=mutator)
    with started([m], stop):
        with started(threads):
            pass
        stop.set()


@contextlib.contextmanager
def switching_often():
    """Has the interpreter switch threads as often as it can inside the
    block, so a test's threads interleave under the global lock too."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def for_a_while(seconds, most, least):
    """Round numbers up to `most`, ending early once `seconds` have passed
    and `least` rounds are done: on a loaded machine a race takes fewer
    rounds instead of running into the test's timeout. Each thread counts
    its own."""
    end = time.monotonic() + seconds
    for n in range(most):
        if n >= least and time.monotonic() > end:
            return
        yield n
