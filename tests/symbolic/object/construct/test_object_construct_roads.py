"""The compiled fill and the init schema's validation make the same object:
two twin classes, one with compiled init fields and one without, are given
the same keywords over generated field sets and values."""

import pytest
from hypothesis import given, settings, strategies as st

import vesk_core._native as native
from construct_helpers import KINDS, cseams, snapshot
from helpers import child_transform_mode  # noqa: F401  (a fixture)
from object_helpers import KeyPath, object_class
from vesk.symbolic import objects

# Every test runs twice: with the stand-in's child transform, and with a hook
# that answers None ("no child transform").
pytestmark = pytest.mark.usefixtures("child_transform_mode")

# Values of the wrong kind for any field but Any.
WRONG = st.sampled_from([object(), b"bytes", 1.5j])


@st.composite
def cases(draw):
    kinds = draw(st.lists(st.sampled_from(sorted(KINDS)), min_size=1, max_size=5))
    kwargs = {}
    for i, kind in enumerate(kinds):
        name = f"f{i}_{kind}"
        choice = draw(st.sampled_from(["value", "value", "value", "absent", "wrong"]))
        if choice == "value":
            kwargs[name] = draw(KINDS[kind][1])
        elif choice == "wrong" and kind != "any":
            kwargs[name] = draw(WRONG)
    return kinds, kwargs, draw(st.booleans()), draw(st.booleans())


def outcome(cls, kwargs, root):
    try:
        obj = cls(**dict(kwargs), root_path=root)
    except Exception as e:     # both roads must fail the same way
        return type(e)
    # A hook that answers None leaves the schema road's raw containers raw.
    return snapshot(obj, plain=objects.symbolic_transform_fn(False) is None)


@settings(max_examples=150)
@given(cases())
def test_compiled_fill_and_schema_road_agree(case):
    kinds, kwargs, topo, rooted = case
    fields = [(f"f{i}_{k}", KINDS[k][0]()) for i, k in enumerate(kinds)]
    compiled = object_class("T", fields, topo=topo)
    schema_only = object_class("T", fields, topo=topo, compiled=False)
    assert cseams.ctor_meta_facts(schema_only)["compiled_fields"] is None
    root = KeyPath("root") if rooted else None
    left, right = outcome(compiled, kwargs, root), outcome(schema_only, kwargs, root)
    if isinstance(left, type) and isinstance(right, type):
        # Missing fields are reported in compiled order by one road and in
        # schema order by the other; both are the same TypeError.
        assert left is right
    else:
        assert left == right


@pytest.mark.parametrize("last", ["wrong", "right"])
def test_a_fill_declining_on_its_last_field_still_matches(last):
    fields = [("a", native.Int()), ("b", native.List(native.Int())), ("c", native.Str())]
    compiled, schema_only = object_class("T", fields), object_class("T", fields, compiled=False)
    kwargs = {"a": 1, "b": [1, 2], "c": 3 if last == "wrong" else "s"}
    assert outcome(compiled, kwargs, None) == outcome(schema_only, kwargs, None)
