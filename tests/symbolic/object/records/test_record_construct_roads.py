"""The record tp_init's direct road and the init schema's validation build
the same record: one class, constructed with the same keywords with the
direct road on and off (a test-only switch), over generated field sets and
values, gives the same cells, node state, children and errors (class and
message). The direct road must stand aside whenever the class, a field or
the thread's scope changed what it compiled."""

import gc
import types
import weakref

import pytest
from hypothesis import given, settings, strategies as st

import vesk_core._native as native
from construct_helpers import KINDS as BASE_KINDS
from helpers import child_transform_mode, scope  # noqa: F401  (a fixture)
from object_helpers import KeyPath, object_class, seams
from vesk.symbolic.object_classes import options

# Every test runs twice: with the stand-in's child transform, and with a hook
# that answers None ("no child transform").
pytestmark = pytest.mark.usefixtures("child_transform_mode")

# The construction kinds, and a bounded int whose check the direct road runs.
KINDS = dict(BASE_KINDS, bounded=(lambda: native.Int(min_value=0), st.integers(-3, 3)))

# Values of the wrong kind for any field but Any.
WRONG = st.sampled_from([object(), b"bytes", 1.5j, "text", 2.5])


def shape(value, inst):
    """A cell's value, comparable across records: containers by class,
    contents, path and whether `inst` is their parent."""
    if isinstance(value, (native.SymDict, native.SymList)):
        raw = dict(value) if isinstance(value, dict) else list(value)
        return (type(value), raw, value._topo_path, value._topo_parent is inst)
    return (type(value), value)


def outcome(cls, kwargs, extra):
    try:
        inst = cls(**dict(kwargs), **extra)
    except Exception as e:  # noqa: BLE001 - both roads must fail alike
        return ("raised", type(e), str(e))
    cells = native._slot_record_inline_fields(inst, cls.__slot_field_names__)
    return ("built", {k: shape(v, inst) for k, v in cells.items()},
            [shape(native._slot_node_get(inst, role), inst) for role in range(5)])


def roads(cls, kwargs, **extra):
    """(direct road outcome, schema road outcome, records the direct road built)."""
    before = seams.record_direct_built()
    direct = outcome(cls, kwargs, extra)
    built = seams.record_direct_built() - before
    seams.record_direct_road(False)
    try:
        long = outcome(cls, kwargs, extra)
    finally:
        seams.record_direct_road(True)
    return direct, long, built


@st.composite
def cases(draw):
    kinds = draw(st.lists(st.sampled_from(sorted(KINDS)), min_size=1, max_size=5))
    kwargs = {}
    for i, kind in enumerate(kinds):
        choice = draw(st.sampled_from(["value", "value", "value", "absent", "wrong"]))
        if choice == "value":
            kwargs[f"f{i}"] = draw(KINDS[kind][1])
        elif choice == "wrong" and kind != "any":
            kwargs[f"f{i}"] = draw(WRONG)
    symbolic = draw(st.none() | st.sets(st.sampled_from([f"f{i}" for i in range(len(kinds))])))
    extra = draw(st.sampled_from([{}, {}, {"root_path": KeyPath("root")}, {"sealed": True},
                                  {"allow_partial": True}, {"unknown": 1}]))
    split = draw(st.integers(0, len(kinds) - 1))
    return kinds, kwargs, draw(st.booleans()), symbolic, extra, split


@settings(max_examples=200, deadline=None)
@given(cases())
def test_the_direct_road_and_the_schema_road_agree(case):
    kinds, kwargs, topo, symbolic, extra, split = case
    fields = [(f"f{i}", KINDS[k][0]()) for i, k in enumerate(kinds)]
    # The first `split` fields come from a record base class.
    based = {"base": object_class("B", fields[:split], topo=topo, slots=True)} if split else {}
    cls = object_class("R", fields[split:], topo=topo, slots=True, **based,
                       symbolic=None if symbolic is None else sorted(symbolic))
    direct, long, built = roads(cls, kwargs, **extra)
    assert direct == long
    declines = "allow_partial" in extra or "unknown" in extra
    assert built == (0 if declines else 1)


def test_validators_run_once_per_construction_on_either_road():
    calls = []

    def validator(value):
        calls.append(value)
        if value < 0:
            raise ValueError("negative")

    cls = object_class("R", [("a", native.Int()), ("b", native.Str())], slots=True)
    cls.sym_fields.schema.get_field("a")._validator = validator
    direct, long, built = roads(cls, {"a": 5, "b": "s"})
    assert direct == long and direct[0] == "built" and built == 1 and calls == [5, 5]
    # A failing validator wins over the bad value of a later field.
    direct, long, built = roads(cls, {"a": -1, "b": 3})
    assert direct == long == ("raised", ValueError, "negative (path=a)") and built == 1
    assert calls == [5, 5, -1, -1]


def test_a_changed_class_or_field_sends_construction_the_long_way():
    log = []
    cls = object_class("R", [("x", native.Int()), ("y", native.Int(default=1))], slots=True)
    assert roads(cls, {"x": 1})[2] == 1
    # A class attribute set after the metadata was built.
    cls.on_sym_post_init = lambda self: log.append("post_init")
    cls._sym_post_init_is_noop = False
    direct, long, built = roads(cls, {"x": 1})
    assert built == 0 and direct == long and log == ["post_init", "post_init"]
    # A field whose value spec changed drops its compiled record.
    other = object_class("S", [("x", native.Int())], slots=True)
    assert roads(other, {"x": 1})[2] == 1
    other.sym_fields.schema.get_field("x")._value = native.Str()
    direct, long, built = roads(other, {"x": "now a str"})
    assert built == 0 and direct == long and direct[0] == "built"


def test_options_changed_in_place_are_read_on_each_construction():
    cls = object_class("R", [("items", native.List(native.Int()))], slots=True)
    first = roads(cls, {"items": [1]})
    cls.__sym_options__.topo = False
    second = roads(cls, {"items": [1]})
    assert first[0] == first[1] and second[0] == second[1] and second[2] == 1


@pytest.mark.parametrize("flag", [True, False])
def test_the_thread_partial_scope_declines(flag):
    cls = object_class("R", [("x", native.Int()), ("y", native.Int())], slots=True)
    with scope(native._FLAG_ALLOW_PARTIAL, flag):
        direct, long, built = roads(cls, {"x": 1})
    assert direct == long and built == (0 if flag else 1)


def test_a_class_whose_field_spec_refers_back_to_it_is_freed():
    holder = types.new_class("Holder")
    cls = object_class("Gone", [("x", native.Object(holder).noneable())], slots=True)
    holder.owner = cls
    cls(x=None)
    assert cls.__dict__["__native_record_meta__"] is not None
    alive = weakref.ref(cls)
    del cls, holder
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("reserved, written", [(3, []), (4, [3]), (5, [3, 4, 2, 1]), (9, [3, 4, 2, 1])])
def test_seeding_a_record_with_fewer_roles_writes_the_roles_before_the_first_it_lacks(
        reserved, written):
    base = native._kernel_make_record("Probe", ["a"], reserved, True)
    cls = types.new_class("Probe", (base,), exec_body=lambda ns: ns.update(
        __sym_options__=options(), __slots__=()))
    inst = cls()
    expected = {3: True, 4: True, 2: False, 1: KeyPath("r")}
    if reserved < 5:
        with pytest.raises(TypeError, match=f"outside the {reserved} reserved cells"):
            native._slot_record_init_node_state(inst, True, None, KeyPath("r"))
    else:
        native._slot_record_init_node_state(inst, True, None, KeyPath("r"))
    assert {r: native._slot_node_get(inst, r) for r in range(min(reserved, 5))} == {
        r: expected.get(r) if r in written else None for r in range(min(reserved, 5))}


class _ReadsOnce:
    """A class attribute whose first read runs `hook` and which then reads as `value`."""

    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __get__(self, obj, owner):
        hook, self.hook = self.hook, None
        if hook:
            hook(owner)
        return self.value


def test_a_class_changed_while_it_compiles_is_never_trusted():
    # The change lands after the flag was read for the compiled record and
    # before the class's version was noted: only a second read can see it.
    log = []

    def change(cls):
        cls.on_sym_post_init = lambda self: log.append("post_init")
        cls._sym_post_init_is_noop = False

    cls = object_class("R", [("x", native.Int())], slots=True)
    cls.__slot_field_offsets__ = _ReadsOnce(cls.__slot_field_offsets__, change)
    direct, long, built = roads(cls, {"x": 1})
    assert built == 0 and direct == long and log == ["post_init", "post_init"]
