#!/usr/bin/env bash
# Syntax-checks every source with the host's g++ (GCC 12 on Debian 12)
# against the toolchain root's CPython 3.14 headers, so that the code keeps
# building with the oldest compiler we support. Each source is checked twice:
# as configured for the root's interpreters, and with Py_GIL_DISABLED, the
# free-threaded configuration that the root has no interpreter for, so that
# code compiled only there (critical sections, ...) is checked at all.
set -euo pipefail
ROOT=${VESK_TOOLCHAIN:-/opt/vesk-toolchain}
CXX=${CXX:-g++}
cd "$(dirname "$0")/.."
inc="$ROOT/usr/include"
fail=0
for f in $(find src -name '*.cpp' | sort); do
    for config in "" -DPy_GIL_DISABLED=1; do
        "$CXX" -std=c++20 -Wall -Wextra -Werror -fsyntax-only $config -Isrc -I"$inc/python3.14" \
            -idirafter "$inc" "$f" || { fail=1; echo "  (in $f ${config:-default configuration})" >&2; }
    done
done
[ $fail = 0 ] && echo "all sources pass $($CXX -dumpfullversion) syntax check, with and without the global lock"
exit $fail
