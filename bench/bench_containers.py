"""Applying container specs to whole lists, against pydantic, msgspec and a
plain-Python loop on the same data, in one run.

Rows:
  List(Int())                   on a list of 100,000 ints
  List(Tuple([Int(), Str()]))   on a list of 10,000 (int, str) tuples

Each row times one `apply` of the spec to the whole list (inplace, so no copy
is made), pydantic's `TypeAdapter(list[...]).validate_python` (strict) and
`msgspec.convert(data, list[...])` on the same data, and the loop a caller
would write by hand (isinstance per element, a new tuple per tuple, as the
tuple spec builds one). Ratios are native time over each other time; lower
is better. A library that is not installed is skipped with a line.
"""

import benchkit
from benchkit import optional

import vesk.typing  # the stand-in typing bridge
from vesk_core import _native


def best(fn):
    return benchkit.best(fn, 3)


def check_ints(data):
    for v in data:
        if not isinstance(v, int):
            raise TypeError(v)
    return data


def check_pairs(data):
    out = []
    for v in data:
        if not isinstance(v, tuple) or len(v) != 2:
            raise TypeError(v)
        a, b = v
        if not isinstance(a, int) or not isinstance(b, str):
            raise TypeError(v)
        out.append((a, b))
    return out


def rows():
    ints = list(range(100_000))
    pairs = [(i, f"s{i}") for i in range(10_000)]
    return [
        ("List(Int()) x100,000", _native.List(_native.Int()), ints, list[int], check_ints),
        (
            "List(Tuple([Int(), Str()])) x10,000",
            _native.List(_native.Tuple([_native.Int(), _native.Str()])),
            pairs,
            list[tuple[int, str]],
            check_pairs,
        ),
    ]


def main():
    vesk.typing.install()
    pydantic = optional("pydantic")
    msgspec = optional("msgspec")
    report = benchkit.Report("whole-list apply of container specs, per list")
    for name, spec, data, kind, check in rows():
        native_s = best(lambda: spec.apply(data))
        others = {"python loop": best(lambda: check(data)), "pydantic": None, "msgspec": None}
        if pydantic is not None:
            validate = pydantic.TypeAdapter(kind).validate_python
            others["pydantic"] = best(lambda: validate(data, strict=True))
        if msgspec is not None:
            others["msgspec"] = best(lambda: msgspec.convert(data, kind))
        report.row(name, native_s, others)


if __name__ == "__main__":
    main()
