"""Record heap types: names, layout, type attributes and the refusals of
the builders."""

import weakref

import pytest

import vesk_core._native as native

OB, CELL = native._kernel_record_layout()
INT_MAX = 2**31 - 1


def test_layout_constants():
    assert (OB, CELL) == (object.__basicsize__, 8)
    assert native._kernel_topology_reserved() == 9


@pytest.mark.parametrize("reserved, weakrefs", [(0, False), (3, False), (9, True), (12, True)])
def test_root_record_layout(reserved, weakrefs):
    R = native._kernel_make_record("R", ["a", "b"], reserved)
    assert R.__name__ == "R" and R.__module__ == "vesk_core._native"
    assert R.__basicsize__ == OB + 8 * (reserved + 2) and R.__itemsize__ == 0
    assert R.__slot_field_offsets__ == {"a": OB + 8 * reserved, "b": OB + 8 * reserved + 8}
    assert R.__slot_reserved__ == reserved
    assert ("__weakref__" in R.__dict__) is weakrefs
    inst = R()
    if weakrefs:
        assert R.__weakrefoffset__ == OB + 64 and inst.__weakref__ is None
        ref = weakref.ref(inst)
        assert ref() is inst and inst.__weakref__ is ref
    else:
        with pytest.raises(TypeError):
            weakref.ref(inst)


def test_subtypes_append_their_cells_and_inherit_weak_references():
    R = native._kernel_make_record("R", ["a", "b"], 9)
    S = native._kernel_make_record_subtype(R, "S", ["c"], 0)
    T = native._kernel_make_record_subtype(S, "pkg.mod.T", ["d", "e"], 2)
    assert S.__slot_field_offsets__ == {"a": OB + 72, "b": OB + 80, "c": R.__basicsize__}
    assert T.__slot_field_offsets__["d"] == S.__basicsize__ + 16
    assert (S.__slot_reserved__, T.__slot_reserved__) == (9, 11)
    assert T.__basicsize__ == S.__basicsize__ + 32
    assert (T.__module__, T.__name__) == ("pkg.mod", "T")
    assert "__weakref__" not in S.__dict__
    t = T()
    assert weakref.ref(t)() is t
    t.a, t.c, t.e = 1, 2, 3
    assert (t.a, t.c, t.e) == (1, 2, 3)


@pytest.mark.parametrize("call, error, message", [
    (lambda R: native._kernel_make_record_subtype(R, "S", ["x", "a"], 0), ValueError,
     'slot record field "a" collides with an inherited or earlier field; a Record\'s own '
     "fields must be strictly new (no duplicate inline slot)"),
    (lambda R: native._kernel_make_record("S", ['q"\\\n\x01', 'q"\\\n\x01'], 0), ValueError,
     'slot record field "q\\"\\\\\\n\\u{1}" collides'),
    (lambda R: native._kernel_make_record("S", ["a", "__dict__"], 0), ValueError,
     'field name "__dict__" collides with a reserved instance-layout descriptor'),
    (lambda R: native._kernel_make_record_subtype(R, "S", ["__weakref__"], 0), ValueError,
     'field name "__weakref__" collides'),
    (lambda R: native._kernel_make_record("S", ["a\0"], 0), ValueError,
     "name and field names must not contain interior nul bytes"),
    (lambda R: native._kernel_make_record("S\0", ["a"], 0), ValueError, "interior nul"),
    (lambda R: native._kernel_make_record("S", "ab", 0), TypeError, "field_names"),
    (lambda R: native._kernel_make_record("S", ("a",), 0), TypeError, "field_names"),
    (lambda R: native._kernel_make_record("S", ["a", 1], 0), TypeError, "field_names"),
    (lambda R: native._kernel_make_record(b"S", ["a"], 0), TypeError, "'name'"),
    (lambda R: native._kernel_make_record("S", ["a"], "9"), TypeError, "reserved_count"),
    (lambda R: native._kernel_make_record("S", ["a"], -1), OverflowError, "negative"),
    (lambda R: native._kernel_make_record("S", ["a"], 9, 1), TypeError, "enable_topo"),
    (lambda R: native._kernel_make_record_subtype(R(), "S", ["a"], 0), TypeError, "'base'"),
])
def test_builder_refusals(call, error, message):
    R = native._kernel_make_record("R", ["a"], 9)
    with pytest.raises(error) as info:
        call(R)
    assert message in str(info.value)


def _python_subclass():
    R = native._kernel_make_record("R", ["a"], 9)
    return type("P", (R,), {"__slots__": ("x",)})


class Forged:
    __slot_reserved__ = 9
    __slot_field_offsets__ = {"a": 16}


@pytest.mark.parametrize("base", [list, dict, Forged, _python_subclass()],
                         ids=["list", "dict", "forged", "python-subclass"])
def test_subtypes_only_extend_kernel_built_records(base):
    with pytest.raises(TypeError, match="is not a record type made by the kernel"):
        native._kernel_make_record_subtype(base, "S", ["a"], 9)


def test_sizes_beyond_the_type_spec_limit_are_refused_before_the_type_exists():
    top = (INT_MAX - OB) // 8
    assert native._kernel_make_record("Huge", [], top).__basicsize__ == OB + 8 * top
    for reserved, fields in [(top + 1, []), (top, ["a"]), (2**62, ["a"])]:
        with pytest.raises(OverflowError, match="record layout too large"):
            native._kernel_make_record("Huge", fields, reserved)
    R = native._kernel_make_record("R", ["a"], 9)
    with pytest.raises(OverflowError):
        native._kernel_make_record_subtype(R, "S", [], (INT_MAX - R.__basicsize__) // 8 + 1)
    with pytest.raises(OverflowError):
        native._kernel_make_record("R", [], 2**64)


def test_the_type_attributes_that_subtypes_read():
    R = native._kernel_make_record("R", ["a"], 9)
    # The reserved count comes from the kernel's own record of the base.
    R.__slot_reserved__ = "junk"
    assert native._kernel_make_record_subtype(R, "S", ["b"], 1).__slot_reserved__ == 10
    del R.__slot_field_offsets__
    assert native._kernel_make_record_subtype(R, "S", ["a"], 0).__slot_field_offsets__ == {
        "a": R.__basicsize__}
    R.__slot_field_offsets__ = [("a", 24)]
    with pytest.raises(TypeError, match="'list' object is not an instance of 'dict'"):
        native._kernel_make_record_subtype(R, "S", ["b"], 0)


def test_record_types_are_collected_with_their_instances():
    R = native._kernel_make_record("R", ["a"], 9)
    inst = R()
    inst.a = inst
    ref = weakref.ref(R)
    del R, inst
    import gc
    gc.collect()
    assert ref() is None


def test_kernel_functions_are_bound_last_in_order():
    names = native.__all__
    kernel = [
        "_kernel_topology_reserved", "_slot_node_get", "_slot_node_set",
        "_slot_node_set_if_absent", "_kernel_probe_type_layout", "_kernel_roundtrip_tp_init",
        "_install_native_tp_init", "_install_native_record_tp_init",
        "_install_native_tp_getattro", "_install_native_tp_getattro_fast",
        "_install_native_record_tp_getattro", "_kernel_tp_getattro_is_native",
        "_kernel_tp_getattro_is_fast", "_kernel_make_record", "_kernel_make_record_subtype",
        "_kernel_set_record_enable_topo", "_kernel_set_record_field_kinds",
        "_kernel_record_layout", "_kernel_is_inferential", "_kernel_generic_getattr",
        "_kernel_generic_setattr", "_kernel_generic_delattr", "_kernel_probe_short_circuit",
        "_kernel_probe_traverse_visits",
    ]
    assert names[names.index("_FLAG_CHANGE_NOTIFICATION") + 1:] == kernel
