#!/usr/bin/env bash
# Runs the tests against builds instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer (-DQM_SANITIZE=ON):
#   1. the engine's C++ tests (ctest), with leak detection on;
#   2. the whole Python suite (pytest) against a sanitized wheel, with the
#      sanitizer runtime preloaded into the interpreter, PYTHONMALLOC=malloc so
#      every Python allocation goes through the checked allocator, and leak
#      detection off (the interpreter itself keeps memory until exit).
#
#   scripts/sanitize.sh            both
#   scripts/sanitize.sh cpp        only the C++ tests
#   scripts/sanitize.sh python     only the Python tests
#
# The memory-exhaustion test is left out of the sanitized run: it lowers the
# address-space limit, and the sanitizer's own allocator cannot live with that
# (it stops with "Failed to mmap" instead of reporting an allocation failure).
#
# The compiler is CMake's default C++ compiler (g++), or $CXX; the preloaded
# runtime is the one of that compiler. The Python tests see QM_SANITIZED=1,
# so checks that cannot work under the sanitizer (resident-memory growth,
# a lowered address-space limit) can skip themselves.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
what=${1:-all}
cxx=${CXX:-c++}

asan_runtime() {
  if "$cxx" --version 2>/dev/null | grep -qi clang; then
    "$cxx" -print-file-name=libclang_rt.asan-x86_64.so
  else
    "$cxx" -print-file-name=libasan.so
  fi
}

run_cpp() {
  cmake -S . -B build/asan -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQM_BUILD_TESTS=ON -DQM_SANITIZE=ON >/dev/null
  cmake --build build/asan -j 2
  echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j 2
}

find_python() {
  local v
  for v in 3.11 3.12 3.13; do
    if command -v "python$v" >/dev/null 2>&1 && "python$v" -c '' >/dev/null 2>&1; then
      command -v "python$v"
      return
    fi
  done
  command -v python3
}

run_python() {
  local py runtime wheel venv=build/venv-asan
  py=$(find_python)
  runtime=$(asan_runtime)
  if [ ! -f "$runtime" ]; then
    echo "sanitizer runtime not found for $cxx ($runtime)" >&2
    exit 1
  fi
  rm -rf build/asan-wheel && mkdir -p build/asan-wheel
  CXX="$cxx" "$py" -m pip wheel --no-deps -w build/asan-wheel . \
    -C cmake.define.QM_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
    -C build-dir=build/asan-module >/dev/null
  wheel=$(ls build/asan-wheel/quillmarrow_engine-*.whl)
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q -r requirements-test.txt
  # The C++ runtime is preloaded beside the sanitizer's: the sanitizer looks
  # up the real __cxa_throw when it starts, and without libstdc++ already
  # loaded it finds none, so the first C++ exception thrown inside another
  # extension (pyarrow's Parquet reader refusing a file) would abort.
  local cxxrt
  cxxrt=$("$cxx" -print-file-name=libstdc++.so.6)
  echo "== pytest on a sanitized module ($(basename "$wheel"), runtime $(basename "$runtime"))"
  (cd "$root/tests/python" &&
    LD_PRELOAD="$runtime $cxxrt" PYTHONMALLOC=malloc QM_SANITIZED=1 \
      ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python" \
        --deselect tests/python/test_memory_error.py::test_engine_allocation_failure_raises_memory_error)
}

case "$what" in
  cpp) run_cpp ;;
  python) run_python ;;
  all) run_cpp; run_python ;;
  *) echo "usage: scripts/sanitize.sh [all|cpp|python]" >&2; exit 2 ;;
esac
