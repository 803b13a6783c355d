"""SymList construction: argument checks, the three modes, the fused typed
road and its declines, insertion markers and missing values, symbolic
sources, repeated construction, origins, the wrap builder and the
primitive clone."""

import re

import pytest

import vesk_core._native as native
from fresh import FAILS, run_fresh
from helpers import (MISSING, Dict, Inferred, Insertion, KeyPath, List, Node, SharedHoldError,
                     child_transform_mode, scope, seams)  # noqa: F401  (a fixture)
from vesk.symbolic.containers import EMPTY_PATH
from vesk.symbolic.objects import Origin

# Every test runs twice: with the stand-in's child transform, and with a hook
# that answers None ("no child transform").
pytestmark = pytest.mark.usefixtures("child_transform_mode")

numpy_bool = pytest.importorskip("vesk_core._native_testhooks").fake_numpy_bool


class Counting(List):
    """Counts the spec applications that reach the list."""

    def custom_apply(self, *args, **kwargs):
        self.__dict__["applied"] = self.__dict__.get("applied", 0) + 1
        return super().custom_apply(*args, **kwargs)


def ints(**kwargs):
    return native.List(native.Int(), **kwargs)


def test_empty_construction_state():
    for lst in (List(), List(None), List([]), native.SymList()):
        assert lst == [] and lst.topo_path is EMPTY_PATH and lst.topo_parent is None
        assert lst.value_spec is None and isinstance(lst, list)
        assert (lst._wrap, lst.enable_topo, lst._accessor_writable, lst._sealed,
                lst._allow_partial) == (True, True, True, False, False)
    assert native.SymList.__text_signature__ == "(*_args, **_kwargs)"
    blank = native.SymList.__new__(native.SymList, 1, x=2)
    assert blank == [] and blank._topo_path is None
    assert List(root_path=None).topo_path is EMPTY_PATH


@pytest.mark.parametrize("args, kwargs, name", [
    (([1], [2]), {}, "positional"),
    ((), {"bogus": 1}, "bogus"),
    ((), {"wrap": None}, "wrap"),
    ((), {"pass_through": 0}, "pass_through"),
    ((), {"assign": 3}, "assign"),
])
def test_argument_types(args, kwargs, name):
    lst = List([1])
    with pytest.raises(TypeError, match=name):
        lst.__init__(*args, **kwargs)
    assert lst == [1] and lst.topo_path is EMPTY_PATH   # refused before anything changed
    assert List(sealed=numpy_bool(True))._sealed is True


def test_a_bad_spec_is_refused_first():
    def items():
        raise AssertionError("read")
        yield

    spec = native.Dict()
    with pytest.raises(TypeError, match=rf"^Argument 'value_spec' must be a `vk.typing.List` "
                                        rf"object. Encountered {re.escape(str(spec))}\.$"):
        List(items(), value_spec=spec)


def test_schemaless_items():
    node, marked = Node(), {"y": 2}
    lst = List([1, "a", None, MISSING, {"x": 1}, [2], node, Insertion(marked)],
               root_path=KeyPath("r"))
    assert lst[:3] == [1, "a", None] and len(lst) == 7   # the missing value is dropped
    d, sub, _, inserted = lst[3:]
    assert type(d) is Dict and type(sub) is List and type(inserted) is Dict
    assert (d.topo_path, inserted.topo_path) == (KeyPath(3, KeyPath("r")), KeyPath(6, KeyPath("r")))
    assert d.topo_parent is lst and inserted == marked
    assert node.calls == [("path", KeyPath(5, KeyPath("r"))), ("parent", lst)]
    assert "notified" not in lst.__dict__   # construction reports nothing
    assert type(List([{"x": 1}], wrap=False)[0]) is dict


@pytest.mark.parametrize("make, spec, fused", [
    (lambda: [1, 2], ints, True),
    (lambda: (1, 2), ints, True),
    (lambda: iter([1, 2]), ints, True),
    (lambda: [1, True], ints, False),            # a bool is not exactly an int
    (lambda: [1, Insertion(2)], ints, False),   # the marker gives its value
    (lambda: [1, 2], lambda: ints(max_size=5), True),
    (lambda: [1, 2], lambda: native.List(native.Int(min_value=0)), False),   # constrained
    (lambda: [1, 2], lambda: native.List(native.Any()), False),
])
def test_fused_road_and_its_declines(make, spec, fused):
    expected = [x.value if type(x) is Insertion else x for x in make()]
    spec = spec()
    lst = Counting(make(), value_spec=spec)
    assert lst == expected and lst.value_spec is spec
    assert [type(x) for x in lst] == [type(x) for x in expected]
    assert lst.__dict__.get("applied", 0) == (0 if fused else 1)


@pytest.mark.parametrize("items, bounds, message", [
    ([1, 2], {"min_size": 3}, r"Length of list \[1, 2\] is less than min size \(3\)"),
    ([1, 2, 3], {"max_size": 2}, r"is greater than max size \(2\)"),
    ([1, 2.0], {}, "Expect <class 'int'> but encountered <class 'float'>"),
    ([1, MISSING], {}, "Required value is not specified"),   # formalized, not dropped
])
def test_a_declined_fused_road_lets_the_spec_decide(items, bounds, message):
    with pytest.raises((ValueError, TypeError), match=message):
        List(items, value_spec=ints(**bounds))


def test_spec_binding_order_and_partial_items():
    assert List([1, MISSING], value_spec=ints(), allow_partial=True)[1] == MISSING
    eager = native.List(native.Dict(), auto_wrap=False)   # bound before the items
    assert type(List([{"a": 1}], value_spec=eager)[0]) is dict
    bare = native.SymList([{"a": 1}], value_spec=native.List(native.Dict()))
    assert bare.value_spec is None   # no custom typing: the spec validates but is not bound


def test_pass_through_adopts_without_validating():
    node, spec = Node(), ints()
    lst = Counting(["not an int", node, MISSING, Insertion(1)], value_spec=spec,
                   pass_through=True)
    assert lst[:3] == ["not an int", node, MISSING] and type(lst[3]) is Insertion
    assert lst.value_spec is spec and "applied" not in lst.__dict__
    assert node.calls == [("path", KeyPath(1)), ("parent", lst)]
    assert List([MISSING], pass_through=True) == []   # without a spec: schemaless


def test_a_symbolic_source_gives_its_raw_items():
    inferred = Inferred(5)
    source = List([inferred, 2])
    copy = List(source)
    assert copy._sym_getattr(0) is inferred and copy[0] == 5
    held = List([Dict(x=1)])
    with pytest.raises(SharedHoldError):
        List(held)
    cloned = List(held, assign="adopt")
    assert cloned[0] == {"x": 1} and cloned[0] is not held[0] and cloned[0].topo_parent is cloned


def test_repeated_init_keeps_the_items():
    lst = List([1, 2], onchange_callback=print)
    List().append(lst)
    lst.__init__([3], root_path=KeyPath("new"))
    assert lst == [1, 2, 3] and lst.topo_parent is None and lst.topo_path == KeyPath("new")
    assert lst._onchange_callback is None


def test_sealing_and_accessor_lock_come_last():
    lst = List([{"x": 1}], sealed=True, accessor_writable=False)
    assert lst._sealed and lst[0]._sealed and not lst._accessor_writable


@pytest.mark.parametrize("tracking", [True, None])
def test_origin_tracking(tracking):
    kept = Origin("kept", "t")
    lst = List([1])
    lst._sym_origin = kept
    with scope(native._FLAG_ORIGIN_TRACKING, tracking):
        lst.__init__([2])
        made = [List(), seams.wrap_node(List, [1], None, False, KeyPath("w"))]
    if tracking:
        assert lst._sym_origin is not kept
        for node in [lst] + made:
            assert (node._sym_origin.source, node._sym_origin.tag) == (None, "__init__")
    else:
        assert lst._sym_origin is kept and all(n._sym_origin is None for n in made)


def test_wrap_builder():
    d = Dict(x=1)
    raw, spec = [d, 2, [3]], native.List(native.Any())
    w = seams.wrap_node(List, raw, spec, True, KeyPath("w"))
    assert type(w) is List and w == raw and w.value_spec is spec and w._allow_partial
    assert w.topo_parent is None and w.topo_path == KeyPath("w")
    assert w[0] is d and d.topo_parent is w and d.topo_path == KeyPath(0, KeyPath("w"))
    assert type(w[2]) is list   # copied as it is, never wrapped here
    parent = Node("object")
    held = seams.wrap_list(List, [Dict()], None, False, KeyPath("p"), parent)
    assert held.topo_parent is parent and held[0].topo_parent is held
    with pytest.raises(TypeError, match="'Dict' object is not an instance of 'SymList'"):
        seams.wrap_node(Dict, [1], None, False, None)
    assert type(seams.wrap_node(Dict, Dict(a=1), None, False, None)) is Dict   # a dict subclass
    with pytest.raises(TypeError, match="'tuple' object is not an instance of 'list'"):
        seams.wrap_node(List, (1,), None, False, None)


def test_clone_if_primitive():
    spec = native.List(native.Any())
    lst = List([1, "x", None], value_spec=spec, root_path=KeyPath("deep"),
               accessor_writable=False, allow_partial=True, onchange_callback=print)
    List().append(lst)
    clone = lst._clone_if_primitive()
    assert type(clone) is List and clone == lst and clone is not lst
    assert clone.topo_parent is None and clone.topo_path is EMPTY_PATH and not clone._sealed
    assert (clone.value_spec, clone._wrap, clone._allow_partial, clone._accessor_writable,
            clone._onchange_callback) == (spec, True, True, False, None)

    class Fraction(float):
        pass

    assert List([Dict()])._clone_if_primitive() is None
    assert List([Fraction(1)])._clone_if_primitive() is None


def test_bridges_not_installed():
    run_fresh("""
        import vesk_core._native as native
        import vesk.typing
        from vesk.symbolic import containers
        vesk.typing.install()

        try:   # checked before any bridge is needed
            native.SymList(value_spec=native.Dict())
        except TypeError as e:
            assert "must be a `vk.typing.List` object" in str(e)
        fails(native.SymList, "panic in native slot")
        blank = native.SymList.__new__(native.SymList)
        fails(lambda: blank.sym_setorigin(1, "t"), "container bridge not installed")
        native._install_container_bridge(**containers.handles())
        assert native.SymList([1, "a", None]) == [1, "a", None]   # primitives need no list bridge
        fails(lambda: native.SymList([{"a": 1}]), "panic in native slot")
        fails(lambda: native.SymList()._set_item_without_permission_check(0, 1),
              "list bridge not installed")
    """, prelude=FAILS)
