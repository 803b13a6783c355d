"""An allocation failure injected at each allocation of a write in turn
(`_testcapi.set_nomemory`): the write raises MemoryError or succeeds, and
leaves the world whole, holding what it held or what the write gives when
nothing fails (fault_sweep.py). A read under the same sweep raises
MemoryError or reads what it reads without one, and changes nothing. The
interpreters without `_testcapi` skip the sweeps."""

import gc

import pytest

import vesk_core._native as native
from fault_sweep import FAULT, REFUSED, ROADS, HookFailure, Trial, judge, raised
from helpers import Dict


def still_armed(at):
    """Whether the injected failure is still to come: the write made fewer
    allocations than the one it was to fail at."""
    try:
        for _ in range(at + 100):
            object()
    except MemoryError:
        return True
    return False


def inject(testcapi, at):
    """Arms the failure of allocation `at`; `disarm` tells whether the
    write reached it."""
    reached = []

    def arm():
        testcapi.set_nomemory(at, at + 1)

    def disarm():
        try:
            reached.append(not still_armed(at))
        finally:
            testcapi.remove_mem_hooks()

    return arm, disarm, reached


def sweep(attempt):
    """`attempt(arm, disarm)` made with each allocation failing in turn,
    until one makes fewer; each answers what it found wrong."""
    testcapi = pytest.importorskip("_testcapi")
    problems, at = [], 0
    while True:
        arm, disarm, reached = inject(testcapi, at)
        found = attempt(arm, disarm)
        if not reached[0]:
            break
        if found:
            problems.append(f"allocation {at}: " + "\n    ".join(found))
        at += 1
    assert at > 0
    assert not problems, f"{len(problems)} of the {at} allocations:\n" + "\n".join(problems)


@pytest.mark.parametrize("road", list(ROADS))
def test_an_allocation_failing_at_each_point_of_a_write(road):
    make = ROADS[road]
    clean = Trial(make).run(FAULT.arm, FAULT.disarm)
    assert clean.error is None, clean.error

    def attempt(arm, disarm):
        trial = Trial(make).run(arm, disarm)
        found = judge(trial, clean)
        if trial.error is not None and not raised(trial.error, MemoryError):
            found.append(f"raised {trial.error!r}")
        return found

    sweep(attempt)


@pytest.mark.parametrize("road", list(REFUSED))
def test_an_allocation_failing_while_a_refused_write_is_taken_back(road):
    # Every node the write placed before its refusal gets its place back,
    # each member's path with its node's.
    make, error = REFUSED[road]
    clean = Trial(make).run()
    assert isinstance(clean.error, error) and clean.after == clean.before

    def attempt(arm, disarm):
        trial = Trial(make).run(arm, disarm)
        found = judge(trial, clean)
        if not (isinstance(trial.error, error) or raised(trial.error, MemoryError)):
            found.append(f"raised {trial.error!r}")
        return found

    sweep(attempt)


@pytest.mark.parametrize("road", list(ROADS))
def test_an_allocation_failing_while_a_write_is_taken_back(road):
    # A hook fails the write, then an allocation fails at each point of its
    # taking back in turn: the write raises the hook's failure, and no child
    # is stored twice or under a parent other than its own (a child whose
    # giving back failed keeps the place it had then, its path included).
    make = ROADS[road]
    Trial(make).run(FAULT.arm, FAULT.disarm)
    failing = [k for k in range(1, FAULT.calls + 1)
               if Trial(make).run(lambda: FAULT.arm(k), FAULT.disarm).error is not None]

    def attempt_at(k):
        def attempt(arm, disarm):
            trial = Trial(make).run(lambda: FAULT.arm(k, then=arm),
                                    lambda: (FAULT.disarm(), disarm()))
            found = trial.world.faults({id(v) for v in trial.world.met.values()})
            # (The allocations of raising the hook's failure come first.)
            if not (raised(trial.error, HookFailure, f"(call {k})") or
                    raised(trial.error, MemoryError)):
                found.append(f"raised {trial.error!r}")
            return [f"after hook call {k}: {f}" for f in found]
        return attempt

    # No collection starts inside a trial to meet the failure instead.
    gc.disable()
    try:
        for k in failing:
            sweep(attempt_at(k))
    finally:
        gc.enable()


def _ordered_dict():
    """Stored as z, a, b; read symbolically as b, a (the schema's constant
    keys), then z."""
    fields = [native.Field(native.ConstStrKey("b"), native.Int()),
              native.Field(native.ConstStrKey("a"), native.Any()),
              native.Field(native.StrKey(), native.Any())]
    spec = native.Dict(native.Schema(fields, allow_nonconst_keys=True))
    return Dict({"z": 0, "a": [1], "b": 2}, value_spec=spec)


class Schemas(list):
    """A list of schemas whose iteration is Python code."""

    def __iter__(self):
        return super().__iter__()


def _merge():
    first = native.Schema([native.Field("x", native.Int())])
    second = native.Schema([native.Field("y", native.Str()),
                            native.Field("x", native.Int(min_value=0))])
    given = Schemas([first, second])
    return lambda: native.Schema.merge(given), lambda: [s.to_json() for s in given]


def _read(name):
    """The read, and what it must leave as it was."""
    def make():
        d = _ordered_dict()
        return lambda: list(getattr(d, name)()), lambda: list(dict.items(d))
    return make


READS = {"sym_keys": _read("sym_keys"), "sym_values": _read("sym_values"),
         "sym_items": _read("sym_items"), "Schema.merge": _merge}


@pytest.mark.parametrize("read", list(READS))
def test_an_allocation_failing_at_each_point_of_a_read(read):
    run, look = READS[read]()
    clean, kept = run(), look()

    def attempt(arm, disarm):
        run, look = READS[read]()
        arm()
        try:
            got = run()
        except Exception as e:   # judged below
            got = e
        finally:
            disarm()
        found = [] if look() == kept else [f"changed {kept!r} into {look()!r}"]
        if isinstance(got, Exception):
            if not raised(got, MemoryError):
                found.append(f"raised {got!r}")
        elif got != clean:
            found.append(f"read {got!r}, not {clean!r}")
        return found

    sweep(attempt)
