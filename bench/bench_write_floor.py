"""The cost of one symbolic write next to the package's own share of it.

A write to a field of a symbolic object, or to a bound key of a SymDict,
ends by making one update record (the package's `field_update_cls`) and
handing it to the object's `_notify_field_updates`. The floor is that part
alone, made in Python in the same loop: the record built from the same five
values and the listener called with it, nothing else. What the write costs
above the floor is this module's share: the permission gates, the lookup of
the field, the check of the value, the store. The target: each write within
1.4x of the floor, with a listener that does nothing.

Times are CPU time per write, the best of several rounds that run every
contender in turn; ratio = write / floor (lower is better).
"""

import benchkit  # also puts the checkout on the import path
from benchkit import at_most, race

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.containers import Dict, FieldUpdate
from vesk.symbolic.object_classes import object_class
from vesk_core import KeyPath
from vesk_core import _native as n

WRITES = 100_000
ROUNDS = 9


def _quiet(self, updates):
    """The listener of every contender: it does nothing."""


class QuietDict(Dict):
    _notify_field_updates = _quiet


def attribute_writes(obj):
    def run():
        for i in range(WRITES):
            obj.x = i
    return run


def key_writes(d):
    def run():
        for i in range(WRITES):
            d["x"] = i
    return run


def floor(target, field):
    """The update record of each write and the listener's call, as the
    write makes them: the field's key path under a root, the target, the
    field, the old and the new value."""
    path = KeyPath("x")
    notify = target._notify_field_updates

    def run():
        old = None
        for i in range(WRITES):
            notify([FieldUpdate(path, target, field, old, i)])
            old = i
    return run


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    report = benchkit.Report("One write against the package's own share of it (the floor), "
                             "per write")

    Point = object_class("Point", [("x", n.Int())], namespace={"_notify_field_updates": _quiet})
    point = Point(x=0)
    field = Point.__schema__.get_field("x")
    times = race({"write": attribute_writes(point), "floor": floor(point, field)}, WRITES, ROUNDS)
    report.row("object field write, Int(), no-op listener", times["write"],
               {"package-side floor": times["floor"]}, [at_most("package-side floor", 1.4)])

    spec = n.Dict([("x", n.Int())])
    d = QuietDict({"x": 0}, value_spec=spec)
    times = race({"write": key_writes(d), "floor": floor(d, spec.schema.get_field("x"))},
                 WRITES, ROUNDS)
    report.row("SymDict key write, Int(), no-op listener", times["write"],
               {"package-side floor": times["floor"]}, [at_most("package-side floor", 1.4)])


if __name__ == "__main__":
    main()
