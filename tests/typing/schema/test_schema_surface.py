"""Schema surface: mapping members, key resolution, text form, equality,
copies and the JSON form."""

import copy
import threading

import pytest

import vesk_core._native as native
from json_specs import JsonSpec
from races import started

Schema, Field, Dict, Int, Str, StrKey = (native.Schema, native.Field, native.Dict, native.Int,
                                         native.Str, native.StrKey)


def sample(**kwargs):
    return Schema([Field("a", Int()), Field("b", Str(), "B")], **kwargs)


class SubSchema(Schema):
    pass


def test_views_setters_and_no_len_or_iter():
    s = sample(name="n")
    keys, cache = s.keys(), s._const_apply_fields
    s.fields["c"] = Field("c", Int())  # the getter hands out the dict itself
    assert list(keys) == ["a", "b", "c"] and [k for k, _ in s.items()] == list(keys) == [f.key for f in s.values()]
    assert s.set_name(["any"]) is None and s.set_description(3) is None
    assert (s.name, s.description, s._const_apply_fields) == (["any"], 3, cache)
    for op in (len, iter):
        with pytest.raises(TypeError):
            op(s)


def test_resolve_hands_out_its_own_claims():
    s = sample()
    claimed, unclaimed = s.resolve(iter(["b", "z", "a"]))
    assert list(claimed.values()) == [["a"], ["b"]] and unclaimed == ["z"]
    claimed["a"].append("z")
    del claimed["b"]
    assert list(s.resolve([])[0].values()) == [["a"], ["b"]]
    # The general road reads the cached claims: a dict subclass takes it.
    assert s.apply(type("M", (dict,), {})(a=1, b="x")) == {"a": 1, "b": "x"}
    wild = Field(StrKey("x"), Int())
    claimed, unclaimed = Schema([Field("a", Int()), wild], allow_nonconst_keys=True).resolve(["xa", "a", "q"])
    assert claimed[wild.key] == ["xa"] and claimed["a"] == ["a"] and unclaimed == ["q"]


def test_text_forms_and_options():
    s = sample()
    assert repr(s) == s.format(compact=True, list_wrap_threshold=80) and "\n" not in repr(s)
    assert str(s) == s.format(list_wrap_threshold=80) and repr(Field("a", Int())) in repr(s)
    assert repr(Schema([], name="N", allow_nonconst_keys=True, metadata={"m": 1})) == "Schema(name='N', metadata={'m': 1})"
    empty = Schema([])
    assert empty.format(compact=True, cls_name="Foo") == "Foo(allow_nonconst_keys=False)"
    assert empty.format(compact=True, fields_only=True, cls_name=None, label="X") == repr(empty)
    assert empty.format(compact=True, bracket_type=1) != repr(empty)
    for bad in (dict(fields_only=1), dict(compact=None), dict(root_indent="1")):
        with pytest.raises(TypeError):
            empty.format(**bad)


@pytest.mark.parametrize("make_other, expected", [
    (lambda: sample(name="other", description="d", metadata={"m": 1}), True),
    (lambda: SubSchema([Field("b", Str(), "B"), Field("a", Int())]), True),  # order takes no part
    (lambda: Schema([Field("a", Int()), Field("b", Str(), "other")]), False),
    (lambda: Schema([Field("a", Int())]), False),
    (lambda: {"a": 1}, False),
])
def test_equality_rows(make_other, expected):
    s, other = sample(), make_other()
    assert (s == other) is expected and (s != other) is (not expected)
    for op in (lambda: s < s, lambda: hash(s)):
        with pytest.raises(TypeError):
            op()


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copies_are_plain_schemas_with_own_caches(make_copy):
    s = SubSchema([Field("a", Int()), Field(StrKey(), Str())], name="n", metadata={"m": [1]},
                  allow_nonconst_keys=True)
    c = make_copy(s)
    assert type(c) is Schema and c == s and c.name is s.name and c.allow_nonconst_keys
    assert c.dynamic_field == s.dynamic_field and c._open_plan_info() == s._open_plan_info()
    shared = make_copy is copy.copy
    assert all((a is b) is shared for a, b in zip(c.values(), s.values()))
    assert (c.metadata is s.metadata) is shared and c.metadata == s.metadata


def test_deep_copy_memo():
    s = sample(metadata={"k": 1})
    s.metadata["self"] = s
    c = copy.deepcopy(s)
    assert c.metadata["self"] is c
    a, b = copy.deepcopy([s, s])
    assert a is b and a is not s
    assert s.__deepcopy__({id(s): c}) is c and copy.deepcopy(sample(), None) == sample()
    with pytest.raises(TypeError, match="cannot be converted to 'Schema'"):
        s.__deepcopy__({id(s): object()})

    class Refuses:
        def __deepcopy__(self, memo):
            raise RuntimeError("no")

    s, memo = Schema([Field("a", Int())], metadata={"r": Refuses()}), {}
    with pytest.raises(RuntimeError, match="no"):
        s.__deepcopy__(memo)
    assert memo[id(s)].metadata is s.metadata  # the registered copy keeps its shallow state


def test_dict_spec_deep_copies_its_schema():
    spec = Dict([("a", Int()), ("b", Dict([("c", Str())]))])
    clone = copy.deepcopy(spec)
    assert clone == spec and repr(clone.schema) == repr(spec.schema)
    assert clone.schema is not spec.schema
    assert clone.schema["b"].value.schema is not spec.schema["b"].value.schema
    assert clone.apply({"a": 1, "b": {"c": "x"}}) == {"a": 1, "b": {"c": "x"}}


@pytest.mark.parametrize("make, keys", [
    (lambda: Schema([], metadata={}), []),
    (lambda: Schema([Field("a", JsonSpec())]), ["fields"]),
    (lambda: Schema([Field(StrKey(), JsonSpec())], "n", description="", allow_nonconst_keys=True, metadata={"m": 1}),
     ["fields", "name", "description", "allow_nonconst_keys", "metadata"]),
])
def test_json_keys_in_order(make, keys):
    s = make()
    out = s.to_json()
    assert list(out) == ["_type"] + keys and out.get("allow_nonconst_keys", True) is True
    assert out.get("fields", []) == [f.to_json() for f in s.values()]
    assert type(SubSchema.from_json(out)) is Schema


def test_json_keywords_reach_every_nested_conversion():
    s = Schema([Field("a", JsonSpec(), JsonSpec("d"))], name=JsonSpec("n"), metadata={"m": JsonSpec()})
    JsonSpec.calls = []
    try:
        out = s.to_json(flavour=1)
        assert JsonSpec.calls == [("to_json", {"flavour": 1})] * 4
        JsonSpec.calls.clear()
        assert Schema.from_json(out, flavour=2) == s
        assert JsonSpec.calls == [("from_json", {"flavour": 2})] * 4
    finally:
        JsonSpec.calls = None


FIELD = {"_type": "vesk.typing.Field", "key_spec": "a",
         "value_spec": {"_type": "tests.typing.JsonSpec", "kind": "int"}}


def nested_form(depth):
    form = {"_type": "vesk.typing.Schema"}
    for _ in range(depth):
        spec = {"_type": "tests.typing.JsonSpec", "kind": "dict", "schema": form}
        form = {"_type": "vesk.typing.Schema", "fields": [dict(FIELD, value_spec=spec)]}
    return form


@pytest.mark.parametrize("json_value, error, message", [
    ("x", TypeError, "cannot be converted"),
    ({"allow_nonconst_keys": None}, TypeError, "allow_nonconst_keys"),
    ({"fields": {"a": 1}}, TypeError, "Argument 'fields' must be a list."),
    # construction reads each item's `key`: what has none cannot be built
    ({"fields": [FIELD, 1]}, AttributeError, "'int' object has no attribute 'key'"),
    ({"fields": [dict(FIELD, key_spec={"_type": "vesk.typing.StrKey"})]}, ValueError, "NonConstKey is not allowed"),
    (nested_form(60), ValueError, "Schema json is nested too deeply: more than 100 fields and schemas"),
])
def test_from_json_refuses_malformed_forms(json_value, error, message):
    with pytest.raises(error, match=message):
        Schema.from_json(json_value)


@pytest.mark.parametrize("metadata", [[1], "m", 3, (1, 2), {"m": [1]}])
def test_from_json_reads_back_any_metadata_construction_keeps(metadata):
    s = Schema([Field("a", JsonSpec())], metadata=metadata)
    back = Schema.from_json(s.to_json())
    assert back.metadata == metadata and type(back.metadata) is type(metadata)
    assert back == s


def test_from_json_takes_any_item_with_a_key_and_a_value():
    class Item:  # all that construction and its cached metadata read of an item
        key = native.ConstStrKey("a")
        value = native.Int()
        validator = None

    form = {"fields": [Item()]}
    assert list(Schema.from_json(form).fields) == [Item.key]


def test_nesting_is_counted_per_thread():
    # Eight threads each 80 deep at once: a shared count would pass 100.
    barrier, results = threading.Barrier(8), [None] * 8

    def read(i):
        barrier.wait()
        results[i] = Schema.from_json(nested_form(40))["a"].value.kind

    threads = [threading.Thread(target=read, args=(i,)) for i in range(8)]
    with started(threads, barrier):
        pass
    assert results == ["dict"] * 8


def test_surface_leaves_no_references():
    from leaks import assert_no_leak

    s = Schema([Field("a", JsonSpec(), "A"), Field(StrKey(), JsonSpec())], name="n",
               allow_nonconst_keys=True, metadata={"m": 1})

    def roundtrip():
        Schema.from_json(s.to_json()) == s
        copy.copy(s), copy.deepcopy(s), repr(s), s.resolve(["a", "q"]), sample().resolve(["a"])
        for bad in ({"fields": [1]}, {"metadata": 2}, nested_form(60)):
            try:
                Schema.from_json(bad)
            except (TypeError, ValueError, AttributeError):
                pass
        try:
            Field.from_json({"key_spec": "x", "value_spec": 3})
        except TypeError:
            pass

    assert_no_leak(roundtrip, calls=30)
