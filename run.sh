#!/usr/bin/env bash
# Installs what is missing, builds the release preset and starts the application: the control
# window (quillon) when a display is available and no arguments are given, else the headless
# host (quillon-server) with the arguments, e.g. ./run.sh --port 8443 --ssl --hash ...
# QUILLON_HEADLESS=1 starts the headless host even on a display.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

bin=build/release/bin
if [ $# -eq 0 ] && [ "${QUILLON_HEADLESS:-0}" != 1 ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] &&
   [ -x "$bin/quillon" ]; then
  echo "run.sh: starting the control window; press Start, then open http://127.0.0.1:5420/ (or \"Open Datasnap\")"
  exec "$bin/quillon"
fi

# The address the headless host will answer on, from the flags that change it.
host=127.0.0.1 port=5420 scheme=http
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --host) host="${args[i + 1]:-$host}" ;;
    --port) port="${args[i + 1]:-$port}" ;;
    --ssl) scheme=https ;;
  esac
done
case "$host" in *:*) [ "${host#[}" = "$host" ] && host="[$host]" ;; esac
case "$host" in 0.0.0.0 | + | \*) host=127.0.0.1 ;; esac
echo "run.sh: starting the headless server; open $scheme://$host:$port/ in a browser (Ctrl-C stops it)"
exec "$bin/quillon-server" "$@"
