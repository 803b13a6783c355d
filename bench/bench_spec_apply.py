"""`apply` of a constrained scalar spec against the hand-written Python
check of the same constraint, on values that pass.

Rows: `Int(min_value=0)`, `Str(regex=...)` and `Enum([...])`, each applied
to a value of exactly its type, against `isinstance` plus the comparison,
`re.match` or containment test in a Python function; ratio = native
time over Python time. Target: below 1.0 (the native apply of an exact-type
leaf is faster than the Python check).
"""

import re

import benchkit
from benchkit import below, best

import vesk.typing  # the stand-in typing bridge
from vesk_core import _native

N = 200_000


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
    report = benchkit.Report("apply of a constrained scalar spec, per value")
    for label, spec, value, check in rows:
        apply = spec.apply
        native_s = best(lambda: apply(value), N)
        python_s = best(lambda: check(value), N)
        report.row(label, native_s, {"Python check": python_s}, [below("Python check", 1)])


if __name__ == "__main__":
    main()
