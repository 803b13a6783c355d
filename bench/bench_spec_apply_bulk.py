"""Applying scalar specs to 100,000 values against plain-Python checks.

Each row validates the same 100,000 values one call per value: the native
`apply` of an Int(), Str(), Float(), Int(min_value=0), Str(regex=...) and
Enum([...]) spec against the hand-written Python check of one value that a
caller would otherwise write (an isinstance test, plus the comparison, match
or membership the spec adds), also called once per value. The ratio is
native time over check time; the target is below 1.0 for every exact-type
leaf. The bare isinstance loop (no call per value) is shown as the floor of
any callable validator. When pydantic or msgspec is installed, their
validation of the same values against the plain type (TypeAdapter
.validate_python in strict mode, msgspec.convert) is timed in the same run
for reference. All numbers come from one run of this script.
"""

import os
import re
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import vesk.typing  # noqa: E402  (the stand-in typing bridge)
from vesk_core import _native  # noqa: E402

N = 100_000


def best(fn, number=1):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def optional(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def rows():
    """(name, spec, python check of one value, values, plain type)."""
    ints = list(range(N))
    strs = [f"s{i}" for i in range(N)]
    floats = [i / 3 for i in range(N)]
    digits = [str(i) for i in range(N)]
    colors = ["red", "green", "blue"]
    picks = [colors[i % 3] for i in range(N)]
    match = re.compile(r"\d+").match

    def is_int(v):
        if not isinstance(v, int):
            raise TypeError(v)
        return v

    def is_str(v):
        if not isinstance(v, str):
            raise TypeError(v)
        return v

    def is_float(v):
        if not isinstance(v, float):
            raise TypeError(v)
        return v

    def is_nonneg(v):
        if not isinstance(v, int) or v < 0:
            raise ValueError(v)
        return v

    def is_digits(v):
        if not isinstance(v, str) or match(v) is None:
            raise ValueError(v)
        return v

    def is_color(v):
        if not isinstance(v, str) or v not in colors:
            raise ValueError(v)
        return v

    return [
        ("Int()", _native.Int(), is_int, ints, int),
        ("Str()", _native.Str(), is_str, strs, str),
        ("Float()", _native.Float(), is_float, floats, float),
        ("Int(min_value=0)", _native.Int(min_value=0), is_nonneg, ints, int),
        ("Str(regex=r'\\d+')", _native.Str(regex=r"\d+"), is_digits, digits, str),
        ("Enum([3 colors])", _native.Enum(colors), is_color, picks, str),
    ]


def per_call(fn, values):
    """Seconds per value of calling `fn` once per value."""

    def run():
        for v in values:
            fn(v)

    return best(run) / N


def inline_isinstance(kind, values):
    """Seconds per value of the bare isinstance loop, with no call per value:
    the floor any callable validator is measured against."""

    def run():
        for v in values:
            if not isinstance(v, kind):
                raise TypeError(v)

    return best(run) / N


def foreign(kind, values):
    """Seconds per value of pydantic's and msgspec's validation of the same
    values against the plain type, or None for a library that is absent."""
    out = {}
    pydantic = optional("pydantic")
    if pydantic is not None:
        validate = pydantic.TypeAdapter(kind).validate_python

        def run_pydantic():
            for v in values:
                validate(v, strict=True)

        out["pydantic"] = best(run_pydantic) / N
    msgspec = optional("msgspec")
    if msgspec is not None:
        convert = msgspec.convert

        def run_msgspec():
            for v in values:
                convert(v, kind)

        out["msgspec"] = best(run_msgspec) / N
    return out


def main():
    vesk.typing.install()
    print(f"  {N} values per row, ns per value. 'check' is the hand-written Python")
    print("  check of one value called per value (the equivalent of a spec's apply);")
    print("  'inline' the bare isinstance loop with no call per value.")
    worst = 0.0
    for name, spec, check, values, kind in rows():
        native_s = per_call(spec.apply, values)
        check_s = per_call(check, values)
        inline_s = inline_isinstance(kind, values)
        ratio = native_s / check_s
        worst = max(worst, ratio)
        line = (
            f"  {name:<20} native {native_s * 1e9:6.1f}  check {check_s * 1e9:6.1f}"
            f"  ratio {ratio:4.2f}  inline {inline_s * 1e9:5.1f} (ratio {native_s / inline_s:4.2f})"
        )
        for lib, secs in foreign(kind, values).items():
            line += f"  {lib} {secs * 1e9:6.1f} (ratio {native_s / secs:4.2f})"
        print(line)
    print(f"  worst native/check ratio {worst:.2f} (target < 1.0)")


if __name__ == "__main__":
    main()
