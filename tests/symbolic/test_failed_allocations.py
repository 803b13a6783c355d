"""An allocation failure injected at each allocation of a write in turn
(`_testcapi.set_nomemory`): the write raises MemoryError or succeeds, and
leaves the world whole, holding what it held or what the write gives when
nothing fails (fault_sweep.py). The interpreters without `_testcapi` skip
the sweep."""

import pytest

from fault_sweep import FAULT, ROADS, Trial, judge, raised

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


@pytest.mark.parametrize("road", list(ROADS))
def test_an_allocation_failing_at_each_point_of_a_write(road):
    testcapi = pytest.importorskip("_testcapi")
    make = ROADS[road]
    clean = Trial(make).run(FAULT.arm, FAULT.disarm)
    assert clean.error is None, clean.error
    problems, at = [], 0
    while True:
        arm, disarm, reached = inject(testcapi, at)
        trial = Trial(make).run(arm, disarm)
        if not reached[0]:
            break
        found = judge(trial, clean)
        if trial.error is not None and not raised(trial.error, MemoryError):
            found.append(f"raised {trial.error!r}")
        if found:
            problems.append(f"allocation {at}: " + "\n    ".join(found))
        at += 1
    assert at > 0
    assert not problems, f"{len(problems)} of the {at} allocations:\n" + "\n".join(problems)
