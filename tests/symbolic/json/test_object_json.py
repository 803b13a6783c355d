"""The object JSON seams: fields to JSON in plan order or in the open
schema's order, and the from-JSON test. Each declines (None, False) where
the package's own loop must decide, cyclic and very deep values included."""

import inspect

import pytest

import vesk_core._native as native
from helpers import Dict
from json_trees import made, made_record, ordered, shapes, walk
from object_helpers import object_class

to_json = native._native_inline_object_to_json
to_json_open = native._native_inline_object_to_json_open
all_plain = native._native_from_json_all_plain


def _cyclic():
    a = [1]
    a.append(a)
    return a


def _deep(depth):
    root = node = {}
    for _ in range(depth):
        node["x"] = node = {}
    return root


def test_fields_follow_type_then_the_plan_and_containers_are_copies():
    inner, b = {"k": [1, {"j": None}], 2: "int key"}, [1, 2]
    out = to_json(made(shapes().Flat, b=b, a=inner), ("b", "a"))
    assert ordered(out) == ordered({"_type": "tests.Flat", "b": [1, 2], "a": inner})
    assert out["b"] is not b and out["a"] is not inner and out["a"]["k"] is not inner["k"]
    assert str(inspect.signature(to_json)) == "(obj, plan)"


@pytest.mark.parametrize("fields, copied", [
    (lambda s: {"a": s, "b": s}, False),            # one list in two fields
    (lambda s: {"a": [1], "b": [1]}, True),         # equal but distinct
    (lambda s: {"a": [s, s]}, False), (lambda s: {"a": (1,)}, False),
    (lambda s: {"a": made(shapes().Flat, a=1)}, False), (lambda s: {"a": Dict(x=1)}, False),
    (lambda s: {"a": {"_type": 1}}, False), (lambda s: {"a": [{"\\_type": 1}]}, False),
    (lambda s: {"a": ["__tuple__", 1]}, False), (lambda s: {"a": 1}, False),  # "b" absent
    (lambda s: {"a": _cyclic()}, False), (lambda s: {"a": _deep(100), "b": 1}, True),
    (lambda s: {"a": _deep(100_000)}, False),
])
def test_what_the_closed_seam_copies_or_declines(fields, copied):
    out = to_json(made(shapes().Flat, **fields([1])), "ab")
    assert (out is not None) is copied


def test_non_objects_blank_objects_records_and_bad_plans():
    s = shapes()
    for obj in (5, s.Flat.__new__(s.Flat), made_record(s.Rec, a=1, b=2)):
        assert to_json(obj, "a") is None
    for plan, error in ((5, TypeError), ([[]], TypeError)):
        with pytest.raises(error):
            to_json(made(s.Flat, a=1), plan)
    with pytest.raises(AttributeError):
        to_json_open(5)  # no __schema__ on its class
    closed = made(s.Flat, a=1)
    assert to_json_open(closed) is None  # no open plan
    type(closed).__schema__, saved = None, type(closed).__schema__
    try:
        assert to_json_open(closed) is None
    finally:
        type(closed).__schema__ = saved


@pytest.mark.parametrize("fields, keys", [
    ({"z": [1], "last": 2, "first": 0, "a": None}, ["_type", "first", "z", "a", "last"]),
    ({"first": 0, "last": 1, 5: 1}, None),          # a non-str key
    ({"first": 0, "last": 1, "__ref__": 1}, None),  # a marker among the extras
    ({"first": 0}, None), ({"first": 0, "last": 1, "x": (1,)}, None), ("blank", None),
])
def test_the_open_seam_places_extra_keys_at_the_wildcard(fields, keys):
    cls = object_class("Open", [], topo=False)
    cls.__schema__ = shapes().open_schema
    obj = cls.__new__(cls) if fields == "blank" else made(cls)
    if fields != "blank":
        obj.field_dict().update(fields)
    out = to_json_open(obj)
    assert (out and list(out)) == keys and (not out or out["z"] is not fields["z"])


class TypeLike:
    """Not a str, but a dict takes it for "_type"."""

    def __hash__(self):
        return hash("_type")

    def __eq__(self, other):
        return other == "_type"


def _open_typed():
    cls = object_class("OpenTyped", [], topo=False)
    cls.__schema__ = native.Schema([native.Field(native.ConstStrKey("_type"), native.Any()),
                                    native.Field(native.StrKey(), native.Any())],
                                   allow_nonconst_keys=True)
    return to_json_open(made(cls, _type="not.the.class", x=1))


def _closed_typed_like():
    obj, key = made(shapes().Flat, a=1), TypeLike()
    obj.field_dict()[key] = "x"
    return to_json(obj, ("a", key))


@pytest.mark.parametrize("convert", [
    lambda: to_json(made(shapes().Flat, a=1, _type="not.the.class"), ("a", "_type")),
    _closed_typed_like, _open_typed,
])
def test_no_field_replaces_the_type_head(convert):
    assert convert() is None
    assert to_json(made(shapes().Flat, a=1, _type="x"), ("a",)) == {"_type": "tests.Flat", "a": 1}


class PosingAsHead(str):
    """A text of its own, but a dict takes it for "_type"."""

    def __hash__(self):
        return hash("_type")

    def __eq__(self, other):
        return other == "_type" or str.__eq__(self, other)


class OwnHash(str):
    """The text "_type" under a hash of its own: a dict keeps it beside "_type"."""

    def __hash__(self):
        return 1


def _with_key(key, topo, *, wildcard_only=False):
    """An object of an open schema (or of one wildcard field alone) whose
    fields hold `key` besides a plain entry."""
    fields = [native.Field(native.StrKey(), native.Any())]
    if not wildcard_only:
        fields.insert(0, native.Field(native.ConstStrKey("a"), native.Any()))
    cls = object_class("Keyed", [], topo=topo)
    cls.__schema__ = native.Schema(fields, allow_nonconst_keys=True)
    obj = made(cls, a=1)
    obj.field_dict()[key] = "evil.Class"
    return obj


# Every road that writes an entry into an object's form, with a key that
# would take the place of its "_type" head or stand beside it.
@pytest.mark.parametrize("convert", [
    lambda: to_json_open(_with_key(PosingAsHead("x"), False)),
    lambda: walk(_with_key(PosingAsHead("x"), True)),
    lambda: walk(_with_key(TypeLike(), True, wildcard_only=True)),
    lambda: to_json(_with_key(OwnHash("_type"), False), ("a", OwnHash("_type"))),
], ids=["open seam", "walk, open schema", "walk, wildcard field", "closed seam"])
def test_no_entry_takes_or_repeats_the_type_head(convert):
    assert convert() is None


class IntPosingAsHead(int):
    """An int a dict takes for "_type"; a symbolic dict takes it as an int key."""

    def __hash__(self):
        return hash("_type")

    def __eq__(self, other):
        return other == "_type" or int.__eq__(self, other)


# Every road that copies a dictionary's keys into a JSON-ready dict, with a
# key that the package's reader would take for its "_type" marker.
@pytest.mark.parametrize("key", [PosingAsHead("x"), IntPosingAsHead(3)], ids=["str", "int"])
@pytest.mark.parametrize("convert", [
    lambda k: walk(Dict({k: 1})),
    lambda k: walk(made(shapes().Point, a=Dict({k: 1}))),
    lambda k: to_json(made(shapes().Flat, a={k: 1}, b=1), "ab"),
    lambda k: to_json(made(shapes().Flat, a=[{k: 1}], b=1), "ab"),
], ids=["dict at the top", "dict field", "plain dict field", "dict in a list"])
def test_no_dict_form_keeps_a_key_posing_as_a_marker(convert, key):
    assert convert(key) is None
    assert convert(3) is not None  # an exact int key travels as it is


class Eq:
    def __eq__(self, other):
        raise ZeroDivisionError


@pytest.mark.parametrize("value, safe, expect", [
    ({}, (), True), ({"a": 1}, (), False), ({"a": [1, {"s": b"x"}, [], {}]}, "a", True),
    ({"a": ["__tuple__", 1]}, "a", False), ({"a": {"x": {"__symbolic__": 1}}}, "a", False),
    ({"a": {"_type": "x"}}, "a", False), ({"a": {"\\\\__context__": 1}}, "a", False),
    ({"a": (1,)}, "a", False), ([1], "a", False), ({"a": [Eq()]}, "a", ZeroDivisionError),
    ({"a": 1}, 5, TypeError),
    ({"a": _cyclic()}, "a", False), ({"a": _deep(100)}, "a", True),
    ({"a": _deep(100_000)}, "a", False), ({"a": [1], "b": [1]}, "ab", True),
])
def test_the_from_json_test(value, safe, expect):
    if isinstance(expect, type):
        with pytest.raises(expect):
            all_plain(value, safe)
    else:
        assert all_plain(value, safe) is expect


def test_the_from_json_test_refuses_containers_met_twice():
    shared, top = [1], {"a": 1}
    top["b"] = [top]
    assert all_plain({"a": shared, "b": shared}, "ab") is False
    assert all_plain(top, "ab") is False
    assert all_plain(Dict(a=1), "a") is False  # not exactly a dict
