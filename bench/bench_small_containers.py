"""Small containers of Union and Tuple elements, applied one call at a time.

A list of a few elements pays, per call, for taking its element rule: for a
Union (derived from its type map) or a Tuple (derived from its element
fields) that rule is kept with the spec and checked once per call against
the map's watcher and the fields the Tuple holds, instead of being derived
again. Each row times one `apply` of a short list against
`msgspec.convert` and pydantic's `TypeAdapter.validate_python` of the same
data, in one run (best of 9 rounds, process time); ratios are ours over
theirs (below 1.0 means faster). A library that is not installed is skipped
with a line.
"""

from typing import Union

import benchkit  # also puts the checkout on the import path

import vesk.typing  # the stand-in typing bridge
from vesk_core import _native as n

NUMBER = 20_000


def rows():
    u = n.Union([n.Int(), n.Str()])
    return [
        ("List(Union([Int(), Str()])), 3 items", n.List(u), [1, "a", 2], list[Union[int, str]]),
        ("List(Tuple([Int(), Str()])), 2 tuples", n.List(n.Tuple([n.Int(), n.Str()])),
         [(1, "a"), (2, "b")], list[tuple[int, str]]),
        ("List(List(Tuple([Union, Float()]))), 2x1",
         n.List(n.List(n.Tuple([n.Union([n.Int(), n.Str()]), n.Float()]))),
         [[(1, 2.0)], [("a", 3.0)]], list[list[tuple[Union[int, str], float]]]),
    ]


def main():
    vesk.typing.install()
    msgspec = benchkit.optional("msgspec")
    pydantic = benchkit.optional("pydantic")
    report = benchkit.Report("apply of one small list, per apply (best of 9)")
    for label, spec, data, kind in rows():
        contenders = {"ours": lambda: spec.apply(data)}
        if msgspec is not None:
            contenders["msgspec"] = lambda: msgspec.convert(data, kind)
        if pydantic is not None:
            adapter = pydantic.TypeAdapter(kind)
            contenders["pydantic"] = lambda: adapter.validate_python(data)
        # Each turn makes NUMBER calls; the loop costs every contender alike.
        best = benchkit.race({k: (lambda f=f: [f() for _ in range(NUMBER)])
                              for k, f in contenders.items()}, NUMBER)
        report.row(label, best["ours"], {"msgspec": best.get("msgspec"),
                                         "pydantic": best.get("pydantic")})


if __name__ == "__main__":
    main()
