"""Rendering a tree of symbolic objects as call-like text, in one run.

`_render_object_fast` against the package's own renderer written in
Python (tests/support/vesk/symbolic/rendering.py, the tests' oracle), both
given the same `child_fields` policy, in the compact and the multi-line
layout. The tree is a root object with 5 scalar fields and 10 children of
5 scalar fields each (mixed int, float, bool, str and None; the floats have
short reprs, as configuration values mostly do: a float needing all 17
digits costs both renderers the same ~250 ns in `repr`), plus one record
child: 66 field values in all.

Times are CPU time per render, the best of several rounds that run every
contender in turn (so a busy machine slows them alike); ratio = native /
reference (lower is better; the target is at most 1/3: three times as fast).
"""


import benchkit  # also puts the checkout on the import path
from benchkit import at_most, race

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.object_classes import node_record_class, object_class
from vesk.symbolic.rendering import child_fields, render
from vesk_core import _native as n

RENDERS = 2_000


def tree():
    seams = __import__("vesk_core._typing_seams", fromlist=["native_table"]).native_table(
        n.__file__, "vesk_test_object_seams")
    scalars = [("i", n.Any()), ("f", n.Any()), ("b", n.Any()), ("s", n.Any()), ("z", n.Any())]
    Child = object_class("Child", scalars)
    Root = object_class("Root", scalars + [(f"c{k}", n.Any()) for k in range(10)] + [("r", n.Any())])
    Rec = node_record_class("Rec", ["p", "q"])

    def made(cls, **fields):
        obj = cls.__new__(cls)
        seams["store_fields"](obj, fields)
        return obj

    def values(k):
        return dict(i=k, f=k * 0.25, b=k % 2 == 0, s=f"name-{k}", z=None)

    rec = Rec()
    rec.p, rec.q = 1, "two"
    kids = {f"c{k}": made(Child, **values(k)) for k in range(10)}
    return made(Root, **values(99), **kids, r=rec)


def renders(fn, root, compact):
    def run():
        for _ in range(RENDERS):
            fn(root, "Root", compact, 0, child_fields)
    return run


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    root = tree()
    for compact in (True, False):
        assert n._render_object_fast(root, "Root", compact, 0, child_fields) == render(
            root, "Root", compact, 0, child_fields)
    report = benchkit.Report("object rendering, per render of a 66-value tree")
    for compact in (True, False):
        times = race({
            "native": renders(n._render_object_fast, root, compact),
            "reference": renders(render, root, compact),
        }, RENDERS)
        layout = "compact" if compact else "multi-line"
        report.row(f"_render_object_fast, {layout}", times["native"],
                   {"reference renderer": times["reference"]},
                   [at_most("reference renderer", 1 / 3)])


if __name__ == "__main__":
    main()
