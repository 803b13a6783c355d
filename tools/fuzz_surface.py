"""Long-running crash hunt over the public surface of vesk_core._native.

    tools/toolchain.sh run python3.14d tools/fuzz_surface.py --minutes 10

The parent starts workers, each a fresh interpreter running a batch of
hypothesis examples (some with a hostile formatting bridge installed, some
hammering shared objects from threads, some watching reference counts).
Before each call a worker writes the call's input to its trace file, so a
worker that dies (signal, abort, failed assertion of the debug interpreter)
or hangs leaves the crashing input behind; those traces are kept under
--out. The worker's own exit status and stderr are kept next to them.
"""

import argparse
import importlib.util
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(ROOT, "tests"), os.path.join(ROOT, "python"),
                os.path.join(ROOT, "tests", "support")]

import own_build  # noqa: E402


def worker(args):
    from hypothesis import HealthCheck, given, seed, settings
    from hypothesis import strategies as st

    import fuzz_cases as fc
    import fuzz_object_cases

    fuzz_object_cases.ensure_bridges()
    rng = random.Random(args.seed)
    bridge = rng.random() < 0.4
    if bridge:
        fc.install_hostile_bridge()
    trace = open(args.trace, "w", buffering=1)

    def log(text):
        trace.seek(0)
        trace.truncate()
        trace.write(text + "\n")
        trace.flush()

    if args.mode == "threads":
        for i in range(args.examples // 10 + 1):
            log(f"hammer round {i}")
            fc.hammer(args.seed + i)
            fuzz_object_cases.hammer_objects(args.seed + i)
        return

    examples = args.examples // 6 if args.mode == "leaks" else args.examples

    @seed(args.seed)
    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck), derandomize=False)
    @given(st.data())
    def run(data):
        if bridge:
            fc.draw_bridge_mode(data)
        for _ in range(data.draw(st.integers(1, 4))):
            desc, thunk = fc.draw_call(data, fuzz_object_cases.SURFACE_OPS)
            log(f"bridge={bridge} {fc.BridgeMode.how} {sorted(fc.BridgeMode.bad)}\n{desc}")
            if args.mode == "leaks":
                check_leak(desc, thunk)
            else:
                thunk()

    def check_leak(desc, thunk):
        import gc
        # Calls that change shared state (hooks mutating victims, rebasing
        # one set again and again) grow it legitimately.
        if "victims=list[]" not in desc or desc.startswith("KeyPathSet#4:"):
            return
        if "actions=" in desc and "actions=[]" not in desc:  # hooks rewriting classes
            return
        for _ in range(3):
            thunk()
        growth = []
        for _ in range(3):
            gc.collect()
            before = sys.gettotalrefcount()
            for _ in range(30):
                thunk()
            gc.collect()
            growth.append(sys.gettotalrefcount() - before)
        if min(growth) > 20:
            with open(args.trace + ".leak", "a") as f:
                f.write(f"{growth}\n{desc}\n\n")

    run()


def parent(args):
    os.makedirs(args.out, exist_ok=True)
    deadline = time.time() + args.minutes * 60
    n = crashes = unstarted = 0
    modes = ["calls"] * 6 + ["threads"] + (["leaks"] if hasattr(sys, "gettotalrefcount") else [])
    while time.time() < deadline:
        n += 1
        s = random.randrange(2**32)
        mode = modes[n % len(modes)]
        trace = os.path.join(args.out, f"trace-{os.getpid()}-{args.slot}.txt")
        cmd = [sys.executable, __file__, "--worker", "--seed", str(s), "--mode", mode,
               "--examples", str(args.examples), "--trace", trace]
        # The previous worker's trace would pass for this one's input.
        if os.path.exists(trace):
            os.remove(trace)
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=args.timeout)
            rc, err = proc.returncode, proc.stderr
        except subprocess.TimeoutExpired as e:
            rc, err = "hang", (e.stderr or b"").decode(errors="replace")
        if os.path.exists(trace + ".leak"):
            shutil.move(trace + ".leak", os.path.join(args.out, f"leak-{s}.txt"))
        if rc != 0:
            crashes += 1
            dest = os.path.join(args.out, f"crash-{mode}-{s}")
            if os.path.exists(trace):
                shutil.copy(trace, dest + ".input")
            else:
                with open(dest + ".input", "w") as f:
                    f.write("(none: the worker failed before its first call)\n")
            with open(dest + ".stderr", "w") as f:
                f.write(f"exit: {rc}\n{err[-20000:]}")
            print(f"[{n}] {mode} seed {s}: exit {rc} -> {dest}", flush=True)
        # Workers that keep failing before their first call cannot start at
        # all (an import that fails): every later one would fail the same way.
        unstarted = unstarted + 1 if rc != 0 and not os.path.exists(trace) else 0
        if unstarted == 3:
            print("fuzz_surface: the workers fail before their first call; see the last "
                  f"{dest}.stderr", flush=True)
            break
    print(f"{n} workers, {crashes} failures", flush=True)
    return 1 if crashes else 0


def options():
    ap = argparse.ArgumentParser(
        description=__doc__.split("\n\n", 1)[1],
        epilog="Run it under the interpreter whose build it should test; it refuses an\n"
               "interpreter without a build of its own (`make build-debug` for python3.14d).\n"
               "Workers import hypothesis: python3.14t, built from source, has only its own\n"
               "standard library and finds hypothesis among the root's Debian packages, so\n"
               "give it their path:\n"
               "  tools/toolchain.sh run env PYTHONPATH=/usr/lib/python3/dist-packages \\\n"
               "      /opt/python3.14t/bin/python3.14t tools/fuzz_surface.py --minutes 10",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=float, default=5,
                    help="how long to keep starting workers (default: %(default)s)")
    ap.add_argument("--examples", type=int, default=300,
                    help="hypothesis examples per worker batch; a thread batch runs a tenth "
                         "as many hammer rounds, a leak batch a sixth as many examples "
                         "(default: %(default)s)")
    ap.add_argument("--timeout", type=float, default=300,
                    help="seconds before a worker counts as hung and is kept as a failure "
                         "(default: %(default)s)")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "fuzz"),
                    help="where the inputs, exit status and stderr of failed workers and "
                         "the leak reports are kept (default: build/fuzz)")
    ap.add_argument("--slot", default="0",
                    help="a name for this run's trace file, so that runs sharing --out do "
                         "not overwrite each other's (default: %(default)s)")
    worker = ap.add_argument_group(
        "worker options", "set by the parent for each worker it starts; not needed by hand")
    worker.add_argument("--worker", action="store_true",
                        help="run one batch in this process instead of starting workers")
    worker.add_argument("--seed", type=int, default=0,
                        help="the batch's seed (default: %(default)s)")
    worker.add_argument("--mode", default="calls", choices=["calls", "threads", "leaks"],
                        help="calls: hostile calls; threads: shared objects hammered from "
                             "threads; leaks: reference-count growth, on a debug interpreter "
                             "(default: %(default)s)")
    worker.add_argument("--trace", default=os.devnull,
                        help="the file each call's input is written to before it runs "
                             "(default: %(default)s)")
    return ap


def main():
    args = options().parse_args()
    refusal = own_build.refusal()
    if refusal:
        sys.exit(f"fuzz_surface: {refusal}")
    if importlib.util.find_spec("hypothesis") is None:
        sys.exit(f"fuzz_surface: {sys.executable} cannot import hypothesis; --help says "
                 "what path it needs")
    if args.worker:
        worker(args)
    else:
        sys.exit(parent(args))


if __name__ == "__main__":
    main()
