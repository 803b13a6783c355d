"""The JSON walk case by case, against the package's serializer (the
stand-in's `to_json`): declines, the object gate, records, the schema
shapes, and containers that hold themselves."""

import threading

import pytest

import vesk_core._native as native
from fresh import run_fresh
from helpers import Inferred, schema
from json_trees import (MISSING, Dict, List, made, made_record, open_dict, raw_dict,
                        same_as_package, shapes, walk)
from object_helpers import Object, seams as object_seams


class IntSub(int):
    pass


class FrozenCallable(native.Callable):
    frozen = property(lambda self: True)


def _same_or_declined(value, outcome):
    if outcome == "same":
        assert type(value) not in (int, str) or walk(value) is value
        same_as_package(value)
    elif outcome is None:
        assert walk(value) is None
    else:
        with pytest.raises(outcome):
            walk(value)


@pytest.mark.parametrize("make, outcome", [
    (lambda s: 3, "same"), (lambda s: "\\_type", "same"), (lambda s: IntSub(3), None),
    (lambda s: b"x", None), (lambda s: [1], None), (lambda s: (1,), None),
    (lambda s: MISSING, None), (lambda s: Inferred(1), None), (lambda s: Dict(a=Inferred(1)), None),
    (lambda s: raw_dict({"a": raw_dict({"b": [1]})}), None),  # a plain list deep down
    (lambda s: List([1, "_type"]), "same"), (lambda s: List(["\\\\__ref__", 1]), None),
    (lambda s: List(["_\ud800"]), None), (lambda s: List(["x\ud800"]), "same"),  # no UTF-8 form
    (lambda s: raw_dict({"__context__": 1}), None), (lambda s: raw_dict({"_types": 1}), "same"),
    # The object gate: a tree, the package's own hook, a bool `enable_topo`.
    (lambda s: made(s.Flat, a=1), None), (lambda s: made(s.Custom, a=1), None),
    (lambda s: made(type("Sub", (s.Point,), {"sym_jsonify": s.Point.sym_jsonify}), a=1), "same"),
    (lambda s: made(type("Odd", (s.Point,), {"enable_topo": 1}), a=1), TypeError),
    (lambda s: s.Point.__new__(s.Point), AttributeError),  # blank: no view to read
])
def test_leaves_markers_and_the_object_gate(make, outcome):
    _same_or_declined(make(shapes()), outcome)


def test_objects_give_type_then_schema_order_without_missing_or_frozen():
    s = shapes()
    out = same_as_package(made(s.Point, c=5, b=List([made(s.Point, a=2)]), a=MISSING))
    assert list(out) == ["_type", "b"] and out["b"] == [{"_type": "tests.Point", "a": 2}]
    assert list(same_as_package(made(Object, z=1, a=2))) == ["_type", "z", "a"]  # no schema


def test_records_read_their_cells_or_their_materialised_view():
    s = shapes()
    assert same_as_package(made_record(s.Rec, b=List([1]), a=MISSING)) == {"_type": "tests.Rec",
                                                                          "b": [1]}
    assert walk(s.Rec()) is None  # never initialised
    assert walk(made_record(type("Off", (s.Rec,), {"__slot_storage__": 0, "__slots__": ()}),
                            a=1, b=2)) is None
    viewed = made_record(s.Rec, a=1, b=2)
    object_seams.install_view(viewed, raw_dict({"a": 10, "b": 20}, native.Dict(
        schema(("b", native.Any()), ("a", native.Any())))))
    assert list(same_as_package(viewed).values()) == ["tests.Rec", 20, 10]


def _pattern(*specs):
    return native.Dict(native.Schema([native.Field(native.StrKey(regex=f"k{i}|a|b"), s())
                                      for i, s in enumerate(specs)], allow_nonconst_keys=True))


def _frozen():
    return native.Int(default=0, frozen=True)


@pytest.mark.parametrize("make, keys", [
    (lambda: open_dict({"z": 1, "last": 2, "first": MISSING, "a": List([3]), "m": MISSING}),
     ["z", "a", "last"]),
    (lambda: open_dict({"__ref__": 1}), None), (lambda: open_dict({"first": 1, 5: 1}), None),
    (lambda: raw_dict({"a": 1, "b": MISSING}, _pattern(native.Any)), ["a"]),
    (lambda: raw_dict({"a": 1}, _pattern(_frozen)), None),
    (lambda: raw_dict({"a": 1}, _pattern(native.Any, native.Any)), None),
    (lambda: raw_dict({"a": 1, "b": 2}, native.Dict(schema(("a", _frozen()), ("b", native.Any())))),
     ["b"]),
    (lambda: raw_dict({"a": 1}, native.Dict(schema(("a", FrozenCallable())))), []),
    # A key the schema does not name would be lost, a constant key reading
    # as a marker misread: both are the package's to place.
    (lambda: raw_dict({"a": 1, "zz": 2}, native.Dict(schema(("a", native.Any())))), None),
    (lambda: raw_dict({"_type": 1}, native.Dict(schema(("_type", native.Any())))), None),
])
def test_dictionary_filling_by_schema_shape(make, keys):
    d = make()
    _same_or_declined(d, None if keys is None else "same")
    assert keys is None or list(walk(d)) == keys


def test_a_key_added_while_walking_meets_the_key_test():
    s = shapes()
    d, added = open_dict({}), []

    class Adding(s.Point):
        sym_jsonify = s.Point.sym_jsonify

        @property
        def enable_topo(self):
            dict.__setitem__(d, added[-1], "added")
            return True

    dict.__setitem__(d, "first", made(Adding, a=1))
    dict.__setitem__(d, "y", 2)
    added.append(7)          # not a str: the open form declines
    assert walk(d) is None
    dict.__delitem__(d, 7)
    added.append("z")        # a str passes
    assert list(walk(d)) == ["first", "y", "z"]


class NoClone(native.SymDict):
    _notify_field_updates = lambda self, updates: None  # noqa: E731


@pytest.mark.parametrize("way", ["ref", "no sym_clone", "storage", "list"])
@pytest.mark.parametrize("stack", [0, 256 * 1024])  # 0: the main thread
def test_a_container_holding_itself_raises_recursion_error(way, stack):
    d = {"ref": lambda: Dict(assign="ref"), "no sym_clone": NoClone, "storage": Dict,
         "list": lambda: List([])}[way]()
    # A write refuses the cycle, of any value that keeps a tree: only the
    # storage itself, or a policy that takes the value as it is, holds one.
    {"ref": lambda: d.__setitem__("x", d), "list": lambda: list.append(d, d)}.get(
        way, lambda: dict.__setitem__(d, "x", d))()
    raised = []
    run = lambda: raised.append(pytest.raises(RecursionError, walk, d))  # noqa: E731
    old = threading.stack_size(stack)
    try:
        t = threading.Thread(target=run)
        t.start() if stack else run()
        t.join() if stack else None
    finally:
        threading.stack_size(old)
    assert len(raised) == 1


@pytest.mark.parametrize("depth", [500, 200_000])
def test_very_deep_nesting_answers_or_raises_recursion_error(depth):
    root = node = Dict()
    for _ in range(depth):
        dict.__setitem__(node, "x", node := Dict())
    try:
        out = walk(root)
    except RecursionError:
        assert depth > 500
    else:
        assert str(out).count("{") == depth + 1


def test_the_default_hook_is_set_once_and_gates_every_object():
    run_fresh("""
        import vesk.typing, vesk.symbolic.containers as c, vesk.symbolic.objects as o
        import vesk_core._native as native, vesk_core._typing_seams as ts
        vesk.typing.install(); c.install(); o.install(dict_cls=c.Dict)
        from vesk.symbolic.jsonify import sym_jsonify
        from vesk.symbolic.object_classes import object_class
        P = object_class("P", [("a", native.Any())])
        obj = P.__new__(P)
        ts.native_table(native.__file__, "vesk_test_object_seams")["store_fields"](obj, {"a": 1})
        assert native._native_to_json_walk(c.Dict(x=c.Dict(y=1))) == {"x": {"y": 1}}
        assert native._native_to_json_walk(obj) is None
        assert native._set_default_object_sym_jsonify(sym_jsonify) is None
        assert native._set_default_object_sym_jsonify(lambda self: None) is None
        assert native._native_to_json_walk(obj) == {"_type": "tests.P", "a": 1}
    """)


def test_registration_order():
    order = ["_install_container_bridge", "_native_to_json_walk",
             "_set_default_object_sym_jsonify", "SymList", "_node_seal",
             "_native_inline_object_to_json", "_native_inline_object_to_json_open",
             "_native_from_json_all_plain", "_probe_node_get"]
    assert [n for n in native.__all__ if n in order] == order
