"""The container and list bridge installers (every handle required, the
first installation kept, racing installers agreeing on one winner), the
internal error of an uninstalled bridge, the default origin and the change
notification rule."""

import pytest

import vesk_core._native as native
from fresh import FAILS, run_fresh
from helpers import Dict, FieldUpdate, seams
from vesk.symbolic import containers, objects

HANDLES = list(containers.handles())


def test_signatures_list_the_handles_in_slot_order():
    assert native._install_container_bridge.__text_signature__ == (
        "($module, /, *, " + ", ".join(HANDLES) + ")")
    assert native._install_list_bridge.__text_signature__ == "($module, /, insertion_cls)"


@pytest.mark.parametrize("call", [
    lambda: native._install_container_bridge(**{h: None for h in HANDLES[1:]}),
    lambda: native._install_container_bridge(*[None] * 12),
    lambda: native._install_list_bridge(),
])
def test_incomplete_calls_are_refused(call):
    with pytest.raises(TypeError):
        call()


def test_not_installed_then_first_installation_wins():
    run_fresh(f"""
        import threading
        import vesk_core._native as native
        import vesk.typing
        from vesk.symbolic import containers
        vesk.typing.install()
        try:
            native.SymDict()
        except RuntimeError as e:
            assert str(e) == "panic in native slot", e
        else:
            raise AssertionError("built without the bridge")
        d = native.SymDict.__new__(native.SymDict)
        for call in (lambda: d._set_item_without_permission_check("k", 1),
                     lambda: d.sym_setorigin(1, "t")):
            try:
                call()
            except RuntimeError as e:
                assert str(e) == "container bridge not installed", e
        # The list bridge is independent of the container bridge.
        assert native._install_list_bridge(object) is None
        tables = [dict(containers.handles(), missing_value=object()) for _ in range(8)]
        barrier = threading.Barrier(8)
        def install(table):
            barrier.wait()
            native._install_container_bridge(**table)
        threads = [threading.Thread(target=install, args=(t,)) for t in tables]
        for t in threads: t.start()
        for t in threads: t.join()
        native._install_container_bridge(**containers.handles())
        # One winner: a new key's field update carries that table's missing
        # value as the old value; the later complete installation changed nothing.
        update = native.SymDict()._set_item_without_permission_check("new", 1)
        assert [t for t in tables if update.old_value is t["missing_value"]] != []
        assert update.old_value is not containers.MISSING
        # Its insertion class, `object`, marks every value, a primitive too:
        # the marker's value is read from it.
        try:
            native.SymList([]).append(5)
        except AttributeError as e:
            assert "value" in str(e), e
        else:
            raise AssertionError("a primitive not taken as an insertion")
    """)


FRESH_PRELUDE = """
    import vesk_core._native as native
    import vesk.typing
    from vesk_core import KeyPath
    vesk.typing.install()
    root = KeyPath("r")

    class Origin:
        def __init__(self, source):
            self.source = source

    def refused(call):
        try:
            call()
        except ValueError as e:
            assert "Origin source: 'first', New source: 'second'." in str(e), e
        else:
            raise AssertionError("a different source was accepted")
"""


def test_construction_needs_the_container_bridge_only_where_it_uses_it():
    run_fresh(FRESH_PRELUDE + """
    # A given root path and primitive members need no container bridge.
    for made, raw in ((native.SymDict(root_path=root), {}),
                      (native.SymDict({"a": 1}, root_path=root, b=None), {"a": 1, "b": None}),
                      (native.SymList(root_path=root), []),
                      (native.SymList([1, "s"], root_path=root), [1, "s"])):
        assert made == raw and made._topo_path is root
    # The default root path, a member to formalize and a tracked origin do.
    for cls, members in ((native.SymDict, {"a": [1]}), (native.SymList, [[1]])):
        fails(cls, "panic in native slot")
        fails(lambda: cls(members, root_path=root), "panic in native slot")
        native._flag_scope_set(native._FLAG_ORIGIN_TRACKING, True)
        fails(lambda: cls(root_path=root), "panic in native slot")
        native._flag_scope_del(native._FLAG_ORIGIN_TRACKING)
    """, prelude=FAILS)


def test_a_different_origin_source_is_refused_before_a_bridge_is_needed():
    run_fresh(FRESH_PRELUDE + """
    for cls in (native.SymDict, native.SymList):
        node = cls.__new__(cls)
        node._sym_origin = Origin("first")
        refused(lambda: node.sym_setorigin("second", "t"))
        fails(lambda: node.sym_setorigin("first", "t"), "container bridge not installed")
    # Records too, before they need the object bridge.
    record = native._kernel_make_record("R", ["a"], native._kernel_topology_reserved(), True)()
    native._slot_node_set(record, 3, False)
    native._slot_node_set(record, 5, Origin("first"))
    refused(lambda: native._node_setorigin(record, "second", "t"))
    fails(lambda: native._node_setorigin(record, "first", "t"), "object bridge not installed")
    """, prelude=FAILS)


@pytest.mark.parametrize("scope, made", [(True, True), (None, False), (False, False), ("del", False)])
def test_default_origin_follows_the_thread_scope_only(scope, made):
    flag = native._FLAG_ORIGIN_TRACKING
    try:
        if scope == "del":
            native._flag_scope_del(flag)
        else:
            native._flag_scope_set(flag, scope)
        origin = seams.default_origin()
        d = Dict(a=1)
    finally:
        native._flag_scope_del(flag)
    if made:
        assert isinstance(origin, objects.Origin) and (origin.source, origin.tag) == (None, "__init__")
        assert isinstance(d._sym_origin, objects.Origin)
    else:
        assert origin is None and d._sym_origin is None


class Target:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Owner:
    def __init__(self):
        self.got = []

    def _notify_field_updates(self, updates):
        self.got.append(updates)


@pytest.mark.parametrize("scope, target, sent", [
    (None, None, True),                      # target never read
    ("del", None, True),
    (True, None, True),
    (False, Target(_sym_validate_overridden=True), True),
    (False, Target(_sym_validate_overridden=0), False),
    (False, Target(), False),                # a failed read is swallowed
])
def test_notification_rule(scope, target, sent):
    flag = native._FLAG_CHANGE_NOTIFICATION
    owner = Owner()
    update = FieldUpdate(None, target, None, 1, 2) if target is not None else object()
    try:
        native._flag_scope_del(flag) if scope == "del" else native._flag_scope_set(flag, scope)
        seams.notify(owner, update)
    finally:
        native._flag_scope_del(flag)
    assert owner.got == ([[update]] if sent else [])


def test_suppressed_notification_needs_a_target():
    native._flag_scope_set(native._FLAG_CHANGE_NOTIFICATION, False)
    try:
        with pytest.raises(AttributeError):
            seams.notify(Owner(), object())
    finally:
        native._flag_scope_del(native._FLAG_CHANGE_NOTIFICATION)
