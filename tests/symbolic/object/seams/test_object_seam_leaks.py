"""No reference leaks on the native renderer and the object seams, their
declines and failures included (checked under the debug interpreter)."""

import pytest

import vesk_core._native as native
from helpers import Dict
from leaks import assert_no_leak
from object_helpers import made, made_record, node_record_class, object_class
from vesk.symbolic.rendering import child_fields


def _roads():
    tree = object_class("T", [("a", native.Any()), ("n", native.Int())])
    flat = object_class("F", [("a", native.Any()), ("n", native.Int())], topo=False)
    R = node_record_class("R", ["u"])

    def expect(error, fn):
        with pytest.raises(error):
            fn()

    def cases():
        leaf = made(flat, a="s", n=1)
        top = made(tree, a=leaf, n=made_record(R, u=2.5))
        for compact in (True, False):
            native._render_object_fast(top, "T", compact, 1, child_fields)
        native._render_object_fast(made(flat, a=[1]), "F", True, 0, child_fields)
        native._render_object_fast(top, "T", 1, 0, child_fields)
        expect(TypeError, lambda: native._render_object_fast(top, "T", True, 0, lambda v: 1))
        expect(OverflowError, lambda: native._render_object_fast(leaf, "F", False, 2**63 - 1,
                                                                 child_fields))
        native._native_object_inline_fields(top)
        native._probe_object_is_inline(top)
        native._native_object_clone_inline_shallow(made(flat, a=Dict(x=1), n=1))
        native._native_object_clone_inline_shallow(made(tree, a=Dict(x=1), n=1))
        native._native_object_set_item_no_check(made(tree, a=None, n=1), "n", 2)
        native._native_object_set_item_no_check(made(tree, a=None, n=1), "a", Dict(y=2))
        expect(TypeError, lambda: native._native_object_set_item_no_check(leaf, "n", "x"))
        expect(KeyError, lambda: native._native_object_set_item_no_check(leaf, "zz", 1))
        new = tree.__new__(tree)
        native._native_object_clone_construct(new, False, True, {"a": [1], "n": 3}, top, False, None)
        native._native_object_clone_construct(5, False, False, {}, top, False, None)
        expect(Exception, lambda: native._native_object_clone_construct(
            tree.__new__(tree), False, False, {"n": 1, "zz": 1}, top, False, None))
        native._container_wrap_fields(tree)
        native._container_candidate_fields(flat)

    return cases


def test_no_leaks():
    assert_no_leak(_roads(), calls=50)
