"""Class markers, the partial test and the class-identity tests of the hot paths."""

import enum

import pytest

from seams import seams

MARKERS = {
    "__vesk_custom_typing__": seams.is_custom_typing,
    "__vesk_maybe_partial__": seams.is_maybe_partial,
    "__vesk_copy_if_default__": seams.is_copy_if_default,
}


class RaisingMeta(type):
    def __getattribute__(cls, name):
        if name.startswith("__vesk_"):
            raise LookupError(f"no {name} here")
        return super().__getattribute__(name)


@pytest.mark.parametrize("marker, test", MARKERS.items())
def test_markers_count_by_presence_on_the_class(marker, test):
    for flag in (True, None):
        assert test(type("C", (), {marker: flag})()) is True
    base = type("Base", (), {marker: False})
    assert test(type("Derived", (base,), {})()) is True
    meta = type("Meta", (type,), {marker: True})
    assert test(meta("ViaMeta", (), {})()) is True  # a class attribute, through its metaclass

    plain = type("Plain", (), {})()
    plain.__dict__[marker] = True  # on the instance only
    assert test(plain) is False
    assert test(type("Plain", (), {})) is False  # a class is a value of class `type`
    others = [m for m in MARKERS if m != marker]
    assert test(type("Other", (), {others[0]: True})()) is False
    with pytest.raises(LookupError, match="no __vesk_"):
        test(RaisingMeta("Hostile", (), {})())


def _partial_class(name, sym_partial=None):
    return type(name, (), {} if sym_partial is None else {"sym_partial": sym_partial})


class Truthy:
    def __init__(self, answer):
        self.answer = answer

    def __bool__(self):
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer


@pytest.mark.parametrize(
    "cls, expected",
    [  # the hook decides first; declined, the truth of sym_partial
        (_partial_class("PartialYes", sym_partial=False), True), (_partial_class("PartialNo", sym_partial=True), False),
        (_partial_class("Obj", sym_partial=Truthy(False)), False), (_partial_class("Obj", sym_partial=[0]), True),
        (_partial_class("PartialError", sym_partial=False), LookupError), (_partial_class("Obj"), AttributeError),
        (_partial_class("Obj", sym_partial=Truthy(ValueError("no truth"))), ValueError),
    ],
)
def test_partial_test(cls, expected):
    if isinstance(expected, type):  # errors propagate
        with pytest.raises(expected):
            seams.read_sym_partial(cls())
    else:
        assert seams.read_sym_partial(cls()) is expected


def _spec(symbolic):
    return type("Spec", (), {"symbolic": symbolic})()


@pytest.mark.parametrize(
    "spec, expected_for_false, expected_for_true",
    [(_spec(True), True, True), (_spec(False), False, False), (_spec(None), False, True), (object(), False, True),
     (_spec(property(lambda self: 1 / 0)), False, True)],
)
def test_spec_storage(spec, expected_for_false, expected_for_true):
    assert seams.spec_storage(spec, False) is expected_for_false
    assert seams.spec_storage(spec, True) is expected_for_true


class IntSub(int):
    pass


class Color(enum.Enum):
    RED = 1


def test_fast_scalar_types_in_order():
    assert seams.any_fast_scalar_types() == [
        int, str, float, bool, type(None), bytes, tuple, set, frozenset]


@pytest.mark.parametrize(
    "value, fast, with_containers",
    [(None, True, True), (frozenset(), True, True), (IntSub(1), False, False), ({}, False, True),
     (type("D", (dict,), {})(), False, False), (Color.RED, False, False)],
)
def test_any_fast_type(value, fast, with_containers):
    assert seams.is_any_fast_type(value, False) is fast
    assert seams.is_any_fast_type(value, True) is with_containers


@pytest.mark.parametrize(
    "test, arg, expected",
    [(seams.is_plain_value_type, t, e) for t, e in [
        (int, True), ((), True), (type("T", (tuple,), {})((int,)), True), (Color, False),
        ((int, Color), False), ((int, 1), False), (1, False), (list[int], False)]]
    + [(seams.is_primitive_value_type, t, e) for t, e in [
        (int, True), (bool, True), (bytes, False),
        (IntSub, False), (object, False), ((int,), False)]]
    + [(seams.is_scalar_value, v, e) for v, e in [
        (None, True), (True, True), (1, True), (1.0, True), ("", True), (b"", True),
        (IntSub(), False), ((), False), (bytearray(), False)]],
)
def test_value_type_predicates(test, arg, expected):
    assert test(arg) is expected
