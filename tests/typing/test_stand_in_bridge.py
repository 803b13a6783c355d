"""The stand-in bridge behaves as the package's would where other tests rely
on it: JSON forms round-trip through the native classes' own forms, and
forward references resolve once their target is registered."""

import pytest

import vesk_core._native as native
from ids import stable_repr
from vesk.typing import forward_ref, json


@pytest.mark.parametrize(
    "value",
    [
        [1, 2.5, "s", None, True],
        (1, (2, [3])),
        {"a": {"b": ()}},
        native.StrKey(regex="x.*"),
        int,
        json.to_json,
    ],
    ids=stable_repr,
)
def test_json_round_trip(value):
    assert json.from_json(json.to_json(value)) == value


def test_unknown_json_is_refused():
    with pytest.raises(TypeError, match="not JSON serializable"):
        json.to_json(object())
    with pytest.raises(ValueError, match="Unknown serialization key"):
        json.from_json({"_type": "no.such.Class"})


def test_forward_refs_resolve_when_registered():
    ref = forward_ref.make_forward_ref("LateTarget")
    assert not ref.resolved
    with pytest.raises(TypeError, match="does not name a known class"):
        ref.cls
    cls = type("LateTarget", (), {})
    forward_ref.register_forward_ref_target([], cls)
    try:
        assert ref.resolved and ref.cls is cls
    finally:
        forward_ref.forget_forward_ref_target(cls)
    assert forward_ref.make_forward_ref("vesk.typing.forward_ref.ForwardRef").cls is (
        forward_ref.ForwardRef)
