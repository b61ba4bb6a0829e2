#!/usr/bin/env bash
# Runs one libFuzzer target of fuzz/ for as long as asked:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer flags...]
# TARGET is the part after "fuzz_" of a fuzz/fuzz_*.cpp (http_head, url, frames, handshake,
# json, request_record, rest, web_request), or "all" for each in turn. Builds the fuzz preset
# (clang 14 with libFuzzer, ASan and UBSan) as needed. Seeds come from fuzz/corpus/TARGET (committed); inputs
# the run finds go to build/fuzz/corpus/TARGET, a crashing input to build/fuzz/artifacts/.
# Prints the inputs tried; exits non-zero when the target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer flags...]"
target=${1:?$usage}
seconds=${2:?$usage}
shift 2
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "$usage" >&2; exit 2; }

if [ "$target" = all ]; then
  status=0
  for src in fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    "$0" "${name#fuzz_}" "$seconds" "$@" || status=1
  done
  exit $status
fi
[ -f "fuzz/fuzz_$target.cpp" ] || { echo "fuzz.sh: no target fuzz/fuzz_$target.cpp" >&2; exit 2; }

if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
work=build/fuzz/corpus/$target
logs=build/fuzz/logs
[ -f build/fuzz/build.ninja ] || cmake --preset fuzz >/dev/null
mkdir -p "$work" build/fuzz/artifacts "$logs"
if ! cmake --build --preset fuzz --target "fuzz_$target" -j2 >"$logs/build-$target.log" 2>&1; then
  tail -n 30 "$logs/build-$target.log" >&2
  echo "fuzz.sh: building fuzz_$target failed" >&2
  exit 1
fi
log=$logs/$target.log
status=0
build/fuzz/bin/"fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target-" \
  "$@" "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
corpus=$(ls "$work" | wc -l)
if [ $status -eq 0 ]; then
  echo "fuzz $target: ${runs:-?} inputs in ${seconds}s, no crash (corpus $corpus, log $log)"
else
  echo "fuzz $target: FAILED after ${runs:-?} inputs (exit $status); see $log" >&2
  grep -E "^(==[0-9]+==ERROR|SUMMARY|invariant broken|artifact_prefix|Test unit written)" "$log" >&2 || true
fi
exit $status
