"""The cached records of fields and schemas are part of what the cycle
collector sees: a cycle that runs only through a record is collected, and
what a record holds is reported as the holder's referent exactly while the
holder keeps it."""

import gc
import weakref

import pytest

import vesk_core._native as native
from vesk.typing.schema import KeySpec

Schema, Field, Int = native.Schema, native.Field, native.Int


class Text:
    """An object only a field's compiled record holds: its key hands out a
    new one for every read of `const_text`."""

    def __init__(self, back):
        self.back = back


class Key(KeySpec):
    def __init__(self):
        self.back = []

    is_const = True

    @property
    def const_text(self):
        return Text(self.back)


@pytest.mark.parametrize("invalidated", [False, True])
def test_a_cycle_through_a_field_record_is_collected(invalidated):
    key = Key()
    field = Field(key, Int())
    text = field._field_meta_probe()["const_text"]
    assert isinstance(text, Text) and text in gc.get_referents(field)
    # field -> record -> text -> list -> field: the record alone closes the cycle.
    key.back.append(field)
    ref = weakref.ref(text)
    if invalidated:
        field.set_validator(None)  # the record is dropped, and the cycle with it
        assert ref() is None or text not in gc.get_referents(field)
    del field, key, text
    gc.collect()
    assert ref() is None


def test_a_field_reports_its_record_only_while_it_holds_one():
    field = Field(Key(), Int())
    assert not any(isinstance(o, Text) for o in gc.get_referents(field))
    field._field_meta_probe()
    assert sum(isinstance(o, Text) for o in gc.get_referents(field)) == 1
    field._enable_validation = True  # a change that drops the record
    assert not any(isinstance(o, Text) for o in gc.get_referents(field))


def test_a_cycle_through_schema_metadata_alone_is_collected():
    class Owner:
        pass

    field = Field("a", Int(), origin=Owner)
    schema = Schema([field])
    Owner.schema = schema
    # The fields dict no longer holds the field; the cached metadata still
    # does, and through it Owner -> schema -> metadata -> field -> Owner.
    del schema.fields["a"]
    assert field in gc.get_referents(schema)
    ref = weakref.ref(Owner)
    del Owner, schema, field
    gc.collect()
    assert ref() is None


def test_recomputed_schema_metadata_drops_what_it_no_longer_holds():
    field = Field("a", Int())
    schema = Schema([field])
    del schema.fields["a"]
    assert field in gc.get_referents(schema)
    schema._recompute_caches()
    assert field not in gc.get_referents(schema)


def test_extend_and_copies_keep_their_records_to_themselves():
    schema = Schema([Field("a", Int())])
    schema.extend(Schema([Field("b", Int())]))
    copy_ = schema.__copy__()
    deep = schema.__deepcopy__({})
    for s in (schema, copy_, deep):
        held = [o for o in gc.get_referents(s) if isinstance(o, Field)]
        # Each schema's own metadata: its constant fields, once each.
        assert sorted(str(f.key) for f in held) == ["a", "b"]
    assert schema._const_apply_fields is not copy_._const_apply_fields


def test_records_of_fields_and_schemas_leak_nothing():
    from leaks import assert_no_leak

    def cycles():
        key = Key()
        field = Field(key, Int())
        field._field_meta_probe()
        key.back.append(field)

        class Owner:
            pass

        held = Field("a", Int(), origin=Owner)
        Owner.schema = Schema([held])
        del Owner.schema.fields["a"]

    assert_no_leak(cycles, calls=20)
