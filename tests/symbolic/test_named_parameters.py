"""The one-argument methods of the symbolic classes take their argument by
name as well as by position, except the list mutators that keep the built-in
list's positional-only form."""

import functools

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, List
from object_helpers import made, object_class



@functools.cache
def point_class():
    """A class with fields, made once the session's bridges are installed."""
    return object_class("Point", [("x", native.Int()), ("child", native.Any())])


@pytest.mark.parametrize("make", [lambda: Dict(c=Dict()), lambda: List([Dict()]),
                                  lambda: made(point_class(), x=1, child=Dict())],
                         ids=["SymDict", "SymList", "SymObject"])
def test_the_topology_methods_take_their_argument_by_name(make):
    node, parent = make(), Dict()
    assert node.topo_setparent(parent=parent) is None and node._topo_parent is parent
    assert node.topo_setpath(path=KeyPath.parse("a.b")) is None
    assert node._topo_path == KeyPath.parse("a.b")
    # The children were re-pathed under the new path as by a positional call.
    members = node.field_dict().values() if isinstance(node, native.SymObject) else node.sym_values()
    child = next(v for v in members if isinstance(v, Dict))
    assert str(child._topo_path).startswith("a.b")
    node.topo_setparent(parent=None)
    assert node._topo_parent is None


def test_the_keyed_reads_take_the_key_by_name():
    inner = Dict()
    d = Dict(a=inner)
    assert d.sym_hasattr(key="a") is True and d.sym_hasattr(key="b") is False
    assert d._sym_getattr(key="a") is inner
    with pytest.raises(KeyError):
        d._sym_getattr(key="b")
    item = Dict()
    lst = List([item], value_spec=native.List(native.Any()))
    assert lst.sym_hasattr(key=0) is True and lst.sym_hasattr(key=1) is False
    assert lst._sym_getattr(key=-1) is item
    assert lst.sym_attr_field(key=0) is lst._value_spec.element


def test_delete_and_notify_takes_the_index_by_name():
    lst = List([1, 2, 3])
    assert lst.delete_and_notify(i=-1) is None
    assert list(lst) == [1, 2] and lst.notified[-1][0].path == KeyPath(-1)


@pytest.mark.parametrize("call, message", [
    (lambda n: n.topo_setpath(), "missing required argument 'path'"),
    (lambda n: n.topo_setparent(KeyPath(), parent=None), "given by name ('parent') and position"),
    (lambda n: n.sym_hasattr(name="a"), "unexpected keyword argument 'name'"),
    (lambda n: n._sym_getattr(1, 2), "takes at most 1 positional argument"),
])
def test_the_parser_refuses_what_the_name_does_not_allow(call, message):
    for node in (Dict(a=1), List([1]), made(point_class(), x=1, child=None)):
        if not hasattr(node, "sym_hasattr"):
            continue
        with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
            call(node)


@pytest.mark.parametrize("name, argument", [("append", 4), ("extend", [4]), ("remove", 1)])
def test_the_list_mutators_stay_positional_only(name, argument):
    lst = List([1, 2, 3])
    with pytest.raises(TypeError, match=rf"{name}\(\) takes no keyword arguments"):
        getattr(lst, name)(value=argument)
    assert list(lst) == [1, 2, 3]
    getattr(lst, name)(argument)
    assert list(lst) != [1, 2, 3]
