"""The native object renderer against the package's own renderer (the
oracle) over objects and records, both layouts and the indentation levels
the package uses; its declines and errors; a tree written meanwhile."""

import functools
import threading

import pytest
from hypothesis import given, strategies as st

import vesk_core._native as native
from object_helpers import made, made_record, node_record_class, object_class
from races import started
from vesk.symbolic.rendering import child_fields, render

fast = native._render_object_fast
LEAF_TYPES = (int, float, bool, str, type(None))


@functools.cache
def classes():
    """Made on first use: the bridges are installed when the session starts."""
    return {"node": object_class("Node", [("a", native.Any()), ("b", native.Any())]),
            "leaf": object_class("Leaf", [("x", native.Any())], topo=False),
            "cell": node_record_class("Cell", ["u", "v"]),
            "slotted": object_class("Slotted", [("p", native.Any())], slots=True)}


def leaf(x):
    return made(classes()["leaf"], x=x)


def build(kind, values):
    cls = classes()[kind]
    if kind == "node":
        return made(cls, a=values[0], b=values[1])
    if kind == "cell":
        return made_record(cls, u=values[0], v=values[1])
    if kind == "slotted" and type(values[0]) in LEAF_TYPES:
        return cls(p=values[0])            # constructed natively: its value is a leaf
    return leaf(values[0])


leaves = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=8),
                   st.floats(allow_nan=False), st.just("it's \"q\"\n"))
kinds = st.sampled_from(["node", "leaf", "cell", "slotted"])
trees = st.recursive(leaves, lambda inner: st.builds(build, kinds, st.lists(inner, min_size=2, max_size=2)),
                     max_leaves=12)


@given(st.builds(build, kinds, st.lists(trees, min_size=2, max_size=2)), st.booleans(),
       st.sampled_from([-1, 0, 1, 3]))
def test_renders_what_the_package_renders(top, compact, indent):
    got = fast(top, type(top).__name__, compact, indent, child_fields)
    assert type(got) is str and got == render(top, type(top).__name__, compact, indent)


def test_the_layouts_spelled_out():
    top = made(classes()["node"], a=1, b=leaf("s"))
    top.field_dict().update({3: None})
    assert fast(top, "N", True, 0, child_fields) == "N(a=1, b=Leaf(x='s'), 3=None)"
    assert fast(top, "N", False, 1, child_fields) == (
        "N(\n    a = 1,\n    b = Leaf(\n      x = 's'\n    ),\n    3 = None\n  )")
    assert fast(top, "N", False, -1, child_fields) == "N(\na = 1,\nb = Leaf(\n  x = 's'\n),\n3 = None\n)"
    assert fast(made(classes()["node"]), "E", False, 2, child_fields) == "E()"


def test_a_str_subclass_is_asked_for_its_fields():
    class Text(str):
        pass

    asked = []
    top = leaf(Text("v"))
    assert fast(top, "L", True, 0, lambda v: asked.append(v) or {"t": "w"}) == "L(x=Text(t='w'))"
    assert asked == ["v"]


def chain(levels):
    node = leaf(0)
    for _ in range(levels):
        node = leaf(node)
    return node


@pytest.mark.parametrize("obj, compact, indent", [
    (lambda: chain(101), True, 0), (lambda: leaf([1]), True, 0), (object, True, 0),
    (lambda: classes()["leaf"].__new__(classes()["leaf"]), True, 0),
    (lambda: leaf(1), 1, 0), (lambda: leaf(1), None, 0), (lambda: leaf(1), True, 0.0),
    (lambda: leaf(1), True, 2**63), (lambda: leaf(1), False, -(2**63) - 1), (lambda: leaf(1), True, "0"),
])
def test_declines(obj, compact, indent):
    assert fast(obj(), "L", compact, indent, child_fields) is None


def test_depth_100_renders():
    assert fast(chain(100), "Top", False, 0, child_fields) == render(chain(100), "Top", False, 0)


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("name, fields_of, error", [
    (b"L", lambda top, v: child_fields(v), TypeError),
    ("L", lambda top, v: [("x", 1)], TypeError),              # not a dict
    ("L", lambda top, v: {}[v], KeyError),                     # the policy's own failure
    ("L", lambda top, v: {Unprintable(): 1}, ValueError),      # str() of a key
    ("L", lambda top, v: top.field_dict().update(y=1) or {}, RuntimeError),  # resized under the walk
])
def test_errors(name, fields_of, error):
    top = leaf(leaf(1))
    with pytest.raises(error):
        fast(top, name, True, 0, lambda v: fields_of(top, v))


class Unencodable(type):
    __name__ = property(lambda cls: "\ud800")


class KeyText:
    def __str__(self):
        return "k\ud800"


# A lone surrogate in a key or a class name has no UTF-8 form; in a value it
# is escaped by the value's repr.
@pytest.mark.parametrize("name, fields", [
    ("T", {"\ud800": 1}), ("T", {KeyText(): 1}), ("\ud800", {"a": 1}),
    ("T", {"a": Unencodable("Odd", (), {})()}),
], ids=["key", "key's str", "name", "class name"])
def test_text_without_utf8_form_raises(name, fields):
    def of(v):
        return fields if v is top else {"x": 1}

    top = object()
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        fast(top, name, True, 0, of)
    assert fast(top, "T", True, 0, lambda v: {"a": "\ud800"}) == "T(a='\\ud800')"


def test_indentation_too_large_to_write():
    assert fast(leaf(1), "L", True, 2**63 - 1, child_fields) == "L(x=1)"
    with pytest.raises(OverflowError):
        fast(leaf(1), "L", False, 2**63 - 1, child_fields)


def test_rendering_a_tree_another_thread_writes():
    nodes = [leaf(i) for i in range(8)]
    top = made(classes()["node"], a=nodes[0], b=nodes[1])
    stop = threading.Event()
    outcomes = []

    def writer():
        n = 0
        while not stop.is_set():
            n += 1
            fields = nodes[n % 8].field_dict()
            fields["x"] = nodes[(n + 3) % 8] if n % 5 == 0 else n
            fields.pop("y", None) if n % 2 else fields.update(y=[n])
            top.field_dict()["b"] = nodes[n % 8]

    def reader():
        for i in range(300):
            try:
                outcomes.append(fast(top, "N", i % 2 == 0, 0, child_fields))
            except RuntimeError as e:      # a dict resized under the walk
                outcomes.append(e)

    readers = [threading.Thread(target=reader) for _ in range(3)]
    w = threading.Thread(target=writer)
    with started(readers + [w], stop):
        for t in readers:
            t.join()
        stop.set()
    for got in outcomes:
        assert got is None or isinstance(got, RuntimeError) or (
            got.startswith("N(") and got.count("(") == got.count(")")), got
    for node in nodes:
        node.field_dict().pop("y", None)
        node.field_dict()["x"] = 0
    assert fast(top, "N", False, 0, child_fields) == render(top, "N", False, 0)
