"""The shared Python surface of specs: getters, the apply entries, the
mutators and their guard, calling a spec, `|` and to_json_schema."""

import pytest

import vesk_core._native as native
from vesk_core._native import Any, Enum, Float, Int, MissingValue, SpecBase, Str

MISSING = MissingValue()
REFUSED = (
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns."
)


def test_spec_base_is_an_abstract_base():
    assert SpecBase.__module__ == "vesk_core._native"
    with pytest.raises(TypeError, match="cannot create"):
        SpecBase()

    class Sub(SpecBase):
        pass

    with pytest.raises(TypeError, match="cannot create"):
        Sub()
    with pytest.raises(TypeError):
        SpecBase.default.__get__(object())


@pytest.mark.parametrize("strict, public, raw", [(None, False, None), (True, True, True), (False, False, False)])
def test_getters(strict, public, raw):
    spec = Int(strict=strict)
    assert spec.strict is public and spec._strict is raw
    assert Int().set_strict(strict)._strict is raw
    assert spec.value_type is int and spec._value_type is int
    assert spec.default == MISSING and spec._default == MISSING
    assert spec.transform is None and spec._transform is None
    assert spec.is_noneable is False and spec._is_noneable is False
    assert spec.type_resolved is True and spec.forward_refs == frozenset()


def test_apply_entries():
    spec = Int(min_value=0)
    assert spec.apply(3) == 3
    # The per-kind step alone: no type check, no validation.
    assert spec._apply("x", False, None, None) == "x"
    assert spec._validate(None, 3) is None
    with pytest.raises(ValueError, match=r"out of range.*\(path=x\)$"):
        spec._validate(native.KeyPath("x"), -5)
    # The path is rendered only for a failure.
    rendered = []

    class Path:
        def __str__(self):
            rendered.append(1)
            return "p"

    assert spec._validate(Path(), 3) is None and spec.apply(3, root_path=Path()) == 3
    assert Str(regex="a+")._validate(Path(), "aa") is None and not rendered
    with pytest.raises(ValueError, match=r"\(path=p\)$"):
        spec._validate(Path(), -5)
    assert rendered == [1]
    for call in (lambda: spec.apply(1, allow_partial=1), lambda: spec.apply(1, inplace=None)):
        with pytest.raises(TypeError, match="allow_partial|inplace"):
            call()
    with pytest.raises(TypeError):
        spec._apply(1)


def test_set_default():
    spec = Float(default_factory=lambda: 1.0)
    assert spec.set_default(MissingValue()) is spec
    assert spec.default_factory is not None  # a missing value keeps the factory
    assert spec.set_default(2).default == 2.0 and spec.default_factory is None
    assert spec.set_default(3, use_default_apply=False).default == 3  # stored as given
    with pytest.raises(TypeError, match="Expect"):
        spec.set_default("x")
    assert spec.default == 3  # a failed set keeps the previous default
    with pytest.raises(ValueError, match=r"\(path=p\)"):
        Int(min_value=0).set_default(-1, root_path=native.KeyPath("p"))


def test_set_default_factory_and_transform():
    spec = Int(default=1)
    factory = lambda: 4  # noqa: E731
    assert spec.set_default_factory(factory) is spec
    assert spec.default_factory is factory and spec.default == MISSING
    assert spec.set_default_factory(None).default_factory is None
    with pytest.raises(TypeError, match=r"^`default_factory` must be a zero-arg callable\. Encountered: 5\.$"):
        spec.set_default_factory(5)
    with pytest.raises(TypeError, match=r"^`transform` must be a single-arg callable\. Encountered: 'x'\.$"):
        spec.set_transform("x")
    assert spec.set_transform(str).transform is str
    with pytest.raises(TypeError, match="Expect"):  # the transformed value is checked
        spec.apply(7)
    assert spec.set_transform(None).transform is None
    with pytest.raises(TypeError, match="strict"):
        spec.set_strict(1)


@pytest.mark.parametrize(
    "make, on, off",
    [
        (lambda: Int(), None, MISSING),
        (lambda: Int(default=1), 1, 1),
        (lambda: Int(default_factory=lambda: 1), MISSING, MISSING),
    ],
)
def test_noneable_defaults(make, on, off):
    spec = make()
    assert spec.noneable() is spec and spec.is_noneable and spec.default == on
    assert spec.apply(None) is None
    spec.noneable(False)
    assert not spec.is_noneable and spec.default == off
    assert make().noneable(use_none_as_default=False).default != None  # noqa: E711


def test_noneable_enum_edits_its_values():
    values = [1, 2]
    spec = Enum(values)
    spec.noneable()
    assert spec.values == [1, 2, None] and spec.is_noneable
    spec.noneable()
    assert spec.values == [1, 2, None]  # not twice
    spec.set_default(None)
    spec.noneable(False)
    assert spec.values == [1, 2] and spec.default == MISSING and not spec.is_noneable


def test_freeze():
    spec = Float(default_factory=lambda: 2)
    assert spec.freeze() is spec and spec.frozen and spec.default == 2.0
    assert spec.apply(MissingValue()) == 2.0 and spec.apply(2.0) == 2.0
    with pytest.raises(ValueError, match="Frozen field is not assignable"):
        spec.apply(3.0)
    assert Int().freeze(5).default == 5
    assert Float().freeze(5).default == 5.0  # applied before use
    assert Float().freeze(5, apply_before_use=False).default == 5
    with pytest.raises(ValueError, match=r"^Cannot freeze Int\(\) without a default value\.$"):
        Int().freeze()
    with pytest.raises(TypeError, match="Expect"):
        Int().freeze("x")


def test_calling_a_spec():
    assert Int()("3") == 3
    assert Int(default=5)() == 5
    assert Int(default=5, frozen=True)("9") == 5
    assert Int(default_factory=lambda: 7)() == 7  # the factory's product, not a missing value
    assert Float(default_factory=lambda: 7)() == 7.0
    with pytest.raises(ValueError, match="out of range"):
        Int(min_value=0)("-1")
    with pytest.raises(TypeError, match=r"^Any\(\) cannot be instantiated\.$"):
        Any()()


def test_or_builds_a_union_either_way():
    union = Int() | Str()
    assert [type(c) for c in union.candidates] == [Int, Str]
    union = int | Str()
    assert [type(c) for c in union.candidates] == [Int, Str]  # the class becomes a spec


def test_to_json_schema_passes_keywords():
    assert Int().to_json_schema() == {"type": "integer"}
    assert Str().to_json_schema(title="t") == {"type": "string", "title": "t"}
    with pytest.raises(TypeError):
        Int().to_json_schema(1)


MUTATIONS = {
    "set_default": lambda s: s.set_default(1),
    "set_default_factory": lambda s: s.set_default_factory(None),
    "set_transform": lambda s: s.set_transform(None),
    "set_strict": lambda s: s.set_strict(True),
    "noneable": lambda s: s.noneable(),
    "freeze": lambda s: s.freeze(1),
    "_materialize_strict": lambda s: s._materialize_strict(),
    "annotate": lambda s: s.annotate(int),
}


@pytest.mark.parametrize("mutate", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_mutation_from_own_transform_is_refused(mutate):
    caught = []

    def transform(value):
        assert spec.default == MISSING  # reads are still allowed
        if not calls:  # once: a mutator may apply through this transform again
            calls.append(value)
            try:
                mutate(spec)
            except RuntimeError as e:
                caught.append(str(e))
        return value

    calls = []

    spec = Any(transform=transform)
    assert spec.apply(4) == 4
    assert caught == [REFUSED]
    assert spec.default == MISSING and not spec.frozen and spec._strict is None
    assert spec.transform is transform and spec._annotation == MISSING


def test_read_during_mutation_is_refused():
    seen = []

    class Peek:
        def __eq__(self, other):
            try:
                spec.default
            except RuntimeError as e:
                seen.append(str(e))
            return False

        __hash__ = object.__hash__

    spec = Enum([Peek(), 1])
    spec.noneable()
    assert seen and set(seen) == {"Already mutably borrowed"}
