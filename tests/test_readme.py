"""The README's examples run as written: its interpreter sessions as one
doctest in a fresh interpreter started as `tools/toolchain.sh run` starts one
(from the checkout, `python/` on PYTHONPATH, nothing installed), every
example in it included, and the make targets it names exist. LAYOUT.md's
C++ example compiles, and the files and folders it names exist."""

import doctest
import glob
import os
import pathlib
import re
import subprocess
import sys

import pytest

from compile_check import compile_snippets

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
LAYOUT = (ROOT / "LAYOUT.md").read_text()


def test_the_interpreter_sessions_run_as_written():
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = str(ROOT / "python")
    proc = subprocess.run(
        [sys.executable, "-m", "doctest", "-v", "README.md"],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # Every `>>>` line of the file is one example the doctest ran.
    examples = doctest.DocTestParser().get_examples(README)
    assert len(examples) == len(re.findall(r"^ *>>> ", README, re.M)) > 60
    assert f"\n{len(examples)} passed." in proc.stdout


@pytest.mark.parametrize("layer", [
    "Key paths and formatting", "Value specs and schemas", "Symbolic dicts and lists",
    "Objects and records", "JSON", "Fast rendering",
])
def test_each_layer_has_a_session(layer):
    section = README.split(f"\n### {layer}\n", 1)[1].split("\n#", 1)[0]
    assert section.count(">>> ") >= 4


def test_the_make_targets_named_exist():
    rules = re.findall(r"^([-\w][-\w ]*):(?!=)", (ROOT / "Makefile").read_text(), re.M)
    targets = {t for rule in rules for t in rule.split()}
    named = set(re.findall(r"`make ([a-z][-a-z]*)", README))
    named |= set(re.findall(r"^ {4}make ([a-z][-a-z]*)", README, re.M))
    assert {"test", "bench", "wheel", "build-ft"} <= named
    assert named <= targets


def test_the_cpp_example_compiles():
    blocks = re.findall(r"```cpp\n(.*?)```", LAYOUT, re.S)
    assert blocks
    prelude = '#include "py/args.hpp"\n#include "py/type.hpp"\nnamespace py = vesk::py;\n'
    for ok, output in compile_snippets([prelude + block for block in blocks]):
        assert ok, output


def test_the_layout_names_what_exists():
    paths = set(re.findall(r"`((?:src|tests|tools|bench|python)/[^`\s]*)`", LAYOUT))
    assert len(paths) > 20
    assert not [p for p in paths if not glob.glob(str(ROOT / p))]
    # Files named on their own (`dict_type.*`, `walk.cpp`) exist somewhere in
    # the tree, so a renamed or removed file shows here.
    tree = [p for p in ROOT.rglob("*") if "build" not in p.relative_to(ROOT).parts]
    names = {p.name for p in tree}
    stems = {p.name.split(".")[0] for p in tree}
    named = set(re.findall(r"`([A-Za-z_]\w*)\.(\*|cpp|hpp|py)`", LAYOUT))
    assert len(named) > 100
    assert not [f"{s}.{e}" for s, e in named if (s not in stems if e == "*" else f"{s}.{e}" not in names)]


def test_the_layout_names_every_room():
    # Each folder of src/ is a room the layout says it holds and may include.
    rooms = {f"{p.relative_to(ROOT).as_posix()}/" for p in (ROOT / "src").rglob("*") if p.is_dir()}
    section = LAYOUT.split("## Rooms and what they may include", 1)[1].split("\n## ", 1)[0]
    named = set(re.findall(r"`(src/[\w/]+/)`", section))
    assert sorted(rooms - named) == []
