"""The native JSON walk of symbolic trees, case by case, against the
package's own serializer (the stand-in's `to_json`): what travels as it is,
what declines, the object gate, the object, record and list roads, the
schema shapes of the dictionary filling, and bad or cyclic input."""

import threading

import pytest

import vesk_core._native as native
from fresh import run_fresh
from helpers import Inferred, schema
from json_trees import (MISSING, Dict, List, made, made_record, open_dict, raw_dict,
                        same_as_package, shapes, walk)
from object_helpers import seams as object_seams


class IntSub(int):
    pass


@pytest.mark.parametrize("value", [None, 3, -2.5, "s", "", True, False, "\\_type"])
def test_wire_primitives_come_back_unchanged(value):
    assert walk(value) is value


@pytest.mark.parametrize("make", [
    lambda: IntSub(3), lambda: b"x", lambda: (1,), lambda: [1], lambda: {"a": 1}, object,
    lambda: Inferred(1), lambda: MISSING, lambda: List([1, (2,)]), lambda: List([Inferred(1)]),
    lambda: Dict(a=Inferred(1)),
])
def test_what_only_the_package_can_serialise_declines(make):
    assert walk(make()) is None


def test_plain_containers_anywhere_decline_the_whole_tree():
    for leaf in ([1], {"k": 1}, (1,)):
        assert walk(raw_dict({"a": 1, "b": raw_dict({"c": leaf})})) is None
        lst = List([1])
        list.append(lst, leaf)
        assert walk(lst) is None


@pytest.mark.parametrize("first, declines", [
    ("_type", True), ("\\_type", True), ("\\\\__ref__", True), ("__context__", True),
    ("__tuple__", True), ("_\ud800", True),   # no UTF-8 form: counted as a marker
    ("_types", False), ("x_type", False), ("__root", False), ("x\ud800", False), (1, False),
])
def test_markers_leading_a_list_or_keying_a_dict_decline(first, declines):
    lst = List([])
    list.extend(lst, [first, "_type"])  # only the first element counts
    assert (walk(lst) is None) is declines
    if isinstance(first, str):
        assert (walk(raw_dict({first: 1})) is None) is declines
    if not declines:
        same_as_package(lst)


def test_objects_take_type_first_then_schema_order_without_missing_or_frozen():
    s = shapes()
    obj = made(s.Point, c=5, b=Dict(y=[1, 2], x=None), a=MISSING)
    out = same_as_package(obj)
    assert list(out) == ["_type", "b"] and out["_type"] == "tests.Point"
    out = same_as_package(made(s.Point, b=1, a=List([made(s.Point, a=2)])))
    assert list(out) == ["_type", "a", "b"]
    assert out["a"] == [{"_type": "tests.Point", "a": 2}]


def test_an_object_without_a_schema_keeps_its_storage_order():
    from object_helpers import Object
    out = same_as_package(made(Object, z=1, a=List([2])))
    assert list(out) == ["_type", "z", "a"]
    assert walk(made(Object, _type=1)) is None


@pytest.mark.parametrize("make, outcome", [
    (lambda s: made(s.Flat, a=1), None),                   # no tree
    (lambda s: made(s.Custom, a=1), None),                 # its own hook
    (lambda s: made(type("Sub", (s.Point,), {"sym_jsonify": s.Point.sym_jsonify}), a=1), dict),
    (lambda s: made(type("Odd", (s.Point,), {"enable_topo": 1}), a=1), TypeError),
    (lambda s: made(type("Odd", (s.Point,), {"enable_topo": property(lambda self: 1 / 0)})),
     ZeroDivisionError),
    (lambda s: s.Point.__new__(s.Point), AttributeError),  # blank: its view cannot be read
])
def test_the_object_gate(make, outcome):
    obj = make(shapes())
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome):
            walk(obj)
    elif outcome is None:
        assert walk(obj) is None
    else:
        same_as_package(obj)


def test_records_read_their_cells_or_their_materialised_view():
    s = shapes()
    rec = made_record(s.Rec, b=List([1]), a=MISSING)
    assert same_as_package(rec) == {"_type": "tests.Rec", "b": [1]}
    assert walk(s.Rec()) is None  # never initialised
    viewed = made_record(s.Rec, a=1, b=2)
    view = Dict(value_spec=native.Dict(schema(("b", native.Any()), ("a", native.Any()))),
                pass_through=True)
    dict.update(view, {"a": 10, "b": 20})
    object_seams.install_view(viewed, view)
    assert list(same_as_package(viewed).items()) == [("_type", "tests.Rec"), ("b", 20), ("a", 10)]
    off = type("Off", (s.Rec,), {"__slot_storage__": False, "__slots__": ()})
    assert walk(made_record(off, a=1, b=2)) is None


def test_the_open_filling_places_extra_keys_at_the_wildcard():
    d = open_dict({"z": 1, "last": 2, "first": MISSING, "a": List([3]), "m": MISSING})
    out = same_as_package(d)
    assert list(out) == ["z", "a", "last"]
    d = open_dict({"first": 1})
    dict.__setitem__(d, 5, 1)
    assert walk(d) is None  # a non-str key
    assert walk(open_dict({"__ref__": 1})) is None


@pytest.mark.parametrize("specs, items, expect", [
    (["any"], {"a": 1, "b": MISSING}, {"a": 1}),   # one pattern field
    (["frozen"], {"a": 1}, None),                  # a frozen one: decline
    (["any", "any"], {"a": 1}, None),              # two
])
def test_the_pattern_only_shapes(specs, items, expect):
    make = {"any": native.Any, "frozen": lambda: native.Int(default=0, frozen=True)}
    pattern = native.Schema(
        [native.Field(native.StrKey(regex=f"k{i}|a|b"), make[name]())
         for i, name in enumerate(specs)],
        allow_nonconst_keys=True)
    d = raw_dict(items, native.Dict(pattern))
    assert walk(d) == expect
    if expect is not None:
        same_as_package(d)


class FrozenCallable(native.Callable):
    """A spec class of its own whose `frozen` is a Python property."""
    frozen = property(lambda self: True)


@pytest.mark.parametrize("make", [lambda: native.Int(default=0, frozen=True), FrozenCallable])
def test_frozen_fields_of_a_dictionary_schema_are_left_out(make):
    frozen = native.Dict(schema(("a", make()), ("b", native.Any())))
    assert same_as_package(raw_dict({"a": 1, "b": 2}, frozen)) == {"b": 2}


def test_keys_a_constant_schema_does_not_name_or_that_read_as_markers_decline():
    # A key outside the schema would be lost from the form; a constant key
    # that reads as a marker would be misread. Only the package can place
    # either.
    two = native.Dict(schema(("a", native.Any()), ("b", native.Any())))
    assert walk(raw_dict({"a": 1, "zz": 2}, two)) is None
    assert walk(raw_dict({"a": 1}, two)) == {"a": 1}
    marker = native.Dict(schema(("_type", native.Any())))
    assert walk(raw_dict({"_type": 1}, marker)) is None


class EntriesSchema(native.Schema):
    """A schema whose constant entries are whatever the test says."""
    entries = None

    @property
    def _const_apply_fields(self):
        return self.entries


@pytest.mark.parametrize("entries, outcome", [
    (lambda f: None, None),
    (lambda f: iter([("a", f, None)]), {"a": 1}),
    (lambda f: [["a", f, None]], TypeError),
    (lambda f: [("a",)], IndexError),
])
def test_a_schema_subclass_is_read_by_its_attributes(entries, outcome):
    field = native.Field(native.ConstStrKey("a"), native.Any())
    s = EntriesSchema([field])
    s.entries = entries(field)
    d = raw_dict({"a": 1}, native.Dict(s))
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            walk(d)
    else:
        assert walk(d) == outcome


class NoClone(native.SymDict):
    """A dictionary class without `sym_clone`: it adopts itself unchecked."""

    def _notify_field_updates(self, updates):
        pass


def _self_holding(way):
    if way == "ref":
        d = Dict(assign="ref")
        d["x"] = d
    elif way == "no sym_clone":
        d = NoClone()
        d["x"] = d
    elif way == "storage":
        d = Dict()
        dict.__setitem__(d, "x", d)
    else:
        d = List([])
        list.append(d, d)
    assert d is (dict.__getitem__(d, "x") if isinstance(d, dict) else list.__getitem__(d, 0))
    return d


@pytest.mark.parametrize("way", ["ref", "no sym_clone", "storage", "list"])
@pytest.mark.parametrize("stack", [None, 256 * 1024])
def test_a_container_holding_itself_raises_recursion_error(way, stack):
    d = _self_holding(way)
    caught = []

    def run():
        try:
            walk(d)
        except RecursionError as e:
            caught.append(e)

    if stack is None:
        run()
    else:
        old = threading.stack_size(stack)
        try:
            t = threading.Thread(target=run)
            t.start()
            t.join()
        finally:
            threading.stack_size(old)
    assert len(caught) == 1


def test_very_deep_nesting_answers_or_raises_recursion_error():
    for depth in (500, 200_000):
        root = node = Dict()
        for _ in range(depth):
            child = Dict()
            dict.__setitem__(node, "x", child)
            node = child
        try:
            out = walk(root)
        except RecursionError:
            assert depth > 500
        else:
            for _ in range(depth):
                out = out["x"]
            assert out == {}


def test_the_default_hook_is_set_once_and_gates_every_object():
    run_fresh("""
        import vesk.typing, vesk.symbolic.containers as c, vesk.symbolic.objects as o
        import vesk_core._native as native
        vesk.typing.install(); c.install(); o.install(dict_cls=c.Dict)
        from vesk.symbolic.jsonify import sym_jsonify
        from vesk.symbolic.object_classes import object_class
        P = object_class("P", [("a", native.Any())])
        obj = P.__new__(P)
        obj._topo_path = native.KeyPath()
        d = c.Dict(x=c.Dict(y=1))
        assert native._native_to_json_walk(d) == {"x": {"y": 1}}  # no object: no hook needed
        import vesk_core._typing_seams as ts
        ts.native_table(native.__file__, "vesk_test_object_seams")["store_fields"](obj, {"a": 1})
        assert native._native_to_json_walk(obj) is None
        assert native._set_default_object_sym_jsonify(sym_jsonify) is None
        assert native._native_to_json_walk(obj) == {"_type": "tests.P", "a": 1}
        assert native._set_default_object_sym_jsonify(lambda self: None) is None
        assert native._native_to_json_walk(obj) == {"_type": "tests.P", "a": 1}
    """)


def test_registration_order_and_signatures():
    names = native.__all__
    order = ["_install_container_bridge", "_native_to_json_walk",
             "_set_default_object_sym_jsonify", "SymList", "_node_seal",
             "_native_inline_object_to_json", "_native_inline_object_to_json_open",
             "_native_from_json_all_plain", "_probe_node_get"]
    assert [n for n in names if n in order] == order
    assert native._native_to_json_walk.__text_signature__ == "($module, value, /)"
    with pytest.raises(TypeError):
        native._native_to_json_walk()
