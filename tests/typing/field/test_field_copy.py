import copy

import pytest

import vesk_core._native as native

Field, Int, List, Str, Tuple = native.Field, native.Int, native.List, native.Str, native.Tuple


check = len  # any single-argument callable


def full_field():
    f = Field("x", Int(min_value=1), description="d", metadata={"m": [1]}, origin=int, enable_repr=False,
              enable_hash=True, enable_init=False, enable_validation=True, assign="ref", alias="ex")
    return f.set_validator(check)


MEMBERS = ("key", "value", "description", "metadata", "origin", "validator", "alias", "assign")
FLAGS = ("_enable_repr", "_enable_compare", "_enable_hash", "_enable_init", "_enable_clone", "_enable_validation")


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copy_is_a_new_field_with_the_same_flags_and_validator(make_copy):
    f = full_field()
    f._field_meta_probe()  # cache a record the copy must not inherit
    c = make_copy(f)
    assert type(c) is Field and c is not f
    assert [getattr(c, n) for n in FLAGS] == [getattr(f, n) for n in FLAGS]
    assert (c.validator, c.assign, c.alias, c.origin) == (check, "ref", "ex", int)
    assert (c.key, repr(c.value), c.metadata) == (f.key, repr(f.value), f.metadata)
    if make_copy is copy.copy:
        assert all(getattr(c, n) is getattr(f, n) for n in MEMBERS)
    else:
        assert c.metadata is not f.metadata and c.metadata["m"] is not f.metadata["m"]
        assert c.value is not f.value


def test_memo_resolves_references_refusals_and_failures():
    f = Field("x", Int())
    f.metadata["self"] = f
    c = copy.deepcopy(f)
    assert c.metadata["self"] is c
    a, b = copy.deepcopy([f, f])
    assert a is b and a is not f
    with pytest.raises(TypeError):
        f.__deepcopy__({id(f): object()})

    refuses = type("Refuses", (), {"__deepcopy__": lambda self, memo: (_ for _ in ()).throw(RuntimeError("no"))})
    f = Field("x", Int(), metadata={"r": refuses()})
    memo = {}
    with pytest.raises(RuntimeError, match="no"):
        f.__deepcopy__(memo)
    assert memo[id(f)].metadata is f.metadata


def test_member_copy_hook_may_read_but_not_change_the_field():
    seen = []

    class Probe:
        def __init__(self, field):
            self.field = field

        def __deepcopy__(self, memo):
            seen.append(self.field.description)
            with pytest.raises(Exception, match="borrow"):
                self.field.set_description("changed")
            return self

    f = Field("x", Int(), description="d")
    f.metadata["p"] = Probe(f)
    copy.deepcopy(f)
    assert seen == ["d"] and f.description == "d"


@pytest.mark.parametrize("make_spec, fields", [(lambda: List(Int()), lambda s: [s.element]),
                                               (lambda: Tuple([Int(), Str()]), lambda s: list(s.elements))])
def test_container_specs_deep_copy_their_element_fields(make_spec, fields):
    spec = make_spec()
    clone = copy.deepcopy(spec)
    assert type(clone) is type(spec) and repr(clone) == repr(spec)
    old, new = fields(spec), fields(clone)
    assert len(old) == len(new)
    for o, n in zip(old, new):
        assert type(n) is Field and n is not o and n.value is not o.value
