"""Key-path hot paths against their plain-Python equivalents.

Parses a 6-segment path text, renders it, hashes it and queries a 6-level
nested dict/list value, printing the time per call and the ratio to the
plain-Python way of doing the same thing. Targets: parsing within 3x of
`str.split` plus int conversion on the same text; querying faster than a
Python loop of indexing.
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from vesk_core._native import KeyPath  # noqa: E402

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
    return min(timeit.repeat(fn, number=NUMBER, repeat=5)) / NUMBER * 1e9


def row(name, ns, base=None):
    ratio = f"{ns / base:6.2f}x" if base else ""
    print(f"  {name:<44} {ns:8.1f} ns  {ratio}")
    return ns


def main():
    parse = KeyPath.parse
    path = parse(BRACKETED)
    assert path.keys == KEYS and split_and_convert() == KEYS
    assert path.query(VALUE) == python_query() == 7

    print("parse (ratio to str.split + int conversion)")
    base = row("str.split + int conversion", best(split_and_convert))
    parse_ns = row("KeyPath.parse", best(lambda: parse(BRACKETED)), base)

    print("render (fresh path each time; ratio to building the path)")
    build = row("KeyPath(keys)", best(lambda: KeyPath(KEYS)))
    row("str(KeyPath(keys))", best(lambda: str(KeyPath(KEYS))), build)
    row("path_str() of a cached path", best(path.path_str))
    row("str() of a cached path", best(lambda: str(path)))

    print("hash (ratio to hashing the text)")
    text = str(path)
    base_hash = row("hash(str)", best(lambda: hash(text)))
    row("hash(KeyPath), cached", best(lambda: hash(path)), base_hash)

    print("query (ratio to a Python loop of indexing)")
    base_query = row("Python loop", best(python_query))
    query_ns = row("KeyPath.query", best(lambda: path.query(VALUE)), base_query)

    print(f"targets: parse {parse_ns / base:.2f}x of split (<= 3), "
          f"query {query_ns / base_query:.2f}x of the loop (< 1)")


if __name__ == "__main__":
    main()
