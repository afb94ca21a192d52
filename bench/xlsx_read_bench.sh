#!/bin/bash
# Office Open XML to CSV: Tabulon's command-line tool against openpyxl (read-only mode writing
# CSV), side by side, with the peak memory of each, on a workbook made by openpyxl.
# Usage: bench/xlsx_read_bench.sh [BUILD_DIR] [ROWS]   (a Release build is best)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-100000}
bin=$build/tabulon
[ -x "$bin" ] || cmake --build "$build" --target tabulon_cli -j2 >/dev/null
. "$here/lib.sh"

/usr/bin/python3 - "$rows" "$work/in.xlsx" <<'PY'
import datetime, sys, openpyxl
from openpyxl.cell import WriteOnlyCell
n, path = int(sys.argv[1]), sys.argv[2]
wb = openpyxl.Workbook(write_only=True)
ws = wb.create_sheet("data")
ws.append(["id", "x", "y", "name", "when", "code", "ratio", "flag", "city", "z"])
base = datetime.datetime(2000, 1, 1)
cities = ["Paris", "Zürich", "Kraków", "Lagos", "Lima"]
for i in range(n):
    ws.append([i, i * 0.25, -i / 7, "name %d" % (i % 5000), base + datetime.timedelta(days=i % 9000),
               i % 97, (i % 1000) / 1000, i % 2 == 0, cities[i % 5], i * 1e-3])
wb.save(path)
PY
cat >"$work/peer.py" <<'PY'
import csv, sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1], read_only=True, data_only=True)
with open(sys.argv[2], "w", newline="") as f:
    w = csv.writer(f)
    for row in wb.worksheets[0].iter_rows(values_only=True):
        w.writerow(row)
PY
echo "input: $rows rows x 10 columns, $(du -k "$work/in.xlsx" | cut -f1) KB"
read -r ts _ tm <<<"$(run "$bin" convert -y "$work/in.xlsx" "$work/tab.csv")"
read -r ps _ pm <<<"$(run /usr/bin/python3 "$work/peer.py" "$work/in.xlsx" "$work/peer.csv")"
printf "%-12s %10s %10s %8s %11s %11s\n" case tabulon_s openpyxl_s speedup tabulon_MB openpyxl_MB
printf "%-12s %10s %10s %8s %11s %11s\n" "xlsx->csv" "$ts" "$ps" "$(/usr/bin/python3 -c "print('%.1fx' % ($ps / $ts))")" "$tm" "$pm"
[ "$(wc -l <"$work/tab.csv")" -eq "$(wc -l <"$work/peer.csv")" ] || { echo "row counts differ"; exit 1; }
