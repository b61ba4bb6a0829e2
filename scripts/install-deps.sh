#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on Debian 12.
# Idempotent: packages already present are not touched, so a second run is quick.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(
  # build
  build-essential g++ cmake ninja-build pkg-config git
  zlib1g-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  # the control window (quillon): Qt 6 Widgets; Wine's metric-compatible Tahoma for its font
  qt6-base-dev fonts-wine
  # tests: real clients
  python3 python3-pytest python3-requests python3-requests-oauthlib python3-websockets curl
  chromium
  # the control window's tests run it on a virtual X display
  xvfb xauth
  # benchmarks
  wrk nginx-light libboost-dev python3-matplotlib valgrind
  # fuzzing (the fuzz preset): clang with libFuzzer and its sanitizer runtimes
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${DEBIAN_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # Package scripts must not start services (nginx) on the developer's machine.
  policy=/usr/sbin/policy-rc.d
  restore_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod +x "$policy"
    restore_policy=1
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if ((restore_policy)); then $SUDO rm -f "$policy"; fi
fi

# Node modules for the tests go into a git-ignored folder beside their package.json.
if [ -f tests/e2e/node/package.json ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "install-deps: npm is required for the Node tests" >&2; exit 1
  fi
  stamp=tests/e2e/node/node_modules/.quillon-stamp
  if [ ! -f "$stamp" ] || [ tests/e2e/node/package.json -nt "$stamp" ]; then
    (cd tests/e2e/node && npm install --no-audit --no-fund --loglevel=error)
    touch "$stamp"
  fi
fi
exit 0
