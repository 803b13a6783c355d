"""The two roads of a symbolic write agree: a value written through the
class's native schema (the fast road) and the same value written with no
native schema (the field's own apply) end stored alike and make the same
field update, or fail alike. And threads racing on one field."""

import functools
import threading

import pytest
from hypothesis import given, strategies as st

import vesk_core._native as native
from helpers import MISSING, List
from object_helpers import KeyPath, made, object_class
from races import started

SPECS = {
    "Int": native.Int, "Float": native.Float, "Str": native.Str, "Any": native.Any,
    "Bool": native.Bool, "Int>=0": lambda: native.Int(min_value=0),
    "Float|None": lambda: native.Float(is_noneable=True),
    "List[Int]": lambda: native.List(native.Int()),
}


@functools.cache
def roads_class(spec):
    return object_class("Roads", [("x", SPECS[spec]())])


VALUES = st.one_of(st.integers(-2**70, 2**70), st.floats(allow_nan=False), st.booleans(),
                   st.none(), st.text(max_size=3), st.lists(st.integers(-3, 3), max_size=3))


def written(obj, write):
    """What a write did: ("error", class, message) or ("stored", value, update)."""
    try:
        write()
    except Exception as e:  # noqa: BLE001 - both roads must fail alike
        assert "x" not in obj.field_dict()
        return ("error", type(e), str(e))
    update, = obj.notified
    value = obj.field_dict()["x"]
    assert update.target is obj and update.new_value is value and update.old_value is MISSING
    parent = value._topo_parent if isinstance(value, List) else None
    return ("stored", type(value), value, update.path, update.field, parent is obj)


@given(spec=st.sampled_from(sorted(SPECS)), value=VALUES)
def test_fast_and_general_roads_store_the_same(spec, value):
    cls = roads_class(spec)
    fast, general = made(cls, path=KeyPath("p")), made(cls, path=KeyPath("p"))
    field = cls.__schema__.get_field("x")

    def by_slot():
        fast.x = value

    def by_general_road():
        general.store_symbolic_field(cls, "x", value, field, True, None)

    assert written(fast, by_slot) == written(general, by_general_road)


def test_racing_writes_of_one_field():
    threads, rounds = 8, 300
    local = threading.local()
    cls = object_class("Raced", [("x", native.Int())], namespace={
        "_notify_field_updates": lambda self, updates: local.log.extend(updates)})
    obj = made(cls, x=-1)
    barrier = threading.Barrier(threads)
    logs, failures = [None] * threads, []

    def run(tid):
        local.log = logs[tid] = []
        barrier.wait()
        for n in range(rounds):
            value = tid * 100_000 + n
            try:
                obj.x = value
            except Exception as e:  # noqa: BLE001 - no write may fail
                failures.append(e)
                continue
            update = local.log[-1]
            if update.new_value != value or update.target is not obj:
                failures.append(update)

    workers = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    with started(workers, barrier):
        pass
    assert failures == []
    assert all(len(log) == rounds for log in logs)
    assert obj.x in {u.new_value for log in logs for u in log}
