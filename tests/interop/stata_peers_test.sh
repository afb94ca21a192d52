#!/bin/bash
# Stata files against pandas (to_stata / read_stata) and ReadStat's readstat command: files the
# peers write are read by Tabulon, files Tabulon writes at every release are read by the peers.
set -euo pipefail
lib="${TABULON_BIN:?}/libtabulon.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v readstat >/dev/null || { echo "readstat is not installed"; exit 1; }
/usr/bin/python3 "${TABULON_SOURCE_DIR:?}/tests/fixtures/stata/peers.py" "$lib" "$work"
