"""What the benchmarks share: the import paths of an uninstalled checkout
(the package and the stand-in for the caller package) and one way of
timing contenders side by side in one run."""

import os
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
for _path in (os.path.join(HERE, "..", "tests", "support"), os.path.join(HERE, "..", "python")):
    if _path not in sys.path:
        sys.path.insert(0, _path)


def race(contenders, number, rounds=9):
    """The best time per operation of each contender. The contenders take
    turns within each round, so a slow spell of the machine hits them all
    alike; process time leaves out other processes' time. A contender with
    a `setup` attribute has it called, untimed, before each of its turns."""
    best = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, fn in contenders.items():
            setup = getattr(fn, "setup", None)
            if setup is not None:
                setup()
            seconds = timeit.Timer(fn, timer=time.process_time).timeit(number=1)
            best[name] = min(best[name], seconds / number)
    return best


def optional(name):
    """The module `name`, or None where it is not installed."""
    try:
        return __import__(name)
    except ImportError:
        return None
