import pytest

from fresh import run_fresh
import vesk_core._native as native

EXPECTED_PREFIX = [
    "abi_version",
    "__abi__",
    "KeyPath",
    "KeyPathSet",
    "MissingValue",
    "missing_value_singleton",
    "format",
    "kvlist_str",
    "_install_formatting_bridge",
    "ConstStrKey",
    "StrKey",
    "ListKey",
    "TupleKey",
]


def test_abi_version_and_all_lists_every_binding_in_order():
    first = native.abi_version()
    assert first == (0, 0) == native.__abi__
    assert type(first) is tuple
    assert first is not native.abi_version()
    names = native.__all__
    assert names[: len(EXPECTED_PREFIX)] == EXPECTED_PREFIX
    assert len(names) == len(set(names))
    for name in names:
        assert hasattr(native, name), name
    # Only names that were bound appear: nothing public is missing from it.
    public = {n for n in vars(native) if not n.startswith("__") or n == "__abi__"}
    assert public == set(names)


def test_reimport_after_dropping_the_module():
    run_fresh(
        """
        import sys, vesk_core._native as first
        del sys.modules["vesk_core._native"]
        import importlib
        second = importlib.import_module("vesk_core._native")
        assert second is not first
        # Classes are shared by the process; functions are bound anew.
        assert second.KeyPath is first.KeyPath
        assert second.abi_version is not first.abi_version
        assert second.abi_version.__self__ is second
        """
    )


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_only_the_main_interpreter_loads_the_module(config):
    # Tried in a sub-interpreter first, so that nothing could be filled yet;
    # the main interpreter then loads the module and uses its own objects.
    run_fresh(
        f"""
        import sys, _interpreters
        interp = _interpreters.create(_interpreters.new_config({config!r}))
        failure = _interpreters.exec(interp, f'''if True:
            import sys
            sys.path[:0] = {{sys.path!r}}
            try:
                import vesk_core._native
            except ImportError as e:
                message = str(e)
            else:
                raise AssertionError("loaded in a sub-interpreter")
            assert "main interpreter" in message or "subinterpreters" in message, message
            ''')
        _interpreters.destroy(interp)
        assert failure is None, failure
        import vesk_core._native as native
        assert native.kvlist_str([("k", [native.KeyPath("a")], None)], label="L") == "L(k=[a])"
        """
    )
