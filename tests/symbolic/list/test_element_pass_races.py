"""A spec's element pass over a symbolic list reads each member by index and
writes the applied one back at its index, with the element's transform
running in between. Another thread's write paused into that gap must end as
one of the two orders, or fail at once with the borrow error having changed
nothing: never a write-back over another member, a member applied twice or
one never applied."""

import pytest

import vesk_core._native as native
from helpers import List
from paused_pairs import REFUSED, Pausing, race


class PlainList(native.SymList):
    """A symbolic list whose class declares no custom typing."""

    def _notify_field_updates(self, updates):
        pass


# The other thread's write, and the list each order gives for
# `c = [101, 102]` under the pass `x - 100` that pauses on 101:
# (pass then write, write then pass).
WRITES = {
    "insert": (lambda c: c.insert(0, 7), [7, 1, 2], [-93, 1, 2]),
    "pop": (lambda c: c.pop(0), [2], [2]),
    "replace": (lambda c: c.__setitem__(0, 50), [50, 2], [-50, 2]),
    "append": (lambda c: c.append(103), [1, 2, 103], [1, 2, 3]),
}


def read(c):
    # Reads go on while the pass holds the list: its first member is being
    # applied, its second not yet.
    assert (list(c), c[1]) == ([101, 102], 102)


WRITES["read"] = (read, [1, 2], [1, 2])


@pytest.mark.parametrize("cls", [List, PlainList])
@pytest.mark.parametrize("write", sorted(WRITES))
def test_a_write_meeting_a_foreign_pass_is_one_order_or_refused(cls, write):
    c = cls([101, 102], value_spec=native.List(native.Int(max_value=1000)))
    minus = Pausing(101, -100)
    foreign = native.List(native.Int().set_transform(minus))
    op, pass_first, write_first = WRITES[write]
    # A flag the list does not have yet makes a custom-typed list proceed to
    # the pass.
    outcomes = race(lambda: foreign.apply(c, allow_partial=True), lambda: op(c), minus)
    assert outcomes["a"] == "ok"
    applied = minus.calls["a"]
    if outcomes["b"] == "ok":
        assert list(c) in (pass_first, write_first)
    else:
        # Refused at once, having changed nothing: the pass ran alone.
        assert outcomes["b"] == REFUSED and list(c) == [1, 2]
        assert applied == [101, 102]
    # Every member the pass met was applied exactly once.
    assert sorted(applied) == sorted(set(applied))


@pytest.mark.parametrize("cls", [List, PlainList])
@pytest.mark.parametrize("auto_wrap", [True, False])
def test_an_insertion_meeting_a_construction_is_one_order_or_refused(cls, auto_wrap):
    lst = cls([101])
    plus = Pausing(5, 1000)
    spec = native.List(native.Int().set_transform(plus), auto_wrap=auto_wrap)
    outcomes = race(lambda: lst.__init__([5], value_spec=spec), lambda: lst.insert(0, 7), plus)
    assert outcomes["a"] == "ok"
    if outcomes["b"] == "ok":
        # Either order applies every member once: the held one, the new one
        # and the inserted one (by the spec, or by the element it binds).
        assert sorted(lst) == [1005, 1007, 1101]
    else:
        assert outcomes["b"] == REFUSED
        assert list(lst) == [1101, 1005] and sorted(plus.calls["a"]) == [5, 101]


def test_a_foreign_pass_never_starts_under_another_threads_write():
    """A write paused in its element's transform holds the list: a pass that
    would write members back around it fails at once, having changed
    nothing."""
    c = PlainList([1, 2])
    slow = Pausing(30)
    c._value_spec = native.List(native.Int().set_transform(slow))
    tenfold = native.List(native.Int().set_transform(lambda x: x * 10))
    outcomes = race(lambda: c.__setitem__(1, 30), lambda: tenfold.apply(c), slow)
    assert outcomes["a"] == "ok"
    if outcomes["b"] == "ok":
        assert list(c) in ([10, 30], [10, 300])
    else:
        assert outcomes["b"] == REFUSED and list(c) == [1, 30]
