"""What the benchmarks share: the import paths of an uninstalled checkout
(the package and the stand-in for the caller package), two ways of timing,
the peers that may be missing, and one report.

Every bench reports its rows alike: our time, then each peer's time with
the ratio ours / peer (lower is better) and, where the row has a target
against that peer, the target with "meets" or "misses". A peer that is not
installed is listed as skipped, never a crash. When VESK_BENCH_RESULTS
names a file (bench/run_all.py sets it), every row is also appended to it as
one JSON line, from which `make bench` prints its summary table.
"""

import json
import os
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
for _path in (os.path.join(HERE, "..", "tests", "support"), os.path.join(HERE, "..", "python")):
    if _path not in sys.path:
        sys.path.insert(0, _path)

RESULTS = "VESK_BENCH_RESULTS"
# Peers to treat as not installed (comma-separated), to see a bench without them.
WITHOUT = "VESK_BENCH_WITHOUT"
NOT_INSTALLED = "skipped (not installed)"


def race(contenders, number, rounds=9):
    """The best time per operation of each contender. The contenders take
    turns within each round, so a slow spell of the machine hits them all
    alike; process time leaves out other processes' time. A contender with
    a `setup` attribute has it called, untimed, before each of its turns."""
    best_of = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, fn in contenders.items():
            setup = getattr(fn, "setup", None)
            if setup is not None:
                setup()
            seconds = timeit.Timer(fn, timer=time.process_time).timeit(number=1)
            best_of[name] = min(best_of[name], seconds / number)
    return best_of


def best(fn, number=1, repeat=5):
    """Seconds per call of `fn`: the best of `repeat` wall-clock runs of
    `number` calls each."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def optional(name):
    """The module `name`, or None where it is not installed (or named in
    VESK_BENCH_WITHOUT)."""
    if name in os.environ.get(WITHOUT, "").replace(" ", "").split(","):
        return None
    try:
        return __import__(name)
    except ImportError:
        return None


def checked_classes(name, fields):
    """The peers' classes of a record whose `fields` map names to types:
    an attrs class with slots and `instance_of` validators and a pydantic
    model, None for a peer that is not installed."""
    attr, pydantic = optional("attr"), optional("pydantic")
    return {
        "attrs": None if attr is None else attr.make_class(name, {
            field: attr.ib(validator=attr.validators.instance_of(kind))
            for field, kind in fields.items()}, slots=True),
        "pydantic": None if pydantic is None else pydantic.create_model(name, **{
            field: (kind, ...) for field, kind in fields.items()}),
    }


def pick(times, names):
    """The peers `names` in that order, from the times of a race: None for
    a peer that did not run (not installed)."""
    return {name: times.get(name) for name in names}


def duration(seconds):
    """A time in the unit that keeps it between 1 and 1000, three digits."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            break
    else:
        unit, scale = "ns", 1e-9
    value = seconds / scale
    return f"{value:.{max(0, 2 - len(str(int(value))) + 1)}f} {unit}"


class Target:
    """Our time over `peer`'s at most `bound` (below it when `strict`)."""

    def __init__(self, peer, bound, strict=False):
        self.peer, self.bound, self.strict = peer, bound, strict

    def bound_text(self):
        return f"{'<' if self.strict else '<='} {self.bound:.3g}"

    def __str__(self):
        return f"{self.bound_text()} of {self.peer}"

    def verdict(self, ratio):
        if ratio is None:
            return "not measured"
        met = ratio < self.bound if self.strict else ratio <= self.bound
        return "meets" if met else "misses"


def at_most(peer, bound):
    return Target(peer, bound)


def below(peer, bound):
    return Target(peer, bound, strict=True)


class Report:
    """The rows of one bench, printed as they come and recorded for the
    summary. `name` is the bench's file name without "bench_"."""

    def __init__(self, title, name=None):
        self.name = name or os.path.splitext(os.path.basename(sys.argv[0]))[0].removeprefix(
            "bench_")
        print(title)
        print("  ratio = ours / peer (lower is better)")

    def section(self, text):
        print(f"  -- {text}")

    def row(self, label, ours, peers, targets=()):
        """`peers` maps each peer's name to its seconds, or to None where
        the peer is not installed; every target names one of them."""
        ratios = {p: (None if s is None else ours / s) for p, s in peers.items()}
        verdicts = []
        for target in targets:
            if target.peer not in peers:
                raise ValueError(f"target against {target.peer!r}, which the row does not time")
            verdicts.append((str(target), target.verdict(ratios[target.peer])))
        print(f"  {label}: ours {duration(ours)}")
        width = max([len(p) for p in peers] + [32])
        for peer, seconds in peers.items():
            if seconds is None:
                line = f"    vs {peer:<{width}} {NOT_INSTALLED}"
            else:
                line = f"    vs {peer:<{width}} {duration(seconds):>9}   {ratios[peer]:6.2f}x"
            for target in targets:
                if target.peer == peer:
                    line += f"   target {target.bound_text()}: {target.verdict(ratios[peer])}"
            print(line)
        self._record(label=label, ours=ours, ratios=ratios, targets=verdicts)

    def skip(self, label, reason):
        print(f"  {label}: skipped ({reason})")
        self._record(label=label, skipped=reason)

    def _record(self, **row):
        path = os.environ.get(RESULTS)
        if path:
            with open(path, "a") as out:
                out.write(json.dumps({"bench": self.name, **row}) + "\n")
