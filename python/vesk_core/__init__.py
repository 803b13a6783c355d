"""Native core of the vesk symbolic-programming library.

The compiled extension is ``vesk_core._native``; this package is its parent
and the home of the names that pickled values refer to.
"""

from vesk_core import _native
from vesk_core._native import KeyPath

__all__ = ["_native", "KeyPath"]
