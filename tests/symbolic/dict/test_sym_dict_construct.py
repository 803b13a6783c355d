"""SymDict construction: argument checks, the source forms, the schemaless
fill, the choice among the fused, single-pass and general roads (and equal
results from roads that take the same input), pass-through and raw modes,
the wrap and object-attributes builders, and the primitive-valued clone."""

import functools

import pytest

import vesk_core._native as native
from helpers import (MISSING, Dict, KeyPath, Node, child_transform_mode,  # noqa: F401  (a fixture)
                     schema, seams, spec)
from vesk.symbolic.containers import EMPTY_PATH

# Every test runs twice: with the stand-in's child transform, and with a hook
# that answers None ("no child transform").
pytestmark = pytest.mark.usefixtures("child_transform_mode")

numpy_bool = pytest.importorskip("vesk_core._native_testhooks").fake_numpy_bool


class Counting(Dict):
    """Counts the spec applications that reach the dictionary."""

    def custom_apply(self, *args, **kwargs):
        self.__dict__["applied"] = self.__dict__.get("applied", 0) + 1
        return super().custom_apply(*args, **kwargs)


def test_empty_construction_state():
    for d in (Dict(), Dict(None), native.SymDict()):
        assert dict(d) == {} and d.topo_path is EMPTY_PATH and d.topo_parent is None
        assert (d._wrap, d.enable_topo, d._accessor_writable, d._sealed, d._allow_partial) == (
            True, True, True, False, False)
    assert native.SymDict.__text_signature__ == "(*_args, **_kwargs)"


@pytest.mark.parametrize("args, kwargs, expected", [
    (({"a": 1},), {"a": 2}, {"a": 2}),
    ((), {"a": 1}, {"a": 1}),
    (([("x", 1), ["y", 2]],), {}, {"x": 1, "y": 2}),
    (((("x", 1),),), {"z": 3}, {"x": 1, "z": 3}),
    (({1: "i", True: "b"},), {}, {1: "b"}),   # True is an int key
])
def test_source_forms(args, kwargs, expected):
    assert Dict(*args, **kwargs) == expected


def test_a_symbolic_source_is_read_in_its_symbolic_order():
    s = spec(("a", native.Int()), ("b", native.Int()))
    source = Dict({"b": 2, "a": 1}, value_spec=s)
    assert list(source.sym_keys()) == ["a", "b"]
    assert list(Dict(source)) == ["a", "b"]


@pytest.mark.parametrize("kwargs, name", [
    ({"allow_partial": 1}, "allow_partial"), ({"sealed": "yes"}, "sealed"),
    ({"wrap": None}, "wrap"), ({"under_topo": 0}, "under_topo"),
    ({"pass_through": 1}, "pass_through"), ({"assign": 3}, "assign"),
])
def test_argument_types(kwargs, name):
    with pytest.raises(TypeError, match=name):
        Dict(**kwargs)
    assert Dict(sealed=numpy_bool(True))._sealed is True


def test_a_bad_spec_is_refused_before_the_source_is_read():
    def source():
        raise AssertionError("read")
        yield

    with pytest.raises(TypeError, match=r"^Argument 'value_spec' must be a `vk.typing.Dict` "
                                        r"object. Encountered 3$"):
        Dict(source(), value_spec=3)


def test_schemaless_fill():
    with pytest.raises(KeyError, match=r"Key must be string or int type. Encountered 1.5. "
                                       r"\(path=root\)"):
        Dict({1.5: 1}, root_path=KeyPath("root"))
    d = Dict({"gone": MISSING, "raw": {"x": [1]}, "n": 1}, root_path=KeyPath("r"))
    assert "gone" not in d and type(d["raw"]) is Dict
    assert d["raw"].topo_parent is d and d["raw"].topo_path == KeyPath.parse("r.raw")
    assert Dict({"raw": {"x": 1}}, wrap=False)["raw"].__class__ is dict


@functools.cache
def s2():
    return spec(("a", native.Int()), ("b", native.Str(default="z")))


@pytest.mark.parametrize("items, road, expected", [
    ({"b": "q", "a": 1}, "fused", {"b": "q", "a": 1}),            # given order kept
    ({"a": 1}, "single", {"a": 1, "b": "z"}),                    # default after provided
    ({"a": True, "b": "q"}, "single", {"a": True, "b": "q"}),    # a bool is no exact Int leaf
    ({"a": {"x": 1}, "b": "q"}, "single", None),                 # refused by the Int field
])
def test_schema_roads(items, road, expected):
    if expected is None:
        with pytest.raises(TypeError):
            Counting(items, value_spec=s2())
        return
    d = Counting(items, value_spec=s2())
    assert list(d.items()) == list(expected.items())
    assert d._value_spec is s2() and d.__dict__.get("applied", 0) == 0
    fresh = Counting()
    assert fresh.try_fused_schemaful_construct(s2(), dict(items)) is (road == "fused")


def test_the_fused_road_follows_a_schema_changed_after_use():
    # A spec's schema read by earlier constructions is extended in place: the
    # next construction sees the new field, on the fused road and off it.
    changing = spec(("a", native.Int()))
    for _ in range(3):
        assert dict(Dict({"a": 1}, value_spec=changing)) == {"a": 1}
    changing.schema.extend(schema(("b", native.Str(default="z"))))
    assert list(Dict({"a": 1}, value_spec=changing).items()) == [("a", 1), ("b", "z")]
    assert Counting().try_fused_schemaful_construct(changing, {"a": 1}) is False
    fused = Counting()
    assert fused.try_fused_schemaful_construct(changing, {"b": "q", "a": 2}) is True
    assert list(fused.items()) == [("b", "q"), ("a", 2)] and fused._value_spec is changing
    with pytest.raises(TypeError):
        Dict({"a": 1, "b": 3}, value_spec=changing)


def test_extra_keys_are_refused_before_missing_fields():
    required = spec(("a", native.Int()), ("b", native.Int()))
    with pytest.raises(KeyError, match=r"Keys \['c'\] are not allowed in Schema"):
        Dict({"c": 1}, value_spec=required)
    with pytest.raises(ValueError, match="Required value is not specified"):
        Dict({"a": 1}, value_spec=required)


def test_general_road_formalizes_then_applies_the_spec():
    open_spec = spec(("a", native.Int()), nonconst=native.Int(min_value=0))
    d = Counting(a=1, x=2, value_spec=open_spec)
    assert d == {"a": 1, "x": 2} and d._value_spec is open_spec and d.applied == 1
    with pytest.raises(ValueError, match="out of range"):
        Counting(a=1, x=-1, value_spec=open_spec)


@pytest.mark.parametrize("items", [
    {"a": 1, "b": "q"}, {"b": "q", "a": 1}, {"a": 1}, {"a": 2, "b": "z"},
])
def test_roads_that_take_an_input_agree(items):
    results = []
    fused = Dict()
    if fused.try_fused_schemaful_construct(s2(), dict(items)):
        results.append(fused)
    single = Dict()
    assert single.try_single_pass_schemaful_construct(s2(), dict(items), None)
    results.append(single)
    general = Dict()
    for k, v in items.items():
        dict.__setitem__(general, k, general._formalized_value_with_assign(k, None, v, None, None))
    general.use_value_spec(s2())
    results.append(general)
    results.append(Dict(items, value_spec=s2()))
    for d in results:
        assert d == results[-1] and d._value_spec is s2()


def test_pass_through_and_raw_modes_do_not_validate():
    s = spec(("a", native.Int()), ("n", native.Any()))
    node = Node()
    d = Dict({"a": "not an int", "n": node}, value_spec=s, pass_through=True)
    assert d["a"] == "not an int" and d._value_spec is s
    assert node.calls == [("path", KeyPath("n")), ("parent", d)]
    owner, parent = Dict(), Node("object")
    raw = seams.object_attributes({"a": "x", "n": Node()}, s, False, False, True, None, True,
                                  owner, parent, False)
    assert type(raw) is Dict and raw._as_object_attributes_container
    assert raw.topo_parent is parent and raw["n"].calls == []   # raw: nothing adopted


def test_object_attributes_children_get_the_object_as_parent():
    obj, child = Node("object"), Dict()
    view = seams.object_attributes({"c": child, "n": 1}, None, False, True, True,
                                   KeyPath("o"), False, None, obj, False)
    assert view._as_object_attributes_container and view._topo_parent_for_children() is obj
    assert child.topo_parent is obj and child.topo_path == KeyPath.parse("o.c")
    assert view._sealed and child._sealed   # sealed after the members are stored


def test_sealing_and_accessor_lock_come_after_the_entries():
    d = Dict(a={"x": 1}, sealed=True)
    assert d._sealed and d["a"]._sealed
    locked = Dict(a=1, accessor_writable=False)
    assert locked == {"a": 1} and not locked._accessor_writable


def test_repeated_init_rebuilds_the_node_state():
    parent = Dict()
    d = Dict(a=1)
    parent["d"] = d
    d.__init__(b=2, root_path=KeyPath("new"))
    assert d == {"a": 1, "b": 2} and d.topo_parent is None and d.topo_path == KeyPath("new")


@pytest.mark.parametrize("road", ["schemaless", "typed", "pass-through"])
def test_repeated_init_lets_go_of_the_children_it_replaces(road):
    options = {
        "schemaless": {},
        "typed": {"value_spec": spec(("a", native.Any()), ("b", native.Any()))},
        "pass-through": {"value_spec": spec(nonconst=native.Any()), "pass_through": True},
    }[road]
    old, kept, new = Node("old"), Node("kept"), Node("new")
    d = Dict(a=old, b=kept)
    d.__init__({"a": new, "b": kept}, **options)
    assert d == {"a": new, "b": kept}
    assert old.calls[-2:] == [("parent", None), ("path", KeyPath())]
    assert (old._topo_parent, new._topo_parent, kept._topo_parent) == (None, d, d)


def test_repeated_init_lets_go_of_every_child_past_one_that_will_not_go():
    class Clinging(Node):
        def topo_setparent(self, parent):
            if parent is None:
                raise LookupError("clinging")
            super().topo_setparent(parent)

    stuck, old = Clinging("stuck"), Node("old")
    d = Dict(a=stuck, b=old)
    with pytest.raises(LookupError, match="clinging"):
        d.__init__({"a": 1, "b": 2})
    assert d == {"a": 1, "b": 2} and old._topo_parent is None


def test_wrap_builders():
    raw = {"n": 1, "c": {"x": 1}, "node": Node()}
    s = spec(("n", native.Int()))
    w = seams.wrap_dict(Dict, raw, s, True, KeyPath("w"), None)
    assert type(w) is Dict and w._value_spec is s and w._allow_partial and w.topo_parent is None
    assert w["node"].calls == [("path", KeyPath.parse("w.node")), ("parent", w)]
    assert type(w["c"]) is dict   # copied as it is; only adopted
    assert seams.wrap_node(Dict, {"a": 1}, None, False, None) == {"a": 1}
    with pytest.raises(TypeError, match="'tuple' object is not an instance of 'list'"):
        seams.wrap_node(Dict, (), None, False, None)
    with pytest.raises(TypeError, match="not an instance of 'SymDict'"):
        seams.wrap_dict(dict, {}, None, False, None, None)


def test_clone_if_primitive():
    d = Dict({"a": 1, "b": "x"}, root_path=KeyPath("deep"))
    Dict()["d"] = d
    clone = d._clone_if_primitive()
    assert type(clone) is Dict and clone == d and clone is not d
    assert clone.topo_parent is None and clone.topo_path is EMPTY_PATH
    assert Dict(a=[1])._clone_if_primitive() is None
    assert Dict(a=1, value_spec=spec(("a", native.Int())))._clone_if_primitive() is None
