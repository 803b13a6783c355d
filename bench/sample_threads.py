"""Where the threads of one scaling row spend their time: gdb samples.

Runs one row of bench_scaling.py on N threads (each on its own data, as
there) in a child interpreter, attaches gdb to it SAMPLES times, takes the
stack of every worker thread each time, and prints the functions seen most
often at the top of a stack (where the time goes), the innermost frame of
this module under each (who pays it), the reference-count and lock
functions by caller, which is where threads that should never meet do, and
the objects whose shared counts the interpreter's functions update (by type
name and address), which tells which shared object they meet on. With
`--stacks K`, the K most common whole stacks of those samples too: they tell
a count this module takes from one taken by the interpreter or by Python
code it calls (an update record's own slots, a call's keyword dict).

    tools/toolchain.sh run env PYTHONPATH=/checkout/python:/usr/lib/python3/dist-packages \
        /opt/python3.14t/bin/python3.14t bench/sample_threads.py "int writes" --threads 8

The row is picked by a piece of its title. Needs gdb (in the toolchain
root's package list). Function names of this module come from its symbol
table; a build with -g also names the inlined frames.
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import threading
import time

import benchkit  # noqa: F401  (puts the checkout on the path)

FRAME = re.compile(r"^#(\d+)\s+(?:0x[0-9a-f]+ in )?(.*?)(?: at (\S+)| from (\S+))?$")
# The object whose count an interpreter frame updates (its argument `o=`).
OBJECT = re.compile(r"\b(?:o|op)=(0x[0-9a-f]+)")
# Functions whose time means threads touching one object's reference count
# or waiting on a lock.
SHARED = re.compile(r"Py_(Inc|Dec)Ref|_Py_DecRefShared|_Py_TryIncref|_Py_IncRef|_Py_DecRef|"
                    r"Py_NewRef|Py_XNewRef|_Py_MergeZeroLocalRefcount|_Py_ExplicitMergeRefcount|"
                    r"PyMutex|_PyMutex|_PyParkingLot|futex|pthread_mutex|__lll_lock|"
                    r"_PyCriticalSection|PyCriticalSection|_PySemaphore")


def row_factory(piece):
    import bench_scaling
    for title, factory in bench_scaling.ROWS:
        if piece.lower() in title.lower():
            return title, factory
    sys.exit(f"no row of bench_scaling.py has {piece!r} in its title")


def run_row(piece, threads):
    """The child: `threads` threads running the row until killed."""
    import bench_scaling
    bench_scaling.vesk.typing.install()
    bench_scaling.vesk.symbolic.install()
    _, factory = row_factory(piece)
    make = factory()

    def work():
        task = make()
        while True:
            task()

    for _ in range(threads):
        threading.Thread(target=work, daemon=True).start()
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    time.sleep(3600)


def stacks(pid, depth=40):
    """The stacks of the process's threads, each innermost frame first."""
    out = subprocess.run(
        ["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "set pagination off",
         "-ex", f"thread apply all bt {depth}"],
        capture_output=True, text=True, check=False).stdout
    found, current = [], None
    for line in out.splitlines():
        if line.startswith("Thread "):
            current = []
            found.append(current)
            continue
        m = FRAME.match(line)
        if m and current is not None:
            obj = OBJECT.search(m.group(2))
            current.append((function_name(m.group(2)), m.group(3) or m.group(4) or "",
                            obj.group(1) if obj else None))
    return found


def function_name(text):
    """The function of a frame's text: up to its argument list, which for a
    C frame follows a space and for a C++ one (demangled, with parameter
    types) the name itself; parentheses inside template arguments are kept."""
    depth = 0
    for i, ch in enumerate(text):
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif ch == "(" and depth <= 0:
            return text[:i].rstrip()
    return text.strip()


def type_names(pid, addresses):
    """The type name of each object at `addresses`, read by gdb."""
    if not addresses:
        return {}
    commands = []
    for address in addresses:
        commands += ["-ex", f"p ((PyObject*){address})->ob_type->tp_name"]
    out = subprocess.run(["gdb", "-p", str(pid), "-batch", "-nx"] + commands,
                         capture_output=True, text=True, check=False).stdout
    names = re.findall(r'^\$\d+ = 0x[0-9a-f]+ "([^"]*)"', out, re.M)
    return dict(zip(addresses, names)) if len(names) == len(addresses) else {}


def ours(frame):
    """A frame of this module other than its reference and call helpers."""
    name, where = frame[:2]
    if name.startswith(("vesk::py::Ref", "vesk::py::call", "vesk::py::Shared", "vesk::py::Hold",
                        "vesk::py::detail::Entry")):
        return False
    return "vesk" in where or "_native" in where or "/src/" in where or name.startswith("vesk")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("row", help="a piece of the row's title in bench_scaling.py")
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--samples", type=int, default=20)
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--stacks", type=int, default=0, metavar="K",
                        help="also print the K most common stacks of shared-count samples")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_row(args.row, args.threads)
        return
    title, _ = row_factory(args.row)
    child = subprocess.Popen([sys.executable, __file__, args.row, "--threads", str(args.threads),
                              "--child"], stdout=subprocess.PIPE, text=True)
    try:
        child.stdout.readline()
        time.sleep(1.0)
        leaves, payers, shared, objects, samples = (collections.Counter(), collections.Counter(),
                                                    collections.Counter(), collections.Counter(), 0)
        whole = collections.Counter()
        for _ in range(args.samples):
            for stack in stacks(child.pid):
                # Worker threads only: the main thread sleeps.
                if not stack or any(f[0] in ("time_sleep", "pysleep") for f in stack[:8]):
                    continue
                samples += 1
                leaf = stack[0][0]
                payer = next((f[0] for f in stack if ours(f)), "-")
                leaves[leaf] += 1
                payers[f"{payer} -> {leaf}"] += 1
                if SHARED.search(leaf) or any(SHARED.search(f[0]) for f in stack[:3]):
                    caller = next((f[0] for f in stack if not SHARED.search(f[0])), "-")
                    shared[f"{caller} ({payer})"] += 1
                    whole[" <- ".join(f[0] for f in stack[:10])] += 1
                    obj = next((f[2] for f in stack[:3] if f[2]), None)
                    if obj:
                        objects[(obj, payer)] += 1
            time.sleep(0.1)
        # The objects named before the child goes, while they still exist.
        names = type_names(child.pid, sorted({obj for obj, _ in objects}))
    finally:
        child.kill()
        child.wait()
    by_object = collections.Counter({f"{names.get(obj, '?')} at {obj} ({payer})": count
                                     for (obj, payer), count in objects.items()})
    out = sys.stdout.write
    out(f"{title}: {args.threads} threads, {samples} thread samples\n")
    for heading, counter in (("top of the stack", leaves),
                             ("innermost frame of this module -> top of the stack", payers),
                             ("reference counts and locks, by caller (this module's frame)", shared),
                             ("shared counts updated, by object (this module's frame)", by_object),
                             ("stacks of the shared-count samples, innermost first", whole)):
        if counter is whole and not args.stacks:
            continue
        top = args.stacks if counter is whole else args.top
        total = sum(counter.values())
        out(f"== {heading}: {total} samples ({100 * total / max(1, samples):.0f}%)\n")
        for name, count in counter.most_common(top):
            out(f"  {100 * count / max(1, samples):5.1f}%  {name}\n")


if __name__ == "__main__":
    main()
