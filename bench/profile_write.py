"""One write road in a loop, for a profiler (callgrind, gdb samples).

    python3.14 bench/profile_write.py object|construct|dict|child|floor [writes]

Only the road runs after set-up, so a profile of the whole process is the
road's own, plus the loop.
"""

import sys

import benchkit  # noqa: F401  (puts the checkout on the import path)

import vesk.symbolic
import vesk.typing
from vesk.symbolic.containers import Dict, FieldUpdate
from vesk.symbolic.object_classes import object_class
from vesk_core import KeyPath
from vesk_core import _native as n


def _quiet(self, updates):
    """The listener: it does nothing."""


class QuietDict(Dict):
    _notify_field_updates = _quiet


def main():
    road = sys.argv[1]
    writes = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000
    vesk.typing.install()
    vesk.symbolic.install()
    Point = object_class("Point", [("x", n.Int())], namespace={"_notify_field_updates": _quiet})
    point = Point(x=0)
    spec = n.Dict([("x", n.Int())])
    d = QuietDict({"x": 0}, value_spec=spec)
    if road == "object":
        for i in range(writes):
            point.x = i
    elif road == "dict":
        for i in range(writes):
            d["x"] = i
    elif road == "construct":
        for i in range(writes):
            Point(x=i)
    elif road == "child":
        # A symbolic child replacing another: placed, and the replaced one
        # let go, each under its claim.
        holder = QuietDict()
        children = [Dict(n=i) for i in range(writes)]
        for child in children:
            holder["c"] = child
    else:
        path = KeyPath("x")
        field = Point.__schema__.get_field("x")
        notify = point._notify_field_updates
        for i in range(writes):
            notify([FieldUpdate(path, point, field, i - 1, i)])


if __name__ == "__main__":
    main()
