"""No reference leaks on SymList's roads, their failures included (checked
under the debug interpreter)."""

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, Insertion, KeyPath, List, Node, SharedHoldError, seams
from leaks import assert_no_leak


def _roads():
    ints = native.List(native.Int(), max_size=50)
    typed = native.List(native.Dict([("x", native.Int())]))
    held = Dict(c=Dict())["c"]

    def expect(error, fn):
        with pytest.raises(error):
            fn()

    def cases():
        List([1, 2, 3], value_spec=ints)
        List([1, True], value_spec=ints)
        List([{"x": 1}, Insertion({"x": 2})], value_spec=typed, root_path=KeyPath("r"))
        List([Node(), {"a": [1]}, native.missing_value_singleton()], sealed=True)
        lst = List([Inferred(1), {"a": 1}, 2], value_spec=native.List(native.Any()))
        lst[1] = {"b": 2}
        lst[0:2] = [{"c": 3}, 4, 5]
        lst[::-1] = list(range(len(lst)))
        lst.append({"d": 4})
        lst.insert(0, Node())
        lst.extend(List([7, {"e": 5}]))
        lst.pop(), lst.pop(0), lst.remove(1)
        del lst[0]
        lst.sort(key=str), lst.reverse(), list(lst), lst[::2], list(lst.sym_items())
        lst.copy(), lst * 2, lst + [1], lst._clone_if_primitive()
        lst.topo_setpath(KeyPath("moved"))
        lst.sym_seal(), lst.sym_seal(False), lst.sym_setorigin("src", "tag")
        seams.wrap_node(List, [Dict(), 1], ints, False, KeyPath("w"))
        expect(SharedHoldError, lambda: lst.append(held))
        expect(TypeError, lambda: List(["x"], value_spec=ints))
        expect(TypeError, lambda: List([{"x": 1}], value_spec=typed).extend([Dict(x=2), {"x": "?"}]))
        expect(ValueError, lambda: lst.__setitem__(slice(0, 4, 3), [1, 2, 3]))
        expect(ValueError, lambda: lst.remove("absent"))
        expect(IndexError, lambda: lst.pop(99))
        kept = List([1], value_spec=ints)   # writes that learn the spec, then learn it again
        kept.append(2)
        kept[0] = 3
        native.Int().set_default(1)         # any change to typing state makes them stale
        kept.append(4)
        kept._value_spec = native.List(native.Int())
        kept.append(5)
        expect(TypeError, lambda: kept.append("x"))

    return cases




def test_no_leaks():
    assert_no_leak(_roads(), calls=50)
