"""The object seam functions the package calls outside construction and
attribute writes: live fields, the shallow clone, the container-field
probes, and what each does with something that is not a symbolic object."""

import pytest

import vesk_core._native as native
from helpers import Dict, List
from object_helpers import KeyPath, made, made_record, node_record_class, object_class


@pytest.fixture(scope="module")
def Flat():
    return object_class("Flat", [("x", native.Any()), ("d", native.Any())], topo=False)


@pytest.fixture(scope="module")
def Tree():
    return object_class("Tree", [("x", native.Any()), ("d", native.Any())])


NOT_OBJECTS = [None, 3, object(), {"x": 1}, Dict]


@pytest.mark.parametrize("other", NOT_OBJECTS)
def test_seams_decline_what_is_not_an_object(other):
    other = other() if other is Dict else other
    assert native._native_object_inline_fields(other) is None
    assert native._native_object_clone_inline_shallow(other) is None
    assert native._native_object_clone_construct(other, False, False, {}, None, False, None) is False
    with pytest.raises(TypeError, match="is not an instance of 'SymObject'"):
        native._probe_object_is_inline(other)


def test_live_fields_and_the_inline_probe(Flat):
    blank = Flat.__new__(Flat)
    assert native._native_object_inline_fields(blank) is None
    assert native._probe_object_is_inline(blank) is False
    fields = {"x": 1}
    obj = made(Flat, **fields)
    assert native._native_object_inline_fields(obj) is obj.field_dict()
    assert native._probe_object_is_inline(obj) is True


@pytest.mark.parametrize("args, name", [
    ((1, False, {}, None, False, None), "allow_partial"),
    ((False, None, {}, None, False, None), "sealed"),
    ((False, False, [], None, False, None), "kwargs"),
    ((False, False, {}, None, "yes", None), "deep"),
])
def test_clone_construct_argument_kinds(Flat, args, name):
    with pytest.raises(TypeError, match=name):
        native._native_object_clone_construct(made(Flat), *args)


def test_shallow_clone_of_a_flat_object(Flat, Tree):
    inner = made(Tree, x=1)
    record = made_record(node_record_class("R", ["a"]), a=1)
    container = Dict(k=[1, 2])
    source = made(Flat, path=KeyPath("at"), x=inner, d=container)
    source.field_dict().update(r=record, s="text", raw=[1])
    source._sealed, source._allow_partial, source._accessor_writable = True, True, False
    source._topo_parent = object()
    clone = native._native_object_clone_inline_shallow(source)
    assert type(clone) is Flat and clone is not source
    fields = clone.field_dict()
    assert fields is not source.field_dict() and list(fields) == list(source.field_dict())
    assert fields["x"] is inner and fields["r"] is record                 # objects shared
    assert fields["raw"] is source.field_dict()["raw"]                    # foreign: shared
    assert fields["d"] is not container and fields["d"] == container      # container cloned
    assert source.field_dict()["d"] is container
    assert clone._topo_parent is None and clone._topo_path == KeyPath() and clone._sym_origin is None
    assert (clone._sealed, clone._allow_partial, clone._accessor_writable) == (True, True, False)


def test_shallow_clone_declines_a_tree_with_children(Tree):
    assert native._native_object_clone_inline_shallow(made(Tree, x=1, d=Dict())) is None
    assert native._native_object_clone_inline_shallow(made(Tree, x=1, d=List())) is None
    clone = native._native_object_clone_inline_shallow(made(Tree, x=1, d=[1]))
    assert clone.field_dict() == {"x": 1, "d": [1]}
    assert native._native_object_clone_inline_shallow(Tree.__new__(Tree)) is None


def test_shallow_clone_allocator_must_make_an_object(Flat):
    class Odd(Flat):
        def __new__(cls, *args):
            return {} if args == (cls,) else super().__new__(cls)

    odd = made(Odd, x=1)
    Odd.__new__ = staticmethod(lambda cls: {})
    with pytest.raises(TypeError, match="is not an instance of 'SymObject'"):
        native._native_object_clone_inline_shallow(odd)


@pytest.mark.parametrize("topo", [True, False])
def test_container_field_probes(topo):
    cls = object_class("C", [
        ("by_class", native.List(native.Int())),
        ("raw", native.Dict(symbolic=False) if _dict_takes_symbolic() else native.List(
            native.Int(), symbolic=False)),
        ("wrapped", native.List(native.Str(), symbolic=True)),
        ("scalar", native.Int()),
        ("transformed", native.List(native.Int(), transform=list)),
        ("tuple", native.Tuple([native.Int()])),
    ], topo=topo)
    by_class = ["by_class"] if topo else []
    assert native._container_wrap_fields(cls) == by_class + ["wrapped"] + (["tuple"] if topo else [])
    assert native._container_candidate_fields(cls) == (
        ["raw"] if topo else ["by_class", "raw", "tuple"])


def _dict_takes_symbolic():
    try:
        native.Dict(symbolic=False)
    except TypeError:
        return False
    return True


def test_container_field_probes_read_the_class_now():
    cls = object_class("C", [("items", native.List(native.Int()))])
    assert native._container_wrap_fields(cls) == ["items"]
    cls._sym_init_fields = None
    assert native._container_wrap_fields(cls) == []
    assert "__native_ctor_meta__" not in vars(cls)     # nothing cached by the probe
    cls.__sym_options__ = None
    with pytest.raises(AttributeError):
        native._container_candidate_fields(cls)


@pytest.fixture(scope="module")
def Typed():
    return object_class("Typed", [("n", native.Int()), ("items", native.Any())])


def test_unchecked_write_skips_the_gates_and_the_notification(Typed):
    obj = made(Typed, path=KeyPath("root"), n=1, items=None)
    obj._sealed, obj._accessor_writable = True, False
    update = native._native_object_set_item_no_check(obj, "n", 2)
    assert obj.field_dict()["n"] == 2 and "notified" not in obj.__dict__
    assert (update.path, update.target, update.old_value, update.new_value) == (
        KeyPath("n", KeyPath("root")), obj, 1, 2)
    assert native._native_object_set_item_no_check(obj, "n", 2) is None    # unchanged: no update
    with pytest.raises(TypeError):
        native._native_object_set_item_no_check(obj, "n", "two")
    assert obj.field_dict()["n"] == 2


def test_unchecked_write_adopts_a_child(Typed):
    obj = made(Typed, path=KeyPath("root"), n=1, items=None)
    child = Dict(a=1)
    native._native_object_set_item_no_check(obj, "items", child)
    assert obj.field_dict()["items"] is child
    assert child.topo_parent is obj and child.topo_path == KeyPath("items", KeyPath("root"))


def test_rebind_notifies_once_with_every_update(Typed):
    from vesk.symbolic.rendering import rebind

    obj = made(Typed, n=1, items=None)
    updates = rebind(obj, {"n": 5, "items": 7})
    assert [u.new_value for u in updates] == [5, 7]
    assert obj.__dict__["notified"] == updates


def test_unchecked_write_of_what_is_not_a_field(Typed):
    class Foreign:
        def __init__(self):
            self._sym_attributes = self
            self.writes = []

        def _set_item_without_permission_check(self, key, value):
            self.writes.append((key, value))
            return "update"

    foreign = Foreign()
    assert native._native_object_set_item_no_check(foreign, "k", 1) == "update"
    assert foreign.writes == [("k", 1)]
    with pytest.raises(AttributeError, match="_sym_attributes"):
        native._native_object_set_item_no_check(Typed.__new__(Typed), "n", 1)
    obj = made(Typed, n=1, items=None)
    with pytest.raises(KeyError, match="'other' is not allowed"):   # the view refuses it
        native._native_object_set_item_no_check(obj, "other", 3)
    assert obj.field_dict() == {"n": 1, "items": None}


def clone_class(non_symbolic=(), slots=False):
    log = []
    cls = object_class(
        "Cloned", [("n", native.Int()), ("items", native.List(native.Int()))],
        non_symbolic=non_symbolic, slots=slots,
        namespace={"on_sym_validate": lambda self: log.append("validate"),
                   "on_sym_post_init": lambda self: log.append("post_init")})
    return cls, log


# Seeding non-symbolic attributes writes them through the kernel's generic
# attribute functions.
seeds_attributes = pytest.mark.skipif(not hasattr(native, "_kernel_generic_setattr"),
                                      reason="no generic attribute functions in this build")


@pytest.mark.parametrize("deep, non_symbolic", [
    (False, False), pytest.param(False, True, marks=seeds_attributes),
    pytest.param(True, True, marks=seeds_attributes)])
def test_clone_construction_of_an_object(deep, non_symbolic):
    cls, log = clone_class([("tag", None)] if non_symbolic else [])
    source = cls(n=1, items=[1, 2])
    source.tag = ["label"]
    assert log == ["validate", "post_init"]
    new = cls.__new__(cls)
    kwargs = {"n": 1, "items": [1, 2]}
    assert native._native_object_clone_construct(new, False, True, kwargs, source, deep, {}) is True
    assert log == ["validate", "post_init", "post_init"]      # no validation of a clone
    assert new.field_dict()["n"] == 1 and new.field_dict()["items"] == [1, 2]
    items = new.field_dict()["items"]
    assert isinstance(items, native.SymList) and items.topo_parent is new
    assert new._sealed is True and new._topo_path == KeyPath()
    if non_symbolic:
        assert new.tag == ["label"] and (new.tag is not source.tag) is deep
    else:
        assert "tag" not in vars(new)
    assert source.field_dict()["items"].topo_parent is source


def test_clone_construction_failures_leave_the_source_alone():
    cls, _ = clone_class()
    source = cls(n=1, items=[1])
    new = cls.__new__(cls)
    with pytest.raises(Exception):
        native._native_object_clone_construct(new, False, False, {"n": 1, "bogus": 2}, source,
                                              False, None)
    assert source.field_dict()["n"] == 1 and source._sealed is False
    assert native._native_object_clone_construct(object(), False, False, {}, source, False,
                                                 None) is False


def test_shallow_clones_of_an_object_another_thread_writes(Flat, Tree):
    import threading

    containers = [Dict(k=i) for i in range(4)] + [List([i]) for i in range(4)]
    objects = [made(Tree, x=i) for i in range(4)]
    source = made(Flat, x=0, d=containers[0])
    stop = threading.Event()
    clones = []

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
    for t in threads:
        t.start()
    w = threading.Thread(target=writer)
    w.start()
    for t in threads:
        t.join()
    stop.set()
    w.join()
    mutable = {id(c) for c in containers}
    for clone in clones:
        assert type(clone) is Flat and clone.field_dict() is not source.field_dict()
        for key, value in clone.field_dict().items():
            assert id(value) not in mutable, key            # containers are never shared
            assert not isinstance(value, native.SymObject) or value in objects


@pytest.mark.parametrize("deep", [False, True])
def test_clone_construction_of_a_record(deep):
    cls, log = clone_class([("tag", None)], slots=True)
    source = cls(n=1, items=[1, 2])
    source.tag = ["label"]
    new = cls.__new__(cls)
    kwargs = {"n": 1, "items": List([1, 2])}
    assert native._native_object_clone_construct(new, False, True, kwargs, source, deep, {}) is True
    assert log == ["post_init", "post_init"]             # records run no validation hook
    assert native._slot_record_inline_fields(new, ["n", "items"]) == {"n": 1, "items": [1, 2]}
    items = native._slot_record_inline_fields(new, ["items"])["items"]
    assert items is kwargs["items"] and items.topo_parent is new
    assert items.topo_path == KeyPath("items")
    assert native._probe_node_get(new, 2) is True and native._probe_node_get(new, 1) == KeyPath()
    assert new.tag == ["label"] and (new.tag is not source.tag) is deep


def test_clone_construction_declines_a_record_without_node_state():
    probe = node_record_class("P", ["a"], reserved=0)
    assert native._native_object_clone_construct(probe(), False, False, {"a": 1}, None, False,
                                                 None) is False
