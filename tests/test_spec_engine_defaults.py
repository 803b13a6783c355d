"""Spec construction and the default rules: default versus factory, defaults
applied by the spec's own apply, how defaults are handed out and copied."""

import copy
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


@pytest.mark.parametrize("factory", [3, "x", [len]])
def test_factory_must_be_callable(factory):
    with pytest.raises(TypeError) as info:
        Int(default_factory=factory)
    assert str(info.value) == (
        f"`default_factory` must be a zero-arg callable. Encountered: {factory!r}."
    )


@pytest.mark.parametrize(
    "make, stored",
    [
        (lambda: Float(default=1), 1.0),  # coerced by the spec's own apply
        (lambda: Float(default=True), 1.0),
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


def test_custom_typed_default_sees_a_spec_of_its_own_class():
    seen = []

    class Custom:
        __vesk_custom_typing__ = False  # presence counts, not truth

        def custom_apply(self, path, value_spec, allow_partial=False, child_transform=None):
            seen.append((type(value_spec), value_spec.default, allow_partial))
            return (False, self)

    value = Custom()
    assert Int(default=value).default is value
    assert Float(default=value, min_value=0).default is value
    assert [s[0] for s in seen] == [Int, Float]
    # The temporary spec has no default yet; the default is resolved partially.
    assert all(s[1] == MISSING and s[2] is True for s in seen)


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
        ("s", False),
        (None, False),
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


def test_copies_share_or_copy_the_default():
    default = [1, 2]
    spec = Any(default=default)
    assert copy.copy(spec).default is default
    deep = copy.deepcopy(spec)
    assert type(deep) is Any and deep.default == default and deep.default is not default
    # One deep copy of a structure meets the shared default once.
    outer, spec_copy = copy.deepcopy([default, spec])
    assert spec_copy.default is outer
    # A default that holds the spec itself copies into the copy.
    holder = []
    cyclic = Any(default=holder)
    holder.append(cyclic)
    cyclic_copy = copy.deepcopy(cyclic)
    assert cyclic_copy.default[0] is cyclic_copy


def test_deepcopy_shares_unhandled_defaults_through_the_memo():
    value = object()
    spec = Any(default=value)
    memo = {}
    first = spec.__deepcopy__(memo)
    assert first.default is value and memo[id(value)] is value
    assert spec.__deepcopy__(memo) is first
    assert spec.__deepcopy__(None) is not first


def test_building_before_the_bridge_is_an_internal_error():
    from fresh import run_fresh

    proc = run_fresh(
        """
        from vesk_core._native import Int
        try:
            Int()
        except RuntimeError as e:
            print(e)
        """
    )
    assert proc.stdout.strip() == "typing bridge not installed"
