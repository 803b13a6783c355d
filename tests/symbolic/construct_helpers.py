"""Shared pieces of the object construction tests: the construction seams
(the native initialiser, the compiled fill alone, the partial entry, the
pure-symbolic scan and the facts of a class's ObjectCtorMeta) and a class
whose hooks log their calls."""

import types

import pytest
from hypothesis import strategies as st

import vesk_core._native as native
from vesk.symbolic.object_classes import object_class

_typing_seams = pytest.importorskip("vesk_core._typing_seams")
cseams = types.SimpleNamespace(
    **_typing_seams.native_table(native.__file__, "vesk_test_construct_seams")
)


def logging_class(name, fields, log, hooks=("on_sym_validate", "on_sym_post_init",
                                          "on_sym_bound", "on_sym_ready"), **kwargs):
    """An object class overriding `hooks`, each appending its name to `log`."""
    def make(hook):
        def method(self):
            log.append(hook)
        return method
    namespace = {hook: make(hook) for hook in hooks}
    return object_class(name, fields, namespace=namespace, **kwargs)


def snapshot(obj, plain=False):
    """What an object holds, comparable between two objects: its fields
    with symbolic containers as (class, raw contents, path, parent is obj),
    its node flags and path. With `plain`, a dict or list, symbolic or not,
    is its raw contents alone: without a child transform the schema road
    keeps the raw containers that the compiled fill wraps."""
    def value(v):
        if plain and isinstance(v, (dict, list)):
            return dict(v) if isinstance(v, dict) else list(v)
        if isinstance(v, (native.SymDict, native.SymList)):
            raw = dict(v) if isinstance(v, dict) else list(v)
            return (type(v), raw, v._topo_path, v._topo_parent is obj)
        return (type(v), v)
    return ({k: value(v) for k, v in obj.field_dict().items()},
            obj._sealed, obj._allow_partial, obj._accessor_writable, obj._topo_path)


# Field kinds the construction differentials draw from:
# name -> (value spec factory, strategy of values it accepts)
KINDS = {
    "int": (lambda: native.Int(), st.integers()),
    "int_default": (lambda: native.Int(default=7), st.integers()),
    "float": (lambda: native.Float(), st.integers(-5, 5) | st.floats(allow_nan=False)),
    "str": (lambda: native.Str(), st.text(max_size=5)),
    "bool": (lambda: native.Bool(default=False), st.booleans()),
    "noneable": (lambda: native.Int(default=None, is_noneable=True), st.none() | st.integers()),
    "any": (lambda: native.Any(), st.integers() | st.text(max_size=3) | st.lists(st.integers())),
    "list": (lambda: native.List(native.Int()), st.lists(st.integers(), max_size=3)),
    "list_default": (lambda: native.List(native.Str(), default=["a"]),
                     st.lists(st.text(max_size=2), max_size=3)),
    "dict": (lambda: native.Dict(), st.dictionaries(st.text(max_size=2), st.integers(), max_size=2)),
    "tuple": (lambda: native.Tuple([native.Int(), native.Str()]),
              st.tuples(st.integers(), st.text(max_size=2))),
}
