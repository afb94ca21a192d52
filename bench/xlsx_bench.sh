#!/bin/bash
# Delimited text to an Office Open XML workbook: the command-line tool against pandas
# (read_csv + to_excel with openpyxl), side by side, with the peak memory of each, on the
# 11-column file of bench/csv_generate.py. openpyxl then reads a few rows of both outputs.
# Usage: bench/xlsx_bench.sh [BUILD_DIR] [ROWS]   (a Release build is best)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-1000000}
cli=$build/tabulon
[ -x "$cli" ] || cmake --build "$build" --target tabulon_cli -j2 >/dev/null
. "$here/lib.sh"

/usr/bin/python3 "$here/csv_generate.py" "$rows" "$work/in.csv"
echo "input: $rows rows x 11 columns, $(du -m "$work/in.csv" | cut -f1) MB"
read -r ts tc tm <<<"$(run "$cli" convert "$work/in.csv" "$work/tab.xlsx" -y)"
read -r ps pc pm <<<"$(run /usr/bin/python3 -c "
import sys, pandas as pd
pd.read_csv(sys.argv[1]).to_excel(sys.argv[2], index=False, engine='openpyxl')" "$work/in.csv" "$work/pd.xlsx")"
printf "%-10s %10s %10s %8s %10s %10s %8s %11s %10s\n" case tabulon_s pandas_s speedup tab_cpu_s pd_cpu_s cpu_x \
  tabulon_MB pandas_MB
printf "%-10s %10s %10s %8s %10s %10s %8s %11s %10s\n" "csv->xlsx" "$ts" "$ps" \
  "$(/usr/bin/python3 -c "print('%.1fx' % ($ps / $ts))")" "$tc" "$pc" \
  "$(/usr/bin/python3 -c "print('%.1fx' % ($pc / max($tc, 0.001)))")" "$tm" "$pm"
/usr/bin/python3 - "$work/tab.xlsx" "$work/pd.xlsx" "$rows" <<'PY'
import sys, openpyxl
books = [openpyxl.load_workbook(p, read_only=True) for p in sys.argv[1:3]]
sheets = [b.worksheets[0] for b in books]
heads = [list(next(s.iter_rows(max_row=1, values_only=True))) for s in sheets]
assert heads[0] == heads[1], heads
assert sheets[0].max_row == int(sys.argv[3]) + 1, sheets[0].max_row
print("openpyxl reads the same names from both workbooks; rows:", sheets[0].max_row - 1)
PY
