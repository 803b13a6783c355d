"""`apply` of a constrained scalar spec against the hand-written Python
check of the same constraint, on values that pass.

Rows: `Int(min_value=0)`, `Str(regex=...)` and `Enum([...])`, each applied
to a value of exactly its type, against `isinstance` plus the comparison,
`re.match` or containment test in a Python function. The ratio is native
time over Python time. Target: below 1.0 (the native apply of an exact-type
leaf is faster than the Python check).
"""

import os
import re
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

from vesk_core import _native  # noqa: E402
import vesk.typing  # noqa: E402

N = 200_000


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def check_int(v):
    if not isinstance(v, int) or v < 0:
        raise ValueError(v)
    return v


PATTERN = re.compile("[a-z]+[0-9]*")


def check_str(v):
    if not isinstance(v, str) or PATTERN.match(v) is None:
        raise ValueError(v)
    return v


CANDIDATES = ["red", "green", "blue", "cyan"]


def check_enum(v):
    if not isinstance(v, str) or v not in CANDIDATES:
        raise ValueError(v)
    return v


def main():
    vesk.typing.install()
    rows = [
        ("Int(min_value=0).apply(7)", _native.Int(min_value=0), 7, check_int),
        ("Str(regex=...).apply('abc12')", _native.Str(regex=PATTERN), "abc12", check_str),
        ("Enum([...]).apply('cyan')", _native.Enum(CANDIDATES), "cyan", check_enum),
    ]
    for label, spec, value, check in rows:
        apply = spec.apply
        native_s = best(lambda: apply(value), N)
        python_s = best(lambda: check(value), N)
        print(f"  {label:<36} {native_s * 1e9:8.1f} ns  {native_s / python_s:6.3f}x Python check")


if __name__ == "__main__":
    main()
