"""The wrappers over bridge handles: what passes to the handle, what comes
back, and that a handle's failure or a non-bool answer surfaces as an error
(never a crash, never a truth test)."""

import threading

import pytest

import vesk_core._native as native
from races import started
from seams import script, seams  # noqa: F401  (fixture)

MISSING = native.missing_value_singleton()


def test_missing_values():
    assert seams.is_missing(MISSING) and seams.is_missing(native.MissingValue())
    assert not seams.is_missing(None) and not seams.is_missing(native.MissingValue)
    fresh = seams.fresh_missing()
    assert type(fresh) is native.MissingValue and fresh is not MISSING
    assert seams.missing_default() is MISSING
    assert seams.missing_default_detached() is MISSING


def test_missing_default_from_many_detached_threads():
    results = []

    def run():
        results.append(all(seams.missing_default_detached() is MISSING for _ in range(200)))

    threads = [threading.Thread(target=run) for _ in range(8)]
    with started(threads):
        pass
    assert results == [True] * 8


@pytest.mark.parametrize(
    "call, handle, args",
    [
        (lambda: seams.callable_eq(len, abs), "callable_eq", (len, abs)),
        (lambda: seams.call_is_generic(list[int]), "is_generic", (list[int],)),
        (lambda: seams.call_is_instance(1, int), "is_instance", (1, int)),
        (lambda: seams.call_is_subclass(bool, int), "is_subclass", (bool, int)),
    ],
)
def test_bool_handles_pass_their_arguments_and_are_held_to_a_bool(script, call, handle, args):
    for answer in (True, False):
        calls = []
        script[handle] = lambda *a: calls.append(a) or answer
        assert call() is answer
        assert calls == [args]
    for answer in (1, None, "yes", [True]):
        script[handle] = lambda *a: answer
        with pytest.raises(TypeError, match=f"argument '{handle}': expected True or False"):
            call()
    script[handle] = lambda *a: (_ for _ in ()).throw(KeyError("from the handle"))
    with pytest.raises(KeyError, match="from the handle"):
        call()


class Jsonable:
    def __init__(self):
        self.kwargs = None

    def to_json(self, **kwargs):
        self.kwargs = kwargs
        return {"_type": "test.Jsonable"}


def test_call_to_json_forwards_keywords():
    value = Jsonable()
    assert seams.call_to_json(value, {"hide_default_values": True}) == {"_type": "test.Jsonable"}
    assert value.kwargs == {"hide_default_values": True}
    assert seams.call_to_json(value, None) == {"_type": "test.Jsonable"} and value.kwargs == {}
    assert seams.call_to_json((1, [2.5, None]), None) == ["__tuple__", 1, [2.5, None]]
    with pytest.raises(TypeError, match="not JSON serializable"):
        seams.call_to_json(object(), None)


def test_from_annotation_and_union_getitem_go_through_the_bridge_classes():
    assert seams.from_annotation(int) == ("spec", int, {"auto_typing": True})
    union = seams.union_getitem("a", "b")
    assert isinstance(union, seams.bridge_slots()[4])
    assert [c._value_type for c in union.candidates] == ["a", "b"]  # names become Object specs
