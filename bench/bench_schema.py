"""Applying a Dict spec of ten constant fields to many plain dicts, against
pydantic and msgspec on the same data, in one run.

The spec has ints, strs and a nested List(Int()). Each row times one pass
over 10,000 dicts: `spec.apply(d)` per dict (inplace, every value already
valid, so nothing is written back), pydantic's
`TypeAdapter(list[TypedDict]).validate_python` (strict) and
`msgspec.convert(data, list[TypedDict])` and `list[Struct]`. Ratios are
native time over each other time; lower is better. A library that is not
installed is skipped with a line.
"""

import typing

import benchkit
from benchkit import optional

import vesk.typing  # the stand-in typing bridge
from vesk_core import _native


def best(fn):
    return benchkit.best(fn, 3, repeat=7)


class Row(typing.TypedDict):
    i0: int
    i1: int
    i2: int
    i3: int
    s0: str
    s1: str
    s2: str
    s3: str
    s4: str
    n: list[int]


def make_data(count=10_000):
    return [
        {"i0": i, "i1": i + 1, "i2": i + 2, "i3": i + 3, "s0": "a", "s1": "b", "s2": "c",
         "s3": "d", "s4": f"e{i}", "n": [i, i + 1, i + 2]}
        for i in range(count)
    ]


def main():
    vesk.typing.install()
    n = _native
    spec = n.Dict(
        [(f"i{k}", n.Int()) for k in range(4)] + [(f"s{k}", n.Str()) for k in range(5)]
        + [("n", n.List(n.Int()))]
    )
    data = make_data()

    def native_pass():
        apply = spec.apply
        for d in data:
            apply(d)

    others = {"pydantic TypedDict": None}
    pydantic = optional("pydantic")
    if pydantic is not None:
        validate = pydantic.TypeAdapter(list[Row]).validate_python
        others["pydantic TypedDict"] = best(lambda: validate(data, strict=True))
    msgspec = optional("msgspec")
    if msgspec is not None:
        class RowStruct(msgspec.Struct):
            i0: int
            i1: int
            i2: int
            i3: int
            s0: str
            s1: str
            s2: str
            s3: str
            s4: str
            n: list[int]

        others["msgspec TypedDict"] = best(lambda: msgspec.convert(data, list[Row]))
        others["msgspec Struct"] = best(lambda: msgspec.convert(data, list[RowStruct]))
    else:
        others["msgspec"] = None
    native_s = best(native_pass)
    report = benchkit.Report("Dict spec of ten constant fields, per pass over 10,000 dicts")
    report.row("Dict(10 fields) x10,000", native_s, others)


if __name__ == "__main__":
    main()
