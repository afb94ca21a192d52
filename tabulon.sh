#!/bin/bash
# Runs the tabulon command-line tool, building it first when needed (and installing
# the Debian packages the build needs). Usage: ./tabulon.sh convert IN OUT [options]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/build"
bin="$build/tabulon"
if [ ! -x "$bin" ] || [ -n "$(find "$here/src" "$here/cli" "$here/include" -newer "$bin" -type f 2>/dev/null | head -1)" ]; then
  ( cd "$here"
    source scripts/deps.sh
    install_deps build
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" --target tabulon_cli >/dev/null ) >&2
fi
exec "$bin" "$@"
