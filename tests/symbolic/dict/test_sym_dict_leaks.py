"""No reference leaks on SymDict's roads, their failures included (checked
under the debug interpreter)."""

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, Node, SharedHoldError, seams, spec
from leaks import assert_no_leak


def _roads():
    fused = spec(("a", native.Int()), ("b", native.Str(default="z")))
    open_spec = spec(("a", native.Int()), nonconst=native.Int())
    held = Dict(c=Dict())["c"]

    def expect(error, fn):
        with pytest.raises(error):
            fn()

    def cases():
        Dict({"a": 1, "b": "x"}, value_spec=fused)
        Dict({"a": 1}, value_spec=fused)
        Dict(a=1, x=2, value_spec=open_spec)
        Dict(a={"x": [1]}, n=Node(), root_path=KeyPath("r"), sealed=True)
        d = Dict(a={"x": 1}, b=2)
        d["a"] = {"y": 2}
        d["c"] = Node()
        del d["b"]
        d.topo_setpath(KeyPath("moved"))
        d.sym_setorigin("src", "tag")
        list(d.sym_items()), d.get("zz"), d._clone_if_primitive()
        seams.wrap_dict(Dict, {"a": {"b": 1}}, None, False, KeyPath("w"), None)
        expect(SharedHoldError, lambda: d.__setitem__("h", held))
        expect(KeyError, lambda: Dict({1.5: 1}))
        expect(TypeError, lambda: Dict({"a": "x"}, value_spec=fused))
        expect(ValueError, lambda: d.__setitem__("self", d))

    return cases


def test_no_leaks():
    assert_no_leak(_roads(), calls=50)


class Holder:
    pass


@pytest.mark.parametrize("specs", [1, 2])
def test_a_cycle_through_a_used_spec_and_its_schema_is_collected(specs):
    # The spec keeps facts of its schema once a dictionary is built with it;
    # a cycle through the schema's fields (here a default that holds the
    # spec) is still garbage once dropped, however many specs share the
    # schema, and after the schema changed its fields.
    import gc
    import weakref

    def make(extend):
        holder = Holder()
        first = native.Dict([("a", native.Any(default=holder))])
        holder.specs = [first] + [native.Dict(first.schema) for _ in range(specs - 1)]
        for s in holder.specs:
            Dict({"a": 1}, value_spec=s)
        if extend:
            first.schema.extend(native.Schema([native.Field("b", native.Int())]))
            for s in holder.specs:
                Dict({"a": 1, "b": 2}, value_spec=s)
        return weakref.ref(holder)

    for extend in (False, True):
        gone = make(extend)
        for _ in range(3):
            gc.collect()
        assert gone() is None, f"extend={extend}: the cycle was kept"
