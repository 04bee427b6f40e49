#!/usr/bin/env bash
# Runs every test of the project: the engine's C++ tests (ctest), then the
# Python tests (pytest) against one built abi3 wheel under every CPython that
# is found among 3.11, 3.12 and 3.13. It first installs what is missing
# (scripts/setup.sh), or stops saying what to run.
#
#   scripts/test.sh            everything
#   scripts/test.sh cpp        only the C++ tests
#   scripts/test.sh python     only the Python tests
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
what=${1:-all}
jobs=$(nproc 2>/dev/null || echo 2)
case "$what" in all | cpp | python) scripts/setup.sh ;; esac

run_cpp() {
  cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=ON -DQM_WERROR=ON >/dev/null
  cmake --build build/cpp -j "$jobs"
  ctest --test-dir build/cpp --output-on-failure -j "$jobs"
  # Once more with std::to_chars as the digit source of doubles, as on a
  # machine without Dragonbox: every text must come out byte for byte the same.
  cmake -S . -B build/cpp-to-chars -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=ON \
    -DQM_WERROR=ON -DQM_DRAGONBOX=OFF >/dev/null
  cmake --build build/cpp-to-chars -j "$jobs"
  ctest --test-dir build/cpp-to-chars --output-on-failure -j "$jobs"
}

# Interpreters to test the one wheel under: python3.11 first (it builds the wheel).
find_pythons() {
  local v exe
  for v in 3.11 3.12 3.13; do
    exe=""
    if command -v "python$v" >/dev/null 2>&1 && "python$v" -c '' >/dev/null 2>&1; then
      exe=$(command -v "python$v")
    elif command -v pyenv >/dev/null 2>&1; then
      for d in "$(pyenv root)"/versions/"$v".*; do
        [ -x "$d/bin/python$v" ] && exe="$d/bin/python$v"
      done
    fi
    [ -n "$exe" ] && echo "$exe"
  done
}

run_python() {
  # setup.sh installed a PostgreSQL server: its tests must run, not skip.
  export QM_REQUIRE_POSTGRES=1
  mapfile -t pythons < <(find_pythons)
  if [ "${#pythons[@]}" -eq 0 ]; then
    echo "no CPython 3.11+ found" >&2
    exit 1
  fi
  # The PostgreSQL extension, built with warnings as errors and installed
  # into the server the tests start (its files go where pg_config says).
  echo "== PostgreSQL extension quillmarrow"
  QM_WERROR=ON QM_JOBS="$jobs" scripts/install_postgres_extension.sh
  rm -rf build/wheel && mkdir -p build/wheel
  "${pythons[0]}" -m pip wheel --no-deps -w build/wheel . >/dev/null
  local wheel
  wheel=$(ls build/wheel/quillmarrow_engine-*-cp311-abi3-*.whl)
  echo "built $(basename "$wheel")"
  PYTHON=${pythons[0]} scripts/check_wheel.sh "$wheel"
  for py in "${pythons[@]}"; do
    local ver venv
    ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv=build/venv-$ver
    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    "$venv/bin/python" -m pip install -q -r requirements-test.txt
    "$venv/bin/python" -m pip install -q "$wheel[postgres]"  # psycopg and numpy for retier
    local clusters=""
    if [ "$py" = "${pythons[0]}" ]; then
      # The Dask and Spark tests (a local cluster each) run under the first
      # interpreter, installed through the wheel's own extras, and fail there
      # rather than skip if something is missing; under the others they skip,
      # saying so, which keeps pyspark's download to one.
      "$venv/bin/python" -m pip install -q "$wheel[dask,spark]"
      clusters=1
    fi
    echo "== pytest on CPython $ver"
    (cd "$root/tests/python" && QM_REQUIRE_CLUSTERS=$clusters \
      "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  done

  # The panic paths of the call frame cannot be reached by a valid call; a
  # test-only build adds commands that reach them (never in the wheel).
  local py311=build/venv-$("${pythons[0]}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  cmake -S . -B build/hooks -G Ninja -DQM_BUILD_MODULE=ON -DQM_TEST_HOOKS=ON -DQM_WERROR=ON \
    -DPython_EXECUTABLE="$root/$py311/bin/python" >/dev/null
  cmake --build build/hooks -j "$jobs" >/dev/null
  echo "== pytest of the panic paths (test-only build)"
  (cd "$root/tests/python" && QM_MODULE_DIR="$root/build/hooks" "$root/$py311/bin/python" -m pytest -q \
    -p no:cacheprovider "$root/tests/python/test_exceptions.py")
}

case "$what" in
  cpp) run_cpp ;;
  python) run_python ;;
  all) run_cpp; [ -d tests/python ] && ls tests/python/test_*.py >/dev/null 2>&1 && run_python ;;
  *) echo "usage: scripts/test.sh [all|cpp|python]" >&2; exit 2 ;;
esac
