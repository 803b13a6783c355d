"""The wheel of the interpreter running the suite installs and imports.

pip builds it offline from the checkout, as `make wheel` does (its build
folder under build/wheel/ is kept, so only a first run compiles); it holds
the package and the one `_native` of this interpreter, never the test-only
extensions; installed into a fresh folder, it imports with this interpreter
with nothing of the checkout on its path. Wheels are made for the release
and the free-threaded interpreters, so the debug suite skips."""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import zipfile

import pytest

from conftest import PYTHON_DIR, ROOT

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
PIP = ["-m", "pip", "--disable-pip-version-check", "--no-cache-dir"]

pytestmark = [
    pytest.mark.skipif(hasattr(sys, "gettotalrefcount"),
                       reason="no wheel is made for the debug interpreter"),
    pytest.mark.skipif(importlib.util.find_spec("pip") is None,
                       reason=f"pip is not installed for {sys.executable} "
                              "(the toolchain's python3-pip provides it)"),
    pytest.mark.skipif(importlib.util.find_spec("scikit_build_core") is None,
                       reason=f"scikit-build-core is not installed for {sys.executable}"),
    # A first run compiles the module once more, for the wheel.
    pytest.mark.timeout(900),
]


def run(args, cwd, env):
    proc = subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=840)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def tool_env():
    """pip and scikit-build-core load from where this interpreter finds them
    (the root's Debian folder, for the free-threaded one); the checkout's
    package is not on the path."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p and p != PYTHON_DIR)
    return env


def test_the_wheel_installs_and_imports(tmp_path):
    run([*PIP, "wheel", "--no-build-isolation", "--no-deps", "--no-index", "--quiet",
         "--wheel-dir", str(tmp_path / "dist"), ROOT], ROOT, tool_env())
    (wheel,) = (tmp_path / "dist").iterdir()
    abi = "cp314t" if FREE_THREADED else "cp314"
    assert wheel.name.startswith(f"vesk_core-0.0.0-cp314-{abi}-")

    with zipfile.ZipFile(wheel) as zf:
        package = sorted(n for n in zf.namelist() if n.startswith("vesk_core/"))
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    assert package == ["vesk_core/__init__.py", f"vesk_core/_native{suffix}"]

    target = tmp_path / "site"
    run([*PIP, "install", "--no-deps", "--no-index", "--quiet", "--root-user-action=ignore",
         "--target", str(target), str(wheel)], tmp_path, tool_env())
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = str(target)
    out = run(["-s", "-c", """if True:
        import importlib.util, sys
        import vesk_core._native as native
        from vesk_core import KeyPath
        print(native.__file__)
        print(native.abi_version(), KeyPath.parse("a.b[1]").keys)
        print(importlib.util.find_spec("vesk_core._typing_seams"), sys._is_gil_enabled())
        """], tmp_path, env)
    where, answers, rest = out.splitlines()
    assert where == str(target / "vesk_core" / f"_native{suffix}")
    assert answers == "(0, 0) ['a', 'b', 1]"
    # The module declares it needs no global lock: importing it keeps it off.
    assert rest == f"None {not FREE_THREADED}"
