#!/usr/bin/env bash
# WebSocket echo of quillon-server against two peers, the Boost.Beast echo server and Node's
# ws, measured with wsload: each server alone, pinned to CPU 0, wsload pinned to CPU 1, the
# servers taken in turn (the order flips every round, as this machine's speed drifts), the
# scenarios of the tools' README. Prints a table of medians and the ratios quillon/beast and
# quillon/node (higher is better for quillon, except memory, where lower is).
#   usage: bench/ws_vs_peers.sh [BUILD_DIR]       (default: build/release)
#   env:   DURATION (s per scenario, 5)  ROUNDS (1)  THREADS (quillon-server workers, 2)
#          IDLE_CONNS (10000; 0 skips the memory scenario)  SCENARIOS (names, default all)
#          TOOLS (the measuring tools, ../shared/tools)  TOOLS_BUILD (/tmp/quillon-ws-bench)
#          NODE_MODULES (a node_modules holding ws; default tests/e2e/node/node_modules)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
SERVER=$BUILD/bin/quillon-server
TOOLS=${TOOLS:-$ROOT/../shared/tools}
TOOLS_BUILD=${TOOLS_BUILD:-/tmp/quillon-ws-bench}
NODE_MODULES=${NODE_MODULES:-$ROOT/tests/e2e/node/node_modules}
DURATION=${DURATION:-5}
ROUNDS=${ROUNDS:-1}
THREADS=${THREADS:-2}
IDLE_CONNS=${IDLE_CONNS:-10000}
SCENARIOS=${SCENARIOS:-"echo_100x1 echo_10x16 binary_64k connect idle"}
PORT=${PORT:-19020}
PY=$(command -v python3)

for tool in taskset cmake ninja node; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$SERVER" ] || { echo "build $SERVER first (cmake --preset release)" >&2; exit 1; }
[ -d "$TOOLS/wsload" ] || { echo "no measuring tools at $TOOLS (set TOOLS)" >&2; exit 1; }

. "$ROOT/bench/peers.sh"

work=$(mktemp -d /tmp/ws-vs-peers.XXXXXX)
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT
# 10k idle connections need the descriptors, on both sides.
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"

start_server() {  # name -> sets server_pid once the server answers
  case $1 in
    # --clean-disconnect: answer a client's close with a close frame, as the peers do.
    quillon) taskset -c 0 "$SERVER" --port "$PORT" --threads "$THREADS" --echo-binary \
               --clean-disconnect > "$work/$1.log" 2>&1 & ;;
    beast)   taskset -c 0 "$BEAST" --port "$PORT" --threads 1 --no-timeouts > "$work/$1.log" 2>&1 & ;;
    node)    NODE_PATH=$NODE_MODULES taskset -c 0 node "$TOOLS/peers/node-ws/echo.js" \
               --port "$PORT" > "$work/$1.log" 2>&1 & ;;
  esac
  server_pid=$!
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "$1 does not answer on port $PORT" >&2
  cat "$work/$1.log" >&2
  exit 1
}

# scenario -> the figure it reports (from wsload's last line, a JSON object), "err" on failure.
measure() {
  local url="ws://127.0.0.1:$PORT/" args field
  case $1 in
    echo_100x1)  args=(echo --conns 100 --inflight 1 --size 32 --text --duration "$DURATION"); field=msgs_per_s ;;
    echo_10x16)  args=(echo --conns 10 --inflight 16 --size 32 --text --duration "$DURATION"); field=msgs_per_s ;;
    binary_64k)  args=(echo --conns 4 --inflight 1 --size 65536 --binary --duration "$DURATION"); field=mb_per_s ;;
    connect)     args=(connect --concurrency 50 --duration "$DURATION"); field=cycles_per_s ;;
    idle)        args=(idle --conns "$IDLE_CONNS" --duration "$DURATION" --src-addrs 4); field=bytes_per_conn_end ;;
  esac
  local out="$work/$2-$1.out"
  if taskset -c 1 "$WSLOAD" "${args[0]}" --url "$url" "${args[@]:1}" --server-pid "$server_pid" \
       > "$out" 2>&1; then
    tail -n 1 "$out" | "$PY" -c "import json,sys; print(json.loads(sys.stdin.read())['$field'])"
  else
    echo "wsload failed against $2 in $1: $(tail -n 3 "$out" | head -n 2 | tr '\n' ' ')" >&2
    echo err
  fi
}

unit() {
  case $1 in
    echo_100x1|echo_10x16) echo "msg/s" ;;
    binary_64k) echo "MB/s" ;;
    connect) echo "cycles/s" ;;
    idle) echo "B/conn" ;;
  esac
}

scenarios=()
for s in $SCENARIOS; do
  [ "$s" = idle ] && [ "$IDLE_CONNS" -eq 0 ] && continue
  scenarios+=("$s")
done

declare -A results
for round in $(seq "$ROUNDS"); do
  order=(quillon beast node)
  ((round % 2 == 0)) && order=(node beast quillon)
  for server in "${order[@]}"; do
    PORT=$((PORT + 1))  # a fresh port: no TIME_WAIT left by the previous server
    start_server "$server"
    for s in "${scenarios[@]}"; do
      v=$(measure "$s" "$server")
      printf 'round %d  %-8s %-11s %12s %s\n' "$round" "$server" "$s" "$v" "$(unit "$s")"
      results[$server,$s]="${results[$server,$s]:-} $v"
    done
    stop_server
  done
done

median() {  # values... -> median of the numeric ones, or err
  "$PY" -c '
import statistics, sys
v = [float(x) for x in sys.argv[1:] if x != "err"]
print(statistics.median(v) if v else "err")' "$@"
}

echo
echo "quillon-server --threads $THREADS; each server pinned to CPU 0, wsload to CPU 1;" \
     "$DURATION s per scenario; median of $ROUNDS round(s)"
printf '%-11s %-9s %12s %12s %12s %14s %12s\n' scenario unit quillon beast node quillon/beast quillon/node
for s in "${scenarios[@]}"; do
  # shellcheck disable=SC2086
  q=$(median ${results[quillon,$s]}); b=$(median ${results[beast,$s]}); n=$(median ${results[node,$s]})
  "$PY" - "$s" "$(unit "$s")" "$q" "$b" "$n" <<'EOF'
import sys
s, unit, *vals = sys.argv[1:]
def num(x): return None if x == "err" else float(x)
q, b, n = (num(v) for v in vals)
def fmt(x): return "err" if x is None else f"{x:.0f}" if x >= 100 else f"{x:.1f}"
def ratio(a, c): return "-" if a is None or c is None or c == 0 else f"{a / c:.2f}"
print(f"{s:<11} {unit:<9} {fmt(q):>12} {fmt(b):>12} {fmt(n):>12} {ratio(q, b):>14} {ratio(q, n):>12}")
EOF
done
