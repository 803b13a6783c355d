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
contender in turn (so a busy machine slows them alike); ratio = reference /
native (higher is better; the target is at least 3).
"""


from benchkit import race  # noqa: E402  (also puts the checkout on the path)

import vesk.symbolic  # noqa: E402  (the stand-in bridges)
import vesk.typing  # noqa: E402
from vesk.symbolic.object_classes import node_record_class, object_class  # noqa: E402
from vesk.symbolic.rendering import child_fields, render  # noqa: E402
from vesk_core import _native as n  # noqa: E402

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
    print("object rendering, per render of a 66-value tree")
    for compact in (True, False):
        times = race({
            "native": renders(n._render_object_fast, root, compact),
            "reference": renders(render, root, compact),
        }, RENDERS)
        ours, ref = times["native"], times["reference"]
        layout = "compact" if compact else "multi-line"
        print(f"  {layout:<11} _render_object_fast {ours * 1e6:7.2f} us | "
              f"reference renderer {ref * 1e6:7.2f} us (ratio {ref / ours:5.2f}x)")


if __name__ == "__main__":
    main()
