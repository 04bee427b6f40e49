#!/usr/bin/env bash
# Builds the libFuzzer targets into build/fuzz (or $1) with clang++-14
# (override with FUZZ_CXX=...). Prints the build folder on success.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/fuzz}
cxx=${FUZZ_CXX:-clang++-14}
cmake -S fuzz -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$out" -j 2 >&2
echo "$out"
