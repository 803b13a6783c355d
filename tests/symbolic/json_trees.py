"""Shared pieces of the JSON tests: one class of each shape, dictionaries
holding items as stored, and a comparison that sees key order and types."""

import functools
import types

import vesk_core._native as native
from helpers import MISSING, Dict, List, schema
from object_helpers import made, made_record, node_record_class, object_class
from vesk.symbolic.jsonify import to_json

walk = native._native_to_json_walk
any_field = native.Any


@functools.cache
def shapes():
    """Made once, after the bridges are in: a class with a frozen field, a
    tree-less one, one with its own hook, a record, an open schema."""
    fields = [native.Field(native.ConstStrKey("first"), any_field()),
              native.Field(native.StrKey(), any_field()),
              native.Field(native.ConstStrKey("last"), any_field())]
    return types.SimpleNamespace(
        Point=object_class("Point", [("a", any_field()), ("b", any_field()),
                                     ("c", native.Int(default=0, frozen=True))]),
        Flat=object_class("Flat", [("a", any_field()), ("b", any_field())], topo=False),
        Custom=object_class("Custom", [("a", any_field())],
                            namespace={"sym_jsonify": lambda self, **kw: {"custom": True}}),
        Rec=node_record_class("Rec", ["a", "b"], namespace={
            "__schema__": schema(("a", any_field()), ("b", any_field()))}),
        open_schema=native.Schema(fields, allow_nonconst_keys=True))


def ordered(value):
    """Dicts as item lists and leaves tagged with their exact type."""
    if type(value) is dict:
        return [(ordered(k), ordered(v)) for k, v in value.items()]
    if type(value) is list:
        return ("list", [ordered(v) for v in value])
    return (type(value).__name__, value)


def same_as_package(value):
    out = walk(value)
    assert out is not None and ordered(out) == ordered(to_json(value))
    return out


def raw_dict(items, value_spec=None):
    """A Dict bound to `value_spec` holding `items` as stored, unadopted."""
    out = Dict(value_spec=value_spec, pass_through=True)
    for k, v in items.items():
        dict.__setitem__(out, k, v)
    return out


def open_dict(items):
    return raw_dict(items, native.Dict(shapes().open_schema))


__all__ = ["MISSING", "Dict", "List", "made", "made_record", "to_json", "walk", "shapes",
           "ordered", "same_as_package", "raw_dict", "open_dict"]
