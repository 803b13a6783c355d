"""The walk over generated symbolic trees: for every tree it answers None
or exactly what the package's serializer answers, key order and exact
types included; a tree with nothing the package must decide is never
declined; and no answer shares a container with its tree."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import Inferred
from json_trees import (MISSING, List, raw_dict, const_dict, containers, made, made_record, open_dict,
                        ordered, shapes, to_json, walk)
from vesk.symbolic.jsonify import is_marker_like

KEYS = st.sampled_from(["a", "b", "k", "l", "first", "last", "_x", "_types", "\\x", "_type",
                        "\\__ref__", "__root__"])
PRIMITIVES = (st.none() | st.booleans() | st.integers() | st.text(max_size=4)
              | st.floats(allow_nan=False) | st.sampled_from(["__tuple__", "\\_type"]))
# Leaves only the package can serialise: (description, value factory).
ODD = st.sampled_from(["missing", "tuple", "bytes", "inferred", "plain_list", "plain_dict"])


def leaf_desc():
    # Mostly leaves the walk takes, so that most trees are walked whole.
    return st.integers(0, 5).flatmap(
        lambda n: ODD.map(lambda k: ("odd", k)) if n == 0 else PRIMITIVES.map(lambda v: ("prim", v)))


def node_desc(children):
    items = st.lists(st.tuples(KEYS, children), max_size=4, unique_by=lambda kv: kv[0])
    fields = st.fixed_dictionaries({}, optional={"a": children, "b": children, "c": children})
    return st.one_of(
        st.lists(children, max_size=4).map(lambda c: ("list", c)),
        items.map(lambda c: ("dict", c)),
        items.map(lambda c: ("open", c)),
        st.fixed_dictionaries({}, optional={"x": children, "y": children}).map(
            lambda c: ("const", list(c.items()))),
        st.tuples(st.sampled_from(["point", "flat", "custom", "record"]), fields).map(
            lambda c: ("object",) + c),
    )


# A container or object at the root, over subtrees of any shape.
TREES = node_desc(st.recursive(leaf_desc(), node_desc, max_leaves=12))


def build(desc):
    """The tree of `desc`, and whether nothing in it needs the package."""
    kind = desc[0]
    if kind == "prim":
        return desc[1], True
    if kind == "odd":
        return {"missing": MISSING, "tuple": (1,), "bytes": b"b", "inferred": Inferred(1),
                "plain_list": [1], "plain_dict": {"k": 1}}[desc[1]], False
    if kind == "object":
        return build_object(desc[1], desc[2])
    built = [(k, build(v)) for k, v in desc[1]] if kind != "list" else None
    if kind == "list":
        values = [build(v) for v in desc[1]]
        tree = List([])
        for v, _ in values:
            list.append(tree, v)  # the storage as it is: nothing wrapped
        clean = all(c for _, c in values) and not (values and is_marker_like(values[0][0]))
        return tree, clean and not any(v is MISSING for v, _ in values)
    items = {k: v for k, (v, _) in built}
    clean = all(c or v is MISSING for _, (v, c) in built)
    if kind == "dict":
        return raw_dict(items), clean and not any(is_marker_like(k) or v is MISSING for k, v in items.items())
    if kind == "open":
        return open_dict(items), clean and not any(
            is_marker_like(k) and k not in ("first", "last") for k in items)
    return const_dict(items), clean


def build_object(kind, fields):
    built = {k: build(v) for k, v in fields.items()}
    values = {k: v for k, (v, _) in built.items()}
    clean = all(c or v is MISSING for v, c in built.values())
    if kind == "record":
        values.pop("c", None)
        values.setdefault("a", 0)
        values.setdefault("b", 0)
        clean = all(c or v is MISSING for k, (v, c) in built.items() if k != "c")
        return made_record(shapes().Rec, **values), clean
    s = shapes()
    cls = {"point": s.Point, "flat": s.Flat, "custom": s.Custom}[kind]
    if cls is not s.Point:
        values.pop("b", None)
        values.pop("c", None)
    return made(cls, **values), clean and cls is s.Point


@pytest.mark.filterwarnings("ignore:Generating overly large repr")
@settings(max_examples=300, deadline=None)
@given(TREES)
def test_the_walk_answers_the_package_form_or_declines(desc):
    tree, clean = build(desc)
    out = walk(tree)
    if clean and tree is not None:
        assert out is not None
    if out is not None:
        assert ordered(out) == ordered(to_json(tree))
        # Nothing in the answer is a container of the tree.
        assert all(type(c) in (dict, list) for c in containers(out).values())
        if isinstance(tree, dict):
            assert out is not tree
