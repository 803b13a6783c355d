"""Whether the running interpreter has a development build of its own.

A debug interpreter also loads the release build's file suffix, so after a
plain `make` it would silently run the release build (and leak checks would
count nothing in native code); the tests and the fuzzer refuse to start
instead. Imports nothing beyond the standard library, so the fuzzer can ask
before it loads anything else."""

import importlib.machinery
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_DIR = os.path.join(ROOT, "python", "vesk_core")

# What a development build puts beside the package for each interpreter.
EXTENSIONS = ("_native", "_native_testhooks", "_typing_seams")


def make_target():
    """The make target that builds for the running interpreter."""
    if hasattr(sys, "gettotalrefcount"):
        return "build-debug"
    if not getattr(sys, "_is_gil_enabled", lambda: True)():
        return "build-ft"
    return "build"


def refusal():
    """None when every extension is built for this interpreter, else the
    message that says what is missing and how to build it."""
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    missing = [n + suffix for n in EXTENSIONS
               if not os.path.exists(os.path.join(PACKAGE_DIR, n + suffix))]
    if not missing:
        return None
    return (f"no build for this interpreter ({sys.executable}): python/vesk_core/ lacks "
            f"{', '.join(missing)}; run `make {make_target()}` (or `make test`) first")
