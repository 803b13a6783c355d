import copy
import pickle

import pytest

import vesk_core._native as native
from fresh import run_fresh

MissingValue = native.MissingValue
MISSING = native.missing_value_singleton()


def test_singleton_and_instances_are_equal_and_hash_alike():
    assert native.missing_value_singleton() is MISSING
    a, b = MissingValue(), MissingValue.__new__(MissingValue)
    assert a is not b and a is not MISSING
    assert a == b == MISSING
    assert hash(a) == hash(b) == hash(MISSING) == hash("vesk.topology._missingMissingValue")
    assert len({a, b, MISSING}) == 1
    with pytest.raises(TypeError):
        MISSING < MissingValue()


class EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


# The missing value answers first and decides by type alone.
@pytest.mark.parametrize("other", [0, "MISSING_VALUE", object(), MissingValue, EqualsEverything()])
def test_equality_is_by_exact_type_only(other):
    assert (MISSING == other) is False
    assert (MISSING != other) is True


def test_text_forms():
    assert str(MISSING) == repr(MISSING) == MISSING.format() == "MISSING_VALUE"
    assert MISSING.format(1, compact=True, root_indent=4, markdown=True) == "MISSING_VALUE"


@pytest.mark.parametrize(
    "duplicate",
    [
        copy.copy, copy.deepcopy, lambda v: pickle.loads(pickle.dumps(v)),
        lambda v: MissingValue.from_json(v.to_json()),
    ],
)
def test_copies_are_new_equal_instances(duplicate):
    dup = duplicate(MISSING)
    assert type(dup) is MissingValue
    assert dup is not MISSING and dup == MISSING


def test_json_form():
    form = {"_type": "vesk.topology._missing.MissingValue"}
    assert MISSING.to_json(compact=True, unknown=1) == form and MISSING.to_json() is not form
    for value in (None, {"_type": "vesk.typing.Int"}, 3):
        assert MissingValue.from_json(value, allow_partial=True) == MISSING
    assert MissingValue.from_json(_json_value=None) == MISSING


@pytest.mark.parametrize(
    "call",
    [
        lambda: MissingValue(1), lambda: MissingValue(x=1), lambda: MISSING.__deepcopy__(),
        lambda: MissingValue.from_json(), lambda: MissingValue.from_json(None, _json_value=None),
        lambda: MISSING.to_json(1), lambda: MissingValue.__copy__(object()),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_class_surface():
    assert MissingValue.__module__ == "vesk.topology._missing"
    assert MissingValue.__serialization_key__ == "vesk.topology._missing.MissingValue"
    assert MissingValue.__vesk_formattable__ is True
    assert MISSING.__reduce__() == (MissingValue, ())
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (MissingValue,), {})
    with pytest.raises(TypeError):
        MissingValue.__vesk_formattable__ = False


def test_concurrent_first_use_agrees_on_one_instance_and_one_hash():
    run_fresh(
        """
        import threading
        import vesk_core._native as native
        start = threading.Barrier(8)
        seen = []
        def grab():
            start.wait()
            seen.append((native.missing_value_singleton(), hash(native.MissingValue())))
        threads = [threading.Thread(target=grab) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len({id(s) for s, _ in seen}) == 1, seen
        assert len({h for _, h in seen}) == 1, seen
        """
    )


def test_operations_do_not_leak():
    from leaks import assert_no_leak

    def cycle():
        value = MissingValue()
        copy.deepcopy(value), value.to_json(), MissingValue.from_json(None, x=1)
        value.format(compact=True), value == MISSING, hash(value)
        try:
            MissingValue(x=1)
        except TypeError:
            pass

    assert_no_leak(cycle)
