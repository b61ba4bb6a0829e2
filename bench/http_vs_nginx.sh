#!/usr/bin/env bash
# Requests per second of the minimal HTTP API server against nginx serving the same small
# page, measured with wrk: each server pinned to CPU 0, wrk to CPU 1, servers alternated,
# ROUNDS rounds, with keep-alive and with "Connection: close". Prints the ratios.
#   usage: bench/http_vs_nginx.sh [BUILD_DIR]     (default: build/release)
#   env:   DURATION (s, default 5), CONNECTIONS (default 50), ROUNDS (default 3), THREADS (2)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
SERVER=$BUILD/bin/httpapi_minimal_server
PEER=${NGINX_PEER_DIR:-$ROOT/../shared/tools/peers/nginx}
DURATION=${DURATION:-5}
CONNECTIONS=${CONNECTIONS:-50}
ROUNDS=${ROUNDS:-3}
THREADS=${THREADS:-2}
OUR_PORT=${OUR_PORT:-18081}
NGINX_PORT=${NGINX_PORT:-18082}

for tool in wrk nginx taskset; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$SERVER" ] || { echo "build $SERVER first (cmake --preset release)" >&2; exit 1; }

work=$(mktemp -d /tmp/http-vs-nginx.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# nginx with the peer's configuration, moved to our ports and folders.
mkdir -p "$work/html"
cp "$PEER/html/index.html" "$work/html/"
sed -e "s#/tmp/nginx-peer#$work#g" \
    -e "s#listen 127.0.0.1:8080#listen 127.0.0.1:$NGINX_PORT#" \
    "$PEER/nginx.conf" > "$work/nginx.conf"
taskset -c 0 nginx -p "$work/" -c nginx.conf -e "$work/error.log" &
pids+=($!)
taskset -c 0 "$SERVER" --port "$OUR_PORT" --host 127.0.0.1 --threads "$THREADS" \
  --page "$work/html/index.html" > "$work/server.log" &
pids+=($!)

wait_port() {
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$1/" && return 0
    sleep 0.1
  done
  echo "nothing answers on port $1" >&2
  exit 1
}
wait_port "$NGINX_PORT"
wait_port "$OUR_PORT"

measure() {  # port mode -> requests per second
  local header=()
  [ "$2" = close ] && header=(-H "Connection: close")
  taskset -c 1 wrk -t1 -c"$CONNECTIONS" -d"${DURATION}s" "${header[@]}" \
    "http://127.0.0.1:$1/" | awk '/Requests\/sec/ {print $2}'
}

declare -A total
for mode in keepalive close; do total[ours_$mode]=0; total[nginx_$mode]=0; done
for round in $(seq "$ROUNDS"); do
  order=(ours nginx)
  ((round % 2 == 0)) && order=(nginx ours)
  for mode in keepalive close; do
    for server in "${order[@]}"; do
      port=$OUR_PORT
      [ "$server" = nginx ] && port=$NGINX_PORT
      rps=$(measure "$port" "$mode")
      printf 'round %d %-9s %-5s %10.0f req/s\n' "$round" "$mode" "$server" "$rps"
      total[${server}_$mode]=$(awk -v a="${total[${server}_$mode]}" -v b="$rps" 'BEGIN {print a + b}')
    done
  done
done
echo
for mode in keepalive close; do
  awk -v o="${total[ours_$mode]}" -v n="${total[nginx_$mode]}" -v r="$ROUNDS" -v m="$mode" \
    'BEGIN {printf "%-9s ours %10.0f  nginx %10.0f  ratio %.2f\n", m, o / r, n / r, o / n}'
done
