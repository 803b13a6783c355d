"""Installing the typing bridge and its three single-value cells: argument
checks, the not-installed errors, first install wins (also under a race)."""

import pytest

import vesk_core._native as native
import vesk.typing
from fresh import run_fresh

def _without(name):
    table = vesk.typing.bridge_handles()
    del table[name]
    return table


class Meta(type):
    pass


class ViaMeta(metaclass=Meta):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: native._install_typing_bridge(**dict(vesk.typing.bridge_handles(), missing_type=1)),
         "argument 'missing_type': expected a class, got int"),
        (lambda: native._install_typing_bridge(**_without("callable_validate")),
         "missing required argument 'callable_validate'"),
        (lambda: native._install_json_schema_fn(), "missing required argument 'func'"),
        (lambda: native._install_symbolic_container_types(dict),
         "missing required argument 'list_type'"),
    ],
)
def test_installer_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_the_signature_lists_the_keywords_in_slot_order():
    signature = native._install_typing_bridge.__text_signature__
    assert signature == "($module, /, *, " + ", ".join(vesk.typing.bridge_handles()) + ")"


@pytest.mark.parametrize("missing_type", [ViaMeta, native.MissingValue, type])
def test_any_class_is_a_missing_type_and_a_repeat_install_returns_none(missing_type):
    # The session already installed the bridge: this one passes the argument
    # checks and is then ignored.
    table = dict(vesk.typing.bridge_handles(), missing_type=missing_type)
    assert native._install_typing_bridge(**table) is None
    assert native._install_json_schema_fn(func=len) is None
    assert native._install_field_from_annotation(len) is None
    assert native._install_symbolic_container_types(dict_type=dict, list_type=list) is None


def test_nothing_installed():
    run_fresh(
        """
        import pytest
        from vesk_core import _typing_seams as s

        def internal(fn, *args, message="typing bridge not installed"):
            with pytest.raises(RuntimeError) as info:
                fn(*args)
            assert str(info.value) == message
            assert type(info.value).__name__ == "InternalError"

        for fn, args in [(s.bridge_slots, ()), (s.is_missing, (1,)), (s.fresh_missing, ()),
                         (s.missing_default, ()), (s.missing_default_detached, ()),
                         (s.callable_eq, (len, len)), (s.call_to_json, (1, None)),
                         (s.call_is_generic, (int,)), (s.call_is_instance, (1, int)),
                         (s.call_is_subclass, (int, int)), (s.from_annotation, (int,)),
                         (s.union_getitem, (1, 2))]:
            internal(fn, *args)
        internal(s.json_schema_fn, message="json-schema fn not installed")
        internal(s.field_from_annotation_fn, message="field_from_annotation not installed")
        assert s.symbolic_container_types() is None  # readers decline, no error

        # Operations that need no bridge work without one.
        assert s.as_type_args(int) == (int,)
        assert s.compute_open_str_value_spec(None) == (False, None)
        assert s.build_candidate_type_map([], True) == (False, None)

        # A refused install leaves the bridge uninstalled.
        import vesk.typing
        with pytest.raises(TypeError):
            s._install_typing_bridge(**dict(vesk.typing.bridge_handles(), missing_type=0))
        internal(s.is_missing, 1)
        """
    )


def test_first_install_wins():
    run_fresh(
        """
        import vesk.typing
        from vesk_core import _typing_seams as s

        class Missing:
            pass

        first = vesk.typing.bridge_handles()
        second = {k: (lambda *a: None) for k in first}
        second.update(missing_type=Missing, missing_value=Missing())
        assert s._install_typing_bridge(**first) is None
        assert s._install_typing_bridge(**second) is None

        slots = s.bridge_slots()
        assert len(slots) == 29
        assert slots[:20] == tuple(first.values())[:20]
        assert slots[21:] == tuple(first.values())[20:]
        assert slots[20] == frozenset() and type(slots[20]) is frozenset
        assert not s.is_missing(Missing())

        def one(): pass
        def two(): pass
        for install, read in [(s._install_json_schema_fn, s.json_schema_fn),
                              (s._install_field_from_annotation, s.field_from_annotation_fn)]:
            assert install(one) is None and install(two) is None
            assert read() is one
        s._install_symbolic_container_types(dict, list)
        s._install_symbolic_container_types(list, dict)
        assert s.symbolic_container_types() == (dict, list)
        """
    )


def test_racing_installs_store_one_whole_table():
    run_fresh(
        """
        import threading
        import vesk.typing
        from vesk_core import _typing_seams as s

        N = 16
        tables = []
        for i in range(N):
            cls = type(f"Missing{i}", (), {})
            table = {k: object() for k in vesk.typing.bridge_handles()}
            table.update(missing_type=cls, missing_value=cls())
            tables.append(table)
        barrier = threading.Barrier(N)
        seen = [None] * N

        def run(i):
            barrier.wait()
            s._install_typing_bridge(**tables[i])
            seen[i] = s.bridge_slots()

        threads = [threading.Thread(target=run, args=(i,)) for i in range(N)]
        for t in threads: t.start()
        for t in threads: t.join()

        winner = seen[0]
        assert all(slots is not None and slots == winner for slots in seen)
        # One table, whole: every slot comes from the same install.
        [table] = [t for t in tables if t["missing_value"] is winner[0]]
        values = list(table.values())
        assert list(winner[:20]) + list(winner[21:]) == values
        """
    )
