#!/bin/bash
# Runs the tabulon command-line tool, building it first when needed (and installing
# the Debian packages the build needs). Usage: ./tabulon.sh convert IN OUT [options]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/build"
bin="$build/tabulon"
if [ ! -x "$bin" ] || [ -n "$(find "$here/src" "$here/cli" "$here/include" "$here/drivers" -newer "$bin" -type f 2>/dev/null | head -1)" ]; then
  if [ -x "$bin" ]; then
    echo "tabulon: the sources changed; rebuilding (a minute or two)..." >&2
  else
    echo "tabulon: building the tool first; this takes 5 to 15 minutes once (output in $build/build.log)..." >&2
  fi
  started=$(date +%s)
  ( cd "$here"
    source scripts/deps.sh
    install_deps build
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target tabulon_cli >"$build/build.log" 2>&1 ||
      { tail -20 "$build/build.log"; echo "tabulon: the build failed; see $build/build.log"; exit 1; } ) >&2
  echo "tabulon: built in $(( $(date +%s) - started )) s" >&2
fi
exec "$bin" "$@"
