"""Construction of a symbolic object with five scalar fields, in one run.

A class made the way the package makes one (its ObjectCtorMeta compiled on
first use) is constructed from keywords: the construction core screens the
keywords against the class's init field names and fills the field
dictionary through the compiled fill, one native type check per value. It
is timed against the ways plain Python builds the same record: a plain
class that assigns its attributes unchecked, a `slots=True` dataclass that
checks the types in `__post_init__`, an attrs class with `instance_of`
validators, and a pydantic model.

The symbolic class is called through `SymObject.__init__` (keyword parsing,
then the construction core). The package installs a native `tp_init` on its
generated classes instead (the kernel's trampoline around the native
initialiser); `CONSTRUCT` below names the road measured, so the trampoline
replaces it there once it is installed on the class.

Its `slots=True` twin (a record class: the fields in inline cells, built by
the native record `tp_init`) is timed in the same run against the same
contenders.

Times are CPU time per construction, the best of several rounds that run
every contender in turn (so a busy machine slows them alike); ratio =
symbolic / other (lower is better). Targets: faster than attrs, no slower
than pydantic, within 2x of the dataclass (the twin: 3x). A peer that is
not installed is skipped with a line.
"""

import dataclasses

import benchkit  # also puts the checkout on the import path
from benchkit import at_most, below, pick, race

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.object_classes import object_class
from vesk_core import _native as n

CONSTRUCTIONS = 10_000
KWARGS = {"a": 1, "b": 2.5, "c": "text", "d": True, "e": 7}

# The road each symbolic construction takes: the class call, which runs
# `SymObject.__init__`. Where the native `tp_init` trampoline is installed
# on the class (`_install_native_tp_init`), the same call runs it instead.
CONSTRUCT = "SymObject.__init__"


def install_native_tp_init(cls):
    """The trampoline, when this build has it; else the class keeps
    `SymObject.__init__`. Answers the road the class call takes."""
    installer = getattr(n, "_install_native_tp_init", None)
    if installer is None:
        return CONSTRUCT
    installer(cls)
    return "native tp_init"


class Plain:
    def __init__(self, a, b, c, d, e):
        self.a, self.b, self.c, self.d, self.e = a, b, c, d, e


@dataclasses.dataclass(slots=True)
class Checked:
    a: int
    b: float
    c: str
    d: bool
    e: int

    def __post_init__(self):
        for name, kind in (("a", int), ("b", float), ("c", str), ("d", bool), ("e", int)):
            if not isinstance(getattr(self, name), kind):
                raise TypeError(f"{name} must be {kind.__name__}")


def constructions(cls):
    kwargs = KWARGS

    def run():
        for _ in range(CONSTRUCTIONS):
            cls(**kwargs)
    return run


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    Record = object_class("Record", [("a", n.Int()), ("b", n.Float()), ("c", n.Str()),
                                     ("d", n.Bool()), ("e", n.Int())])
    road = install_native_tp_init(Record)
    sample = Record(**KWARGS)
    assert sample.field_dict() == KWARGS and sample.a == 1
    assert Record.__dict__["__native_ctor_meta__"] is not None

    fields = [("a", n.Int()), ("b", n.Float()), ("c", n.Str()), ("d", n.Bool()), ("e", n.Int())]
    Twin = object_class("Twin", fields, slots=True)
    twin = Twin(**KWARGS)
    assert (twin.a, twin.c) == (1, "text")

    contenders = {
        "symbolic": constructions(Record),
        "slots=True twin": constructions(Twin),
        "plain class": constructions(Plain),
        "slots dataclass + __post_init__ checks": constructions(Checked),
    }
    checked = benchkit.checked_classes("Five", {"a": int, "b": float, "c": str, "d": bool,
                                                "e": int})
    peers = {"attrs + instance_of": checked["attrs"], "pydantic": checked["pydantic"]}
    contenders.update({name: constructions(cls) for name, cls in peers.items() if cls})
    times = race(contenders, CONSTRUCTIONS)
    others = pick(times, [*list(contenders)[2:4], *peers])
    report = benchkit.Report("object construction, 5 scalar fields, per construction")

    def targets(dataclass_bound):
        return [below("attrs + instance_of", 1), at_most("pydantic", 1),
                at_most("slots dataclass + __post_init__ checks", dataclass_bound)]

    report.row(f"symbolic, through {road}", times["symbolic"], others, targets(2))
    report.row("slots=True twin, through the native record tp_init", times["slots=True twin"],
               others, targets(3))


if __name__ == "__main__":
    main()
