"""The binding layer at the boundary: what a failure inside native code
becomes, how arguments bind, and how declared types collect their cycles.
The hooks live in a test-only extension bound through the same layer."""

import gc
import weakref
from contextlib import suppress

import pytest

hooks = pytest.importorskip("vesk_core._native_testhooks")

# How each failure mode surfaces through a plain entry.
PLAIN = {
    "cpp": (RuntimeError, "thrown from native code"),
    "alloc": (MemoryError, ""),
    "other": (RuntimeError, "internal error in native code"),
    "internal": (RuntimeError, "test bridge not installed"),
    "python": (ValueError, "plain failure"),
}


CALLS = {
    "function": lambda how: hooks.raise_from(how),
    "class method": lambda how: hooks.Thrower.class_method(how),
    "method": lambda how: hooks.Thrower(how).method(),
    "getter": lambda how: hooks.Thrower(how).attr,
    "setter": lambda how: setattr(hooks.Thrower(how), "attr", 1),
    "hash slot": lambda how: hash(hooks.Thrower(how)),
    "length slot": lambda how: len(hooks.Thrower(how)),
}


@pytest.mark.parametrize("kind", list(CALLS))
@pytest.mark.parametrize("how", sorted(PLAIN))
def test_native_failures_become_python_exceptions(kind, how):
    exc, message = PLAIN[how]
    with pytest.raises(exc) as info:
        CALLS[kind](how)
    if message:
        assert str(info.value) == message
    # The boundary leaves nothing pending: the next call works.
    CALLS[kind]("ok")


@pytest.mark.parametrize(
    "how, exc, message",
    [(h, RuntimeError, "panic in native slot") for h in ("cpp", "other", "internal", "silent")]
    + [("python", ValueError, "plain failure"), ("alloc", MemoryError, "")],
)
def test_panic_slot_reports_native_failures_as_panic_but_keeps_user_errors(how, exc, message):
    with pytest.raises(exc) as info:
        repr(hooks.Thrower(how))
    assert str(info.value) == message
    assert type(info.value) is exc
    assert repr(hooks.Thrower("ok")) == "Thrower()"


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda f: f(1), (1, None, None, [])),
        (lambda f: f(1, 2, c=3), (1, 2, 3, [])),
        (lambda f: f(b=2, a=1), (1, 2, None, [])),
        (lambda f: f(1, z=5, c=3, y=6), (1, None, 3, ["z", "y"])),
        (lambda f: f(**{"".join(["a"]): 1}), (1, None, None, [])),
    ],
)
@pytest.mark.parametrize("name", ["probe", "probe_tuple"])
def test_parser_binds_by_position_and_name(name, call, expected):
    assert call(getattr(hooks, name)) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(), "probe() missing required argument 'a' (pos 1)"),
        (lambda f: f(1, 2, 3), "probe() takes at most 2 positional arguments (3 given)"),
        (lambda f: f(1, a=1), "argument for probe() given by name ('a') and position (1)"),
    ],
)
@pytest.mark.parametrize("name", ["probe", "probe_tuple"])
def test_parser_messages(name, call, message):
    with pytest.raises(TypeError) as info:
        call(getattr(hooks, name))
    assert str(info.value) == message
    assert hooks.strict(x=1) == 1
    with pytest.raises(TypeError, match=r"^strict\(\) takes no positional arguments$"):
        hooks.strict(1)
    with pytest.raises(TypeError, match=r"^strict\(\) got an unexpected keyword argument 'y'$"):
        hooks.strict(y=1)


def test_interned_and_imported_cells_are_made_once():
    import copy

    first, second = hooks.cells(), hooks.cells()
    assert all(a is b for a, b in zip(first, second))
    name, deepcopy, names, module, number = first
    assert name == "vesk_probe_name" and deepcopy is copy.deepcopy and module is copy
    assert names == ("compact", "verbose") and number == 1000


def test_declared_types_are_final_unless_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (hooks.Thrower,), {})
    sub = type("Sub", (hooks.Holder,), {})
    assert sub(3).value == 3


@pytest.mark.parametrize("through", ["state", "dict", "subclass dict"])
def test_cycles_through_declared_state_are_collected(through):
    cls = type("Sub", (hooks.Holder,), {}) if through == "subclass dict" else hooks.Holder
    holder = cls()
    if through == "state":
        holder.value = [holder]
    else:
        holder.other = [holder]
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


def _failing_and_binding_calls():
    for how in ("cpp", "internal", "python"):
        with suppress(RuntimeError, ValueError):
            hooks.raise_from(how)
    hooks.probe(1, 2, c=3, z=4)
    hooks.probe_tuple(1, c=3, z=4)
    with suppress(TypeError):
        hooks.probe_tuple(1, a=1)
    holder = hooks.Holder([1])
    holder.value = holder


def test_boundary_and_parser_leak_nothing():
    from leaks import assert_no_leak

    assert_no_leak(_failing_and_binding_calls)
