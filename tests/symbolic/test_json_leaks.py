"""No reference leaks on the JSON walk and the object JSON seams, their
declines and failures included (checked under the debug interpreter)."""

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, List
from json_trees import made, made_record, open_dict, raw_dict, shapes
from leaks import assert_no_leak


def _roads():
    s = shapes()
    walk = native._native_to_json_walk
    loop = Dict()
    dict.__setitem__(loop, "x", loop)
    cyclic = [1]
    cyclic.append(cyclic)

    def cases():
        walk(made(s.Point, a=List([1, Dict(x=[2.5])]), b="s", c=1))
        walk(made_record(s.Rec, a=Dict(y=None), b=2))
        walk(open_dict({"first": 1, "z": List([2]), "last": 3}))
        walk(raw_dict({"a": Inferred(1)}))
        walk(made(s.Custom, a=1))
        walk(List(["_type"]))
        walk(s.Rec())
        with pytest.raises(RecursionError):
            walk(loop)
        with pytest.raises(AttributeError):
            walk(s.Point.__new__(s.Point))
        obj = made(s.Flat, a=[1, {"k": [2]}], b={"_type": 1}, c=cyclic)
        native._native_inline_object_to_json(obj, "a")
        native._native_inline_object_to_json(obj, "ab")
        native._native_inline_object_to_json(obj, "c")
        native._native_inline_object_to_json(obj, "z")
        native._native_inline_object_to_json_open(obj)
        with pytest.raises(TypeError):
            native._native_inline_object_to_json(obj, 5)
        native._native_from_json_all_plain({"a": [1, {"b": b"x"}], "c": cyclic}, "ac")
        native._native_from_json_all_plain({"a": ["__tuple__"]}, "a")
        with pytest.raises(TypeError):
            native._native_from_json_all_plain({"a": 1}, 5)

    return cases


def test_no_leaks():
    assert_no_leak(_roads(), calls=30)
