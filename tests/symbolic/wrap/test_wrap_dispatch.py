"""The wrap dispatch: raw containers that the schema funnel accepts become
the package's symbolic containers through the wrap-node hook when the
package's transform asks for it, and the symbolic classes and installers
sit in their places of the module."""

import pytest

import vesk_core._native as native
from helpers import Dict, KeyPath, List
from vesk.symbolic.objects import symbolic_transform_fn

typing_seams = pytest.importorskip("vesk_core._typing_seams")


def validate(schema, source, transform, allow_partial=False, child_paths=True):
    out, _ = typing_seams.validate_fields_native(
        native.__file__, schema, source, allow_partial, transform, KeyPath("p"), True, False,
        False, child_paths)
    return out


def schema():
    return native.Schema([
        native.Field("d", native.Dict([("x", native.Int())])),
        native.Field("l", native.List(native.Int())),
        native.Field("t", native.Tuple([native.Int()])),
    ])


@pytest.mark.parametrize("allow_partial", [False, True])
def test_accepted_containers_are_wrapped_through_the_hook(allow_partial):
    s = schema()
    source = {"d": {"x": 1}, "l": [1, 2], "t": (3,)}
    out = validate(s, source, symbolic_transform_fn(allow_partial))
    d, lst = out["d"], out["l"]
    assert (type(d), type(lst), out["t"]) == (Dict, List, (3,))
    assert d == {"x": 1} and lst == [1, 2] and d is not source["d"] and lst is not source["l"]
    assert d._value_spec is s.get_field("d").value and lst.value_spec is s.get_field("l").value
    assert d.topo_path == KeyPath("d", KeyPath("p")) and lst.topo_path == KeyPath("l", KeyPath("p"))
    assert d.topo_parent is None and lst.topo_parent is None   # the caller adopts them
    assert (d._allow_partial, lst._allow_partial) == (allow_partial, allow_partial)
    assert source == {"d": {"x": 1}, "l": [1, 2], "t": (3,)}


def counting(**attributes):
    calls = []

    def transform(path, field, value):
        calls.append(path)
        return value

    transform.__dict__.update(attributes)
    return transform, calls


@pytest.mark.parametrize("attributes, child_paths, called", [
    ({"_vesk_scalar_identity": True}, True, 2),   # no allow_partial stated: the transform runs
    ({}, True, 3),                                # not a scalar identity: tuples too
    ({}, False, 3),
])
def test_other_transforms_are_called(attributes, child_paths, called):
    transform, calls = counting(**attributes)
    out = validate(schema(), {"d": {"x": 1}, "l": [1], "t": (2,)}, transform,
                   child_paths=child_paths)
    assert type(out["d"]) is dict and type(out["l"]) is list and len(calls) == called
    assert calls[0] == (KeyPath("d", KeyPath("p")) if child_paths else KeyPath())


def test_the_symbolic_classes_and_installers_are_in_their_places():
    order = ["SymDict", "_install_container_bridge", "SymList", "_install_list_bridge",
             "_install_object_bridge"]
    places = [native.__all__.index(name) for name in order]
    assert places == sorted(places)
    assert List.__mro__[1] is native.SymList and native.SymList.__module__ == "vesk_core._native"
