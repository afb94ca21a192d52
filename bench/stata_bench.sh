#!/bin/bash
# Stata to Stata and Stata to CSV: Tabulon against readstat, side by side, with the peak memory
# of each, on a 1,000,000-observation file made by pandas (bench/stata_generate.py) at release 118
# (Stata 14 and later; both tools write 118 too).
# Usage: bench/stata_bench.sh [BUILD_DIR] [OBSERVATIONS] [RELEASE]   (a Release build is best)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-1000000}
release=${3:-118}
bin=$build/bench_stata_convert
[ -x "$bin" ] || cmake --build "$build" --target bench_stata_convert -j2 >/dev/null
. "$here/lib.sh"

/usr/bin/python3 "$here/stata_generate.py" "$rows" "$work/in.dta" "$release"
echo "input: release $release, $rows observations, $(du -m "$work/in.dta" | cut -f1) MB"
printf "%-14s %10s %10s %8s %11s %11s\n" case tabulon_s readstat_s speedup tabulon_MB readstat_MB
for out in dta csv; do
  read -r ts _ tm <<<"$(run "$bin" "$work/in.dta" "$work/tab.$out")"
  read -r rs _ rm <<<"$(run readstat "$work/in.dta" "$work/rs.$out")"
  speed=$(/usr/bin/python3 -c "print('%.1f' % ($rs / $ts))")
  printf "%-14s %10s %10s %8s %11s %11s\n" "stata->$out" "$ts" "$rs" "${speed}x" "$tm" "$rm"
done
