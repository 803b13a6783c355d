"""The object seam functions the package calls outside construction and
attribute writes: live fields, the shallow clone, clone construction, the
unchecked rebinding write, the container-field probes, and what each does
with something that is not a symbolic object."""

import threading

import pytest

import vesk_core._native as native
from helpers import Dict, List
from object_helpers import KeyPath, made, made_record, node_record_class, object_class
from races import started
from vesk.symbolic.rendering import rebind


@pytest.fixture(scope="module")
def Flat():
    return object_class("Flat", [("x", native.Any()), ("d", native.Any())], topo=False)


@pytest.fixture(scope="module")
def Typed():
    return object_class("Typed", [("n", native.Int()), ("items", native.Any())])


@pytest.mark.parametrize("other", [None, 3, {"x": 1}, Dict])
def test_seams_decline_what_is_not_an_object(other):
    other = other() if other is Dict else other
    assert native._native_object_inline_fields(other) is None
    assert native._native_object_clone_inline_shallow(other) is None
    assert native._native_object_clone_construct(other, False, False, {}, None, False, None) is False
    with pytest.raises(TypeError, match="argument 'obj': expected SymObject"):
        native._probe_object_is_inline(other)


def test_live_fields_and_the_inline_probe(Flat):
    blank = Flat.__new__(Flat)
    assert native._native_object_inline_fields(blank) is None is native._native_object_clone_inline_shallow(blank)
    assert native._probe_object_is_inline(blank) is False
    obj = made(Flat, x=1)
    assert native._native_object_inline_fields(obj) is obj.field_dict()
    assert native._probe_object_is_inline(obj) is True


@pytest.mark.parametrize("args, name", [
    ((1, False, {}, None, False, None), "allow_partial"), ((False, None, {}, None, False, None), "sealed"),
    ((False, False, [], None, False, None), "kwargs"), ((False, False, {}, None, "yes", None), "deep"),
])
def test_clone_construct_argument_kinds(Flat, args, name):
    with pytest.raises(TypeError, match=name):
        native._native_object_clone_construct(made(Flat), *args)


def test_shallow_clone(Flat, Typed):
    inner, record, container = made(Typed, n=1), made_record(node_record_class("R", ["a"]), a=1), Dict(k=[1])
    source = made(Flat, path=KeyPath("at"), x=inner, d=container)
    source.field_dict().update(r=record, raw=[1])
    source._sealed, source._allow_partial, source._accessor_writable = True, True, False
    source._topo_parent = object()
    clone = native._native_object_clone_inline_shallow(source)
    fields = clone.field_dict()
    assert type(clone) is Flat and fields is not source.field_dict() and list(fields) == list(source.field_dict())
    assert fields["x"] is inner and fields["r"] is record and fields["raw"] is source.field_dict()["raw"]
    assert fields["d"] is not container and fields["d"] == container
    assert clone._topo_parent is None and clone._topo_path == KeyPath() and clone._sym_origin is None
    assert (clone._sealed, clone._allow_partial, clone._accessor_writable) == (True, True, False)
    # A class that keeps a tree shares no symbolic child with a clone: declined.
    assert native._native_object_clone_inline_shallow(made(Typed, n=1, items=List())) is None
    assert native._native_object_clone_inline_shallow(made(Typed, n=1, items=[1])).field_dict() == {
        "n": 1, "items": [1]}


def test_shallow_clones_of_an_object_another_thread_writes(Flat, Typed):
    containers = [Dict(k=i) for i in range(4)] + [List([i]) for i in range(4)]
    objects = [made(Typed, n=i) for i in range(4)]
    source = made(Flat, x=0, d=containers[0])
    stop, clones = threading.Event(), []

    def writer():
        n = 0
        while not stop.is_set():
            n += 1
            fields = source.field_dict()
            fields["d"] = containers[n % 8]
            fields["x"] = objects[n % 4] if n % 3 else n
            fields.pop("extra", None) if n % 2 else fields.update(extra=containers[(n + 1) % 8])

    def cloner():
        for _ in range(200):
            clones.append(native._native_object_clone_inline_shallow(source))

    threads = [threading.Thread(target=cloner) for _ in range(3)]
    w = threading.Thread(target=writer)
    with started(threads + [w], stop):
        for t in threads:
            t.join()
        stop.set()
    mutable = {id(c) for c in containers}
    for clone in clones:
        assert type(clone) is Flat and clone.field_dict() is not source.field_dict()
        for key, value in clone.field_dict().items():
            assert id(value) not in mutable, key            # containers are never shared
            assert not isinstance(value, native.SymObject) or value in objects


@pytest.mark.parametrize("topo", [True, False])
def test_container_field_probes(topo):
    cls = object_class("C", [
        ("by_class", native.List(native.Int())), ("raw", native.List(native.Int(), symbolic=False)),
        ("wrapped", native.List(native.Str(), symbolic=True)), ("scalar", native.Int()),
        ("transformed", native.List(native.Int(), transform=list)), ("tuple", native.Tuple([native.Int()])),
    ], topo=topo)
    assert native._container_wrap_fields(cls) == (
        ["by_class", "wrapped", "tuple"] if topo else ["wrapped"])
    assert native._container_candidate_fields(cls) == (["raw"] if topo else ["by_class", "raw", "tuple"])
    cls._sym_init_fields = None             # read afresh, nothing cached by the probe
    assert native._container_wrap_fields(cls) == [] and "__native_ctor_meta__" not in vars(cls)


def test_unchecked_write(Typed):
    obj = made(Typed, path=KeyPath("root"), n=1, items=None)
    obj._sealed, obj._accessor_writable = True, False
    update = native._native_object_set_item_no_check(obj, "n", 2)
    assert (update.path, update.target, update.old_value, update.new_value) == (
        KeyPath("n", KeyPath("root")), obj, 1, 2)
    assert native._native_object_set_item_no_check(obj, "n", 2) is None    # unchanged: no update
    with pytest.raises(TypeError):
        native._native_object_set_item_no_check(obj, "n", "two")
    child = Dict(a=1)
    native._native_object_set_item_no_check(obj, "items", child)
    assert obj.field_dict() == {"n": 2, "items": child} and "notified" not in vars(obj)
    assert child.topo_parent is obj and child.topo_path == KeyPath("items", KeyPath("root"))
    updates = rebind(obj, {"n": 5, "items": 7})
    assert [u.new_value for u in updates] == [5, 7] and obj.__dict__["notified"] == updates


def test_unchecked_write_of_what_is_not_a_field(Typed):
    class Foreign:
        def __init__(self):
            self._sym_attributes, self.writes = self, []

        def _set_item_without_permission_check(self, key, value):
            self.writes.append((key, value))
            return "update"

    foreign = Foreign()
    assert native._native_object_set_item_no_check(foreign, "k", 1) == "update" and foreign.writes == [("k", 1)]
    with pytest.raises(AttributeError, match="_sym_attributes"):
        native._native_object_set_item_no_check(Typed.__new__(Typed), "n", 1)
    obj = made(Typed, n=1, items=None)
    with pytest.raises(KeyError, match="'other' is not allowed"):   # the transient view refuses it
        native._native_object_set_item_no_check(obj, "other", 3)
    assert obj.field_dict() == {"n": 1, "items": None}


def clone_class(slots):
    log = []
    cls = object_class(
        "Cloned", [("n", native.Int()), ("items", native.List(native.Int()))],
        non_symbolic=[("tag", None)], slots=slots,
        namespace={"on_sym_validate": lambda self: log.append("validate"),
                   "on_sym_post_init": lambda self: log.append("post_init")})
    return cls, log


def fields_of(obj):
    if isinstance(obj, native.SymObject):
        return obj.field_dict()
    return native._slot_record_inline_fields(obj, ["n", "items"])


@pytest.mark.parametrize("slots", [False, True])
@pytest.mark.parametrize("deep", [False, True])
def test_clone_construction(slots, deep):
    cls, log = clone_class(slots)
    source = cls(n=1, items=[1, 2])
    source.tag = ["label"]
    del log[:]
    new = cls.__new__(cls)
    kwargs = {"n": 1, "items": List([1, 2])}
    assert native._native_object_clone_construct(new, False, True, kwargs, source, deep, {}) is True
    assert log == ["post_init"]                              # no validation of a clone
    assert fields_of(new) == {"n": 1, "items": [1, 2]}
    items = fields_of(new)["items"]
    assert items.topo_parent is new and items.topo_path == KeyPath("items")
    assert native._probe_node_get(new, 2) is True and native._probe_node_get(new, 1) == KeyPath()
    assert new.tag == ["label"] and (new.tag is not source.tag) is deep
    assert fields_of(source)["items"].topo_parent is source
    if not slots:                                            # a bad keyword is reported
        with pytest.raises(TypeError, match="zz"):
            native._native_object_clone_construct(cls.__new__(cls), False, False, {"zz": 1},
                                                  source, False, None)


def test_clone_construction_declines_a_record_without_node_state():
    probe = node_record_class("P", ["a"], reserved=0)
    assert native._native_object_clone_construct(probe(), False, False, {"a": 1}, None, False, None) is False
