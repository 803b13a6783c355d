"""A short run of the surface fuzzer (tools/fuzz_surface.py runs it for
minutes): hostile arguments, hooks that mutate or re-enter what is being
processed, and threads sharing objects must never crash the interpreter."""

import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import ROOT

# The hostile cases are the fuzzer's own library, kept with the tool.
sys.path.insert(0, os.path.join(ROOT, "tools"))
import fuzz_cases  # noqa: E402
import fuzz_object_cases  # noqa: E402
import vesk_core._native as native  # noqa: E402


class Watched:
    """Hypothesis data that notes a draw made once the call has been drawn: the leak
    mode runs a call's thunk many times, and a draw inside it counts as a leak."""

    def __init__(self, data):
        self.data, self.drawn, self.late = data, False, []

    def draw(self, strategy, label=None):
        if self.drawn:
            self.late.append(strategy)
        return self.data.draw(strategy, label)


@settings(max_examples=250, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def test_hostile_calls_raise_or_answer(data):
    for _ in range(data.draw(st.integers(1, 3))):
        watched = Watched(data)
        desc, thunk = fuzz_cases.draw_call(watched, fuzz_object_cases.SURFACE_OPS)
        watched.drawn = True
        thunk()
        assert not watched.late, desc


def test_threads_sharing_sets_and_formatted_containers():
    fuzz_cases.hammer(0, rounds=100)
    fuzz_object_cases.hammer_objects(0, rounds=33)


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


def test_the_shared_object_may_be_left_constructed_or_blank():
    oc, _, _ = fuzz_object_cases._pkg()
    cls = oc.object_class("Shared", [("a", native.Any(default=None)),
                                     ("b", native.Int(default=0))])
    obj = cls(a=1)
    fuzz_object_cases.check_end_state(obj)
    obj.field_dict()["b"] = "x"  # what no serial order of writes leaves
    with pytest.raises(AssertionError):
        fuzz_object_cases.check_end_state(obj)
    with pytest.raises(TypeError):
        cls.__init__(obj, b="y")  # a failed re-init leaves it blank
    assert obj.field_dict() is None
    fuzz_object_cases.check_end_state(obj)


def test_workers_that_cannot_start_are_recorded_and_end_the_run(monkeypatch, tmp_path):
    import fuzz_surface

    started = []

    def fails_at_import(cmd, **kw):
        started.append(cmd)
        return subprocess.CompletedProcess(cmd, 1, "", "ModuleNotFoundError: No module named 'x'")

    monkeypatch.setattr(fuzz_surface.subprocess, "run", fails_at_import)
    monkeypatch.setattr(sys, "argv", ["fuzz_surface.py", "--minutes", "1", "--out", str(tmp_path)])
    # an earlier worker's trace is no input of these
    (tmp_path / f"trace-{os.getpid()}-0.txt").write_text("an earlier worker's call\n")
    assert fuzz_surface.parent(fuzz_surface.options().parse_args()) == 1
    assert len(started) == 3  # every later worker would fail the same way
    inputs = sorted(tmp_path.glob("crash-*.input"))
    assert len(inputs) == 3 and all("before its first call" in p.read_text() for p in inputs)
    assert all("No module named" in p.read_text() for p in tmp_path.glob("crash-*.stderr"))
