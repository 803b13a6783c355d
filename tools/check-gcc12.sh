#!/usr/bin/env bash
# Syntax-checks every source with the host's g++ (GCC 12 on Debian 12)
# against the toolchain root's CPython 3.14 headers, so that the code keeps
# building with the oldest compiler we support.
set -euo pipefail
ROOT=${VESK_TOOLCHAIN:-/opt/vesk-toolchain}
CXX=${CXX:-g++}
cd "$(dirname "$0")/.."
inc="$ROOT/usr/include"
fail=0
for f in $(find src -name '*.cpp' | sort); do
    "$CXX" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -Isrc -I"$inc/python3.14" -idirafter "$inc" "$f" || fail=1
done
[ $fail = 0 ] && echo "all sources pass $($CXX -dumpfullversion) syntax check"
exit $fail
