"""The node-state interface over both layouts of symbolic objects: roles,
the topology gate, the blank-object guard, parent and path changes with
their hooks, origins and sealing."""

import inspect

import pytest

import vesk_core._native as native
from helpers import Dict, Node
from object_helpers import (KeyPath, Origin, SymbolicModeError, made, made_record,
                            node_record_class, object_class, recording_hooks, seams)

ABI = "node-state ABI: `inst` is neither a SymObject nor an inline-slot record"


def make(layout, *, topo=True, namespace=None, **fields):
    """An object (`layout` "object") or a record ("record") with the fields
    a and b, filled with `fields`."""
    if layout == "object":
        cls = object_class("O", [("a", native.Any()), ("b", native.Any())], topo=topo,
                           namespace=namespace)
        return made(cls, **fields)
    cls = node_record_class("R", ["a", "b"], topo=topo, namespace=namespace)
    return made_record(cls, **fields)


LAYOUTS = ["object", "record"]


class Truthless:
    def __bool__(self):
        raise RuntimeError("no truth")


@pytest.mark.parametrize("layout", LAYOUTS)
def test_roles_read_back_what_was_stored(layout):
    inst = make(layout, a=1)
    for role in (0, 1, 5):
        value = object()
        native._probe_node_set(inst, role, value)
        assert native._probe_node_get(inst, role) is value
        native._probe_node_set(inst, role)
        assert native._probe_node_get(inst, role) is None
    for role in (2, 3, 4):
        for value, expected in ((1, True), ("", False), (Truthless(), False), (None, False),
                                ([0], True)):
            native._probe_node_set(inst, role, value)
            assert native._probe_node_get(inst, role) is expected
    view, caches = Dict(), object()
    native._probe_node_set(inst, 6, view)
    native._probe_node_set(inst, role=7, value=caches)
    expected = (None, None) if layout == "object" else (view, caches)
    assert (native._probe_node_get(inst, 6), native._probe_node_get(inst, 7)) == expected


def test_object_roles_beyond_the_node_state_are_empty():
    obj = make("object")
    for role in (6, 8, 2**64 - 1):
        native._probe_node_set(obj, role, "ignored")
        assert native._probe_node_get(obj, role) is None


class Forged:
    __slot_reserved__ = 9
    __slot_field_offsets__ = {"a": 80}
    __slot_field_names__ = ["a"]


@pytest.mark.parametrize("inst, role, error, message", [
    (5, 0, TypeError, ABI),
    (Forged(), 0, TypeError, ABI),                    # recognised natively, never by attribute
    (Forged, 1, TypeError, ABI),
    ("record", 8, RuntimeError, "node-state role 8 out of range (0..8"),
    ("probe", 3, TypeError, "lies outside the 3 reserved cells"),
    ("object", -1, OverflowError, "'role'"),
    ("object", "1", TypeError, "'role'"),
    ("record", 2**64, OverflowError, "'role'"),
])
def test_role_refusals(inst, role, error, message):
    inst = {
        "record": lambda: make("record"),
        "object": lambda: make("object"),
        "probe": lambda: node_record_class("P", ["a"], reserved=3)(),
    }[inst]() if isinstance(inst, str) else inst
    for call in (lambda: native._probe_node_get(inst, role),
                 lambda: native._probe_node_set(inst, role, "v")):
        with pytest.raises(error) as info:
            call()
        assert message in str(info.value)
    if isinstance(inst, Forged):
        assert vars(inst) == {}


@pytest.mark.parametrize("op, args", [
    ("_node_setparent", (None,)), ("_node_setpath", (None,)),
    ("_node_setorigin", ("src", "tag")), ("_node_seal", ()),
])
def test_operations_on_values_that_are_no_node(op, args):
    with pytest.raises((TypeError, AttributeError)):
        getattr(native, op)(Forged(), *args)
    with pytest.raises((TypeError, AttributeError)):
        getattr(native, op)(5, *args)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_parent_changes_fire_the_hook_on_change_only(layout):
    log = []
    inst = make(layout, a=1, namespace=recording_hooks(log, "on_topo_parent_change"))
    p, q = Node("p"), Node("q")
    native._node_setparent(inst, None)
    native._node_setparent(inst, p)
    native._node_setparent(inst, parent=p)
    inst.topo_setparent(q)
    inst.topo_setparent(None)
    assert log == [("on_topo_parent_change", None, p), ("on_topo_parent_change", p, q),
                   ("on_topo_parent_change", q, None)]
    assert native._probe_node_get(inst, 0) is None


@pytest.mark.parametrize("layout", LAYOUTS)
def test_parent_changes_without_an_overridden_hook(layout):
    inst = make(layout, a=1)
    native._node_setparent(inst, Node())
    native._node_setparent(inst)
    assert native._probe_node_get(inst, 0) is None


def test_a_record_hook_is_told_by_its_type():
    log = []
    inst = make("record", a=1, namespace=recording_hooks(log, "on_topo_parent_change"))
    type(inst).on_topo_parent_change = property(lambda self: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        native._node_setparent(inst, Node())
    assert log == []


@pytest.mark.parametrize("layout", LAYOUTS)
def test_an_equal_path_changes_nothing(layout):
    log = []
    hooks = recording_hooks(log, "on_topo_path_change", "_update_children_paths")
    inst = make(layout, a=1, namespace=hooks)
    native._node_setpath(inst, KeyPath.parse("x.y"))
    stored = native._probe_node_get(inst, 1)
    log.clear()
    native._node_setpath(inst, KeyPath.parse("x.y"))
    assert native._probe_node_get(inst, 1) is stored and log == []


class PathLike:
    """Not a native key path: compared with `!=`."""

    def __init__(self, text):
        self.text = text

    def __eq__(self, other):
        return isinstance(other, PathLike) and other.text == self.text

    __hash__ = None


def test_paths_that_are_no_key_paths_compare_by_python_equality():
    log = []
    inst = make("record", a=1, namespace=recording_hooks(log, "_update_children_paths"))
    first = PathLike("p")
    native._node_setpath(inst, first)
    native._node_setpath(inst, PathLike("p"))
    assert native._probe_node_get(inst, 1) is first and len(log) == 1


def test_an_object_repaths_its_children_natively():
    log = []
    child, flat_child, plain = Dict(), Node("off"), [1]
    flat_child.enable_topo = False
    cls = object_class("O", [("a", native.Any())],
                       namespace=recording_hooks(log, "on_topo_path_change"))
    obj = made(cls, a=child, b=flat_child, c=plain)
    obj.topo_setpath(KeyPath("root"))
    assert child.topo_path == KeyPath.parse("root.a") and flat_child.calls == []
    assert log == [("on_topo_path_change", KeyPath(), KeyPath("root"))]
    with pytest.raises(AssertionError):
        obj.topo_setpath("not a key path")
    assert obj._topo_path == "not a key path"         # stored before the check
    with pytest.raises(AssertionError):
        native._node_setpath(obj, None)
    assert obj._topo_path is None and log[-1][0] == "on_topo_path_change"


@pytest.mark.parametrize("layout", LAYOUTS)
def test_an_overridden_children_update_takes_over(layout):
    log = []
    hooks = recording_hooks(log, "on_topo_path_change", "_update_children_paths")
    child = Dict()
    inst = make(layout, a=child, namespace=hooks)
    native._node_setpath(inst, KeyPath("r"))
    native._node_setpath(inst)
    assert log == [("_update_children_paths", KeyPath(), KeyPath("r")),
                   ("_update_children_paths", KeyPath("r"), None)]
    assert child.topo_path == KeyPath()             # nothing native ran


def test_a_record_updates_its_children_through_its_method():
    child = Dict()
    inst = make("record", a=child, b=5)
    inst.topo_setpath(KeyPath("r"))
    assert child.topo_path == KeyPath.parse("r.a")


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("op, call", [
    ("topo_setpath", lambda inst: native._node_setpath(inst, KeyPath("x"))),
    ("topo_setparent", lambda inst: native._node_setparent(inst, Node())),
])
def test_the_topology_gate(layout, op, call):
    inst = make(layout, topo=False, a=1)
    with pytest.raises(SymbolicModeError, match=rf"^`{op}` requires a symbolic tree, but \w+ "
                                                r"was declared with `topo=False`"):
        call(inst)
    assert native._probe_node_get(inst, 0) is None
    assert native._probe_node_get(inst, 1) == KeyPath()


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("op", [
    lambda inst: native._node_setpath(inst, KeyPath("x")),
    lambda inst: native._node_setorigin(inst, "src", "tag"),
    lambda inst: native._node_seal(inst),
])
def test_the_blank_guard(layout, op):
    cls = type(make(layout))
    blank = cls.__new__(cls) if layout == "object" else cls()
    with pytest.raises(ValueError, match=r"^\w+.__init__ should call `super\(\).__init__`.$"):
        op(blank)
    native._node_setparent(blank, Node())            # setting a parent has no guard
    assert native._probe_node_get(blank, 2) in (None, False)


def test_a_record_without_init_fields_is_blank_until_seeded():
    Bare = node_record_class("Bare", [])
    inst = Bare()
    assert seams.record_is_blank(inst) is True
    with pytest.raises(ValueError, match="Bare.__init__ should call"):
        native._node_seal(inst)
    native._probe_node_set(inst, 3, False)
    assert seams.record_is_blank(inst) is False
    native._node_seal(inst)
    assert native._probe_node_get(inst, 2) is True
    assert seams.record_is_blank(node_record_class("N", [], reserved=0)()) is False
    assert seams.record_is_blank(node_record_class("Q", [], reserved=2)()) is False


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kwargs, recorded", [
    ({}, -2), ({"stacktop": 0}, -1), ({"stacktop": 2**63 - 1}, 2**63 - 2),
    ({"stacktop": -2**63}, OverflowError), ({"stacktop": 2**63}, OverflowError),
    ({"stacktop": 1.0}, TypeError),
])
def test_origin_stacktop(layout, kwargs, recorded):
    inst = make(layout, a=1)
    if isinstance(recorded, type):
        with pytest.raises(recorded, match="stacktop"):
            native._node_setorigin(inst, "src", "tag", **kwargs)
        assert native._probe_node_get(inst, 5) is None
    else:
        native._node_setorigin(inst, "src", "tag", **kwargs)
        origin = native._probe_node_get(inst, 5)
        assert (origin.source, origin.tag, origin.stacktop) == ("src", "tag", recorded)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_origin_source_must_stay_the_same(layout):
    inst, source = make(layout, a=1), object()
    inst.sym_setorigin(source, "a")
    inst.sym_setorigin(source, "b", "trace", 3)
    origin = native._probe_node_get(inst, 5)
    assert (origin.tag, origin.stacktrace, origin.stacklimit, origin.stacktop) == ("b", "trace", 3, -2)
    with pytest.raises(ValueError, match=r"^Cannot set the origin with a different source value\. "
                                         r"Origin source: <object .*>, New source: 'other'\.$"):
        native._node_setorigin(inst, "other", "c")
    assert native._probe_node_get(inst, 5) is origin
    native._probe_node_set(inst, 5, Origin(None, "unsourced"))
    native._node_setorigin(inst, "other", "d", stacktrace=None, stacklimit=None)
    assert native._probe_node_get(inst, 5).tag == "d"


class Child(Node):
    """Records the sealed state of its owner when it is sealed."""

    def __init__(self, owner_state):
        super().__init__()
        self.owner_state = owner_state
        self.seen = []

    def sym_seal(self, is_seal=True):
        self.seen.append(self.owner_state())
        return super().sym_seal(is_seal)


def test_an_object_seals_itself_first_and_once():
    cls = object_class("O", [("a", native.Any())])
    obj = made(cls)
    child, off, plain = Child(lambda: obj._sealed), Node("off"), 5
    off.enable_topo = False
    obj.field_dict().update(a=child, b=off, c=plain)
    assert obj.sym_seal() is obj and obj._sealed
    assert child.seen == [True] and off.calls == []
    obj.sym_seal(True)
    native._node_seal(obj, is_seal=True)
    assert child.seen == [True]                     # already sealed: children not visited
    native._node_seal(obj, False)
    assert child.seen == [True, False] and not obj._sealed


def test_a_record_seals_its_children_first_and_every_time():
    R = node_record_class("R", ["a", "b", "c"], non_symbolic=["c"])
    inst = made_record(R)
    child = Child(lambda: native._probe_node_get(inst, 2))
    off = Node("ignored")
    inst.a, inst.c = child, off
    inst.b = Node("b")
    native._node_seal(inst)
    native._node_seal(inst)
    assert child.seen == [False, True] and native._probe_node_get(inst, 2) is True
    assert off.calls == [] and inst.b.calls == [("seal", True)] * 2


def test_a_failing_child_stops_the_seal():
    broken = Node("broken")
    broken.sym_seal = None                           # not callable
    obj = made(object_class("O", [("a", native.Any())]), a=broken)
    with pytest.raises(TypeError):
        obj.sym_seal()
    assert obj._sealed                                # an object's flag comes first
    inst = made_record(node_record_class("R", ["a"]), a=broken)
    with pytest.raises(TypeError):
        native._node_seal(inst)
    assert native._probe_node_get(inst, 2) is False   # a record's comes last


def test_a_materialised_record_seals_its_view():
    inst = made_record(node_record_class("R", ["a"]), a=Node("cell"))
    view = Dict(x=Dict())
    assert seams.install_view(inst, view) is view
    native._node_seal(inst)
    assert view._sealed and view["x"]._sealed and inst.a.calls == []
    assert native._probe_node_get(inst, 2) is True


def test_the_node_facts_of_a_class():
    cls = object_class("O", [("a", native.Any())])
    assert seams.node_facts(made(cls)) == (True, False, False, False)
    hooks = recording_hooks([], "on_topo_parent_change", "_update_children_paths",
                            "on_topo_path_change")
    flat = object_class("F", [("a", native.Any())], topo=False, namespace=hooks)
    assert seams.node_facts(made(flat)) == (False, True, True, True)
    assert seams.node_facts(make("record")) is None


def test_adoption_reads_an_objects_parent_natively():
    class Opaque(object_class("O", [("a", native.Any())])):
        @property
        def _topo_parent(self):
            raise AssertionError("read natively, never by attribute")

    top = Dict()
    obj = made(Opaque)
    native._node_setparent(obj, top)
    inner = Dict()
    inner._topo_parent = obj
    with pytest.raises(ValueError, match="would create a cycle"):
        inner["loop"] = top


def test_registration_order_and_signatures():
    names = native.__all__
    order = ["SymObject", "SymFieldGetter", "_install_object_bridge", "_node_setparent",
             "_node_setpath", "_node_setorigin", "_node_seal", "_probe_node_get",
             "_probe_node_set"]
    assert [n for n in names if n in order] == order
    assert names.index("SymDict") < names.index("SymObject")
    signature = lambda fn: str(inspect.signature(fn))
    assert signature(native._node_setorigin) == (
        "(inst, source, tag, stacktrace=None, stacklimit=None, stacktop=-1)")
    assert signature(native._probe_node_set) == "(inst, role, value=None)"
    assert signature(native.SymObject.sym_seal) == "(self, /, is_seal=True)"
