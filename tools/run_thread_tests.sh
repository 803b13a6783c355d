#!/usr/bin/env bash
# Runs every test module that starts threads RUNS times in a row under the
# given interpreter command, stopping at the first failing run. A race that
# fails one run in twenty shows here before it shows in CI.
#
#   tools/run_thread_tests.sh RUNS PYTHON [ARG...]
set -euo pipefail
runs=$1; shift
cd "$(dirname "$0")/.."
mapfile -t files < <(grep -rlE '^\s*(import threading|from threading import)|races import' tests --include='test_*.py' | sort)
echo "== ${#files[@]} test modules that start threads, $runs runs under $*"
start=$(date +%s)
for i in $(seq 1 "$runs"); do
    t0=$(date +%s)
    if ! out=$("$@" -m pytest -q -x "${files[@]}" 2>&1); then
        echo "$out" | tail -n 60
        echo "== run $i of $runs failed"
        exit 1
    fi
    echo "run $i: $(echo "$out" | tail -n 1) ($(( $(date +%s) - t0 )) s)"
done
echo "== $runs runs passed in $(( $(date +%s) - start )) s"
