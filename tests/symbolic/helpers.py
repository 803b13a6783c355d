"""Shared pieces of the symbolic tests: the module's internal operations
through the test seams, the stand-in's dictionary and list classes, schema
builders, a flag-scope context and small pure-Python symbolic values that
record what adoption does to them."""

import contextlib
import types

import pytest

import vesk_core._native as native
from vesk.symbolic import objects
from vesk.symbolic.containers import MISSING, Dict, FieldUpdate, Insertion, List, SharedHoldError
from vesk.symbolic.objects import WritePermissionError
from vesk_core import KeyPath

_typing_seams = pytest.importorskip("vesk_core._typing_seams")
seams = types.SimpleNamespace(
    **_typing_seams.native_table(native.__file__, "vesk_test_symbolic_seams")
)

__all__ = [
    "MISSING", "Dict", "FieldUpdate", "Insertion", "List", "SharedHoldError",
    "WritePermissionError", "KeyPath", "seams", "schema", "spec", "scope", "Node", "RefNode",
    "Inferred", "ListNode", "child_transform_mode",
]


@pytest.fixture(params=["transform", "no_transform"])
def child_transform_mode(request):
    """Runs a test with the stand-in's child transform, then again with a
    `symbolic_transform_fn` that answers None, the package's "no child
    transform"."""
    if request.param == "transform":
        yield request.param
    else:
        with objects.no_child_transform():
            yield request.param


@contextlib.contextmanager
def scope(flag, value):
    """The calling thread's flag scope `flag` set to `value` for the block."""
    native._flag_scope_set(flag, value)
    try:
        yield
    finally:
        native._flag_scope_del(flag)


def schema(*fields, nonconst=None):
    """A native Schema of constant str keys `(name, spec[, assign])`, plus a
    StrKey field over `nonconst` when given."""
    out = []
    for name, value_spec, *rest in fields:
        out.append(native.Field(native.ConstStrKey(name), value_spec, assign=rest[0] if rest else None))
    if nonconst is not None:
        out.append(native.Field(native.StrKey(), nonconst))
    return native.Schema(out, allow_nonconst_keys=nonconst is not None)


def spec(*fields, **kwargs):
    return native.Dict(schema(*fields, nonconst=kwargs.pop("nonconst", None)), **kwargs)


class Node:
    """A pure-Python symbolic value that keeps a tree: it records the
    topology calls it gets, in order."""

    enable_topo = True

    def __init__(self, name="n", parent=None, path=None):
        self.name, self._topo_parent, self._topo_path = name, parent, path
        self.calls = []

    def sym_clone(self, deep=False):
        clone = type(self)(self.name + "'")
        clone.cloned_from = self
        return clone

    def topo_setpath(self, path):
        self.calls.append(("path", path))
        self._topo_path = path

    def topo_setparent(self, parent):
        self.calls.append(("parent", parent))
        self._topo_parent = parent

    def sym_seal(self, is_seal=True):
        self.calls.append(("seal", is_seal))
        return self

    def __repr__(self):
        return f"Node({self.name})"

    __hash__ = None  # unhashable, like the symbolic containers


class RefNode(Node):
    """Reference-like: shared values are cloned rather than refused."""

    reference_paths = ()


class ListNode:
    """A pure-Python symbolic list that keeps a tree: it re-paths its items
    itself, and only when its own path changes (`+=` adds items unchecked)."""

    enable_topo = True

    def __init__(self, items=()):
        self.items, self._topo_parent, self._topo_path = list(items), None, KeyPath()

    def __iadd__(self, items):
        self.items += items
        return self

    def sym_clone(self, deep=False):
        return type(self)(self.items)

    def topo_setparent(self, parent):
        self._topo_parent = parent

    def topo_setpath(self, path):
        if path != self._topo_path:
            self._topo_path = path
            for i, item in enumerate(self.items):
                if hasattr(type(item), "topo_setpath"):
                    item.topo_setpath(KeyPath(i, path))

    __hash__ = None


class Inferred:
    """An inferential value: reads resolve it through `infer()`."""

    def __init__(self, value):
        self.value = value

    def infer(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value
