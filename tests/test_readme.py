"""The README's examples run as written: its interpreter session as a
doctest in a fresh interpreter started as `tools/toolchain.sh run` starts one
(from the checkout, `python/` on PYTHONPATH, nothing installed); its C++
example compiles."""

import os
import pathlib
import re
import subprocess
import sys

from compile_check import compile_snippets

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()


def test_the_interpreter_session_runs_as_written():
    assert README.count(">>> ") > 20
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = str(ROOT / "python")
    proc = subprocess.run(
        [sys.executable, "-m", "doctest", "README.md"],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_the_cpp_example_compiles():
    blocks = re.findall(r"```cpp\n(.*?)```", README, re.S)
    assert blocks
    prelude = '#include "py/args.hpp"\n#include "py/type.hpp"\nnamespace py = vesk::py;\n'
    for ok, output in compile_snippets([prelude + block for block in blocks]):
        assert ok, output
