#!/bin/bash
# Stata to SPSS system file: Tabulon against readstat, side by side, with the peak memory of
# each, on a 1,000,000-observation file made by pandas (bench/stata_generate.py). PSPP then
# reads both outputs; the columns that are not dates must agree (readstat keeps Stata's date
# numbers, Tabulon writes SPSS dates).
# Usage: bench/spss_bench.sh [BUILD_DIR] [OBSERVATIONS]   (a Release build is best)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-1000000}
bin=$build/bench_spss_convert
[ -x "$bin" ] || cmake --build "$build" --target bench_spss_convert -j2 >/dev/null
. "$here/lib.sh"

/usr/bin/python3 "$here/stata_generate.py" "$rows" "$work/in.dta"
echo "input: $rows observations, $(du -m "$work/in.dta" | cut -f1) MB"
printf "%-14s %10s %10s %8s %11s %11s\n" case tabulon_s readstat_s speedup tabulon_MB readstat_MB
read -r ts _ tm <<<"$(run "$bin" "$work/in.dta" "$work/tab.sav")"
read -r rs _ rm <<<"$(run readstat "$work/in.dta" "$work/rs.sav")"
speed=$(/usr/bin/python3 -c "print('%.1f' % ($rs / $ts))")
printf "%-14s %10s %10s %8s %11s %11s\n" "stata->sav" "$ts" "$rs" "${speed}x" "$tm" "$rm"
if command -v pspp-convert >/dev/null; then
  pspp-convert "$work/tab.sav" "$work/tab.csv" 2>/dev/null
  pspp-convert "$work/rs.sav" "$work/rs.csv" 2>/dev/null
  if cmp -s <(cut -d, -f1-9 "$work/tab.csv") <(cut -d, -f1-9 "$work/rs.csv"); then
    echo "PSPP reads the same values from both files"
  else
    echo "PSPP reads different values"; exit 1
  fi
fi
