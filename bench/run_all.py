"""Runs the benchmarks, each in a fresh interpreter, and ends with one
summary table of every row: our time, the targets it meets or misses, and
its ratio to each peer (ours / peer, lower is better).

    python3.14 bench/run_all.py                       every bench/bench_*.py
    python3.14 bench/run_all.py bench_key_path.py     only those named
    python3.14 bench/run_all.py --without pydantic,attrs

`make bench` runs it under the release interpreter after `make`; one bench
alone is `tools/toolchain.sh run python3.14 bench/bench_key_path.py`.
"""

import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile

import benchkit

HERE = os.path.dirname(os.path.abspath(__file__))


def summary(rows, failed):
    """The table, and the counts of targets met, missed and not measured."""
    print("== summary (ratio = ours / peer, lower is better)")
    label_width = min(48, max([len(r["label"]) for r in rows] + [10]))
    bench_width = max([len(r["bench"]) for r in rows] + [5])
    print(f"  {'bench':<{bench_width}}  {'row':<{label_width}}  {'ours':>9}  "
          f"{'targets':<13}  ratio to each peer")
    counts = {"meets": 0, "misses": 0, "not measured": 0}
    for r in rows:
        label = r["label"] if len(r["label"]) <= label_width else r["label"][:label_width - 1] + "~"
        head = f"  {r['bench']:<{bench_width}}  {label:<{label_width}}"
        if "skipped" in r:
            print(f"{head}  {'-':>9}  skipped: {r['skipped']}")
            continue
        verdicts = [v for _, v in r["targets"]]
        for v in verdicts:
            counts[v] += 1
        if not verdicts:
            state = "-"
        elif "misses" in verdicts:
            state = f"misses {verdicts.count('misses')}/{len(verdicts)}"
        elif "not measured" in verdicts:
            state = f"meets {verdicts.count('meets')}/{len(verdicts)}"
        else:
            state = "meets" if len(verdicts) == 1 else f"meets {len(verdicts)}/{len(verdicts)}"
        peers = ", ".join(f"{p} {'-' if x is None else f'{x:.2f}'}" for p, x in r["ratios"].items())
        print(f"{head}  {benchkit.duration(r['ours']):>9}  {state:<13}  {peers}")
    print(f"  targets: {counts['meets']} met, {counts['misses']} missed, "
          f"{counts['not measured']} not measured (peer not installed)")
    for r in rows:
        for target, verdict in r.get("targets", ()):
            if verdict != "meets":
                print(f"    {r['bench']}: {r['label']}: {target}: {verdict}")
    if failed:
        print(f"  failed: {', '.join(failed)}")
    print("  one bench alone: tools/toolchain.sh run python3.14 bench/bench_<name>.py "
          "(after `make`), or python3.14 bench/run_all.py bench_<name>.py")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("benches", nargs="*", help="bench files to run (default: every one)")
    ap.add_argument("--without", default="",
                    help="peers to treat as not installed, comma-separated")
    args = ap.parse_args()
    benches = [os.path.join(HERE, os.path.basename(b)) for b in args.benches] or sorted(
        glob.glob(os.path.join(HERE, "bench_*.py")))
    failed = []
    with tempfile.NamedTemporaryFile("r", suffix=".jsonl") as results:
        env = dict(os.environ, **{benchkit.RESULTS: results.name})
        if args.without:
            env[benchkit.WITHOUT] = args.without
        for bench in benches:
            print(f"== {os.path.relpath(bench)}", flush=True)
            proc = subprocess.run([sys.executable, bench], env=env)
            if proc.returncode != 0:
                failed.append(f"{os.path.basename(bench)} (exit {proc.returncode})")
                print(f"  {os.path.basename(bench)} failed: exit {proc.returncode}")
            print(flush=True)
        rows = [json.loads(line) for line in results]
    summary(rows, failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
