"""The key path of a write's field update follows the object wherever it is:
an object at the root shares its class's path of the field, and one that
moves away from the root (or back) gets the path of its new place."""

import pytest

import vesk_core._native as native
from object_helpers import KeyPath, made, object_class


def point_class():
    return object_class("Point", [("x", native.Int()), ("y", native.Int())])


def set_path(obj, path):
    native.SymObject._topo_path.__set__(obj, path)


def written_paths(obj, *writes):
    before = len(obj.__dict__.get("notified", []))
    for name, value in writes:
        setattr(obj, name, value)
    return [u.path for u in obj.notified[before:]]


@pytest.mark.parametrize("path", [KeyPath(), KeyPath("a"), KeyPath(["a", 1])])
def test_update_path_is_the_field_under_the_object(path):
    obj = made(point_class(), path=path, x=0, y=0)
    got = written_paths(obj, ("x", 1), ("y", 2), ("x", 3))
    assert got == [KeyPath("x", path), KeyPath("y", path), KeyPath("x", path)]
    assert [type(p) for p in got] == [KeyPath] * 3


def test_an_object_that_moves_gets_the_path_of_its_new_place():
    cls = point_class()
    obj = made(cls, x=0, y=0)
    steps = [(KeyPath(), "x"), (KeyPath("moved"), ["moved", "x"]), (KeyPath(), "x"),
             (KeyPath(["deep", 2]), ["deep", 2, "x"])]
    for i, (place, expected) in enumerate(steps):
        set_path(obj, place)
        assert written_paths(obj, ("x", 10 + i)) == [KeyPath(expected)]
    # Other objects of the class at the root are unaffected by the moves.
    assert written_paths(made(cls, x=0, y=0), ("x", 1)) == [KeyPath("x")]


def test_paths_survive_a_rebuilt_class_metadata():
    cls = point_class()
    obj = made(cls, x=0, y=0)
    first = written_paths(obj, ("x", 1))
    del cls.__native_ctor_meta__          # what a schema change does
    second = written_paths(obj, ("x", 2), ("y", 3))
    assert first == [KeyPath("x")] and second == [KeyPath("x"), KeyPath("y")]
    assert str(first[0]) == "x" and first[0].keys == ["x"]
