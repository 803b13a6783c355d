"""A write to a bound SymDict or SymList paused in its field's validator
while another thread rebinds the container (`use_value_spec(None)`, then a
spec whose field refuses the value): the two end as one of their orders, or
one fails at once with the borrow error having changed nothing. Never a
container bound to a spec holding a value that spec refused."""

import pytest

import vesk_core._native as native
from helpers import Dict, List
from paused_pairs import REFUSED, Pausing, race

OLD_LIMIT, NEW_LIMIT, VALUE = 1000, 5, 500


def out_of_range(outcome, limit):
    """Whether `outcome` is the field's refusal of VALUE under `limit`."""
    return outcome != "ok" and outcome[0] is ValueError and outcome[1].startswith(
        f"Value {VALUE} is out of range (min=None, max={limit}).")


def dict_spec(limit, validator=None, transform=None):
    value = native.Int(max_value=limit)
    field = native.Field(native.ConstStrKey("a"), value.set_transform(transform) if transform
                         else value)
    if validator:
        field.set_validator(validator)
    return native.Dict(native.Schema([field]))


def list_spec(limit, validator=None, transform=None):
    value = native.Int(max_value=limit)
    spec = native.List(value.set_transform(transform) if transform else value)
    if validator:
        spec.element.set_validator(validator)
    return spec


# How each container is made, written and read; `key` names the member.
KINDS = {
    "dict": (lambda spec: Dict(a=1, value_spec=spec), dict_spec, "a", dict),
    "list": (lambda spec: List([1], value_spec=spec), list_spec, 0, list),
}


def foreign_write_back(c, kind):
    """A foreign spec's pass (`x * 500`) writing its result back; the write-
    back meets the container's own field."""
    spec = (dict_spec if kind == "dict" else list_spec)(None, transform=lambda x: x * VALUE)
    # A flag the container does not have yet makes a custom-typed one proceed.
    spec.apply(c, allow_partial=True)


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("road", ["item", "seam", "write-back"])
def test_a_rebind_meeting_a_write_is_one_order_or_refused(kind, road):
    make, spec_of, key, plain = KINDS[kind]
    pause = Pausing(VALUE)
    old, new = spec_of(OLD_LIMIT, pause), spec_of(NEW_LIMIT)
    c = make(old)

    def write():
        if road == "write-back":
            foreign_write_back(c, kind)
        elif road == "seam":
            c._set_item_without_permission_check(key, VALUE)
        else:
            c[key] = VALUE

    def rebind():
        c.use_value_spec(None)
        c.use_value_spec(new)

    outcomes = race(write, rebind, pause)
    held, bound = plain(c)[key], c._value_spec
    # The write first: it stores, and the rebind's own apply refuses the
    # value. The rebind first: the write meets the new field and is refused.
    # Or one is refused at once by the other.
    a, b = outcomes["a"], outcomes["b"]
    write_first = a == "ok" and held == VALUE and bound is new and out_of_range(b, NEW_LIMIT)
    rebind_first = b == "ok" and bound is new and held == 1 and out_of_range(a, NEW_LIMIT)
    refused = b == REFUSED and bound is old and held == VALUE and a == "ok"
    assert write_first or rebind_first or refused, (outcomes, held, bound)
