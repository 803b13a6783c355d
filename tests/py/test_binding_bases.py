"""Declared types over the built-in bases (`object`, `dict`, `list`): the
instance is a real instance of its base with a native State beside the base's
storage; Python classes extend it; cycles through the State, the base's items
and the instance dict are collected. Also the binding layer's value checks:
the downcast check and the bool-scalar rule."""

import gc
import weakref

import pytest

hooks = pytest.importorskip("vesk_core._native_testhooks")

BASES = {"object": hooks.TaggedObject, "dict": hooks.TaggedDict, "list": hooks.TaggedList}


class Mixin:
    def shout(self):
        return f"{type(self).__name__}!"


def _make(base, kind):
    cls = BASES[base]
    if kind != "native":
        cls = type("Sub", (cls,), {}) if kind == "subclass" else type("Mixed", (Mixin, cls), {})
    return cls([("a", 1)], b=2) if base == "dict" else cls([1, 2]) if base == "list" else cls()


@pytest.mark.parametrize("kind", ["native", "subclass", "with mixin"])
@pytest.mark.parametrize("base", list(BASES))
def test_instances_are_instances_of_their_base_with_a_state_beside(base, kind):
    obj = _make(base, kind)
    assert isinstance(obj, BASES[base].__mro__[1])
    assert obj.tag is None
    obj.tag = ("tagged", base)
    if base == "dict":
        obj["c"] = 3
        assert obj == {"a": 1, "b": 2, "c": 3} and dict(obj) == obj
    elif base == "list":
        obj.append(0)
        obj.sort()
        assert obj == [0, 1, 2] and list(obj) == obj
    assert obj.tag == ("tagged", base)
    if kind == "with mixin":
        assert obj.shout() == "Mixed!"
    assert weakref.ref(obj)() is obj
    # An instance dict comes from the State (the dict form) or the subclass.
    if base == "dict" or kind != "native":
        obj.note = 1
        assert obj.__dict__ == {"note": 1}
    else:
        with pytest.raises(AttributeError):
            obj.note = 1


# Each way a cycle can run back to the instance.
def _cycle(obj, through):
    if through == "state":
        obj.tag = [obj]
    elif through == "items":
        if isinstance(obj, dict):
            obj["self"] = obj
        else:
            obj.append(obj)
    else:
        obj.note = [obj]


CYCLES = [
    (base, kind, through)
    for base in BASES
    for kind in ("native", "subclass")
    for through in ("state", "items", "instance dict")
    if not (through == "items" and base == "object")
    and not (through == "instance dict" and (base, kind) in {("list", "native"), ("object", "native")})
]


@pytest.mark.parametrize("base, kind, through", CYCLES)
def test_cycles_are_collected(base, kind, through):
    obj = _make(base, kind)
    _cycle(obj, through)
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def _round_trip():
    for base, kind, through in CYCLES:
        obj = _make(base, kind)
        _cycle(obj, through)


def test_bases_leak_nothing():
    from leaks import assert_no_leak

    assert_no_leak(_round_trip, calls=20)


@pytest.mark.parametrize(
    "value, message",
    [
        (1, "'int' object is not an instance of 'TaggedDict'"),
        (None, "'None' is not an instance of 'TaggedDict'"),
        ({}, "'dict' object is not an instance of 'TaggedDict'"),
        (hooks.TaggedList(), "'TaggedList' object is not an instance of 'TaggedDict'"),
    ],
)
def test_the_downcast_check_names_both_classes(value, message):
    with pytest.raises(TypeError) as info:
        hooks.dict_tag(value)
    assert str(info.value) == message
    sub = _make("dict", "subclass")
    sub.tag = "ok"
    assert hooks.dict_tag(sub) == "ok"


@pytest.mark.parametrize(
    "value, expected",
    [(True, True), (False, False), (hooks.fake_numpy_bool(1), True), (hooks.fake_numpy_bool(0), False)]
    + [(v, TypeError) for v in (1, 0, None, "True", 1.0)]
    + [(type("numpy.bool", (), {"__bool__": lambda self: True})(), TypeError)],
)
def test_bool_scalars_are_bools_and_the_numeric_librarys_scalar(value, expected):
    if expected is TypeError:
        with pytest.raises(TypeError, match=r"^argument 'value': expected True or False, got "):
            hooks.bool_scalar(value)
    else:
        assert hooks.bool_scalar(value) is expected
