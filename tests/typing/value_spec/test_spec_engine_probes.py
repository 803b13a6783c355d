"""What a spec stands for as a whole: its annotation, class-wide strictness
and the probes through which fast paths are chosen."""

import typing

import pytest

from vesk.typing.handles import FastApplyInfo
import vesk_core._native as n
from vesk_core._native import Any, Bool, Enum, Int, MissingValue, Str

MISSING = MissingValue()


@pytest.mark.parametrize(
    "make, annotation",
    [
        (lambda: Int(), int),
        (lambda: Int(is_noneable=True), typing.Optional[int]),
        (lambda: Str(is_noneable=True), typing.Optional[str]),
        (lambda: Enum(["a", "b"]), str),
        (lambda: Any(annotation=list[int]), list[int]),
        (lambda: Any(), MISSING),
        (lambda: Any(annotation=int).noneable(), int),  # never optional
        (lambda: n.Union([n.Int(), n.Str()]), typing.Union[int, str]),
        # A missing annotation is filled with typing.Any; Any makes the union noneable.
        (lambda: n.Union([n.Int(), Any()]), typing.Optional[typing.Union[int, typing.Any]]),
        (lambda: n.Object(int), int),
        (lambda: n.List(n.Int()), list[int]),
        (lambda: n.List(n.Int(), is_noneable=True), typing.Optional[list[int]]),
        (lambda: n.Tuple([n.Int(), n.Str()]), tuple[int, str]),
        (lambda: n.Type(int), type[int]),
        (lambda: n.Callable([n.Int()], returns=n.Str()), typing.Callable[[int], str]),
        (lambda: n.Callable([Any()]), typing.Callable[[typing.Any], None]),
        (lambda: n.Callable([n.Int()], kw=[("a", n.Int())]), typing.Callable[..., None]),
    ],
)
def test_annotation(make, annotation):
    assert make().annotation == annotation


def test_materialize_strict_sets_only_an_unset_flag():
    spec = Int()
    repr(spec)
    assert spec._materialize_strict() is None
    assert spec._strict is True and spec.strict
    # Strictness is visible in the text form right away (the cached repr is dropped).
    assert "strict=True" in repr(spec)
    spec = Int(strict=False)
    spec._materialize_strict()
    assert spec._strict is False


# (spec, exact leaf, checked leaf, custom apply, custom validate, validate no-op)
PROBES = [
    (lambda: Int(), int, None, False, True, True),
    (lambda: Int(min_value=0), None, int, False, True, False),
    (lambda: Str(), str, None, False, True, True),
    (lambda: Str(regex="x"), None, str, False, True, False),
    (lambda: Bool(), bool, None, False, False, True),
    (lambda: Enum([1, 2]), None, int, False, True, False),
    (lambda: Any(), object, None, False, False, True),
    (lambda: Int(default=1, frozen=True), None, None, False, True, True),
    (lambda: Any(transform=str), None, None, False, False, True),
    (lambda: Int(min_value=0).set_transform(abs), None, None, False, True, False),
    (lambda: n.Union([n.Int(), n.Str()]), None, None, True, False, True),
    (lambda: n.Object(int), None, None, True, False, True),
    (lambda: n.Type(int), None, None, False, True, False),
    (lambda: n.Callable(), None, None, False, True, False),
]


@pytest.mark.parametrize("make, exact, checked, custom_apply, custom_validate, noop", PROBES)
def test_probes(make, exact, checked, custom_apply, custom_validate, noop):
    spec = make()
    assert spec._exact_leaf_type is exact
    assert spec._checked_leaf_type is checked
    assert spec._has_custom_apply is custom_apply
    assert spec._has_custom_validate is custom_validate
    assert spec._validate_is_noop is noop
    info = spec.fast_apply_info
    assert type(info) is FastApplyInfo
    assert info == (FastApplyInfo(True, exact) if exact is not None else FastApplyInfo())
    assert spec._is_any_type is isinstance(spec, Any)
    assert spec._is_inherit_marker is False
    assert spec._value_type_plain is not isinstance(spec, n.Callable)


def test_value_type_plain_follows_the_value_type():
    import enum

    class Color(enum.Enum):
        RED = 1

    # An enumeration class has its own metaclass: its instance test is not plain.
    assert Enum([Color.RED])._value_type_plain is False
    assert Enum([1, "a"])._value_type_plain is False  # unrelated values: no value type


def test_strictness_reaches_union_candidates_only():
    loose = Str(strict=False)
    union = n.Union([Int(), loose])
    union._materialize_strict()
    assert union._strict is True
    assert [c._strict for c in union.candidates] == [True, False]
    elements = [Int(), Int(strict=False)]
    for element in elements:
        n.List(element)._materialize_strict()
    assert [e._strict for e in elements] == [True, False]
    element = Int()
    call = n.Callable([element])
    call._materialize_strict()
    assert call._strict is True and element._strict is None  # signatures are not fields


def test_noneable_union_reaches_its_candidates():
    union = n.Union([Int(), Str()])
    union.noneable()
    assert union.default is None and union.is_noneable
    # Candidates become noneable but keep their own (missing) defaults.
    assert all(c.is_noneable and c.default == MISSING for c in union.candidates)
    union.noneable(False)
    assert union.default == MISSING
    assert not any(c.is_noneable for c in union.candidates)


def test_calling_composite_kinds():
    class Point:
        def __init__(self, x=0):
            self.x = x

    made = n.Object(Point)(x=3)
    assert type(made) is Point and made.x == 3
    assert n.Type(int)() is int
    for spec in (n.Union([n.Int(), n.Str()]), n.Callable(), n.Functor()):
        with pytest.raises(TypeError, match=r"cannot be instantiated\.$"):
            spec()
