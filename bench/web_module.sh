#!/usr/bin/env bash
# Requests per second of quillon-server's plain-HTTP paths, measured with wrk: the "/test"
# page of the command-request event (no web module), a REST call of ReverseString, the start
# page (a template with its tags) and a static file, so that the cost of the web module shows
# against the path without it. Server pinned to CPU 0, wrk to CPU 1, the paths alternated,
# ROUNDS rounds; prints each path's median.
#   usage: bench/web_module.sh [BUILD_DIR]     (default: build/release)
#   env:   DURATION (s, default 5), CONNECTIONS (default 16), ROUNDS (default 3), PORT (18083)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
SERVER=$BUILD/bin/quillon-server
DURATION=${DURATION:-5}
CONNECTIONS=${CONNECTIONS:-16}
ROUNDS=${ROUNDS:-3}
PORT=${PORT:-18083}

for tool in wrk taskset curl; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$SERVER" ] || { echo "build $SERVER first (cmake --preset release)" >&2; exit 1; }

taskset -c 0 "$SERVER" --port "$PORT" > /dev/null &
pid=$!
trap 'kill $pid 2>/dev/null || true; wait 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$PORT/test" && break
  sleep 0.1
done

paths=(/test /datasnap/rest/TServerMethods1/ReverseString/abc / /css/quillon.css)
declare -A results
for round in $(seq "$ROUNDS"); do
  for path in "${paths[@]}"; do
    rate=$(taskset -c 1 wrk -t1 -c"$CONNECTIONS" -d"${DURATION}s" "http://127.0.0.1:$PORT$path" |
           awk '/Requests\/sec/ {print $2}')
    results[$path]="${results[$path]:-} $rate"
    echo "round $round $path $rate"
  done
done
echo
for path in "${paths[@]}"; do
  median=$(tr ' ' '\n' <<< "${results[$path]}" | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  printf '%-52s median %s requests/s\n' "$path" "$median"
done
