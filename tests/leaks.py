"""Reference-leak checks for native code.

Under the debug interpreter (python3.14d) `sys.gettotalrefcount` counts every
live reference; a native path that leaks one per call shows up as steady
growth over repeated calls. Under the release interpreter the check is
skipped.
"""

import gc
import sys

import pytest

HAVE_REFCOUNT = hasattr(sys, "gettotalrefcount")


def assert_no_leak(fn, rounds=5, calls=200, slack=10):
    """Calls `fn` `calls` times per round; fails when the total reference
    count grows in every round after the first (warm-up fills caches)."""
    if not HAVE_REFCOUNT:
        pytest.skip("needs the debug interpreter")
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(calls):
            fn()
        gc.collect()
        growth.append(sys.gettotalrefcount() - before)
    steady = growth[1:]
    assert min(steady) <= slack, f"references grow per round: {growth}"
