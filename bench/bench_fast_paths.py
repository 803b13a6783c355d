"""Container fast paths against msgspec and pydantic on the same data.

Two cases, each timed side by side in one run, with the ratio of our time
to theirs (below 1.0 means faster):

- `List(Int()).apply` on a list of 100,000 ints against
  `msgspec.convert(data, list[int])` and pydantic's
  `TypeAdapter(list[int]).validate_python`. Targets: no slower than msgspec,
  ahead of pydantic (ratio below 1.0).
- `List(Dict(...)).apply` on 10,000 flat dicts with five constant keys (int,
  str, float, list of str, bool) against `msgspec.convert` to a list of the
  equivalent TypedDict and pydantic's TypeAdapter of the same. Same targets.
  Runs once the Dict spec is bound; skipped with a note otherwise.

A library that is not installed is skipped with a note.
"""

from typing import TypedDict

import benchkit
from benchkit import at_most, below

import vesk.typing  # the stand-in typing bridge: the specs need one installed
from vesk_core import _native

msgspec = benchkit.optional("msgspec")
pydantic = benchkit.optional("pydantic")


class Record(TypedDict):
    id: int
    name: str
    score: float
    tags: list[str]
    ok: bool


def best(fn, number):
    return benchkit.best(fn, number, repeat=7)


# No slower than msgspec, ahead of pydantic.
TARGETS = [at_most("msgspec", 1), below("pydantic", 1)]


def bench_ints(report):
    if not hasattr(_native, "List"):
        report.skip("List(Int()) on 100,000 ints", "List is not bound")
        return
    data = list(range(100_000))
    spec = _native.List(_native.Int())
    assert spec.apply(data) is data
    number = 50
    ours = best(lambda: spec.apply(data), number)
    others = []
    if msgspec:
        assert msgspec.convert(data, list[int]) == data
        others.append(("msgspec", best(lambda: msgspec.convert(data, list[int]), number)))
    else:
        others.append(("msgspec", None))
    if pydantic:
        adapter = pydantic.TypeAdapter(list[int])
        others.append(("pydantic", best(lambda: adapter.validate_python(data), number)))
    else:
        others.append(("pydantic", None))
    report.row("List(Int()) on 100,000 ints", ours, dict(others), TARGETS)


def dict_spec():
    n = _native
    return n.Dict([
        ("id", n.Int()), ("name", n.Str()), ("score", n.Float()),
        ("tags", n.List(n.Str())), ("ok", n.Bool()),
    ])


def bench_dicts(report):
    if not hasattr(_native, "Dict") or not hasattr(_native, "List"):
        report.skip("List(Dict(...)) on 10,000 flat dicts", "Dict is not bound")
        return
    data = [
        {"id": i, "name": f"n{i}", "score": i / 3, "tags": ["a", "b"], "ok": i % 2 == 0}
        for i in range(10_000)
    ]
    spec = _native.List(dict_spec())
    spec.apply(data)
    number = 20
    ours = best(lambda: spec.apply(data), number)
    others = []
    if msgspec:
        others.append(("msgspec", best(lambda: msgspec.convert(data, list[Record]), number)))
    else:
        others.append(("msgspec", None))
    if pydantic:
        adapter = pydantic.TypeAdapter(list[Record])
        others.append(("pydantic", best(lambda: adapter.validate_python(data), number)))
    else:
        others.append(("pydantic", None))
    report.row("List(Dict(5 constant keys)) on 10,000 flat dicts", ours, dict(others), TARGETS)


def main():
    vesk.typing.install()
    report = benchkit.Report("container fast paths, per whole-list apply")
    bench_ints(report)
    bench_dicts(report)


if __name__ == "__main__":
    main()
