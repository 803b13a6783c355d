"""The suite's own timeout, run on a small suite of its own: a test that runs
past it fails alone, one stuck where the timeout cannot reach it ends only
its xdist worker, and the tests after both still run."""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT

# The stuck test is ended by its worker's exit; without workers it would end
# the run this test starts, which then cannot report the tests after it.
pytest.importorskip("xdist", reason="the stuck test needs pytest-xdist's workers")

SUITE = """
import signal, time

def test_slow():
    time.sleep(60)

def test_stuck():
    # The timeout's signal never reaches the interpreter, as for a main
    # thread stuck in native code.
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGALRM])
    time.sleep(60)

def test_after():
    pass
"""


def test_a_slow_and_a_stuck_test_fail_alone_and_the_run_goes_on(tmp_path):
    (tmp_path / "test_small.py").write_text(textwrap.dedent(SUITE))
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST")}
    env["PYTHONPATH"] = os.pathsep.join([os.path.join(ROOT, "tests"), *filter(None, sys.path)])
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "conftest",
         "-c", os.path.join(ROOT, "pyproject.toml"), "--rootdir", str(tmp_path),
         "-o", "timeout=2", "-n", "1", str(tmp_path / "test_small.py")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=100)
    out = proc.stdout + proc.stderr
    assert proc.returncode == 1, out
    summary = proc.stdout.splitlines()[-1]
    assert "2 failed, 1 passed" in summary, out
    assert "test_slow - Failed: Timeout" in out, out
    assert "crashed while running 'test_small.py::test_stuck'" in out, out
