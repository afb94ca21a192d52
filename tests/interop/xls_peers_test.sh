#!/bin/bash
# Excel binary workbooks written by xlwt and pandas, converted by Tabulon and compared with xlrd.
set -euo pipefail
lib="${TABULON_BIN:?}/libtabulon.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "${TABULON_SOURCE_DIR:?}/tests/fixtures/sheets/xls_peers.py" "$lib" "$work"

# The command-line tool on a workbook of two sheets: the first sheet with cells is read.
cli="${TABULON_BUILD_DIR:-}/tabulon"
if [ -x "$cli" ]; then
  /usr/bin/python3 - "$work/two.xls" <<'PY'
import sys, xlwt
wb = xlwt.Workbook(encoding="utf-8")
wb.add_sheet("empty")
ws = wb.add_sheet("data")
for r, row in enumerate([("id", "name"), (1, "ann"), (2, "bob")]):
    for c, v in enumerate(row):
        ws.write(r, c, v)
wb.save(sys.argv[1])
PY
  "$cli" convert "$work/two.xls" "$work/two.csv" -y >/dev/null
  diff <(printf '"id","name"\n1,"ann"\n2,"bob"\n') <(tr -d '\r' <"$work/two.csv")
  echo "command-line conversion passed"
fi
