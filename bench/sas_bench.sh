#!/bin/bash
# SAS data set to CSV: Tabulon against readstat, side by side, with the peak memory of each.
# The data set (1,000,000 rows by default, 11 columns: numbers, text, dates) is written by
# Tabulon from bench/csv_generate.py's CSV, once uncompressed and once through readstat.
# Usage: bench/sas_bench.sh [BUILD_DIR] [ROWS]   (a Release build is best)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-1000000}
bin=$build/tabulon
[ -x "$bin" ] || cmake --build "$build" --target tabulon_cli -j2 >/dev/null
. "$here/lib.sh"

/usr/bin/python3 "$here/csv_generate.py" "$rows" "$work/in.csv"
"$bin" convert "$work/in.csv" "$work/in.sas7bdat" >/dev/null
rm -f "$work/in.csv"
read -r tsec _ tmem < <(run "$bin" convert "$work/in.sas7bdat" "$work/tab.csv")
read -r rsec _ rmem < <(run readstat "$work/in.sas7bdat" "$work/rs.csv")
[ "$(wc -l <"$work/tab.csv")" = "$(wc -l <"$work/rs.csv")" ] || { echo "row counts differ" >&2; exit 1; }
printf "%-9s %10s %10s %8s %11s %11s\n" rows tabulon_s readstat_s speedup tabulon_MB readstat_MB
printf "%-9s %10s %10s %8s %11s %11s\n" "$rows" "$tsec" "$rsec" \
  "$(/usr/bin/python3 -c "print('%.1fx' % ($rsec / $tsec))")" "$tmem" "$rmem"
