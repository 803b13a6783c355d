"""Holds on fields and schemas: which calls hold the state while Python code
runs, and what a write or read attempted from that code meets."""

import pytest

import vesk_core._native as native
from vesk.typing.schema import KeySpec

Schema, Field, Int, Str = native.Schema, native.Field, native.Int, native.Str

BORROWED = "Already borrowed"
MUTABLY = "Already mutably borrowed"
MUTATION = (
    "Cannot mutate this object while another operation holds it (e.g. a re-entrant call from "
    "`custom_apply` / a transform during its own `apply`): mutate it after `apply` returns."
)


def outcome(call):
    try:
        call()
    except RuntimeError as e:
        return str(e)
    return "ok"


FIELD_WRITES = {
    "set_description": lambda f: f.set_description("d"),
    "set_origin": lambda f: f.set_origin(int),
    "set_validator": lambda f: f.set_validator(len),
    "set_alias": lambda f: f.set_alias("a"),
    "raw setter": lambda f: setattr(f, "_description", "d"),
    "raw flag setter": lambda f: setattr(f, "_enable_repr", True),
    "enable_init": lambda f: setattr(f, "_enable_init", False),
    "assign": lambda f: setattr(f, "_assign", "x"),
    "extend": lambda f: f.extend(Field("x", Int())),
    "_own_value_spec": lambda f: f._own_value_spec(),
}
FIELD_READS = {
    "getter": lambda f: f.description,
    "value getter": lambda f: f.value,
    "copy": lambda f: f.__copy__(),
    "meta probe": lambda f: f._field_meta_probe(),
}


class EqProbe:
    """A member whose comparison runs `attempt` while both fields are held shared."""

    def __init__(self):
        self.attempt, self.seen = None, []

    def __eq__(self, other):
        if self.attempt:
            self.seen.append(outcome(self.attempt))
        return True

    __hash__ = None


@pytest.mark.parametrize("name", list(FIELD_WRITES) + list(FIELD_READS))
def test_a_field_compared_refuses_writes_and_allows_reads(name):
    probe = EqProbe()
    field = Field("x", Int(), description=probe)
    other = Field("x", Int(), description=probe)
    attempt = FIELD_WRITES.get(name) or FIELD_READS[name]
    probe.attempt = lambda: attempt(field)
    assert field == other
    assert probe.seen == [BORROWED if name in FIELD_WRITES else "ok"]
    probe.attempt = None
    assert outcome(lambda: attempt(field)) == "ok"  # free again once the comparison ended


def test_field_apply_holds_nothing_while_its_spec_runs():
    # The value spec's transform stores a validator: the apply's second read sees it.
    field = None

    def transform(value):
        field.set_validator(lambda v: (_ for _ in ()).throw(ValueError("late")))
        return value

    field = Field("x", Int().set_transform(transform))
    with pytest.raises(ValueError, match=r"late \(path=\)"):
        field.apply(1)


def key_probe():
    """A constant key whose `is_const` runs the armed attempt once: the schema
    reads it while computing its caches (construction, `_recompute_caches`)."""

    class Key(KeySpec):
        attempt, seen, text = None, [], "a"

        @property
        def is_const(self):
            if Key.attempt:
                attempt, Key.attempt = Key.attempt, None
                Key.seen.append(outcome(attempt))
            return True

        @property
        def const_text(self):
            return self.text

    return Key


SCHEMA_WRITES = {
    "extend": (lambda s: s.extend(Schema([Field("b", Int())])), MUTATION, MUTABLY),
    "_recompute_caches": (lambda s: s._recompute_caches(), BORROWED, BORROWED),
    "set_name": (lambda s: s.set_name("n"), BORROWED, BORROWED),
    "set_description": (lambda s: s.set_description("d"), BORROWED, BORROWED),
}
SCHEMA_READS = {
    "getter": lambda s: s.name,
    "cached flag": lambda s: s._has_const_keys,
    "lookup": lambda s: s.get("a"),
    "contains": lambda s: "a" in s,
    "keys": lambda s: s.keys(),
    "probe": lambda s: s._field_meta_classes(),
    "format": lambda s: s.format(),
    "apply": lambda s: s.apply({}, allow_partial=True),
}


@pytest.mark.parametrize("name", list(SCHEMA_WRITES) + list(SCHEMA_READS))
def test_a_schema_applying_refuses_writes_and_allows_reads(name):
    # The field's value spec runs its transform inside `Schema.apply`, which
    # holds the schema shared for the whole call.
    seen = []
    attempt = SCHEMA_WRITES[name][0] if name in SCHEMA_WRITES else SCHEMA_READS[name]

    def transform(value):
        seen.append(outcome(lambda: attempt(schema)))
        return value

    schema = Schema([Field("a", Int().set_transform(transform))])
    schema.apply({"a": 1})
    assert seen == [SCHEMA_WRITES[name][1] if name in SCHEMA_WRITES else "ok"]
    if name != "_recompute_caches":
        seen.clear()
        schema.validate({"a": 1})  # validate holds it the same way
        assert seen == [SCHEMA_WRITES[name][1] if name in SCHEMA_WRITES else "ok"]


@pytest.mark.parametrize("name", list(SCHEMA_WRITES) + list(SCHEMA_READS))
def test_a_schema_recomputing_its_caches_refuses_everything(name):
    Key = key_probe()
    schema = Schema([Field(Key(), Int())])
    attempt = SCHEMA_WRITES[name][0] if name in SCHEMA_WRITES else SCHEMA_READS[name]
    Key.attempt = lambda: attempt(schema)
    schema._recompute_caches()
    expected = SCHEMA_WRITES[name][2] if name in SCHEMA_WRITES else MUTABLY
    assert Key.seen == [expected]
    assert outcome(lambda: attempt(schema)) == "ok"


def test_extend_refused_leaves_the_schema_as_it_was():
    seen = []

    def transform(value):
        seen.append(outcome(lambda: schema.extend(Schema([Field("b", Int())]))))
        return value

    schema = Schema([Field("a", Int().set_transform(transform))])
    schema.apply({"a": 1})
    assert seen == [MUTATION]
    assert [str(k) for k in schema.keys()] == ["a"] and schema._const_apply_fields[0][0] == "a"
    schema.extend(Schema([Field("b", Str())]))  # free again: the same extension now lands
    assert sorted(str(k) for k in schema.keys()) == ["a", "b"]
