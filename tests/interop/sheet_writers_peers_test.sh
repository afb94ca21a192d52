#!/bin/bash
# Workbooks written by Tabulon (.xlsx and .xls) read by openpyxl, pandas, xlrd and ssconvert.
set -euo pipefail
cli="${TABULON_BUILD_DIR:?}/tabulon"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "${TABULON_SOURCE_DIR:?}/tests/fixtures/sheets/sheet_writer_peers.py" "$cli" \
  "${TABULON_BIN:?}/libtabulon.so" "$work"
status=$?
# A member of the input (here a transport member) names the sheet; without one the output's name does.
"$cli" convert "$TABULON_SOURCE_DIR/tests/fixtures/xpt/polars_nhanes_ACQ_G.xpt" "$work/member.xlsx" -q -y &&
  "$cli" convert "$TABULON_SOURCE_DIR/tests/fixtures/xpt/polars_nhanes_ACQ_G.xpt" "$work/member.xls" -q -y || status=1
names=$(/usr/bin/python3 -c '
import sys, openpyxl, xlrd
print(openpyxl.load_workbook(sys.argv[1], read_only=True).sheetnames[0], xlrd.open_workbook(sys.argv[2]).sheet_names()[0])' \
  "$work/member.xlsx" "$work/member.xls")
[ "$names" = "ACQ_G ACQ_G" ] || { echo "FAIL sheet named after the member: $names"; status=1; }
exit $status
