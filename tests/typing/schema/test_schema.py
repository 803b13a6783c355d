"""Schema: construction, merge, extension, cached metadata, lookups, threads, cycles."""

import gc
import threading
import weakref

import pytest

import vesk_core._native as native
from races import started
from vesk.typing import forward_ref
from vesk.typing.handles import FastApplyInfo as native_fast_info

Schema, Field, Int, Str, StrKey = native.Schema, native.Field, native.Int, native.Str, native.StrKey


class Key:
    def __init__(self, text=None, regex=None, matches=()):
        self.text, self.regex, self.matches, self.match_calls = text, regex, set(matches), []

    @property
    def is_const(self):
        return self.text is not None

    @property
    def const_text(self):
        return self.text

    def match(self, key):
        self.match_calls.append(key)
        return key in self.matches

    def __repr__(self):
        return f"Key({self.text!r})"


class Spec:
    def __init__(self, eligible=True, value_type=int, marker=False):
        self.fast_apply_info = native_fast_info(eligible, value_type)
        self.marker = marker

    @property
    def _is_inherit_marker(self):
        if self.marker == "raise":
            raise RuntimeError("no answer")
        return self.marker


class PyField:
    def __init__(self, key, value=None, origin=None, validator=None, enable_init=True):
        self.key = key if not isinstance(key, str) else Key(key)
        self.value = value if value is not None else Spec()
        self.origin, self.validator, self.enable_init = origin, validator, enable_init

    def set_origin(self, origin):
        self.origin = origin


def keys_of(schema):
    return [str(k) if not isinstance(k, Key) else k.text for k in schema.keys()]


@pytest.mark.parametrize(
    "fields, error, message",
    [
        ((), TypeError, "Argument 'fields' must be a list. Encountered: ()."),
        ([PyField(Key(regex="x"))], ValueError, "NonConstKey is not allowed in schema. Encountered '"),
        ([PyField("a", Spec(marker=True))], TypeError, "Field Key('a'): `vk.typing.Inherit` requires a parent field"),
        ([PyField(Key(regex="x"), Spec(marker=True))], ValueError, "NonConstKey"),
    ],
)
def test_construction_refuses(fields, error, message):
    with pytest.raises(error) as info:
        Schema(fields)
    assert message in str(info.value)


def test_construction_builds_fields_in_order():
    a1, b, a2 = PyField("a"), PyField("b"), PyField("a")
    a2.key = a1.key  # equal keys: the later field, at the earlier position
    s = Schema(type("Fields", (list,), {})([a1, b, a2]), "name", None, "text")
    assert list(s.values()) == [a2, b]
    # An inherit marker that cannot answer counts as unmarked.
    assert len(Schema([PyField("a", Spec(marker="raise"))]).fields) == 1




def test_construction_for_cls_sets_missing_origins_and_registers():
    class Owner:
        pass

    given, unset = PyField("a", origin=int), PyField("b")
    fields = [given, unset]
    Schema(fields, for_cls=Owner)
    try:
        assert (given.origin, unset.origin) == (int, Owner)
        assert forward_ref.make_forward_ref("Owner").cls is Owner
    finally:
        forward_ref.forget_forward_ref_target(Owner)


def test_construction_dynamic_field_own_before_base():
    own = PyField(Key(regex="own"))
    base = Schema([PyField(Key(regex="base")), PyField("x")], allow_nonconst_keys=True)
    s = Schema([PyField("y"), own], base_schema_list=[base], allow_nonconst_keys=True)
    assert s.dynamic_field is own
    only_base = Schema([PyField("y")], base_schema_list=[base], allow_nonconst_keys=True)
    assert only_base.dynamic_field is base.dynamic_field
    with pytest.raises(ValueError, match="Encountered '"):
        Schema([PyField("y")], base_schema_list=[base])


class Base:
    pass


class Sub(Base):
    pass


@pytest.mark.parametrize(
    "first, later, winner",
    [(None, None, 0), (None, Sub, 0), (Base, Sub, 1), (Sub, Base, 0), (Base, Base, 1)],
)
def test_merge_constant_key_precedence(first, later, winner):
    key = Key("a")
    a0, a1 = PyField(key, origin=first), PyField(key, origin=later)
    s0, s1 = Schema([a0, PyField("b")]), Schema([a1])
    merged = Schema.merge([s0, s1])
    assert list(merged.values())[0] is (a0, a1)[winner]
    assert keys_of(merged) == ["a", "b"]


def test_merge_carries_first_nonconst_field_last():
    w1, w2 = PyField(Key(regex="1")), PyField(Key(regex="2"))
    s1 = Schema([w1, PyField("a")], allow_nonconst_keys=True)
    s2 = Schema([w2, PyField("b")], allow_nonconst_keys=True)
    merged = type("Sub", (Schema,), {}).merge([s1, s2], name="m")
    assert type(merged) is Schema and merged.name == "m"
    assert list(merged.values())[-1] is w1 and w2 not in merged.values()
    key = Key("a")  # origins that are not classes cannot be ordered
    with pytest.raises(TypeError):
        Schema.merge([Schema([PyField(key, origin=1)]), Schema([PyField(key, origin=2)])])


def test_extend_in_place():
    s = Schema([Field("a", Int())], metadata={"own": 1})
    fields_before = s.fields
    assert s.extend(Schema([Field("b", Str())], metadata={"base": 2})) is s
    assert keys_of(s) == ["b", "a"] and s.fields is not fields_before
    assert s.metadata == {"base": 2, "own": 1}
    assert [t for t, _ in s._const_bulk_check] == ["b", "a"]


def test_extend_adopting_nonconst_key_allows_them():
    s = Schema([Field("a", Int())])
    wildcard = Field(StrKey(), Int())
    s.extend(Schema([wildcard], allow_nonconst_keys=True))
    assert s.allow_nonconst_keys is True and s.dynamic_field is wildcard
    assert s._has_nonconst_keys and s._const_apply_fields is None
    assert s.get_field("anything") is wildcard


def test_extend_failure_leaves_schema_unchanged():
    s = Schema([Field("a", Int())])
    before = (s.fields, s._const_apply_fields)

    class BadBase:
        name, metadata = None, {}

        @property
        def fields(self):
            raise LookupError("no fields")

    with pytest.raises(LookupError):
        s.extend(BadBase())
    assert (s.fields, s._const_apply_fields) == before


def test_cache_of_constant_schema():
    a, b = Field("a", Int()), Field("b", Str())
    s = Schema([a, b])
    assert s._const_apply_fields == [("a", a, a.value), ("b", b, b.value)]
    assert s._const_bulk_check == (("a", int), ("b", str))
    assert [m["key"] for m in s._field_meta_classes()] == ["a", "b"]
    assert s._field_meta_classes()[0]["exact"] == {int}
    assert s._open_plan_info() is None


@pytest.mark.parametrize("second", [PyField("b", validator=len), PyField("b", Spec(eligible=False))])
def test_cache_bulk_check_stops_at_first_unfit_field(second):
    class Unread(Spec):
        @property
        def fast_apply_info(self):
            raise AssertionError("read after the bulk check gave up")

        @fast_apply_info.setter
        def fast_apply_info(self, value):
            pass

    s = Schema([PyField("a"), second, PyField("c", Unread())])
    assert s._const_bulk_check is None
    assert [t for t, _, _ in s._const_apply_fields] == ["a", "b", "c"]


def test_cache_open_plan():
    a, w, b = Field("a", Int()), Field(StrKey(), Int(), ), Field("b", Str())
    s = Schema([a, w, b], allow_nonconst_keys=True)
    assert s._open_plan_info() == {
        "const_keys": ["a", "b"], "const_init": [True, True],
        "wildcard_init": True, "wildcard_pos": 1,
    }
    assert (s._const_apply_fields, s._const_bulk_check) == (None, None)


@pytest.mark.parametrize(
    "keys",
    [[StrKey("x.*")], [Key(regex=None)], [StrKey(), StrKey("y")]],
    ids=["regex", "foreign-class", "two-wildcards"],
)
def test_cache_no_open_plan(keys):
    s = Schema([PyField(k) for k in keys] + [PyField("c")], allow_nonconst_keys=True)
    assert s._open_plan_info() is None and s._has_const_keys


def test_recompute_caches_refreshes_stale_tuples():
    f = Field("a", Int())
    s = Schema([f])
    token = f._field_meta_probe()["token"]
    f._validator = len  # changed in place: the schema's caches go stale
    assert s._const_bulk_check == (("a", int),)
    assert s._recompute_caches() is None
    assert s._const_bulk_check is None
    assert f._field_meta_probe()["token"] != token




def test_recompute_caches_holds_schema_exclusively():
    seen = []

    class Probe(Spec):
        @property
        def fast_apply_info(self):
            if seen:  # the first read is construction's, before the schema exists
                try:
                    seen.append(seen[0]._has_const_keys)
                except RuntimeError as e:
                    seen.append(str(e))
            return native_fast_info(True, int)

        @fast_apply_info.setter
        def fast_apply_info(self, value):
            pass

    schema = Schema([PyField("a", Probe())])
    seen.append(schema)
    schema._recompute_caches()
    assert seen[1:] == ["Already mutably borrowed"]


def test_lookups():
    a, w = Field("a", Int()), Field(StrKey("x.*"), Int())
    s = Schema([a, w], allow_nonconst_keys=True)
    assert s["a"] is a and s.get("a") is a and "a" in s and s.get_field("a") is a
    assert s.get_field("xy") is w and "xy" not in s and s.get("xy", 0) == 0
    with pytest.raises(KeyError) as info:
        s["xy"]
    assert info.value.args == ("'xy'",)
    assert s.get_field("zz") is None
    key = Key("a", matches={"b"})
    assert Schema([PyField(key)]).get_field("b") is None and key.match_calls == []


class Compat(Spec):
    def __init__(self, accepts=True):
        super().__init__()
        self.accepts = accepts

    def is_compatible(self, other):
        return self.accepts and other.accepts


def test_is_compatible():
    a, b = Key("a"), Key("b")
    s = Schema([PyField(a, Compat())])
    assert s.is_compatible(Schema([PyField(a, Compat())]))
    assert not s.is_compatible(Schema([PyField(a, Compat(False))]))
    assert not s.is_compatible(Schema([PyField(a, Compat()), PyField(b, Compat())]))
    assert not s.is_compatible(Schema([]))
    with pytest.raises(TypeError, match="should be a Schema object. Encountered 1."):
        s.is_compatible(1)


def test_concurrent_extend_loses_no_field():
    threads_n, per_thread = 8, 20
    schema = Schema([Field("root", Int())])
    added = [[] for _ in range(threads_n)]  # each thread writes its own slot
    barrier = threading.Barrier(threads_n + 1)

    def extend(t):
        barrier.wait()
        for i in range(per_thread):
            name = f"t{t}_{i}"
            try:
                schema.extend(Schema([Field(name, Int())]))
            except RuntimeError:
                continue
            added[t].append(name)

    def recompute():
        barrier.wait()
        for _ in range(per_thread):
            try:
                schema._recompute_caches()
            except RuntimeError:
                pass

    workers = [threading.Thread(target=extend, args=(t,)) for t in range(threads_n)]
    workers.append(threading.Thread(target=recompute))
    with started(workers, barrier):
        pass
    present = set(keys_of(schema))
    expected = {name for names in added for name in names} | {"root"}
    assert expected <= present
    # The caches describe the final fields.
    assert {t for t, _, _ in schema._const_apply_fields} == present


def test_class_schema_field_cycle_is_collected():
    class Owner:
        pass

    schema = Schema([Field("a", Int())], for_cls=Owner)
    forward_ref.forget_forward_ref_target(Owner)
    Owner.__schema__ = schema
    assert schema["a"].origin is Owner
    owner_ref = weakref.ref(Owner)
    del Owner, schema
    gc.collect()
    assert owner_ref() is None


def test_no_reference_leaks():
    from leaks import assert_no_leak

    base = Schema([Field("b", Str()), Field(StrKey(), Int())], allow_nonconst_keys=True)

    def roundtrip():
        s = Schema([Field("a", Int())], base_schema_list=[base], metadata={"m": 1},
                   allow_nonconst_keys=True)
        s.extend(Schema([Field("c", Int())]))
        s._recompute_caches()
        s._open_plan_info(), s._field_meta_classes(), s.get_field("zz"), s.get("a")
        Schema.merge([s, base])
        for bad in (lambda: Schema(()), lambda: Schema([PyField(Key(regex="x"))]),
                    lambda: s["missing"]):
            try:
                bad()
            except (TypeError, ValueError, KeyError):
                pass

    assert_no_leak(roundtrip, calls=50)


def test_funnel_probes_refuse_unknown_keys_and_apply_deferred_values():
    with pytest.raises(KeyError, match="No precomputed FieldMeta for key 'a'."):
        Schema([Field(StrKey(), Int())], allow_nonconst_keys=True)._funnel_leaf("a", 1)
    s = Schema([Field("a", Int(min_value=0))])
    assert s._funnel_validate_field("a", 5) == 5
    with pytest.raises(ValueError, match="a"):
        s._funnel_validate_field("a", -1, root_path=native.KeyPath("r"))
