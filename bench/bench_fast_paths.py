"""Container fast paths against msgspec and pydantic on the same data.

Two cases, each timed side by side in one run and printed with the ratio of
our time to theirs (below 1.0 means faster):

- `List(Int()).apply` on a list of 100,000 ints against
  `msgspec.convert(data, list[int])` and pydantic's
  `TypeAdapter(list[int]).validate_python`. Targets: no slower than msgspec,
  clearly ahead of pydantic.
- `List(Dict(...)).apply` on 10,000 flat dicts with five constant keys (int,
  str, float, list of str, bool) against `msgspec.convert` to a list of the
  equivalent TypedDict and pydantic's TypeAdapter of the same. Same targets.
  Runs once the Dict spec is bound; skipped with a note otherwise.

A library that is not installed is skipped with a note.
"""

import os
import sys
import timeit
from typing import TypedDict

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from vesk_core import _native  # noqa: E402

try:
    import msgspec
except ImportError:  # pragma: no cover - depends on the toolchain
    msgspec = None
try:
    import pydantic
except ImportError:  # pragma: no cover - depends on the toolchain
    pydantic = None

# The stand-in bridge the tests use: the specs need an installed typing bridge.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import vesk.typing  # noqa: E402


class Record(TypedDict):
    id: int
    name: str
    score: float
    tags: list[str]
    ok: bool


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def row(label, ours, others):
    print(f"{label}: ours {ours * 1e3:8.3f} ms")
    for name, t in others:
        if t is None:
            print(f"    vs {name:<9} skipped (not installed)")
        else:
            print(f"    vs {name:<9} {t * 1e3:8.3f} ms   ratio ours/theirs = {ours / t:5.2f}")


def bench_ints():
    if not hasattr(_native, "List"):
        print("List(Int()) on 100,000 ints: skipped (List is not bound)")
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
    row("List(Int()) on 100,000 ints", ours, others)


def dict_spec():
    n = _native
    return n.Dict([
        ("id", n.Int()), ("name", n.Str()), ("score", n.Float()),
        ("tags", n.List(n.Str())), ("ok", n.Bool()),
    ])


def bench_dicts():
    if not hasattr(_native, "Dict") or not hasattr(_native, "List"):
        print("List(Dict(...)) on 10,000 flat dicts: skipped (Dict is not bound)")
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
    row("List(Dict(5 constant keys)) on 10,000 flat dicts", ours, others)


def main():
    vesk.typing.install()
    bench_ints()
    bench_dicts()


if __name__ == "__main__":
    main()
