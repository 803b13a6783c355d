"""Compiling C++ snippets against the binding layer, for checks that happen
at compile time. Syntax-only runs of the compiler the build uses (`CXX`, else
g++), in parallel."""

import os
import pathlib
import shutil
import subprocess
import sysconfig
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def compiler():
    cxx = os.environ.get("CXX") or shutil.which("g++")
    if not cxx:
        pytest.skip("no C++ compiler")
    return cxx


def compile_snippets(snippets, flags=()):
    """Compiles each snippet (a str of C++) and returns, in order, (ok, output).
    `flags` are added to every command line (CI builds with `-Werror`)."""
    cxx = compiler()
    include = sysconfig.get_paths()["include"]
    with tempfile.TemporaryDirectory() as tmp:
        procs = []
        for i, code in enumerate(snippets):
            path = pathlib.Path(tmp, f"snippet{i}.cpp")
            path.write_text(code)
            cmd = [cxx, "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra",
                   *flags, f"-I{ROOT / 'src'}", f"-I{include}", str(path)]
            procs.append(subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
        outputs = [p.communicate(timeout=300)[0] for p in procs]
        return [(p.returncode == 0, out) for p, out in zip(procs, outputs)]
