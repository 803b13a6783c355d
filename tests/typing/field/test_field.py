import copy
import gc
import threading
import weakref
from contextlib import suppress

import pytest

from fresh import run_fresh
from leaks import assert_no_leak
import vesk_core._native as native

Field = native.Field
KeyPath = native.KeyPath
MISSING = native.missing_value_singleton()


class FakeSpec:
    annotation = int
    default = MISSING
    frozen = False
    symbolic = None
    has_default = False
    default_factory = None
    _exact_leaf_type = None
    _checked_leaf_type = None

    def __init__(self, result=None, log=None):
        self.result = result
        self.log = log if log is not None else []

    def apply(self, value, **kwargs):
        self.log.append(("spec", value, kwargs))
        return value if self.result is None else self.result

    def extend(self, base):
        merged = FakeSpec(log=self.log)
        merged.extended_from = (self, base)
        return merged

    def _materialize_strict(self):
        self.log.append(("strict", self))

    def __deepcopy__(self, memo):
        clone = FakeSpec(self.result, [])
        clone.copied_from = self
        return clone


def test_str_key_is_converted_key_specs_are_kept_and_others_asserted():
    assert Field("x", FakeSpec()).key == native.ConstStrKey("x")
    key = native.ListKey(1)
    spec = FakeSpec()
    f = Field(key, spec)
    assert f.key is key and f.value is spec and f._key is key and f._value is spec
    for key in (3, None):
        with pytest.raises(AssertionError) as info:
            Field(key, FakeSpec())
        assert info.value.args == (key,)


def test_metadata_rules():
    passed = {}
    assert Field("x", FakeSpec(), metadata=passed).metadata is not passed
    assert Field("x", FakeSpec(), metadata=[]).metadata == {}
    full = {"a": 1}
    assert Field("x", FakeSpec(), metadata=full).metadata is full
    with pytest.raises(ValueError, match=r"^metadata must be a dict\.$"):
        Field("x", FakeSpec(), metadata=[1])


@pytest.mark.parametrize("alias", ["", 5])
def test_alias_must_be_a_non_empty_str(alias):
    message = f"`alias` must be a non-empty string. Encountered: {alias!r}."
    with pytest.raises(TypeError) as info:
        Field("x", FakeSpec(), alias=alias)
    assert info.value.args == (message,)
    f = Field("x", FakeSpec(), alias="ok")
    with pytest.raises(TypeError) as info:
        f.set_alias(alias)
    assert info.value.args == (message,) and f.alias == "ok"


@pytest.mark.parametrize("kwargs", [{"enable_init": None}, {"enable_hash": "yes"}, {"assign": 3}, {"bogus": 1}])
def test_argument_and_raw_setter_conversion_refusals(kwargs):
    with pytest.raises(TypeError):
        Field("x", FakeSpec(), **kwargs)
    [(name, value)] = kwargs.items()
    if name != "bogus":
        with pytest.raises(TypeError):
            setattr(Field("x", FakeSpec()), "_" + name, value)


def test_defaults_and_positional_arguments():
    origin = object()
    f = Field("x", FakeSpec(), "about", {"m": 1}, origin, assign="ref", alias="y")
    assert (f.description, f.metadata, f.origin, f.assign, f.alias) == ("about", {"m": 1}, origin, "ref", "y")
    with pytest.raises(TypeError):
        Field("x", FakeSpec(), None, None, None, None)  # flags are keyword-only
    with pytest.raises(TypeError):
        type("Sub", (Field,), {})  # final

FLAGS = ["enable_repr", "enable_compare", "enable_hash", "enable_clone", "enable_validation"]


@pytest.mark.parametrize("flag", FLAGS)
def test_unstated_flags_follow_enable_init(flag):
    f = Field("x", FakeSpec(), enable_init=False)
    assert getattr(f, flag) is False and getattr(f, "_" + flag) is None
    f._enable_init = True
    assert getattr(f, flag) is True and f.enable_init is True
    setattr(f, "_" + flag, False)
    assert getattr(f, flag) is False and getattr(f, "_" + flag) is False
    with pytest.raises(TypeError):
        setattr(f, "_" + flag, 1)


@pytest.mark.parametrize("attr, value", [("_key", 42), ("_metadata", 42), ("_assign", "any text"), ("_assign", None)])
def test_raw_attributes_store_unchecked_and_refuse_deletion(attr, value):
    f = Field("x", FakeSpec(), assign="adopt")
    setattr(f, attr, value)
    assert getattr(f, attr) == value
    with pytest.raises(AttributeError):
        delattr(f, attr)


def test_setter_results_validator_check_and_value_spec_attributes():
    f = Field("x", FakeSpec())
    assert f.set_alias("a") is f and f.set_alias(None) is f and f.alias is None
    assert f.set_validator(len) is f and f.validator is len
    assert f.set_validator(None) is f and f.validator is None
    with pytest.raises(TypeError) as info:
        f.set_validator(5)
    assert info.value.args == ("`validator` must be a single-arg callable. Encountered: 5.",)
    # Value-spec attributes are read by name.
    spec = f.value
    assert f.annotation is int and f.default_value is MISSING and f.frozen is False
    spec.frozen = 1
    with pytest.raises(TypeError):
        f.frozen


def test_apply_order_value_spec_then_transform_then_validator():
    log = []
    spec = FakeSpec(result="from spec", log=log)
    f = Field("x", spec)
    f.set_validator(lambda v: log.append(("validator", v)) or "ignored")

    def transform(path, field, value):
        log.append(("transform", path, field, value))
        return "transformed"

    path = KeyPath("a")
    assert f.apply(1, True, transform, path, False) == "transformed"
    assert log == [
        ("spec", 1, {"allow_partial": True, "child_transform": transform, "root_path": path,
                     "inplace": False}),
        ("transform", path, f, "from spec"),
        ("validator", "transformed"),
    ]


@pytest.mark.parametrize("root_path", [None, KeyPath()])
def test_transform_gets_a_new_empty_path_when_none_given(root_path):
    seen = []
    Field("x", FakeSpec()).apply(1, transform_fn=lambda p, f, v: seen.append(p), root_path=root_path)
    assert seen == [KeyPath()] and seen[0] is not root_path


def test_missing_value_is_not_validated():
    f = Field("x", FakeSpec(result=MISSING))
    f.set_validator(lambda v: 1 / 0)
    assert f.apply(1) is MISSING


@pytest.mark.parametrize("failing", ["spec", "transform"])
def test_failures_before_the_validator_pass_unchanged(failing):
    error = KeyError("t")

    class Failing(FakeSpec):
        def apply(self, value, **kwargs):
            raise error

    def transform(path, field, value):
        raise error

    f = Field("x", Failing() if failing == "spec" else FakeSpec()).set_validator(len)
    with pytest.raises(KeyError) as info:
        f.apply(1, transform_fn=transform)
    assert info.value is error and info.value.__cause__ is None


class TwoArgs(Exception):
    def __init__(self, a, b):
        super().__init__(a, b)


class Custom(ValueError):
    pass


@pytest.mark.parametrize("original, root_path, args", [
    (ValueError("bad"), None, ("bad (path=)",)),
    (Custom("no"), KeyPath("k"), ("no (path=k)",)),  # a subclass is kept
    (TwoArgs(1, 2), KeyPath("k"), None),  # a class not built from one message is kept
])
def test_validator_failure_is_raised_again_with_the_path(original, root_path, args):
    def validator(value):
        raise original

    f = Field("x", FakeSpec()).set_validator(validator)
    with pytest.raises(type(original)) as info:
        f.apply(1, root_path=root_path)
    if args is None:
        assert info.value is original
    else:
        assert type(info.value) is type(original) and info.value.args == args
        assert info.value.__cause__ is original


@pytest.mark.parametrize("flag", FLAGS)
@pytest.mark.parametrize("base, child, expected", [(False, None, False), (False, True, True), (None, None, None),
                                                   (True, None, None), (True, False, False)])
def test_extend_merges_each_stated_false(flag, base, child, expected):
    b = Field("x", FakeSpec(), **{flag: base})
    c = Field("x", FakeSpec(), **{flag: child})
    assert c.extend(b) is c
    assert getattr(c, "_" + flag) is expected


def test_extend_enable_init_validator_alias_and_description():
    validator = len
    b = Field("x", FakeSpec(), "base text", enable_init=False, alias="wire")
    b.set_validator(validator)
    c = Field("x", FakeSpec(), "")
    c.extend(b)
    assert (c.enable_init, c.validator, c.alias, c.description) == (False, validator, "wire", "base text")
    own = Field("x", FakeSpec(), "mine", alias="own").set_validator(abs)
    own.extend(b)
    assert (own.validator, own.alias, own.description) == (abs, "own", "mine")


def test_extend_metadata_merge():
    base_meta = {"a": 1, "b": 1}
    own_meta = {"b": 2}
    c = Field("x", FakeSpec(), metadata=own_meta)
    c.extend(Field("x", FakeSpec(), metadata=base_meta))
    assert c.metadata == {"a": 1, "b": 2} and c.metadata is not own_meta
    assert base_meta == {"a": 1, "b": 1}
    kept = Field("x", FakeSpec(), metadata=own_meta)
    kept.extend(Field("x", FakeSpec()))
    assert kept.metadata is own_meta


def test_extend_key_and_value_spec_and_refusals():
    key = native.ListKey(1)
    spec = FakeSpec()
    c = Field(key, spec)
    base_spec = FakeSpec()
    c.extend(Field(native.ListKey(0, 10), base_spec))
    assert c.key is key and key.max_value == 10
    assert c.value.extended_from == (spec, base_spec)
    with pytest.raises(TypeError):
        Field("x", FakeSpec()).extend("not a field")
    c = Field("a", FakeSpec())
    before = c.value
    with pytest.raises(KeyError):
        c.extend(Field("b", FakeSpec()))
    assert c.value is before


def test_own_value_spec_and_materialize_strict():
    spec = FakeSpec()
    f = Field("x", spec)
    other = Field("y", spec)
    assert f._own_value_spec() is None
    assert f.value.copied_from is spec and other.value is spec
    f._materialize_strict()
    owned = f.value
    assert owned.copied_from.copied_from is spec
    assert owned.log == [("strict", owned)]


def test_from_annotation_forwards_six_positional_arguments():
    run_fresh(
        """
        import vesk_core._native as n
        calls = []
        n._install_field_from_annotation(lambda *a, **k: calls.append((a, k)) or "made")
        assert n.Field.from_annotation("k", int) == "made"
        assert n.Field.from_annotation("k", int, "d", {"m": 1}, False, "mod") == "made"
        assert calls == [(("k", int, None, None, True, None), {}),
                         (("k", int, "d", {"m": 1}, False, "mod"), {})], calls
        """
    )


def token(field):
    return field._field_meta_probe()["token"]


INVALIDATING = [
    ("_key", lambda f: setattr(f, "_key", native.ConstStrKey("y"))),
    ("_value", lambda f: setattr(f, "_value", FakeSpec())),
    ("_assign", lambda f: setattr(f, "_assign", "ref")),
    ("_validator", lambda f: setattr(f, "_validator", len)),
    ("_enable_init", lambda f: setattr(f, "_enable_init", True)),
    ("_enable_validation", lambda f: setattr(f, "_enable_validation", False)),
    ("set_validator", lambda f: f.set_validator(None)),
    ("_own_value_spec", lambda f: f._own_value_spec()),
    ("extend", lambda f: f.extend(Field("x", FakeSpec()))),
]
KEEPING = [
    ("set_alias", lambda f: f.set_alias("a")),
    ("_metadata", lambda f: setattr(f, "_metadata", {"k": 1})),
]


@pytest.mark.parametrize("name, change", INVALIDATING + KEEPING, ids=[n for n, _ in INVALIDATING + KEEPING])
def test_meta_dropped_exactly_by_the_changes_that_feed_it(name, change):
    f = Field("x", FakeSpec())
    held = f._field_meta_probe()
    assert held["const_text"] == "x" and held["custom_apply"] is True
    assert token(f) == held["token"]
    change(f)
    rebuilt = f._field_meta_probe()
    assert (rebuilt["token"] != held["token"]) is (name in dict(INVALIDATING))
    assert token(f) == rebuilt["token"]


class LeafSpec(FakeSpec):
    def __init__(self, exact=None, checked=None):
        super().__init__()
        self._exact_leaf_type = exact
        self._checked_leaf_type = checked


class InfoSpec(FakeSpec):
    _exact_leaf_type = property(lambda self: (_ for _ in ()).throw(AttributeError))

    class fast_apply_info:
        is_eligible = True
        value_type = bytes


def test_meta_classifies_specs_through_their_probe_attributes():
    exact = Field("x", LeafSpec(exact=int))._field_meta_probe()
    assert exact["exact"] == (int,) and exact["custom_apply"] is False
    checked_spec = LeafSpec(checked=str)
    checked = Field("x", checked_spec)._field_meta_probe()
    assert checked["checked"] == ((str, checked_spec),) and checked["exact"] == ()
    assert Field("x", InfoSpec())._field_meta_probe()["exact"] == (bytes,)

    class NoProbe(InfoSpec):
        fast_apply_info = property(lambda self: (_ for _ in ()).throw(AttributeError("info")))

    with pytest.raises(AttributeError, match="^info$"):
        Field("x", NoProbe())._field_meta_probe()


@pytest.mark.parametrize("make, exact, checked, widen, custom", [
    (lambda: native.Int(), {int}, [], False, False),
    (lambda: native.Float(), {float}, [], True, False),
    (lambda: native.Float(strict=True), {float}, [], False, False),
    (lambda: native.Int(min_value=0), set(), [int], False, False),
    (lambda: native.Int(frozen=True), set(), [], False, True),
])
def test_meta_classifies_native_specs(make, exact, checked, widen, custom):
    spec = make()
    probe = Field("x", spec)._field_meta_probe()
    assert set(probe["exact"]) == exact and len(probe["exact"]) == len(exact)
    assert probe["checked"] == tuple((cls, spec) for cls in checked)
    assert (probe["widen_to_float"], probe["custom_apply"]) == (widen, custom)
    assert probe["wrap"] is False and probe["subclass"] == ()


@pytest.mark.parametrize("default, carries", [([1, {"a": MISSING}], True), ((1, (2, [MISSING])), True),
                                              ({MISSING: 1}, False), (MISSING, True)])
@pytest.mark.parametrize("symbolic", [None, False, True])
def test_meta_default_facts(default, carries, symbolic):
    spec = LeafSpec(exact=int)
    spec.has_default = True
    spec.default = default
    spec.symbolic = symbolic
    probe = Field("x", spec)._field_meta_probe()
    assert probe["default_carries_missing"] is carries
    assert probe["has_default"] is (symbolic is not False or not carries)
    assert probe["symbolic"] is symbolic


class UnreadableSymbolic(FakeSpec):
    @property
    def symbolic(self):
        raise RuntimeError("unreadable")


@pytest.mark.parametrize("spec, attrs, has_default, symbolic", [
    (FakeSpec(), dict(has_default=True, default_factory=list, default=[MISSING]), True, None),
    (UnreadableSymbolic(), {}, False, None),
    (FakeSpec(), dict(symbolic="yes"), False, None),
])
def test_meta_default_factory_and_unusable_symbolic(spec, attrs, has_default, symbolic):
    for name, value in attrs.items():
        setattr(spec, name, value)
    probe = Field("x", spec)._field_meta_probe()
    assert (probe["has_default"], probe["symbolic"]) == (has_default, symbolic)


@pytest.mark.parametrize("shape", ["self_list", "self_dict", "mutual", "deep_list", "deep_dict"])
def test_meta_scans_self_containing_and_deep_defaults(shape):
    if shape == "self_list":
        default = tail = [1]
        default.append(default)
    elif shape == "self_dict":
        default = tail = {}
        default["me"] = default
    elif shape == "mutual":
        a, tail = [], {}
        a.append(tail)
        tail["a"] = a
        default = (a, tail)
    else:
        default = tail = [] if shape == "deep_list" else {}
        for _ in range(200_000):
            default = [default] if shape == "deep_list" else {"k": default}
    spec = LeafSpec(exact=int)
    spec.has_default = True
    spec.default = default
    assert Field("x", spec)._field_meta_probe()["default_carries_missing"] is False
    # The same shape with a missing value at its far end is found.
    if isinstance(tail, list):
        tail.append(MISSING)
    else:
        tail["m"] = MISSING
    assert Field("x", spec)._field_meta_probe()["default_carries_missing"] is True


@pytest.mark.parametrize("with_meta", [False, True])
def test_class_field_class_cycle_is_collected(with_meta):
    class Holder:
        pass

    spec = FakeSpec()
    spec.owner = Holder  # the value spec refers back to the class
    spec._exact_leaf_type = Holder
    field = Field("x", spec, origin=Holder, metadata={"cls": Holder})
    field.set_validator(lambda v, c=Holder: c)
    Holder.schema = {"x": field}
    if with_meta:
        assert field._field_meta_probe()["custom_apply"] is True
    ref = weakref.ref(Holder)
    del Holder, field, spec
    gc.collect()
    assert ref() is None


def test_finaliser_of_a_dropped_record_may_use_the_field():
    # The record alone holds the `const_text` it read; its finaliser reads the record again.
    from vesk.typing.schema import KeySpec

    seen = []

    class Text:
        def __del__(self):
            seen.append(f._field_meta_probe()["custom_apply"])

    class Key(KeySpec):
        @property
        def const_text(self):
            return Text()

    f = Field(Key(), LeafSpec(exact=int))
    f._field_meta_probe()
    done = threading.Event()

    def change():
        f.set_validator(len)
        done.set()

    worker = threading.Thread(target=change, daemon=True)
    worker.start()
    worker.join(10)
    assert done.is_set() and seen[:1] == [True]


def test_meta_built_across_a_change_is_not_cached():
    # The build runs user code outside every lock; a change made meanwhile must not be hidden.
    class ChangingSpec(FakeSpec):
        @property
        def _exact_leaf_type(self):
            if field.validator is None:
                field.set_validator(len)
            return int

    field = Field("x", ChangingSpec())
    during = field._field_meta_probe()
    assert during["custom_apply"] is False  # built from the state before the change
    after = field._field_meta_probe()
    assert after["custom_apply"] is True and after["token"] != during["token"]
    assert field._field_meta_probe()["token"] == after["token"]


def test_no_reference_leaks():
    def fail(value):
        raise ValueError("no")

    def exercise():
        f = Field("x", LeafSpec(exact=int), "d", {"m": 1}, alias="a")
        f.apply(1, transform_fn=lambda p, fld, v: v, root_path=KeyPath("r"))
        f._field_meta_probe()
        f.set_validator(fail)
        with suppress(ValueError):
            f.apply(1, root_path=KeyPath("r"))
        f.extend(Field("x", LeafSpec(exact=int), metadata={"b": 2}, enable_repr=False))
        f._own_value_spec()
        f._field_meta_probe()
        for bad in (3, None):
            with suppress(AssertionError):
                Field(bad, FakeSpec())

    assert_no_leak(exercise, calls=50)
