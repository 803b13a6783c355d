"""A shared record in a native State: counted by the cycle collector only
while one holder has it alone, so a cycle through it is collected once it is
no longer shared, and never counted twice while it is."""

import gc
import weakref

import pytest

hooks = pytest.importorskip("vesk_core._native_testhooks")
RecordHolder = hooks.RecordHolder


def _holder_in_a_cycle(nest=False):
    """A holder whose record reaches back to it: directly, or through a
    nested record shared from another holder."""
    back = []
    if nest:
        inner = RecordHolder([back])
        holder = RecordHolder([], inner)
        del inner
    else:
        holder = RecordHolder([back])
    back.append(holder)
    return holder


@pytest.mark.parametrize("nest", [False, True], ids=["own record", "nested record"])
def test_a_cycle_through_a_sole_record_is_collected(nest):
    ref = weakref.ref(_holder_in_a_cycle(nest))
    gc.collect()
    assert ref() is None


def test_a_shared_record_keeps_its_objects_until_one_holder_is_left():
    holder = _holder_in_a_cycle()
    twin = holder.twin()
    assert holder.holders() == twin.holders() == 2
    assert twin.items()[0][0] is holder
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    # The twin still reaches the record, and through it the holder.
    assert ref() is twin.items()[0][0]
    del twin
    gc.collect()
    assert ref() is None


def _shared_and_sole_cycles():
    _holder_in_a_cycle()
    _holder_in_a_cycle(nest=True)
    holder = _holder_in_a_cycle()
    twin = holder.twin()
    del holder, twin


def test_records_leak_nothing():
    from leaks import assert_no_leak

    assert_no_leak(_shared_and_sole_cycles, calls=20)
