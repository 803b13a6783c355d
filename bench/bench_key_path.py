"""Key-path hot paths against their plain-Python equivalents.

Parses a 6-segment path text, renders it, hashes it and queries a 6-level
nested dict/list value, against the plain-Python way of doing the same
thing. Targets: parsing within 3x of `str.split` plus int conversion on
the same text; querying faster than a Python loop of indexing.
"""

import benchkit
from benchkit import at_most, below

from vesk_core._native import KeyPath

TEXT = "model.layers.3.attention.heads.7"
BRACKETED = "model.layers[3].attention.heads[7]"
VALUE = {"model": {"layers": [0, 1, 2, {"attention": {"heads": list(range(8))}}]}}
KEYS = ["model", "layers", 3, "attention", "heads", 7]
NUMBER = 200_000


def split_and_convert(text=TEXT):
    return [int(s) if s.isdigit() else s for s in text.split(".")]


def python_query(value=VALUE, keys=KEYS):
    for k in keys:
        value = value[k]
    return value


def best(fn):
    return benchkit.best(fn, NUMBER)


def main():
    parse = KeyPath.parse
    path = parse(BRACKETED)
    assert path.keys == KEYS and split_and_convert() == KEYS
    assert path.query(VALUE) == python_query() == 7

    report = benchkit.Report("key paths: parse, render, hash, query, per call")
    split = "str.split + int conversion"
    report.row("KeyPath.parse", best(lambda: parse(BRACKETED)),
               {split: best(split_and_convert)}, [at_most(split, 3)])
    report.row("str(KeyPath(keys)), a fresh path each time", best(lambda: str(KeyPath(KEYS))),
               {"KeyPath(keys)": best(lambda: KeyPath(KEYS))})
    report.row("path_str() of a cached path", best(path.path_str),
               {"str() of the cached path": best(lambda: str(path))})
    text = str(path)
    report.row("hash(KeyPath), cached", best(lambda: hash(path)),
               {"hash(str)": best(lambda: hash(text))})
    report.row("KeyPath.query", best(lambda: path.query(VALUE)),
               {"Python loop of indexing": best(python_query)},
               [below("Python loop of indexing", 1)])


if __name__ == "__main__":
    main()
