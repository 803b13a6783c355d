"""What changes a container's binding, flags or content as a whole meets a
write of another thread paused in its validator or transform (or pauses
there itself while the write runs): a construction run again on a live
dict, the two schema-ful builders, a spec's pass over a dict, a flag that
`custom_apply` sets, sealing and recording an origin. Each pair ends as one
of its two orders, or one of them fails at once with the borrow error,
having changed nothing."""

import sys
import threading
import time

import pytest

import vesk_core._native as native
from helpers import Dict, List
from paused_pairs import REFUSED, Pausing, race
from races import started
from write_races import origin_cell, origin_nodes, set_origin
from vesk.symbolic.object_classes import object_class
from vesk.symbolic.objects import WritePermissionError

VALUE = 500
OUT_OF_RANGE = (ValueError, f"Value {VALUE} is out of range (min=None, max=5). (path=a)")


def dict_spec(limit, validator=None, transform=None):
    value = native.Int(max_value=limit)
    if transform:
        value = value.set_transform(transform)
    field = native.Field(native.ConstStrKey("a"), value)
    if validator:
        field.set_validator(validator)
    return native.Dict(native.Schema([field]))


# Ways to rebind a live dict to `new` with the member a=1.
REBINDS = {
    "init": lambda d, new: d.__init__(a=1, value_spec=new),
    "fused": lambda d, new: d.try_fused_schemaful_construct(new, {"a": 1}),
    "single pass": lambda d, new: d.try_single_pass_schemaful_construct(new, {"a": 1}, None),
    # The raw setter rebinds alone (the member a=1 is there already).
    "setter": lambda d, new: setattr(d, "_value_spec", new),
}


@pytest.mark.parametrize("road", ["item", "seam"])
@pytest.mark.parametrize("rebind", sorted(REBINDS))
def test_a_rebuild_meeting_a_write_is_one_order_or_refused(rebind, road):
    pause = Pausing(VALUE)
    old, new = dict_spec(1000, pause), dict_spec(5)
    d = Dict(a=1, value_spec=old)

    def write():
        if road == "seam":
            d._set_item_without_permission_check("a", VALUE)
        else:
            d["a"] = VALUE

    outcomes = race(write, lambda: REBINDS[rebind](d, new), pause)
    a, b = outcomes["a"], outcomes["b"]
    # Never the value the new spec refuses under it.
    assert not (d._value_spec is new and d["a"] == VALUE), outcomes
    # The rebuild ran while the write was paused: the write meets what it
    # did, or the rebuild was refused having changed nothing.
    if b == "ok":
        assert d._value_spec is new and d["a"] == 1 and a in (REFUSED, OUT_OF_RANGE), outcomes
    else:
        assert b == REFUSED and a == "ok" and d._value_spec is old and d["a"] == VALUE


# The other thread's write on key "b" of {"a": 101, "b": 102}, met while a
# pass `x - 100` pauses on b's value: the dict each order gives (pass then
# write, write then pass).
DICT_WRITES = {
    "replace": (lambda d: d.__setitem__("b", 50), {"a": 1, "b": 50}, {"a": 1, "b": -50}),
    "delete": (lambda d: d.__delitem__("b"), {"a": 1}, {"a": 1}),
    # Under the open schema only, which takes any key.
    "new key": (lambda d: d.__setitem__("c", 7), {"a": 1, "b": 2, "c": 7},
                {"a": 1, "b": 2, "c": -93}),
}


class PlainDict(native.SymDict):
    def _notify_field_updates(self, updates):
        pass


@pytest.mark.parametrize("cls", [Dict, PlainDict])
@pytest.mark.parametrize("write", sorted(DICT_WRITES))
@pytest.mark.parametrize("schema", ["constant keys", "open"])
def test_a_write_meeting_a_dict_pass_is_one_order_or_refused(cls, write, schema):
    if write == "new key" and schema != "open":
        pytest.skip("a key the schema refuses")
    minus = Pausing(102, -100)
    value = native.Int().set_transform(minus)
    fields = ([("a", value), ("b", value)] if schema == "constant keys"
              else [(native.StrKey(), value)])
    d = cls(a=101, b=102)
    op, pass_first, write_first = DICT_WRITES[write]
    outcomes = race(lambda: native.Dict(fields).apply(d, allow_partial=True), lambda: op(d), minus)
    assert outcomes["a"] == "ok"
    if outcomes["b"] == "ok":
        assert dict(d) in (pass_first, write_first), dict(d)
    else:
        assert outcomes["b"] == REFUSED and dict(d) == {"a": 1, "b": 2}


class Part:
    """An object whose `sym_partial` says whether it is fully bound."""

    __vesk_maybe_partial__ = True

    def __init__(self, partial):
        self.sym_partial = partial


@pytest.mark.parametrize("kind", ["dict", "list"])
@pytest.mark.parametrize("by", ["apply", "setter"])
def test_a_tightening_apply_meeting_a_partial_write_is_one_order_or_refused(kind, by):
    pause = Pausing(0)
    part = Part(True)

    def validator(v):
        if v is part:
            pause(0)

    if kind == "dict":
        field = native.Field(native.ConstStrKey("a"), native.Object(Part))
        field.set_validator(validator)
        spec = native.Dict(native.Schema([field]))
        c = Dict(a=Part(False), value_spec=spec, allow_partial=True)
        write = lambda: c.__setitem__("a", part)  # noqa: E731
    else:
        spec = native.List(native.Object(Part), auto_wrap=False)
        spec.element.set_validator(validator)
        c = List([Part(False)], value_spec=spec, allow_partial=True)
        write = lambda: c.append(part)  # noqa: E731
    tighten = (lambda: spec.apply(c, allow_partial=False)) if by == "apply" else (
        lambda: setattr(c, "_allow_partial", False))
    outcomes = race(write, tighten, pause)
    # Never a member the container's flag refuses; a refused apply leaves
    # the flag as it was.
    stored = part in (c.values() if kind == "dict" else list(c))
    assert not (stored and not c._allow_partial), outcomes
    if outcomes["b"] == REFUSED:
        assert c._allow_partial and outcomes["a"] == "ok"
    else:
        # The apply checks the member again; the setter checks nothing, and
        # the write that read the flag before it is refused.
        assert outcomes["b"] == "ok" and not c._allow_partial
        assert outcomes["a"][0] is ValueError if by == "apply" else outcomes["a"] == REFUSED


def node_class(kind, name, field):
    """An object (or record) class whose one field `a` is `field`."""
    cls = object_class(name, [("a", field.value if kind == "record" else field)],
                       slots=kind == "record")
    if kind == "record":
        # The record's view checks its writes by the class's own field.
        dict(cls._sym_init_fields)["a"].set_validator(field.validator)
    return cls


# What closes a node to writes: sealing it, or its raw flag setters.
CLOSINGS = {
    "sym_seal": lambda c: c.sym_seal(),
    "_sealed": lambda c: setattr(c, "_sealed", True),
    "_accessor_writable": lambda c: setattr(c, "_accessor_writable", False),
}


@pytest.mark.parametrize("kind", ["dict", "list", "object", "record"])
@pytest.mark.parametrize("value", ["int", "node"])
@pytest.mark.parametrize("by", sorted(CLOSINGS))
def test_a_seal_meeting_a_write_is_one_order_or_refused(kind, value, by):
    if kind == "record" and by != "sym_seal":
        pytest.skip("a record's own flags are its package's properties")
    pause = Pausing(VALUE)
    new = VALUE if value == "int" else Dict(x=VALUE)

    def validator(v):
        pause(v if isinstance(v, int) else v["x"])

    if kind in ("object", "record"):
        field = native.Field(native.ConstStrKey("a"), native.Any())
        field.set_validator(validator)
        c = node_class(kind, "Sealing", field)(a=1)
        if kind == "object":
            write = lambda: setattr(c, "a", new)  # noqa: E731
        else:
            write = lambda: c._sym_attributes.__setitem__("a", new)  # noqa: E731
    elif kind == "dict":
        field = native.Field(native.ConstStrKey("a"), native.Any())
        field.set_validator(validator)
        c = Dict(a=1, value_spec=native.Dict(native.Schema([field])))
        write = lambda: c.__setitem__("a", new)  # noqa: E731
    else:
        spec = native.List(native.Any())
        spec.element.set_validator(validator)
        c = List([1], value_spec=spec)
        write = lambda: c.__setitem__(0, new)  # noqa: E731
    outcomes = race(write, lambda: CLOSINGS[by](c), pause)
    closed = c._sealed or not getattr(c, "_accessor_writable", True)
    held = {"dict": lambda: c["a"], "list": lambda: c[0], "object": lambda: c.a,
            "record": lambda: c._sym_attributes["a"]}[kind]()
    # The seal returned while the write was paused: the write stores
    # nothing after it. Else the seal was refused, having changed nothing.
    if outcomes["b"] == "ok":
        assert closed and held == 1 and outcomes["a"] == REFUSED, outcomes
    else:
        assert outcomes["b"] == REFUSED and not closed and outcomes["a"] == "ok"
        assert held is new or held == new


class PausingOrigin:
    """An origin whose `source` read pauses the first reader."""

    def __init__(self, pause):
        self.pause = pause

    @property
    def source(self):
        self.pause(0)
        return None


@pytest.mark.parametrize("kind", ["dict", "list", "object", "record"])
def test_two_origins_from_different_sources_are_one_order_or_refused(kind):
    c = origin_nodes()[kind]()
    pause = Pausing(0)
    origin_cell(c, PausingOrigin(pause))
    first, second = object(), object()
    outcomes = race(lambda: set_origin(c, first, "a"), lambda: set_origin(c, second, "b"), pause)
    # The first decided on the origin it read, so the second met its claim;
    # never both, the later silently replacing the other.
    assert outcomes == {"a": "ok", "b": REFUSED} and origin_cell(c).source is first, outcomes


@pytest.mark.parametrize("pausing", ["write", "init"])
@pytest.mark.parametrize("value", ["int", "node"])
def test_an_object_constructed_again_meeting_a_write_is_one_order_or_refused(pausing, value):
    """A write of o.a paused in its validator while `o.__init__` runs again
    on the live object, or the construction paused in its own validator
    while the write runs: the one that meets the other is refused at once,
    having changed nothing, and the object keeps its fields throughout."""
    at = VALUE if pausing == "write" else 7
    pause = Pausing(at)

    def validator(v):
        pause(v if isinstance(v, int) else v["x"])

    field = native.Field(native.ConstStrKey("a"), native.Any())
    field.set_validator(validator)
    o = object_class("Rebuilt", [("a", field)])(a=1)
    new = VALUE if value == "int" else Dict(x=VALUE)
    write, init = lambda: setattr(o, "a", new), lambda: o.__init__(a=7)  # noqa: E731
    outcomes = race(*((write, init) if pausing == "write" else (init, write)), pause)
    # The construction stands, and the write that met it changed nothing.
    wrote, built = ("a", "b") if pausing == "write" else ("b", "a")
    assert outcomes[built] == "ok" and outcomes[wrote] == REFUSED, outcomes
    assert o.field_dict() == {"a": 7}, o.field_dict()
    if value == "node":
        assert new._topo_parent is None, "a refused write's child names the object"
    o.a = 8                                          # writable again
    assert o.a == 8


FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()


@pytest.mark.skipif(not FREE_THREADED, reason="native speed needs the free-threaded interpreter")
@pytest.mark.parametrize("kind", ["dict", "list", "object"])
@pytest.mark.parametrize("value", ["int", "node"])
def test_nothing_is_stored_while_sealed_at_native_speed(kind, value):
    """Writers store into a container without pause while another thread
    seals it, reads it twice, and unseals it, cycle after cycle: what it
    holds once `sym_seal()` returned stays until it is unsealed, and every
    write ends stored, refused by the seal or refused at once."""
    rounds, writers, cycles = 20, 4, 100
    deadline = time.monotonic() + 60
    for r in range(rounds):
        if time.monotonic() > deadline:
            break
        if kind == "object":
            c = object_class("SealedRace", [("a", native.Any()), ("b", native.Any())])(a=0, b=0)
            keys = ["a", "b"]
        else:
            c = Dict(a=0, b=0) if kind == "dict" else List([0, 0])
            keys = ["a", "b"] if kind == "dict" else [0, 1]
        at, put = ((getattr, setattr) if kind == "object" else
                   (lambda c, k: c[k], lambda c, k, v: c.__setitem__(k, v)))
        stop = threading.Event()
        barrier = threading.Barrier(writers + 1)
        changed, bad = [], []

        def write(tid):
            barrier.wait()
            i = 0
            while not stop.is_set():
                i += 1
                try:
                    put(c, keys[tid % 2], i if value == "int" else Dict(x=i))
                except WritePermissionError:
                    pass
                except RuntimeError as e:
                    if "borrow" not in str(e):
                        bad.append(e)

        def settle(is_seal):
            while True:
                try:
                    return c.sym_seal(is_seal)
                except RuntimeError:
                    continue

        def seal():
            barrier.wait()
            try:
                for k in range(cycles):
                    settle(True)
                    held = (at(c, keys[0]), at(c, keys[1]))
                    for _ in range(20):
                        if (at(c, keys[0]), at(c, keys[1])) != held:
                            changed.append((r, k))
                            break
                    settle(False)
            finally:
                stop.set()

        threads = [threading.Thread(target=write, args=(t,)) for t in range(writers)]
        with started(threads + [threading.Thread(target=seal)], barrier, stop):
            pass
        assert not changed and not bad, (changed[:3], bad[:3])
