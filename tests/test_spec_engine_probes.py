"""What a spec stands for as a whole: its annotation, class-wide strictness
and the probes through which fast paths are chosen."""

import typing

import pytest

from vesk.typing.handles import FastApplyInfo
from vesk_core._native import Any, Bool, Enum, Float, Int, MissingValue, Str

MISSING = MissingValue()


@pytest.mark.parametrize(
    "make, annotation",
    [
        (lambda: Int(), int),
        (lambda: Int(is_noneable=True), typing.Optional[int]),
        (lambda: Float(min_value=0), float),
        (lambda: Bool(), bool),
        (lambda: Str(regex="a+"), str),
        (lambda: Str(is_noneable=True), typing.Optional[str]),
        (lambda: Enum(["a", "b"]), str),
        (lambda: Any(annotation=list[int]), list[int]),
        (lambda: Any(), MISSING),
    ],
)
def test_annotation(make, annotation):
    assert make().annotation == annotation


def test_annotation_of_any_is_never_optional():
    spec = Any(annotation=int)
    spec.noneable()
    assert spec.annotation is int


def test_materialize_strict_sets_only_an_unset_flag():
    spec = Int()
    assert spec._materialize_strict() is None
    assert spec._strict is True and spec.strict
    for strict in (False, True):
        spec = Int(strict=strict)
        spec._materialize_strict()
        assert spec._strict is strict
    # Strictness is visible in the text form right away (the cached repr is dropped).
    spec = Int()
    before = repr(spec)
    spec._materialize_strict()
    assert repr(spec) != before and "strict=True" in repr(spec)


# (spec, exact leaf, checked leaf, custom apply, custom validate, validate no-op)
PROBES = [
    (lambda: Int(), int, None, False, True, True),
    (lambda: Int(min_value=0), None, int, False, True, False),
    (lambda: Float(max_value=1.0), None, float, False, True, False),
    (lambda: Str(), str, None, False, True, True),
    (lambda: Str(regex="x"), None, str, False, True, False),
    (lambda: Bool(), bool, None, False, False, True),
    (lambda: Enum([1, 2]), None, int, False, True, False),
    (lambda: Any(), object, None, False, False, True),
    (lambda: Int(default=1, frozen=True), None, None, False, True, True),
    (lambda: Int(min_value=0, default=1, frozen=True), None, None, False, True, False),
    (lambda: Any(transform=str), None, None, False, False, True),
    (lambda: Int(min_value=0).set_transform(abs), None, None, False, True, False),
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
    assert spec._value_type_plain is True


def test_value_type_plain_follows_the_value_type():
    import enum

    class Color(enum.Enum):
        RED = 1

    # An enumeration class has its own metaclass: its instance test is not plain.
    assert Enum([Color.RED])._value_type_plain is False
    assert Enum([1, 2])._value_type_plain is True
    assert Enum([1, "a"])._value_type_plain is False  # unrelated values: no value type
