"""No reference leaks on the JSON walk and the object JSON seams, their
declines and failures included (checked under the debug interpreter)."""

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, List
from json_trees import made, made_record, raw_dict, shapes
from leaks import assert_no_leak


def test_no_leaks():
    s, walk = shapes(), native._native_to_json_walk
    loop, cyclic = Dict(), [1]
    dict.__setitem__(loop, "x", loop)
    cyclic.append(cyclic)
    obj = made(s.Flat, a=[1, {"k": [2]}], b={"_type": 1})

    def cases():
        walk(made(s.Point, a=List([1, Dict(x=[2.5])]), b="s", c=1))
        walk(made_record(s.Rec, a=Dict(y=None), b=2))
        for declined in (raw_dict({"a": Inferred(1)}), made(s.Custom, a=1), s.Rec()):
            walk(declined)
        for value, error in ((loop, RecursionError), (s.Point.__new__(s.Point), AttributeError)):
            with pytest.raises(error):
                walk(value)
        for plan in ("a", "ab", "z"):
            native._native_inline_object_to_json(obj, plan)
        native._native_inline_object_to_json(made(s.Flat, a=cyclic), "a")
        native._native_inline_object_to_json_open(obj)
        native._native_from_json_all_plain({"a": [1, {"b": b"x"}], "c": cyclic}, "ac")
        with pytest.raises(TypeError):
            native._native_from_json_all_plain({"a": 1}, 5)

    assert_no_leak(cases, calls=30)
