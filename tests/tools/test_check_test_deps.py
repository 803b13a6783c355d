"""The test packages' check (tools/check_test_deps.py) passes the
interpreter running this suite and names each package one without them
lacks, pytest-xdist only where the suite runs in workers."""

import os
import subprocess
import sys

import pytest

from conftest import ROOT

CHECK = os.path.join(ROOT, "tools", "check_test_deps.py")


def run(*flags, workers):
    return subprocess.run([sys.executable, *flags, CHECK, "--workers", str(workers)],
                          capture_output=True, text=True)


def test_this_interpreter_has_what_its_suite_needs():
    done = run(workers=1)
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize("workers, named", [
    (2, "pytest, pytest-timeout, hypothesis, pytest-xdist"),
    (0, "pytest, pytest-timeout, hypothesis:"),
])
def test_an_interpreter_without_site_packages_is_told_what_it_lacks(workers, named):
    # -I -S: neither PYTHONPATH nor any site folder, as a python3.14t built
    # from source starts.
    done = run("-I", "-S", workers=workers)
    assert done.returncode == 1
    assert f"{sys.executable} cannot import {named}" in done.stderr


def test_a_required_free_threaded_interpreter_missing_is_the_one_reason_given():
    done = subprocess.run(
        ["make", "--no-print-directory", "-C", ROOT, "test-deps", "REQUIRE_FT=1",
         f"VESK_PYTHON={sys.executable}", "VESK_PYTHON_FT=/nonexistent/python3.14t"],
        capture_output=True, text=True)
    assert done.returncode != 0
    assert "CI requires one" in done.stderr
    assert "test packages missing" not in done.stderr
