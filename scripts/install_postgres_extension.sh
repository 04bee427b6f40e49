#!/usr/bin/env bash
# Builds the PostgreSQL extension `quillmarrow` and installs it into the
# server that pg_config describes: the library into `pg_config --pkglibdir`,
# the control and SQL files into `pg_config --sharedir`/extension (as root,
# or as a user who may write there). Then, in a database:
#   CREATE EXTENSION quillmarrow;
#
#   scripts/install_postgres_extension.sh                 # the pg_config on the PATH
#   PG_CONFIG=/usr/lib/postgresql/16/bin/pg_config scripts/install_postgres_extension.sh
#
# Needs the server headers (Debian: apt-get install postgresql-server-dev-15),
# a C++20 compiler and CMake 3.26+.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QM_POSTGRES_BUILD:-build/postgres}
pg_config=${PG_CONFIG:-$(command -v pg_config || true)}
if [ -z "$pg_config" ]; then
  echo "install_postgres_extension: no pg_config; apt-get install postgresql-server-dev-15" >&2
  exit 1
fi
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_POSTGRES=ON \
  -DQM_PG_CONFIG="$pg_config" -DQM_WERROR="${QM_WERROR:-OFF}" >/dev/null
cmake --build "$build" --target quillmarrow_postgres -j "${QM_JOBS:-2}" >/dev/null
cmake --install "$build" --component quillmarrow_postgres
