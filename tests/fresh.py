"""Running code in a fresh interpreter.

Once-set cells never reset within a process, so states such as "bridge not
installed" or "first install wins" are checked in a subprocess.
"""

import os
import subprocess
import sys
import textwrap

from conftest import PYTHON_DIR, SUPPORT_DIR


# Code a fresh interpreter may start with (`run_fresh(code, prelude=FAILS)`):
# `fails(call, message)` checks that `call` raises RuntimeError with exactly
# `message`, as an uninstalled bridge does.
FAILS = """
def fails(call, message):
    try:
        call()
    except RuntimeError as e:
        assert str(e) == message, e
    else:
        raise AssertionError("no error")
"""


def run_fresh(code, check=True, prelude=""):
    """Runs `prelude` then `code` (each dedented) under the current
    interpreter in a new process and returns the CompletedProcess. With
    `check`, a non-zero exit fails with stderr."""
    env = dict(os.environ)
    # The child sees every folder the parent imports from (pytest and
    # hypothesis may come from a folder the interpreter does not know of
    # itself, as on the free-threaded build), the stand-in package first.
    env["PYTHONPATH"] = os.pathsep.join([SUPPORT_DIR, PYTHON_DIR, *(p for p in sys.path if p)])
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(prelude) + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"fresh interpreter failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
        )
    return proc
