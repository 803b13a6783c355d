"""Int-field writes on a symbolic object (the fast road), in one run.

Assigning an int to an `Int()` field of a symbolic object checks the value
natively (the class's native schema, the field's compiled classification
and the acceptance funnel), stores it, builds one field update and hands it
to the object's `_notify_field_updates`. It is timed against a plain class,
a slots dataclass, an attrs class validating on set, a pydantic model with
`validate_assignment`, a traitlets `HasTraits` with an `Int` trait and an
observer (validation plus change notification), and a Python `__setattr__`
that makes the same type check, field update and notification; then an
object below the root against the same `__setattr__`.

Times are CPU time per write, the best of several rounds that run every
contender in turn (so a busy machine slows them alike); ratio =
SymObject / other (lower is better). A peer that is not installed is
skipped with a line.
"""

import dataclasses

import benchkit  # also puts the checkout on the import path
from benchkit import pick, race as race_in_rounds

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.containers import FieldUpdate
from vesk.symbolic.object_classes import object_class
from vesk_core import KeyPath
from vesk_core import _native as n

ROUNDS = 7
WRITES = 100_000


def race(contenders, number):
    return race_in_rounds(contenders, number, ROUNDS)


def _notified(self, updates):
    """What a listener does with the updates: nothing, in every contender."""


class Plain:
    def __init__(self, x):
        self.x = x


@dataclasses.dataclass(slots=True)
class Slotted:
    x: int


def peers():
    """An instance of each peer holding x = 0, None for a peer that is not
    installed."""
    out = dict.fromkeys(["attrs on_setattr", "pydantic validate_assignment",
                         "traitlets Int + observer"])
    attrs = benchkit.optional("attrs")
    if attrs is not None:
        @attrs.define(on_setattr=attrs.setters.validate)
        class Attrs:
            x: int = attrs.field(validator=attrs.validators.instance_of(int))

        out["attrs on_setattr"] = Attrs(0)
    pydantic = benchkit.optional("pydantic")
    if pydantic is not None:
        class Pydantic(pydantic.BaseModel):
            model_config = pydantic.ConfigDict(validate_assignment=True)
            x: int

        out["pydantic validate_assignment"] = Pydantic(x=0)
    traitlets = benchkit.optional("traitlets")
    if traitlets is not None:
        class Traits(traitlets.HasTraits):
            x = traitlets.Int()

            @traitlets.observe("x")
            def _changed(self, change):
                pass

        out["traitlets Int + observer"] = Traits(x=0)
    return out


class PythonSetattr:
    """The same write in Python: a type check against the field's class,
    the identity test, the store, one field update and the notification."""

    _types = {"x": int}
    _fields_of = {"x": None}

    def __init__(self, x, path=None):
        object.__setattr__(self, "_fields", {"x": x})
        object.__setattr__(self, "_path", KeyPath() if path is None else path)

    def __setattr__(self, name, value):
        expected = self._types.get(name)
        if expected is None:
            object.__setattr__(self, name, value)
            return
        if type(value) is not expected:
            raise TypeError(f"Expect {expected} but encountered {type(value)}: {value!r}.")
        fields = self._fields
        old = fields.get(name)
        if old is value:
            return
        fields[name] = value
        update = FieldUpdate(KeyPath(name, self._path), self, self._fields_of[name], old, value)
        self._notify_field_updates([update])

    _notify_field_updates = _notified


def writes(obj):
    def run():
        for i in range(WRITES):
            obj.x = i
    return run


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    Point = object_class("Point", [("x", n.Int())],
                         namespace={"_notify_field_updates": _notified})
    point = Point(x=0)
    point.x = 5
    assert point.field_dict() == {"x": 5}
    try:
        point.x = "5"
    except TypeError:
        pass
    else:
        raise AssertionError("a str was stored in an Int field")

    others = peers()
    contenders = {
        "SymObject": writes(point),
        "plain class": writes(Plain(0)),
        "slots dataclass": writes(Slotted(0)),
        **{name: writes(obj) for name, obj in others.items() if obj is not None},
        "Python __setattr__": writes(PythonSetattr(0)),
    }
    times = race(contenders, WRITES)
    report = benchkit.Report("int-field writes, per write")
    names = ["plain class", "slots dataclass", *others, "Python __setattr__"]
    report.row("SymObject, 100,000 writes", times["SymObject"], pick(times, names))

    # An object below the root: its updates' key paths are built per write.
    nested = Point(x=0)
    n.SymObject._topo_path.__set__(nested, KeyPath("parent"))
    below = race({
        "SymObject": writes(nested),
        "Python __setattr__": writes(PythonSetattr(0, KeyPath("parent"))),
    }, WRITES)
    report.row("SymObject below the root", below["SymObject"],
               {"Python __setattr__": below["Python __setattr__"]})


if __name__ == "__main__":
    main()
