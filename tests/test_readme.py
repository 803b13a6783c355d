"""The README's examples run as written: its interpreter session as a
doctest in a fresh interpreter started as `tools/toolchain.sh run` starts one
(from the checkout, `python/` on PYTHONPATH, nothing installed); its C++
example compiles; its commands name targets and files that exist."""

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


def test_the_commands_name_what_exists():
    targets = re.search(r"^TARGETS := (.*)$", (ROOT / "Makefile").read_text(), re.M).group(1).split()
    commands = re.findall(r"^    ((?:make|tools/)\S*.*?)(?:\s+#.*)?$", README, re.M)
    commands += re.findall(r"`((?:make|tools/)[^`]*)`", README)
    assert len(commands) > 5
    for command in commands:
        words = command.split()
        if words[0] == "make":
            assert all(w in targets for w in words[1:] if "=" not in w), command
        for word in words:
            if re.match(r"^(tools|tests|bench|src|python)/", word):
                assert (ROOT / word.rstrip(".,")).exists(), command
