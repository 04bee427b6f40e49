#!/usr/bin/env bash
# Checks a built wheel: it keeps to the stable ABI of 3.11 (abi3audit
# --strict), and each of its two modules exports nothing but its
# initialisation function. Used by scripts/test.sh and scripts/release.sh.
#
#   scripts/check_wheel.sh WHEEL
#
# abi3audit runs from the virtual environment $QM_TOOLS_VENV (default
# build/venv-tools), made with $PYTHON (default python3) and given abi3audit
# when it lacks it.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=${1:?usage: scripts/check_wheel.sh WHEEL}
venv=${QM_TOOLS_VENV:-build/venv-tools}
unpacked=build/wheel-check

[ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
[ -x "$venv/bin/abi3audit" ] || "$venv/bin/python" -m pip install -q abi3audit >/dev/null 2>&1
echo "== abi3audit $(basename "$wheel")"
"$venv/bin/abi3audit" --strict --report "$wheel"
echo

rm -rf "$unpacked" && "$venv/bin/python" -m zipfile -e "$wheel" "$unpacked"
for module in quillmarrow_engine_native quillmarrow_engine/_bulk; do
  library=$(ls "$unpacked/$module".*.so)
  exported=$(nm -D --defined-only "$library" | awk '{print $3}')
  if [ "$exported" != "PyInit_$(basename "$module")" ]; then
    echo "$module exports more than its initialisation function:" >&2
    echo "$exported" >&2
    exit 1
  fi
  echo "exported symbols of $module: $exported"
done
rm -rf "$unpacked"
