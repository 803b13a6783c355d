"""No reference leaks on record construction, the record seams and the
native type slots, their failures included (checked under the debug
interpreter)."""

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, Node
from leaks import assert_no_leak
from object_helpers import KeyPath, made, object_class, seams


def _roads():
    H = object_class("H", [("child", native.Any()), ("n", native.Int(default=0))], slots=True)
    flat = object_class("F", [("child", native.Any())], slots=True, topo=False,
                        non_symbolic={"cache": 1})
    O = object_class("O", [("x", native.Any())],
                     namespace={"sym_hasattr": lambda self, name: name == "guess",
                                "sym_inferred": lambda self, name: name})
    O.__sym_options__ = type(O.__sym_options__)(topo=True, attr_write=True, frozen=False,
                                                 attr_read=True)
    native._install_native_tp_getattro_fast(O)

    def expect(error, fn):
        with pytest.raises(error):
            fn()

    def cases():
        h = H(child=Dict(a=Node()), n=1, root_path=KeyPath("r"), sealed=True)
        h.child, h.n
        native._slot_record_inline_fields(h, ["child", "n"])
        native._slot_record_node_read(h, 1)
        native._node_setpath(h, KeyPath("moved"))
        view = native._slot_record_materialize(h, ["child", "n"])
        native._slot_record_materialize(h, ["child", "n"])
        native._node_setpath(h, KeyPath("again"))
        view["n"]
        f = flat(child=Inferred(1))
        expect(Exception, lambda: f.child)
        native._slot_record_construct(H.__new__(H), ["child", "n"], {"child": 1})
        expect(TypeError, lambda: H(child=1, n="bad"))
        expect(TypeError, lambda: H(n=1))
        H(child=1, n=2)
        expect(TypeError, lambda: H(nope=1))
        expect(TypeError, lambda: H(child=1, sealed=2))
        expect(NotImplementedError, lambda: H(child=1, explicit_init=True))
        expect(AttributeError, lambda: native._slot_record_materialize(H.__new__(H), ["child"]))
        expect(TypeError, lambda: native._slot_record_construct(object(), ["a"], {}))
        o = made(O, x=Inferred(2))
        o.x, o.guess
        expect(AttributeError, lambda: o.other)
        expect(RuntimeError, lambda: seams.while_held(o, lambda: o.x))
        native._kernel_generic_setattr(o, "extra", None)
        native._kernel_generic_getattr(o, "extra")
        native._kernel_generic_delattr(o, "extra")
        native._kernel_probe_type_layout(H)

    return cases


def test_no_leaks():
    assert_no_leak(_roads(), calls=50)
