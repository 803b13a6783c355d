"""The typing bridge's native operations through the test-only extension,
with the stand-in bridge installed into it. Every handle is scripted: a test
may replace what one answers (a non-bool, an exception) for its duration."""

import pytest

import vesk.typing

seams = pytest.importorskip("vesk_core._typing_seams")

SCRIPT = {}


def _scripted(name, real):
    def handle(*args, **kwargs):
        override = SCRIPT.get(name)
        return (override or real)(*args, **kwargs)

    handle.__name__ = name
    return handle


class RecordingSpecs:
    """value_spec_cls: its from_annotation reports how it was called."""

    @classmethod
    def from_annotation(cls, annotation, **kwargs):
        return ("spec", annotation, kwargs)


CALLABLE_HANDLES = (
    "to_json", "from_json", "callable_eq", "is_subclass", "is_instance", "is_generic",
    "is_typeddict", "type_display_name", "make_forward_ref", "topology_merge",
    "make_field_merge_fn", "register_forward_ref_target", "default_without_apply",
    "create_schema", "callable_validate",
)


def handles():
    table = vesk.typing.bridge_handles()
    for name in CALLABLE_HANDLES:
        table[name] = _scripted(name, table[name])
    table["value_spec_cls"] = RecordingSpecs
    return table


def install():
    seams._install_typing_bridge(**handles())


@pytest.fixture
def script():
    SCRIPT.clear()
    yield SCRIPT
    SCRIPT.clear()


install()  # once per process; a later call changes nothing
