"""Field text form, equality and JSON form."""

import pytest

import vesk_core._native as native
from ids import stable_repr
from json_specs import JsonSpec

Field, Int, List, Str, Tuple = native.Field, native.Int, native.List, native.Str, native.Tuple


def check(value):
    return value


FULL = dict(description="d", metadata={"m": 1}, origin=int, enable_repr=False, enable_compare=True,
            enable_hash=False, enable_init=False, enable_clone=True, enable_validation=False, alias="ex")
ALL_ITEMS = ["key", "value", "description", "metadata", "origin", "enable_repr", "enable_compare",
             "enable_hash", "enable_init", "enable_clone", "enable_validation", "validator", "alias"]


def field(spec=None, **over):
    kwargs = dict(FULL, **over)
    validator = kwargs.pop("validator", check)
    return Field(kwargs.pop("key", "x"), spec or Int(), **kwargs).set_validator(validator)


@pytest.mark.parametrize("make, names", [
    (lambda: Field("x", Int()), ["key", "value"]),
    (lambda: Field("x", Int(), "", {}, enable_init=True, enable_hash=True), ["key", "value", "description", "enable_hash"]),
    (field, ALL_ITEMS),
])
def test_text_form_leaves_out_defaults(make, names):
    f = make()
    text = repr(f)
    assert text.startswith("Field(") and "\n" not in text and "\n" in str(f)
    assert [n for n in ALL_ITEMS if f", {n}=" in text or f"({n}=" in text] == names
    assert text == f.format(compact=True, list_wrap_threshold=80) == native.format(f, compact=True)
    assert str(f) == f.format(False, True, 0, list_wrap_threshold=80)
    assert f.format(compact=True, label="Other") == text  # the label is always the field's own
    for bad in (dict(compact=1), dict(verbose=None), dict(root_indent="0")):
        with pytest.raises(TypeError):
            f.format(**bad)


@pytest.mark.parametrize("expected, over", [
    (True, dict(origin=str)), (True, dict(assign="ref")),  # neither takes part
    (True, dict(metadata={"m": 1})), (True, dict(key=native.ConstStrKey("x"))),
    (False, dict(key="y")), (False, dict(spec=JsonSpec())), (False, dict(description="e")),
    (False, dict(metadata={"m": 2})), (False, dict(enable_hash=True)), (False, dict(enable_init=True)),
    (False, dict(enable_repr=None)),  # unstated differs from a stated False of the same effect
    (False, dict(enable_compare=None)), (False, dict(enable_clone=False)),
    (False, dict(enable_validation=None)), (False, dict(validator=print)),
    (False, dict(validator=None)), (False, dict(alias="other")),
], ids=stable_repr)
def test_equality_rows(expected, over):
    a, b = field(), field(**over)
    assert (a == b) is expected and (b == a) is expected and (a != b) is (not expected)


def test_non_fields_order_and_hash():
    f = Field("x", Int())
    for other in (None, 1, "x", Field, JsonSpec()):
        assert (f == other) is False and (f != other) is True
    for op in (lambda: f < f, lambda: hash(f)):
        with pytest.raises(TypeError):
            op()


def test_members_compare_under_a_shared_hold():
    class Hostile:
        def __eq__(self, other):
            return holder[0].set_description("changed")

    holder = [Field("x", Int(), Hostile())]
    with pytest.raises(RuntimeError, match="borrowed"):
        holder[0] == Field("x", Int(), "d")
    assert isinstance(holder[0].description, Hostile)


@pytest.mark.parametrize("make", [lambda: List(Int()), lambda: Tuple([Int(), Str()]),
                                  lambda: Tuple(Int()), lambda: List(List(Str()))])
def test_container_specs_with_equal_elements_are_equal(make):
    assert make() == make()


@pytest.mark.parametrize("make, keys", [
    (lambda: Field("x", JsonSpec(), enable_init=True, assign="ref"), []),
    (lambda: Field("x", JsonSpec(), "", {}), ["description"]),  # "" is written, {} is not
    (lambda: Field("x", JsonSpec(), enable_init=False), ["enable_init"]),
    (lambda: field(JsonSpec()), ["description", "metadata", "enable_repr", "enable_compare",
                                 "enable_hash", "enable_init", "enable_clone", "enable_validation", "alias"]),
])
def test_json_keys_in_order(make, keys):
    out = make().to_json()
    assert list(out) == ["_type", "key_spec", "value_spec"] + keys
    assert out["_type"] == "vesk.typing.Field" and out.get("enable_init", False) is False
    assert out["key_spec"] == {"_type": "vesk.typing.ConstStrKey", "text": "x"}


def test_from_json_defaults_and_assign():
    f = Field.from_json({"key_spec": "x", "value_spec": JsonSpec(), "assign": "ref", "_type": "?"})
    assert type(f) is Field and f.enable_init is True and f._enable_repr is None and f.assign == "ref"


@pytest.mark.parametrize("json_value, error, message", [
    ([], TypeError, "cannot be converted"),
    ({"value_spec": JsonSpec()}, ValueError, "^Field json missing 'key_spec'.$"),
    ({"key_spec": "x"}, ValueError, "^Field json missing 'value_spec'.$"),
    # every entry is read before construction, which refuses a key that is no key spec
    # with the key itself, as the constructor does
    ({"key_spec": 3}, ValueError, "^Field json missing 'value_spec'.$"),
    ({"key_spec": 3, "value_spec": JsonSpec()}, AssertionError, "^3$"),
    ({"key_spec": 3, "value_spec": JsonSpec(), "enable_repr": None}, TypeError, "enable_repr"),
    ({"key_spec": "a.b", "value_spec": JsonSpec()}, KeyError, "cannot be used in key"),
    ({"key_spec": "x", "value_spec": JsonSpec(), "enable_repr": None}, TypeError, "enable_repr"),
    ({"key_spec": "x", "value_spec": JsonSpec(), "enable_init": 0}, TypeError, "enable_init"),
    ({"key_spec": "x", "value_spec": JsonSpec(), "assign": 1}, TypeError, "assign"),
    ({"key_spec": "x", "value_spec": JsonSpec(), "metadata": [1]}, ValueError, "metadata must be a dict."),
    ({"key_spec": "x", "value_spec": JsonSpec(), "alias": ""}, TypeError, "`alias` must be a non-empty"),
])
def test_from_json_refuses_malformed_forms(json_value, error, message):
    with pytest.raises(error, match=message) as raised:
        Field.from_json(json_value)
    if error is AssertionError:
        assert raised.value.args == (json_value["key_spec"],)


def test_from_json_takes_any_value_spec_the_constructor_takes():
    # The constructor holds any object as the value spec; so does a form read back.
    f = Field.from_json({"key_spec": "x", "value_spec": {"kind": 1}})
    assert f.value == {"kind": 1} and f.key == Field("x", 3).key
    assert Field.from_json(Field("x", 3).to_json()).value == 3
