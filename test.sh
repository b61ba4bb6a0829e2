#!/usr/bin/env bash
# Installs what is missing, builds the dev preset (ASan+UBSan) and runs every test.
#   ./test.sh            all tests
#   ./test.sh -R REGEX   only the tests whose name matches (passed to ctest)
#   QUILLON_TSAN=1 ./test.sh   also builds the tsan preset and runs its unit tests
#   QUILLON_FUZZ=1 ./test.sh   also runs every fuzz target for QUILLON_FUZZ_SECONDS (30) each
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
status=0
ctest --preset dev "$@" || status=$?

if [ "${QUILLON_TSAN:-0}" = 1 ]; then
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan
  ctest --preset tsan -E '^e2e_' "$@" || status=$?
fi

if [ "${QUILLON_FUZZ:-0}" = 1 ]; then
  scripts/fuzz.sh all "${QUILLON_FUZZ_SECONDS:-30}" || status=$?
fi
exit $status
