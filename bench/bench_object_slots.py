"""The native type slots of the package's generated classes, in one run.

(b) Field reads through the fast native getattro (a dictionary-layout
object: one lookup in its field dictionary) and through the record native
getattro (a `slots=True` record: one type lookup and one cell read), timed
against the ways plain Python reads a field: a plain instance attribute, a
`__slots__` attribute and a Python `property` doing the same work as the
native read (a lookup and an inferential check). Targets: faster than the
property, within 4x of the plain read.

(a) 10,000 constructions of a 5-scalar-field `slots=True` class through
the native record tp_init (validation against the class's schema, cells
written in place, node state seeded), and of its dictionary-layout twin
through the native object tp_init, against a plain class, a slots
dataclass checking its field types in `__post_init__`, an attrs class with
`instance_of` validators and a pydantic model. Targets for the record:
faster than attrs, no slower than pydantic, within 3x of the dataclass.

Times are CPU time per operation, the best of several rounds that run every
contender in turn (so a busy machine slows them alike); ratio = ours /
other (lower is better).
"""

import dataclasses

import benchkit  # also puts the checkout on the import path
from bench_field_getter import READS, Plain, PythonFields, Slotted, reads
from benchkit import at_most, below, race

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.object_classes import object_class
from vesk_core import _native as n

CONSTRUCTIONS = 10_000


def rows(report, title, ours_names, times, targets=None, absent=()):
    """One row for each of ours against the other contenders, and the peers
    in `absent` (not installed); `targets` maps one of ours to its targets."""
    report.section(title)
    others = {name: secs for name, secs in times.items() if name not in ours_names}
    others.update({name: None for name in absent})
    for ours_name in ours_names:
        report.row(ours_name, times[ours_name], others, (targets or {}).get(ours_name, ()))


# --- (b) field reads -----------------------------------------------------------------


def field_reads(report):
    seams = __import__("vesk_core._typing_seams", fromlist=["native_table"]).native_table(
        n.__file__, "vesk_test_object_seams")
    Point = object_class("Point", [("x", n.Int())], native_slots=True)
    assert n._kernel_tp_getattro_is_fast(Point)
    point = Point.__new__(Point)
    seams["store_fields"](point, {"x": 7})
    Record = object_class("Record", [("x", n.Int())], slots=True)
    record = Record(x=7)
    assert point.x == record.x == 7
    times = race({
        "fast getattro": reads(point),
        "record getattro": reads(record),
        "plain attribute": reads(Plain(7)),
        "slot": reads(Slotted(7)),
        "Python property": reads(PythonFields({"x": 7})),
    }, READS)
    targets = [below("Python property", 1), at_most("plain attribute", 4)]
    rows(report, "(b) field reads, per read", ["fast getattro", "record getattro"], times,
         {"fast getattro": targets, "record getattro": targets})


# --- (a) construction of the slots=True twin ---------------------------------------------

FIELDS = {"a": int, "b": int, "c": str, "d": float, "e": bool}
VALUES = {"a": 1, "b": 2, "c": "three", "d": 4.0, "e": True}


class PlainFive:
    def __init__(self, a, b, c, d, e):
        self.a, self.b, self.c, self.d, self.e = a, b, c, d, e


@dataclasses.dataclass(slots=True)
class CheckedFive:
    a: int
    b: int
    c: str
    d: float
    e: bool

    def __post_init__(self):
        for name, kind in FIELDS.items():
            if not isinstance(getattr(self, name), kind):
                raise TypeError(f"{name} must be {kind.__name__}")


def constructions(cls):
    def run():
        for _ in range(CONSTRUCTIONS):
            cls(**VALUES)
    return run


def record_construction(report):
    specs = {int: n.Int, str: n.Str, float: n.Float, bool: n.Bool}
    Five = object_class("Five", [(k, specs[v]()) for k, v in FIELDS.items()], slots=True)
    DictFive = object_class("DictFive", [(k, specs[v]()) for k, v in FIELDS.items()],
                            native_slots=True)
    assert Five(**VALUES).c == DictFive(**VALUES).c == "three"
    contenders = {"slots=True record": constructions(Five),
                  "dict-layout object": constructions(DictFive),
                  "plain class": constructions(PlainFive),
                  "checked slots dataclass": constructions(CheckedFive)}
    checked = benchkit.checked_classes("Five", FIELDS)
    absent = [name for name, cls in checked.items() if cls is None]
    contenders.update({name: constructions(cls) for name, cls in checked.items() if cls})
    times = race(contenders, CONSTRUCTIONS)
    record_targets = [below("attrs", 1), at_most("pydantic", 1),
                      at_most("checked slots dataclass", 3)]
    rows(report, "(a) 10,000 constructions of a 5-scalar-field class, per construction",
         ["slots=True record", "dict-layout object"], times,
         {"slots=True record": record_targets}, absent)


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    report = benchkit.Report("native type slots: field reads and construction")
    field_reads(report)
    record_construction(report)


if __name__ == "__main__":
    main()
