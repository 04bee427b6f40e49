#!/usr/bin/env bash
# Installs what the tests need and is missing: system packages with apt-get
# (as root, after apt-get update), Python tools with pip. When it cannot
# install (not root, no apt-get, pip refused), it stops at once and prints
# the exact command to run. Called by scripts/test.sh; quiet when nothing is
# missing.
#
#   scripts/setup.sh            what the tests need
#   scripts/setup.sh release    what scripts/release.sh needs besides its
#                               Python tools (those go into its own venv)
#
# To add a need, add one line to the list below:
#   need_apt PACKAGE CHECK...   a Debian package, installed when CHECK fails
#   need_pip PACKAGE CHECK...   a PyPI package for python3, likewise
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
missing_apt=()
missing_pip=()

need_apt() {
  local package=$1
  shift
  "$@" >/dev/null 2>&1 || missing_apt+=("$package")
}
need_pip() {
  local package=$1
  shift
  "$@" >/dev/null 2>&1 || missing_pip+=("$package")
}

# Checks.
have() { command -v "$1"; }
have_header() { echo "#include <$1>" | c++ -x c++ -std=c++20 -fsyntax-only -; }
have_cmake_package() {
  local f
  for f in /usr/lib/*/cmake/"$1"-*/"$1"Config.cmake /usr/lib/cmake/"$1"*/"$1"Config.cmake; do
    [ -f "$f" ] && return 0
  done
  return 1
}
have_module() { "$python" -c "import $1"; }
have_postgres() { have initdb || ls /usr/lib/postgresql/*/bin/initdb; }
have_postgres_headers() { [ -f "$(pg_config --includedir-server 2>/dev/null)/postgres.h" ]; }
java_at_least() {
  have java && [ "$(java -version 2>&1 | sed -n '1s/[^"]*"\([0-9]*\).*/\1/p')" -ge "$1" ]
}
cmake_at_least() {
  have cmake && [ "$(printf '%s\n' "$1" "$(cmake --version | sed -n '1s/[^0-9]*//p')" |
    sort -V | head -n1)" = "$1" ]
}

case "${1:-tests}" in
  tests)
    # ---- what the tests need --------------------------------------------
    need_apt g++ have c++
    need_apt libgtest-dev have_header gtest/gtest.h
    need_apt libdragonbox-dev have_cmake_package dragonbox
    need_apt postgresql-15 have_postgres  # the retier tests start a throwaway server
    # The server headers and pg_config, for the extension the database tests
    # install.
    need_apt postgresql-server-dev-15 have_postgres_headers
    need_pip cmake cmake_at_least 3.26    # Python_add_library(... USE_SABI)
    need_pip ninja have ninja
    need_pip scikit-build-core have_module scikit_build_core
    # Spark, for the tests of tier-parquet --engine spark, runs on Java 17 or
    # later (Debian 12's default headless JRE is OpenJDK 17).
    need_apt default-jre-headless java_at_least 17
    ;;
  release)
    # ---- what a release build needs -------------------------------------
    need_apt g++ have c++
    need_apt libdragonbox-dev have_cmake_package dragonbox  # a release requires it
    need_apt patchelf have patchelf                         # for auditwheel repair
    ;;
  *)
    echo "usage: scripts/setup.sh [tests|release]" >&2
    exit 2
    ;;
esac
# --------------------------------------------------------------------------

if [ "${#missing_apt[@]}" -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "setup: installing ${missing_apt[*]} (apt-get)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing_apt[@]}" >/dev/null
  else
    echo "setup: missing ${missing_apt[*]}; install with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing_apt[*]}" >&2
    exit 1
  fi
fi

if [ "${#missing_pip[@]}" -gt 0 ]; then
  echo "setup: installing ${missing_pip[*]} (pip)"
  if ! "$python" -m pip install -q "${missing_pip[@]}"; then
    echo "setup: pip could not install ${missing_pip[*]}; install with:" >&2
    echo "  $python -m pip install ${missing_pip[*]}" >&2
    exit 1
  fi
  hash -r
fi
