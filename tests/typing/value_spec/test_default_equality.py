"""Equality of specs, fields and schemas whose defaults, factories,
transforms or validators are equal but were made apart: the stand-in's
`callable_eq` compares them by `==` once identity and the function test
have not decided, so a spec equals its twin and its JSON round trip."""

import pytest

import vesk_core._native as native
from vesk.typing.handles import callable_eq

Any, Dict, Field, Int, List, Schema, Str = (native.Any, native.Dict, native.Field, native.Int,
                                            native.List, native.Schema, native.Str)


def nested_schema():
    return Schema([Field("x", Int(default=1)),
                   Field("d", Dict([("y", Str(default="-")), ("z", List(Int(), default=[1]))]))])


def made():
    """A new function object each call, all of one code."""
    return lambda x: x


twin = made()


class Loose:
    """Equal to any Loose; its `==` answers a truthy non-bool."""

    def __eq__(self, other):
        return ["yes"] if isinstance(other, Loose) else []

    __hash__ = object.__hash__


@pytest.mark.parametrize("a, b", [
    ([1, 2], [1, 2]),                        # equal values made apart
    ({"a": [1]}, {"a": [1]}),
    (twin, made()),                          # same code and defaults
    (Loose(), Loose()),                      # a truthy non-bool answer is True
])
def test_equal_made_apart(a, b):
    assert a is not b and callable_eq(a, b) is True


@pytest.mark.parametrize("a, b", [
    ([1], [2]), (twin, lambda x: x + 1), (len, abs), (1, "1"), (twin, None),
])
def test_different(a, b):
    assert callable_eq(a, b) is False


@pytest.mark.parametrize("make", [
    lambda: Any(default=[1, 2]),
    lambda: List(Int(), default=[1]),
    lambda: Dict({"a": Int()}),               # each builds its own default dict
    lambda: Dict([("a", Int(default=1)), ("b", Dict([("c", Str())]))]),
    lambda: Field("k", Dict([("a", Int())])),
    lambda: Field("k", Int()).set_validator(twin),
    nested_schema,
])
def test_twins_are_equal(make):
    a, b = make(), make()
    assert a == b and not a != b


def test_different_defaults_stay_different():
    assert Any(default=[1]) != Any(default=[2])
    assert Dict([("a", Int(default=1))]) != Dict([("a", Int(default=2))])
    assert Field("k", Int()).set_validator(twin) != Field("k", Int()).set_validator(len)


@pytest.mark.parametrize("make", [
    nested_schema,
    lambda: Dict([("a", Int(default=1)), ("b", Dict([("c", Str())]))]),
    lambda: Field("k", Dict([("a", List(Str(), default=["s"]))])),
])
def test_json_round_trip_is_equal(make):
    value = make()
    back = type(value).from_json(value.to_json())
    assert back is not value and back == value
    assert back.to_json() == value.to_json()
