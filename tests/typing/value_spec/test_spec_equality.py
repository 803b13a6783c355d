"""Spec equality and `is_compatible` across the kinds, with hostile and lying objects."""

import re

import pytest

import vesk_core._native as native
from vesk.typing import annotation

Any, Bool, Callable, Enum, Float, Functor = (native.Any, native.Bool, native.Callable,
                                             native.Enum, native.Float, native.Functor)
Int, List, Object, Str, Tuple, Type, Union = (native.Int, native.List, native.Object, native.Str,
                                               native.Tuple, native.Type, native.Union)


def tf(x):
    return x


def tf_twin(x):  # same code object shape, different code: not the same transform
    return x + 0


class A:
    pass


class B(A):
    pass



EQUAL = [
    (lambda: Int(strict=False), lambda: Int()),  # unset strict counts as False
    (lambda: Str(regex="a+"), lambda: Str(regex="a+")),
    (lambda: Str().set_transform(tf), lambda: Str().set_transform(tf)),
    (lambda: Enum(["a", "b"]), lambda: Enum(["a", "b"])),
    (lambda: Any(annotation=int), lambda: Any(annotation=int)),
    (lambda: Object(A), lambda: Object(A)),
    (lambda: Type(A), lambda: Type(A)),
    (lambda: Union([int, str]), lambda: Union([str, int])),  # matched by candidate, not order
    (lambda: Callable([int], returns=bool), lambda: Callable([int], returns=bool)),
]

UNEQUAL = [
    (lambda: Bool(True), lambda: Bool(False)),
    (lambda: Int(), lambda: Float()),
    (lambda: Int(strict=True), lambda: Int()),
    (lambda: Int(min_value=0), lambda: Int()),
    (lambda: Int(is_noneable=True), lambda: Int()),
    (lambda: Int(5).freeze(), lambda: Int(5)),
    (lambda: Str(regex="a+"), lambda: Str(regex="b+")),
    (lambda: Str().set_transform(tf), lambda: Str().set_transform(tf_twin)),
    (lambda: Int(default_factory=lambda: 1), lambda: Int()),
    (lambda: Enum(["a", "b"]), lambda: Enum(["b", "a"])),
    (lambda: Any(annotation=int), lambda: Any(annotation=str)),
    (lambda: List(int), lambda: List(int, symbolic=True)),
    (lambda: Tuple(int), lambda: Tuple(int, min_size=1)),
    (lambda: Tuple([int]), lambda: Tuple(int)),
    (lambda: Union([int, str]), lambda: Union([int, str, bool])),
    (lambda: Object(A), lambda: Object(B)),
    (lambda: Callable([int]), lambda: Callable([str])),
    (lambda: Callable(kw=[("x", int)]), lambda: Callable(kw=[("y", int)])),
    (lambda: Functor([int]), lambda: Callable([int])),  # a base-class instance is refused
]


@pytest.mark.parametrize("make_a, make_b", EQUAL)
def test_equal_pairs(make_a, make_b):
    a, b = make_a(), make_b()
    assert a == b and b == a
    assert not (a != b)


@pytest.mark.parametrize("make_a, make_b", UNEQUAL)
def test_unequal_pairs(make_a, make_b):
    a, b = make_a(), make_b()
    assert a != b and not (a == b)


@pytest.mark.parametrize("other", [None, "Int()", re.compile("a")])
def test_comparison_with_non_specs(other):
    assert (Int() == other) is False and (Int() != other) is True


def test_orderings_and_hash():
    with pytest.raises(TypeError):
        Int() < Int()
    with pytest.raises(TypeError):
        hash(Int())
    spec = Int()
    assert spec == spec and [spec].count(spec) == 1


class Hostile:
    def __eq__(self, other):
        raise ValueError("no comparing me")

    __hash__ = object.__hash__


def test_hostile_values_end_the_comparison():
    shared = Hostile()
    assert Any(annotation=shared) == Any(annotation=shared)
    with pytest.raises(ValueError, match="no comparing me"):
        Any(annotation=Hostile()) == Any(annotation=Hostile())
    with pytest.raises(ValueError, match="no comparing me"):
        Enum([Hostile()]) == Enum([Hostile()])


def test_hostile_default_does_not_crash():
    h = Hostile()
    assert Any(default=h) == Any(default=h)
    with pytest.raises(ValueError, match="no comparing me"):  # defaults go through callable_eq
        Any(default=h) == Any(default=Hostile())


class Lying(native.Callable):

    def __new__(cls, **attrs):
        self = super().__new__(cls, [int])
        self.__dict__.update(attrs)
        return self

    def __getattribute__(self, name):
        attrs = object.__getattribute__(self, "__dict__")
        if name in attrs:
            return attrs[name]
        return super().__getattribute__(name)


@pytest.mark.parametrize(
    "attrs, error",
    [({"is_noneable": 1}, TypeError), ({"default": property(lambda s: 1 / 0)}, None), ({"args": Hostile()}, ValueError)],
)
def test_other_attributes_are_held_to_their_types(attrs, error):
    other = Lying(**attrs)
    if error is None:
        assert Callable([int]).__eq__(other) is False
    else:
        with pytest.raises(error):
            Callable([int]).__eq__(other)


def test_subclass_instances():
    assert Callable([int]).__eq__(Lying()) is True
    assert Callable([int]).__eq__(Functor([int])) is True
    assert (Callable([int]) == Functor([int])) is False
    assert Functor([int]).__eq__(Callable([int])) is False


def test_lying_compatibility_answers():
    with pytest.raises(TypeError):
        Callable([int]).is_compatible(Lying(is_noneable="yes"))
    assert Callable([int]).is_compatible(Lying(kw=[("x", Int())])) is True



COMPATIBLE = [
    ('Int(min_value=0)', 'Int()', False),
    ('Int()', 'Int(min_value=0)', True),
    ('Int(min_value=0, max_value=10)', 'Int(min_value=1, max_value=10)', True),
    ('Int()', 'Float()', False),
    ('Int(is_noneable=True)', 'Int()', True),
    ('Int()', 'Int(is_noneable=True)', False),
    ('Bool()', 'Bool(True)', True),
    ('Str(regex="a")', 'Str(regex="b")', True),  # the regex is not compared
    ('Any()', 'Int()', True),
    ('Enum(["a", "b", "c"])', 'Enum(["a", "c"])', True),
    ('Enum(["a", "b"])', 'Enum(["a", "z"])', False),
    ('Enum(["a", "b"])', 'Str("a").freeze()', True),  # frozen to one of its values
    ('Enum(["a", "b"])', 'Str("a")', False),
    ('Union([int, str])', 'Int()', True),
    ('Union([int, str, float])', 'Union([int, str])', True),
    ('List(int, max_size=3)', 'List(int)', False),
    ('List(Int(min_value=0))', 'List(int)', False),
    ('Tuple([int])', 'Tuple(int)', False),  # fixed never accepts variable
    ('Tuple(int)', 'Tuple([int, int])', True),
    ('Tuple(int, max_size=1)', 'Tuple([int, int])', False),
    ('Tuple(int, min_size=1)', 'Tuple(int)', False),
    ('Object(A)', 'Object(B)', True),
    ('Object(B)', 'Object(A)', False),
    ('Callable([int])', 'Callable([int, str])', True),
    ('Callable([Int(min_value=0)])', 'Callable([int])', False),
    ('Callable(kw=[("x", int)])', 'Callable(kw=[("x", int), ("y", str)])', True),
    ('Functor([int])', 'Callable([int])', False),
    ('Callable([int])', 'Functor([int])', True),
]


@pytest.mark.parametrize("receiver, other, expected", COMPATIBLE)
def test_compatibility_table(receiver, other, expected):
    assert eval(receiver).is_compatible(eval(other)) is expected



def test_forward_reference_receiver_is_compatible_until_resolved():
    assert Object("NotYetDefined_equality").is_compatible(Object(A)) is True
    assert Object(A).is_compatible(Object("NotYetDefined_equality")) is True


class CallTakesInt:
    def __call__(self, x):
        return x


class CallNative:
    __call__ = len


def test_callable_against_object_spec():
    assert Callable([int]).is_compatible(Object(CallTakesInt)) is True
    assert Callable([int, int, int]).is_compatible(Object(CallTakesInt)) is False
    assert Callable([int]).is_compatible(Object(CallNative)) is False  # not a plain function
    assert Callable([int]).is_compatible(Object(A)) is False  # no __call__: object's slot wrapper


class Answering(annotation.ValueSpec):

    _exact_leaf_type = None
    forward_refs = frozenset()
    is_noneable = False

    def __init__(self, answer):
        self._value_type = self.value_type = object
        self.answer = answer

    def apply(self, value, **kwargs):
        return value

    def is_compatible(self, other):
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("answer, outcome", [(True, True), (1, TypeError), (KeyError("k"), KeyError)])
def test_nested_answers_must_be_bools(answer, outcome):
    receiver = Union([Answering(answer), int])
    if isinstance(outcome, bool):
        assert receiver.is_compatible(Str()) is outcome
    else:
        with pytest.raises(outcome):
            receiver.is_compatible(Str())


