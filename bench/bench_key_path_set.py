"""KeyPathSet against a plain Python set of path texts.

Builds a set of 10,000 paths, then times membership tests, union and
difference on both, and prints each time with the ratio
KeyPathSet / set (below 1 means the native set is faster).
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from vesk_core._native import KeyPath, KeyPathSet  # noqa: E402

N = 10_000


def make_paths(n, offset=0):
    # Paths of depth 2 to 4 under a few hundred branches, as a tree of
    # symbolic values would produce.
    out = []
    for i in range(offset, offset + n):
        keys = [f"node{i % 97}", i % 13, f"field{i % 31}"]
        if i % 3:
            keys.append(f"leaf{i}")
        out.append(KeyPath(keys))
    return out


def best(fn, number, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    paths = make_paths(N)
    others = make_paths(N, offset=N // 2)
    texts = [str(p) for p in paths]
    other_texts = [str(p) for p in others]
    probes = paths[::7] + others[::7]
    probe_texts = [str(p) for p in probes]

    rows = []

    def row(name, native_fn, plain_fn, number):
        t_native = best(native_fn, number)
        t_plain = best(plain_fn, number)
        rows.append((name, t_native, t_plain))

    row("build 10,000 paths", lambda: KeyPathSet(paths), lambda: set(texts), 5)
    # The plain set has to render each path to its text first, as a caller
    # holding KeyPath objects would.
    row("build from KeyPath objects", lambda: KeyPathSet(paths),
        lambda: {str(p) for p in paths}, 5)

    row("build from path texts", lambda: KeyPathSet(texts), lambda: set(texts), 5)

    kps, plain = KeyPathSet(paths), set(texts)
    other_kps, other_plain = KeyPathSet(others), set(other_texts)

    row(f"membership x{len(probes)} (KeyPath)", lambda: [p in kps for p in probes],
        lambda: [str(p) in plain for p in probes], 20)
    row(f"membership x{len(probes)} (str)", lambda: [t in kps for t in probe_texts],
        lambda: [t in plain for t in probe_texts], 20)
    row("union (copy)", lambda: kps.union(other_kps, copy=True), lambda: plain | other_plain, 5)
    row("difference", lambda: kps.difference(other_kps), lambda: plain - other_plain, 5)
    row("iterate members", lambda: list(kps), lambda: list(plain), 5)

    width = max(len(r[0]) for r in rows)
    print(f"{'operation':<{width}}  {'KeyPathSet':>12}  {'set of str':>12}  ratio")
    for name, t_native, t_plain in rows:
        print(f"{name:<{width}}  {t_native * 1e3:>9.3f} ms  {t_plain * 1e3:>9.3f} ms  "
              f"{t_native / t_plain:5.2f}")


if __name__ == "__main__":
    main()
