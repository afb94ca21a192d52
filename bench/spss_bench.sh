#!/bin/bash
# SPSS system files: Tabulon against readstat, side by side, on a 1,000,000-observation file
# made by pandas (bench/stata_generate.py). Cases: Stata to .sav (through bench_spss_convert,
# with the peak memory of each), .sav to Stata and .zsav to Stata (the readers, through the
# tabulon command), Stata to .zsav (the zlib writer, with the sizes). Each case runs RUNS times,
# Tabulon and readstat interleaved; the figures are whole-process medians and ratio is
# Tabulon / readstat. PSPP then reads both .sav and both .zsav outputs; the columns that are
# not dates must agree (readstat keeps Stata's date numbers, Tabulon writes SPSS dates).
# Usage: bench/spss_bench.sh [BUILD_DIR] [OBSERVATIONS] [RUNS]   (a Release build is best)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-1000000}
runs=${3:-5}
bin=$build/bench_spss_convert
cli=$build/tabulon
[ -x "$bin" ] || cmake --build "$build" --target bench_spss_convert -j2 >/dev/null
[ -x "$cli" ] || cmake --build "$build" --target tabulon_cli -j2 >/dev/null
. "$here/lib.sh"

/usr/bin/python3 "$here/stata_generate.py" "$rows" "$work/in.dta"
readstat "$work/in.dta" "$work/peer.sav" >/dev/null 2>&1
readstat "$work/in.dta" "$work/peer.zsav" >/dev/null 2>&1
echo "input: $rows observations, in.dta $(du -m "$work/in.dta" | cut -f1) MB, readstat's .sav $(du -m "$work/peer.sav" | cut -f1) MB, .zsav $(du -m "$work/peer.zsav" | cut -f1) MB; $runs runs each"
printf "%-12s %10s %10s %7s %11s %11s\n" case tabulon_s readstat_s ratio tabulon_MB readstat_MB

bench_case() {  # name tabulon-command... -- readstat-command...
  local name=$1; shift
  local ours=() peer=() t=() r=() tm=0 rm=0 s m
  while [ "$1" != "--" ]; do ours+=("$1"); shift; done
  shift
  peer=("$@")
  for _ in $(seq "$runs"); do
    read -r s _ m <<<"$(run "${ours[@]}")"; t+=("$s"); [ "$m" -gt "$tm" ] && tm=$m
    rm -f "${peer[-1]}"  # readstat does not replace a file
    read -r s _ m <<<"$(run "${peer[@]}")"; r+=("$s"); [ "$m" -gt "$rm" ] && rm=$m
  done
  local tmed rmed
  tmed=$(median "${t[@]}"); rmed=$(median "${r[@]}")
  printf "%-12s %10s %10s %7s %11s %11s\n" "$name" "$tmed" "$rmed" \
    "$(ratio "$tmed" "$rmed")" "$tm" "$rm"
}

bench_case "dta->sav" "$bin" "$work/in.dta" "$work/tab.sav" -- readstat "$work/in.dta" "$work/rs.out.sav"
bench_case "sav->dta" "$cli" convert "$work/peer.sav" "$work/tab.dta" -y -q -- readstat "$work/peer.sav" "$work/rs.out.dta"
bench_case "zsav->dta" "$cli" convert "$work/peer.zsav" "$work/tabz.dta" -y -q -- readstat "$work/peer.zsav" "$work/rs.out.dta"
bench_case "dta->zsav" "$cli" convert "$work/in.dta" "$work/tab.zsav" -y -q -- readstat "$work/in.dta" "$work/rs.out.zsav"
echo "zsav sizes: tabulon $(du -m "$work/tab.zsav" | cut -f1) MB, readstat $(du -m "$work/rs.out.zsav" | cut -f1) MB"
if command -v pspp-convert >/dev/null; then
  for ext in sav zsav; do
    pspp-convert "$work/tab.$ext" "$work/tab.csv" 2>/dev/null
    pspp-convert "$work/rs.out.$ext" "$work/rs.csv" 2>/dev/null
    if cmp -s <(cut -d, -f1-9 "$work/tab.csv") <(cut -d, -f1-9 "$work/rs.csv"); then
      echo "PSPP reads the same values from both .$ext files"
    else
      echo "PSPP reads different values from the .$ext files"; exit 1
    fi
  done
fi
