import faulthandler
import os
import sys
import threading
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(_HERE)
PYTHON_DIR = os.path.join(ROOT, "python")
SUPPORT_DIR = os.path.join(_HERE, "support")

for path in (SUPPORT_DIR, PYTHON_DIR):
    if path not in sys.path:
        sys.path.insert(0, path)

# The tests sit in folders that mirror src/; the helpers each subsystem's
# tests share stay at the top of its folder (tests/typing/seams.py,
# tests/symbolic/helpers.py, ...), importable from every folder below it.
for room in ("typing", "symbolic", "kernel"):
    path = os.path.join(_HERE, room)
    if path not in sys.path:
        sys.path.append(path)

# CI runs the property tests on a fixed sequence of examples, so a run is
# reproducible and a landing is never decided by a lucky draw; local runs
# keep exploring new examples.
from hypothesis import settings

settings.register_profile("ci", derandomize=True, deadline=None)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


import pytest  # noqa: E402

import own_build  # noqa: E402


def pytest_configure(config):
    """Refuses a run whose interpreter has no build of its own (own_build.py)."""
    message = own_build.refusal()
    if message:
        pytest.exit(message, returncode=pytest.ExitCode.USAGE_ERROR)
    # The terminal's stderr, kept while output is not captured: a dump made
    # during a test must not land in that test's capture, which dies with
    # the process.
    _TERMINAL.append(os.dup(2))


# The per-test timeout (pyproject.toml) raises in the test's main thread, so
# a test that runs too long fails alone and the run goes on. A test whose
# main thread is stuck in native code never returns to the interpreter to
# take that exception: past twice its timeout, a watchdog outside Python
# dumps every thread's stack and ends the process. Under xdist that is one
# worker, which the run reports as crashed in that test and replaces.
_TERMINAL = []


def _timeout(item):
    """The test's own timeout: its marker's, else the command line's or the
    configuration's (0: none)."""
    marker = item.get_closest_marker("timeout")
    if marker and (marker.args or "timeout" in marker.kwargs):
        return float(marker.args[0] if marker.args else marker.kwargs["timeout"])
    return float(item.config.getoption("timeout", None) or item.config.getini("timeout") or 0)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item):
    limit = _timeout(item)
    if limit > 0 and _TERMINAL:
        faulthandler.dump_traceback_later(2 * limit, exit=True, file=_TERMINAL[0])
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="session", autouse=True)
def typing_bridge():
    """The stand-in typing and symbolic bridges, installed once for the whole session, as
    the package does right after import. States without it are tested in
    fresh interpreters (fresh.py)."""
    import vesk.symbolic
    import vesk.typing

    vesk.typing.install()
    vesk.symbolic.install()


# Threads a test left running, kept so the run can end even if they never do.
_LEFT_RUNNING = []


@pytest.fixture(autouse=True)
def no_thread_left_running():
    """Fails a test that returns (or fails) while threads it started still
    run: they would go on changing shared objects under the next test, and
    a thread that never stops holds the interpreter's exit forever."""
    before = set(threading.enumerate())
    yield
    started = [t for t in threading.enumerate() if t not in before]
    deadline = time.monotonic() + 10
    for t in started:
        t.join(max(0.0, deadline - time.monotonic()))
    left = [t for t in started if t.is_alive()]
    if left:
        _LEFT_RUNNING.extend(left)
        pytest.fail(f"the test left {len(left)} thread(s) running: {', '.join(t.name for t in left)}")


def pytest_unconfigure(config):
    """The run has reported; threads left running would hang the exit, so
    the process ends here, as failed."""
    if any(t.is_alive() for t in _LEFT_RUNNING):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(1)
