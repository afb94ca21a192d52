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
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 "$here/csv_generate.py" "$rows" "$work/in.csv"
/usr/bin/python3 "$here/stata_generate.py" "$rows" "$work/in.dta"
TABULON_THREADS=1 "$bin" convert "$work/in.dta" "$work/in.sav" -y >/dev/null 2>&1

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

# Seconds: wall-clock, and processor (user + system) in brackets.
printf "%-12s %16s %16s %8s\n" conversion one_thread two_threads ratio
for pair in "in.csv out.csv" "in.dta out.dta" "in.sav out.dta" "in.dta out.csv"; do
  read -r src dst <<<"$pair"
  : >"$work/w1"; : >"$work/w2"; : >"$work/c1"; : >"$work/c2"
  for _ in $(seq "$rounds"); do
    for n in 1 2; do
      if [ "$n" = 1 ]; then export TABULON_THREADS=1; else unset TABULON_THREADS; fi
      /usr/bin/time -f "%e %U %S" -o "$work/t" "${clock[@]}" "$bin" convert "$work/$src" "$work/$n.$dst" -y >/dev/null 2>&1
      read -r wall user sys <"$work/t"
      echo "$wall" >>"$work/w$n"
      awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}' >>"$work/c$n"
    done
    [ ${#clock[@]} = 0 ] || cmp "$work/1.$dst" "$work/2.$dst"
  done
  w1=$(median <"$work/w1"); w2=$(median <"$work/w2"); c1=$(median <"$work/c1"); c2=$(median <"$work/c2")
  printf "%-12s %16s %16s %8s\n" "${src#in.}->${dst#out.}" "$w1 ($c1)" "$w2 ($c2)" \
    "$(awk -v a="$w2" -v b="$w1" 'BEGIN {printf "%.2f", a / b}')"
done
