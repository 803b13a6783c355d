import copy
import re
import threading
from contextlib import suppress

import pytest

from leaks import assert_no_leak
from races import started

import vesk_core._native as native

ConstStrKey = native.ConstStrKey
StrKey = native.StrKey
ListKey = native.ListKey
TupleKey = native.TupleKey
KEY_CLASSES = [ConstStrKey, StrKey, ListKey, TupleKey]


def test_class_markers():
    for cls in KEY_CLASSES:
        assert cls.__vesk_formattable__ is True
        assert cls.__serialization_key__ == "vesk.typing." + cls.__name__
    assert ConstStrKey.__vesk_str_key__ is True
    assert not hasattr(StrKey, "__vesk_str_key__")


@pytest.mark.parametrize("key, probes", [
    (ConstStrKey("a"), {"a": True, ConstStrKey("a"): True, "b": False, 1: False}),
    (StrKey(), {"": True, "anything": True, 1: False, b"a": False}),
    (StrKey(""), {"x": True}),  # a false pattern means no regex
    (StrKey("a"), {"ab": True, "ba": False}),  # anchored at the start only
    (ListKey(2, 5), {2: True, 4: True, 5: False, 1: False, True: False, "2": False}),
    (ListKey(max_value=-1), {0: True, 10**6: True, -1: False, 2**64: True}),
    (ListKey(0, 10), {2**64: False}),  # integers beyond 64 bits are answered
    (ListKey(-5), {-(2**64): False}),
    (TupleKey(), {0: True, -7: True, "0": False, 2**100: True}),
    (TupleKey(1), {1: True, True: True, 0: False}),
    (TupleKey(3), {2**64 + 3: False}),
    (TupleKey(-1), {-(2**64) - 1: False}),
])
def test_match(key, probes):
    for probe, expected in probes.items():
        assert key.match(probe) is expected, probe


def test_const_str_key_behaves_as_its_text():
    key = ConstStrKey("a")
    assert key == "a" and "a" == key and not (key != "a")
    assert key == ConstStrKey("a") and key != ConstStrKey("b") and key != 1
    assert hash(key) == hash("a")
    assert {key: 1}["a"] == 1 and {"a": 1}[key] == 1
    assert key.is_const is True and key.const_text == "a" == key.text
    with pytest.raises(TypeError):
        key < ConstStrKey("b")

    class S(str):
        pass

    key = ConstStrKey(S("abc"))
    assert type(key.text) is str and key == "abc"


@pytest.mark.parametrize("text", ["\ud800", "x\udfffy"])
def test_const_str_key_with_lone_surrogate_compares(text):
    key = ConstStrKey(text)
    assert key == text and text == key
    assert ConstStrKey("a") != text and key != "x"
    assert key.match(text) is True
    assert hash(key) == hash(text)


@pytest.mark.parametrize("make, exc, message", [
    (lambda: ConstStrKey("a.b"), KeyError, "'.' cannot be used in key. Encountered: 'a.b'."),
    (lambda: ConstStrKey(1), TypeError, None),
    (lambda: StrKey("("), re.error, None),
    (lambda: ListKey("1"), TypeError, "min_value"),
    (lambda: ListKey(2**63), OverflowError, "min_value"),
    (lambda: ConstStrKey.from_json({}), KeyError, "text"),
    (lambda: StrKey.from_json([]), TypeError, None),
])
def test_constructor_and_from_json_refusals(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    if message is not None:
        assert message in str(info.value.args[0])


def test_constructor_conversions():
    assert StrKey(None).regex is None and StrKey(0).regex is None
    assert ListKey(max_value=-1).max_value is None

    class Idx:
        def __index__(self):
            return 4

    assert ListKey(Idx(), Idx()).max_value == 4 and TupleKey(Idx()).index == 4


@pytest.mark.parametrize("a, b, equal", [
    (StrKey(), StrKey(), True),
    (StrKey(), StrKey(".*"), False),
    (StrKey(), ".*", False),
    (ListKey(1, 2), ListKey(1, 2), True),
    (ListKey(), TupleKey(), False),
    (TupleKey(1), TupleKey(2), False),
    (TupleKey(0), 0, False),
])
def test_equality(a, b, equal):
    assert (a == b) is equal and (a != b) is (not equal)
    assert (b == a) is equal


def test_hashing_and_ordering():
    assert hash(StrKey()) == hash(".*") and hash(StrKey("a+")) == hash("a+")
    for key in (ListKey(), TupleKey()):
        with pytest.raises(TypeError):
            hash(key)
    for cls in KEY_CLASSES:
        with pytest.raises(TypeError):
            sorted([cls.from_json({"text": "a"}), cls.from_json({"text": "b"})])


@pytest.mark.parametrize("key, base, exc, tail", [
    (StrKey("a"), StrKey("b"), KeyError, " for keys are different."),
    (ListKey(), TupleKey(), TypeError, ": incompatible type."),
    (ListKey(0, 10), ListKey(1, 10), TypeError, ": min_value is smaller."),
    (ListKey(1, 11), ListKey(0, 10), TypeError, ": max_value is greater."),
    (TupleKey(2), TupleKey(3), KeyError, ": unmatched index."),
])
def test_extend_refusals_leave_the_key_unchanged(key, base, exc, tail):
    before = str(key)
    with pytest.raises(exc) as info:
        key.extend(base)
    assert info.value.args[0] == f"{key} cannot extend {base}{tail}"
    assert str(key) == before


@pytest.mark.parametrize("key, base, after", [
    (ConstStrKey("a"), "a", "a"),
    (StrKey("x"), StrKey("x"), "StrKey(regex='x')"),
    (ListKey(1), ListKey(0, 10), "ListKey(min_value=1, max_value=10)"),
    (ListKey(1, 5), ListKey(0, 10), "ListKey(min_value=1, max_value=5)"),
    (TupleKey(), TupleKey(3), "TupleKey(index=3)"),
    (TupleKey(2), TupleKey(), "TupleKey(index=2)"),
])
def test_extend_returns_self_with_the_merged_bound(key, base, after):
    assert key.extend(base) is key
    assert str(key) == after
    assert key.extend(key) is key


@pytest.mark.parametrize("key, text, json", [
    (ConstStrKey("a"), "a", {"_type": "vesk.typing.ConstStrKey", "text": "a"}),
    (StrKey(), "StrKey()", {"_type": "vesk.typing.StrKey"}),
    (StrKey("a+"), "StrKey(regex='a+')", {"_type": "vesk.typing.StrKey", "regex": "a+"}),
    (ListKey(3), "ListKey(min_value=3, max_value=None)", {"_type": "vesk.typing.ListKey", "min_value": 3}),
    (ListKey(0, 4), "ListKey(min_value=0, max_value=4)", {"_type": "vesk.typing.ListKey", "min_value": 0, "max_value": 4}),
    (TupleKey(), "TupleKey(index=None)", {"_type": "vesk.typing.TupleKey"}),
    (TupleKey(-2), "TupleKey(index=-2)", {"_type": "vesk.typing.TupleKey", "index": -2}),
])
def test_text_form_and_json_round_trip(key, text, json):
    assert str(key) == key.format() == key.format(0, verbose=False) == text
    assert repr(key).startswith("<vesk_core._native.")
    out = key.to_json(ignored=1)
    assert out == json and list(out)[0] == "_type"
    back = type(key).from_json(dict(json, _type="not read"), extra=True)
    assert type(back) is type(key) and str(back) == str(key) and back == key


def test_from_json_reads_as_stored():
    key = ListKey.from_json({"max_value": -1})
    assert str(key) == "ListKey(min_value=0, max_value=-1)"
    assert not any(key.match(i) for i in range(-3, 3))


def test_copies_and_from_json_build_the_native_class():
    class SubList(ListKey):
        pass

    sub = SubList(1, 2)
    assert type(sub) is SubList
    for made in (copy.copy(sub), copy.deepcopy(sub), sub.__deepcopy__(None)):
        assert type(made) is ListKey and made == sub and made is not sub
    assert type(SubList.from_json({})) is ListKey
    # A copy does not share the bound gained by extension.
    open_key = ListKey(0)
    clone = copy.copy(open_key)
    open_key.extend(ListKey(0, 3))
    assert clone.max_value is None


ROUNDS = 150
THREADS = 8


@pytest.mark.parametrize("kind", ["list", "tuple"])
def test_concurrent_extend_never_breaks_a_granted_extension(kind):
    # A granted extension must stay true under the final bound; refusals and busy borrows are fine.
    for _ in range(ROUNDS):
        if kind == "list":
            key = ListKey(0)
            bases = [ListKey(0, 10 + i) for i in range(THREADS)]
        else:
            key = TupleKey()
            bases = [TupleKey(i) for i in range(THREADS)]
        outcomes = [None] * THREADS
        barrier = threading.Barrier(THREADS)

        def run(i):
            barrier.wait()
            try:
                outcomes[i] = ("ok", key.extend(bases[i]))
            except (TypeError, KeyError) as e:
                outcomes[i] = ("refused", str(e))
            except RuntimeError as e:
                outcomes[i] = ("busy", str(e))

        threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
        with started(threads, barrier):
            pass
        granted = [i for i, o in enumerate(outcomes) if o[0] == "ok"]
        assert granted, outcomes
        for i, (status, detail) in enumerate(outcomes):
            if status == "busy":
                assert detail in ("Already borrowed", "Already mutably borrowed")
            elif status == "ok":
                assert detail is key
        if kind == "list":
            final = key.max_value
            assert final == min(10 + i for i in granted)
            for i, (status, _) in enumerate(outcomes):
                if status == "refused":
                    assert 10 + i < final
        else:
            # Distinct indices: exactly one extension can be granted.
            assert granted == [key.index]


def test_no_reference_leaks():
    keys = [ConstStrKey("a"), StrKey("a+"), ListKey(1, 5), TupleKey(2)]

    def exercise():
        for key in keys:
            key.match(3), key.match("ab"), key.match(2**70)
            str(key), key.to_json(), type(key).from_json(key.to_json()), copy.copy(key)
            key == key, key == 1
            with suppress(KeyError, TypeError):
                key.extend(TupleKey(9))
        ListKey(0).extend(ListKey(0, 3)), TupleKey().extend(TupleKey(1))
        for bad in ({}, {"min_value": None}, []):
            with suppress(KeyError, TypeError):
                ConstStrKey.from_json(bad)

    assert_no_leak(exercise)
