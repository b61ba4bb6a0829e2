#!/usr/bin/env bash
# Installs what is missing, builds the release preset and starts the headless server.
# Extra arguments go to quillon-server (see docs/cli.md), e.g. ./run.sh --port 8443 --ssl --hash ...
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

bin=build/release/bin
if [ -x "$bin/quillon-server" ]; then
  exec "$bin/quillon-server" "$@"
fi
echo "run.sh: the server program is not built yet; starting the minimal HTTP API server instead." >&2
if [ -x "$bin/httpapi_minimal_server" ]; then
  exec "$bin/httpapi_minimal_server" "$@"
fi
echo "run.sh: nothing runnable exists yet; the library and its tests are built (./test.sh runs them)." >&2
