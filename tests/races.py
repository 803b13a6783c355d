"""Threads racing one mutator: the shape every "apply while another thread
changes the spec" test shares."""

import threading


def run_against_mutator(worker, mutator, stop, workers=8):
    """Runs `mutator()` on its own thread while `workers` threads each run
    `worker(k)` to the end; then sets `stop`, which the mutator watches, and
    waits for it."""
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(workers)]
    m = threading.Thread(target=mutator)
    m.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    m.join()
