"""Field reads of a symbolic object through `SymFieldGetter`, in one run.

A topology-aware object class gets one `property(SymFieldGetter(name))` per
field, so that reading a field is one native call: the getter reads the
object's field dictionary and resolves an inferential value. It is timed
against the two ways plain Python reads a field: a Python `property` whose
getter does the same work (a dict lookup and an inferential check), a
`__slots__` attribute and a plain instance attribute.

Times are CPU time per read, the best of several rounds that run every
contender in turn (so a busy machine slows them alike); ratio =
SymFieldGetter / other (lower is better).
"""


import benchkit  # also puts the checkout on the import path
from benchkit import race

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.object_classes import object_class
from vesk_core import _native as n

READS = 100_000


def _object_seams():
    seams = __import__("vesk_core._typing_seams", fromlist=["native_table"])
    return seams.native_table(n.__file__, "vesk_test_object_seams")


class PythonFields:
    """The same read in Python: the field dict, then the inferential check."""

    def __init__(self, fields):
        self._fields = fields

    @property
    def x(self):
        value = self._fields["x"]
        if hasattr(type(value), "infer"):
            return value.infer()
        return value


class Slotted:
    __slots__ = ("x",)

    def __init__(self, x):
        self.x = x


class Plain:
    def __init__(self, x):
        self.x = x


def reads(obj):
    def run():
        for _ in range(READS):
            obj.x
    return run


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    seams = _object_seams()
    Point = object_class("Point", [("x", n.Int())])
    point = Point.__new__(Point)
    seams["store_fields"](point, {"x": 7})
    assert point.x == 7 and isinstance(Point.__dict__["x"].fget, n.SymFieldGetter)

    times = race({
        "SymFieldGetter": reads(point),
        "Python property": reads(PythonFields({"x": 7})),
        "slot": reads(Slotted(7)),
        "plain attribute": reads(Plain(7)),
    }, READS)
    ours = times.pop("SymFieldGetter")
    report = benchkit.Report("field reads, per read")
    report.row("SymFieldGetter, 100,000 reads of an int field", ours, times)


if __name__ == "__main__":
    main()
