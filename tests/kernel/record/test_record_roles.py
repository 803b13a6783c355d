"""Node-state roles and field cells of records: raw access, the refusals
that keep forged records, roles and offsets away from memory, and racing
first uses."""

import threading

import pytest

import record_cells
from races import started
import vesk_core._native as native
from vesk.symbolic.records import record_class

OB = native._kernel_record_layout()[0]
ROLE_MESSAGE = ("slot record: node-state role 8 out of range (0..8; the reserved region's "
                "trailing cell is the CPython-owned __weakref__ list head, #452)")


def test_roles_read_back_what_was_stored():
    inst = record_class("R", ["a"])()
    values = [object() for _ in range(8)]
    for role, value in enumerate(values):
        assert native._slot_node_get(inst, role) is None
        assert native._slot_node_set(inst, role, value) is None
    assert [native._slot_node_get(inst, r) for r in range(8)] == values
    native._slot_node_set(inst, 2)
    native._slot_node_set(inst, role=3, value=None)
    assert native._slot_node_get(inst, 2) is native._slot_node_get(inst, 3) is None
    assert native._kernel_probe_traverse_visits(inst) == 7
    a, b = object(), object()
    assert native._slot_node_set_if_absent(inst, 2, a) is a
    assert native._slot_node_set_if_absent(inst, 2, b) is a
    assert native._slot_node_set_if_absent(inst, 3, None) is None
    assert native._slot_node_set_if_absent(inst, 3, b) is None  # the None object stays


def test_roles_live_in_the_root_records_cells():
    R = record_class("R", ["a"])
    S = record_class("S", ["b"], parent=R, reserved=2)
    P = type("P", (S,), {"__slots__": ("x", "y")})
    inst = P()
    native._slot_node_set(inst, 7, "seven")
    inst.a, inst.b, inst.x = "a", "b", "x"
    assert native._slot_node_get(inst, 7) == "seven"
    assert (inst.a, inst.b, inst.x) == ("a", "b", "x")
    assert record_cells.read_fields(inst, ["b", "a"]) == {"b": "b", "a": "a"}


class Forged:
    __slot_reserved__ = 9
    __slot_field_offsets__ = {"a": 80}


@pytest.mark.parametrize("inst, role, error, message", [
    ("rec", 8, RuntimeError, ROLE_MESSAGE),
    ("rec", 2**63, RuntimeError, "role 9223372036854775808 out of range"),
    ("rec", -1, OverflowError, "negative"),
    ("rec", "1", TypeError, "'role'"),
    ("rec", 1.0, TypeError, "'role'"),
    (5, 0, TypeError, "slot record: 'int' object is not an inline-slot record"),
    (Forged(), 0, TypeError, "'Forged' object is not an inline-slot record"),
    (str, 0, TypeError, "'type' object is not an inline-slot record"),
    ("probe", 3, TypeError, "slot record: node-state role 3 lies outside the 3 reserved cells"),
    ("probe", 7, TypeError, "outside the 3 reserved cells of 'P'"),
    ("bare", 0, TypeError, "outside the 0 reserved cells"),
    ("late", 0, TypeError, "outside the 0 reserved cells"),
])
def test_role_refusals(inst, role, error, message):
    make = {
        "rec": lambda: record_class("R", ["a"])(),
        "probe": lambda: record_class("P", ["a"], reserved=3)(),
        "bare": lambda: record_class("B", ["a"], reserved=0)(),
        # node-state cells added by a subtype are no roles
        "late": lambda: record_class("L", ["b"], reserved=9,
                                     parent=record_class("B", ["a"], reserved=0))(),
    }
    inst = make[inst]() if isinstance(inst, str) else inst
    for call in (lambda: native._slot_node_get(inst, role),
                 lambda: native._slot_node_set(inst, role, "v"),
                 lambda: native._slot_node_set_if_absent(inst, role, "v")):
        with pytest.raises(error) as info:
            call()
        assert message in str(info.value)


def test_field_cells_read_and_write_by_name():
    inst = record_class("R", ["a", "b", "c"])()
    assert record_cells.write_fields(inst, ["a", "b", "zz"], {"a": 1, "b": None}) is None
    assert record_cells.read_fields(inst, ["c", "b", "a"]) == {"c": None, "b": None, "a": 1}
    assert [record_cells.field_written(inst, n) for n in "abc"] == [True, True, False]
    assert record_cells.read_field(inst, "a") == 1
    with pytest.raises(RuntimeError, match='^slot record: field "zz" is not in the Record\'s '
                                           "inline-slot layout$"):
        record_cells.write_fields(inst, ["zz"], {"zz": 1})
    for bad in (lambda: record_cells.read_fields(inst, ("a",)),
                lambda: record_cells.write_fields(inst, ["a"], [("a", 1)])):
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize("offset, error", [
    (OB, TypeError),            # role 0
    (OB + 64, TypeError),       # the weak-list head
    (OB + 77, TypeError),       # not a cell boundary
    (OB + 96, TypeError),       # the first __slots__ cell of a Python subclass
    (10**6, TypeError),
    (-8, OverflowError),
    (2**70, OverflowError),
    ("72", TypeError),
])
def test_rewritten_offsets_never_reach_memory(offset, error):
    R = record_class("R", ["a", "b"])
    P = type("P", (R,), {"__slots__": ("x",)})
    inst = P()
    inst.x = "slot"
    R.__record_type__.__slot_field_offsets__ = {"a": OB + 72, "b": offset}
    assert record_cells.read_fields(inst, ["a"]) == {"a": None}
    for call in (lambda: record_cells.read_field(inst, "b"),
                 lambda: record_cells.write_fields(inst, ["b"], {"b": 1}),
                 lambda: record_cells.field_written(inst, "b")):
        with pytest.raises(error):
            call()
    assert inst.x == "slot" and native._slot_node_get(inst, 0) is None


def test_the_offsets_map_and_the_instance_are_checked():
    R = record_class("R", ["a"])
    inst = R()
    with pytest.raises(AttributeError, match="__slot_field_offsets__"):
        record_cells.read_field(object(), "a")
    with pytest.raises(TypeError, match="'Forged' object is not an inline-slot record"):
        record_cells.read_field(Forged(), "a")
    R.__slot_field_offsets__ = [("a", OB + 72)]
    with pytest.raises(RuntimeError, match="is not a dict — not an inline-slot Record"):
        record_cells.read_field(inst, "a")


def _race(n, work):
    barrier = threading.Barrier(n)
    results = [None] * n

    def run(i):
        barrier.wait()
        results[i] = work(i)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    with started(threads, barrier):
        pass
    return results


@pytest.mark.parametrize("role", [6, 7])
def test_racing_first_uses_agree_on_one_occupant(role):
    R = record_class("R", ["a"])
    for _ in range(50):
        inst = R()
        candidates = [object() for _ in range(8)]
        winners = _race(8, lambda i: native._slot_node_set_if_absent(inst, role, candidates[i]))
        installed = native._slot_node_get(inst, role)
        assert installed in candidates
        assert all(w is installed for w in winners)


def test_racing_cell_writes_end_with_one_written_value():
    R = record_class("R", ["a"])
    for _ in range(50):
        inst = R()
        values = [object() for _ in range(8)]

        def write(i):
            for _ in range(20):
                inst.a = values[i]
                native._slot_node_set(inst, 0, values[i])
                assert inst.a in values

        _race(8, write)
        assert inst.a in values and native._slot_node_get(inst, 0) in values
        assert native._kernel_probe_traverse_visits(inst) == 3
