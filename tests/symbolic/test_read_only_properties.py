"""The read-only properties of SymDict, SymList and SymObject: deleting one is
refused as deleting any of their properties is, assigning one as the
interpreter refuses a property without a setter, and neither changes what
the property reads."""

import functools

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, List
from object_helpers import made, object_class



@functools.cache
def point_class():
    """A class with fields, made once the session's bridges are installed."""
    return object_class("Point", [("x", native.Int())])


def sym_dict():
    return Dict(a=1, root_path=KeyPath("r"))


def sym_list():
    return List([1], value_spec=native.List(native.Int(), max_size=3), root_path=KeyPath("r"))


def sym_object():
    return made(point_class(), path=KeyPath("r"), x=1)


CASES = [
    *[(sym_dict, "SymDict", name) for name in ("topo_parent", "topo_path", "enable_topo")],
    *[(sym_list, "SymList", name)
      for name in ("topo_parent", "topo_path", "enable_topo", "value_spec", "max_size")],
    *[(sym_object, "SymObject", name) for name in ("topo_parent", "topo_path")],
]


def reading(obj, name):
    value = getattr(obj, name)
    return dict(value) if isinstance(value, dict) else value


@pytest.mark.parametrize("make, owner, name", CASES, ids=lambda x: getattr(x, "__name__", x))
def test_deleting_is_refused_without_a_deleter_and_assigning_as_not_writable(make, owner, name):
    obj = make()
    before = reading(obj, name)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(obj, name)
    # The class that defines the property is named, as for any property
    # without a setter, whatever subclass the instance is of.
    with pytest.raises(AttributeError, match=rf"^attribute '{name}' of "
                                             rf"'vesk_core\._native\.{owner}' objects is not "
                                             r"writable$"):
        setattr(obj, name, before)
    assert reading(obj, name) == before


def test_the_fields_view_of_an_object_is_read_only_too():
    obj = sym_object()
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del obj._sym_attributes
    with pytest.raises(AttributeError, match="'_sym_attributes' of 'vesk_core._native.SymObject' "
                                             "objects is not writable"):
        obj._sym_attributes = {}
    assert dict(obj._sym_attributes) == {"x": 1}


def test_the_refusals_read_no_state():
    # A blank object, a list without a spec and a container that keeps no
    # tree refuse alike: neither refusal reads the property first.
    blank = point_class().__new__(point_class())
    untreed = Dict(under_topo=False)
    for obj, name in ((blank, "topo_path"), (List(), "max_size"), (untreed, "topo_parent")):
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(obj, name)
        with pytest.raises(AttributeError, match="is not writable$"):
            setattr(obj, name, None)
