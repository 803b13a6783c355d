"""Two operations made to meet at a chosen point: the first runs on its own
thread until a callable it calls (a transform, a validator) pauses it, the
second runs on another thread to its end meanwhile, then the first
finishes. Each thread records only its own outcome."""

import threading

from races import started

WAIT = 10
REFUSED = (RuntimeError, "Already mutably borrowed")


class Pausing:
    """A callable answering `x + step` (a transform; a validator ignores
    the answer) that records, per thread, what it is given, and pauses its
    first call on the value `at` until the second operation is done."""

    def __init__(self, at, step=0):
        self.at, self.step = at, step
        self.calls = {}
        self.paused, self.go = threading.Event(), threading.Event()

    def __call__(self, x):
        self.calls.setdefault(threading.current_thread().name, []).append(x)
        if x == self.at and not self.paused.is_set():
            self.paused.set()
            assert self.go.wait(WAIT)
        return x + self.step


def race(first, second, pause):
    """Runs `first` (thread "a") until `pause` holds it, `second` (thread
    "b") to its end, then lets `first` finish. Answers each one's outcome:
    "ok", or the class and text of what it raised."""
    outcomes = {}

    def run(name, op):
        try:
            op()
            outcomes[name] = "ok"
        except Exception as e:  # noqa: BLE001  (the outcome is the test's)
            outcomes[name] = (type(e), str(e))

    a = threading.Thread(target=run, args=("a", first), name="a")
    b = threading.Thread(target=run, args=("b", second), name="b")
    with started([a], pause.go):
        assert pause.paused.wait(WAIT), "the first operation never paused"
        with started([b]):
            pass
        pause.go.set()
    return outcomes
