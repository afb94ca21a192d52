#!/bin/bash
# A date-time cell under a date-only number format keeps its time: the column becomes a
# date-time when any of its values has a time part (workbooks made by openpyxl and xlwt);
# a column of whole dates stays a date.
set -euo pipefail
T="${TABULON_BUILD_DIR:?}/tabulon"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
/usr/bin/python3 -W ignore - <<'PY'
import datetime as dt
import openpyxl, xlwt
rows = [("mixed", "whole"),
        (dt.datetime(2020, 1, 2, 3, 4, 5), dt.datetime(2021, 5, 6)),
        (dt.datetime(1999, 12, 31), dt.datetime(2021, 5, 7))]
wb = openpyxl.Workbook()
ws = wb.active
for r in rows:
    ws.append(r)
for row in ws.iter_rows(min_row=2):
    for c in row:
        c.number_format = "yyyy-mm-dd"
wb.save("in.xlsx")
book = xlwt.Workbook()
sh = book.add_sheet("s")
style = xlwt.easyxf(num_format_str="yyyy-mm-dd")
for i, r in enumerate(rows):
    for j, v in enumerate(r):
        sh.write(i, j, v, style if i else xlwt.Style.default_style)
book.save("in.xls")
PY
fail=0
want='"mixed","whole"
1/2/2020 03:04:05,5/6/2021
12/31/1999 00:00:00,5/7/2021'
for f in in.xlsx in.xls; do
  "$T" convert "$f" "$f.csv" -q
  got=$(tr -d '\r' < "$f.csv")
  if [ "$got" = "$want" ]; then echo "ok   $f"; else echo "FAIL $f"; diff <(echo "$want") <(echo "$got"); fail=1; fi
done
exit $fail
