"""No reference leaks on SymObject's members and the node-state interface,
their failures included (checked under the debug interpreter)."""

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, Node
from leaks import assert_no_leak
from object_helpers import KeyPath, made, made_record, node_record_class, object_class, seams


def _roads():
    cls = object_class("O", [("a", native.Any()), ("b", native.Any())],
                       namespace={"on_topo_parent_change": lambda self, old, new: None})
    flat = object_class("F", [("a", native.Any())], topo=False)
    R = node_record_class("R", ["a", "b"])
    getter = native.SymFieldGetter("a")

    def expect(error, fn):
        with pytest.raises(error):
            fn()

    def cases():
        obj = made(cls, a=Dict(x=1), b=Inferred(2))
        obj._topo_parent, obj._sym_origin, obj._sealed = Node(), None, False
        obj._topo_parent, obj._topo_path = None, KeyPath("o")
        obj._sym_attributes, obj._topo_field("b"), getter(obj), obj.topo_parent
        obj.topo_setparent(Node())
        obj.topo_setpath(KeyPath("moved"))
        obj.sym_setorigin("src", "tag", "trace", 1, stacktop=3)
        obj.sym_seal()
        obj.sym_seal(False)
        native._probe_node_set(obj, 2, Dict())
        native._probe_node_get(obj, 0)
        rec = made_record(R, a=Dict(), b=Node())
        native._node_setparent(rec, Node())
        native._node_setpath(rec, KeyPath("r"))
        native._node_setorigin(rec, "src", "tag")
        native._node_seal(rec)
        native._probe_node_set(rec, 7, object())
        blank = cls.__new__(cls)
        expect(ValueError, lambda: blank._sealed)
        expect(AttributeError, lambda: blank._sym_attributes)
        expect(AttributeError, lambda: getter(blank))
        expect(KeyError, lambda: obj._topo_field("zz"))
        expect(Exception, lambda: made(flat, a=Inferred(1)).a)
        expect(Exception, lambda: made(flat).topo_path)
        expect(ValueError, lambda: native._node_setorigin(obj, "other", "tag"))
        expect(OverflowError, lambda: native._node_setorigin(rec, "src", "t", stacktop=-2**63))
        expect(AssertionError, lambda: obj.topo_setpath(None))
        expect(TypeError, lambda: native._probe_node_get(5, 0))
        expect(RuntimeError, lambda: native._probe_node_set(rec, 8, 1))
        expect(ValueError, lambda: native._node_seal(R()))
        expect(TypeError, lambda: cls.__new__(cls).__init__(a=1))
        seams.collector_clear(made(cls, a=Dict()))

    return cases


def test_no_leaks():
    assert_no_leak(_roads(), calls=50)
