#!/bin/bash
# Office Open XML workbooks written by openpyxl, pandas, ssconvert and readstat, converted by
# Tabulon and compared with what openpyxl reads.
set -euo pipefail
lib="${TABULON_BIN:?}/libtabulon.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -W ignore "${TABULON_SOURCE_DIR:?}/tests/fixtures/sheets/xlsx_peers.py" "$lib" "$work"
