"""The walk over generated trees answers None or exactly the package's
form (order and exact types included), never declines a tree with nothing
for the package to decide, and shares no container with its tree."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk_core._native as native
from helpers import Inferred, spec
from json_trees import MISSING, List, made, made_record, open_dict, ordered, raw_dict, shapes, to_json, walk
from vesk.symbolic.jsonify import is_marker_like

KEYS = st.sampled_from(["a", "b", "k", "m", "first", "last", "_x", "\\x", "_type"])
PRIMITIVES = (st.none() | st.booleans() | st.integers() | st.text(max_size=3)
              | st.floats(allow_nan=False) | st.sampled_from(["__tuple__", "\\_type"]))
ODD = {"missing": MISSING, "tuple": (1,), "bytes": b"b", "inferred": Inferred(1),
       "list": [1], "dict": {"k": 1}}
LEAVES = st.integers(0, 9).flatmap(  # mostly leaves the walk takes
    lambda n: st.sampled_from(sorted(ODD)).map(lambda k: ("odd", k)) if n == 0
    else PRIMITIVES.map(lambda v: ("prim", v)))


def nodes(children):
    items = st.lists(st.tuples(KEYS, children), max_size=4, unique_by=lambda kv: kv[0])
    return st.one_of(
        st.lists(children, max_size=4).map(lambda c: ("list", c)),
        st.sampled_from(["dict", "open", "const"]).flatmap(lambda k: items.map(lambda c: (k, c))),
        st.tuples(st.sampled_from(["Point", "Point", "Rec", "Rec", "Flat", "Custom"]),
                  st.lists(st.tuples(st.sampled_from("abc"), children), max_size=3,
                           unique_by=lambda kv: kv[0])).map(lambda c: ("object",) + c))


TREES = nodes(st.recursive(LEAVES, nodes, max_leaves=24))


def build(desc):
    """The tree of `desc`, and whether nothing in it needs the package."""
    kind, body = desc[0], desc[-1]
    if kind in ("prim", "odd"):
        return (body, True) if kind == "prim" else (ODD[body], False)
    built = [(k, *build(v)) for k, v in body] if kind != "list" else [
        (i, *build(v)) for i, v in enumerate(body)]
    fine = all(c or (v is MISSING and kind not in ("list", "dict")) for _, v, c in built)
    items = {k: v for k, v, _ in built}
    if kind == "list":
        tree = List([])
        list.extend(tree, items.values())
        return tree, fine and not (items and is_marker_like(items[0]))
    if kind == "dict":
        return raw_dict(items), fine and not any(map(is_marker_like, items))
    if kind == "open":
        return open_dict(items), fine and not any(
            is_marker_like(k) and k not in ("first", "last") for k in items)
    if kind == "const":
        const = {k: v for k, v in items.items() if k in "ab"}
        return raw_dict(const, spec(("a", native.Any()), ("b", native.Any()))), all(
            c or v is MISSING for k, v, c in built if k in "ab")
    cls = getattr(shapes(), desc[1])
    if cls is shapes().Rec:
        items = {"a": 0, "b": 0, **{k: v for k, v in items.items() if k != "c"}}
        fine = all(c or v is MISSING for k, v, c in built if k != "c")
        return made_record(cls, **items), fine
    if cls is not shapes().Point:
        items.pop("c", None)
    return made(cls, **items), fine and cls is shapes().Point


@pytest.mark.filterwarnings("ignore:Generating overly large repr")
@settings(max_examples=500, deadline=None)
@given(TREES)
def test_the_walk_answers_the_package_form_or_declines(desc):
    tree, fine = build(desc)
    out = walk(tree)
    assert out is not None or not fine
    if out is not None:
        assert ordered(out) == ordered(to_json(tree))
        stack = [out]
        while stack:  # every container of the answer is a new plain one
            node = stack.pop()
            assert type(node) in (dict, list) and node is not tree
            stack.extend(v for v in (node.values() if type(node) is dict else node)
                         if isinstance(v, (dict, list)))
