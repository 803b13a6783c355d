"""List and Tuple construction, apply and error paths hold no reference
beyond the call (checked under the debug interpreter)."""

import pytest

import vesk_core._native as native
from leaks import assert_no_leak
from vesk_core import KeyPath

Float, Int, List, Str, Tuple = native.Float, native.Int, native.List, native.Str, native.Tuple


def _raises(fn, exc):
    def run():
        with pytest.raises(exc):
            fn()

    return run


@pytest.mark.parametrize(
    "name, fn",
    [
        ("list build", lambda: List(int, min_size=1, max_size=3, symbolic=True)),
        ("tuple build", lambda: (Tuple([int, str]), Tuple(int, size=4), Tuple(int, max_size=2))),
        ("type args", lambda: (List[int], Tuple[int, ...], Tuple[int, str])),
        ("list apply with write-back", lambda: List(Float()).apply([1, 2.0, 3], inplace=False)),
        ("tuple apply", lambda: Tuple([Float(), Str()]).apply((1, "a"), root_path=KeyPath("p"))),
        ("text form", lambda: (repr(List(Tuple([Int()]))), str(Tuple(int)))),
        ("json", lambda: Tuple.from_json({"element_values": []})),
        ("size conflict", _raises(lambda: List(int, size=1, min_size=1), ValueError)),
        ("fixed limit", _raises(lambda: Tuple(int, size=10**7), ValueError)),
        ("nested element error",
         _raises(lambda: List(Tuple([Int(max_value=0)])).apply([(0,), (1,)]), ValueError)),
        ("tuple length error", _raises(lambda: Tuple([Int()]).apply((1, 2)), ValueError)),
    ],
)
def test_no_leak(name, fn):
    assert_no_leak(fn)
