#!/usr/bin/env bash
# Makes the release files in build/release/dist: the sdist, and the abi3
# wheel built from that sdist and repaired to a manylinux tag; then checks
# both.
#
#   scripts/release.sh
#
# 1. What the build needs from the system (g++, Dragonbox, patchelf) is
#    installed by scripts/setup.sh release; the Python tools (build, twine,
#    auditwheel, abi3audit) go into the virtual environment build/venv-release.
# 2. python -m build makes the sdist and then the wheel from the unpacked
#    sdist, so a file missing from the sdist fails the build. The wheel is
#    configured with QM_REQUIRE_DRAGONBOX=ON: without Dragonbox configuration
#    fails rather than ship the slower digit source. Test hooks and
#    sanitizers stay off.
# 3. auditwheel repair gives the wheel the oldest manylinux tag its symbols
#    allow (the modules link libstdc++ and libgcc statically, so only glibc
#    is left to name).
# 4. twine check on both files; scripts/check_wheel.sh on the wheel
#    (abi3audit --strict, each module exports only its PyInit_ function);
#    and the wheel, installed into a fresh environment, answers a call.
#
# PYTHON names the interpreter (default python3, CPython 3.11 or later).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=build/venv-release
out=build/release
dist=$out/dist

scripts/setup.sh release

# auditwheel 6.8.1 and later refuse a patchelf older than 0.14.5, and Debian
# 12 has 0.14.3; the wheel's modules need no library grafted, so patchelf has
# nothing to rewrite in them, and the last auditwheel that takes 0.14.3 will do.
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip build twine 'auditwheel<6.8.1' abi3audit

rm -rf "$out" && mkdir -p "$out/built" "$dist"
echo "== sdist, and the wheel built from it"
"$venv/bin/python" -m build --outdir "$out/built" \
  -C cmake.define.QM_REQUIRE_DRAGONBOX=ON \
  -C cmake.define.QM_DRAGONBOX=ON \
  -C cmake.define.QM_TEST_HOOKS=OFF \
  -C cmake.define.QM_SANITIZE=OFF .
mv "$out"/built/*.tar.gz "$dist/"
linux_wheel=$(ls "$out"/built/quillmarrow_engine-*-cp311-abi3-linux_*.whl)

echo "== auditwheel repair $(basename "$linux_wheel")"
"$venv/bin/auditwheel" repair --wheel-dir "$dist" "$linux_wheel"
wheel=$(ls "$dist"/quillmarrow_engine-*-cp311-abi3-manylinux*.whl)
sdist=$(ls "$dist"/quillmarrow_engine-*.tar.gz)

echo "== twine check"
"$venv/bin/twine" check --strict "$sdist" "$wheel"
QM_TOOLS_VENV=$venv scripts/check_wheel.sh "$wheel"

echo "== the wheel in a fresh environment"
rm -rf "$out/venv-smoke"
"$python" -m venv "$out/venv-smoke"
"$out/venv-smoke/bin/python" -m pip install -q --no-deps "$wheel"
(cd "$out" && venv-smoke/bin/python - <<'PY'
from quillmarrow_engine_native import run
from quillmarrow_engine import _bulk

answer = run("tier", "[45, 1000, 0, 0]")
expected = '{"ok":true,"result":{"action":"maintain_warm","retention":0.6689757697352465,"tier":"warm_episodic"}}'
assert answer == expected, answer
chunk = _bulk.tier_jsonl_chunk(b"[8, 20, 0.5, 0.5]\n", 0, 18, True, 1, 1, None, False, None, None, None)
assert chunk[4] == b'{"action":"spaced_repetition","retention":0.7423338906408632,"tier":"warm_episodic"}\n', chunk
print("run and _bulk answer as expected")
PY
)
rm -rf "$out/venv-smoke"

echo
echo "release files:"
ls -l "$dist"
