"""Construction of `slots=True` records through the native record tp_init
and the `_slot_record_*` seams: cells, node-state seeding, adoption, the
finishing hooks, class metadata, materialisation and re-pathing, and
refusals that touch no memory."""

import gc
import weakref

import pytest

import vesk_core._native as native
from helpers import (MISSING, Dict, Node, RefNode, SharedHoldError, seams,  # noqa: F401  (a fixture)
                     child_transform_mode, scope)
from object_helpers import KeyPath, Origin, object_class
from vesk.symbolic.objects import SymbolicModeError

# Every test runs twice: with the stand-in's child transform, and with a hook
# that answers None ("no child transform").
pytestmark = pytest.mark.usefixtures("child_transform_mode")

OBJECT_BASICSIZE, CELL = native._kernel_record_layout()


def point(name="P", **kwargs):
    return object_class(name, [("x", native.Int()), ("y", native.Str(default="a"))],
                        slots=True, **kwargs)


def holder(name="H", assign=None, slots=True, **kwargs):
    if not slots:
        field = ("child", native.Field(native.ConstStrKey("child"), native.Any(), assign=assign))
    elif assign:
        field = ("child", native.Any(), assign)
    else:
        field = ("child", native.Any())
    return object_class(name, [field, ("n", native.Int(default=0))], slots=slots, **kwargs)


def test_construction_fills_cells_and_seeds_the_node_state():
    P = point()
    p = P(x=1)
    assert (p.x, p.y) == (1, "a")
    assert native._slot_record_inline_fields(p, ["x", "y"]) == {"x": 1, "y": "a"}
    roles = [native._slot_record_node_read(p, r) for r in range(8)]
    assert roles == [None, KeyPath(), False, False, True, None, None, None]
    q = P(x=2, root_path=KeyPath("root"), allow_partial=True, sealed=None)
    assert [native._slot_node_get(q, r) for r in (1, 2, 3)] == [KeyPath("root"), False, True]
    with scope(native._FLAG_ORIGIN_TRACKING, True):
        origin = native._slot_node_get(P(x=3), 5)
    assert isinstance(origin, Origin) and (origin.source, origin.tag) == (None, "__init__")


def test_layouts_follow_the_kernel_layout_constants():
    P = point()
    Sub = object_class("Sub", [("z", native.Any())], slots=True, base=P)
    base, sub = P.__record_type__, Sub.__record_type__
    assert base.__slot_field_offsets__ == {"x": OBJECT_BASICSIZE + 9 * CELL,
                                           "y": OBJECT_BASICSIZE + 10 * CELL}
    assert base.__basicsize__ == OBJECT_BASICSIZE + 11 * CELL
    assert sub.__slot_field_offsets__["z"] == base.__basicsize__
    s = Sub(x=1, z=[1])
    assert (s.x, s.y, s.z) == (1, "a", [1]) and native._slot_node_get(s, 1) == KeyPath()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"x": "bad"}, TypeError, "Expect .*int.* but encountered .*str"),
    ({"y": 1}, TypeError, "Expect .*str"),  # a bad value wins over the missing x
    ({"y": "b"}, TypeError, r"^P.__init__\(\) missing 1 required argument: 'x'.$"),
    ({"x": 1, "z": 2, "w": 3}, TypeError,
     r"^P.__init__\(\) got unexpected keyword arguments: 'z', 'w'$"),
    ({"x": 1, "sealed": 1}, TypeError, "sealed"),
    ({"x": 1, "allow_partial": 1}, TypeError, "allow_partial"),
    ({"x": "bad", "explicit_init": True}, NotImplementedError,
     r"^P: `slots=True` does not yet support `explicit_init`"),
])
def test_construct_errors(kwargs, error, message):
    with pytest.raises(error, match=message):
        point()(**kwargs)


@pytest.mark.parametrize("kwargs", [{}, {"allow_partial": True}])
def test_container_fields_take_raw_containers_with_or_without_a_child_transform(kwargs):
    R = object_class("R", [("items", native.List(native.Int())), ("table", native.Dict()),
                           ("made", native.List(native.Int(), default_factory=list))], slots=True)
    r = R(items=[1, 2], table={"a": 1}, **kwargs)
    assert (r.items, r.table) == ([1, 2], {"a": 1})
    assert kwargs or r.made == []
    cells = native._slot_record_construct(R.__new__(R), ["items", "table", "made"],
                                          {"items": [3], "table": {}}, child_transform=None)
    assert cells is None


def test_ignored_extras_and_reserved_aliases():
    P = point(namespace={"__extra_ignore__": True, "_sym_alias_maps": ({"ex": "x"}, {})})
    assert P(x=1, unknown=2).x == 1
    with pytest.raises(TypeError, match=r"^P.__init__\(\) got keyword argument 'ex', which is "
                                        r"reserved as the alias of field 'x'.$"):
        P(x=1, ex=2)
    with pytest.raises(TypeError, match="unexpected keyword argument: 5"):
        native._slot_record_construct(point().__new__(point()), ["x", "y"], {5: 1, "x": 1})


def test_the_partial_scope_lets_required_fields_go_missing():
    P = object_class("P", [("y", native.Str(default="a")), ("x", native.Int())], slots=True)
    with scope(native._FLAG_ALLOW_PARTIAL, True):
        p = P()
    # The formalised value of a missing field is the missing value.
    assert native._slot_record_inline_fields(p, ["y", "x"]) == {"y": "a", "x": MISSING}
    assert p.x == MISSING and native._slot_node_get(p, 3) is False


def _logging(log, post_init=True):
    ns = {
        "sym_seal": lambda self, is_seal=True: (log.append(("seal", is_seal)),
                                                 native._node_seal(self, is_seal))[1],
    }
    if post_init:
        ns["on_sym_post_init"] = lambda self: log.append(("post_init", self.cache))
    return ns


@pytest.mark.parametrize("frozen, sealed, expect_seal", [
    (False, True, True), (True, None, True), (True, False, False), (False, None, False)])
def test_finish_seeds_then_runs_post_init_then_seals(frozen, sealed, expect_seal):
    log = []
    P = point(frozen=frozen, non_symbolic={"cache": "seeded"}, namespace=_logging(log))
    p = P(x=1, sealed=sealed)
    assert log == [("post_init", "seeded")] + ([("seal", True)] if expect_seal else [])
    assert native._slot_node_get(p, 2) is expect_seal
    log.clear()
    point(namespace=_logging(log, post_init=False))(x=1)
    assert log == []  # a no-op post-init is never called


def test_children_get_their_path_then_the_record_as_parent():
    H = holder()
    child, d = Node("c"), Dict(a=1)
    h = H(child=child, root_path=KeyPath("root"))
    assert child.calls == [("path", KeyPath("child", KeyPath("root"))), ("parent", h)]
    h2 = H(child=d)
    assert d._topo_parent is h2 and d._topo_path == KeyPath("child")
    flat = holder("F", topo=False)
    loose = Node("l")
    flat(child=loose)
    assert loose.calls == []


class PlainNode:
    """Keeps a tree without being symbolic: adoption stamps it wherever it
    sits, with no placement check."""

    def __init__(self, name):
        self._topo_parent = self._topo_path = None

    def topo_setpath(self, path):
        self._topo_path = path

    def topo_setparent(self, parent):
        self._topo_parent = parent


@pytest.mark.parametrize("slots", [True, False], ids=["record", "object"])
@pytest.mark.parametrize("assign, child_cls, outcome", [
    (None, Node, "refused"), (None, RefNode, "cloned"), ("adopt", Node, "cloned"),
    ("adopt_ref", Node, "shared"), (None, PlainNode, "taken"), ("adopt_ref", PlainNode, "taken")])
def test_a_child_of_another_record(assign, child_cls, outcome, slots):
    H = holder(assign=assign, slots=slots)
    child = child_cls("c")
    first = H(child=child) if child_cls is not PlainNode else Dict(k=child)
    if outcome == "refused":
        with pytest.raises(SharedHoldError):
            H(child=child)
        return
    second = H(child=child)
    if outcome == "shared":
        assert second.child is child and child._topo_parent is first
        assert child._topo_path == KeyPath("child")
    elif outcome == "taken":
        # Named in one place, the one whose path it was given: the cycle
        # guard walking up from it meets the new owner.
        assert child._topo_parent is second and child._topo_path == KeyPath("child")
        with pytest.raises(ValueError, match="would create a cycle"):
            seams.adopt([("k", second)], True, None, child, None, None, False, None)
    else:
        assert second.child.cloned_from is child and second.child._topo_parent is second


def test_record_meta_is_built_once_per_class():
    P = point()
    P(x=1)
    meta = P.__dict__["__native_record_meta__"]
    P(x=2)
    assert type(meta) is native.RecordMeta and P.__dict__["__native_record_meta__"] is meta
    Sub = object_class("Sub", [("z", native.Any())], slots=True, base=P)
    Sub(x=1, z=2)
    assert Sub.__dict__["__native_record_meta__"] is not meta
    with pytest.raises(TypeError):
        native.RecordMeta()
    Q = point("Q")
    Q.__native_record_meta__ = "forged"
    with pytest.raises(TypeError, match="not an instance of 'RecordMeta'"):
        Q(x=1)


def test_discarded_record_classes_are_freed_with_their_meta():
    P = point("Gone")
    P(x=1)
    meta = P.__dict__["__native_record_meta__"]
    # The meta holds the schema, whose fields' origin is the class: a cycle
    # the collector must see through the meta.
    assert P.sym_fields.schema in gc.get_referents(meta)
    assert P.sym_fields.schema.get_field("x").origin is P
    alive = weakref.ref(P)
    del P, meta
    gc.collect()
    assert alive() is None


def test_an_outside_referenced_cycle_through_a_slots_subclass_survives():
    P = holder()
    Sub = type("Sub", (P,), {"__slots__": ("extra",)})
    native._install_native_record_tp_init(Sub)  # a new class gets its slots anew
    a, b = Sub(child=None), Sub(child=None)
    a.extra, b.extra = b, a
    native._slot_node_set(b, 0, a)
    del b
    gc.collect()
    assert a.extra.extra is a and native._slot_node_get(a.extra, 0) is a
    assert a.extra.n == 0


def test_blank_records():
    P = point()
    blank = P.__new__(P)
    with pytest.raises(ValueError, match=r"^P.__init__ should call `super\(\).__init__`.$"):
        native._slot_record_node_read(blank, 1)
    assert native._slot_record_inline_fields(blank, ["x"]) is None
    with pytest.raises(AttributeError, match="^'P' object has no attribute '_sym_attributes'$"):
        native._slot_record_materialize(blank, ["x", "y"])
    assert native._slot_node_get(blank, 1) is None
    assert not native._slot_record_is_materialized(blank)


def test_a_class_without_init_field_names_is_blank_by_the_given_field_list():
    # A class without `__slot_field_names__`: the first given name decides,
    # over the reserved-count rule (the allow_partial cell, role 3).
    rec = native._kernel_make_record("T", ["a", "b"], 9)
    i = rec()
    assert native._slot_record_inline_fields(i, ["a", "b"]) is None
    i.a, i.b = 1, 2
    assert native._slot_record_inline_fields(i, ["a", "b"]) == {"a": 1, "b": 2}
    assert native._slot_record_inline_fields(i, ["b"]) == {"b": 2}
    seeded = rec()
    native._slot_node_set(seeded, 3, False)
    seeded.b = 2
    assert native._slot_record_inline_fields(seeded, ["a", "b"]) is None
    with pytest.raises(AttributeError, match="^'T' object has no attribute '_sym_attributes'$"):
        native._slot_record_materialize(seeded, ["a", "b"])
    # With neither, the reserved-count rule.
    assert native._slot_record_inline_fields(rec(), []) is None
    assert native._slot_record_inline_fields(seeded, []) == {}
    # The class's own list wins over the given one.
    P = point()
    half = P.__new__(P)
    half.y = "b"
    assert native._slot_record_inline_fields(half, ["y"]) is None


def test_the_view_wins_after_materialisation():
    H = holder()
    child = Dict(a=1)
    h = H(child=child, n=1, sealed=True)
    view = native._slot_record_materialize(h, ["child", "n"])
    assert native._slot_record_materialize(h, ["child", "n"]) is view is h._sym_attributes
    assert native._slot_record_is_materialized(h)
    assert view["child"] is child and child._topo_parent is h  # shared, not cloned
    assert view._sealed is True and view._allow_partial is False
    view._sealed = False
    view["n"] = 5
    assert h.n == 5 and native._slot_record_inline_fields(h, ["n"]) == {"n": 1}


def test_only_a_production_record_has_a_view():
    R = native._kernel_make_record("Probe", ["a"], 8)
    Probe = type("Probe", (R,), {"__slots__": (), "__slot_field_names__": ["a"]})
    p = Probe()
    p.a = 1
    with pytest.raises(RuntimeError, match=r"materialize requires the full production reserved "
                                           r"region \(9 slots .* 'Probe' carries 8"):
        native._slot_record_materialize(p, ["a"])
    assert not native._slot_record_is_materialized(p)


def test_repathing_children():
    H = holder()
    child = Node("c")
    h = H(child=child)
    with pytest.raises(AssertionError):
        native._slot_record_repath_children(h)
    child.calls.clear()
    native._node_setpath(h, KeyPath("moved"))
    assert child.calls == [("path", KeyPath("child", KeyPath("moved")))]
    d = Dict(a=Node("deep"))
    m = H(child=d)
    native._slot_record_materialize(m, ["child", "n"])
    native._slot_record_repath_children(m, KeyPath("top"))
    assert d._topo_path == KeyPath("child", KeyPath("top"))
    flat = holder("F", topo=False)(child=child)
    child.calls.clear()
    native._slot_record_repath_children(flat, KeyPath("x"))
    assert child.calls == []


class Forged:
    """Claims a record layout by its attributes only."""
    __slot_field_offsets__ = {"a": OBJECT_BASICSIZE}
    __slot_field_names__ = ["a"]
    __slot_symbolic_field_names__ = ["a"]
    __slot_reserved__ = 9


@pytest.mark.parametrize("call", [
    lambda f: native._slot_record_construct(f, ["a"], {"a": 1}),
    lambda f: native._slot_record_init_node_state(f),
    lambda f: native._slot_record_adopt_children(f, ["a"]),
    lambda f: native._slot_record_inline_fields(f, ["a"]),
    lambda f: native._slot_record_node_read(f, 0),
    lambda f: native._slot_record_materialize(f, ["a"]),
    lambda f: native._slot_record_is_materialized(f),
    lambda f: native._slot_record_repath_children(f, KeyPath("p")),
], ids=["construct", "init_node_state", "adopt", "inline", "node_read", "materialize",
        "is_materialized", "repath"])
def test_forged_records_are_refused(call):
    forged = Forged()
    forged.enable_topo = True
    before = dict(vars(forged))
    with pytest.raises(TypeError, match="not an inline-slot record"):
        call(forged)
    assert vars(forged) == before


def test_a_record_tp_init_on_a_class_without_record_layout_touches_nothing():
    P = point()
    Impostor = type("Impostor", (), {k: getattr(P, k) for k in (
        "__slot_field_names__", "__slot_symbolic_field_names__", "sym_fields", "enable_topo",
        "__sym_options__", "_non_symbolic_fields", "_sym_post_init_is_noop")})
    native._install_native_record_tp_init(Impostor)
    with pytest.raises(TypeError, match="not an inline-slot record"):
        Impostor(x=1)


@pytest.mark.parametrize("inst_role, error, message", [
    (8, RuntimeError, "node-state role 8 out of range"),
])
def test_bad_roles_and_names(inst_role, error, message):
    p = point()(x=1)
    with pytest.raises(error, match=message):
        native._slot_record_node_read(p, inst_role)
    with pytest.raises(OverflowError):
        native._slot_record_node_read(p, -1)
    with pytest.raises(RuntimeError, match='field "zz" is not in the Record'):
        native._slot_record_inline_fields(p, ["x", "zz"])
    with pytest.raises(TypeError, match="field_names"):
        native._slot_record_inline_fields(p, "x")
    with pytest.raises(TypeError, match="kwargs"):
        native._slot_record_construct(p, ["x"], [("x", 1)])


def test_topo_false_records_refuse_inferential_reads_and_topology():
    from helpers import Inferred
    flat = holder("F", topo=False)(child=Inferred(1))
    with pytest.raises(SymbolicModeError, match="contextual attribute `child`"):
        flat.child
    with pytest.raises(SymbolicModeError, match="topo_setparent"):
        native._node_setparent(flat, Node())


def _python_driver(self, **kwargs):
    """A hand-written record `__init__` that funnels through the seams."""
    cls = type(self)
    native._slot_record_init_node_state(self, allow_partial=False, sealed=None,
                                        root_path=kwargs.pop("root_path", None))
    native._slot_record_construct(self, cls.__slot_field_names__, kwargs)
    native._slot_record_adopt_children(self, cls.__slot_symbolic_field_names__)


def test_a_python_init_through_the_seams_builds_what_the_native_tp_init_builds():
    native_cls = holder("N")
    driven = holder("D", native_slots=False, namespace={"__init__": _python_driver})
    built = [cls(child=Dict(a=1), n=2, root_path=KeyPath("r")) for cls in (native_cls, driven)]
    for inst in built:
        assert native._slot_record_inline_fields(inst, ["child", "n"]) == {
            "child": Dict(a=1), "n": 2}
        assert [native._slot_node_get(inst, r) for r in range(5)] == [
            None, KeyPath("r"), False, False, True]
        assert inst.child._topo_parent is inst
        assert inst.child._topo_path == KeyPath("child", KeyPath("r"))


def test_record_registration_order_and_signatures():
    import inspect
    order = ["ObjectCtorMeta", "RecordMeta", "SymFieldGetter", "_install_object_bridge",
             "_slot_record_materialize", "_slot_record_init_node_state",
             "_slot_record_inline_fields", "_slot_record_is_materialized",
             "_slot_record_adopt_children", "_slot_record_repath_children",
             "_slot_record_node_read", "_node_setparent", "_node_seal", "_slot_record_construct",
             "_probe_node_get"]
    assert [n for n in native.__all__ if n in order] == order
    assert str(inspect.signature(native._slot_record_construct)) == (
        "(inst, field_names, kwargs=None, allow_partial=False, child_transform=None, "
        "root_path=None)")
    assert str(inspect.signature(native._slot_record_init_node_state)) == (
        "(inst, allow_partial=False, sealed=None, root_path=None)")
