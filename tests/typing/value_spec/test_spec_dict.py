"""The Dict spec: its schema forms, type arguments, default rules, getters,
text form and applies on the schema and open roads."""

import copy
import typing

import pytest

import vesk_core._native as native

Dict, Schema, Field, Int, Str = native.Dict, native.Schema, native.Field, native.Int, native.Str


class TD(typing.TypedDict):
    a: int


def keys(spec):
    return [str(k) if k.is_const else type(k).__name__ for k in spec.schema.keys()]


@pytest.mark.parametrize(
    "arg, expect",
    [
        ({"a": int}, ["a"]),
        ([("a", int), ("b", str)], ["a", "b"]),
        (int, ["StrKey"]),
        ("int-spec", ["StrKey"]),
    ],
)
def test_schema_forms(arg, expect):
    spec = Dict(Int() if arg == "int-spec" else arg)
    assert isinstance(spec.schema, Schema) and keys(spec) == expect


def test_schema_is_kept_and_getters_default():
    s = Schema([Field("a", Int())])
    assert Dict(s).schema is s
    for spec in (Dict(), Dict(None)):
        assert (spec.schema, spec.symbolic, spec.auto_wrap) == (None, None, True)
    spec = Dict(s, symbolic=False, auto_wrap=False)
    assert (spec.symbolic, spec.auto_wrap) == (False, False)


def test_type_arguments():
    assert keys(Dict[str, int]) == ["StrKey"] and Dict[int, str].schema is None
    assert keys(Dict[{"a": int}]) == ["a"]
    for bad, shown in [((int,), "(<class 'int'>,)"), ((), "()"), ((int, str, int), None)]:
        with pytest.raises(TypeError) as info:
            Dict.with_type_args(bad)
        assert "`vk.typing.Dict` accepts 1 dict type argument" in str(info.value)
        if shown:
            assert str(info.value).endswith(f"Encountered: {shown}.")


def test_factory_only_default_is_the_schema_applied_to_an_empty_dict():
    calls = []

    class Counting(Schema):
        def apply(self, value, **kw):
            calls.append(kw.get("allow_partial"))
            return super().apply(value, **kw)

    s = Counting([Field("a", Int(default=1))])
    spec = Dict(s, default_factory=dict)
    assert spec.default == {"a": 1} and True in calls
    assert spec.default_factory is None
    plain = Dict(default_factory=dict)
    assert plain.default_factory is dict
    assert isinstance(plain.default, type(native.missing_value_singleton()))


def test_apply_through_the_schema():
    spec = Dict([("a", Int()), ("b", Str(default="x"))])
    d = {"a": 1}
    assert spec.apply(d) is d and d == {"a": 1, "b": "x"}
    with pytest.raises(KeyError, match="are not allowed in Schema"):
        spec.apply({"a": 1, "z": 2})
    with pytest.raises(TypeError, match=r"path=a"):
        spec.apply({"a": "s"})
    assert Dict().apply({1: 2}) == {1: 2}


def test_open_road_applies_entries_and_writes_changed_ones():
    spec = Dict(native.Float())
    d = {"x": 1, "y": 2.5}
    y = d["y"]
    assert spec.apply(d) is d
    assert type(d["x"]) is float and d["y"] is y
    out = spec.apply({"x": 1}, inplace=False)
    assert out == {"x": 1.0}
    with pytest.raises(TypeError, match=r"path=x"):
        Dict(int).apply({"x": "s"})
    # A non-str key leaves the open road for the schema, which refuses it.
    with pytest.raises(KeyError, match=r"\[3\]"):
        Dict(int).apply({3: 1})


def test_format_never_shows_the_default():
    assert repr(Dict(default={}, is_noneable=True)) == "Dict(noneable=True)"
    assert repr(Dict(symbolic=True, auto_wrap=False)) == "Dict(symbolic=True, auto_wrap=False)"
    assert copy.deepcopy(Dict(symbolic=True)).symbolic is True


def test_forward_refs_are_those_of_the_schema_fields():
    from vesk.typing import forward_ref

    later = Dict([("a", native.Type("LaterTarget")), ("b", Int())])
    refs = later.forward_refs
    assert [ref.name for ref in refs] == ["LaterTarget"]
    assert later.type_resolved is False
    cls = type("LaterTarget", (), {})
    forward_ref.register_forward_ref_target([], cls)
    try:
        assert later.type_resolved is True
    finally:
        forward_ref.forget_forward_ref_target(cls)
    # No schema, or a schema of resolved specs: an empty set.
    assert Dict().forward_refs == set() == Dict({"a": int}).forward_refs
    assert Dict().type_resolved is True
    # A Union holding such a Dict has no type map (its candidates are not
    # all resolved classes) but still takes the Dict's values.
    union = native.Union([later, Int()])
    assert union._candidate_type_map is None
    assert union.apply(3) == 3
