"""The native object renderer against the package's own renderer (the
oracle), over objects and records, both layouts and the indentation levels
the package uses; its declines, its errors, and a tree written meanwhile."""

import functools
import threading

import pytest
from hypothesis import given, strategies as st

import vesk_core._native as native
from object_helpers import made, made_record, node_record_class, object_class
from vesk.symbolic.rendering import child_fields, render



@functools.cache
def classes():
    """Made on first use: the bridges are installed when the session starts."""
    return (object_class("Node", [("a", native.Any()), ("b", native.Any())]),
            object_class("Leaf", [("x", native.Any())], topo=False),
            node_record_class("Cell", ["u", "v"]),
            object_class("Slotted", [("p", native.Any())], slots=True))


def made_node(**fields):
    return made(classes()[0], **fields)


def made_leaf(**fields):
    return made(classes()[1], **fields)

fast = native._render_object_fast


class Text(str):
    """A str subclass: not a leaf, so the callback is asked about it."""


leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.text(max_size=8),
    st.floats(allow_nan=False), st.sampled_from([float("inf"), -0.0, 1e300, "it's \"q\"\n"]),
)


def build(kind, values):
    if kind == "slotted" and type(values[0]) in (int, float, bool, str, type(None)):
        return classes()[3](p=values[0])      # constructed natively: its value is a leaf
    if kind == "node":
        return made_node(a=values[0], b=values[1])
    if kind in ("leaf", "slotted"):
        return made_leaf(x=values[0])
    return made_record(classes()[2], u=values[0], v=values[1])


trees = st.recursive(
    leaves,
    lambda inner: st.builds(build, st.sampled_from(["node", "leaf", "cell", "slotted"]),
                            st.lists(inner, min_size=2, max_size=2)),
    max_leaves=12,
)
tops = st.builds(build, st.sampled_from(["node", "leaf", "cell", "slotted"]), st.lists(trees, min_size=2, max_size=2))


@given(tops, st.booleans(), st.sampled_from([-1, 0, 1, 3]))
def test_renders_what_the_package_renders(top, compact, indent):
    got = fast(top, type(top).__name__, compact, indent, child_fields)
    assert type(got) is str
    assert got == render(top, type(top).__name__, compact, indent)


def test_the_two_layouts_and_their_indentation():
    top = made_node(a=1, b=made_leaf(x="s"))
    assert fast(top, "Name", True, 0, child_fields) == "Name(a=1, b=Leaf(x='s'))"
    assert fast(top, "Name", False, 0, child_fields) == (
        "Name(\n  a = 1,\n  b = Leaf(\n    x = 's'\n  )\n)")
    assert fast(top, "Name", False, 1, child_fields) == (
        "Name(\n    a = 1,\n    b = Leaf(\n      x = 's'\n    )\n  )")
    assert fast(top, "Name", False, -1, child_fields) == (
        "Name(\na = 1,\nb = Leaf(\n  x = 's'\n)\n)")
    empty = made(object_class("Empty", []))
    assert [fast(empty, "E", c, 2, child_fields) for c in (True, False)] == ["E()", "E()"]


def test_keys_and_values_that_are_not_plain():
    top = made_node()
    top.field_dict().update({3: 1.5, Text("k"): Text("v"), "s": None})
    asked = []

    def fields_of(value):
        asked.append(value)
        return {"t": str(value)} if isinstance(value, Text) else None

    assert fast(top, "N", True, 0, fields_of) == "N(3=1.5, k=Text(t='v'), s=None)"
    assert asked == ["v"]


def chain(levels):
    node = made_leaf(x=0)
    for _ in range(levels):
        node = made_leaf(x=node)
    return node


def test_nesting_limit():
    assert fast(chain(100), "Top", False, 0, child_fields) == render(chain(100), "Top", False, 0)
    assert fast(chain(101), "Top", True, 0, child_fields) is None


@pytest.mark.parametrize("compact, indent", [(1, 0), (None, 0), (True, 0.0), (True, 2**63),
                                             (False, -(2**63) - 1), (True, "0")])
def test_unusable_options_decline(compact, indent):
    assert fast(made_leaf(x=1), "L", compact, indent, child_fields) is None


def test_declines_and_errors():
    assert fast(classes()[1].__new__(classes()[1]), "L", True, 0, child_fields) is None   # blank
    assert fast(made_leaf(x=[1]), "L", True, 0, child_fields) is None     # a list: refused
    assert fast(object(), "L", True, 0, child_fields) is None
    with pytest.raises(TypeError):
        fast(made_leaf(x=1), b"L", True, 0, child_fields)
    with pytest.raises(TypeError, match="child_fields must return a dict"):
        fast(made_leaf(x=made_leaf(x=1)), "L", True, 0, lambda v: [("x", 1)])

    def failing(value):
        raise KeyError("policy")

    with pytest.raises(KeyError, match="policy"):
        fast(made_leaf(x=made_leaf(x=1)), "L", True, 0, failing)

    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    top = made_leaf(x=made_leaf(x=1))
    with pytest.raises(ValueError, match="no text"):
        fast(top, "L", True, 0, lambda v: {Unprintable(): 1})


def test_a_dict_that_grows_while_rendered_fails():
    top = made_node(a=made_leaf(x=1), b=2)

    def growing(value):
        top.field_dict()["c"] = 3
        return child_fields(value)

    with pytest.raises(RuntimeError, match="changed size"):
        fast(top, "N", True, 0, growing)


def test_indentation_too_large_to_write():
    top = made_leaf(x=1)
    assert fast(top, "L", True, 2**63 - 1, child_fields) == "L(x=1)"
    with pytest.raises(OverflowError):
        fast(top, "L", False, 2**63 - 1, child_fields)


def test_rendering_a_tree_another_thread_writes():
    leaves = [made_leaf(x=i) for i in range(8)]
    top = made_node(a=leaves[0], b=leaves[1])
    stop = threading.Event()
    outcomes = []

    def writer():
        n = 0
        while not stop.is_set():
            n += 1
            leaf = leaves[n % 8]
            leaf.field_dict()["x"] = leaves[(n + 3) % 8] if n % 5 == 0 else n
            leaf.field_dict().pop("y", None) if n % 2 else leaf.field_dict().update(y=[n])
            top.field_dict()["b"] = leaves[n % 8]

    def reader():
        for _ in range(300):
            try:
                outcomes.append(fast(top, "N", n_compact(len(outcomes)), 0, child_fields))
            except RuntimeError as e:      # a dict resized under the walk
                outcomes.append(e)

    def n_compact(i):
        return i % 2 == 0

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(3)]
    for t in threads[1:]:
        t.start()
    threads[0].start()
    for t in threads[1:]:
        t.join()
    stop.set()
    threads[0].join()
    # Each render is text, a decline, or the resize error; text is whole.
    for got in outcomes:
        assert got is None or isinstance(got, RuntimeError) or (
            got.startswith("N(") and got.count("(") == got.count(")")), got
    # Whatever another thread left behind, the tree still renders as the oracle does.
    for leaf in leaves:
        leaf.field_dict().pop("y", None)
    for leaf in leaves:
        leaf.field_dict()["x"] = 0
    assert fast(top, "N", False, 0, child_fields) == render(top, "N", False, 0)
