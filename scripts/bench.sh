#!/usr/bin/env bash
# Quillon against its peers in one run: quillon-server, the Boost.Beast and Node ws echo
# servers (and any peer of PEERS_EXTRA) each alone on CPU 0, wsload on CPU 1, the servers taken
# in turn and the order flipped every round (this machine's speed drifts); then plain HTTP with
# wrk against nginx, and instructions per echoed message under callgrind. Writes
# docs/BENCHMARKS.md (every round's figures, the ratios quillon ÷ peer per round and their
# median) and docs/benchmarks-ratios.png.
#   usage: scripts/bench.sh
#   env:   ROUNDS (3)  DURATION (s per scenario, 5)  THREADS (quillon-server workers, 32: the
#          default pool, as users run it)  IDLE_CONNS (10000; 0 skips the memory scenario)
#          IDLE_FREED_WAIT (65: s after the idle connections closed until the RSS is read again)
#          SCENARIOS (default: all of echo_100x1 echo_10x16 binary_64k deflate_100x1 connect idle)
#          PEERS_EXTRA ("name=command; name=command"; {port} in a command is the port to listen
#          on, and a command must serve the WebSocket echo there, e.g. an older quillon-server;
#          a peer named "before" is also counted under callgrind)
#          HTTP (1: run the wrk scenarios)  CALLGRIND (1: count instructions per message)
#          BROADCAST (1: publish to 1 … 1,000 subscribers with bench/broadcast_fanout)
#          BROADCAST_EXTRA ("name=path; ..." the same driver built against another tree)
#          SKIP_BUILD (1: use the existing build/release)  OUT (docs/BENCHMARKS.md)
#          TOOLS (../shared/tools)  TOOLS_BUILD (/tmp/quillon-ws-bench)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/release
SERVER=$BUILD/bin/quillon-server
TOOLS=${TOOLS:-$ROOT/../shared/tools}
TOOLS_BUILD=${TOOLS_BUILD:-/tmp/quillon-ws-bench}
NODE_MODULES=${NODE_MODULES:-$ROOT/tests/e2e/node/node_modules}
ROUNDS=${ROUNDS:-3}
DURATION=${DURATION:-5}
THREADS=${THREADS:-32}
IDLE_CONNS=${IDLE_CONNS:-10000}
IDLE_FREED_WAIT=${IDLE_FREED_WAIT:-65}
SCENARIOS=${SCENARIOS:-"echo_100x1 echo_10x16 binary_64k deflate_100x1 connect idle"}
PEERS_EXTRA=${PEERS_EXTRA:-}
HTTP=${HTTP:-1}
CALLGRIND=${CALLGRIND:-1}
BROADCAST=${BROADCAST:-1}
BROADCAST_EXTRA=${BROADCAST_EXTRA:-}
OUT=${OUT:-$ROOT/docs/BENCHMARKS.md}
PORT=${PORT:-19120}
PY=/usr/bin/python3  # the system's, which has matplotlib (scripts/install-deps.sh)

for tool in taskset cmake ninja node; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -d "$TOOLS/wsload" ] || { echo "no measuring tools at $TOOLS (set TOOLS)" >&2; exit 1; }

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  (cd "$ROOT" && cmake --preset release >/dev/null && cmake --build --preset release -j2 >/dev/null)
fi
[ -x "$SERVER" ] || { echo "no $SERVER" >&2; exit 1; }
. "$ROOT/bench/peers.sh"

work=$(mktemp -d /tmp/quillon-bench.XXXXXX)
results=$work/results.tsv  # round server scenario value p99_us
: > "$results"
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"

declare -A extra
extra_names=()
IFS=';' read -r -a pairs <<< "$PEERS_EXTRA"
for pair in "${pairs[@]}"; do
  pair=${pair#"${pair%%[![:space:]]*}"}  # leading blanks
  [ -n "$pair" ] || continue
  extra[${pair%%=*}]=${pair#*=}
  extra_names+=("${pair%%=*}")
done

wait_port() {
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

start_server() {  # name deflate(0|1) -> server_pid once it answers on $PORT
  local name=$1 deflate=$2 d_q=() d_b=() d_n=()
  if [ "$deflate" = 1 ]; then d_q=(--permessage-deflate); d_b=(--deflate); d_n=(--deflate); fi
  case $name in
    # --clean-disconnect: answer a client's close with a close frame, as the peers do.
    quillon) taskset -c 0 "$SERVER" --port "$PORT" --threads "$THREADS" --echo-binary \
               --clean-disconnect "${d_q[@]}" > "$work/$name.log" 2>&1 & ;;
    beast)   taskset -c 0 "$BEAST" --port "$PORT" --threads 1 --no-timeouts "${d_b[@]}" \
               > "$work/$name.log" 2>&1 & ;;
    node)    NODE_PATH=$NODE_MODULES taskset -c 0 node "$TOOLS/peers/node-ws/echo.js" \
               --port "$PORT" "${d_n[@]}" > "$work/$name.log" 2>&1 & ;;
    *)       local cmd=${extra[$name]//\{port\}/$PORT}
             [ "$deflate" = 1 ] && cmd="$cmd ${EXTRA_DEFLATE_FLAG:---permessage-deflate}"
             # shellcheck disable=SC2086
             taskset -c 0 $cmd > "$work/$name.log" 2>&1 & ;;
  esac
  server_pid=$!
  wait_port "$PORT" || { echo "$name does not answer on port $PORT" >&2; cat "$work/$name.log" >&2; exit 1; }
}

measure() {  # scenario server round -> appends to $results
  local url="ws://127.0.0.1:$PORT/" args field lat
  case $1 in
    echo_100x1)    args=(echo --conns 100 --inflight 1 --size 32 --text); field=msgs_per_s; lat=lat_us ;;
    echo_10x16)    args=(echo --conns 10 --inflight 16 --size 32 --text); field=msgs_per_s; lat=lat_us ;;
    binary_64k)    args=(echo --conns 4 --inflight 1 --size 65536 --binary); field=mb_per_s; lat=lat_us ;;
    deflate_100x1) args=(echo --conns 100 --inflight 1 --size 32 --text --deflate); field=msgs_per_s; lat=lat_us ;;
    connect)       args=(connect --concurrency 50); field=cycles_per_s; lat=cycle_lat_us ;;
    idle)          args=(idle --conns "$IDLE_CONNS" --src-addrs 4); field=bytes_per_conn_end; lat="" ;;
  esac
  local out="$work/$2-$1-$3.out"
  if taskset -c 1 "$WSLOAD" "${args[0]}" --url "$url" "${args[@]:1}" --duration "$DURATION" \
       --server-pid "$server_pid" > "$out" 2>&1; then
    tail -n 1 "$out" | "$PY" -c "
import json, sys
j = json.loads(sys.stdin.read())
p99 = j['$lat']['p99'] if '$lat' else ''
print('$3\t$2\t$1\t%s\t%s' % (j['$field'], p99))" >> "$results"
    if [ "$1" = idle ]; then
      # What the server keeps once every connection has closed: read after the freeing
      # interval of closed connections (60 s in quillon-server), the same wait for every server.
      sleep "$IDLE_FREED_WAIT"
      local rss_after
      rss_after=$(awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status" 2>/dev/null || echo "")
      tail -n 1 "$out" | "$PY" -c "
import json, sys
j = json.loads(sys.stdin.read())
after = '$rss_after'
print('$3\t$2\tidle_after\t%s\t' % ('%.1f' % ((int(after) - j['rss_before_kb']) / 1024) if after else 'err'))" >> "$results"
    fi
  else
    echo "wsload failed against $2 in $1: $(tail -n 2 "$out" | tr '\n' ' ')" >&2
    printf '%s\t%s\t%s\terr\t\n' "$3" "$2" "$1" >> "$results"
  fi
}

servers=(quillon beast node "${extra_names[@]}")
for round in $(seq "$ROUNDS"); do
  order=("${servers[@]}")
  if ((round % 2 == 0)); then
    order=()
    for ((i = ${#servers[@]} - 1; i >= 0; i--)); do order+=("${servers[i]}"); done
  fi
  for server in "${order[@]}"; do
    for deflate in 0 1; do
      wanted=()
      for s in $SCENARIOS; do
        [ "$s" = idle ] && [ "$IDLE_CONNS" -eq 0 ] && continue
        if [ "$s" = deflate_100x1 ]; then [ "$deflate" = 1 ] && wanted+=("$s"); else [ "$deflate" = 0 ] && wanted+=("$s"); fi
      done
      ((${#wanted[@]})) || continue
      PORT=$((PORT + 1))  # a fresh port: no TIME_WAIT left by the previous server
      start_server "$server" "$deflate"
      for s in "${wanted[@]}"; do
        measure "$s" "$server" "$round"
        echo "round $round $server $s: $(tail -n 1 "$results" | cut -f4)" >&2
      done
      stop_server
    done
  done
done

# Plain HTTP with wrk: a built-in document and "/test" of quillon-server against nginx's /ok.
http_results=$work/http.tsv
: > "$http_results"
if [ "$HTTP" = 1 ] && command -v wrk >/dev/null && command -v nginx >/dev/null; then
  ngdir=$work/nginx
  mkdir -p "$ngdir/logs"
  nginx_port=$((PORT + 500))
  sed -e "s#listen 127.0.0.1:8080#listen 127.0.0.1:$nginx_port#" "$TOOLS/peers/nginx/nginx.conf" > "$ngdir/nginx.conf"
  for round in $(seq "$ROUNDS"); do
    for server in quillon nginx; do
      if [ "$server" = quillon ]; then
        PORT=$((PORT + 1))
        start_server quillon 0
        port=$PORT; paths=("/Quillon.js" "/test")
      else
        mkdir -p /tmp/nginx-peer  # the configuration's pid and error log
        taskset -c 0 nginx -p "$ngdir" -c "$ngdir/nginx.conf" \
          > "$work/nginx.log" 2>&1 &
        server_pid=$!
        port=$nginx_port; wait_port "$port" || { echo "nginx does not start" >&2; cat "$work/nginx.log" >&2; break; }
        paths=("/ok")
      fi
      for path in "${paths[@]}"; do
        for close in keepalive close; do
          hdr=(); [ "$close" = close ] && hdr=(-H "Connection: close")
          rps=$(taskset -c 1 wrk -t1 -c50 -d"${DURATION}s" "${hdr[@]}" "http://127.0.0.1:$port$path" 2>&1 |
                awk '/Requests\/sec/ {print $2}')
          printf '%s\t%s\t%s %s\t%s\n' "$round" "$server" "$path" "$close" "${rps:-err}" >> "$http_results"
          echo "round $round $server $path $close: ${rps:-err} req/s" >&2
        done
      done
      stop_server
    done
  done
fi

# Broadcast fan-out: the driver holds a server and its subscribers in one process (both CPUs),
# publishes 200 messages of 64 B per subscriber count and times each from the call to the
# last subscriber's receipt; plain and with permessage-deflate (no context takeover, so one
# compression can serve everyone).
broadcast_results=$work/broadcast.tsv
: > "$broadcast_results"
if [ "$BROADCAST" = 1 ]; then
  declare -A bc
  bc_names=(quillon)
  bc[quillon]=$BUILD/bin/broadcast_fanout
  IFS=';' read -r -a pairs <<< "$BROADCAST_EXTRA"
  for pair in "${pairs[@]}"; do
    pair=${pair#"${pair%%[![:space:]]*}"}
    [ -n "$pair" ] || continue
    bc[${pair%%=*}]=${pair#*=}
    bc_names+=("${pair%%=*}")
  done
  for round in $(seq "$ROUNDS"); do
    order=("${bc_names[@]}")
    ((round % 2 == 0)) && order=($(printf '%s\n' "${bc_names[@]}" | tac))
    for name in "${order[@]}"; do
      [ -x "${bc[$name]}" ] || { echo "no broadcast driver for $name: ${bc[$name]}" >&2; continue; }
      for deflate in 0 1; do
        PORT=$((PORT + 1))
        flag=(); [ "$deflate" = 1 ] && flag=(--deflate)
        taskset -c 0,1 "${bc[$name]}" --port "$PORT" --subscribers 1,10,100,1000 --publishes 200 \
            --max-seconds 60 "${flag[@]}" 2> "$work/bc-$name.log" |
          "$PY" -c "
import json, sys
for line in sys.stdin:
    j = json.loads(line)
    print('$round\t$name\t%d\t%d\t%s\t%s\t%s' % (j['deflate'], j['subscribers'],
          j['publish_to_last_us']['median'], j['publish_to_last_us']['p99'], j['publish_cpu_us']['median']))
" >> "$broadcast_results" || echo "broadcast driver failed for $name" >&2
        echo "round $round broadcast $name deflate=$deflate done" >&2
      done
    done
  done
fi

# Instructions per echoed message: a fixed run (1 connection, 1 in flight, 32 B) under
# callgrind, counted only while wsload runs (start-up excluded), over the messages it reports;
# every server counted with two workers.
callgrind_results=$work/callgrind.tsv
: > "$callgrind_results"
if [ "$CALLGRIND" = 1 ] && command -v valgrind >/dev/null; then
  for name in quillon "${extra_names[@]}"; do
    case $name in quillon|before) ;; *) continue ;; esac
    PORT=$((PORT + 1))
    if [ "$name" = quillon ]; then cmd="$SERVER --port $PORT --threads 2 --echo-binary --clean-disconnect"
    else cmd="${extra[$name]//\{port\}/$PORT} --threads 2"; fi
    # shellcheck disable=SC2086
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$work/cg.$name" $cmd \
      > "$work/cg-$name.log" 2>&1 &
    server_pid=$!
    if wait_port "$PORT"; then
      sleep 1
      callgrind_control -i on "$server_pid" >/dev/null 2>&1 || true
      msgs=$(taskset -c 1 "$WSLOAD" echo --url "ws://127.0.0.1:$PORT/" --conns 1 --inflight 1 --size 32 \
               --text --duration 10 2>/dev/null | tail -n 1 | "$PY" -c "import json,sys; print(json.loads(sys.stdin.read())['messages'])")
      callgrind_control -i off "$server_pid" >/dev/null 2>&1 || true
      stop_server
      # "summary" stays 0 when collection is switched on later; "totals" holds the count.
      ir=$(grep -h '^totals:' "$work/cg.$name"* | awk '{s+=$2} END {print s}')
      printf '%s\t%s\t%s\n' "$name" "$msgs" "$ir" >> "$callgrind_results"
      echo "callgrind $name: $ir instructions for $msgs messages" >&2
    else
      stop_server
    fi
  done
fi

"$PY" - "$results" "$http_results" "$callgrind_results" "$OUT" "$ROUNDS" "$DURATION" "$THREADS" \
  "${servers[*]}" "$broadcast_results" <<'EOF'
import csv, statistics, sys, os, datetime
res, http, cg, out, rounds, duration, threads, servers, bcast = sys.argv[1:]
servers = servers.split()
peers = [s for s in servers if s != "quillon"]
units = {"echo_100x1": "msg/s", "echo_10x16": "msg/s", "binary_64k": "MB/s",
         "deflate_100x1": "msg/s", "connect": "cycles/s", "idle": "bytes/conn",
         "idle_after": "MiB over the start"}
titles = {"echo_100x1": "echo 100 × 1 × 32 B text", "echo_10x16": "echo 10 × 16 × 32 B text",
          "binary_64k": "echo 4 × 1 × 64 KiB binary", "deflate_100x1": "echo 100 × 1 × 32 B, permessage-deflate",
          "connect": "connect + upgrade + echo + close, concurrency 50",
          "idle": "memory per idle connection (lower is better)",
          "idle_after": "RSS kept after the idle connections closed (lower is better)"}
data = {}  # (scenario, server, round) -> (value, p99)
order = []
for row in csv.reader(open(res), delimiter="\t"):
    rnd, server, scen, value, p99 = row
    if scen not in order: order.append(scen)
    data[(scen, server, int(rnd))] = (None if value == "err" else float(value), float(p99) if p99 else None)
def fmt(x):
    return "err" if x is None else (f"{x:,.0f}" if abs(x) >= 100 else f"{x:.2f}")
lines = ["# Benchmarks", "",
         f"Written by `scripts/bench.sh` on {datetime.date.today()}: every server alone on CPU 0, "
         f"wsload (or wrk) on CPU 1, the servers taken in turn with the order flipped every round; "
         f"{rounds} rounds of {duration} s per scenario; quillon-server with --threads {threads}. "
         "Ratios are quillon ÷ peer (higher is better, except memory, where lower is). "
         "This machine's speed drifts from minute to minute and other work shares it: compare "
         "figures of one run only.", ""]
medians = {}
for scen in order:
    lines += [f"## {titles.get(scen, scen)} ({units.get(scen, '')})", ""]
    rnds = sorted({r for (s, _, r) in data if s == scen})
    head = "| round | " + " | ".join(servers) + " | " + " | ".join(f"quillon ÷ {p}" for p in peers) + " | quillon p99 µs |"
    lines += [head, "|" + "---|" * (2 + len(servers) + len(peers))]
    ratios = {p: [] for p in peers}
    for r in rnds:
        vals = {s: data.get((scen, s, r), (None, None)) for s in servers}
        q = vals["quillon"][0]
        cells = [fmt(vals[s][0]) for s in servers]
        rc = []
        for p in peers:
            v = vals[p][0]
            if q is not None and v:
                ratios[p].append(q / v); rc.append(f"{q / v:.2f}")
            else:
                rc.append("-")
        p99 = vals["quillon"][1]
        lines.append(f"| {r} | " + " | ".join(cells) + " | " + " | ".join(rc) + f" | {fmt(p99) if p99 else '-'} |")
    med = {p: (statistics.median(v) if v else None) for p, v in ratios.items()}
    medians[scen] = med
    vmed = {s: statistics.median([data[(scen, s, r)][0] for r in rnds if data.get((scen, s, r), (None,))[0] is not None] or [0]) for s in servers}
    p99med = {s: [data[(scen, s, r)][1] for r in rnds if data.get((scen, s, r), (None, None))[1] is not None] for s in servers}
    lines.append("| median | " + " | ".join(fmt(vmed[s]) for s in servers) + " | " +
                 " | ".join("-" if med[p] is None else f"**{med[p]:.2f}**" for p in peers) + " | " +
                 (fmt(statistics.median(p99med["quillon"])) if p99med["quillon"] else "-") + " |")
    if any(p99med[s] for s in servers):
        lines += ["", "Median p99 latency (µs): " + ", ".join(
            f"{s} {fmt(statistics.median(p99med[s]))}" for s in servers if p99med[s])]
    lines.append("")
rows = list(csv.reader(open(http), delimiter="\t"))
if rows:
    lines += ["## Plain HTTP with wrk (1 thread, 50 connections, req/s)", "",
              "| round | server | path | connection | req/s |", "|---|---|---|---|---|"]
    for rnd, server, what, rps in rows:
        path, close = what.split()
        lines.append(f"| {rnd} | {server} | {path} | {close} | {rps} |")
    agg = {}
    for rnd, server, what, rps in rows:
        if rps != "err": agg.setdefault((server, what), []).append(float(rps))
    lines += ["", "Medians: " + ", ".join(f"{s} {w}: {statistics.median(v):,.0f}" for (s, w), v in sorted(agg.items())), ""]
rows = list(csv.reader(open(bcast), delimiter="\t"))
if rows:
    names = []
    for r in rows:
        if r[1] not in names: names.append(r[1])
    lines += ["## Broadcast to 1 … 1,000 subscribers (bench/broadcast_fanout)", "",
              "One process holds the server (2 workers) and the subscribers on loopback; 200 "
              "publishes of 64 B per subscriber count. Time from the `Broadcast` call to the last "
              "subscriber's receipt (median and p99 over the publishes, then the median over the "
              "rounds) and the CPU the publishing thread spent in the call (median).", "",
              "| deflate | subscribers | " + " | ".join(f"{n} to last µs (p99)" for n in names) + " | " +
              " | ".join(f"{n} CPU µs" for n in names) + " |",
              "|" + "---|" * (2 + 2 * len(names))]
    agg = {}
    for rnd, name, d, n, med, p99, cpu in rows:
        agg.setdefault((int(d), int(n), name), []).append((float(med), float(p99), float(cpu)))
    for d, n in sorted({(k[0], k[1]) for k in agg}):
        cells, cpus = [], []
        for name in names:
            v = agg.get((d, n, name))
            if not v:
                cells.append("-"); cpus.append("-"); continue
            cells.append(f"{statistics.median(x[0] for x in v):,.0f} ({statistics.median(x[1] for x in v):,.0f})")
            cpus.append(f"{statistics.median(x[2] for x in v):,.1f}")
        lines.append(f"| {'yes' if d else 'no'} | {n:,} | " + " | ".join(cells) + " | " + " | ".join(cpus) + " |")
    lines.append("")
rows = list(csv.reader(open(cg), delimiter="\t"))
if rows:
    lines += ["## Instructions per echoed message (callgrind)", "",
              "One connection, one message in flight, 32 B text, 10 s under `valgrind --tool=callgrind`, "
              "each server with --threads 2; the server's instructions while the load ran "
              "(`callgrind_control -i on/off`, start-up excluded) over the messages echoed.", "", "| server | messages | instructions | per message |", "|---|---|---|---|"]
    for name, msgs, ir in rows:
        try: per = f"{float(ir) / float(msgs):,.0f}"
        except (ValueError, ZeroDivisionError): per = "-"
        lines.append(f"| {name} | {msgs} | {ir} | {per} |")
    lines.append("")
try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    png = os.path.join(os.path.dirname(out), "benchmarks-ratios.png")
    fig, ax = plt.subplots(figsize=(9, 4))
    width = 0.8 / max(1, len(peers))
    for i, p in enumerate(peers):
        ys = [medians[s][p] or 0 for s in order]
        ax.bar([x + i * width for x in range(len(order))], ys, width, label=f"quillon ÷ {p}")
    ax.axhline(1.0, color="grey", linewidth=0.8)
    ax.set_xticks([x + width * (len(peers) - 1) / 2 for x in range(len(order))])
    ax.set_xticklabels(order, rotation=15)
    ax.set_ylabel("median ratio")
    ax.legend()
    fig.tight_layout()
    fig.savefig(png, dpi=100)
    lines += [f"![median ratios quillon ÷ peer]({os.path.basename(png)})", ""]
except ImportError:
    lines += ["(no chart: python3-matplotlib is missing)", ""]
open(out, "w").write("\n".join(lines))
print(out)
EOF
