"""The surface every scalar spec class shares: class facts, options, copies; and Any."""

import copy
import re

import pytest

import vesk_core._native as native
from leaks import assert_no_leak
from vesk_core._native import Any, Bool, Enum, Float, Int, Str

MAKERS = {Bool: lambda **kw: Bool(**kw), Str: lambda **kw: Str(regex="a", **kw),
          Int: lambda **kw: Int(min_value=0, **kw), Float: lambda **kw: Float(max_value=1.5, **kw),
          Enum: lambda **kw: Enum(["a", "b"], **kw), Any: lambda **kw: Any(annotation=int, **kw)}
KINDS = list(MAKERS)
GOOD_DEFAULT = {Bool: True, Str: "ab", Int: 1, Float: 1.0, Enum: "a", Any: 1}


@pytest.mark.parametrize("cls", KINDS)
def test_class_facts(cls):
    assert cls.__module__ == "vesk_core._native"
    assert cls.__serialization_key__ == f"vesk.typing.{cls.__name__}"
    assert issubclass(cls, native.SpecBase) and cls.__vesk_formattable__ is True
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if cls in (Bool, Any):  # no type arguments
        assert not hasattr(cls, "with_type_args")
        with pytest.raises(TypeError):
            cls[int]


@pytest.mark.parametrize("cls", KINDS)
def test_common_options_and_copies(cls):
    make = MAKERS[cls]
    spec = make()
    assert spec._strict is None and spec.frozen is False and spec.default_factory is None
    factory = make(default_factory=lambda: None)
    assert factory.default_factory is not None and factory.has_default
    with pytest.raises(ValueError, match="Cannot specify both"):
        make(default_factory=list, default=GOOD_DEFAULT[cls])
    with pytest.raises(TypeError, match="frozen"):
        make(frozen=1)
    spec = make(strict=False)
    for dup in (copy.copy(spec), spec.__copy__(), copy.deepcopy(spec), spec.__deepcopy__(None)):
        assert type(dup) is cls and dup is not spec
        assert dup._strict is False and repr(dup) == repr(spec)


def test_reference_copy_shares_and_deep_copy_copies_the_payload_and_the_default():
    values = ["a", "b"]
    spec = Enum(values)
    assert copy.copy(spec).values is values
    deep = copy.deepcopy(spec)
    assert deep.values == values and deep.values is not values
    note = ["annotation"]
    a = Any(annotation=note)
    assert copy.copy(a)._annotation is note
    assert copy.deepcopy(a)._annotation == note and copy.deepcopy(a)._annotation is not note
    s = Str(regex="a+")
    assert copy.deepcopy(s).regex is s.regex  # compiled once, shared
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


def test_deepcopy_memo():
    spec = Int(min_value=1)
    memo = {}
    first = spec.__deepcopy__(memo)
    assert spec.__deepcopy__(memo) is first
    assert memo[id(memo)] == [spec]
    assert spec.__deepcopy__(None) is not spec.__deepcopy__(None)
    with pytest.raises(TypeError):
        spec.__deepcopy__({id(spec): "unrelated"})
    a, b = copy.deepcopy([spec, spec])
    assert a is b and a is not spec
    # A default the copy does not handle is shared through the memo.
    value = object()
    spec = Any(default=value)
    memo = {}
    first = spec.__deepcopy__(memo)
    assert first.default is value and memo[id(value)] is value


@pytest.mark.parametrize(
    "cls, json_value, check",
    [
        (Str, {"regex": "a+", "is_noneable": True},
         lambda s: s.regex.pattern == "a+" and s.is_noneable),
        # The class decides the kind; "_type" and keys of other kinds are not read.
        (Int, {"_type": "vesk.typing.Str", "regex": "a", "gt": 0, "le": 9},
         lambda s: (s.min_value, s.max_value) == (1, 9)),
        (Enum, {"values": ["a", None], "is_noneable": False},
         lambda s: s.values == ["a", None] and s.is_noneable),
        (Any, {"annotation": None, "transform": None},
         lambda s: s._annotation is None and s.transform is None and s.is_noneable),
        (Any, {}, lambda s: s._annotation is s.default),
    ],
)
def test_from_json(cls, json_value, check):
    spec = cls.from_json(json_value, forwarded=True)
    assert type(spec) is cls and check(spec)


@pytest.mark.parametrize(
    "cls, json_value, error, message",
    [(Enum, {"values": None}, ValueError, "Values for Enum should be a non-empty list"),
     (Enum, {}, ValueError, "Enum json missing 'values'."), (Str, [], TypeError, "PyDict")],
)
def test_from_json_errors(cls, json_value, error, message):
    with pytest.raises(error, match=re.escape(message)):
        cls.from_json(json_value)


class CustomTyped:
    __vesk_custom_typing__ = False  # presence counts, not truth

    def custom_apply(self, path, spec, allow_partial, child_transform):
        self.seen = (type(spec), spec.default, allow_partial)
        return False, self


def twice(x):
    return x * 2


@pytest.mark.parametrize("cls", KINDS)
def test_skip_user_transform_and_custom_typed_default(cls):
    spec = MAKERS[cls]()
    assert spec.skip_user_transform is spec
    spec.set_transform(twice)
    twin = spec.skip_user_transform
    assert type(twin) is cls and twin is not spec
    assert twin.transform is None and spec.transform is twice
    assert twin.default is spec.default
    value = CustomTyped()
    spec = Enum([value, "b"], default=value) if cls is Enum else MAKERS[cls](default=value)
    assert spec.default is value and value.seen[0] is cls
    # The temporary spec has no default yet; the default is resolved partially.
    assert value.seen[1] == native.MissingValue() and value.seen[2] is True


def test_any_annotation():
    assert Any()._annotation is Any().default  # the bridge's missing value
    assert Any(annotation=None)._annotation is None
    assert Any().is_noneable is True and Any().apply(None) is None
    with pytest.raises(TypeError):
        Any(is_noneable=True)
    spec = Any(annotation=int)
    before = repr(spec)
    assert spec.annotate(str) is spec
    assert spec._annotation is str and repr(spec) != before  # the cached text is dropped
    with pytest.raises(TypeError):
        Any.annotate(Int(), int)


def _raises(fn):
    try:
        fn()
    except Exception:
        return
    raise AssertionError("expected an error")


@pytest.mark.parametrize("path", [
        lambda: [MAKERS[cls](default=GOOD_DEFAULT[cls]) for cls in KINDS],
        lambda: [copy.deepcopy(MAKERS[cls]()) for cls in KINDS] + [copy.copy(Enum([1, 2]))],
        lambda: (Int[0, 9], Float[None, 1.5], Str["a+"], Enum["a", "b"], Any().annotate(int)),
        lambda: Int(min_value=1).skip_user_transform,
        lambda: (Int.from_json({"gt": 1}, k=1), Enum.from_json({"values": [1]}),
                 Any.from_json({"annotation": 1, "transform": None})),
        lambda: _raises(lambda: Enum.from_json({}, k=1)),
        lambda: _raises(lambda: (s := Int()).__deepcopy__({id(s): 1})),
        lambda: (s := Float(min_value=0.0, default_factory=lambda: 1)).set_default(2)
        .set_default_factory(lambda: 3).set_strict(None).noneable().noneable(False)
        .materialize_default(),
        lambda: (Int(default=5).freeze(), Int()("7"), copy.deepcopy(Any(default=[1, {"a": 2}]))),
])
def test_no_reference_leaks(path):
    assert_no_leak(path)
