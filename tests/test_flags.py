import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import vesk_core._native as native
from leaks import assert_no_leak
from races import started

FLAG_IDS = [0, 1, 2, 3, 4]
SENTINEL = object()


def in_thread(fn):
    # Runs `fn` on a new thread; returns its result or raises its error.
    with ThreadPoolExecutor(1) as pool:
        return pool.submit(fn).result()


@pytest.fixture(autouse=True)
def clean_scopes():
    for i in FLAG_IDS:
        native._flag_scope_del(i)
    yield
    for i in FLAG_IDS:
        native._flag_scope_del(i)


def test_constants_name_the_five_cells():
    assert [native._FLAG_SEALED, native._FLAG_ACCESSOR_WRITABLE, native._FLAG_ALLOW_PARTIAL,
            native._FLAG_ORIGIN_TRACKING, native._FLAG_CHANGE_NOTIFICATION] == FLAG_IDS


@pytest.mark.parametrize("flag", FLAG_IDS)
def test_set_get_has_del_cycle(flag):
    native._flag_scope_set(flag, None)
    # A stored None is present, and only this cell changed.
    assert [native._flag_scope_has(i) for i in FLAG_IDS] == [i == flag for i in FLAG_IDS]
    assert native._flag_scope_get(flag, SENTINEL) is None
    for value in (True, False):
        native._flag_scope_set(flag, value)
        assert native._flag_scope_get(flag, SENTINEL) is value
    native._flag_scope_del(flag)
    assert native._flag_scope_has(flag) is False
    assert native._flag_scope_get(flag, SENTINEL) is SENTINEL
    native._flag_scope_del(flag)  # deleting an absent cell is allowed
    assert native._flag_scope_has(flag) is False


def test_keywords_and_arity():
    native._flag_scope_set(flag_id=3, value=True)
    assert native._flag_scope_get(flag_id=3, default=None) is True
    assert native._flag_scope_has(flag_id=3) is True
    native._flag_scope_del(flag_id=3)
    with pytest.raises(TypeError, match="missing required argument 'default'"):
        native._flag_scope_get(0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'flag'"):
        native._flag_scope_get(0, None, flag=1)


def test_scopes_are_per_thread():
    native._flag_scope_set(native._FLAG_SEALED, True)

    def probe():
        return [(native._flag_scope_has(i), native._flag_scope_get(i, SENTINEL)) for i in FLAG_IDS]

    # A new thread starts with every cell absent, whatever this one holds.
    assert in_thread(probe) == [(False, SENTINEL)] * 5

    def set_in_thread():
        native._flag_scope_set(1, False)
        return native._flag_scope_get(1, SENTINEL)

    assert in_thread(set_in_thread) is False
    assert native._flag_scope_has(1) is False
    assert native._flag_scope_get(0, SENTINEL) is True


def test_many_threads_race_without_interference():
    barrier = threading.Barrier(8)
    failures = []

    def worker(n):
        barrier.wait()
        mine = bool(n % 2)
        for _ in range(2000):
            native._flag_scope_set(4, mine)
            if native._flag_scope_get(4, None) is not mine:
                failures.append(n)
                return
            native._flag_scope_del(4)
            if native._flag_scope_has(4):
                failures.append(n)
                return

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    with started(threads, barrier):
        pass
    assert failures == []


@pytest.mark.parametrize(
    "call, flag",
    [
        (lambda: native._flag_scope_get(5, None), 5),
        (lambda: native._flag_scope_del(255), 255),
    ],
)
def test_invalid_id_in_range_of_a_byte(call, flag):
    with pytest.raises(ValueError, match=rf"^Invalid native flag id: {flag}\.$"):
        call()


class LoudInt(int):
    def __repr__(self):
        raise AssertionError("repr of the id was taken")


@pytest.mark.parametrize(
    "flag, error",
    [
        (-1, OverflowError),
        (256, OverflowError),
        # Too large for str() conversion, and an int subclass with a
        # raising repr: still the conversion's own OverflowError.
        pytest.param(10**5000, OverflowError, id="huge"),
        pytest.param(LoudInt(300), OverflowError, id="int-subclass"),
        ("0", TypeError),
    ],
)
def test_id_conversion_errors(flag, error):
    with pytest.raises(error, match="flag_id"):
        native._flag_scope_has(flag)


def test_value_must_be_none_or_bool():
    native._flag_scope_set(2, True)
    for bad in (1, 0, "True", 1.0, []):
        with pytest.raises(TypeError, match="value"):
            native._flag_scope_set(2, bad)
    # The value is checked before the id's range.
    with pytest.raises(TypeError):
        native._flag_scope_set(9, 1)
    with pytest.raises(ValueError):
        native._flag_scope_set(7, False)
    assert native._flag_scope_get(2, SENTINEL) is True


def test_a_python_class_named_like_a_numpy_bool_is_refused():
    calls = []
    fake = type("numpy.bool", (), {"__bool__": lambda self: calls.append(1) or True})
    with pytest.raises(TypeError, match="value"):
        native._flag_scope_set(0, fake())
    assert calls == []
    assert native._flag_scope_has(0) is False


def test_the_numeric_librarys_bool_scalar_is_taken_by_its_truth():
    hooks = pytest.importorskip("vesk_core._native_testhooks")
    for truth in (True, False):
        native._flag_scope_set(3, hooks.fake_numpy_bool(truth))
        assert native._flag_scope_get(3, SENTINEL) is truth
    native._flag_scope_del(3)


def test_scope_functions_do_not_leak():
    default = object()

    def cycle():
        native._flag_scope_set(0, None)
        native._flag_scope_get(0, default)
        native._flag_scope_has(0)
        native._flag_scope_del(0)
        native._flag_scope_get(0, default)
        for bad in (9, -1):
            try:
                native._flag_scope_get(bad, default)
            except (ValueError, OverflowError):
                pass

    assert_no_leak(cycle)
