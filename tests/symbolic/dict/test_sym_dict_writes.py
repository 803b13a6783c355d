"""SymDict writes and reads: gate order and flag scopes, located messages,
the identity no-op, the missing value as delete or default, the update's
target and notification, refused or failing writes that lose nothing, and
reads that resolve inferential values."""

import contextlib

import pytest

import helpers
import vesk_core._native as native
from helpers import (MISSING, Dict, Inferred, KeyPath, Node, SharedHoldError,
                     WritePermissionError, scope, seams, spec)


SEALED, ACCESSOR = native._FLAG_SEALED, native._FLAG_ACCESSOR_WRITABLE


@pytest.mark.parametrize("sealed, writable, flags, refused", [
    (True, False, {}, "Cannot modify field of a sealed Dict. (path=r)"),   # sealed gate first
    (False, False, {}, "Cannot modify Dict field by attribute or key while accessor_writable is "
                       "set to False. Use 'sym_rebind' method instead. (path=r)"),
    (False, True, {SEALED: True}, "sealed"),
    (True, True, {SEALED: False}, None),
    (False, False, {ACCESSOR: True}, None),
    (False, True, {ACCESSOR: False}, "accessor_writable"),
    (True, True, {SEALED: None}, "sealed"),   # None defers to the node's own flag
])
def test_write_gates(sealed, writable, flags, refused):
    d = Dict(a=1, root_path=KeyPath("r"), sealed=sealed, accessor_writable=writable)
    with contextlib.ExitStack() as stack:
        for flag, value in flags.items():
            stack.enter_context(scope(flag, value))
        if refused:
            with pytest.raises(WritePermissionError) as info:
                d["a"] = 2
            assert refused in str(info.value)
            with pytest.raises(WritePermissionError):
                del d["a"]
        else:
            d["a"] = 2
            del d["a"]
    assert d == ({"a": 1} if refused else {})
    # The core write never checks the gates.
    assert d._set_item_without_permission_check("b", 3).new_value == 3


def test_delete_messages():
    d = Dict(a=1, root_path=KeyPath("r"), sealed=True)
    with pytest.raises(WritePermissionError, match=r"^Cannot del item from a sealed Dict\.$"):
        del d["a"]
    with pytest.raises(KeyError, match=r"Key does not exist in Dict: 'zz'. \(path=r\)"):
        del Dict(root_path=KeyPath("r"))["zz"]


def test_identity_write_is_a_no_op():
    child = Dict(x=1)
    d = Dict(c=child)
    child_path = child.topo_path
    assert d._set_item_without_permission_check("c", child) is None
    d["c"] = child
    assert "notified" not in d.__dict__ and child.topo_parent is d and child.topo_path is child_path
    assert d._set_item_without_permission_check("absent", MISSING) is None


def test_replacing_and_deleting_report_one_update_each():
    old, new = Dict(x=1), Dict(y=2)
    d = Dict(c=old, root_path=KeyPath("r"))
    d["c"] = new
    del d["c"]
    first, second = d.notified
    assert (first.path, first.target, first.field) == (KeyPath.parse("r.c"), d, None)
    assert (first.old_value, first.new_value) == (old, new)
    assert (second.old_value, second.new_value) == (new, MISSING)
    assert old.topo_parent is None and old.topo_path == KeyPath()
    assert new.topo_parent is None and "c" not in d


def test_missing_value_under_a_schema():
    s = spec(("a", native.Int(default=7)), nonconst=native.Int())
    d = Dict(a=1, x=2, value_spec=s)
    d["a"] = MISSING
    d["x"] = MISSING
    assert d == {"a": 7}
    assert [(u.path, u.new_value) for u in d.notified] == [(KeyPath("a"), 7), (KeyPath("x"), MISSING)]
    assert d.notified[0].field is s.schema.get_field("a")


def test_writes_follow_a_schema_changed_after_use():
    # The field a key write finds is the schema's as it is now, however
    # many writes read it before.
    s = spec(("a", native.Int()))
    d = Dict(a=1, value_spec=s)
    for i in range(3):
        d["a"] = i
    with pytest.raises(KeyError, match="Key 'b' is not allowed"):
        d["b"] = "q"
    s.schema.extend(helpers.schema(("a", native.Int(min_value=10)), ("b", native.Str())))
    d["b"] = "q"
    with pytest.raises(ValueError):
        d["a"] = 5
    d["a"] = 15
    assert d == {"a": 15, "b": "q"}
    assert [u.field for u in d.notified[-2:]] == [s.schema.get_field("b"), s.schema.get_field("a")]
    with pytest.raises(TypeError):
        d["b"] = 3
    assert d == {"a": 15, "b": "q"}


@pytest.mark.parametrize("key, message", [
    (1.5, r"Key must be string or int type. Encountered 1.5. \(path=r\)"),
    ("zz", r"Key 'zz' is not allowed for <class 'vesk.symbolic.containers.Dict'>. \(path=r\)"),
])
def test_bad_keys(key, message):
    d = Dict(a=1, value_spec=spec(("a", native.Int())), root_path=KeyPath("r"))
    with pytest.raises(KeyError, match=message):
        d[key] = 1
    assert d == {"a": 1}


def test_an_object_attributes_container_reports_its_object():
    class Obj(Node):
        pass

    obj = Obj(path=KeyPath("o"))
    view = seams.object_attributes({"a": 1}, spec(("a", native.Int())), False, False, True,
                                   KeyPath("o"), False, None, obj, False)
    update = view._set_item_without_permission_check("a", 2)
    assert update.target is obj and update.path == KeyPath.parse("o.a")
    with pytest.raises(KeyError, match="is not allowed for <class '.*Obj'>"):
        view["zz"] = 1
    obj._topo_path = KeyPath("elsewhere")
    assert view._set_item_without_permission_check("a", 3).target is view


@pytest.mark.parametrize("write", ["validation", "shared"])
def test_a_failing_write_loses_nothing(write):
    inner = spec(("x", native.Int()))
    s = spec(("c", inner))
    d = Dict(c={"x": 1}, value_spec=s)
    old = d["c"]
    other_owner = Dict(held=Dict(x=2))
    with pytest.raises(TypeError if write == "validation" else SharedHoldError):
        d["c"] = {"x": "bad"} if write == "validation" else other_owner["held"]
    assert d["c"] is old and old.topo_parent is d and old.topo_path == KeyPath("c")
    assert "notified" not in d.__dict__


def test_notification_is_suppressed_by_an_explicit_false_scope():
    d = Dict()
    with scope(native._FLAG_CHANGE_NOTIFICATION, False):
        d["a"] = 1
    assert "notified" not in d.__dict__
    d._sym_validate_overridden = True
    with scope(native._FLAG_CHANGE_NOTIFICATION, False):
        d["b"] = 1
    assert [u.path for u in d.notified] == [KeyPath("b")]


def test_reads_resolve_inferential_values():
    d = Dict(v=Inferred(5), gone=Inferred(AttributeError("x")), bad=Inferred(ZeroDivisionError()))
    assert d["v"] == 5 and d.get("v") == 5 and d.v == 5
    assert type(d._sym_getattr("v")) is Inferred and list(d.sym_values())[0].value == 5
    with pytest.raises(KeyError) as info:
        d["gone"]
    assert info.value.args == ("gone",)
    assert d.get("gone", "dflt") == "dflt" and d.get("zz") is None
    with pytest.raises(AttributeError, match="^x$"):   # raised unchanged by attribute reads
        d.gone
    with pytest.raises(ZeroDivisionError):
        d.get("bad")
    with pytest.raises(KeyError) as info:
        d[(1, 2)]
    assert info.value.args == ((1, 2),)


def test_attribute_reads_fall_back_to_entries():
    d = Dict(get=1, custom=2)
    assert callable(d.get) and d.custom == 2
    with pytest.raises(AttributeError, match=r"Attribute 'zz' does not exist in <class "):
        d.zz
    assert d.sym_hasattr("custom") and not d.sym_hasattr("zz")
    with pytest.raises(KeyError):
        d._sym_getattr("zz")


def test_symbolic_order_under_a_schema():
    s = spec(("a", native.Int()), ("b", native.Int()), nonconst=native.Int())
    d = Dict({"x": 0, "b": 2, "a": 1}, value_spec=s)
    assert list(d) == ["x", "b", "a"]
    assert list(d.sym_keys()) == ["a", "b", "x"]
    assert list(d.sym_values()) == [1, 2, 0]
    assert list(d.sym_items()) == [("a", 1), ("b", 2), ("x", 0)]


def test_binding_a_value_spec():
    s = spec(("a", native.Int()))
    d = Dict(a=1, root_path=KeyPath("r"))
    assert d.use_value_spec(s) is d and d._value_spec is s
    assert d.use_value_spec(s, allow_partial=True) is d and d._allow_partial   # applied again
    with pytest.raises(RuntimeError, match=r"(?s)Dict is already bound with a different value "
                                           r"spec: .*\. New value spec: .*\. \(path=r\)"):
        d.use_value_spec(spec(("a", native.Str())))
    with pytest.raises(ValueError, match=r"must be a `vk.typing.Dict` object. Encountered: "
                                         r"List\(Int\(\)\) \(path=r\)"):
        d.use_value_spec(native.List(native.Int()))
    d._accessor_writable = False
    assert d.use_value_spec(None) is d and d._value_spec is None and d._accessor_writable
    open_spec = native.Dict()
    assert d.use_value_spec(open_spec).use_value_spec(native.Dict()) is d   # equal, distinct
    assert d._value_spec is open_spec


def test_custom_apply():
    s = spec(("a", native.Int()))
    d = Dict(a=1)
    assert d.custom_apply(KeyPath(), s, False) == (True, d) and d._value_spec is s
    assert d.custom_apply(KeyPath(), s, False) == (False, d)
    assert d.custom_apply(KeyPath(), None, True) == (True, d) and d._allow_partial
    with pytest.raises(ValueError, match=r"cannot be assigned to an incompatible field .* "
                                         r"\(path=p\)"):
        d.custom_apply(KeyPath("p"), spec(("a", native.Str())), True)
    with pytest.raises(TypeError, match="allow_partial"):
        d.custom_apply(KeyPath(), s, 1)


def test_an_update_names_the_path_the_dict_has_after_its_store():
    class Mover(Node):
        def topo_setparent(self, parent):
            super().topo_setparent(parent)
            d._topo_path = KeyPath("adopted" if parent is not None else "detached")

    d = Dict(a=0, root_path=KeyPath("r"))
    d["b"] = Mover()
    d["a"] = 1
    d["b"] = 2
    assert [str(u.path) for u in d.notified] == ["adopted.b", "adopted.a", "detached.b"]


def test_a_spec_dropped_while_the_write_runs_leaves_its_update_whole():
    # The value's transform drops the dict's only reference to its spec
    # mid-write; the update still names the field the value was checked
    # against (the field went with the spec and crashed the write before).
    box = {}

    def drop_spec(value):
        if "d" in box:
            box.pop("d")._value_spec = None
        return value

    d = Dict(c=[1], value_spec=spec(("c", native.List(native.Int()).set_transform(drop_spec))))
    box["d"] = d
    d["c"] = [2]
    update = d.notified[-1]
    assert d._value_spec is None and d["c"] == [2]
    assert update.field.key == "c" and update.old_value == [1] and update.new_value == [2]


def _listener(tag):
    def listen(self, updates):
        self.__dict__.setdefault("heard", []).append((tag, [u.new_value for u in updates]))
    return listen


def test_the_listener_is_found_as_an_attribute_read_finds_it():
    # The dict's listener call makes no bound method, but still calls what
    # `d._notify_field_updates` names: the class's function, a replacement
    # of it, an instance's own attribute, or what the class's own attribute
    # lookup answers.
    Heard = type("Heard", (Dict,), {"_notify_field_updates": _listener("class")})
    d = Heard()
    d["a"] = 1
    Heard._notify_field_updates = _listener("replaced")
    d["a"] = 2
    assert d.heard == [("class", [1]), ("replaced", [2])]

    own = Heard()
    calls = []
    own.__dict__["_notify_field_updates"] = lambda updates: calls.append(updates[0].new_value)
    own["a"] = 3
    assert calls == [3] and "heard" not in own.__dict__

    class Looked(Heard):
        def __getattribute__(self, name):
            if name == "_notify_field_updates":
                return lambda updates: calls.append(("looked", updates[0].new_value))
            return super().__getattribute__(name)

    Looked()["a"] = 4
    assert calls == [3, ("looked", 4)]

    # Not a plain function: a static method gets no instance.
    Static = type("Static", (Dict,), {"_notify_field_updates": staticmethod(calls.append)})
    Static()["a"] = 5
    assert [u.new_value for u in calls[-1]] == [5]


def test_a_plain_value_over_each_kind_of_occupant():
    # A primitive written under an exact key is stored in one step over a
    # plain occupant or none; a child there is let go first; the same value
    # again changes nothing.
    child = Dict(x=1)
    d = Dict(c=child, p=1, root_path=KeyPath("r"))
    for key in ("c", "p", "new"):
        d[key] = 5
    d["p"] = 5
    assert [(u.path, u.old_value, u.new_value) for u in d.notified] == [
        (KeyPath.parse("r.c"), child, 5), (KeyPath.parse("r.p"), 1, 5),
        (KeyPath.parse("r.new"), MISSING, 5)]
    assert child.topo_parent is None and child.topo_path == KeyPath()
    assert d == {"c": 5, "p": 5, "new": 5}


def test_constant_keys_of_any_text_find_their_fields():
    s = native.Dict([("x", native.Int()), ("café", native.Str()),
                     ("日本", native.Int(min_value=1)), ("xé", native.Bool())])
    d = Dict({"x": 1, "café": "a", "日本": 2, "xé": True}, value_spec=s)
    d["x"], d["café"], d["日本"], d["xé"] = 3, "b", 4, False
    assert d == {"x": 3, "café": "b", "日本": 4, "xé": False}
    for key, bad, error in [("x", "s", TypeError), ("café", 1, TypeError),
                            ("日本", 0, ValueError), ("xé", 1, TypeError)]:
        with pytest.raises(error):
            d[key] = bad
    with pytest.raises(KeyError, match="not allowed"):
        d["caf"] = 1
