#!/bin/bash
# Workbooks written by Tabulon (.xlsx and .xls) read by openpyxl, pandas, xlrd and ssconvert.
set -euo pipefail
cli="${TABULON_BUILD_DIR:?}/tabulon"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "${TABULON_SOURCE_DIR:?}/tests/fixtures/sheets/sheet_writer_peers.py" "$cli" \
  "${TABULON_BIN:?}/libtabulon.so" "$work"
