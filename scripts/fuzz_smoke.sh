#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers, leak checks on) and runs each one from its seed corpus.
#
#   scripts/fuzz_smoke.sh                      every target, 60 s each
#   FUZZ_SECONDS=1800 scripts/fuzz_smoke.sh parse_json   one target, 30 min
#
# Targets: parse_json, run_command, jsonl_chunk, columns, times. The corpora live in fuzz/corpus-<target>
# (kept out of git) and grow from run to run; crashes and check failures are
# saved under fuzz/artifacts/ and make the script fail. When clang++-14 or its
# libFuzzer runtime is missing, the script installs them with apt-get if it
# runs as root, and otherwise skips with a message.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
cxx=${FUZZ_CXX:-clang++-14}
if [ "$#" -gt 0 ]; then targets=("$@"); else targets=(parse_json run_command jsonl_chunk columns times); fi

have_libfuzzer() {
  command -v "$cxx" >/dev/null 2>&1 &&
    [ -f "$("$cxx" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]
}

if ! have_libfuzzer && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "fuzz smoke: installing clang-14 and libclang-rt-14-dev"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq clang-14 libclang-rt-14-dev; } >/dev/null 2>&1 || true
fi
if ! have_libfuzzer; then
  echo "fuzz smoke skipped: $cxx with the libFuzzer runtime is not available"
  exit 0
fi

build=$(FUZZ_CXX="$cxx" fuzz/build.sh build/fuzz)
python3 fuzz/make_seeds.py
mkdir -p fuzz/artifacts

status=0
for t in "${targets[@]}"; do
  bin="$build/fuzz_$t"
  [ -x "$bin" ] || { echo "unknown fuzz target: $t" >&2; exit 2; }
  log="$build/fuzz_$t.log"
  mkdir -p "fuzz/corpus-$t"
  echo "== fuzz_$t for ${seconds}s"
  start=$(date +%s)
  if nice -n 10 "$bin" "fuzz/corpus-$t" -dict=fuzz/json.dict -max_len=8192 \
      -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
      -artifact_prefix="fuzz/artifacts/$t-" -print_final_stats=1 >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz_$t: ${runs:-?} executions in $(( $(date +%s) - start ))s, ${cov:-cov: ?}, corpus $(ls "fuzz/corpus-$t" | wc -l) inputs"
  else
    status=1
    echo "fuzz_$t FAILED; the last lines of $log:"
    tail -n 40 "$log"
    ls -1 fuzz/artifacts/ | sed 's/^/  artifact: fuzz\/artifacts\//'
  fi
done
exit "$status"
