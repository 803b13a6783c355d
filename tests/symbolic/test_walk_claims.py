"""A walk over a tree's members (re-pathing them) claims none of them, and
nothing else: a hook inside the walk that re-paths a node outside the tree
while another thread's write holds it (paused in its re-path of the node's
member) is refused as the same call made directly is."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath
from races import started
from vesk.symbolic.object_classes import object_class
from write_races import is_borrow_error


class PausedMember(Dict):
    """A member whose first re-path once `gate` is set waits for `go`."""

    def topo_setpath(self, path):
        gate = self.__dict__.get("gate")
        if gate and not gate[0].is_set():
            gate[0].set()
            assert gate[1].wait(10)
        super().topo_setpath(path)


def tree(kind, probe):
    """A tree at `t` whose walk reaches `probe()`: from a dict's member's own
    `topo_setpath`, or an object's or a record's `_update_children_paths`
    (Python code walking its members)."""
    if kind == "dict":
        hooked = type("Hooked", (Dict,), {"topo_setpath": lambda self, path: (
            probe(), Dict.topo_setpath(self, path))})
        return Dict(w=hooked(n=0), root_path=KeyPath("t"))

    def _update_children_paths(self, old, new):
        probe()
        if kind == "record":
            return super(cls, self)._update_children_paths(old, new)
        self.w.topo_setpath(KeyPath("w", new))

    cls = object_class(f"Walked{kind}", [("w", native.Any(default=None))], slots=kind == "record",
                       namespace={"_update_children_paths": _update_children_paths})
    return cls(w=Dict(n=0), root_path=KeyPath("t"))


@pytest.mark.parametrize("kind", ["dict", "object", "record"])
def test_a_hook_inside_a_walk_meets_a_write_on_a_node_outside_it(kind):
    got, outside = [], []

    def probe():
        if not outside:         # the tree being built
            return
        try:
            outside[0].topo_setpath(KeyPath("h"))
            got.append("ok")
        except RuntimeError as e:
            got.append("refused" if is_borrow_error(e) else str(e))

    t = tree(kind, probe)
    member = PausedMember(n=1)
    outside.append(Dict(m=member))
    gate = member.__dict__["gate"] = (threading.Event(), threading.Event())
    home = Dict()
    writer = threading.Thread(target=home.__setitem__, args=("y", outside[0]))
    with started([writer], gate[1]):
        assert gate[0].wait(10)     # the write re-paths the node's member
        probe()                     # directly
        t.topo_setpath(KeyPath("t2"))
        gate[1].set()
    assert got == ["refused", "refused"]
    assert outside[0]._topo_parent is home and outside[0]._topo_path == KeyPath("y")
    assert member._topo_parent is outside[0] and member._topo_path == KeyPath("m", KeyPath("y"))
    w = t._sym_getattr("w") if kind == "dict" else t.w     # the walk went on over its own
    assert w._topo_parent is t and w._topo_path == KeyPath("w", KeyPath("t2"))
