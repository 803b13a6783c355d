import importlib
import sys

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
]
FLAG_NAMES = [
    "_flag_scope_get",
    "_flag_scope_set",
    "_flag_scope_has",
    "_flag_scope_del",
    "_FLAG_SEALED",
    "_FLAG_ACCESSOR_WRITABLE",
    "_FLAG_ALLOW_PARTIAL",
    "_FLAG_ORIGIN_TRACKING",
    "_FLAG_CHANGE_NOTIFICATION",
]


def test_abi_version_is_a_fresh_tuple_equal_to_abi():
    first = native.abi_version()
    assert first == (0, 0) == native.__abi__
    assert type(first) is tuple
    assert first is not native.abi_version()


def test_module_definition():
    assert native.__name__ == "vesk_core._native"
    assert native.__doc__ == ""
    assert native.abi_version.__module__ == "vesk_core._native"


def test_all_lists_every_binding_in_order():
    names = native.__all__
    assert names[: len(EXPECTED_PREFIX)] == EXPECTED_PREFIX
    assert len(names) == len(set(names))
    for name in names:
        assert hasattr(native, name), name
    # The flag block is bound as one run, constants right after the functions.
    start = names.index("_flag_scope_get")
    assert names[start : start + len(FLAG_NAMES)] == FLAG_NAMES
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
        assert second.__all__ == first.__all__
        assert second.abi_version() == (0, 0)
        # Classes are shared by the process; functions are bound anew.
        assert second.KeyPath is first.KeyPath
        assert second.abi_version is not first.abi_version
        assert second.abi_version.__self__ is second
        """
    )


def test_subinterpreter_import_fails_cleanly():
    interpreters = pytest.importorskip("concurrent.interpreters")
    import vesk_core

    pkg_parent = vesk_core.__path__[0].rsplit("/", 1)[0]
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed) as info:
            interp.exec(
                f"import sys; sys.path.insert(0, {pkg_parent!r}); import vesk_core._native"
            )
        assert "ImportError" in str(info.value)
    finally:
        interp.close()
    # The main interpreter's module is unaffected.
    assert native.abi_version() == (0, 0)
