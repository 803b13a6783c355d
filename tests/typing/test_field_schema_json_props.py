"""Generated fields and schemas: a written form reads back equal with the same
text forms, copies agree with their source, and a malformed form raises a
clear error, never a crash or a half-built schema."""

import copy

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vesk_core._native as native
from json_specs import JsonSpec

Field, Schema = native.Field, native.Schema
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))

texts = st.text(st.characters(blacklist_characters=".", blacklist_categories=("Cs",)), max_size=4)
const_keys = texts.map(native.ConstStrKey)
pattern_keys = st.sampled_from([None, "a", "x.*"]).map(native.StrKey)
any_keys = st.one_of(const_keys, pattern_keys, st.builds(native.TupleKey, st.one_of(st.none(), st.integers(0, 5))),
                     st.builds(native.ListKey, st.integers(0, 3), st.one_of(st.none(), st.integers(-1, 9))))
tri, maybe_text = st.sampled_from([None, True, False]), st.one_of(st.none(), texts)
metadata = st.one_of(st.none(), st.dictionaries(texts, st.integers(), max_size=2))


def stand_in_specs(schemas=st.none()):
    return st.builds(JsonSpec, st.sampled_from(["int", "str"]), schemas)


def native_specs():
    """Specs without defaults: the stand-in bridge compares defaults by identity."""
    scalar = st.one_of(st.builds(lambda lo: native.Int(min_value=lo), st.one_of(st.none(), st.integers(-5, 5))),
                       st.builds(lambda r: native.Str(regex=r), st.sampled_from([None, "a+"])),
                       st.builds(native.Bool), st.builds(native.Float))
    return st.one_of(scalar, st.builds(native.List, scalar))


def fields(keys, specs):
    return st.builds(lambda key, spec, desc, meta, f, init, alias: Field(
        key, spec, desc, meta, enable_repr=f[0], enable_compare=f[1], enable_hash=f[2], enable_init=init,
        enable_clone=f[3], enable_validation=f[4], alias=alias),
        keys, specs, maybe_text, metadata, st.tuples(tri, tri, tri, tri, tri), st.booleans(),
        st.one_of(st.none(), texts.filter(bool)))


def schemas(specs):
    return st.builds(lambda consts, patterns, allow, name, desc, meta: Schema(
        consts + patterns, name, description=desc, allow_nonconst_keys=allow or bool(patterns), metadata=meta),
        st.lists(fields(const_keys, specs), max_size=3), st.lists(fields(pattern_keys, specs), max_size=1),
        st.booleans(), maybe_text, maybe_text, metadata)


def stand_in_schemas():
    """Schemas whose specs may hold schemas in turn, a few levels deep."""
    return st.recursive(schemas(stand_in_specs()), lambda inner: schemas(stand_in_specs(inner)), max_leaves=3)


def agrees(back, original):
    assert back == original and back is not original
    assert (repr(back), str(back), back.to_json()) == (repr(original), str(original), original.to_json())


@pytest.mark.parametrize("cls, make", [
    (Field, lambda: fields(any_keys, stand_in_specs())),
    pytest.param(Field, lambda: fields(any_keys, native_specs())),
    (Schema, stand_in_schemas),
    pytest.param(Schema, lambda: schemas(native_specs())),
], ids=["field", "field of native specs", "schema", "schema of native specs"])
def test_round_trip_and_copies_agree(cls, make):
    @SETTINGS
    @given(make())
    def check(x):
        for back in (cls.from_json(x.to_json()), copy.deepcopy(x), copy.copy(x)):
            agrees(back, x)

    check()


def deep_form(depth):
    form = {"_type": "vesk.typing.Schema"}
    for _ in range(depth):
        spec = {"_type": "tests.typing.JsonSpec", "kind": "int", "schema": form}
        form = {"_type": "vesk.typing.Schema",
                "fields": [{"_type": "vesk.typing.Field", "key_spec": "a", "value_spec": spec}]}
    return form


JUNK = [None, True, 0, 2**70, "", "a.b", [], [1], {}, {"a": 1}, {"_type": "vesk.typing.Field"},
        {"_type": "vesk.typing.Schema"}, {"_type": "vesk.typing.StrKey"}, {"_type": "vesk.typing.ConstStrKey"},
        {"_type": "tests.typing.JsonSpec", "kind": "int"}, deep_form(60)]
FORMS = ("vesk.typing.Field", "vesk.typing.Schema")


def places(form):
    """Every (container, key) of a field or schema form, present or not, and of a field list."""
    found = []
    if isinstance(form, dict):
        if form.get("_type") in FORMS:
            found += [(form, k) for k in set(form) | {"key_spec", "value_spec", "fields", "enable_init",
                                                      "allow_nonconst_keys", "metadata"} if k != "_type"]
        for k, v in form.items():
            found += [(v, i) for i in range(len(v))] if k == "fields" and isinstance(v, list) else []
            found += places(v)
    elif isinstance(form, list):
        for v in form:
            found += places(v)
    return found


@st.composite
def mutated_forms(draw):
    form = draw(stand_in_schemas()).to_json()
    for _ in range(draw(st.integers(1, 3))):
        container, key = draw(st.sampled_from(sorted(places(form), key=lambda p: str(p[1]))))
        if isinstance(container, dict) and key in container and draw(st.booleans()):
            del container[key]
        else:
            container[key] = copy.deepcopy(draw(st.sampled_from(JUNK)))
    return form


@SETTINGS
@given(mutated_forms())
def test_malformed_forms_raise_clear_errors(form):
    try:
        s = Schema.from_json(form)
    # the refusals of construction itself: an item without a `key`, a key that is no
    # key spec (raised with the key as its argument)
    except (TypeError, ValueError, KeyError, AttributeError, AssertionError):
        return
    assert all(type(f) is Field for f in s.values()) and Schema.from_json(s.to_json()) == s
