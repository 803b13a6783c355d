"""SymObject's own surface: blank objects, the node-state properties, the
raw field read and SymFieldGetter, the `_sym_attributes` view, `__init__`'s
arguments and the collector hooks."""

import gc
import weakref

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, Node
from object_helpers import KeyPath, SymbolicModeError, made, object_class, seams
from vesk.symbolic.object_classes import options

numpy_bool = pytest.importorskip("vesk_core._native_testhooks").fake_numpy_bool


@pytest.fixture(scope="module")
def Point():
    return object_class("Point", [("x", native.Int()), ("y", native.Any())])


@pytest.fixture(scope="module")
def Flat():
    return object_class("Flat", [("x", native.Any())], topo=False)


GUARDED = ["_topo_parent", "_topo_path", "_allow_partial", "_accessor_writable", "_sealed",
           "_sym_origin", "topo_parent", "topo_path", "node_read_guard"]


def test_a_blank_object(Point):
    p = Point.__new__(Point, 1, key="ignored")
    for name in GUARDED:
        with pytest.raises(ValueError, match=r"^Point.__init__ should call `super\(\).__init__`.$"):
            p.node_read_guard() if name == "node_read_guard" else hasattr(p, name)
    with pytest.raises(AttributeError, match="^'Point' object has no attribute '_sym_attributes'$"):
        p._sym_attributes
    for read in (lambda: p._topo_field("x"), lambda: p.x, lambda: native.SymFieldGetter("x")(p)):
        with pytest.raises(AttributeError, match="^_sym_attributes$"):
            read()
    assert p.field_dict() is None
    p._topo_path = KeyPath("root")   # construction sets the path first: the guard passes
    assert p.node_read_guard() is None and p._sealed is False and p._accessor_writable is True
    assert p.topo_path == KeyPath("root") and p.field_dict() is None


@pytest.mark.parametrize("name", ["_allow_partial", "_accessor_writable", "_sealed"])
def test_flag_properties_take_strict_bools(name, Point):
    p = made(Point)
    for value, expected in ((True, True), (numpy_bool(False), False)):
        setattr(p, name, value)
        assert getattr(p, name) is expected
    for bad in (1, None, "True"):
        with pytest.raises(TypeError, match="argument 'v'"):
            setattr(p, name, bad)
    with pytest.raises(AttributeError, match="no deleter"):
        delattr(p, name)
    p.__dict__[name] = "shadowed"    # the native property wins over the instance dict
    assert getattr(p, name) is False


@pytest.mark.parametrize("name", ["_topo_parent", "_sym_origin", "_topo_path"])
def test_reference_properties(name, Point):
    p, value = made(Point), object()
    setattr(p, name, value)
    assert getattr(p, name) is value
    with pytest.raises(AttributeError, match="no deleter"):
        delattr(p, name)
    setattr(p, name, None)
    assert getattr(p, name) is None           # the fields alone pass the guard


def test_topology_properties_need_a_tree(Point, Flat):
    f, parent = made(Flat, x=1), object()
    f._topo_parent = parent
    for name in ("topo_parent", "topo_path"):
        with pytest.raises(SymbolicModeError, match=(
                rf"^`{name}` requires a symbolic tree, but Flat was declared with `topo=False`\. "
                r"Declare the class with `topo=True` to use it\.$")):
            getattr(f, name)
    p = made(Point, path=KeyPath("p"))
    p._topo_parent = parent
    assert f._topo_parent is p.topo_parent is parent and p.topo_path == KeyPath("p")


@pytest.mark.parametrize("cls, stored, expected", [
    ("Point", Inferred(5), 5),
    ("Point", Inferred(KeyError("boom")), KeyError),
    ("Flat", Inferred(5), SymbolicModeError),
    ("Point", [1, 2], [1, 2]),
    ("Flat", "plain", "plain"),
])
def test_field_reads_resolve_inferential_values(cls, stored, expected, request):
    obj = made(request.getfixturevalue(cls), x=stored)
    getter = native.SymFieldGetter("x")
    for read in (lambda: obj._topo_field("x"), lambda: getter(obj), lambda: obj.x):
        if not isinstance(expected, type):
            assert read() == expected
            continue
        with pytest.raises(expected) as info:
            read()
        if expected is SymbolicModeError:
            assert str(info.value).startswith("contextual attribute `x` requires a symbolic "
                                              "tree, but Flat was declared with `topo=False`")


def test_field_getter(Point):
    getter = native.SymFieldGetter(name="x")
    assert getter.name == getter.__name__ == Point.x.__name__ == "x"
    p = made(Point, x=3)
    assert getter(obj=p) == getter.__call__(p) == p.x == 3   # every calling convention
    for name in ("y", ("a", "tuple")):
        with pytest.raises(KeyError) as info:
            native.SymFieldGetter(name)(made(Point))
        assert info.value.args == (name,)          # one argument, whatever its type
    for bad in (lambda: getter(1), lambda: getter(Dict()), lambda: getter(), lambda: getter(p, 2),
                lambda: native.SymFieldGetter()):
        with pytest.raises(TypeError):
            bad()


def test_sym_attributes_is_a_fresh_view_parented_to_the_object(Point, Flat):
    child = Dict(a=1)
    p = made(Point, path=KeyPath("root"), x=1, y=child)
    child.topo_setparent(p)
    child.topo_setpath(KeyPath.parse("root.y"))
    p._sealed = p._allow_partial = True
    first, second = p._sym_attributes, p._sym_attributes
    assert first is not second and first == second == {"x": 1, "y": child}
    assert type(first) is Dict and first._as_object_attributes_container
    assert first["y"] is child and child.topo_parent is p   # shared, not cloned
    assert first.topo_parent is p and first.topo_path == KeyPath("root")
    assert first._sealed and first._allow_partial and first._value_spec is Point.sym_fields
    dict.__setitem__(first, "x", 2)
    assert p.field_dict() == {"x": 1, "y": child}
    node = Node()
    view = made(Flat, x=node)._sym_attributes
    assert view["x"] is node and view.enable_topo is False and node.calls == []
    # A field's value set by hand that sits nowhere: the view places it.
    free = Dict(b=2)
    view = made(Point, path=KeyPath("q"), x=1, y=free)._sym_attributes
    assert view["y"] is free and free._topo_parent is view.topo_parent
    assert free._topo_path == KeyPath.parse("q.y")


def test_the_topo_option_must_be_a_bool():
    Loose = object_class("Loose", [("x", native.Any())])
    Loose.__sym_options__ = options(topo=1)
    obj = made(Loose, x=Inferred(1))
    for read in (lambda: obj._sym_attributes, lambda: obj.topo_parent, lambda: obj.x):
        with pytest.raises(TypeError, match="argument 'topo'"):
            read()
    del Loose.__sym_options__                 # the base's options again
    assert obj.x == 1


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {"allow_partial": 1}, TypeError,
     r"^Expect bool type for argument 'allow_partial' in symbolic.Object.__init__ but "
     r"encountered 1\.$"),
    ((), {"allow_partial": numpy_bool(True)}, TypeError, "but encountered"),
    ((), {"sealed": 1}, TypeError, "argument 'sealed'"),
    ((), {"explicit_init": None}, TypeError, "argument 'explicit_init'"),
    ((1,), {}, TypeError, "positional"),
    ((), {"allow_partial": True, "x": 1}, None, None),
    ((), {"sealed": None, "root_path": None, "explicit_init": False}, TypeError,
     r"^Point.__init__\(\) missing 2 required arguments: 'x', 'y'\.$"),
])
def test_init_arguments(args, kwargs, error, message, Point):
    p = Point.__new__(Point)
    if error is None:
        p.__init__(*args, **kwargs)
        assert p._allow_partial is True and "allow_partial" not in p.field_dict()
        return
    with pytest.raises(error, match=message):
        p.__init__(*args, **kwargs)


def test_collector_hooks(Point):
    parent, origin = Node(), object()
    p = made(Point, path=KeyPath("p"), x=1)
    p._topo_parent, p._sym_origin = parent, origin
    referents = gc.get_referents(p)
    for reached in (p.field_dict(), parent, origin, p._topo_path):
        assert any(r is reached for r in referents)
    seams.collector_clear(p)
    assert p.field_dict() is None
    with pytest.raises(ValueError, match="should call"):
        p._sealed


def test_parent_cycles_are_collected(Point):
    a, b = made(Point), made(Point)
    a._topo_parent, b._topo_parent = b, a
    a.field_dict()["y"], b._sym_origin = b, a
    refs = [weakref.ref(a), weakref.ref(b)]
    del a, b
    gc.collect()
    assert [r() for r in refs] == [None, None]
    assert not hasattr(native.SymObject.__new__(native.SymObject), "__dict__")
