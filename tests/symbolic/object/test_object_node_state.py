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
LAYOUTS = ["object", "record"]


def make(layout, *, topo=True, namespace=None, **fields):
    """An object or a record with the fields a and b, filled with `fields`."""
    if layout == "object":
        cls = object_class("O", [("a", native.Any()), ("b", native.Any())], topo=topo,
                           namespace=namespace)
        return made(cls, **fields)
    return made_record(node_record_class("R", ["a", "b"], topo=topo, namespace=namespace),
                       **fields)


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
        for value, expected in ((1, True), ("", False), (Truthless(), False), (None, False)):
            native._probe_node_set(inst, role, value)
            assert native._probe_node_get(inst, role) is expected
    view, caches = Dict(), object()
    native._probe_node_set(inst, 6, view)
    native._probe_node_set(inst, role=7, value=caches)
    stored = [native._probe_node_get(inst, r) for r in (6, 7)]
    assert stored == ([None, None] if layout == "object" else [view, caches])
    if layout == "object":                            # roles beyond the node state are empty
        native._probe_node_set(inst, 2**64 - 1, "ignored")
        assert native._probe_node_get(inst, 2**64 - 1) is None


class Forged:
    __slot_reserved__ = 9
    __slot_field_offsets__ = {"a": 80}
    __slot_field_names__ = ["a"]


@pytest.mark.parametrize("inst, role, error, message", [
    (5, 0, TypeError, ABI),
    (Forged(), 0, TypeError, ABI),                   # recognised natively, never by attribute
    ("record", 8, RuntimeError, "node-state role 8 out of range (0..8"),
    ("probe", 3, TypeError, "lies outside the 3 reserved cells"),
    ("object", -1, OverflowError, "'role'"),
    ("record", "1", TypeError, "'role'"),
])
def test_role_refusals(inst, role, error, message):
    inst = {
        "record": lambda: make("record"),
        "object": lambda: make("object"),
        "probe": lambda: node_record_class("P", ["a"], reserved=3)(),
    }[inst]() if isinstance(inst, str) else inst
    for call in (lambda: native._probe_node_get(inst, role),
                 lambda: native._probe_node_set(inst, role, "v")):
        with pytest.raises(error, match=message.replace("(", r"\(")):
            call()
    if role == 0:
        with pytest.raises(TypeError, match=ABI):
            native._node_seal(inst)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_parent_changes_fire_an_overridden_hook_on_change_only(layout):
    log = []
    inst = make(layout, a=1, namespace=recording_hooks(log, "on_topo_parent_change"))
    p, q = Node("p"), Node("q")
    for parent in (None, p, p, q, None):
        native._node_setparent(inst, parent)
    inst.topo_setparent(q)
    assert log == [("on_topo_parent_change", None, p), ("on_topo_parent_change", p, q),
                   ("on_topo_parent_change", q, None), ("on_topo_parent_change", None, q)]
    plain = make(layout, a=1)                        # the default hook is never called
    native._node_setparent(plain, p)
    assert native._probe_node_get(plain, 0) is p


def test_a_record_hook_is_read_from_its_type():
    inst = make("record", a=1)
    type(inst).on_topo_parent_change = property(lambda self: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        native._node_setparent(inst, Node())


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("path, equal", [(KeyPath.parse("x.y"), KeyPath.parse("x.y")),
                                         (["no", "key", "path"], ["no", "key", "path"])])
def test_an_equal_path_changes_nothing(layout, path, equal):
    log = []
    hooks = recording_hooks(log, "on_topo_path_change", "_update_children_paths")
    inst = make(layout, a=1, namespace=hooks)
    native._node_setpath(inst, path)
    log.clear()
    native._node_setpath(inst, equal)
    assert native._probe_node_get(inst, 1) is path and log == []


def test_an_object_repaths_its_children_natively():
    log = []
    child, flat_child = Dict(), Node("off")
    flat_child.enable_topo = False
    cls = object_class("O", [("a", native.Any())],
                       namespace=recording_hooks(log, "on_topo_path_change"))
    obj = made(cls, a=child, b=flat_child, c=[1])
    obj.topo_setpath(KeyPath("root"))
    assert child.topo_path == KeyPath.parse("root.a") and flat_child.calls == []
    assert log == [("on_topo_path_change", KeyPath(), KeyPath("root"))]
    for bad in ("not a key path", None):
        with pytest.raises(AssertionError):
            native._node_setpath(obj, bad)
        assert obj._topo_path == bad                  # stored before the check
    assert len(log) == 1


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
    assert child.topo_path == KeyPath()              # nothing native ran


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


def test_a_record_without_init_fields_is_blank_until_seeded():
    inst = node_record_class("Bare", [])()
    with pytest.raises(ValueError, match="Bare.__init__ should call"):
        native._node_seal(inst)
    native._probe_node_set(inst, 3, False)
    native._node_seal(inst)
    assert native._probe_node_get(inst, 2) is True
    for reserved in (0, 2):                          # no allow_partial cell: never blank
        assert seams.record_is_blank(node_record_class("N", [], reserved=reserved)()) is False


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
    assert (origin.tag, origin.stacktrace, origin.stacklimit) == ("b", "trace", 3)
    assert origin.stacktop == -2
    with pytest.raises(ValueError, match=r"^Cannot set the origin with a different source value\. "
                                         r"Origin source: <object .*>, New source: 'other'\.$"):
        native._node_setorigin(inst, "other", "c")
    assert native._probe_node_get(inst, 5) is origin
    native._probe_node_set(inst, 5, Origin(None, "unsourced"))
    native._node_setorigin(inst, "other", "d")
    assert native._probe_node_get(inst, 5).tag == "d"


class Child(Node):
    """Notes its owner's sealed state whenever it is sealed."""

    def __init__(self, owner_state):
        super().__init__()
        self.owner_state, self.seen = owner_state, []

    def sym_seal(self, is_seal=True):
        self.seen.append(self.owner_state())
        return super().sym_seal(is_seal)


def test_an_object_seals_itself_first_and_once():
    obj = made(object_class("O", [("a", native.Any())]))
    child, off = Child(lambda: obj._sealed), Node("off")
    off.enable_topo = False
    obj.field_dict().update(a=child, b=off, c=5)
    assert obj.sym_seal() is obj and obj._sealed
    obj.sym_seal(True)
    native._node_seal(obj, is_seal=True)              # already sealed: children not visited
    native._node_seal(obj, False)
    assert child.seen == [True, False] and off.calls == [] and not obj._sealed


def test_a_record_seals_its_children_first_and_every_time():
    inst = made_record(node_record_class("R", ["a", "b", "c"], non_symbolic=["c"]))
    child = Child(lambda: native._probe_node_get(inst, 2))
    inst.a, inst.b, inst.c = child, Node("b"), Node("not symbolic")
    native._node_seal(inst)
    native._node_seal(inst)
    assert child.seen == [False, True] and native._probe_node_get(inst, 2) is True
    assert inst.c.calls == [] and inst.b.calls == [("seal", True)] * 2


@pytest.mark.parametrize("layout, flag_after", [("object", True), ("record", False)])
def test_a_failing_child_stops_the_seal(layout, flag_after):
    broken = Node("broken")
    broken.sym_seal = None                           # not callable
    inst = make(layout, a=broken)
    with pytest.raises(TypeError):
        native._node_seal(inst)
    assert native._probe_node_get(inst, 2) is flag_after   # an object's flag comes first


def test_a_materialised_record_seals_its_view():
    inst = made_record(node_record_class("R", ["a"]), a=Node("cell"))
    view = Dict(x=Dict())
    assert seams.install_view(inst, view) is view
    native._node_seal(inst)
    assert view._sealed and view["x"]._sealed and inst.a.calls == []
    assert native._probe_node_get(inst, 2) is True


def test_a_deep_tree_raises_recursion_error():
    cls = object_class("O", [("a", native.Any())])
    top = None
    for _ in range(50_000):
        top = made(cls, a=top)
    with pytest.raises(RecursionError):
        top.sym_seal()


def test_adoption_reads_an_objects_parent_natively():
    class Opaque(object_class("O", [("a", native.Any())])):
        @property
        def _topo_parent(self):
            raise AssertionError("read natively, never by attribute")

    top, inner, obj = Dict(), Dict(), made(Opaque)
    native._node_setparent(obj, top)
    inner._topo_parent = obj
    with pytest.raises(ValueError, match="would create a cycle"):
        inner["loop"] = top


def test_registration_order_and_signatures():
    order = ["SymDict", "SymObject", "SymFieldGetter", "_install_object_bridge",
             "_node_setparent", "_node_setpath", "_node_setorigin", "_node_seal",
             "_probe_node_get", "_probe_node_set"]
    assert [n for n in native.__all__ if n in order] == order
    assert str(inspect.signature(native._node_setorigin)) == (
        "(inst, source, tag, stacktrace=None, stacklimit=None, stacktop=-1)")
    assert str(inspect.signature(native._probe_node_set)) == "(inst, role, value=None)"
