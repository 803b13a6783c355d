"""Records and the cycle collector: what traverse visits, cycles through
Python subclasses with `__slots__`, weak references, long chains, and
references held by native paths."""

import gc
import weakref

import pytest

import record_cells
import vesk_core._native as native
from leaks import assert_no_leak
from vesk.symbolic.records import record_class


def test_traverse_visits_the_type_then_the_set_cells():
    R = record_class("R", ["a", "b"])
    inst = R()
    assert native._kernel_probe_traverse_visits(inst) == 1
    assert native._kernel_probe_short_circuit(obj=inst) == 1
    inst.a, inst.b = 1, 2
    native._slot_node_set(inst, 5, "origin")
    ref = weakref.ref(inst)  # the weak-list head is not a reference
    assert native._kernel_probe_traverse_visits(inst) == 4
    assert native._kernel_probe_traverse_visits(record_class("P", ["a"], reserved=0)()) == 1
    P = type("P", (R,), {"__slots__": ("x", "y")})
    p = P()
    p.a, p.x = 1, 2
    # The subclass visits `x` itself, the record's traverse only its own cells.
    assert native._kernel_probe_traverse_visits(p) == 3
    assert ref() is inst


def test_probes_need_a_traverse():
    with pytest.raises(RuntimeError, match="^Record types set tp_traverse$"):
        native._kernel_probe_traverse_visits(1)
    assert native._kernel_probe_traverse_visits([1, 2]) == 2


@pytest.mark.parametrize("slots", [("x",), ("x", "__dict__"), ()])
def test_an_outside_referenced_cycle_through_a_subclass_survives(slots):
    R = record_class("R", ["a"])
    P = type("P", (R,), {"__slots__": slots})
    obj = P()
    payload = [obj]
    if slots:
        obj.x = payload
    else:
        obj.a = payload
    native._slot_node_set(obj, 0, payload)
    del obj
    for _ in range(3):
        gc.collect()
    obj = payload[0]
    assert obj.x is payload if slots else obj.a is payload
    assert native._slot_node_get(obj, 0) is payload


def test_unreachable_cycles_are_collected_and_weak_references_cleared():
    R = record_class("R", ["a"])
    S = type("S", (R,), {"__slots__": ("x",)})
    dead = []
    for cls in (R, S):
        inst = cls()
        inst.a = [inst]
        native._slot_node_set(inst, 7, {"self": inst})
        weakref.ref(inst, dead.append)
        ref = weakref.ref(inst, dead.append)
        del inst
        gc.collect()
        assert ref() is None
    assert len(dead) == 2


def test_a_long_chain_of_records_is_released_without_exhausting_the_stack():
    R = record_class("R", ["a"])
    head = R()
    node = head
    for _ in range(300_000):
        nxt = R()
        node.a = nxt
        node = nxt
    tail = weakref.ref(node)
    del node, nxt
    del head
    assert tail() is None


def test_native_paths_hold_no_references():
    R = record_class("R", ["a", "b"], non_symbolic=["b"])
    inst = R()
    value = object()
    other = record_class("O", ["a"])()
    record_cells.install_view(other, {"a": 1})

    def round_trip():
        inst.a = value
        inst.b = value
        assert inst.a is value
        del inst.b
        try:
            inst.b
        except AttributeError:
            pass
        native._slot_node_set(inst, 1, value)
        native._slot_node_get(inst, 1)
        native._slot_node_set_if_absent(inst, 7, value)
        native._slot_node_set(inst, 7)
        record_cells.write_fields(inst, ["a"], {"a": value})
        record_cells.read_fields(inst, ["a", "b"])
        native._kernel_probe_traverse_visits(inst)
        assert other.a == 1
        try:
            native._slot_node_get(inst, 8)
        except RuntimeError:
            pass

    assert_no_leak(round_trip)
