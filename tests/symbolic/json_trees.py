"""Shared pieces of the JSON tests: symbolic trees built the way the
package holds them (objects, records, dictionaries with and without a
schema, lists), a comparison that sees key order and exact types, and the
containers a result holds, to check that it shares none with its tree."""

import functools
import types

import vesk_core._native as native
from helpers import MISSING, Dict, List, schema, spec
from object_helpers import made, made_record, node_record_class, object_class
from vesk.symbolic.jsonify import to_json

walk = native._native_to_json_walk

@functools.cache
def shapes():
    """One class of each shape (made once, after the bridges are in): a
    frozen field with a default, a tree-less class, a class with its own
    hook, an open schema with constant keys on both sides of its wildcard,
    and a record."""
    open_schema = native.Schema(
        [native.Field(native.ConstStrKey("first"), native.Any()),
         native.Field(native.StrKey(), native.Any()),
         native.Field(native.ConstStrKey("last"), native.Any())],
        allow_nonconst_keys=True)
    return types.SimpleNamespace(
        Point=object_class("Point", [("a", native.Any()), ("b", native.Any()),
                                     ("c", native.Int(default=0, frozen=True))]),
        Flat=object_class("Flat", [("a", native.Any())], topo=False),
        Custom=object_class("Custom", [("a", native.Any())],
                            namespace={"sym_jsonify": lambda self, **kw: {"custom": True}}),
        Rec=node_record_class(
            "Rec", ["a", "b"],
            namespace={"__schema__": schema(("a", native.Any()), ("b", native.Any()))}),
        open_schema=open_schema,
    )


def ordered(value):
    """`value` with every dict turned into its item list and every leaf
    tagged with its exact type, so that equality sees order and types."""
    if type(value) is dict:
        return ("dict", [(ordered(k), ordered(v)) for k, v in value.items()])
    if type(value) is list:
        return ("list", [ordered(v) for v in value])
    return (type(value).__name__, value)


def same_as_package(value):
    """The walk's answer for `value`, which must be the package's own."""
    out = walk(value)
    assert out is not None
    assert ordered(out) == ordered(to_json(value))
    return out


def containers(value, out=None):
    """Every dict and list in a JSON result, by identity."""
    out = {} if out is None else out
    if type(value) in (dict, list):
        out[id(value)] = value
        for v in (value.values() if type(value) is dict else value):
            containers(v, out)
    return out


def raw_dict(items, value_spec=None):
    """A Dict bound to `value_spec` holding `items` as stored, unadopted."""
    out = Dict(value_spec=value_spec, pass_through=True)
    for k, v in items.items():
        dict.__setitem__(out, k, v)
    return out


def open_dict(items):
    return raw_dict(items, native.Dict(shapes().open_schema))


def const_dict(items):
    return raw_dict(items, spec(("x", native.Any()), ("y", native.Any())))


__all__ = ["MISSING", "Dict", "List", "shapes", "walk",
           "ordered", "same_as_package", "raw_dict", "containers", "open_dict", "const_dict", "made",
           "made_record", "to_json"]
