"""List and Tuple build, apply and error paths hold no reference beyond the call."""

import pytest

import vesk_core._native as native
from leaks import assert_no_leak
from vesk_core import KeyPath

Float, Int, List, Str, Tuple = native.Float, native.Int, native.List, native.Str, native.Tuple


def test_no_leak():
    def once():
        List(int, min_size=1, max_size=3, symbolic=True)
        Tuple([int, str]), Tuple(int, size=4), Tuple(int, max_size=2)
        List[int], Tuple[int, ...], Tuple[int, str]
        List(Float()).apply([1, 2.0, 3], inplace=False)
        Tuple([Float(), Str()]).apply((1, "a"), root_path=KeyPath("p"))
        repr(List(Tuple([Int()]))), str(Tuple(int))
        Tuple.from_json({"element_values": []})
        for bad in (lambda: List(int, size=1, min_size=1), lambda: Tuple(int, size=10**7),
                    lambda: List(Tuple([Int(max_value=0)])).apply([(0,), (1,)]),
                    lambda: Tuple([Int()]).apply((1, 2))):
            with pytest.raises(ValueError):
                bad()

    assert_no_leak(once)
