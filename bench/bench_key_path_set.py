"""KeyPathSet against a plain Python set of path texts.

Builds a set of 10,000 paths, then times membership tests, union and
difference on both, and the in-place forms that change a set other threads
may share (adding and removing one path at a time, update, intersection and
difference in place, clear), with the ratio KeyPathSet / set (below 1 means
the native set is faster).
"""

import benchkit

from vesk_core._native import KeyPath, KeyPathSet

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


def main():
    paths = make_paths(N)
    others = make_paths(N, offset=N // 2)
    texts = [str(p) for p in paths]
    other_texts = [str(p) for p in others]
    probes = paths[::7] + others[::7]
    probe_texts = [str(p) for p in probes]

    report = benchkit.Report("KeyPathSet against a set of path texts, per operation")

    def row(name, native_fn, plain_fn, number):
        report.row(name, benchkit.best(native_fn, number),
                   {"set of str": benchkit.best(plain_fn, number)})

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

    def add_remove(s, items, remove):
        for p in items:
            s.add(p)
        for p in items:
            remove(s, p)

    row("add, then remove, each path", lambda: add_remove(KeyPathSet(), paths, KeyPathSet.remove),
        lambda: add_remove(set(), texts, set.discard), 3)
    # In place, each on a copy made inside the timing on both sides.
    row("update in place", lambda: kps.copy().update(other_kps),
        lambda: plain.copy().update(other_plain), 5)
    row("intersection_update", lambda: kps.copy().intersection_update(other_kps),
        lambda: plain.copy().intersection_update(other_plain), 5)
    row("difference_update", lambda: kps.copy().difference_update(other_kps),
        lambda: plain.copy().difference_update(other_plain), 5)
    row("clear", lambda: kps.copy().clear(), lambda: plain.copy().clear(), 5)


if __name__ == "__main__":
    main()
