"""Shared pieces of the symbolic object tests: the object seams, and objects
and records made the way the package makes them, filled without the native
construction (which is not built yet)."""

import types

import pytest

import vesk_core._native as native
from helpers import Dict
from vesk.symbolic.object_classes import Object, node_record_class, object_class
from vesk.symbolic.objects import Origin, SymbolicModeError
from vesk_core import KeyPath

_typing_seams = pytest.importorskip("vesk_core._typing_seams")
seams = types.SimpleNamespace(
    **_typing_seams.native_table(native.__file__, "vesk_test_object_seams")
)

__all__ = [
    "KeyPath", "Object", "Origin", "SymbolicModeError", "seams", "object_class",
    "node_record_class", "made", "made_record", "recording_hooks", "PausingChild",
]


def made(cls, path=None, **fields):
    """An object of `cls` as construction leaves it: its fields stored (the
    very dict given) and its path set (the empty path by default)."""
    obj = cls.__new__(cls)
    # Through the descriptor itself: an attribute write would classify the
    # name against the class first, which a test may have made unreadable.
    native.SymObject._topo_path.__set__(obj, KeyPath() if path is None else path)
    seams.store_fields(obj, fields)
    return obj


def made_record(cls, path=None, **fields):
    """A record of `cls` with its fields written and its node state seeded
    as construction seeds it (not sealed, no partial values, writable)."""
    inst = cls()
    for name, value in fields.items():
        setattr(inst, name, value)
    path = KeyPath() if path is None else path
    for role, value in ((3, False), (4, True), (2, False), (1, path)):
        native._probe_node_set(inst, role, value)
    return inst


def recording_hooks(log, *names):
    """Class namespace entries for the topology hooks `names` that append
    (hook name, old, new) to `log`."""
    def make(name):
        def hook(self, old, new):
            log.append((name, old, new))
        return hook
    return {name: make(name) for name in names}


class PausingChild(Dict):
    """A child whose `topo_setpath` first calls its `pause` (set in its
    __dict__ once it is made), so a write placing it can be held there."""

    def topo_setpath(self, path):
        self.__dict__.get("pause", lambda x: None)(1)
        return super().topo_setpath(path)
