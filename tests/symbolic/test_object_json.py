"""The object JSON seams: an object's fields to JSON in plan order or in
its open schema's order, and the test whether JSON input can be handed to a
class unconverted. Each declines (None, False) where the package's own loop
must decide, and raises only what a Python operation it runs raises."""

import pytest

import vesk_core._native as native
from helpers import Dict
from json_trees import made, made_record, ordered, shapes
from object_helpers import object_class

to_json = native._native_inline_object_to_json
to_json_open = native._native_inline_object_to_json_open
all_plain = native._native_from_json_all_plain


def flat(**fields):
    return made(shapes().Flat, **fields)


def test_fields_follow_the_plan_after_type_and_containers_are_copied():
    inner = {"k": [1, {"j": None}], 2: "int key"}
    b = [1, 2]
    obj = flat(b=b, a=1, c=inner)
    out = to_json(obj, ("a", "b", "c"))
    assert ordered(out) == ordered({"_type": "tests.Flat", "a": 1, "b": [1, 2], "c": inner})
    assert out["b"] is not b and out["c"] is not inner and out["c"]["k"] is not inner["k"]
    assert to_json(obj, iter(["c"])) == {"_type": "tests.Flat", "c": inner}


@pytest.mark.parametrize("fields, plan", [
    (lambda shared: {"a": shared, "b": shared}, "ab"),       # one list, two fields
    (lambda shared: {"a": [shared, shared]}, "a"),           # twice inside one field
    (lambda shared: {"a": (1,)}, "a"),
    (lambda shared: {"a": made(shapes().Flat, a=1)}, "a"),   # a nested object
    (lambda shared: {"a": Dict(x=1)}, "a"),                  # a dict subclass
    (lambda shared: {"a": {"_type": 1}}, "a"),
    (lambda shared: {"a": [{"\\_type": 1}]}, "a"),
    (lambda shared: {"a": ["__tuple__", 1]}, "a"),
    (lambda shared: {"a": b"x"}, "a"),
    (lambda shared: {"a": 1}, "ab"),                         # a plan key the object lacks
])
def test_what_the_closed_seam_declines(fields, plan):
    assert to_json(flat(**fields([1])), plan) is None


def test_equal_but_distinct_lists_are_fine():
    assert to_json(flat(a=[1], b=[1]), "ab") == {"_type": "tests.Flat", "a": [1], "b": [1]}


@pytest.mark.parametrize("make", [
    lambda: 5, lambda: shapes().Flat.__new__(shapes().Flat),
    lambda: made_record(shapes().Rec, a=1, b=2),
])
def test_non_objects_blank_objects_and_records_decline_the_closed_seam(make):
    assert to_json(make(), "a") is None


def test_blank_objects_and_records_decline_the_open_seam(Open):
    assert to_json_open(Open.__new__(Open)) is None
    rec = made_record(shapes().Rec, a=1, b=2)
    type(rec).__schema__, saved = Open.__schema__, type(rec).__schema__
    try:
        assert to_json_open(rec) is None
    finally:
        type(rec).__schema__ = saved


def test_bad_arguments_and_failing_reads_raise():
    with pytest.raises(TypeError):
        to_json(flat(a=1), 5)
    with pytest.raises(TypeError):
        to_json(flat(a=1))
    with pytest.raises(TypeError):  # an unhashable plan key
        to_json(flat(a=1), [[]])
    with pytest.raises(AttributeError):
        to_json_open(5)  # no __schema__ on its class


def _cyclic():
    a = [1]
    a.append(a)
    return a


def _deep(depth):
    root = node = {}
    for _ in range(depth):
        node["x"] = node = {}
    return root


@pytest.mark.parametrize("value, copied", [
    (_cyclic(), False), (_deep(100), True), (_deep(100_000), False),
])
def test_cycles_and_very_deep_values_decline_without_crashing(value, copied):
    out = to_json(flat(a=value), "a")
    assert (out is not None) is copied
    if copied:
        assert out["a"] == value


@pytest.fixture(scope="module")
def Open():
    fields = [native.Field(native.ConstStrKey("first"), native.Any()),
              native.Field(native.StrKey(), native.Any()),
              native.Field(native.ConstStrKey("last"), native.Any())]
    cls = object_class("Open", [], topo=False)
    cls.__schema__ = native.Schema(fields, allow_nonconst_keys=True)
    return cls


def test_the_open_seam_places_extra_keys_at_the_wildcard(Open):
    obj = made(Open, z=[1], last=2, first=0, a=None)
    out = to_json_open(obj)
    assert list(out.items()) == [("_type", "tests.Open"), ("first", 0), ("z", [1]), ("a", None),
                                 ("last", 2)]
    assert out["z"] is not obj.field_dict()["z"]


@pytest.mark.parametrize("fields", [
    {"first": 0, "last": 1, "int": 1},      # a non-str key (5 in place of "int")
    {"first": 0, "last": 1, "__ref__": 1},  # a marker key among the extras
    {"first": 0},                           # a constant key absent
    {"first": 0, "last": 1, "x": (1,)},
])
def test_what_the_open_seam_declines(Open, fields):
    obj = made(Open, **fields)
    if "int" in fields:
        obj.field_dict()[5] = obj.field_dict().pop("int")
    assert to_json_open(obj) is None


def test_the_open_seam_needs_a_native_open_schema():
    closed = object_class("Closed", [("a", native.Any())], topo=False)
    assert to_json_open(made(closed, a=1)) is None
    plain = object_class("Plain", [("a", native.Any())], topo=False)
    plain.__schema__ = None
    assert to_json_open(made(plain, a=1)) is None


class Eq:
    def __eq__(self, other):
        raise ZeroDivisionError


class NoContains:
    pass


@pytest.mark.parametrize("value, safe, expect", [
    ({}, (), True),
    ({"a": 1}, (), False),
    ({"a": [1, {"s": b"x"}]}, {"a"}, True),
    ({"a": ["__tuple__", 1]}, {"a"}, False),
    ({"a": {"x": {"__symbolic__": 1}}}, {"a"}, False),
    ({"a": {"_type": "x"}}, {"a"}, False),
    ({"a": {"\\\\__context__": 1}}, {"a"}, False),
    ({"a": (1,)}, {"a"}, False),
    ({"a": [[], {}]}, {"a"}, True),
    ("Dict", {"a"}, False),   # not exactly a dict
    ([1], {"a"}, False),
    ({"a": [Eq()]}, {"a"}, ZeroDivisionError),
    ({"a": 1}, NoContains(), TypeError),
])
def test_the_from_json_test(value, safe, expect):
    value = Dict(a=1) if value == "Dict" else value
    if isinstance(expect, type):
        with pytest.raises(expect):
            all_plain(value, safe)
    else:
        assert all_plain(value, safe) is expect


def test_the_from_json_test_ends_on_cycles_shared_and_deep_input():
    loop = [1]
    loop.append(loop)
    assert all_plain({"a": loop}, {"a"}) is False
    top = {"a": 1}
    top["b"] = [top]
    assert all_plain(top, {"a", "b"}) is False
    shared = [1]
    assert all_plain({"a": shared, "b": shared}, {"a", "b"}) is False
    assert all_plain({"a": _deep(100)}, {"a"}) is True
    assert all_plain({"a": _deep(100_000)}, {"a"}) is False


def test_registered_signatures():
    import inspect
    assert str(inspect.signature(to_json)) == "(obj, plan)"
    assert str(inspect.signature(to_json_open)) == "(obj, /)"
    assert str(inspect.signature(all_plain)) == "(json_value, raw_safe)"
