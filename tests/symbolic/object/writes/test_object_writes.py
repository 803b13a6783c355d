"""Attribute writes on symbolic objects: which writes are symbolic, the two
permission gates and their flag scopes, located refusals, the missing value,
raw containers wrapped and adopted at the field's path, the one-element
notification, and what a refused or failing write leaves behind."""

import pytest

import vesk_core._native as native
from fresh import run_fresh
from helpers import MISSING, Dict, List, WritePermissionError, scope
from object_helpers import KeyPath, made, object_class

SEALED, WRITABLE, NOTIFY = 0, 1, 4


def field(name, value_spec, key=None, **options):
    return native.Field(key or native.ConstStrKey(name), value_spec, **options)


def shaped_class(init=(), extra=(), **kwargs):
    """A class whose init fields are `init` and whose `__schema__` also holds
    the fields `extra` (made before its first write reads its metadata)."""
    cls = object_class("C", [], **kwargs)
    cls._sym_init_fields = [(f.key.text, f) for f in init]
    cls.__schema__ = native.Schema(list(init) + list(extra), allow_nonconst_keys=True)
    return cls


def point(path=None, **kwargs):
    cls = object_class("Point", [("x", native.Int(default=7)), ("y", native.List(native.Int())),
                                 ("d", native.Dict())], **kwargs)
    return made(cls, path=path, x=1, y=List([])), cls


@pytest.mark.parametrize("name, value, symbolic, stored", [
    ("x", 2, True, 2),                    # a public init field
    ("free", "s", False, "s"),            # no field at all
    ("_p", "s", False, "s"),              # a private init field: not validated
    ("late", 3, True, 3),                 # public, enable_init, found through get_field
    ("checked", 3, False, 3),             # enable_init off, validation on: applied first
    ("raw", "s", False, "s"),             # enable_init and validation off
])
def test_classification(name, value, symbolic, stored):
    cls = shaped_class(
        init=[field("x", native.Int()), field("_p", native.Int())],
        extra=[field("late", native.Int()), field("checked", native.Int(), enable_init=False, enable_validation=True),
               field("raw", native.Int(), enable_init=False, enable_validation=False)])
    obj = made(cls)
    setattr(obj, name, value)
    home = obj.field_dict() if symbolic else obj.__dict__
    assert home[name] == stored and type(home[name]) is type(stored)
    assert (name in obj.__dict__) is not symbolic
    assert len(obj.__dict__.get("notified", [])) == symbolic


def test_a_validated_plain_attribute_is_refused_and_deletion_is_plain():
    cls = shaped_class(init=[field("x", native.Int())],
                       extra=[field("checked", native.Int(), enable_init=False, enable_validation=True)])
    obj = made(cls, x=1)
    with pytest.raises(TypeError):
        obj.checked = "s"
    assert "checked" not in obj.__dict__
    with pytest.raises(AttributeError):       # a field's property, not its value
        del obj.x
    obj.free = 1
    del obj.free
    assert obj.field_dict() == {"x": 1} and "free" not in obj.__dict__


@pytest.mark.parametrize("own_sealed, own_writable, scopes, refusal", [
    (False, True, {}, None),
    (True, True, {}, "sealed"),
    (True, True, {SEALED: False}, None),
    (False, True, {SEALED: True}, "sealed"),
    (True, True, {SEALED: None}, "sealed"),
    (True, False, {}, "sealed"),             # the sealed gate comes first
    (False, False, {}, "locked"),
    (False, False, {WRITABLE: True}, None),
    (False, True, {WRITABLE: False}, "locked"),
])
def test_gates_and_scopes(own_sealed, own_writable, scopes, refusal):
    obj, cls = point(path=KeyPath(["root", 0]))
    obj._sealed, obj._accessor_writable = own_sealed, own_writable
    for flag, value in scopes.items():
        native._flag_scope_set(flag, value)
    try:
        if refusal is None:
            obj.x = 5
            assert obj.field_dict()["x"] == 5
            return
        with pytest.raises(WritePermissionError) as e:
            obj.x = 5
    finally:
        for flag in scopes:
            native._flag_scope_del(flag)
    expected = ("Cannot set attribute 'x': object is sealed." if refusal == "sealed" else
                "Cannot set attribute of <class Point> while `Point` has `attr_write=False` "
                "or under `vk.as_sealed` context.")
    assert str(e.value) == expected + " (path=root[0])"
    assert obj.field_dict()["x"] == 1 and "notified" not in obj.__dict__


def test_missing_value_under_constant_and_nonconstant_keys():
    obj, cls = point()
    obj.x = MISSING                            # the field's default
    assert obj.field_dict()["x"] == 7 and obj.notified[-1].new_value == 7
    del obj.field_dict()["x"]
    obj.x = MISSING                            # the absent entry is the missing value
    assert "x" not in obj.field_dict() and len(obj.notified) == 1
    open_field = field("k", native.Int(), key=native.StrKey())
    for present in (True, False):
        if present:
            obj.field_dict()["k"] = 3
        before = len(obj.notified)
        obj.store_symbolic_field(cls, "k", MISSING, open_field, True, cls.__schema__)
        assert "k" not in obj.field_dict()
        assert len(obj.notified) - before == present
    assert obj.notified[-1].old_value == 3 and obj.notified[-1].new_value is MISSING


def test_a_mutable_default_is_copied_for_each_object():
    cls = object_class("Defaults", [("y", native.List(native.Int(), default=[1]))])
    a, b = made(cls, y=[2]), made(cls, y=[3])
    a.y = b.y = MISSING
    default = cls.__schema__.get_field("y").default_value
    a.field_dict()["y"].append(5)
    assert b.field_dict()["y"] == default == [1]


@pytest.mark.parametrize("name, raw, kind", [("y", [1, 2], List), ("d", {"a": 1}, Dict)])
def test_a_raw_container_is_wrapped_and_adopted_at_the_fields_path(name, raw, kind):
    obj, _ = point(path=KeyPath("r"))
    old = obj.field_dict().get(name)
    setattr(obj, name, raw)
    child = obj.field_dict()[name]
    assert type(child) is kind and child == raw
    assert child._topo_parent is obj and child._topo_path == KeyPath([name], KeyPath("r"))
    if old is not None:                        # the replaced child is detached
        assert old._topo_parent is None and old._topo_path == KeyPath()
    update, = obj.notified
    assert (update.path, update.target, update.old_value, update.new_value) == (
        KeyPath([name], KeyPath("r")), obj, old if old is not None else MISSING, child)


def test_notification_rule():
    obj, cls = point()
    obj.x = 1                                  # the identical value: no update
    assert "notified" not in obj.__dict__
    with scope(NOTIFY, False):
        obj.x = 2
    assert obj.field_dict()["x"] == 2 and "notified" not in obj.__dict__
    cls._sym_validate_overridden = True
    with scope(NOTIFY, False):
        obj.x = 3
    update, = obj.notified
    assert update.field is cls.__schema__.get_field("x")


def test_failures_leave_the_field_as_it_was():
    obj, cls = point()
    with pytest.raises(TypeError):
        obj.y = ["a"]                          # field.apply refuses the element
    assert obj.field_dict()["y"] == [] and "notified" not in obj.__dict__

    def broken(self, updates):
        raise LookupError("listener")
    cls._notify_field_updates = broken
    with pytest.raises(LookupError):
        obj.x = 9
    assert obj.field_dict()["x"] == 9          # stored before the notification


def test_a_frozen_field_is_left_to_its_apply():
    cls = object_class("Frozen", [("x", native.Int(default=1, frozen=True))])
    obj = made(cls, x=1)
    with pytest.raises(ValueError, match="Frozen field is not assignable"):
        obj.x = 2
    assert obj.field_dict() == {"x": 1} and "notified" not in obj.__dict__


@pytest.mark.parametrize("answers_view", [False, True])
def test_a_blank_object_refuses_the_write(answers_view):
    ns = {"_sym_attributes": property(lambda self: {})} if answers_view else {}
    cls = object_class("Blank", [("x", native.Int())], namespace=ns)
    obj = cls.__new__(cls)
    with pytest.raises(AttributeError, match="'Blank' object has no attribute '_sym_attributes'"):
        obj.x = 1
    assert obj.field_dict() is None


def test_writes_without_the_bridges_panic():
    run_fresh("""
        import vesk.typing
        import vesk_core._native as native
        from vesk.symbolic.object_classes import object_class
        vesk.typing.install()
        cls = object_class("C", [("x", native.Int())])
        obj = cls.__new__(cls)
        try:
            obj.x = 1
        except RuntimeError as e:
            assert str(e) == "panic in native slot", e
        else:
            raise AssertionError("no panic")
    """)


def test_writes_leak_nothing():
    from leaks import assert_no_leak
    obj, cls = point(path=KeyPath("r"))
    open_field = field("k", native.Int(), key=native.StrKey())

    def writes():
        obj.x, obj.y, obj.d, obj.free = 3, [1], {"a": 1}, 2
        obj.x = MISSING
        obj.store_symbolic_field(cls, "k", 4, open_field, True, None)
        obj.store_symbolic_field(cls, "k", MISSING, open_field, True, None)
        for bad in ("s", ["s"]):
            with pytest.raises(TypeError):
                obj.y = bad
        obj._sealed = True
        with pytest.raises(WritePermissionError):
            obj.x = 1
        obj._sealed = False
        del obj.__dict__["notified"]
    assert_no_leak(writes)
