"""Symbolic objects' field writes racing, for both layouts: a SymObject's
field dictionary written through its attribute-write slot, and a record's
fields written through the unchecked rebinding write (which goes through
its materialised view); shared and own fields, children replaced and moved
between objects, and one child written into several objects at once. Each
end state is checked against what every thread did and was told
(write_races.py)."""

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, SharedHoldError
from object_helpers import object_class
from write_races import (
    Log, assert_chains, assert_children, assert_no_cycle, interleaved, notify_to_thread_log,
    race, refusals, rng, steps,
)

ROUNDS = 400
SHARED = ["s0", "s1"]


def holder_class(threads, layout):
    names = SHARED + [f"t{t}" for t in range(threads)]
    return object_class(f"H{threads}", [(n, native.Any(default=None)) for n in names],
                        slots=layout == "record",
                        namespace={"_notify_field_updates": notify_to_thread_log})


def write(obj, name, value):
    """One symbolic write of the layout; the update it reported, if any."""
    if isinstance(obj, native.SymObject):
        setattr(obj, name, value)
        return None
    update = native._native_object_set_item_no_check(obj, name, value)
    if update is not None:
        Log.current().updates.append(update)


def fields(obj):
    if isinstance(obj, native.SymObject):
        return dict(obj.field_dict())
    return dict(obj._sym_attributes.sym_items())


def child_path(key, root):
    return KeyPath(key, root)


@pytest.mark.parametrize("layout", ["object", "record"])
@pytest.mark.parametrize("threads", [8, 16])
def test_field_writes_on_shared_and_own_fields(threads, layout):
    H = holder_class(threads, layout)
    obj = H(root_path=KeyPath("root"))
    initial = fields(obj)
    made = [[] for _ in range(threads)]
    written = [[] for _ in range(threads)]
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        r = rng(tid)
        for n in steps(stop, range(ROUNDS)):
            name = f"t{tid}" if r.random() < 0.3 else r.choice(SHARED)
            child = Dict(tag=(tid, n))
            made[tid].append(child)
            with refusals():
                write(obj, name, child)
                written[tid].append(child)

    race(threads, work, logs)
    updates = [u for log in logs for u in log.updates]
    for tid in range(threads):
        assert [u.new_value for u in logs[tid].updates] == written[tid]
    stored = fields(obj)
    assert_children(obj, stored, [c for cs in made for c in cs], KeyPath("root"), child_path)
    assert_chains(updates, initial, stored, lambda u: u.path.key)


@pytest.mark.parametrize("layout", ["object", "record"])
@pytest.mark.parametrize("threads", [8, 16])
def test_children_moved_between_objects_and_written_into_several(threads, layout):
    H = holder_class(threads, layout)
    homes = [H(root_path=KeyPath(f"h{i}")) for i in range(4)]
    children = [Dict(tag=n) for n in range(ROUNDS // 4)]
    logs = [Log() for _ in range(threads)]

    def work(tid, stop):
        r = rng(tid, 1)
        for child in steps(stop, children):
            # Every thread offers the child to a home; then moves it on.
            with refusals(SharedHoldError):
                write(r.choice(homes), r.choice(SHARED), child)
            src = r.choice(homes)
            name = r.choice(SHARED)
            value = None
            with refusals():    # a record's view built by another thread
                value = fields(src).get(name)
            if value is not None:
                with refusals():
                    write(src, name, None)
                with refusals(SharedHoldError):
                    write(r.choice(homes), f"t{tid}", value)

    race(threads, work, logs)
    holders = {}
    for home in homes:
        stored = {k: v for k, v in fields(home).items() if v is not None}
        assert_children(home, stored, children, home._topo_path, child_path)
        for v in stored.values():
            assert id(v) not in holders, "a child stored in two objects"
            holders[id(v)] = home
    for child in children:
        if id(child) not in holders:
            assert child._topo_parent is None and child._topo_path == KeyPath()
    updates = [u for log in logs for u in log.updates]
    final = {(id(h), k): v for h in homes for k, v in fields(h).items()}
    initial = {key: None for key in final}
    assert_chains(updates, initial, final, lambda u: (id(u.target), u.path.key), blank=None)
    assert_no_cycle(children + homes)
