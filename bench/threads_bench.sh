#!/bin/bash
# One thread against two: the same conversions with TABULON_THREADS=1 and with the default
# (reading ahead and writing behind on the second core), interleaved, medians of wall-clock and
# processor seconds. The outputs of both runs must be byte-identical.
# Usage: bench/threads_bench.sh [BUILD_DIR] [ROWS] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-1000000}
rounds=${3:-5}
bin=$build/tabulon
# Output headers carry the time of writing: a stopped clock lets the outputs be compared.
clock=()
command -v faketime >/dev/null && clock=(faketime -f "2024-01-02 03:04:05")
[ -x "$bin" ] || cmake --build "$build" --target tabulon_cli -j2 >/dev/null
. "$here/lib.sh"

/usr/bin/python3 "$here/csv_generate.py" "$rows" "$work/in.csv"
/usr/bin/python3 "$here/stata_generate.py" "$rows" "$work/in.dta"
TABULON_THREADS=1 "$bin" convert "$work/in.dta" "$work/in.sav" -y >/dev/null 2>&1

# Seconds: wall-clock, and processor (user + system) in brackets.
printf "%-12s %16s %16s %8s\n" conversion one_thread two_threads ratio
for pair in "in.csv out.csv" "in.dta out.dta" "in.sav out.dta" "in.dta out.csv"; do
  read -r src dst <<<"$pair"
  w1=(); w2=(); c1=(); c2=()
  for _ in $(seq "$rounds"); do
    for n in 1 2; do
      if [ "$n" = 1 ]; then export TABULON_THREADS=1; else unset TABULON_THREADS; fi
      read -r wall cpu _ <<<"$(run "${clock[@]}" "$bin" convert "$work/$src" "$work/$n.$dst" -y)"
      if [ "$n" = 1 ]; then w1+=("$wall"); c1+=("$cpu"); else w2+=("$wall"); c2+=("$cpu"); fi
    done
    [ ${#clock[@]} = 0 ] || cmp "$work/1.$dst" "$work/2.$dst"
  done
  m1=$(median "${w1[@]}"); m2=$(median "${w2[@]}")
  printf "%-12s %16s %16s %8s\n" "${src#in.}->${dst#out.}" "$m1 ($(median "${c1[@]}"))" \
    "$m2 ($(median "${c2[@]}"))" "$(ratio "$m2" "$m1")"
done
