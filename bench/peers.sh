# Sourced by the load scenarios: builds wsload and the Beast echo peer from $TOOLS into
# $TOOLS_BUILD once, finds (or installs there) Node's ws, and sets WSLOAD, BEAST and
# NODE_MODULES. The tools stay outside the repository.
if [ ! -x "$TOOLS_BUILD/wsload/wsload" ]; then
  cmake -S "$TOOLS/wsload" -B "$TOOLS_BUILD/wsload" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$TOOLS_BUILD/wsload" >/dev/null
fi
if [ ! -x "$TOOLS_BUILD/beast/beast_echo" ]; then
  [ -f /usr/include/boost/beast.hpp ] || { echo "Beast needs libboost-dev (scripts/install-deps.sh)" >&2; exit 1; }
  cmake -S "$TOOLS/peers/beast" -B "$TOOLS_BUILD/beast" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$TOOLS_BUILD/beast" >/dev/null
fi
if [ ! -d "$NODE_MODULES/ws" ]; then
  NODE_MODULES=$TOOLS_BUILD/node/node_modules
  if [ ! -d "$NODE_MODULES/ws" ]; then
    mkdir -p "$TOOLS_BUILD/node"
    cp "$TOOLS/peers/node-ws/package.json" "$TOOLS_BUILD/node/"
    (cd "$TOOLS_BUILD/node" && npm install --no-audit --no-fund --loglevel=error >/dev/null)
  fi
fi
WSLOAD=$TOOLS_BUILD/wsload/wsload
BEAST=$TOOLS_BUILD/beast/beast_echo
