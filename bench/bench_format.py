"""`format` on a nested value against `pprint.pformat` on the same value.

The value holds about 10,000 leaves (strings, ints, floats, None, bools)
in dicts, lists and tuples several levels deep. Both formatters run in the
same process; ratio = format time over pformat time. Target: at most
1.0 (no slower than pprint.pformat). A second row formats the same value
with compact=True and a key/value list with kvlist_str for reference.
"""

import pprint

import benchkit
from benchkit import at_most, best

from vesk_core import _native


def make_value():
    def record(i):
        return {
            "id": i,
            "name": f"item-{i}",
            "score": i / 7,
            "tags": ["a", "bb", "ccc", str(i)],
            "flags": (i % 2 == 0, None),
            "meta": {"owner": "x" * (i % 13), "size": i * 3},
        }

    # 11 leaves per record, 910 records.
    return {"groups": [[record(g * 65 + i) for i in range(65)] for g in range(14)]}


def count_leaves(value):
    if isinstance(value, dict):
        return sum(count_leaves(v) for v in value.values())
    if isinstance(value, (list, tuple)):
        return sum(count_leaves(v) for v in value)
    return 1


def main():
    value = make_value()
    leaves = count_leaves(value)
    fmt = _native.format
    items = [(f"k{i}", i, None) for i in range(100)]

    native_s = best(lambda: fmt(value), 5)
    compact_s = best(lambda: fmt(value, compact=True), 5)
    pprint_s = best(lambda: pprint.pformat(value), 2)
    kv_s = best(lambda: _native.kvlist_str(items, label="L"), 2000)
    kv_py_s = best(lambda: "L(" + ", ".join(f"{k}={v!r}" for k, v, _ in items) + ")", 2000)

    report = benchkit.Report(f"format: a nested value of {leaves} leaves, "
                             f"{len(fmt(value))} characters formatted")
    report.row("format", native_s, {"pprint.pformat": pprint_s}, [at_most("pprint.pformat", 1.0)])
    report.row("format(compact=True)", compact_s, {"pprint.pformat": pprint_s})
    report.row("kvlist_str, 100 items", kv_s, {"join of f-strings": kv_py_s})


if __name__ == "__main__":
    main()
