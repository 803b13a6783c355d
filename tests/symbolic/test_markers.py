"""Marker tests: class attributes only, never instance ones; the primitive
test by exact class; the lenient and strict topology flags; the two assign
policy lookups."""

import enum

import pytest

import vesk_core._native as native
from helpers import Dict, Inferred, Node, RefNode, seams, schema

numpy_bool = pytest.importorskip("vesk_core._native_testhooks").fake_numpy_bool


class Color(enum.IntEnum):
    RED = 1

    def infer(self):
        return int(self)


class InstanceOnly:
    def __init__(self):
        self.sym_clone = self.topo_setpath = self.infer = lambda *a: None


class Flag:
    def __init__(self, value):
        self._value = value

    @property
    def enable_topo(self):
        if isinstance(self._value, BaseException):
            raise self._value
        return self._value


class RaisingMeta(type):
    def __getattr__(cls, name):
        raise ZeroDivisionError(name)


class Odd(metaclass=RaisingMeta):
    pass


@pytest.mark.parametrize("make, symbolic, topo, inferential, reference", [
    (Node, True, True, False, False),
    (RefNode, True, True, False, True),
    (lambda: Inferred(1), False, False, True, True),
    (lambda: Color.RED, False, False, True, True),     # an int subclass is not primitive
    (InstanceOnly, False, False, False, False),
    (Dict, True, True, False, False),
    (lambda: None, False, False, False, False),       # None is primitive, never inferential
    (dict, False, False, False, False),
])
def test_class_markers(make, symbolic, topo, inferential, reference):
    value = make()
    assert seams.is_symbolic(value) is symbolic
    assert seams.is_topology_aware(value) is topo
    assert seams.is_inferential(value) is inferential
    assert seams.is_reference_like(value) is reference


def test_a_failing_metaclass_lookup_is_raised():
    with pytest.raises(ZeroDivisionError):
        seams.is_symbolic(Odd())


@pytest.mark.parametrize("value, primitive", [
    (None, True), (1, True), (1.5, True), ("s", True), (True, True), (b"b", True),
    (Color.RED, False), (bytearray(), False), ((), False),
])
def test_primitive_is_by_exact_class(value, primitive):
    assert seams.is_primitive(value) is primitive


@pytest.mark.parametrize("flag, lenient, strict", [
    (True, True, True),
    (False, False, False),
    (0, True, TypeError),
    ("no", True, TypeError),
    (KeyError("x"), True, KeyError),
    ("numpy-false", False, False),
])
def test_topology_flags(flag, lenient, strict):
    value = Flag(numpy_bool(False) if flag == "numpy-false" else flag)
    assert seams.lenient_topology_flag(value) is lenient
    if isinstance(strict, type):
        with pytest.raises(strict):
            seams.strict_topology_flag(value)
    else:
        assert seams.strict_topology_flag(value) is strict


def test_native_containers_answer_their_own_topology_flag():
    assert seams.strict_topology_flag(Dict()) is True
    assert seams.strict_topology_flag(Dict(under_topo=False)) is False
    assert seams.needs_parenting(Dict()) is True
    assert seams.needs_parenting(Dict(under_topo=False)) is False


def test_needs_parenting_of_topology_aware_values_that_are_not_symbolic():
    class Aware:
        def topo_setpath(self, path):
            pass

    assert seams.needs_parenting(Aware()) is True
    assert seams.needs_parenting(object()) is False


def test_field_policy_lookups():
    s = schema(("a", native.Int(), "ref"), ("b", native.Int()))
    assert seams.field_policy(None, "a", "clone") == "clone"
    assert seams.field_policy(s, "a", "clone") == "ref"
    assert seams.field_policy(s, "b", "clone") == "clone"       # no declared policy
    assert seams.field_policy(s, "zz", None) is None            # no field

    class WithSchema:
        __schema__ = s

    class Plain:
        pass

    assert seams.class_field_policy(WithSchema(), "a") == "ref"
    assert seams.class_field_policy(WithSchema(), "b") is None
    assert seams.class_field_policy(Plain(), "a") is None

    class BadField:
        assign = 3

    class BadSchema:
        def get_field(self, key):
            return BadField()

    with pytest.raises(TypeError):
        seams.field_policy(BadSchema(), "a", None)
