"""Common shapes of data validated whole, against msgspec and pydantic, in one run.

A baseline table for speed work. Each row applies one spec to one list (with
`inplace=False`, so rows that convert values leave the data as it was for the
next round) and times, on the same data, `msgspec.convert(data, T)` and
pydantic's `TypeAdapter(T).validate_python(data)` for the equivalent type T.
Every time is the best of 7 rounds; ratios are our time over theirs (below
1.0 means faster). The last row times a failure: one bad value in the last
record, so every library walks the whole list and then raises.

A library that is not installed is skipped with a line.

Threads. On a free-threaded interpreter the table is followed by the scaling of
the slower shapes: 8 threads, each applying the one shared spec to its own copy
of the data, against one thread doing the same work alone, all 8 shares in
turn (the target is at least 4x: a ratio of at most 0.25). Contention is kept out by construction rather than measured away:
per element and per field nothing is locked and no shared object (spec, element
spec, schema, field, compiled record) sees an atomic read-modify-write. A
field's compiled record is read with one atomic load of its published pointer,
with no lock and no hold of the field; a thread marks the span in which it uses
such records in its own slot, which no other thread writes. An element spec's
rule is kept in the spec and read the same way, once per container; it is
derived again (holding the spec shared) only after a change to typing state.
Only elements the rules cannot decide are applied, and an element spec applied to
many elements is held shared once per container, not once per element: where no user
code runs between elements its engine applies them directly under that one hold, taken
again after an element whose apply ran user code; elsewhere each element is applied by
name, reading the spec as it then is.
The per-item critical sections on the caller's own list stay:
they lock data no other thread shares in this benchmark. On an interpreter with
the global lock the scaling section is skipped.
"""

import sys
import threading
import time
from typing import Annotated, Optional, TypedDict, Union

import benchkit
from benchkit import at_most

import vesk.typing  # the stand-in typing bridge
from vesk_core import _native as n

REPEAT = 7

msgspec = benchkit.optional("msgspec")
pydantic = benchkit.optional("pydantic")


class Scalars(TypedDict):
    id: int
    name: str
    score: float
    ok: bool
    rank: int


class Tagged(TypedDict):
    id: int
    name: str
    score: float
    tags: list[str]
    ok: bool


class Sparse(TypedDict):
    id: int
    name: str
    score: Optional[float]


def bounded_types():
    """For msgspec and for pydantic: lists of TypedDicts of three bounded keys
    ("bounded") and lists of bounded ints ("bounded ints")."""
    out = {"bounded": {}, "bounded ints": {}, "patterned strs": {}}
    if msgspec is not None:
        meta = msgspec.Meta
        out["bounded"]["msgspec"] = list[TypedDict("BoundedM", {
            "n": Annotated[int, meta(ge=0)], "s": Annotated[str, meta(pattern="^a")],
            "f": Annotated[float, meta(le=100.0)]})]
        out["bounded ints"]["msgspec"] = list[Annotated[int, meta(ge=0)]]
        out["patterned strs"]["msgspec"] = list[Annotated[str, meta(pattern="^a")]]
    if pydantic is not None:
        field = pydantic.Field
        out["bounded"]["pydantic"] = list[TypedDict("BoundedP", {
            "n": Annotated[int, field(ge=0)], "s": Annotated[str, field(pattern="^a")],
            "f": Annotated[float, field(le=100.0)]})]
        out["bounded ints"]["pydantic"] = list[Annotated[int, field(ge=0)]]
        out["patterned strs"]["pydantic"] = list[Annotated[str, field(pattern="^a")]]
    return out


def scalar_dict():
    return n.Dict([("id", n.Int()), ("name", n.Str()), ("score", n.Float()), ("ok", n.Bool()),
                   ("rank", n.Int())])


def tagged_dict():
    return n.Dict([("id", n.Int()), ("name", n.Str()), ("score", n.Float()),
                   ("tags", n.List(n.Str())), ("ok", n.Bool())])


def scalars(i, score=None):
    return {"id": i, "name": f"n{i}", "score": i / 3 if score is None else score,
            "ok": i % 2 == 0, "rank": i % 7}


def rows():
    """(label, spec, data, the equivalent type, number of calls per round)."""
    ints = list(range(100_000))
    mixed = [i if i % 2 else f"s{i}" for i in range(100_000)]
    some_none = [None if i % 10 == 0 else i for i in range(100_000)]
    pairs = [(i, f"s{i}") for i in range(10_000)]
    flat = [scalars(i) for i in range(10_000)]
    tagged = [{"id": i, "name": f"n{i}", "score": i / 3, "tags": ["a", "b"], "ok": i % 2 == 0}
              for i in range(10_000)]
    int_for_float = [scalars(i, score=i) for i in range(10_000)]
    sparse = [{"id": i, "name": f"n{i}", "score": None if i % 10 == 0 else i / 3}
              for i in range(10_000)]
    bad_last = [scalars(i) for i in range(10_000)]
    bad_last[-1]["rank"] = "seven"
    bounded = [{"n": i, "s": f"a{i}", "f": (i % 100) / 3} for i in range(10_000)]
    words = [f"a{i}" for i in range(100_000)]
    return [
        ("List(Int()) 100,000", n.List(n.Int()), ints, list[int], 20),
        ("List(Dict) 5 scalar keys 10,000", n.List(scalar_dict()), flat, list[Scalars], 10),
        ("List(Union([Int(), Str()])) 100,000", n.List(n.Union([n.Int(), n.Str()])), mixed,
         list[Union[int, str]], 5),
        ("List(Float()) on 100,000 ints", n.List(n.Float()), ints, list[float], 5),
        ("List(Int().noneable()) 10% None", n.List(n.Int().noneable()), some_none,
         list[Optional[int]], 10),
        ("List(Tuple([Int(), Str()])) 10,000", n.List(n.Tuple([n.Int(), n.Str()])), pairs,
         list[tuple[int, str]], 10),
        ("List(Dict) 5 keys, a list of str 10,000", n.List(tagged_dict()), tagged, list[Tagged],
         10),
        ("List(Dict) 5 scalar keys, int for float", n.List(scalar_dict()), int_for_float,
         list[Scalars], 3),
        ("List(Dict) 3 keys, optional float", n.List(n.Dict([
            ("id", n.Int()), ("name", n.Str()), ("score", n.Float().noneable())])), sparse,
         list[Sparse], 5),
        ("List(Dict) 5 keys, bad last record", n.List(scalar_dict()), bad_last, list[Scalars], 3),
        ("List(Dict) 3 bounded keys 10,000", n.List(n.Dict([
            ("n", n.Int(min_value=0)), ("s", n.Str(regex="a.*")),
            ("f", n.Float(max_value=100.0))])), bounded, "bounded", 5),
        # bounded ints: compared with the bounds natively by the element rule
        ("List(Int(min_value=0)) 100,000", n.List(n.Int(min_value=0)), ints, "bounded ints",
         3),
        # every element applied by the element spec, held once for the list; a path is
        # made only for a refusal
        ("List(Str(regex)) 100,000", n.List(n.Str(regex="^a")), words, "patterned strs", 3),
    ]


def best(fn, number):
    """Seconds per call, best of REPEAT rounds; a call that raises counts as done."""

    def call():
        try:
            fn()
        except Exception:  # noqa: BLE001 - the failing row times the raise
            pass

    return benchkit.best(call, number, REPEAT)


def main(report):
    bounded = bounded_types()
    for label, spec, data, kind, number in rows():
        ours = best(lambda: spec.apply(data, inplace=False), number)
        kinds = {lib: bounded[kind].get(lib) if isinstance(kind, str) else kind
                 for lib in ("msgspec", "pydantic")}
        theirs = {"msgspec": None, "pydantic": None}
        if msgspec is not None:
            theirs["msgspec"] = best(lambda: msgspec.convert(data, kinds["msgspec"]), number)
        if pydantic is not None:
            adapter = pydantic.TypeAdapter(kinds["pydantic"])
            theirs["pydantic"] = best(lambda: adapter.validate_python(data), number)
        report.row(label, ours, theirs)


def scaling(report, threads=8, rounds=5):
    """Seconds for `threads` threads each applying a shared spec to its own data, over
    `threads` times the seconds of one thread doing one share alone: at most 1/4
    is a scaling of at least 4x."""
    picked = [r for r in rows() if "a list of str" in r[0] or "Union" in r[0]
              or "int for float" in r[0] or "min_value" in r[0]]
    report.section(f"free-threaded scaling, {threads} threads on one shared spec, "
                   "against one thread doing every share in turn")
    alone_name = f"one thread, {threads} shares"
    for label, spec, data, _kind, _number in picked:
        copies = [[dict(d) if isinstance(d, dict) else d for d in data] for _ in range(threads)]

        def work(mine):
            for _ in range(rounds):
                spec.apply(mine, inplace=False)

        start = time.perf_counter()
        work(copies[0])
        alone = time.perf_counter() - start
        pool = [threading.Thread(target=work, args=(c,)) for c in copies]
        start = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        together = time.perf_counter() - start
        report.row(f"{label}, {threads} threads", together, {alone_name: threads * alone},
                   [at_most(alone_name, 1 / 4)])


if __name__ == "__main__":
    vesk.typing.install()
    report = benchkit.Report(f"common shapes validated whole, per list (best of {REPEAT})")
    main(report)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    if gil:
        report.skip("free-threaded scaling", "this interpreter has the global lock")
    else:
        scaling(report)
