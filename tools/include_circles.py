"""Checks that the include lines of src/ point one way between folders.

    python3 tools/include_circles.py            # check; exit 1 on a circle
    python3 tools/include_circles.py --report   # rooms, edges and circles

Every folder of src/ is a room (the module's entry and each room's
registration step, which bind what a room holds, stand above it as rooms
of their own). A line `#include "a/b.hpp"` in a file of room X names room
`a`; when X and `a` differ it is an include line between rooms. Rooms that
reach each other through such lines form a circle (a strongly connected
set of the room graph), and a circle means neither room can be read, built
or changed without the other: every include line inside one is refused,
with the rooms it joins.

The report also counts, for each pair of rooms that include each other,
the lines of the thinner direction: the lines that point up.
"""

import argparse
import collections
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


# The composition roots: the module's entry and each room's registration
# step bind what their room holds, so they sit above it, each a room of its
# own; a room's files never include them back.
COMPOSITION = ("module.cpp", "register.cpp", "register.hpp")


def room_of(path):
    if os.path.basename(path) in COMPOSITION:
        return path
    return os.path.dirname(path) or "."


def scan(src):
    """The rooms with their file counts, and every include line between
    rooms as (from_room, to_room, file, target)."""
    files = collections.Counter()
    lines = []
    for folder, _, names in os.walk(src):
        for name in sorted(names):
            if not name.endswith((".cpp", ".hpp")):
                continue
            rel = os.path.relpath(os.path.join(folder, name), src)
            files[os.path.dirname(rel) or "."] += 1
            with open(os.path.join(src, rel), encoding="utf-8") as f:
                for text in f:
                    m = INCLUDE.match(text)
                    if not m or not os.path.isfile(os.path.join(src, m.group(1))):
                        continue
                    a, b = room_of(rel), room_of(m.group(1))
                    if a != b:
                        lines.append((a, b, rel, m.group(1)))
    return files, lines


def circles(edges):
    """The strongly connected sets of more than one room (Tarjan)."""
    graph = collections.defaultdict(set)
    for a, b in edges:
        graph[a].add(b)
        graph.setdefault(b, set())
    index, low, stack, on, out = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            members = []
            while True:
                w = stack.pop()
                on.discard(w)
                members.append(w)
                if w == v:
                    break
            if len(members) > 1:
                out.append(sorted(members))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return sorted(out)


def measure(src):
    files, lines = scan(src)
    per_edge = collections.Counter((a, b) for a, b, _, _ in lines)
    sets = circles(per_edge)
    where = {room: i for i, members in enumerate(sets) for room in members}
    in_circle = sorted({(a, b) for a, b in per_edge
                        if a in where and where.get(b) == where[a]})
    up = sum(min(n, per_edge[(b, a)]) for (a, b), n in per_edge.items()
             if (b, a) in per_edge and a < b)
    return files, per_edge, sets, in_circle, up


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--src", default=os.path.join(ROOT, "src"))
    parser.add_argument("--report", action="store_true",
                        help="print rooms, edges and circles")
    args = parser.parse_args(argv)
    files, per_edge, sets, in_circle, up = measure(args.src)
    if args.report:
        print(f"{sum(files.values())} files in {len(files)} rooms")
        for room in sorted(files):
            print(f"  {files[room]:4d}  {room}")
        print(f"{sum(per_edge.values())} include lines between rooms, "
              f"{len(per_edge)} room-to-room edges")
        print(f"{up} include lines point up (the thinner direction of each "
              f"pair of rooms that include each other)")
        for (a, b), n in sorted(per_edge.items()):
            if (b, a) in per_edge:
                print(f"  {a} -> {b}: {n} (back: {per_edge[(b, a)]})")
        print(f"{len(sets)} circles, {len(in_circle)} edges and "
              f"{sum(per_edge[e] for e in in_circle)} include lines in them")
        for members in sets:
            print("  " + ", ".join(members))
    for a, b in in_circle:
        print(f"circle: {a} -> {b} ({per_edge[(a, b)]} include lines) closes a circle "
              f"between rooms", file=sys.stderr)
    return 1 if in_circle else 0


if __name__ == "__main__":
    sys.exit(main())
