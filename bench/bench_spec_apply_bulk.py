"""Applying scalar specs to 100,000 values against plain-Python checks.

Each row validates the same 100,000 values one call per value: the native
`apply` of an Int(), Str(), Float(), Int(min_value=0), Str(regex=...) and
Enum([...]) spec against the hand-written Python check of one value that a
caller would otherwise write (an isinstance test, plus the comparison, match
or membership the spec adds), also called once per value. Ratio = native
time over check time; the target is below 1.0 for every exact-type leaf.
The bare isinstance loop (no call per value) is shown as the floor of any
callable validator. When pydantic or msgspec is installed, their
validation of the same values against the plain type (TypeAdapter
.validate_python in strict mode, msgspec.convert) is timed in the same run
for reference. All numbers come from one run of this script.
"""

import re

import benchkit
from benchkit import below, best, optional

import vesk.typing  # the stand-in typing bridge
from vesk_core import _native

N = 100_000


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
    out = {"pydantic": None, "msgspec": None}
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
    report = benchkit.Report(
        f"scalar specs applied to {N:,} values one call each, per value; 'check' is the\n"
        "  hand-written Python check of one value called per value (the equivalent of a\n"
        "  spec's apply), 'inline' the bare isinstance loop with no call per value")
    for name, spec, check, values, kind in rows():
        native_s = per_call(spec.apply, values)
        peers = {"check": per_call(check, values), "inline": inline_isinstance(kind, values)}
        peers.update(foreign(kind, values))
        report.row(name, native_s, peers, [below("check", 1)])


if __name__ == "__main__":
    main()
