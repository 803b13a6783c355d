"""A short run of the surface fuzzer (tools/fuzz_surface.py runs it for
minutes): hostile arguments, hooks that mutate or re-enter what is being
processed, and threads sharing objects must never crash the interpreter."""

import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import ROOT

# The hostile cases are the fuzzer's own library, kept with the tool.
sys.path.insert(0, os.path.join(ROOT, "tools"))
import fuzz_cases  # noqa: E402
import fuzz_object_cases  # noqa: E402


@settings(max_examples=250, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def test_hostile_calls_raise_or_answer(data):
    for _ in range(data.draw(st.integers(1, 3))):
        _, thunk = fuzz_cases.draw_call(data)
        thunk()


def test_threads_sharing_sets_and_formatted_containers():
    fuzz_cases.hammer(0, rounds=100)


@settings(max_examples=120, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def test_hostile_object_record_and_kernel_calls(data):
    # Construction, attribute writes, node state, JSON and rendering of real
    # objects and records, blank and forged ones, with re-entrant hooks.
    op = data.draw(st.sampled_from(fuzz_object_cases.OBJECT_OPS))
    *_, fn = op(data)
    try:
        fn()
    except (Exception, RecursionError):
        pass


def test_threads_sharing_one_object_and_record():
    for seed in range(4):
        fuzz_object_cases.hammer_objects(seed, rounds=400)


def test_every_option_is_described():
    import fuzz_surface

    actions = fuzz_surface.options()._actions
    assert {a.dest for a in actions} >= {"minutes", "examples", "timeout", "out", "slot",
                                         "worker", "seed", "mode", "trace"}
    assert all(a.help and len(a.help) > 10 for a in actions)


def test_an_interpreter_without_its_own_build_is_refused(monkeypatch, tmp_path):
    import fuzz_surface
    import own_build

    monkeypatch.setattr(own_build, "PACKAGE_DIR", str(tmp_path))
    monkeypatch.setattr(sys, "argv", ["fuzz_surface.py", "--minutes", "0"])
    with pytest.raises(SystemExit) as info:
        fuzz_surface.main()
    message = str(info.value.code)
    assert message.startswith("fuzz_surface: no build for this interpreter") and "run `make " in message
