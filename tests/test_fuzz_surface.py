"""A short run of the surface fuzzer (tools/fuzz_surface.py runs it for
minutes): hostile arguments, hooks that mutate or re-enter what is being
processed, and threads sharing objects must never crash the interpreter."""

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fuzz_cases


@settings(max_examples=250, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def test_hostile_calls_raise_or_answer(data):
    for _ in range(data.draw(st.integers(1, 3))):
        _, thunk = fuzz_cases.draw_call(data)
        thunk()


def test_threads_sharing_sets_and_formatted_containers():
    fuzz_cases.hammer(0, rounds=100)
