#!/bin/bash
# Every corpus file under tests/fixtures, converted by the tabulon tool to every output format a
# peer reads (.sav .por .dta 118 and 114, .sas7bdat, .xpt 5 and 8, .csv, .xlsx, .xls), read
# back by R haven, openpyxl, xlrd or the csv module and compared with FILE.expected.json.
set -euo pipefail
cli="${TABULON_BUILD_DIR:?}/tabulon"
[ -x "$cli" ] || { echo "the tabulon tool is not built: $cli"; exit 1; }
command -v Rscript >/dev/null || { echo "Rscript is not installed"; exit 1; }
Rscript -e 'library(haven); library(jsonlite)' >/dev/null 2>&1 ||
  { echo "R haven and jsonlite are needed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "${TABULON_SOURCE_DIR:?}/tests/fixtures/corpus/corpus_roundtrip.py" \
  "$cli" "$TABULON_SOURCE_DIR/tests/fixtures" "$work"
