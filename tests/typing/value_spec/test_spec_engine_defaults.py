"""Spec construction and the default rules: default versus factory, defaults
applied by the spec's own apply, how defaults are handed out and copied."""

import dataclasses

import pytest

from vesk_core._native import Any, Enum, Float, Int, MissingValue, Str

MISSING = MissingValue()


def test_default_and_factory_exclude_each_other():
    with pytest.raises(ValueError, match=r"^Cannot specify both `default` and `default_factory`\.$"):
        Int(default=1, default_factory=lambda: 2)
    factory = lambda: 2  # noqa: E731
    spec = Int(default_factory=factory)
    assert spec.default == MISSING and spec.default_factory is factory and spec.has_default
    # An explicit missing value next to a factory is no default at all.
    assert Int(default=MissingValue(), default_factory=factory).default_factory is factory
    with pytest.raises(TypeError) as info:
        Int(default_factory=[len])
    assert str(info.value) == "`default_factory` must be a zero-arg callable. Encountered: [<built-in function len>]."


@pytest.mark.parametrize(
    "make, stored",
    [
        (lambda: Float(default=1), 1.0),  # coerced by the spec's own apply
                (lambda: Any(default=1, transform=lambda v: v + 1), 2),  # transformed
        (lambda: Float(default=2, frozen=True), 2.0),  # applied before freezing
        (lambda: Int(default=None, is_noneable=True), None),
    ],
)
def test_default_is_stored_applied(make, stored):
    spec = make()
    assert spec.default == stored and type(spec.default) is type(stored)


def test_default_rejected_by_own_apply_fails_construction():
    with pytest.raises(ValueError, match="out of range"):
        Int(default=-1, min_value=0)
    with pytest.raises(TypeError, match="Expect"):
        Str(default=1)
    with pytest.raises(ValueError, match="not in candidate list"):
        Enum([1, 2], default=3)
    with pytest.raises(ValueError, match=r"^Value cannot be None\. \(Path='', ValueSpec=Int\(\)\)$"):
        Int(default=None)  # an explicit None is a value like any other


@dataclasses.dataclass
class Point:
    x: int = 0


class Marked:
    __vesk_copy_if_default__ = True

    def __init__(self):
        self.items = [1]


@pytest.mark.parametrize(
    "default, copied",
    [
        ([1, [2]], True),
        ({"a": [1]}, True),
        ({1, 2}, True),
        ((1, [2]), True),
        (bytearray(b"ab"), True),
        (Point(1), True),
        (Marked(), True),
        (1, False),
        (Point, False),  # a class is never copied, dataclass or not
        (object(), False),
    ],
    ids=lambda v: type(v).__name__,
)
def test_materialize_default_copies_mutable_defaults(default, copied):
    spec = Any(default=default)
    first, second = spec.materialize_default(), spec.materialize_default()
    if copied:
        assert first is not default and first is not second
        assert type(first) is type(default)
        if isinstance(default, (list, dict)):
            assert first == default
    else:
        assert first is default and second is default


def test_materialize_default_with_factory():
    calls = []

    def factory():
        calls.append(1)
        return 3

    spec = Float(default_factory=factory)
    partial = spec.materialize_default(allow_partial=True)
    assert isinstance(partial, MissingValue) and calls == []
    made = spec.materialize_default()
    assert made == 3.0 and type(made) is float and calls == [1]
    with pytest.raises(TypeError, match="allow_partial"):
        spec.materialize_default(allow_partial=1)
