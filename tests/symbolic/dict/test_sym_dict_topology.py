"""The container topology surface on SymDict: sealing, re-pathing,
re-parenting, origins, the node-state properties and cycle collection."""

import gc
import weakref

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, Node, seams, spec
from vesk.symbolic.objects import Origin, SymbolicModeError

numpy_bool = pytest.importorskip("vesk_core._native_testhooks").fake_numpy_bool


def test_sealing_visits_symbolic_children_that_keep_a_tree():
    child, off, plain = Node(), Node(), [1]
    off.enable_topo = False
    d = Dict(c=child, off=off, plain=plain)
    assert d.sym_seal() is d and d._sealed
    assert child.calls[-1] == ("seal", True) and ("seal", True) not in off.calls
    child.calls.clear()
    assert d.sym_seal(True) is d and child.calls == []   # already sealed: children not visited
    d.sym_seal(False)
    assert child.calls == [("seal", False)] and not d._sealed
    with pytest.raises(TypeError, match="is_seal"):
        d.sym_seal(1)


def test_a_failing_child_leaves_the_container_unsealed():
    broken = Node()
    d = Dict(a=Dict(x=1), b=broken)
    broken.enable_topo = "yes"   # not a bool: the strict flag refuses it
    with pytest.raises(TypeError):
        d.sym_seal()
    assert not d._sealed and d["a"]._sealed


def test_setting_a_path_repaths_the_children():
    child, off = Dict(), Node()
    d = Dict(c=child, off=off)
    off.enable_topo = False
    d.topo_setpath(KeyPath("root"))
    assert child.topo_path == KeyPath.parse("root.c") and off._topo_path == KeyPath("off")
    child._topo_path = KeyPath("stale")
    d.topo_setpath(KeyPath("root"))           # equal path: nothing happens
    assert child.topo_path == KeyPath("stale")
    with pytest.raises(AssertionError):
        d.topo_setpath(None)
    assert d.topo_path is None
    flat = Dict(c=child, under_topo=False)
    with pytest.raises(AssertionError):
        flat._update_children_paths(None, "not a path")
    flat._update_children_paths(None, KeyPath("x"))
    assert child.topo_path == KeyPath("stale")


def test_setting_a_parent_reaches_members_only_of_an_object_attributes_container():
    class Recording(Dict):
        def topo_setparent(self, parent):
            self.__dict__.setdefault("calls", []).append(("parent", parent))
            super().topo_setparent(parent)

    s = spec(("r", native.Any(), "ref"), ("c", native.Any()), ("same", native.Any()))
    kept, moved, same, new_parent = Node(), Node(), Recording(), Node("new")
    same._topo_parent = new_parent   # read natively: already under the new parent
    view = seams.object_attributes({"r": kept, "c": moved, "same": same}, s, False, False,
                                   True, None, True, None, Node("old"), False)
    view.topo_setparent(new_parent)
    assert view.topo_parent is new_parent
    assert kept.calls == [] and "calls" not in same.__dict__
    assert moved.calls == [("parent", new_parent)]
    plain = Dict(c=Node())
    plain["c"].calls.clear()
    plain.topo_setparent(new_parent)
    assert plain["c"].calls == [] and plain._topo_parent_for_children() is plain


@pytest.mark.parametrize("kwargs, recorded", [
    ({}, -2), ({"stacktop": 0}, -1), ({"stacktop": 5}, 4),
    ({"stacktop": -2**63}, OverflowError), ({"stacktop": 2**63}, OverflowError),
    ({"stacktop": "1"}, TypeError),
])
def test_origin_stacktop(kwargs, recorded):
    d = Dict()
    if isinstance(recorded, type):
        with pytest.raises(recorded, match="stacktop"):
            d.sym_setorigin("src", "tag", **kwargs)
        assert d._sym_origin is None
    else:
        d.sym_setorigin("src", "tag", **kwargs)
        assert d._sym_origin.stacktop == recorded


def test_origin_source_must_stay_the_same():
    d, source = Dict(), object()
    d.sym_setorigin(source, "a")
    first = d._sym_origin
    d.sym_setorigin(source, "b", "trace", 3)
    assert d._sym_origin is not first and (d._sym_origin.tag, d._sym_origin.stacktrace) == ("b", "trace")
    with pytest.raises(ValueError, match="Cannot set the origin with a different source value"):
        d.sym_setorigin(object(), "c")
    assert d._sym_origin.tag == "b"
    d._sym_origin = Origin(None, "unsourced")
    d.sym_setorigin(object(), "d")
    assert d._sym_origin.tag == "d"


@pytest.mark.parametrize("name", ["_sealed", "_allow_partial", "_accessor_writable", "_wrap",
                                  "_as_object_attributes_container"])
def test_bool_properties_are_strict(name):
    d = Dict()
    setattr(d, name, numpy_bool(True))
    assert getattr(d, name) is True
    for bad in (1, None, "True"):
        with pytest.raises(TypeError):
            setattr(d, name, bad)
    with pytest.raises(AttributeError, match="property has no deleter"):
        delattr(d, name)


@pytest.mark.parametrize("name", ["_topo_parent", "_topo_path", "_sym_origin", "_value_spec",
                                  "_onchange_callback"])
def test_object_properties(name):
    d, value = Dict(), object()
    setattr(d, name, value)
    assert getattr(d, name) is value
    setattr(d, name, None)
    assert getattr(d, name) is None
    with pytest.raises(AttributeError, match="property has no deleter"):
        delattr(d, name)


def test_topology_properties_need_a_tree():
    d = Dict(under_topo=False)
    for name in ("topo_parent", "topo_path"):
        with pytest.raises(SymbolicModeError, match=rf"`{name}` requires a symbolic tree, but "
                                                   r"Dict was declared with `topo=False`"):
            getattr(d, name)
    assert d.enable_topo is False and d._topo_path is not None
    with pytest.raises(AttributeError):
        d.enable_topo = True


def test_cycles_through_the_node_state_are_collected():
    parent = Dict()
    parent["child"] = Dict(x=1)
    parent._onchange_callback = parent.get
    parent._value_spec = native.Dict()
    ref = weakref.ref(parent)
    del parent
    gc.collect()
    assert ref() is None
